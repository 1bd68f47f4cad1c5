#include "core/Models.h"

#include <korvane/ModelTable.inc>

#include <cctype>

namespace korvane {

namespace {

constexpr double kSimulatedBandwidthHz = 500e6;
// The limit filter of a model the table does not know (a simulated model accepted without
// IdQuery): the one every family has.
constexpr int kCommonBandwidthLimitMHz = 20;

bool Has(std::string_view reply, std::string_view token) noexcept {
  return reply.find(token) != std::string_view::npos;
}

std::string Upper(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

CModelTable::CModelTable() {
  for (const models::FamilyRow& f : models::kFamilies) {
    modelsOf_.try_emplace(f.name);
    families_.emplace(f.name, &f);
  }
  for (const models::ModelRow& m : models::kModels) {
    modelsOf_[m.family].emplace(m.id);
    familyOf_.emplace(m.id, m.family);
    rows_.emplace(m.id, &m);
  }
}

const CModelTable& CModelTable::Instance() {
  // Built by the first caller; a concurrent first call waits for it.
  static const CModelTable table;
  return table;
}

const models::ModelRow* CModelTable::Model(std::string_view id) const noexcept {
  auto it = rows_.find(id);
  return it == rows_.end() ? nullptr : it->second;
}

const models::FamilyRow* CModelTable::Family(std::string_view family) const noexcept {
  auto it = families_.find(family);
  return it == families_.end() ? nullptr : it->second;
}

std::string_view CModelTable::FamilyOf(std::string_view id) const noexcept {
  auto it = familyOf_.find(id);
  return it == familyOf_.end() ? std::string_view() : std::string_view(it->second);
}

const TextSet* CModelTable::ModelsOf(std::string_view family) const noexcept {
  auto it = modelsOf_.find(family);
  return it == modelsOf_.end() ? nullptr : &it->second;
}

bool CModelTable::IsInFamily(std::string_view family, std::string_view id) const noexcept {
  const TextSet* ids = ModelsOf(family);
  return ids && ids->find(id) != ids->end();
}

bool IsModelFamily(bool initialized, std::string_view model, std::string_view family) noexcept {
  return initialized && CModelTable::Instance().IsInFamily(family, model);
}

bool IsModelSupported(bool initialized, std::string_view model) noexcept {
  return initialized && CModelTable::Instance().Model(model) != nullptr;
}

Capabilities CapabilitiesFromOptions(std::string_view family, std::string_view reply) noexcept {
  Capabilities c;
  c.mixedSignal = Has(reply, "MSO");
  // Frequency response analysis is built into every Avel model, listed or not.
  c.frequencyResponseAnalysis = family == "Avel" || Has(reply, "FRA");
  c.segmentedMemory = Has(reply, "SGM");
  c.maskTest = Has(reply, "MASK");
  c.waveGenerator = Has(reply, "WAVEGEN");
  c.advancedMath = Has(reply, "ADVMATH");
  c.videoTrigger = Has(reply, "VID");
  // With its comma: a bare "DVM" would also be found inside "ADVMATH".
  c.voltmeter = Has(reply, ",DVM");
  c.aeroDecode = Has(reply, "AERO");
  c.autoDecode = Has(reply, "AUTO");
  c.flexDecode = Has(reply, "FLEX");
  c.audioDecode = Has(reply, "AUDIO");
  c.embeddedDecode = Has(reply, "EMBD");
  c.computerDecode = Has(reply, "COMP");
  c.sensorDecode = Has(reply, "SENSOR");
  c.canFdDecode = Has(reply, "CANFD");
  c.usbDecode = Has(reply, "USBH") || Has(reply, "USBFL") || Has(reply, "USBSQ");
  c.jitter = Has(reply, "JITTER");
  c.voltmeterCounter = Has(reply, "DVMCTR");
  return c;
}

Capabilities SimulatedCapabilities(std::string_view model) noexcept {
  Capabilities c;
  for (bool* flag : {&c.mixedSignal, &c.frequencyResponseAnalysis, &c.segmentedMemory, &c.maskTest, &c.waveGenerator,
                     &c.advancedMath, &c.videoTrigger, &c.voltmeter, &c.aeroDecode, &c.autoDecode, &c.flexDecode,
                     &c.audioDecode, &c.embeddedDecode, &c.computerDecode, &c.sensorDecode, &c.canFdDecode,
                     &c.usbDecode, &c.jitter, &c.voltmeterCounter})
    *flag = true;
  const CModelTable& table = CModelTable::Instance();
  std::string id;
  try {
    id = Upper(model);
  } catch (...) {
    // Out of memory for a model name: the marks cannot be read; the counts stay at zero.
    return c;
  }
  c.analogChannels = Has(id, "-2CH") ? 2 : 4;
  if (Has(id, "MSO")) {
    std::string_view family = table.FamilyOf(model);
    c.digitalChannels = family == "Cadri" || family == "Dovin" || family == "Efrai" ? 16 : 8;
  }
  c.channelBandwidth = kSimulatedBandwidthHz;
  const models::ModelRow* row = table.Model(model);
  c.bandwidthLimit = (row ? row->bandwidthLimitMHz : kCommonBandwidthLimitMHz) * 1e6;
  return c;
}

std::string MathSourceName(std::string_view family, int index) {
  const models::FamilyRow* f = CModelTable::Instance().Family(family);
  if (!f) return {};
  const std::string_view naming = f->mathNaming;
  const std::string number = std::to_string(index);
  if (auto at = naming.find("%d"); at != std::string_view::npos)
    return std::string(naming.substr(0, at)) + number + std::string(naming.substr(at + 2));
  return index == 1 ? std::string(naming) : std::string(naming) + number;
}

std::vector<std::string> ReferenceWaveformNames(std::string_view family) {
  std::vector<std::string> names;
  if (const models::FamilyRow* f = CModelTable::Instance().Family(family))
    for (int i = 1; i <= f->referenceWaveforms; ++i) names.push_back("WMEM" + std::to_string(i));
  return names;
}

}  // namespace korvane
