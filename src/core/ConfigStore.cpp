#include "core/ConfigStore.h"

#include "core/ConfigStoreXml.h"
#include "platform/Guard.h"

namespace korvane {
namespace {

InitialSettingList ToList(const std::vector<configstore::InitialSetting>& settings) {
  InitialSettingList out;
  out.reserve(settings.size());
  for (const configstore::InitialSetting& i : settings) out.emplace_back(i.name, i.value);
  return out;
}

class CFileConfigStore final : public IConfigStore {
 public:
  explicit CFileConfigStore(configstore::Store store) : store_(std::move(store)) {}
  explicit CFileConfigStore(std::string error) : error_(std::move(error)) {}

  bool FindDriverSession(std::string_view name, ConfigDriverSession& out) override {
    const configstore::DriverSession* s = store_.FindSession(name);
    if (!s) return false;
    out = ConfigDriverSession{};
    out.ioResourceDescriptor = s->ioResourceDescriptor;
    static_cast<StoredSessionFlags&>(out) = *s;
    out.driverSetup = s->driverSetup;
    out.virtualNames = s->virtualNames;
    out.initialSettings = ToList(s->initialSettings);
    return true;
  }
  bool FindSoftwareModule(std::string_view name, InitialSettingList& initialSettings) override {
    const configstore::SoftwareModule* m = store_.FindSoftwareModule(name);
    if (!m) return false;
    initialSettings = ToList(m->initialSettings);
    return true;
  }
  std::string LoadError() const override { return error_; }

 private:
  configstore::Store store_;
  std::string error_;
};

}  // namespace

HRESULT CreateFileConfigStore(const std::string& path, std::unique_ptr<IConfigStore>& out) {
  return Guarded(
      [&] {
        configstore::Store store;
        std::string error;
        if (configstore::LoadStore(path, store, &error)) out = std::make_unique<CFileConfigStore>(std::move(store));
        else out = std::make_unique<CFileConfigStore>(std::move(error));
        return S_OK;
      },
      [&out](const CaughtException& e) noexcept {
        out.reset();
        return e.hr();
      });
}

HRESULT CreateSystemConfigStore(std::unique_ptr<IConfigStore>& out) {
  out.reset();
  return Guarded([&]() -> HRESULT {
    std::string error;
    const std::string path = configstore::LocateStore(&error);
    if (!error.empty()) {
      out = std::make_unique<CFileConfigStore>(std::move(error));
      return S_OK;
    }
    if (path.empty()) return REGDB_E_CLASSNOTREG;
    return CreateFileConfigStore(path, out);
  });
}

}  // namespace korvane
