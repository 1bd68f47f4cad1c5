// The supported instrument models and what the connected model offers.
//
// The model table is data (catalog/models.toml, generated into korvane/ModelTable.inc). Its maps
// are built once per process on first use and are read-only afterwards, so sessions in different
// threads share them without a lock.
#pragma once

#include "core/EnumCommand.h"

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace korvane {

// Rows of the generated table (korvane/ModelTable.inc).
namespace models {
struct ModelRow;
struct FamilyRow;
}  // namespace models

using TextSet = std::unordered_set<std::string, TextHash33, std::equal_to<>>;

// The family and model maps of the supported-model table. Identifiers and family keys compare
// exactly: an identifier that differs only in case is not a supported model.
class CModelTable {
 public:
  static const CModelTable& Instance();

  // Null for an identifier that is not in the table.
  const models::ModelRow* Model(std::string_view id) const noexcept;
  // Null for a key that is not one of the six families.
  const models::FamilyRow* Family(std::string_view family) const noexcept;
  // The family key of a supported model; empty for any other identifier.
  std::string_view FamilyOf(std::string_view id) const noexcept;
  // The identifiers of a family; null for an unknown key.
  const TextSet* ModelsOf(std::string_view family) const noexcept;
  bool IsInFamily(std::string_view family, std::string_view id) const noexcept;
  std::size_t ModelCount() const noexcept { return familyOf_.size(); }

 private:
  CModelTable();

  TextMap<TextSet> modelsOf_;
  TextMap<std::string> familyOf_;
  TextMap<const models::ModelRow*> rows_;
  TextMap<const models::FamilyRow*> families_;
};

// Model tests of a session, from its Initialized flag and its InstrumentModel: both are false
// while the session is not initialised.
bool IsModelFamily(bool initialized, std::string_view model, std::string_view family) noexcept;
bool IsModelSupported(bool initialized, std::string_view model) noexcept;

// What the connected instrument offers: the option flags from "*OPT?" (or all of them while
// simulating), the channel counts and the bandwidths read when the session connects.
struct Capabilities {
  bool mixedSignal = false;
  bool frequencyResponseAnalysis = false;
  bool segmentedMemory = false;
  bool maskTest = false;
  bool waveGenerator = false;
  bool advancedMath = false;
  bool videoTrigger = false;
  bool voltmeter = false;
  // Serial decode groups.
  bool aeroDecode = false;
  bool autoDecode = false;
  bool flexDecode = false;
  bool audioDecode = false;
  bool embeddedDecode = false;
  bool computerDecode = false;
  bool sensorDecode = false;
  bool canFdDecode = false;
  bool usbDecode = false;
  bool jitter = false;
  bool voltmeterCounter = false;
  // Channel counts: set here while simulating; on an instrument, by the step that sizes the
  // channel collections from the instrument's own counts.
  int analogChannels = 0;
  int digitalChannels = 0;
  // Hertz.
  double channelBandwidth = 0;
  double bandwidthLimit = 0;

  bool AnySerialDecode() const noexcept {
    return aeroDecode || autoDecode || flexDecode || audioDecode || embeddedDecode || computerDecode || sensorDecode ||
           canFdDecode;
  }
};

// The option flags of an "*OPT?" reply of a model of `family`. Tokens are found by exact,
// case-sensitive substring search; channel counts and bandwidths are left at zero.
Capabilities CapabilitiesFromOptions(std::string_view family, std::string_view reply) noexcept;

// What a simulated session of `model` offers: every option, 500 MHz, the channel counts that the
// identifier's marks give ("-2CH", "MSO") and the family's digital channel count.
Capabilities SimulatedCapabilities(std::string_view model) noexcept;

// The instrument's name of math function `index` (from 1) as a waveform source on `family`:
// "Math2" where the family numbers its math functions, "FUNC" then "FUNC2" where it does not.
// Empty for an unknown family.
std::string MathSourceName(std::string_view family, int index);
// The reference waveforms of a family: "WMEM1" up to "WMEM4"; empty for an unknown family.
std::vector<std::string> ReferenceWaveformNames(std::string_view family);

// One value per family or per model, with a default for the rest. The value of a model is its
// own if it has one, else its family's, else the default.
template <typename T>
class CModelBasedValue {
 public:
  explicit CModelBasedValue(T fallback) { items_.Add(Item(std::string(), std::move(fallback))); }

  // Family keys and model identifiers never coincide (the table's generator refuses it), so
  // both share one map.
  CModelBasedValue& ForFamily(std::string family, T value) {
    items_.Add(Item(std::move(family), std::move(value)));
    return *this;
  }
  CModelBasedValue& ForModel(std::string id, T value) {
    items_.Add(Item(std::move(id), std::move(value)));
    return *this;
  }

  const T& Get(std::string_view model) const noexcept {
    const Item* item = items_.Find(model);
    if (item->Model().empty()) {
      std::string_view family = CModelTable::Instance().FamilyOf(model);
      if (!family.empty()) item = items_.Find(family);
    }
    return item->value;
  }

 private:
  struct Item : CModelBasedType {
    Item(std::string key, T v) : CModelBasedType(std::move(key)), value(std::move(v)) {}
    T value;
  };
  CModelBasedMap<Item> items_;
};

}  // namespace korvane
