// Whatever a client sends, the simulated instrument answers or queues an error, and stays usable.
#include "Instrument.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static korvane::sim::CInstrument* instrument = new korvane::sim::CInstrument();
  // Each input starts from the reset state: a finding then reproduces from its input alone, and
  // a long record one input asked for does not slow every input after it.
  instrument->execute("*RST;*CLS");
  instrument->execute(std::string_view(reinterpret_cast<const char*>(data), size));
  // Still answers a plain query afterwards.
  auto reply = instrument->execute("*CLS;*IDN?");
  if (reply.units.empty()) std::abort();
  return 0;
}

extern const char* const kFuzzSeeds[] = {":CHANnel1:OFFSet 0.5;:chan1:offs?",
                                         ":MEAS:DEF? THR",
                                         ":SYST:DATA:VAL? \"COUN:CHAN\"",
                                         ":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:PRE?",
                                         ":TIM:SCAL 1e-3;RANG?",
                                         "*ESE 60;*SRE 32;*STB?",
                                         ":SIM:SIGN1:SHAP SQU",
                                         ":TRIG:EDGE:SOUR CHAN2;LEV 0.3",
                                         "#42000",
                                         "\"unterminated",
                                         nullptr};
