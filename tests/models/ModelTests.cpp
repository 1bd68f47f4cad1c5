#include "com/Objects.h"
#include "core/Driver.h"
#include "core/Models.h"
#include "support/ScriptedIoSession.h"
#include "support/TestSupport.h"

#include <korvane/ModelTable.inc>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

constexpr HRESULT kIdQueryFailed = hresult::IdQueryFailed;
const char* const kFamilies[] = {"Avel", "Bormo", "Cadri", "Dovin", "Efrai", "Forsa"};

// Defined first: gtest runs a file's tests in order, so this is the table's first use in the
// process and the threads race to build it.
TEST(ModelTableFirstUse, ConcurrentCallersShareOneCompleteTable) {
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::vector<const CModelTable*> seen(kThreads);
  std::vector<std::size_t> sizes(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      for (--waiting; waiting.load() > 0;) std::this_thread::yield();
      const CModelTable& t = CModelTable::Instance();
      seen[i] = &t;
      sizes[i] = t.ModelsOf("Cadri") ? t.ModelsOf("Cadri")->size() : 0;
    });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[0], seen[i]);
    EXPECT_EQ(38u, sizes[i]);
  }
}

TEST(ModelTable, RowsFamiliesAndPerFamilyCounts) {
  const CModelTable& table = CModelTable::Instance();
  EXPECT_EQ(77, models::kModelCount);
  EXPECT_EQ(77u, table.ModelCount());  // no identifier twice

  const std::map<std::string, std::size_t> perFamily{{"Avel", 4},   {"Bormo", 12}, {"Cadri", 38},
                                                     {"Dovin", 16}, {"Efrai", 4},  {"Forsa", 3}};
  for (const auto& [family, count] : perFamily) {
    ASSERT_NE(nullptr, table.ModelsOf(family)) << family;
    EXPECT_EQ(count, table.ModelsOf(family)->size()) << family;
  }
  EXPECT_EQ(nullptr, table.ModelsOf("avel"));

  // The default simulation model.
  const models::ModelRow& first = models::kModels[0];
  EXPECT_STREQ("Bormo", first.family);
  EXPECT_EQ(2, first.analog);
  EXPECT_EQ(0, first.digital);

  for (const models::ModelRow& m : models::kModels) {
    EXPECT_EQ(m.family, table.FamilyOf(m.id));
    EXPECT_EQ(&m, table.Model(m.id));
    const std::string options = m.options;
    EXPECT_EQ(m.digital > 0, options.find("MSO") != std::string::npos) << m.id;
    EXPECT_EQ(m.digital / 8, m.digitalPods) << m.id;
    EXPECT_EQ(m.maskTest, options.find("MASK") != std::string::npos) << m.id;
    EXPECT_LT(m.bandwidthLimitMHz, m.bandwidthMHz) << m.id;
  }

  // The repeated capabilities each family offers.
  struct Counts {
    int math, generators, buses, pods;
  };
  const std::map<std::string, Counts> counts{{"Avel", {2, 1, 1, 2}},  {"Bormo", {2, 1, 1, 1}},
                                             {"Cadri", {2, 1, 2, 2}}, {"Dovin", {4, 2, 2, 2}},
                                             {"Efrai", {4, 2, 2, 2}}, {"Forsa", {2, 1, 2, 2}}};
  for (const auto& [family, c] : counts) {
    const models::FamilyRow* f = table.Family(family);
    ASSERT_NE(nullptr, f) << family;
    EXPECT_EQ(c.math, f->mathFunctions) << family;
    EXPECT_EQ(c.generators, f->waveGenerators) << family;
    EXPECT_EQ(c.buses, f->serialBuses) << family;
    EXPECT_EQ(c.pods, f->digitalPodNames) << family;
  }
}

