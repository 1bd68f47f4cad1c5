// The configuration store read from an XML file the test writes: logical names resolving to a
// resource with the session's settings and virtual names, and the stores that cannot be used.
#include "com/Objects.h"
#include "core/ConfigStoreXml.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

constexpr HRESULT kUnrecoverable = hresult::UnrecoverableFailure;

void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) unsetenv(name);
  else setenv(name, value.c_str(), 1);
#endif
}

// A store in the configuration server's layout: the logical name BenchScope names the driver
// session BenchSession, whose hardware asset holds the resource; ids link them.
std::string StoreXml(const std::string& session = {}, bool module = true, const std::string& moduleSettings = {}) {
  return std::string(R"(<?xml version="1.0" encoding="utf-8"?>
<!-- written by the test -->
<IviConfigStore xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <Name>IVI Configuration Server</Name>
  <SoftwareModules>)") +
         (module ? R"(
    <IviSoftwareModule id="p1"><Name>Korvane</Name><Prefix>Korvane</Prefix>)" +
                       moduleSettings + "</IviSoftwareModule>"
                 : "") +
         R"(
  </SoftwareModules>
  <HardwareAssets>
    <IviHardwareAsset id="p2"><Name>Bench scope</Name>
      <IOResourceDescriptor>TCPIP0::192.0.2.9::5025::SOCKET</IOResourceDescriptor></IviHardwareAsset>
  </HardwareAssets>
  <DriverSessions>
    <IviDriverSession id="p3">
      <Name>BenchSession</Name>
      <SoftwareModule idref="p1"/>
      <HardwareAsset idref="p2"/>
      <VirtualNames>
        <IviVirtualName><Name>ProbeA</Name><MapTo>Channel2</MapTo></IviVirtualName>
        <IviVirtualName><Name>Clock</Name><MapTo>DigitalChannel3</MapTo></IviVirtualName>
      </VirtualNames>
      <Cache>false</Cache>
      <InterchangeCheck>false</InterchangeCheck>
      <QueryInstrStatus>true</QueryInstrStatus>
      <RangeCheck>true</RangeCheck>
      <RecordCoercions>false</RecordCoercions>
      <Simulate>true</Simulate>
      <DriverSetup><![CDATA[Model=MSO-CD100]]></DriverSetup>
    </IviDriverSession>)" +
         session + R"(
  </DriverSessions>
  <LogicalNames>
    <IviLogicalName id="p4"><Name>BenchScope</Name><Session idref="p3"/></IviLogicalName>
  </LogicalNames>
</IviConfigStore>
)";
}

class ConfigStore : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("korvane-store-" +
            std::to_string(std::hash<std::string>{}(::testing::UnitTest::GetInstance()->current_test_info()->name())));
    std::filesystem::create_directories(dir_);
    // Nothing of the machine's own stores: no per-user file under an empty home.
    SetEnv("HOME", dir_.string());
    SetEnv("XDG_CONFIG_HOME", "");
    SetEnv("APPDATA", dir_.string());
    SetEnv("PROGRAMDATA", dir_.string());
    SetEnv(configstore::kStoreVariable, "");
  }
  void TearDown() override {
    SetEnv(configstore::kStoreVariable, "");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Write(const std::string& name, const std::string& text) {
    const std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }

  HRESULT Open(const char* resource, const char* options = "") {
    root_.Reset();
    EXPECT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid()));
    return root_->Initialize(Bstr(resource), VARIANT_FALSE, VARIANT_FALSE, Bstr(options));
  }
  std::string Read(HRESULT (STDMETHODCALLTYPE IIviDriverOperation::*get)(BSTR*)) {
    auto op = Query<IIviDriverOperation>(root_.get());
    Bstr value;
    EXPECT_EQ(S_OK, (op.get()->*get)(value.Receive()));
    return value.Narrow();
  }
  bool Flag(HRESULT (STDMETHODCALLTYPE IIviDriverOperation::*get)(VARIANT_BOOL*)) {
    auto op = Query<IIviDriverOperation>(root_.get());
    VARIANT_BOOL value = VARIANT_FALSE;
    EXPECT_EQ(S_OK, (op.get()->*get)(&value));
    return value != VARIANT_FALSE;
  }

  ComInit com_;
  std::filesystem::path dir_;
  ComPtr<IKorvane8> root_;
};

