// What finding instruments costs: each finder alone and all of them together at the default
// timeout (wall time, process CPU time, datagrams sent, resources found), *IDN? on what was
// found, and the shortest timeout at which the list is already complete on this machine.
// bench/run-find-bench starts the simulators and passes their addresses.
// Usage: korvane_discovery_bench <portmapper port> <dns-sd address:port>...
#include "visacom/Discovery.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ctime>
#include <string>
#include <vector>

using namespace korvane::visacom;
using Clock = std::chrono::steady_clock;

namespace {

struct Cost {
  double wallMs = 0, cpuMs = 0;
  std::size_t found = 0;
  std::shared_ptr<std::atomic<std::size_t>> datagrams = std::make_shared<std::atomic<std::size_t>>(0);
};

template <typename Run>
Cost Measure(FindOptions o, Run run) {
  Cost c;
  auto sent = c.datagrams;  // the finders run on threads of their own
  o.onSend = [sent](const std::string&, const std::string&) { ++*sent; };
  const std::clock_t cpu = std::clock();
  const auto start = Clock::now();
  c.found = run(o);
  c.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  c.cpuMs = 1000.0 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
  return c;
}

void Print(const char* what, const Cost& c) {
  std::printf("%-34s %9.1f %9.2f %9zu %7zu\n", what, c.wallMs, c.cpuMs, c.datagrams->load(), c.found);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvane_discovery_bench <portmapper port> <dns-sd address:port>...\n");
    return 2;
  }
  FindOptions base;
  base.interfaces = {"lo"};
  base.portmapperPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  for (int i = 2; i < argc; ++i) base.dnsSdServers.push_back(argv[i]);

  std::printf("%-34s %9s %9s %9s %7s\n", "default timeout (1000 ms)", "wall ms", "cpu ms", "datagrams", "found");
  const struct {
    const char* name;
    FinderFn fn;
  } finders[] = {{"VXI-11 (portmapper + DNS-SD)", &FindVxi11},
                 {"HiSLIP (DNS-SD)", &FindHislip},
                 {"SOCKET (DNS-SD)", &FindSocket},
                 {"USBTMC (sysfs)", &FindUsbtmc},
                 {"serial (sysfs)", &FindSerial}};
  for (const auto& f : finders)
    Print(f.name, Measure(base, [&](const FindOptions& o) {
            std::vector<FoundResource> out;
            f.fn(o, out);
            return out.size();
          }));
  std::vector<FoundResource> all;
  Print("all finders (FindResources)", Measure(base, [&](const FindOptions& o) {
          all = FindResources(o);
          return all.size();
        }));
  Print("*IDN? on each found (Identify)", Measure(base, [&](const FindOptions& o) {
          Identify(all, o.timeoutMs);
          std::size_t answered = 0;
          for (const FoundResource& f : all) answered += f.identityError.empty() && f.hints.count("serial");
          return answered;
        }));

  // The shortest timeout that already gives the whole list here: how long replies take.
  const std::size_t complete = all.size();
  for (int ms : {2, 5, 10, 20, 50, 100, 200}) {
    FindOptions o = base;
    o.timeoutMs = ms;
    const std::size_t n = FindResources(o).size();
    std::printf("timeout %4d ms: %zu of %zu\n", ms, n, complete);
  }
  return 0;
}
