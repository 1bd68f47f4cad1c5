#include <gtest/gtest.h>

#include <korvane/ModelTable.inc>

#include "SimTestUtil.h"

using namespace korvane::sim;
using test::drainErrors;
using test::num;

TEST(SimScpi, LongShortAnyCaseAndSuffixNameTheSameSetting) {
  CInstrument inst;
  inst.execute(":CHANnel2:OFFSet 0.25");
  EXPECT_EQ(num(inst.query(":chan2:offs?")), 0.25);
  EXPECT_EQ(num(inst.query(":CHANNEL2:OFFSET?")), 0.25);
  inst.execute("chan1:offs -0.125");  // no leading colon at message start is absolute too
  EXPECT_EQ(num(inst.query(":CHAN:OFFS?")), -0.125) << "a missing suffix means 1";
  EXPECT_EQ(inst.query(":CHAN2:OFFS?"), "+2.500000000E-01") << "NR3 canonical form";
  EXPECT_TRUE(drainErrors(inst).empty());
}

TEST(SimScpi, CompoundMessagesFollowThePathRule) {
  CInstrument inst;
  inst.execute(":TIM:SCAL 1e-3;POS 2e-4;:CHAN1:SCAL 0.5;OFFS 0.1;*CLS;PROB 10");
  EXPECT_EQ(num(inst.query(":TIM:POS?")), 2e-4);
  EXPECT_EQ(num(inst.query(":CHAN1:OFFS?")), 0.1);
  EXPECT_EQ(num(inst.query(":CHAN1:PROB?")), 10) << "a common command leaves the path alone";
  EXPECT_EQ(inst.query(":TIM:SCAL?;RANG?;:CHAN1:SCAL?"), "+1.000000000E-03;+1.000000000E-02;+5.000000000E-01");
  // Optional node: ":TRIG:EDGE:SLOP" and ":TRIG:SLOP" are one setting.
  inst.execute(":TRIG:EDGE:SLOP NEG;LEV 0.2");
  EXPECT_EQ(inst.query(":TRIG:SLOP?;LEV?"), "NEG;+2.000000000E-01");
  EXPECT_TRUE(drainErrors(inst).empty());
}

TEST(SimScpi, TokensAnswerTheirShortFormAndRangeFollowsScale) {
  CInstrument inst;
  inst.execute(":ACQ:TYPE averAGE;:TRIG:MODE glitch;:WAV:FORM ascii;:CHAN1:DISP OFF");
  EXPECT_EQ(inst.query(":ACQ:TYPE?;:TRIG:MODE?;:WAV:FORM?;:CHAN1:DISP?"), "AVER;GLIT;ASC;0");
  inst.execute(":CHAN1:RANG 4");
  EXPECT_EQ(num(inst.query(":CHAN1:SCAL?")), 0.5);
  inst.execute(":CHAN1:SCAL 0.1");
  EXPECT_EQ(num(inst.query(":CHAN1:RANG?")), 0.8);
  inst.execute(":TRIG:GLIT:RANG 3e-9, 5e-8");
  EXPECT_EQ(inst.query(":TRIG:GLIT:RANG?"), "+3.000000000E-09,+5.000000000E-08");
  EXPECT_TRUE(drainErrors(inst).empty());
}

TEST(SimScpi, QuotedStringsAndQueriesWithArguments) {
  CInstrument inst;
  inst.execute(":CHAN1:LAB 'say \"hi\";x'");
  EXPECT_EQ(inst.query(":CHAN1:LAB?"), "\"say \"\"hi\"\";x\"");
  inst.execute(":CHAN1:LAB \"a\"\"b\"");
  EXPECT_EQ(inst.query(":CHAN1:LAB?"), "\"a\"\"b\"");
  EXPECT_EQ(inst.query(":SYST:DATA:VAL? \"COUN:CHAN\""), "2");
  EXPECT_EQ(inst.query(":MEAS:DEF? THR"), "PERC,+9.000000000E+01,+5.000000000E+01,+1.000000000E+01");
  EXPECT_TRUE(drainErrors(inst).empty());
}

