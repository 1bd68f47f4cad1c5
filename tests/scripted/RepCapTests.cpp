// Repeated capabilities of the root: collections sized by model and options, items found by
// name and index, the node hooks, and the items' life with their session.
#include "com/Objects.h"
#include "support/ScriptedIoSession.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::TakeErrorInfo;
using Names = std::vector<std::string>;

constexpr HRESULT kNotInitialized = hresult::NotInitialized;
constexpr HRESULT kUnknownSelector = hresult::UnknownPhysicalSelector;
constexpr HRESULT kNotSupportedByModel = hresult::NotSupportedByModel;

CKorvane& Object(IKorvane8* root) { return *static_cast<CKorvane*>(static_cast<gen::CKorvane_IKorvane8*>(root)); }

template <typename C>
Names NamesOf(IUnknown* root, REFIID iid) {
  ComPtr<C> collection;
  EXPECT_EQ(S_OK, root->QueryInterface(iid, collection.ReceiveVoid()));
  LONG count = -1;
  EXPECT_EQ(S_OK, collection->get_Count(&count)) << TakeErrorInfo().description;
  Names names;
  for (LONG i = 1; i <= count; ++i) {
    Bstr name;
    EXPECT_EQ(S_OK, collection->get_Name(i, name.Receive()));
    names.push_back(name.Narrow());
  }
  return names;
}

class RepCaps : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid())); }
  HRESULT Simulate(const char* model) {
    std::string options = std::string("Simulate=1,DriverSetup=Model=") + model;
    return root_->Initialize(Bstr("X"), VARIANT_FALSE, VARIANT_FALSE, Bstr(options));
  }
  ComPtr<IKorvaneChannel> Channel(const char* name, HRESULT expected = S_OK) {
    ComPtr<IKorvaneChannels> channels;
    EXPECT_EQ(S_OK, root_->QueryInterface(IID_IKorvaneChannels, channels.ReceiveVoid()));
    ComPtr<IKorvaneChannel> item;
    EXPECT_EQ(expected, channels->get_Item(Bstr(name), item.Receive())) << name;
    return item;
  }

  ComPtr<IKorvane8> root_;
};

TEST_F(RepCaps, CountsAndNamesFollowTheModel) {
  ASSERT_EQ(S_OK, Simulate("DSO-BR70-2CH"));
  const Names two{"Channel1", "Channel2"};
  EXPECT_EQ(two, NamesOf<IIviScopeChannels>(root_.get(), IID_IIviScopeChannels));
  EXPECT_EQ(two, NamesOf<IKorvaneMeasurements>(root_.get(), IID_IKorvaneMeasurements));
  EXPECT_EQ((Names{"Math1", "Math2"}), NamesOf<IKorvaneMathFunctions>(root_.get(), IID_IKorvaneMathFunctions));
  EXPECT_EQ(Names{"SerialBus1"}, NamesOf<IKorvane2SerialBuses>(root_.get(), IID_IKorvane2SerialBuses));

  ComPtr<IKorvaneChannels> channels;
  ASSERT_EQ(S_OK, root_->QueryInterface(IID_IKorvaneChannels, channels.ReceiveVoid()));
  Bstr name;
  EXPECT_EQ(hresult::InvalidValue, channels->get_Name(0, name.Receive()));
  EXPECT_EQ(hresult::InvalidValue, channels->get_Name(3, name.Receive()));
  EXPECT_EQ("Korvane: Invalid value '3' for method 'get_Name', parameter 'Index'.\r\nIndex must be from 1 to 2.",
            TakeErrorInfo().description);
  EXPECT_EQ(E_POINTER, channels->get_Count(nullptr));
  EXPECT_EQ(E_POINTER, channels->get_Name(1, nullptr));
  EXPECT_EQ(E_POINTER, channels->get_Item(Bstr("Channel1"), nullptr));

  // Mixed-signal: digital channels from 0, then two pods; Bormo shows one pod.
  ASSERT_EQ(S_OK, root_->Close());
  ASSERT_EQ(S_OK, Simulate("MSO-CD100"));
  Names digital = NamesOf<IKorvaneDigitalChannels>(root_.get(), IID_IKorvaneDigitalChannels);
  ASSERT_EQ(18u, digital.size());
  EXPECT_EQ("DigitalChannel0", digital[0]);
  EXPECT_EQ("DigitalChannel15", digital[15]);
  EXPECT_EQ((Names{"DigitalPod1", "DigitalPod2"}), Names(digital.begin() + 16, digital.end()));
  // Each item carries the number its commands use.
  const auto* items = Object(root_.get()).Children("KorvaneDigitalChannel");
  EXPECT_EQ(15, (*items)[15].node->Index());
  EXPECT_EQ(2, (*items)[17].node->Index());
  ASSERT_EQ(S_OK, root_->Close());
  ASSERT_EQ(S_OK, Simulate("MSO-BR70"));
  digital = NamesOf<IKorvaneDigitalChannels>(root_.get(), IID_IKorvaneDigitalChannels);
  EXPECT_EQ((Names{"DigitalChannel7", "DigitalPod1"}), Names(digital.begin() + 7, digital.end()));
}

