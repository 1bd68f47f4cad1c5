#include "DriverRoot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace korvane::cli {

HRESULT CreateDriverRoot(IKorvane8** out) {
  *out = nullptr;
  return CoCreateInstance(CLSID_Korvane, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvane8, reinterpret_cast<void**>(out));
}

#ifdef _WIN32
std::string SimulatorPath(const char*) { return {}; }
int RunInForeground(const std::string&, char* const*) {
  std::fprintf(stderr, "korvane: the simulator runs on Linux only\n");
  return 1;
}
#else
namespace {
std::string OwnDirectory(const char* argv0) {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string(argv0 ? argv0 : "");
  std::size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}
}  // namespace

std::string SimulatorPath(const char* argv0) {
  const std::string dir = OwnDirectory(argv0);
  for (const std::string& p : {dir + "/korvane-scope-sim", dir + "/../sim/korvane-scope-sim"})
    if (access(p.c_str(), X_OK) == 0) return p;
  return {};
}

int RunInForeground(const std::string& program, char* const* argv) {
  execv(program.c_str(), argv);
  std::fprintf(stderr, "korvane: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
  return 1;
}
#endif

}  // namespace korvane::cli