TEST_F(ConfigStore, LogicalNameResolvesWithSettingsAndVirtualNames) {
  SetEnv(configstore::kStoreVariable, Write("store.xml", StoreXml()));
  ASSERT_EQ(S_OK, Open("benchscope")) << TakeErrorInfo().description;  // names compare without case
  EXPECT_EQ("benchscope", Read(&IIviDriverOperation::get_LogicalName));
  EXPECT_EQ("TCPIP0::192.0.2.9::5025::SOCKET", Read(&IIviDriverOperation::get_IoResourceDescriptor));
  EXPECT_TRUE(Flag(&IIviDriverOperation::get_Simulate));
  EXPECT_FALSE(Flag(&IIviDriverOperation::get_Cache));
  EXPECT_TRUE(Flag(&IIviDriverOperation::get_QueryInstrumentStatus));
  auto identity = Query<IIviDriverIdentity>(root_.get());
  Bstr model;
  ASSERT_EQ(S_OK, identity->get_InstrumentModel(model.Receive()));
  EXPECT_EQ("MSO-CD100", model.Narrow());  // the store's DriverSetup

  // The virtual names find the physical items, and the collection shows them by those names.
  auto channels = Query<IKorvaneChannels>(root_.get());
  ComPtr<IKorvaneChannel> byVirtual, byPhysical;
  ASSERT_EQ(S_OK, channels->get_Item(Bstr("ProbeA"), byVirtual.Receive()));
  ASSERT_EQ(S_OK, channels->get_Item(Bstr("Channel2"), byPhysical.Receive()));
  EXPECT_EQ(Query<IUnknown>(byVirtual.get()).get(), Query<IUnknown>(byPhysical.get()).get());
  Bstr name;
  ASSERT_EQ(S_OK, channels->get_Name(2, name.Receive()));
  EXPECT_EQ("ProbeA", name.Narrow());
  auto digital = Query<IKorvaneDigitalChannels>(root_.get());
  ComPtr<IKorvaneDigitalChannel> clock;
  EXPECT_EQ(S_OK, digital->get_Item(Bstr("Clock"), clock.Receive()));

  // The option string overrides the store; a resource that is no logical name keeps no
  // virtual names from an earlier session.
  ASSERT_EQ(S_OK, Open("BenchScope", "Cache=true"));
  EXPECT_TRUE(Flag(&IIviDriverOperation::get_Cache));
  ASSERT_EQ(S_OK, Open("TCPIP0::192.0.2.1::INSTR", "Simulate=true"));
  EXPECT_EQ("", Read(&IIviDriverOperation::get_LogicalName));
  EXPECT_EQ("TCPIP0::192.0.2.1::INSTR", Read(&IIviDriverOperation::get_IoResourceDescriptor));
  channels = Query<IKorvaneChannels>(root_.get());
  EXPECT_EQ(hresult::UnknownPhysicalSelector, channels->get_Item(Bstr("ProbeA"), byVirtual.Receive()));
}

TEST_F(ConfigStore, StoresThatCannotServeGiveAClearError) {
  struct Case {
    const char* what;
    std::string xml;  // empty: the variable names a file that is not there
    const char* resource;
    const char* expected;  // in the error description
  };
  const Case cases[] = {
      {"unclosed element", "<IviConfigStore><DriverSessions></IviConfigStore>", "BenchScope",
       "store.xml:1: </IviConfigStore> closes <DriverSessions>"},
      {"another document", "<Settings/>", "BenchScope", "not <IviConfigStore>"},
      {"bad flag",
       StoreXml(R"(<IviDriverSession id="p5"><Name>Odd</Name><Simulate>maybe</Simulate></IviDriverSession>)"),
       "BenchScope", "'maybe', not true or false"},
      {"unknown entity", "<IviConfigStore><Name>&nbsp;</Name></IviConfigStore>", "BenchScope", "unknown entity"},
      {"missing file", "", "BenchScope", "does not exist"},
      {"no module", StoreXml({}, false), "TCPIP0::192.0.2.1::INSTR",
       "Software module could not be loaded from the IVI Configuration Store."},
      {"no asset",
       StoreXml(R"(<IviDriverSession id="p5"><Name>Bare</Name><Simulate>false</Simulate></IviDriverSession>)"), "Bare",
       "has no hardware asset"},
  };
  for (const Case& c : cases) {
    SetEnv(configstore::kStoreVariable, c.xml.empty() ? (dir_ / "absent.xml").string() : Write("store.xml", c.xml));
    EXPECT_EQ(kUnrecoverable, Open(c.resource, "Simulate=false")) << c.what;
    const std::string description = TakeErrorInfo().description;
    EXPECT_NE(std::string::npos, description.find(c.expected)) << c.what << ": " << description;
  }
  // The session that failed is not initialised and takes a good store afterwards.
  SetEnv(configstore::kStoreVariable, Write("store.xml", StoreXml()));
  EXPECT_EQ(S_OK, Open("BenchScope"));
}