TEST_F(RepCaps, ItemsAreFoundByTrimmedPrefixedAndVirtualNames) {
  // Initialize empties the map (a logical name's store fills it), so the names are set after.
  ASSERT_EQ(S_OK, Simulate("DSO-CD100"));
  Object(root_.get()).SetVirtualNames({{"Probe", "Bench!!Channel4"}, {"Scope1", "Channel3"}});
  auto second = Channel("Channel2");
  EXPECT_EQ(second.get(), Channel("Channel2 \t").get());
  EXPECT_EQ(second.get(), Channel("Scope3!!Channel2").get());
  EXPECT_NE(second.get(), Channel("Channel1").get());
  EXPECT_EQ(Channel("Channel3").get(), Channel("Scope1").get());
  EXPECT_EQ(Channel("Channel4").get(), Channel("Probe").get());
  EXPECT_EQ((Names{"Channel1", "Channel2", "Scope1", "Probe"}),
            NamesOf<IKorvaneChannels>(root_.get(), IID_IKorvaneChannels));

  for (const char* unknown : {"Channel9", "channel1", "", " Channel1", "Channel1!!"})
    EXPECT_EQ(nullptr, Channel(unknown, kUnknownSelector).get());
  EXPECT_EQ("Korvane: Unknown physical repeated capability selector.", TakeErrorInfo().description);

  // A collection of one item answers to the empty name; revisions hand out their own interface.
  ComPtr<IKorvaneWaveGens> gens;
  ASSERT_EQ(S_OK, root_->QueryInterface(IID_IKorvaneWaveGens, gens.ReceiveVoid()));
  ComPtr<IKorvaneWaveGen> gen;
  EXPECT_EQ(S_OK, gens->get_Item(Bstr(""), gen.Receive()));
  ComPtr<IKorvaneSerialBuses4> buses;
  ASSERT_EQ(S_OK, root_->QueryInterface(IID_IKorvaneSerialBuses4, buses.ReceiveVoid()));
  ComPtr<IKorvaneSerialBus4> bus;
  EXPECT_EQ(S_OK, buses->get_Item4(Bstr("SerialBus2"), bus.Receive()));

  // No digital channels on this model: their collection is refused by name.
  ComPtr<IKorvaneDigitalChannels> digital;
  ASSERT_EQ(S_OK, root_->QueryInterface(IID_IKorvaneDigitalChannels, digital.ReceiveVoid()));
  Bstr name;
  EXPECT_EQ(kNotSupportedByModel, digital->get_Name(1, name.Receive()));
  EXPECT_EQ("Korvane: Instrument model does not support this feature: DigitalChannels_get_Name.",
            TakeErrorInfo().description);
}

TEST_F(RepCaps, CloseReleasesTheItemsAndInitializeMakesNewOnes) {
  ASSERT_EQ(S_OK, Simulate("DSO-CD100-2CH"));
  auto held = Channel("Channel1");
  ASSERT_EQ(S_OK, root_->Close());
  KorvaneVerticalCouplingEnum coupling{};
  EXPECT_EQ(kNotInitialized, held->get_Coupling(&coupling));
  ASSERT_EQ(S_OK, Simulate("DSO-CD100"));
  EXPECT_EQ(4u, NamesOf<IKorvaneChannels>(root_.get(), IID_IKorvaneChannels).size());
  EXPECT_EQ(kNotInitialized, held->get_Coupling(&coupling));
  EXPECT_EQ(S_OK, Channel("Channel1")->get_Coupling(&coupling));
}

