#include "core/Driver.h"
#include "support/ScriptedIoSession.h"
#include "support/TestSupport.h"

#include <korvane/ModelTable.inc>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <utility>
#include <korvane/KorvaneErrors.h>
#include <korvane/KorvaneVersion.h>

namespace korvane {
namespace {

using test::ScriptedIoSession;
using test::TakeErrorInfo;

constexpr HRESULT kNotInitialized = hresult::NotInitialized;
constexpr HRESULT kNullPointer = hresult::NullPointer;

class TestDriver : public CDriver {
 public:
  using CDriver::CDriver;
  int nodeResets = 0;
  int cacheInvalidations = 0;
  int closeHooks = 0;

 protected:
  void ResetNodeState() override { ++nodeResets; }
  void InvalidateStateCache() override { ++cacheInvalidations; }
  HRESULT OnClosed() override {
    ++closeHooks;
    return S_OK;
  }
};

std::string GetString(CDriver& d, HRESULT (CDriver::*getter)(BSTR*)) {
  Bstr b;
  EXPECT_EQ(S_OK, (d.*getter)(b.Receive()));
  return b.Narrow();
}

bool GetBool(CDriver& d, HRESULT (CDriver::*getter)(VARIANT_BOOL*)) {
  VARIANT_BOOL v = 7;
  EXPECT_EQ(S_OK, (d.*getter)(&v));
  EXPECT_TRUE(v == VARIANT_TRUE || v == VARIANT_FALSE);
  return v == VARIANT_TRUE;
}

class SimulatedSession : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearErrorInfo(); }
  HRESULT Init(const char* options, VARIANT_BOOL idQuery = VARIANT_FALSE) {
    return driver_.Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), idQuery, VARIANT_FALSE, Bstr(options));
  }
  TestDriver driver_;
};

TEST_F(SimulatedSession, NullResourceNameChangesNothing) {
  EXPECT_EQ(kNullPointer, driver_.Initialize(nullptr, VARIANT_TRUE, VARIANT_TRUE, Bstr("Simulate=1")));
  EXPECT_EQ("Korvane: Null pointer passed for method 'Initialize', parameter 'ResourceName'.",
            TakeErrorInfo().description);
  EXPECT_FALSE(driver_.IsInitialized());
  EXPECT_FALSE(driver_.Simulate());
  EXPECT_FALSE(driver_.IdQueryRequested());
}

TEST_F(SimulatedSession, SecondInitializeIsRefusedAndFirstStays) {
  ASSERT_EQ(S_OK, Init("Simulate=1, DriverSetup=Model=DSO-BR70"));
  EXPECT_EQ(hresult::AlreadyInitialized, Init("Simulate=1, DriverSetup=Model=Other"));
  EXPECT_EQ("Korvane: The driver is already initialized.", TakeErrorInfo().description);
  EXPECT_TRUE(driver_.IsInitialized());
  EXPECT_EQ("DSO-BR70", GetString(driver_, &CDriver::get_InstrumentModel));
}

TEST_F(SimulatedSession, InterchangeCheckFromOptionsFailsInitialize) {
  EXPECT_EQ(hresult::OptionValueUnknown, Init("Simulate=1, InterchangeCheck=true"));
  EXPECT_EQ(
      "Korvane: The 'True' value in the option string is unknown.\r\nInterchange checking is not supported by the "
      "driver.",
      TakeErrorInfo().description);
  EXPECT_FALSE(driver_.IsInitialized());
}

TEST_F(SimulatedSession, IdQueryChecksTheModelTable) {
  ASSERT_EQ(S_OK, Init("Simulate=1", VARIANT_TRUE));
  EXPECT_EQ(models::kModels[0].id, GetString(driver_, &CDriver::get_InstrumentModel));
  EXPECT_TRUE(driver_.IsModelSupported());
  ASSERT_EQ(S_OK, driver_.Close());
  EXPECT_FALSE(driver_.IsModelSupported());

  EXPECT_EQ(hresult::IdQueryFailed, Init("Simulate=1,DriverSetup=Model=NOPE-1", VARIANT_TRUE));
  EXPECT_EQ("Korvane: Instrument ID query failed.\r\nUnrecognized model: NOPE-1.", TakeErrorInfo().description);
  EXPECT_FALSE(driver_.IsInitialized());

  // Model identifiers compare exactly.
  std::string lower = models::kModels[1].id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(hresult::IdQueryFailed, Init(("Simulate=1,DriverSetup=Model=" + lower).c_str(), VARIANT_TRUE));

  ASSERT_EQ(S_OK, Init("Simulate=1,DriverSetup=Model=NOPE-1", VARIANT_FALSE));
  EXPECT_EQ("NOPE-1", GetString(driver_, &CDriver::get_InstrumentModel));
}