// The store's initial settings are property paths from the root, written once connected; a
// session flag given as a setting is overridden by the option string. A bad setting fails
// Initialize naming it, and the object takes the next Initialize.
TEST_F(ConfigStore, InitialSettingsAreWrittenByPropertyPath) {
  const auto store = [](const std::string& settings) {
    return StoreXml(R"(<IviDriverSession id="p6"><Name>Tuned</Name><HardwareAsset idref="p2"/>
      <Simulate>true</Simulate><DriverSetup>Model=MSO-CD1000</DriverSetup>
      <VirtualNames><IviVirtualName><Name>ProbeA</Name><MapTo>Channel2</MapTo></IviVirtualName></VirtualNames>
      <DataComponents><IviStructure><Name>Configurable Initial Settings</Name><DataComponents>)" +
                    settings + "</DataComponents></IviStructure></DataComponents></IviDriverSession>");
  };
  const auto setting = [](const std::string& type, const std::string& name, const std::string& value) {
    return "<" + type + "><Name>" + name + "</Name><Value>" + value + "</Value></" + type + ">";
  };
  SetEnv(configstore::kStoreVariable,
         Write("store.xml", store(setting("IviReal", "Acquisition.TimePerRecord", "2e-3") +
                                  setting("IviString", "acquisition.type", "Average") +
                                  setting("IviReal", "Channels.Item(ProbeA).Offset", "0.25") +
                                  setting("IviBoolean", "DriverOperation.RangeCheck", "false") +
                                  setting("IviBoolean", "DriverOperation.Cache", "false"))));
  ASSERT_EQ(S_OK, Open("Tuned", "Cache=true")) << TakeErrorInfo().description;
  EXPECT_TRUE(Flag(&IIviDriverOperation::get_Cache));
  EXPECT_FALSE(Flag(&IIviDriverOperation::get_RangeCheck));
  auto acquisition = Query<IKorvaneAcquisition>(root_.get());
  DOUBLE time = 0;
  ASSERT_EQ(S_OK, acquisition->get_TimePerRecord(&time));
  EXPECT_EQ(2e-3, time);
  KorvaneAcquisitionTypeEnum type{};
  ASSERT_EQ(S_OK, acquisition->get_Type(&type));
  EXPECT_EQ(KorvaneAcquisitionTypeAverage, type);
  ComPtr<IKorvaneChannel> channel;
  ASSERT_EQ(S_OK, Query<IKorvaneChannels>(root_.get())->get_Item(Bstr("Channel2"), channel.Receive()));
  DOUBLE offset = 0;
  ASSERT_EQ(S_OK, channel->get_Offset(&offset));
  EXPECT_EQ(0.25, offset);

  constexpr HRESULT kName = static_cast<HRESULT>(0x8004704B), kValue = static_cast<HRESULT>(0x8004704C);
  const struct {
    std::string setting;
    HRESULT hr;
    const char* named;  // in the description
  } bad[] = {
      {setting("IviReal", "Acquisition.Speed", "1"), kName, "'Acquisition.Speed'"},
      {setting("IviInteger", "Acquisition.RecordLength", "1000"), kName, "cannot be written"},
      {setting("IviReal", "Channels.Item(Channel9).Offset", "1"), static_cast<HRESULT>(0x80047067),
       "Channels.Item(Channel9).Offset"},
      {setting("IviReal", "Acquisition.TimePerRecord", "fast"), kValue, "'Acquisition.TimePerRecord'"},
      {setting("IviString", "Acquisition.Type", "Sideways"), kValue, "'Sideways'"},
      {setting("IviBoolean", "DriverOperation.Simulate", "perhaps"), kValue, "'DriverOperation.Simulate'"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.setting);
    SetEnv(configstore::kStoreVariable, Write("store.xml", store(b.setting)));
    EXPECT_EQ(b.hr, Open("Tuned"));
    EXPECT_NE(std::string::npos, TakeErrorInfo().description.find(b.named));
    VARIANT_BOOL initialized = VARIANT_TRUE;
    ASSERT_EQ(S_OK, root_->get_Initialized(&initialized));
    EXPECT_EQ(VARIANT_FALSE, initialized);
  }
}

