// How fast the simulator makes a record: :DIG followed by the first :WAV:DATA? of it (the
// synthesis and the encoding, no socket), per format and signal, in points per second of CPU
// time (wall time on a busy machine measures the scheduler).
// Usage: sim_acquire_speed [points=1000000] [repetitions=20]
#include "Instrument.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const long points = argc > 1 ? std::atol(argv[1]) : 1000000;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 20;
  struct Case {
    const char* name;
    const char* setup;
  };
  const Case cases[] = {
      {"sine, WORD", ":SIM:SIGN1:SHAP SIN;NOIS 0;:WAV:FORM WORD"},
      {"sine + noise, WORD", ":SIM:SIGN1:SHAP SIN;NOIS 0.01;:WAV:FORM WORD"},
      {"square + noise, BYTE", ":SIM:SIGN1:SHAP SQU;NOIS 0.01;:WAV:FORM BYTE"},
      {"triangle, WORD", ":SIM:SIGN1:SHAP TRI;NOIS 0;:WAV:FORM WORD"},
      {"sine, peak detect, WORD", ":SIM:SIGN1:SHAP SIN;NOIS 0;:ACQ:TYPE PEAK;:WAV:FORM WORD"},
  };
  korvane::sim::CInstrument inst;
  for (const Case& c : cases) {
    inst.execute("*RST");
    inst.execute(std::string(c.setup) + ";:WAV:SOUR CHAN1;:WAV:POIN " + std::to_string(points));
    double best = 1e9;
    size_t bytes = 0;
    for (int i = 0; i < reps; ++i) {
      timespec a{}, b{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
      inst.execute(":DIG");
      const korvane::sim::Reply r = inst.execute(":WAV:DATA?");
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
      const double s = static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) * 1e-9;
      bytes = r.size();
      if (s < best) best = s;
    }
    const std::string err = inst.query(":SYST:ERR?");
    std::printf("%-26s %ld points: best %.2f ms, %.0f M points/s (%zu bytes; %s)\n", c.name, points, best * 1e3,
                static_cast<double>(points) / best / 1e6, bytes, err.c_str());
  }
  return 0;
}