TEST_F(SimulatedSession, SimulationCannotBeLeft) {
  ASSERT_EQ(S_OK, Init("Simulate=1"));
  EXPECT_EQ(hresult::SimulationStateCannotChange, driver_.put_Simulate(VARIANT_FALSE));
  EXPECT_TRUE(driver_.Simulate());
  EXPECT_EQ(S_OK, driver_.put_Simulate(VARIANT_TRUE));
}

TEST_F(SimulatedSession, CloseBeforeInitializeAndReinitialize) {
  EXPECT_EQ(kNotInitialized, driver_.Close());
  EXPECT_EQ("Korvane: A connection to the instrument has not been established.", TakeErrorInfo().description);
  ASSERT_EQ(S_OK, Init("Simulate=1,DriverSetup=Model=DSO-BR70"));
  ASSERT_EQ(S_OK, driver_.Close());
  EXPECT_FALSE(driver_.IsInitialized());
  EXPECT_TRUE(driver_.MethodTrace().IsClosing());
  EXPECT_EQ(1, driver_.closeHooks);
  // A closed session initialises again, without the earlier model showing through.
  ASSERT_EQ(S_OK, Init("Simulate=1"));
  EXPECT_EQ(models::kModels[0].id, driver_.InstrumentModelName());
  EXPECT_EQ(kNotInitialized, [&] {
    driver_.Close();
    return driver_.Close();
  }());
}

TEST_F(SimulatedSession, IdentityProperties) {
  ASSERT_EQ(S_OK, Init("Simulate=1"));
  EXPECT_EQ(models::kVendor, GetString(driver_, &CDriver::get_InstrumentManufacturer));
  EXPECT_EQ(models::kVendor, GetString(driver_, &CDriver::get_Vendor));
  EXPECT_EQ("Sim" KORVANE_DRIVER_REVISION, GetString(driver_, &CDriver::get_InstrumentFirmwareRevision));
  EXPECT_EQ(KORVANE_DRIVER_REVISION, GetString(driver_, &CDriver::get_Revision));
  EXPECT_EQ("Korvane", GetString(driver_, &CDriver::get_Identifier));
  EXPECT_EQ("TCPIP0::192.0.2.7::INSTR", GetString(driver_, &CDriver::get_IoResourceDescriptor));
  EXPECT_EQ("", GetString(driver_, &CDriver::get_LogicalName));

  std::string description = GetString(driver_, &CDriver::get_Description);
  const std::string suffix = sizeof(void*) == 8 ? " [Compiled for 64-bit.]" : " [Compiled for 32-bit.]";
  ASSERT_GT(description.size(), suffix.size());
  EXPECT_EQ(suffix, description.substr(description.size() - suffix.size()));
  for (const char* family : {"Avel", "Bormo", "Cadri", "Dovin", "Efrai", "Forsa"})
    EXPECT_NE(std::string::npos, description.find(family));

  std::string models = GetString(driver_, &CDriver::get_SupportedInstrumentModels);
  EXPECT_EQ(76, std::count(models.begin(), models.end(), ','));
  EXPECT_EQ(0u, models.find(std::string(models::kModels[0].id) + ","));

  std::string groups = GetString(driver_, &CDriver::get_GroupCapabilities);
  EXPECT_EQ(0u, groups.find("IviScopeBase,IviScopeInterpolation,"));
  LONG major = 0, minor = 0;
  EXPECT_EQ(S_OK, driver_.get_SpecificationMajorVersion(&major));
  EXPECT_EQ(S_OK, driver_.get_SpecificationMinorVersion(&minor));
  EXPECT_EQ(4, major);
  EXPECT_EQ(1, minor);
  EXPECT_EQ(kNullPointer, driver_.get_Vendor(nullptr));
  EXPECT_EQ("Korvane: Null pointer passed for method 'get_Vendor', parameter 'val'.", TakeErrorInfo().description);
}

