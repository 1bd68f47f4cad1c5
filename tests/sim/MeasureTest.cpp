#include <gtest/gtest.h>

#include <cmath>

#include "SimTestUtil.h"

using namespace korvane::sim;
using test::drainErrors;
using test::num;

namespace {
double meas(CInstrument& inst, const std::string& q) { return num(inst.query(":MEAS:" + q)); }
}  // namespace

TEST(SimMeasure, SineAmplitudeAndTiming) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP SIN;FREQ 1e3;AMPL 0.5;OFFS 0.1;:CHAN1:OFFS 0.1;:TIM:SCAL 5e-4;:WAV:POIN 10000");
  EXPECT_NEAR(meas(inst, "FREQ? CHAN1"), 1e3, 1);
  EXPECT_NEAR(meas(inst, "PER?"), 1e-3, 1e-6);
  EXPECT_NEAR(meas(inst, "VPP?"), 1.0, 1e-3);
  EXPECT_NEAR(meas(inst, "VMAX?"), 0.6, 1e-3);
  EXPECT_NEAR(meas(inst, "VMIN?"), -0.4, 1e-3);
  EXPECT_NEAR(meas(inst, "VAV? DISP"), 0.1, 1e-3);
  EXPECT_NEAR(meas(inst, "VRMS? CYCL,AC"), 0.5 / std::sqrt(2.0), 1e-3);
  EXPECT_NEAR(meas(inst, "VRMS? CYCL,DC"), std::sqrt(0.125 + 0.01), 1e-3);
  EXPECT_TRUE(drainErrors(inst).empty());
}

TEST(SimMeasure, PulseDutyWidthsAndLevels) {
  CInstrument inst;
  inst.execute(":SIM:SIGN2:SHAP SQU;FREQ 1e3;AMPL 0.5;OFFS 0;DUTY 30;:WAV:POIN 20000;:MEAS:SOUR CHAN2");
  EXPECT_NEAR(meas(inst, "DUTY?"), 30, 0.1);
  EXPECT_NEAR(meas(inst, "NDUT?"), 70, 0.1);
  EXPECT_NEAR(meas(inst, "PWID?"), 0.3e-3, 1e-6);
  EXPECT_NEAR(meas(inst, "NWID?"), 0.7e-3, 1e-6);
  EXPECT_NEAR(meas(inst, "VTOP?"), 0.5, 1e-9);
  EXPECT_NEAR(meas(inst, "VBAS?"), -0.5, 1e-9);
  EXPECT_NEAR(meas(inst, "VAMP?"), 1.0, 1e-9);
  EXPECT_EQ(meas(inst, "PEDG?"), 5);
  EXPECT_LT(meas(inst, "RIS?"), 1e-6);
}

TEST(SimMeasure, ThresholdDefinitionMovesEdgeTimes) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP TRI;FREQ 1e3;AMPL 0.5;OFFS 0;:WAV:POIN 20000");
  // A triangle ramps 1 V in 0.5 ms: 10 % to 90 % takes 0.4 ms.
  EXPECT_NEAR(meas(inst, "RIS?"), 0.4e-3, 2e-6);
  inst.execute(":MEAS:DEF THR,ABS,0.25,0,-0.25");
  EXPECT_EQ(inst.query(":MEAS:DEF? THR"), "ABS,+2.500000000E-01,+0.000000000E+00,-2.500000000E-01");
  EXPECT_NEAR(meas(inst, "RIS?"), 0.25e-3, 2e-6);
  EXPECT_NEAR(meas(inst, "FALL?"), 0.25e-3, 2e-6);
  inst.execute(":MEAS:DEF THR,PERC,10,50,90");
  EXPECT_EQ(drainErrors(inst), std::vector<int>{-221});
  inst.execute(":MEAS:DEF THR,PERC,150,50,10");
  EXPECT_EQ(drainErrors(inst), std::vector<int>{-222});
  EXPECT_EQ(inst.query(":MEAS:DEF? THR").substr(0, 4), "ABS,") << "refused definitions change nothing";
}

TEST(SimMeasure, DelayAndPhaseBetweenTwoSources) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP SIN;FREQ 1e3;PHAS 0;:SIM:SIGN2:SHAP SIN;FREQ 1e3;AMPL 0.5;PHAS -90;:WAV:POIN 20000");
  inst.execute(":MEAS:SOUR CHAN1,CHAN2");
  EXPECT_EQ(inst.query(":MEAS:SOUR?"), "CHAN1,CHAN2");
  EXPECT_NEAR(meas(inst, "DEL?"), 0.25e-3, 1e-6);
  EXPECT_NEAR(meas(inst, "PHAS?"), 90, 0.5);
  inst.execute(":MEAS:DEF DEL,+1,+2");
  EXPECT_EQ(inst.query(":MEAS:DEF? DEL"), "+1,+2");
  EXPECT_NEAR(meas(inst, "DEL?"), 1.25e-3, 1e-6);
}

TEST(SimMeasure, NoEdgesGivesTheNoResultValueAndBadArgumentsAreRefused) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP DC;AMPL 0.2");
  EXPECT_EQ(meas(inst, "FREQ?"), 9.9e37);
  EXPECT_NEAR(meas(inst, "VAV?"), 0.2, 1e-4);
  EXPECT_FALSE(inst.execute(":MEAS:FREQ? BOGUS").hasOutput());
  EXPECT_EQ(drainErrors(inst), std::vector<int>{-224});
  inst.execute(":MEAS:FREQ CHAN1;:MEAS:VAV CHAN2");
  EXPECT_EQ(test::split(inst.query(":MEAS:RES?"), ',').size(), 2u);
}
