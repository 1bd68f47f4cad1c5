// korvane idn: who the instrument and the driver are.
#include "Commands.h"
#include "ExitCodes.h"
#include "Json.h"
#include "ToolSession.h"

#include <cstdio>

namespace korvane::cli {

namespace {
constexpr const char* kDefaultResource = "TCPIP0::127.0.0.1::5025::SOCKET";
}

int CmdIdn(const Args& a) {
  if (a.positional.size() > 1) return Usage("idn", "idn takes one resource");
  const std::string resource = a.positional.empty() ? kDefaultResource : a.positional[0];
  Session s;
  if (int rc = s.Open(resource, a)) return rc;
  using I = IIviDriverIdentity;
  const std::string maker = Identity(s.get(), &I::get_InstrumentManufacturer),
                    model = Identity(s.get(), &I::get_InstrumentModel),
                    firmware = Identity(s.get(), &I::get_InstrumentFirmwareRevision),
                    driver = Identity(s.get(), &I::get_Identifier), revision = Identity(s.get(), &I::get_Revision),
                    vendor = Identity(s.get(), &I::get_Vendor), description = Identity(s.get(), &I::get_Description);
  const bool simulated = Simulating(s.get());
  if (a.json) {
    std::printf(
        "{\"manufacturer\": %s, \"model\": %s, \"firmware\": %s, \"simulated\": %s, \"resource\": %s,\n"
        " \"driver\": {\"identifier\": %s, \"revision\": %s, \"vendor\": %s, \"description\": %s}}\n",
        JsonString(maker).c_str(), JsonString(model).c_str(), JsonString(firmware).c_str(),
        simulated ? "true" : "false", JsonString(resource).c_str(), JsonString(driver).c_str(),
        JsonString(revision).c_str(), JsonString(vendor).c_str(), JsonString(description).c_str());
    return kExitOk;
  }
  std::printf("Instrument   %s %s, firmware %s%s\n", maker.c_str(), model.c_str(), firmware.c_str(),
              simulated ? " (simulated)" : "");
  std::printf("Driver       %s %s by %s\n", driver.c_str(), revision.c_str(), vendor.c_str());
  std::printf("Description  %s\n", description.c_str());
  std::printf("Resource     %s\n", resource.c_str());
  return kExitOk;
}

}  // namespace korvane::cli