TEST_F(SimulatedSession, FlagPropertiesAndUnsupportedFeatures) {
  ASSERT_EQ(S_OK, Init("Simulate=1"));
  EXPECT_TRUE(GetBool(driver_, &CDriver::get_Cache));
  EXPECT_TRUE(GetBool(driver_, &CDriver::get_RangeCheck));
  EXPECT_FALSE(GetBool(driver_, &CDriver::get_QueryInstrumentStatus));
  EXPECT_TRUE(GetBool(driver_, &CDriver::get_Initialized));

  EXPECT_EQ(S_OK, driver_.put_Cache(VARIANT_FALSE));
  EXPECT_EQ(1, driver_.cacheInvalidations);
  EXPECT_EQ(S_OK, driver_.put_QueryInstrumentStatus(VARIANT_TRUE));  // simulating: no "*CLS"
  EXPECT_TRUE(GetBool(driver_, &CDriver::get_QueryInstrumentStatus));

  EXPECT_EQ(hresult::EnumValueNotSupported, driver_.put_InterchangeCheck(VARIANT_TRUE));
  EXPECT_EQ(
      "Korvane: Does not support this class-compliant feature: Enumeration value 'VARIANT_TRUE' passed as the value "
      "for parameter 'val' in method 'put_InterchangeCheck'.",
      TakeErrorInfo().description);
  EXPECT_EQ(hresult::EnumValueNotSupported, driver_.put_RecordCoercions(VARIANT_TRUE));
  EXPECT_EQ(S_OK, driver_.put_RecordCoercions(VARIANT_FALSE));

  EXPECT_EQ(hresult::MethodNotSupported, driver_.ResetInterchangeCheck());
  EXPECT_EQ("Korvane: Does not support this class-compliant feature: method 'ResetInterchangeCheck'.",
            TakeErrorInfo().description);
  BSTR warning = reinterpret_cast<BSTR>(0x1);
  EXPECT_EQ(hresult::MethodNotSupported, driver_.GetNextInterchangeWarning(&warning));
  EXPECT_EQ(nullptr, warning);
  EXPECT_EQ(kNullPointer, driver_.GetNextInterchangeWarning(nullptr));
}

TEST_F(SimulatedSession, UtilityOperationsWithoutIo) {
  ASSERT_EQ(S_OK, Init("Simulate=1"));
  EXPECT_EQ(S_OK, driver_.Reset());
  EXPECT_EQ(1, driver_.nodeResets);
  EXPECT_EQ(S_OK, driver_.Disable());

  LONG result = 5;
  Bstr message("stale");
  EXPECT_EQ(S_OK, driver_.SelfTest(&result, message.Receive()));
  EXPECT_EQ(0, result);
  EXPECT_EQ("Selftest passed", message.Narrow());

  LONG code = 5;
  EXPECT_EQ(S_OK, driver_.ErrorQuery(&code, message.Receive()));
  EXPECT_EQ(0, code);
  EXPECT_EQ("No error.", message.Narrow());

  // The message pointer is checked first.
  EXPECT_EQ(kNullPointer, driver_.ErrorQuery(nullptr, nullptr));
  EXPECT_EQ("Korvane: Null pointer passed for method 'ErrorQuery', parameter 'ErrorMessage'.",
            TakeErrorInfo().description);
  EXPECT_EQ(kNullPointer, driver_.SelfTest(nullptr, message.Receive()));
  EXPECT_EQ("Korvane: Null pointer passed for method 'SelfTest', parameter 'TestResult'.",
            TakeErrorInfo().description);
}

class FakeConfigStore : public IConfigStore {
 public:
  bool FindDriverSession(std::string_view name, ConfigDriverSession& out) override {
    if (name != "MyScope") return false;
    out.ioResourceDescriptor = "USB0::0x1234::0x5678::SN1::INSTR";
    out.simulate = true;
    out.rangeCheck = false;
    out.cache = false;
    out.driverSetup = "Model=DSO-BR70";
    return true;
  }
  bool FindSoftwareModule(std::string_view, InitialSettingList&) override { return false; }
};

