#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "SimTestUtil.h"

using namespace korvane::sim;
using test::drainErrors;
using test::num;
using test::split;

namespace {

struct Decoded {
  std::vector<double> pre;
  std::vector<double> volts;
};

// Reads the preamble and the block the way a client does and scales the points.
Decoded fetch(CInstrument& inst) {
  Decoded d;
  for (const std::string& f : split(inst.query(":WAV:PRE?"), ',')) d.pre.push_back(num(f));
  EXPECT_EQ(d.pre.size(), 10u);
  const std::string reply = inst.execute("WAV:DATA?").flatten();
  EXPECT_EQ(reply[0], '#');
  const size_t digits = static_cast<size_t>(reply[1] - '0');
  const size_t len = std::stoul(reply.substr(2, digits));
  EXPECT_EQ(reply.size(), 2 + digits + len + 1) << "header length matches the payload";
  EXPECT_EQ(reply.back(), '\n');
  const std::string body = reply.substr(2 + digits, len);
  const std::string fmt = inst.query(":WAV:FORM?");
  const bool uns = inst.query(":WAV:UNS?") == "1";
  const bool lsbf = inst.query(":WAV:BYT?") == "LSBF";
  const double yinc = d.pre[7], yorg = d.pre[8], yref = d.pre[9];
  if (fmt == "ASC") {
    for (const std::string& v : split(body, ',')) d.volts.push_back(num(v));
  } else if (fmt == "WORD") {
    for (size_t i = 0; i + 1 < body.size(); i += 2) {
      const auto hi = static_cast<uint8_t>(body[lsbf ? i + 1 : i]), lo = static_cast<uint8_t>(body[lsbf ? i : i + 1]);
      const uint16_t raw = static_cast<uint16_t>(hi << 8 | lo);
      const double code = uns ? raw : static_cast<int16_t>(raw);
      d.volts.push_back((code - yref) * yinc + yorg);
    }
  } else {
    for (char c : body) {
      const double code = uns ? static_cast<uint8_t>(c) : static_cast<int8_t>(c);
      d.volts.push_back((code - yref) * yinc + yorg);
    }
  }
  return d;
}

}  // namespace

class SimWaveformFormat : public ::testing::TestWithParam<const char*> {};

TEST_P(SimWaveformFormat, PreambleAndDataReconstructTheSignal) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP SIN;FREQ 2e3;AMPL 0.3;OFFS 0.1");
  inst.execute(":CHAN1:SCAL 0.1;OFFS 0.05;:TIM:SCAL 1e-4;POS 1e-4;REF LEFT;:WAV:POIN 500");
  inst.execute(std::string(":WAV:SOUR CHAN1;") + GetParam() + ";:DIG");
  const Decoded d = fetch(inst);
  ASSERT_EQ(d.volts.size(), 500u);
  EXPECT_EQ(d.pre[2], 500);
  EXPECT_NEAR(d.pre[4], 1e-3 / 500, 1e-15);  // x increment: range / points
  EXPECT_NEAR(d.pre[5], 0, 1e-15);           // x origin: position - range / 10 with the reference left
  const double tolerance = inst.query(":WAV:FORM?") == "ASC" ? 1e-6 : d.pre[7] / 2 + 1e-12;
  for (size_t k = 0; k < d.volts.size(); ++k) {
    const double t = d.pre[5] + static_cast<double>(k) * d.pre[4];
    const double expected = 0.1 + 0.3 * std::sin(2 * std::numbers::pi * 2e3 * t);
    ASSERT_NEAR(d.volts[k], expected, tolerance) << "point " << k;
  }
  EXPECT_TRUE(drainErrors(inst).empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, SimWaveformFormat,
                         ::testing::Values(":WAV:FORM WORD;UNS 0;BYT MSBF", ":WAV:FORM WORD;UNS 1;BYT MSBF",
                                           ":WAV:FORM WORD;UNS 0;BYT LSBF", ":WAV:FORM BYTE;UNS 0",
                                           ":WAV:FORM BYTE;UNS 1", ":WAV:FORM ASC"));

TEST(SimWaveform, OffScreenVoltagesClipAtTheCodeLimits) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP SQU;AMPL 2;:CHAN1:SCAL 0.1;OFFS 0;:WAV:FORM WORD;UNS 0;:DIG");
  const std::string reply = inst.execute("WAV:DATA?").flatten();
  const size_t start = 2 + static_cast<size_t>(reply[1] - '0');
  for (size_t i = start; i + 1 < reply.size() - 1; i += 2) {
    const auto raw = static_cast<int16_t>(static_cast<uint8_t>(reply[i]) << 8 | static_cast<uint8_t>(reply[i + 1]));
    ASSERT_TRUE(raw == 32767 || raw == -32768) << raw;
  }
}

TEST(SimWaveform, PeakDetectSendsMinMaxPairs) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP TRI;:ACQ:TYPE PEAK;:WAV:FORM WORD;UNS 0;POIN 200;:DIG");
  EXPECT_EQ(inst.query(":WAV:TYPE?"), "PEAK");
  const Decoded d = fetch(inst);
  EXPECT_EQ(d.pre[1], 1);
  ASSERT_EQ(d.volts.size(), 400u);
  double spread = 0;
  for (size_t k = 0; k < 200; ++k) {
    ASSERT_LE(d.volts[2 * k], d.volts[2 * k + 1]);
    spread += d.volts[2 * k + 1] - d.volts[2 * k];
  }
  EXPECT_GT(spread, 0) << "a moving signal gives max above min";
}

TEST(SimWaveform, StoppedRecordIsKeptUntilTheNextAcquisition) {
  CInstrument inst;
  inst.execute(":SIM:SIGN1:SHAP NOIS;AMPL 0.1;:WAV:FORM WORD;:DIG");
  const std::string first = inst.execute("WAV:DATA?").flatten();
  inst.execute(":CHAN1:OFFS 0.2;:WAV:POIN 100");  // stopped: the record stays
  EXPECT_EQ(inst.execute("WAV:DATA?").flatten(), first);
  inst.execute(":DIG");
  const std::string second = inst.execute("WAV:DATA?").flatten();
  EXPECT_NE(second, first);
  EXPECT_EQ(std::atoi(split(inst.query(":WAV:PRE?"), ',')[2].c_str()), 100);
}

TEST(SimWaveform, SourcesWithoutDataAndPointLimits) {
  CInstrument inst;
  inst.execute(":WAV:SOUR WMEM1");
  EXPECT_FALSE(inst.execute("WAV:DATA?").hasOutput());
  EXPECT_EQ(drainErrors(inst), std::vector<int>{-230});
  inst.execute(":WAV:SOUR CHAN3");
  EXPECT_EQ(drainErrors(inst), std::vector<int>{-224}) << "two-channel model";
  inst.execute(":WAV:POIN MAX, 99999999");
  EXPECT_EQ(inst.query(":WAV:POIN?"), "8000000");
  inst.execute(":WAV:POIN MAX, 1234");
  EXPECT_EQ(inst.query(":WAV:POIN?"), "1234");
}
