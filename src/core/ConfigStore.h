// The IVI configuration store as the session uses it: logical names and the software module.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// What a driver session of the store contributes to Initialize.
struct ConfigDriverSession {
  std::string ioResourceDescriptor;  // from the session's hardware asset
  std::optional<bool> cache, interchangeCheck, queryInstrumentStatus, rangeCheck, recordCoercions, simulate;
  std::string driverSetup;
};

class IConfigStore {
 public:
  virtual ~IConfigStore() = default;
  virtual bool FindDriverSession(std::string_view name, ConfigDriverSession& out) = 0;
  virtual bool FindSoftwareModule(std::string_view name) = 0;
};

// Creates the store and reads it from its master location.
using ConfigStoreFactory = std::function<HRESULT(std::unique_ptr<IConfigStore>& out)>;

// The system's store. There is none on the systems this driver is built for today, so creation
// always fails and Initialize uses the resource name as the I/O resource descriptor.
HRESULT CreateSystemConfigStore(std::unique_ptr<IConfigStore>& out);

}  // namespace korvane