TEST_F(SimulatedSession, ConfigurationStoreSessionsAndMissingModule) {
  driver_.SetConfigStoreFactory([](std::unique_ptr<IConfigStore>& out) {
    out = std::make_unique<FakeConfigStore>();
    return S_OK;
  });
  // Store values first, then the option string, then the store's DriverSetup.
  ASSERT_EQ(S_OK, driver_.Initialize(Bstr("MyScope"), VARIANT_FALSE, VARIANT_FALSE, Bstr("Cache=1")));
  EXPECT_EQ("MyScope", GetString(driver_, &CDriver::get_LogicalName));
  EXPECT_EQ("USB0::0x1234::0x5678::SN1::INSTR", GetString(driver_, &CDriver::get_IoResourceDescriptor));
  EXPECT_TRUE(driver_.Simulate());
  EXPECT_FALSE(driver_.RangeCheck());
  EXPECT_TRUE(driver_.Cache());
  EXPECT_EQ("DSO-BR70", driver_.InstrumentModelName());
  ASSERT_EQ(S_OK, driver_.Close());

  EXPECT_EQ(hresult::UnrecoverableFailure, Init("Simulate=1"));
  EXPECT_EQ("Korvane: Unrecoverable failure.\r\nSoftware module could not be loaded from the IVI Configuration Store.",
            TakeErrorInfo().description);
}

// ---- against a scripted instrument ----

constexpr char kIdn[] = "Veltrane Instruments,DSO-BR70-2CH,SN0001,1.02.3";

class ConnectedSession : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearErrorInfo();
    auto io = std::make_unique<ScriptedIoSession>();
    io_ = io.get();
    driver_ = std::make_unique<TestDriver>(std::move(io));
  }
  void TearDown() override { EXPECT_TRUE(io_->AllConsumed()); }

  HRESULT Init(const char* options = "", VARIANT_BOOL idQuery = VARIANT_FALSE, VARIANT_BOOL reset = VARIANT_FALSE) {
    return driver_->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), idQuery, reset, Bstr(options));
  }
  HRESULT InitWithIdn(const char* idn) {
    io_->Expect("*IDN?", idn);
    ExpectModelQueries();
    return Init();
  }
  // What Initialize asks after the identity: the options, then the bandwidths.
  void ExpectModelQueries(bool statusChecks = false) {
    for (auto [command, reply] :
         {std::pair{"*OPT?", "SGM,MASK,WAVEGEN"}, std::pair{":SYST:DATA:VAL? \"CHAN:BAND\"", "+7.0E+07"},
          std::pair{":SYST:DATA:VAL? \"CHAN:BWL\"", "+2.0E+07"}}) {
      io_->Expect(command, reply);
      if (statusChecks) io_->Expect("*ESR?", "0");
    }
  }

  ScriptedIoSession* io_ = nullptr;
  std::unique_ptr<TestDriver> driver_;
};

