#include "core/Identity.h"

#include <korvane/ModelTable.inc>

namespace korvane::identity {

const char* Vendor() noexcept { return models::kVendor; }

const std::string& DescriptionForBuild() {
  static const std::string text = std::string(kDescription) +
                                  (sizeof(void*) == 8 ? " [Compiled for 64-bit.]" : " [Compiled for 32-bit.]");
  return text;
}

const std::string& SupportedInstrumentModels() {
  static const std::string list = [] {
    std::string s;
    for (const auto& row : models::kModels) {
      if (!s.empty()) s += ',';
      s += row.id;
    }
    return s;
  }();
  return list;
}

const char* DefaultSimulationModel() noexcept { return models::kModels[0].id; }

bool IsSupportedModelId(std::string_view model) noexcept {
  for (const auto& row : models::kModels)
    if (model == row.id) return true;
  return false;
}

}  // namespace korvane::identity