TEST(ModelTable, WaveformSourceNames) {
  EXPECT_EQ("FUNC", MathSourceName("Bormo", 1));
  EXPECT_EQ("FUNC2", MathSourceName("Bormo", 2));
  EXPECT_EQ("Math3", MathSourceName("Dovin", 3));
  EXPECT_EQ("", MathSourceName("Nope", 1));
  EXPECT_EQ((std::vector<std::string>{"WMEM1", "WMEM2", "WMEM3", "WMEM4"}), ReferenceWaveformNames("Cadri"));
  EXPECT_EQ(2u, ReferenceWaveformNames("Avel").size());
}

TEST(ModelTests, FalseUntilInitializedThenExact) {
  for (const models::ModelRow& m : models::kModels) {
    EXPECT_FALSE(IsModelSupported(false, m.id));
    for (const char* family : kFamilies) EXPECT_FALSE(IsModelFamily(false, m.id, family));
    EXPECT_TRUE(IsModelSupported(true, m.id));
    EXPECT_TRUE(IsModelFamily(true, m.id, m.family));
  }
  EXPECT_FALSE(IsModelFamily(true, "MSO-CD100", "cadri"));
  EXPECT_FALSE(IsModelFamily(true, "MSO-CD100", "Dovin"));
  EXPECT_FALSE(IsModelFamily(true, "mso-cd100", "Cadri"));
  EXPECT_FALSE(IsModelFamily(true, "MSO-CD100", ""));
  EXPECT_FALSE(IsModelSupported(true, "Mso-CD100"));
  EXPECT_FALSE(IsModelSupported(true, "MSO-CD100 "));
}

class SimulatedModels : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearErrorInfo(); }
  HRESULT Init(const std::string& model, VARIANT_BOOL idQuery = VARIANT_TRUE) {
    std::string options = "Simulate=1";
    if (!model.empty()) options += ",DriverSetup=Model=" + model;
    return driver_.Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), idQuery, VARIANT_FALSE, Bstr(options.c_str()));
  }
  CDriver driver_;
};

TEST_F(SimulatedModels, SessionModelTests) {
  for (const char* family : kFamilies) EXPECT_FALSE(driver_.IsModelFamily(family)) << family;
  EXPECT_FALSE(driver_.IsModelSupported());

  // Differing only in case: refused by the identity check.
  EXPECT_EQ(kIdQueryFailed, Init("Mso-CD100"));
  EXPECT_FALSE(driver_.IsInitialized());
  EXPECT_FALSE(driver_.IsModelFamily("Cadri"));

  ASSERT_EQ(S_OK, Init("MSO-CD100"));
  EXPECT_TRUE(driver_.IsModelSupported());
  EXPECT_TRUE(driver_.IsModelFamily("Cadri"));
  EXPECT_FALSE(driver_.IsModelFamily("Bormo"));
  EXPECT_FALSE(driver_.IsModelFamily(nullptr));
  ASSERT_EQ(S_OK, driver_.Close());
  EXPECT_FALSE(driver_.IsModelFamily("Cadri"));

  // The default simulation model.
  ASSERT_EQ(S_OK, Init(""));
  EXPECT_TRUE(driver_.IsModelFamily("Bormo"));
  EXPECT_EQ(2, driver_.ModelCapabilities().analogChannels);
  EXPECT_EQ(0, driver_.ModelCapabilities().digitalChannels);
}

// The model guard of a member asks the session's family test: a member refused on Bormo fails on
// the default simulation model and is served on a Dovin one.
TEST(ModelGuard, RootRefusesAMemberItsFamilyLacks) {
  for (const auto& [options, expected] : {std::pair{"Simulate=1", hresult::NotSupportedByModel},
                                          std::pair{"Simulate=1,DriverSetup=Model=MSO-DV200", S_OK}}) {
    ComPtr<IKorvane8> root;
    ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid()));
    ASSERT_EQ(S_OK, root->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_TRUE, VARIANT_FALSE, Bstr(options)));
    ComPtr<IKorvaneAcquisition2> acquisition;
    ASSERT_EQ(S_OK, root->QueryInterface(IID_IKorvaneAcquisition2, acquisition.ReceiveVoid()));
    KorvaneAcquisitionReferenceSignalModeEnum mode{};
    EXPECT_EQ(expected, acquisition->get_ReferenceSignal(&mode)) << options;
    test::ClearErrorInfo();
  }
}

