// korvane config: the logical names of the IVI configuration store that Initialize reads, by
// the driver's own store reader (core/ConfigStoreXml.h).
#include "Commands.h"
#include "ExitCodes.h"
#include "Arguments.h"
#include "core/ConfigStoreXml.h"

#include <cstdio>

namespace korvane::cli {
namespace {

int StoreFailure(const std::string& why) { return Failure("IVI configuration store: " + why); }

}  // namespace

// The store the driver reads in Initialize, where it finds one (core/ConfigStoreXml.h).
int CmdConfig(const Args& a) {
  if (!a.positional.empty()) return Usage("config", "config takes no arguments");
  std::string error;
  const std::string path = configstore::LocateStore(&error);
  if (!error.empty()) return StoreFailure(error);
  if (path.empty()) {
    std::printf("No IVI configuration store: resources are used as they are written.\n");
    return kExitOk;
  }
  configstore::Store store;
  if (!configstore::LoadStore(path, store, &error)) return StoreFailure(error);
  std::printf("Store %s\n", path.c_str());
  for (const configstore::LogicalName& name : store.logicalNames) {
    const configstore::DriverSession* s = store.FindSession(name.name);
    std::string where = s ? s->ioResourceDescriptor : "(no driver session)";
    if (s && s->simulate.value_or(false)) where += " (simulated)";
    std::printf("  %-24s %-24s %s\n", name.name.c_str(), s ? s->name.c_str() : "", where.c_str());
  }
  return kExitOk;
}

}  // namespace korvane::cli