// A resource name the store does not know takes the software module's initial settings; the
// option string still overrides its flags, and a bad one fails Initialize as a session's does.
TEST_F(ConfigStore, TheSoftwareModulesInitialSettingsServeUnnamedSessions) {
  const auto module = [](const std::string& settings) {
    return StoreXml({}, true,
                    "<DataComponents><IviStructure><Name>Configurable Initial Settings</Name><DataComponents>" +
                        settings + "</DataComponents></IviStructure></DataComponents>");
  };
  SetEnv(configstore::kStoreVariable,
         Write("store.xml",
               module("<IviReal><Name>Acquisition.TimePerRecord</Name><Value>3e-3</Value></IviReal>"
                      "<IviBoolean><Name>DriverOperation.Cache</Name><Value>false</Value></IviBoolean>"
                      "<IviBoolean><Name>DriverOperation.RangeCheck</Name><Value>false</Value></IviBoolean>")));
  ASSERT_EQ(S_OK, Open("TCPIP0::192.0.2.1::INSTR", "Simulate=true, Cache=true, DriverSetup= Model=MSO-CD1000"))
      << TakeErrorInfo().description;
  EXPECT_TRUE(Flag(&IIviDriverOperation::get_Cache));
  EXPECT_FALSE(Flag(&IIviDriverOperation::get_RangeCheck));
  DOUBLE time = 0;
  ASSERT_EQ(S_OK, Query<IKorvaneAcquisition>(root_.get())->get_TimePerRecord(&time));
  EXPECT_EQ(3e-3, time);

  SetEnv(configstore::kStoreVariable,
         Write("store.xml", module("<IviReal><Name>Acquisition.Speed</Name><Value>1</Value></IviReal>")));
  EXPECT_EQ(static_cast<HRESULT>(0x8004704B), Open("TCPIP0::192.0.2.1::INSTR", "Simulate=true"));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("'Acquisition.Speed'"));
}

TEST_F(ConfigStore, WithoutAStoreTheResourceIsTheDescriptor) {
  ASSERT_EQ(S_OK, Open("TCPIP0::192.0.2.1::INSTR", "Simulate=true"));
  EXPECT_EQ("TCPIP0::192.0.2.1::INSTR", Read(&IIviDriverOperation::get_IoResourceDescriptor));
  // The per-user location is found without the variable.
#if !defined(_WIN32)
  std::filesystem::create_directories(dir_ / ".config" / "ivi");
  Write(".config/ivi/IviConfigurationStore.xml", StoreXml());
  std::string error;
  EXPECT_EQ((dir_ / ".config/ivi/IviConfigurationStore.xml").string(), configstore::LocateStore(&error));
  ASSERT_EQ(S_OK, Open("BenchScope"));
  EXPECT_EQ("TCPIP0::192.0.2.9::5025::SOCKET", Read(&IIviDriverOperation::get_IoResourceDescriptor));
#endif
}

TEST(ConfigStoreXml, ReferencesByNameEntitiesAndInitialSettings) {
  configstore::Store store;
  std::string error;
  ASSERT_TRUE(configstore::ParseStore(R"(<?xml version="1.0"?>
<ivi:IviConfigStore xmlns:ivi="urn:x">
  <ivi:HardwareAssets><ivi:IviHardwareAsset><ivi:Name>A &amp; B</ivi:Name>
    <ivi:IOResourceDescriptor>ASRL&#49;::INSTR</ivi:IOResourceDescriptor></ivi:IviHardwareAsset></ivi:HardwareAssets>
  <ivi:DriverSessions><ivi:IviDriverSession><ivi:Name>S</ivi:Name>
    <ivi:HardwareAsset><ivi:Name>A &amp; B</ivi:Name></ivi:HardwareAsset>
    <ivi:DataComponents><ivi:IviStructure><ivi:Name>Configurable Initial Settings</ivi:Name><ivi:DataComponents>
      <ivi:IviReal><ivi:Name>Acquisition.TimePerRecord</ivi:Name><ivi:Value>1e-3</ivi:Value></ivi:IviReal>
    </ivi:DataComponents></ivi:IviStructure></ivi:DataComponents>
  </ivi:IviDriverSession></ivi:DriverSessions>
  <ivi:LogicalNames><ivi:IviLogicalName><ivi:Name>L</ivi:Name><ivi:Session><ivi:Name>S</ivi:Name></ivi:Session></ivi:IviLogicalName></ivi:LogicalNames>
</ivi:IviConfigStore>)",
                                      "mem", store, &error))
      << error;
  const configstore::DriverSession* s = store.FindSession("L");
  ASSERT_NE(nullptr, s);
  EXPECT_EQ("A & B", s->hardwareAsset);
  EXPECT_EQ("ASRL1::INSTR", s->ioResourceDescriptor);
  ASSERT_EQ(1u, s->initialSettings.size());
  EXPECT_EQ("Acquisition.TimePerRecord", s->initialSettings[0].name);
  EXPECT_EQ("IviReal", s->initialSettings[0].type);
  EXPECT_EQ("1e-3", s->initialSettings[0].value);
  EXPECT_FALSE(s->simulate.has_value());
  EXPECT_EQ(nullptr, store.FindSession("Nobody"));
}

}  // namespace
}  // namespace korvane
