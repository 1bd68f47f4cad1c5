// korvane: command-line front end of the driver.
//   korvane idn [<resource>] [--options "<option string>"]
// Opens a driver session, prints the instrument's identity and the driver's, and closes it.
#include "core/Driver.h"
#include "io/VisaComSession.h"

#include <korvane/ComHelpers.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: korvane idn [<resource>] [--options \"<option string>\"]\n"
               "  e.g. korvane idn --options \"Simulate=true, DriverSetup= Model=MSO-CD500\"\n");
  return 2;
}

// Prints the driver's status and the thread's error description, as a caller would see them.
int Fail(const char* what, HRESULT hr) {
  std::string text;
  korvane::ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
    korvane::Bstr d;
    info->GetDescription(d.Receive());
    text = d.Narrow();
  }
  std::fprintf(stderr, "korvane: %s failed: 0x%08X %s\n", what, static_cast<unsigned>(hr), text.c_str());
  return 1;
}

std::string Get(korvane::CDriver& d, HRESULT (korvane::CDriver::*getter)(BSTR*)) {
  korvane::Bstr v;
  return SUCCEEDED((d.*getter)(v.Receive())) ? v.Narrow() : std::string("?");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "idn") != 0) return Usage();
  std::string resource = "TCPIP0::127.0.0.1::5025::SOCKET";
  std::string options;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--options") == 0 && i + 1 < argc)
      options = argv[++i];
    else if (argv[i][0] != '-')
      resource = argv[i];
    else
      return Usage();
  }

  korvane::ComInit com;
  korvane::CDriver driver(std::make_unique<korvane::cKorvaneVisaComSession>());
  korvane::Bstr res(resource), opt(options);
  HRESULT hr = driver.Initialize(res, VARIANT_TRUE, VARIANT_FALSE, opt);
  if (FAILED(hr)) return Fail("Initialize", hr);

  using D = korvane::CDriver;
  VARIANT_BOOL simulate = VARIANT_FALSE;
  driver.get_Simulate(&simulate);
  std::printf("Instrument   %s %s, firmware %s%s\n", Get(driver, &D::get_InstrumentManufacturer).c_str(),
              Get(driver, &D::get_InstrumentModel).c_str(), Get(driver, &D::get_InstrumentFirmwareRevision).c_str(),
              simulate ? " (simulated)" : "");
  std::printf("Driver       %s %s by %s\n", Get(driver, &D::get_Identifier).c_str(),
              Get(driver, &D::get_Revision).c_str(), Get(driver, &D::get_Vendor).c_str());
  std::printf("Description  %s\n", Get(driver, &D::get_Description).c_str());
  std::printf("Resource     %s\n", Get(driver, &D::get_IoResourceDescriptor).c_str());

  hr = driver.Close();
  if (FAILED(hr)) return Fail("Close", hr);
  return 0;
}