TEST_F(SimulatedModels, DefaultsFollowTheIdentifier) {
  struct Case {
    const char* model;
    int analog, digital;
  } cases[] = {
      {"DSO-CD100-2CH", 2, 0},
      {"MSO-CD100-2CH", 2, 16},
      {"MSO-DV500", 4, 16},
      {"MSO-EF6000", 4, 16},
      {"MSO-BR70", 4, 8},
      {"MSO-FS2500", 4, 8},
      {"DSO-AV50", 4, 0},
      // Not in the table (accepted without IdQuery): the marks are read upper-cased, and an
      // unknown family counts as one of the eight-channel ones.
      {"mso-cd100-2ch", 2, 8},
      {"XYZ", 4, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(S_OK, Init(c.model, VARIANT_FALSE)) << c.model;
    const Capabilities& caps = driver_.ModelCapabilities();
    EXPECT_EQ(c.analog, caps.analogChannels) << c.model;
    EXPECT_EQ(c.digital, caps.digitalChannels) << c.model;
    EXPECT_EQ(500e6, caps.channelBandwidth);
    EXPECT_EQ(20e6, caps.bandwidthLimit);
    // Every option, whatever the identifier says.
    EXPECT_TRUE(caps.mixedSignal && caps.voltmeter && caps.usbDecode && caps.AnySerialDecode() &&
                caps.frequencyResponseAnalysis && caps.voltmeterCounter && caps.jitter)
        << c.model;
    ASSERT_EQ(S_OK, driver_.Close());
  }
}

TEST(OptionFlags, SubstringTestsOfTheReply) {
  Capabilities c = CapabilitiesFromOptions("Cadri", "MSO,SGM,ADVMATH,DVMCTR");
  EXPECT_TRUE(c.mixedSignal && c.segmentedMemory && c.advancedMath && c.voltmeterCounter);
  EXPECT_TRUE(c.voltmeter);  // ",DVMCTR" carries ",DVM"
  EXPECT_FALSE(c.maskTest || c.waveGenerator || c.videoTrigger || c.jitter || c.usbDecode);
  EXPECT_FALSE(c.frequencyResponseAnalysis || c.AnySerialDecode());

  // The voltmeter token needs its comma: not first in the list, not inside ADVMATH.
  EXPECT_FALSE(CapabilitiesFromOptions("Cadri", "DVM").voltmeter);
  EXPECT_FALSE(CapabilitiesFromOptions("Cadri", "ADVMATH").voltmeter);
  EXPECT_TRUE(CapabilitiesFromOptions("Cadri", "SGM,DVM").voltmeter);

  // Frequency response analysis is always there on Avel.
  EXPECT_TRUE(CapabilitiesFromOptions("Avel", "").frequencyResponseAnalysis);
  EXPECT_FALSE(CapabilitiesFromOptions("Bormo", "").frequencyResponseAnalysis);
  EXPECT_TRUE(CapabilitiesFromOptions("Bormo", "FRA").frequencyResponseAnalysis);

  for (const char* usb : {"USBH", "USBFL", "USBSQ"}) EXPECT_TRUE(CapabilitiesFromOptions("Dovin", usb).usbDecode);
  EXPECT_FALSE(CapabilitiesFromOptions("Dovin", "USB").usbDecode);

  const std::pair<const char*, bool Capabilities::*> groups[] = {
      {"AERO", &Capabilities::aeroDecode},     {"AUTO", &Capabilities::autoDecode},
      {"FLEX", &Capabilities::flexDecode},     {"AUDIO", &Capabilities::audioDecode},
      {"EMBD", &Capabilities::embeddedDecode}, {"COMP", &Capabilities::computerDecode},
      {"SENSOR", &Capabilities::sensorDecode}, {"CANFD", &Capabilities::canFdDecode}};
  for (const auto& [token, flag] : groups) {
    Capabilities g = CapabilitiesFromOptions("Dovin", std::string("SGM,") + token);
    EXPECT_TRUE(g.*flag) << token;
    EXPECT_TRUE(g.AnySerialDecode()) << token;
    // Case-sensitive.
    std::string lower(token);
    for (char& ch : lower) ch = static_cast<char>(ch - 'A' + 'a');
    EXPECT_FALSE(CapabilitiesFromOptions("Dovin", lower).*flag) << token;
  }
}

TEST(ModelBasedValue, ModelThenFamilyThenDefault) {
  CModelBasedValue<std::string> v("DEF");
  v.ForFamily("Dovin", "DV").ForModel("MSO-DV500", "ONE").ForFamily("Cadri", "CD");
  EXPECT_EQ("ONE", v.Get("MSO-DV500"));
  EXPECT_EQ("DV", v.Get("DSO-DV500"));
  EXPECT_EQ("CD", v.Get("DSO-CD100"));
  EXPECT_EQ("DEF", v.Get("DSO-BR70"));   // family without a value of its own
  EXPECT_EQ("DEF", v.Get("dso-dv500"));  // not a supported model
  EXPECT_EQ("DEF", v.Get(""));
  v.ForFamily("Dovin", "DV2");
  EXPECT_EQ("DV2", v.Get("DSO-DV200"));
}

// ---- against a scripted instrument ----

class ConnectedModels : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearErrorInfo();
    auto io = std::make_unique<test::ScriptedIoSession>();
    io_ = io.get();
    driver_ = std::make_unique<CDriver>(std::move(io));
  }
  void TearDown() override { EXPECT_TRUE(io_->AllConsumed()); }
  HRESULT Init() {
    return driver_->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_TRUE, VARIANT_FALSE, Bstr(""));
  }

  test::ScriptedIoSession* io_ = nullptr;
  std::unique_ptr<CDriver> driver_;
};

