// The IVI configuration store as the session uses it: logical names and the software module.
#pragma once

#include "core/SessionFlags.h"

#include <korvane/KorvanePlatform.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// "Configurable Initial Settings": name (a property path from the root,
// "Acquisition.TimePerRecord"; CDriver::LoadInitialSettings says how they apply) and value as
// written in the store, in the store's order.
using InitialSettingList = std::vector<std::pair<std::string, std::string>>;

// What a driver session of the store contributes to Initialize.
struct ConfigDriverSession : StoredSessionFlags {
  std::string ioResourceDescriptor;  // from the session's hardware asset
  std::string driverSetup;
  std::map<std::string, std::string> virtualNames;  // virtual repeated-capability name -> physical
  InitialSettingList initialSettings;
};

class IConfigStore {
 public:
  virtual ~IConfigStore() = default;
  virtual bool FindDriverSession(std::string_view name, ConfigDriverSession& out) = 0;
  // The module's "Configurable Initial Settings" go to `initialSettings` (as a session's do).
  virtual bool FindSoftwareModule(std::string_view name, InitialSettingList& initialSettings) = 0;
  // Why the store could not be read, for a store that exists but is damaged; empty when it
  // was read. Initialize reports it rather than resolving names without it.
  virtual std::string LoadError() const { return {}; }
};

// Creates the store and reads it from its master location.
using ConfigStoreFactory = std::function<HRESULT(std::unique_ptr<IConfigStore>& out)>;

// The store this system has: the configuration-store XML file of configstore::LocateStore
// (ConfigStoreXml.h). With no file, creation fails with REGDB_E_CLASSNOTREG and Initialize uses
// the resource name as the I/O resource descriptor.
HRESULT CreateSystemConfigStore(std::unique_ptr<IConfigStore>& out);
// The store of one file, read now.
HRESULT CreateFileConfigStore(const std::string& path, std::unique_ptr<IConfigStore>& out);

}  // namespace korvane