// Records the order in which the node hooks reach the root and a node below it.
std::vector<std::string> hookLog;
template <class Base>
class Recording : public Base {
 public:
  const char* what = "";

 protected:
  HRESULT AfterConnectHook() override { return Log("connect "); }
  void ResetHook() override { Log("reset "); }
  HRESULT CloseHook() override { return Log("close "); }
  HRESULT Log(const char* hook) {
    hookLog.push_back(hook + std::string(what));
    return S_OK;
  }
};

TEST(RepCapHooks, RootFirstOnConnectAndLastOnClose) {
  hookLog.clear();
  Recording<CObjectNode> child;
  child.what = "child";
  auto* object = new Recording<CKorvane>();
  object->what = "root";
  ComPtr<IKorvane8> root;
  object->AddRef();
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IKorvane8, root.ReceiveVoid()));
  object->Release();
  object->AddChildNode(&child);
  ASSERT_EQ(S_OK, root->Initialize(Bstr("X"), VARIANT_FALSE, VARIANT_TRUE, Bstr("Simulate=1")));
  ASSERT_EQ(S_OK, root->Close());
  EXPECT_EQ((Names{"connect root", "connect child", "reset root", "reset child", "close child", "close root"}),
            hookLog);
  object->RemoveChildNode(&child);
}

// A connected instrument: counts come from its own queries, read with a 10 s timeout.
TEST(InstrumentRepCaps, CountsComeFromTheInstrument) {
  auto script = std::make_unique<test::ScriptedIoSession>();
  test::ScriptedIoSession* io = script.get();
  ComPtr<IKorvane8> root;
  ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid(), std::move(script)));
  auto init = [&](const char* options, std::vector<std::pair<const char*, const char*>> counts, bool sane = true) {
    io->Expect("*IDN?", "Veltrane Instruments,MSO-CD1000,SN1,1.0");
    io->Expect("*OPT?", options);
    for (const auto& [key, reply] : counts) io->Expect(std::string(":SYST:DATA:VAL? \"") + key + "\"", reply);
    if (sane) {
      io->Expect(":SYST:DATA:VAL? \"CHAN:BAND\"", "+1.0E+09");
      io->Expect(":SYST:DATA:VAL? \"CHAN:BWL\"", "+2.0E+07");
    }
    return root->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr(""));
  };
  // An impossible pod count fails Initialize; the session's timeout is back.
  EXPECT_EQ(hresult::UnexpectedResponse, init("MSO", {{"COUN:CHAN", "4"}, {"COUN:POD", "-2"}}, false));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("\"COUN:POD\" answered -2"));
  EXPECT_EQ(2000, io->timeout);

  io->timeoutAtCommand.clear();
  ASSERT_EQ(S_OK, init("MSO,EMBD", {{"COUN:CHAN", "+4"}, {"COUN:POD", "2"}, {"POD:SIZE", "8"}}));
  EXPECT_TRUE(io->AllConsumed());
  EXPECT_EQ((std::vector<LONG>{2000, 2000, 10000, 10000, 10000, 2000, 2000}), io->timeoutAtCommand);
  EXPECT_EQ(18u, NamesOf<IKorvaneDigitalChannels>(root.get(), IID_IKorvaneDigitalChannels).size());
  EXPECT_EQ(2u, NamesOf<IKorvane2SerialBuses>(root.get(), IID_IKorvane2SerialBuses).size());
  ASSERT_EQ(S_OK, root->Close());

  // Without the options: no pod queries, no digital channels, no buses.
  ASSERT_EQ(S_OK, init("SGM", {{"COUN:CHAN", "2"}}));
  EXPECT_TRUE(io->AllConsumed());
  EXPECT_EQ(Names{}, NamesOf<IKorvane2SerialBuses>(root.get(), IID_IKorvane2SerialBuses));
  EXPECT_EQ(0, Object(root.get()).ModelCapabilities().digitalChannels);
}

}  // namespace
}  // namespace korvane