TEST(SimScpi, BadInputQueuesTheStandardErrorAndChangesNothing) {
  struct Case {
    const char* message;
    int code;
  };
  const Case cases[] = {
      {":NOPE 1", -113},
      {":CHAN1:OFFS", -109},
      {":CHAN1:OFFS 1,2", -108},
      {":CHAN1:OFFS abc", -104},
      {":CHAN1:COUP FOO", -224},
      {":CHAN1:OFFS 1000", -222},
      {":CHAN9:OFFS 0", -114},
      {":CHAN1:LAB \"open", -150},
      {":CHAN1:OFFS? 3", -108},
      {"*IDN", -113},
      {":CHAN1:PROB:ID \"x\"", -113},
      {":CHAN1:OFFS 1 2", -102},
      {":CHAN1:OFFS 1e999", -104},
      {"\x01\x02", -102},
      {":WAV:POIN MAX,abc", -104},
  };
  CInstrument inst;
  for (const Case& c : cases) {
    inst.execute(c.message);
    EXPECT_EQ(drainErrors(inst), std::vector<int>{c.code}) << c.message;
    EXPECT_EQ(num(inst.query(":CHAN1:OFFS?")), 0) << c.message;
  }
}

TEST(SimScpi, CommandErrorEndsTheMessageExecutionErrorDoesNot) {
  CInstrument inst;
  inst.execute(":BOGUS;:CHAN1:OFFS 0.3");
  EXPECT_EQ(num(inst.query(":CHAN1:OFFS?")), 0);
  inst.execute(":CHAN1:OFFS 1000;:CHAN1:SCAL 0.5");
  EXPECT_EQ(num(inst.query(":CHAN1:SCAL?")), 0.5);
  EXPECT_EQ(drainErrors(inst), (std::vector<int>{-113, -222}));
}

TEST(SimScpi, ResetRestoresDefaultsButKeepsTheSimulatedSignal) {
  CInstrument inst;
  inst.execute(":CHAN1:OFFS 0.5;:TIM:SCAL 1e-6;:SIM:SIGN1:FREQ 5e3");
  inst.execute("*RST");
  EXPECT_EQ(num(inst.query(":CHAN1:OFFS?")), 0);
  EXPECT_EQ(num(inst.query(":TIM:SCAL?")), 5e-4);
  EXPECT_EQ(num(inst.query(":SIM:SIGN1:FREQ?")), 5e3);
}

TEST(SimScpi, ModelDecidesChannelsPodsAndOptions) {
  EXPECT_THROW(CInstrument({.model = "NO-SUCH-MODEL"}), std::invalid_argument);
  for (const auto& m : korvane::models::kModels) {
    CInstrument inst({.model = m.id});
    SCOPED_TRACE(m.id);
    EXPECT_EQ(test::split(inst.query("*IDN?"), ',')[1], m.id);
    EXPECT_EQ(std::atoi(inst.query(":SYST:DATA:VAL? \"COUN:CHAN\"").c_str()), m.analog);
    const int pods = std::atoi(inst.query(":SYST:DATA:VAL? \"COUN:POD\"").c_str());
    EXPECT_EQ(pods * std::atoi(inst.query(":SYST:DATA:VAL? \"POD:SIZE\"").c_str()), m.digital);
    EXPECT_EQ(num(inst.query(":SYST:DATA:VAL? \"CHAN:BAND\"")), m.bandwidthMHz * 1e6);
    EXPECT_EQ(inst.query("*OPT?").find("MSO") != std::string::npos, m.digital > 0);
    inst.execute(":CHAN" + std::to_string(m.analog + 1) + ":OFFS 0");
    EXPECT_EQ(drainErrors(inst), std::vector<int>{-114});
  }
}
