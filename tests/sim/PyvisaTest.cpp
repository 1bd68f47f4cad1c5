// Reads the simulator with pyvisa-py, a client written by other people.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/SimProcess.h"

using namespace korvane::sim::test;

namespace {

const char* const kScript = R"PY(
import sys
import pyvisa
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource("TCPIP0::127.0.0.1::%s::SOCKET" % sys.argv[1],
                        read_termination="\n", write_termination="\n", timeout=10000)
print("IDN", inst.query("*IDN?").strip())
inst.write(":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:UNS 0;:WAV:BYT MSBF;:WAV:POIN 2000;:DIG")
pre = [float(x) for x in inst.query(":WAV:PRE?").split(",")]
print("POINTS", int(pre[2]))
raw = inst.query_binary_values("WAV:DATA?", datatype="h", is_big_endian=True, container=list)
volts = [(r - pre[9]) * pre[7] + pre[8] for r in raw]
print("COUNT", len(volts))
print("RANGE %.4f %.4f" % (min(volts), max(volts)))
)PY";

std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    if (::pclose(p) != 0) out += "EXIT-FAILED\n";
  }
  return out;
}

}  // namespace

TEST(SimPyvisa, ReadsIdentityPreambleAndWordBlock) {
  const std::string python = KORVANE_SYSTEM_PYTHON;
  if (std::system((python + " -c 'import pyvisa, pyvisa_py' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "pyvisa with pyvisa-py is not installed for " << python << " (Debian: python3-pyvisa-py)";

  const std::string script = ::testing::TempDir() + "sim_pyvisa_read.py";
  std::ofstream(script) << kScript;
  SimProcess sim({"--port", "0", "--signal", "1:sine:1e3:0.4"});
  ASSERT_GT(sim.port(), 0);
  const std::string out = run(python + " " + script + " " + std::to_string(sim.port()) + " 2>&1");
  EXPECT_NE(out.find("IDN Veltrane Instruments,"), std::string::npos) << out;
  EXPECT_NE(out.find("POINTS 2000\n"), std::string::npos) << out;
  EXPECT_NE(out.find("COUNT 2000\n"), std::string::npos) << out;
  // A 0.4 V sine over five periods: extremes within a quantisation step or two.
  EXPECT_NE(out.find("RANGE -0.4000 0.4000\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("EXIT-FAILED"), std::string::npos) << out;
}