TEST_F(ConnectedModels, OptionsAndBandwidthsAreReadOnConnect) {
  io_->Expect("*IDN?", "Veltrane Instruments,DSO-AV100,SN1,1.0");
  io_->Expect("*OPT?", "SGM,MASK,EMBD");
  io_->Expect(":SYST:DATA:VAL? \"CHAN:BAND\"", "+1.00000E+08");
  io_->Expect(":SYST:DATA:VAL? \"CHAN:BWL\"", "+2.00000E+07");
  ASSERT_EQ(S_OK, Init());
  const Capabilities& c = driver_->ModelCapabilities();
  EXPECT_TRUE(c.segmentedMemory && c.maskTest && c.embeddedDecode && c.frequencyResponseAnalysis);
  EXPECT_FALSE(c.mixedSignal || c.waveGenerator || c.voltmeter || c.usbDecode);
  EXPECT_EQ(100e6, c.channelBandwidth);
  EXPECT_EQ(20e6, c.bandwidthLimit);
  EXPECT_TRUE(driver_->IsModelFamily("Avel"));
  ASSERT_EQ(S_OK, driver_->Close());
  EXPECT_FALSE(driver_->IsModelFamily("Avel"));
}

TEST_F(ConnectedModels, FailedQueriesFailInitialize) {
  io_->Expect("*IDN?", "Veltrane Instruments,MSO-CD500,SN1,1.0");
  io_->Expect("*OPT?", "", E_FAIL);
  EXPECT_EQ(E_FAIL, Init());
  EXPECT_FALSE(driver_->IsInitialized());
  EXPECT_FALSE(io_->isOpen);

  io_->Expect("*IDN?", "Veltrane Instruments,MSO-CD500,SN1,1.0");
  io_->Expect("*OPT?", "MSO");
  io_->Expect(":SYST:DATA:VAL? \"CHAN:BAND\"", "+5.0E+08");
  io_->Expect(":SYST:DATA:VAL? \"CHAN:BWL\"", "not a number");
  EXPECT_TRUE(FAILED(Init()));
  EXPECT_FALSE(io_->isOpen);
  // Nothing of the failed session's model shows.
  EXPECT_FALSE(driver_->ModelCapabilities().mixedSignal);
}

}  // namespace
}  // namespace korvane
