// The driver against a plain socket client on the same simulator, built for both platforms so
// that the Windows figures (under Wine) and the Linux ones come from the same code:
//   - ":TIM:SCAL?" through Timebase.HorizontalScale, and the same query written and read with
//     blocking send/recv;
//   - ReadWaveform of 1,000,000 points on Channel1, and the raw client sending the same commands
//     and reading and scaling the same block into storage it keeps; the driver twice: with a
//     client that frees its last array before the call (a new 8 MB array every time), and with
//     one that passes it back for the driver to fill.
// Driver and raw client are measured in alternating rounds, so that load from other work on a
// shared machine falls on both alike; the ratios are the figures to trust.
// With --receive-patterns the raw client also times the query with the receive patterns a
// transport could use (blocking recv, recv after a wait, a would-block recv then wait then recv).
// Usage: korvane_socket_client_bench --port=N [--rounds=R] [--gets=G] [--receive-patterns]
//        (bench/run-windows-bench starts the simulator and passes its port).
#include "SocketClients.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace korvane {
namespace {

using bench::Driver;
using bench::kPoints;
using bench::RawClient;
using bench::Receive;

int g_port = 0;

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Totals {
  double driver = 0, raw = 0;
  long n = 0;
};

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  using namespace korvane;
  int rounds = 10, gets = 200;
  bool patterns = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) g_port = std::atoi(argv[i] + 7);
    else if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
    else if (std::strncmp(argv[i], "--gets=", 7) == 0) gets = std::atoi(argv[i] + 7);
    else if (std::strcmp(argv[i], "--receive-patterns") == 0) patterns = true;
    else g_port = 0;
  }
  if (g_port <= 0 || rounds <= 0 || gets <= 0) {
    std::fprintf(stderr, "usage: %s --port=N [--rounds=R] [--gets=G] [--receive-patterns]\n", argv[0]);
    return 2;
  }
#if defined(_WIN32)
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
#endif
  int rc = 0;
  {
    ComInit com;
    Driver driver(g_port);
    RawClient raw(g_port);
    if (!driver.ok || !raw.ok()) {
      std::fprintf(stderr, "no connection to the simulator on port %d\n", g_port);
      return 1;
    }
    // One of each first: connections and caches are warm before timing.
    SafeArrayPtr wave, kept;
    std::vector<char> block;
    std::vector<double> volts;
    if (!driver.Get() || !raw.Get() || !driver.Read(wave) || !raw.Waveform(true, block, volts)) {
      std::fprintf(stderr, "the first transfer failed\n");
      return 1;
    }

    // Who goes first changes every round: the simulator makes a new record for the first
    // ":DIG" after the last one it served, and that cost must fall on both sides alike.
    Totals get, read, passedBack;
    auto timeGets = [&](bool driverSide) {
      auto t0 = Clock::now();
      for (int k = 0; k < gets; ++k)
        if (!(driverSide ? driver.Get() : raw.Get())) rc = 1;
      (driverSide ? get.driver : get.raw) += Seconds(t0, Clock::now());
    };
    // Reads: 0 the driver with a freed array, 1 the raw client, 2 the driver given its last array.
    auto timeRead = [&](int who) {
      auto t0 = Clock::now();
      if (!(who == 1 ? raw.Waveform(true, block, volts) : who == 0 ? driver.Read(wave) : driver.Read(kept, true)))
        rc = 1;
      (who == 1 ? read.raw : who == 0 ? read.driver : passedBack.driver) += Seconds(t0, Clock::now());
    };
    // Then three untimed rounds of reads, each side first once. Memory touched for the first
    // time costs far more than memory reused (20-30 ms for 8 MB on some virtual machines), and
    // the simulator and the C library touch new memory for their second and third records of
    // this size, not only their first: without these rounds that cost fell on the first timed
    // reads, which the driver always led.
    for (int r = 0; r < 3 && rc == 0; ++r)
      for (int k = 0; k < 3; ++k) timeRead((r + k) % 3);
    get = read = passedBack = Totals{};
    for (int r = 0; r < rounds && rc == 0; ++r) {
      const bool driverFirst = r % 2 == 0;
      timeGets(driverFirst);
      timeGets(!driverFirst);
      for (int k = 0; k < 3; ++k) timeRead((r + k) % 3);
      get.n += gets;
      read.n += 1;
    }
    if (rc != 0) {
      std::fprintf(stderr, "a transfer failed during the rounds\n");
      return rc;
    }
    const double getDriverUs = get.driver / get.n * 1e6, getRawUs = get.raw / get.n * 1e6;
    const double readDriver = read.n * kPoints / read.driver, readRaw = read.n * kPoints / read.raw;
    std::printf("round trip   %.1f us driver, %.1f us raw, driver/raw %.3f (%ld gets each)\n", getDriverUs, getRawUs,
                getDriverUs / getRawUs, get.n);
    const double passedDriver = read.n * kPoints / passedBack.driver;
    std::printf("ReadWaveform %.3g points/s driver, %.3g points/s raw, driver/raw %.3f (%ld reads each)\n", readDriver,
                readRaw, readDriver / readRaw, read.n);
    std::printf("ReadWaveform, last array passed back %.3g points/s driver, driver/raw %.3f\n", passedDriver,
                passedDriver / readRaw);

    if (patterns) {
      // The raw query with each receive pattern, in turns.
      const Receive modes[] = {Receive::Blocking, Receive::WaitFirst, Receive::TryWaitRetry};
      double total[3] = {};
      for (int r = 0; r < rounds && rc == 0; ++r)
        for (int m = 0; m < 3; ++m) {
          raw.Use(modes[m]);
          auto t0 = Clock::now();
          for (int k = 0; k < gets; ++k)
            if (!raw.Get()) rc = 1;
          total[m] += Seconds(t0, Clock::now());
        }
      raw.Use(Receive::Blocking);
      for (int m = 0; m < 3; ++m)
        std::printf("raw query, %-17s %.1f us\n", Name(modes[m]), total[m] / (rounds * gets) * 1e6);
    }
  }
#if defined(_WIN32)
  WSACleanup();
#endif
  return rc;
}