TEST_F(ConnectedSession, IdnRepliesAreSplitIntoTrimmedFields) {
  struct Case {
    const char* reply;
    const char* maker;
    const char* model;
    const char* serial;
    const char* firmware;
  } cases[] = {
      {" Veltrane Instruments , DSO-BR70-2CH,SN0001 , 1.02.3 ", "Veltrane Instruments", "DSO-BR70-2CH", "SN0001",
       "1.02.3"},
      {"Maker,Model", "Maker", "Model", "", ""},
      {"A,,B,C", "A", "B", "C", ""},
      {",,A,B,C,D,E", "A", "B", "C", "D"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(S_OK, InitWithIdn(c.reply)) << c.reply;
    EXPECT_EQ(c.reply, driver_->IdnResponse());
    EXPECT_EQ(c.maker, GetString(*driver_, &CDriver::get_InstrumentManufacturer));
    EXPECT_EQ(c.model, GetString(*driver_, &CDriver::get_InstrumentModel));
    EXPECT_EQ(c.serial, driver_->InstrumentSerialNumber());
    EXPECT_EQ(c.firmware, GetString(*driver_, &CDriver::get_InstrumentFirmwareRevision));
    ASSERT_EQ(S_OK, driver_->Close());
  }
  EXPECT_EQ(4, io_->openCount);
  EXPECT_EQ(4, io_->closeCount);
  EXPECT_EQ("TCPIP0::192.0.2.7::INSTR", io_->openedResource);
}

TEST_F(ConnectedSession, StatusQueryingClearsAndChecksAfterEachOperation) {
  io_->Expect("*CLS");
  io_->Expect("*ESR?", "0");
  io_->Expect("*IDN?", kIdn);
  io_->Expect("*ESR?", "+0");
  ExpectModelQueries(true);
  ASSERT_EQ(S_OK, Init("QueryInstrStatus=true"));

  // An execution error in the status register fails the operation that caused it.
  io_->Expect("*RST;*OPC?", "1");
  io_->Expect("*ESR?", "16");
  EXPECT_EQ(hresult::InstrumentErrorDetected, driver_->Reset());
  EXPECT_TRUE(driver_->QueryInstrumentStatus());
}

TEST_F(ConnectedSession, StatusCheckClearsTheDeviceAfterAFailedTransfer) {
  constexpr HRESULT kTimeout = static_cast<HRESULT>(0x80040015);
  constexpr HRESULT kInstrumentError = hresult::InstrumentErrorDetected;
  const std::string kText = "Korvane: Instrument error detected.  Use ErrorQuery() to determine error(s).";
  io_->Expect("*CLS");
  io_->Expect("*ESR?", "0");
  io_->Expect("*IDN?", kIdn);
  io_->Expect("*ESR?", "+0");
  ExpectModelQueries(true);
  ASSERT_EQ(S_OK, Init("QueryInstrStatus=true"));
  ASSERT_EQ(0, io_->deviceClears);

  // The reply to "*ESR?" never comes.
  io_->Expect(":CHAN1:DISP 1");
  io_->ExpectReadFailure("*ESR?", kTimeout);
  EXPECT_EQ(kInstrumentError, io_->FormattedWrite(":CHAN1:DISP 1"));
  EXPECT_EQ(kText, TakeErrorInfo().description);
  EXPECT_EQ(1, io_->deviceClears);

  // "*ESR?" cannot be sent.
  io_->Expect(":CHAN1:DISP 0");
  io_->Expect("*ESR?", "", kTimeout);
  EXPECT_EQ(kInstrumentError, io_->FormattedWrite(":CHAN1:DISP 0"));
  EXPECT_EQ(kText, TakeErrorInfo().description);
  EXPECT_EQ(2, io_->deviceClears);

  // Operation complete and power on are not errors; each of the four error bits is, and a
  // readable reply needs no clear.
  io_->Expect("*OPC");
  io_->Expect("*ESR?", " 129");
  EXPECT_EQ(S_OK, io_->FormattedWrite("*OPC"));
  for (int bit : {4, 8, 16, 32}) {
    io_->Expect("*OPC");
    io_->Expect("*ESR?", std::to_string(bit | 1) + "\n");
    EXPECT_EQ(kInstrumentError, io_->FormattedWrite("*OPC")) << bit;
    EXPECT_EQ(kText, TakeErrorInfo().description);
  }
  EXPECT_EQ(2, io_->deviceClears);
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(ConnectedSession, FailuresAfterOpenCloseTheIoSession) {
  io_->Expect("*IDN?", "Veltrane Instruments,NOT-A-MODEL,1,2");
  EXPECT_EQ(hresult::IdQueryFailed, Init("", VARIANT_TRUE));
  EXPECT_EQ("Korvane: Instrument ID query failed.\r\nUnrecognized model: NOT-A-MODEL.", TakeErrorInfo().description);
  EXPECT_FALSE(driver_->IsInitialized());
  EXPECT_FALSE(io_->isOpen);

  io_->Expect("*IDN?", kIdn);
  ExpectModelQueries();
  io_->Expect("*RST;*OPC?", "", E_FAIL);
  EXPECT_EQ(hresult::ResetFailed, Init("", VARIANT_TRUE, VARIANT_TRUE));
  EXPECT_EQ("Korvane: Instrument reset failed.", TakeErrorInfo().description);
  EXPECT_FALSE(driver_->IsInitialized());
  EXPECT_FALSE(io_->isOpen);
}

TEST_F(ConnectedSession, UnknownResourceNamesTheDescriptor) {
  io_->openResult = hresult::UnknownResource;
  EXPECT_EQ(hresult::UnknownResource, Init());
  EXPECT_EQ("Korvane: Unknown resource.\r\nResource descriptor = TCPIP0::192.0.2.7::INSTR.",
            TakeErrorInfo().description);
  io_->openResult = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, Init());
  EXPECT_FALSE(driver_->IsInitialized());
}

TEST_F(ConnectedSession, UtilityOperationsUseTheirTimeouts) {
  io_->Expect("*IDN?", kIdn);
  ExpectModelQueries();
  io_->Expect("*RST;*OPC?", "1");
  ASSERT_EQ(S_OK, Init("", VARIANT_TRUE, VARIANT_TRUE));
  io_->Expect("*TST?", "1");
  io_->Expect("*RST;*OPC?", "1");

  LONG result = 0;
  Bstr message;
  EXPECT_EQ(S_OK, driver_->SelfTest(&result, message.Receive()));
  EXPECT_EQ(1, result);
  EXPECT_EQ("Selftest failed", message.Narrow());
  EXPECT_EQ(S_OK, driver_->Disable());

  const std::vector<LONG> expected{2000, 2000, 2000, 2000, 50000, 180000, 30000};
  EXPECT_EQ(expected, io_->timeoutAtCommand);
  EXPECT_EQ(2000, io_->timeout);
}

TEST_F(ConnectedSession, ErrorQueryTrimsAndSuspendsStatusChecks) {
  ASSERT_EQ(S_OK, InitWithIdn(kIdn));
  io_->Expect("*CLS");
  io_->Expect("*ESR?", "0");
  ASSERT_EQ(S_OK, driver_->put_QueryInstrumentStatus(VARIANT_TRUE));
  io_->Expect(":SYST:ERR?", "-113,  \" Undefined header \"\n");
  LONG code = 0;
  Bstr message;
  EXPECT_EQ(S_OK, driver_->ErrorQuery(&code, message.Receive()));
  EXPECT_EQ(-113, code);
  EXPECT_EQ("Undefined header", message.Narrow());
  EXPECT_TRUE(driver_->QueryInstrumentStatus());

  io_->Expect(":SYST:ERR?", "garbage");
  EXPECT_EQ(hresult::UnexpectedResponse, driver_->ErrorQuery(&code, message.Receive()));
  EXPECT_EQ("Korvane: Unexpected response from the instrument.", TakeErrorInfo().description);
  EXPECT_TRUE(driver_->QueryInstrumentStatus());
}

TEST_F(ConnectedSession, SimulationMayBeSwitchedOnAndOffAfterARealInitialize) {
  ASSERT_EQ(S_OK, InitWithIdn(kIdn));
  EXPECT_EQ(S_OK, driver_->put_Simulate(VARIANT_TRUE));
  EXPECT_EQ(models::kVendor, GetString(*driver_, &CDriver::get_InstrumentManufacturer));
  EXPECT_EQ(S_OK, driver_->Reset());  // no I/O while simulating
  EXPECT_EQ(S_OK, driver_->put_Simulate(VARIANT_FALSE));
  EXPECT_EQ(S_OK, driver_->put_Simulate(VARIANT_TRUE));
  // Close still closes what Initialize opened.
  ASSERT_EQ(S_OK, driver_->Close());
  EXPECT_FALSE(io_->isOpen);
}

TEST_F(ConnectedSession, ResetWithDefaultsRestoresInitialFlags) {
  ASSERT_EQ(S_OK, InitWithIdn(kIdn));
  ASSERT_EQ(S_OK, driver_->put_RangeCheck(VARIANT_FALSE));
  ASSERT_EQ(S_OK, driver_->put_Cache(VARIANT_FALSE));
  io_->Expect("*RST;*OPC?", "1");
  io_->Expect("*RST;*OPC?", "1");
  EXPECT_EQ(S_OK, driver_->ResetWithDefaults());
  EXPECT_TRUE(driver_->RangeCheck());
  EXPECT_TRUE(driver_->Cache());
  EXPECT_EQ(2, driver_->nodeResets);
}

}  // namespace
}  // namespace korvane
