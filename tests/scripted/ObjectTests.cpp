// The generated objects: QueryInterface rules, reference counts, navigation, and members
// reaching the call frame with their catalogue data (keys, defaults, guards, exemptions).
#include "com/Module.h"
#include "com/Objects.h"
#include "support/ScriptedIoSession.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::TakeErrorInfo;

constexpr HRESULT kNotInitialized = hresult::NotInitialized;
constexpr HRESULT kNullPointer = hresult::NullPointer;
constexpr HRESULT kNotSupportedByModel = hresult::NotSupportedByModel;
constexpr HRESULT kPropertyNotSupported = hresult::PropertyNotSupported;

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

using test::Query;

IUnknown* Identity(IUnknown* p) {
  ComPtr<IUnknown> unk;
  if (FAILED(p->QueryInterface(IID_IUnknown, unk.ReceiveVoid()))) return nullptr;
  return unk.get();
}

// The root with the model family decided by the test.
class FamilyKorvane : public CKorvane {
 public:
  explicit FamilyKorvane(std::string family) : family_(std::move(family)) {}
  bool IsModelFamily(const char* family) noexcept override { return family_ == family; }

 private:
  std::string family_;
};

class Objects : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid())); }

  HRESULT Simulate(IKorvane8* root) {
    return root->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr("Simulate=1"));
  }

  ComPtr<IKorvane8> root_;
};

TEST_F(Objects, RootAnswersItsOwnInterfacesOnly) {
  for (const IID* iid : {&IID_IKorvane, &IID_IKorvane8, &IID_IIviDriver, &IID_IIviScope, &IID_IKorvaneTriggerEdge,
                         &IID_IKorvaneSystem, &IID_IKorvane8FRA, &IID_IIviScopeTriggerTv, &IID_IKorvaneChannels}) {
    ComPtr<IUnknown> p;
    EXPECT_EQ(S_OK, root_->QueryInterface(*iid, p.ReceiveVoid())) << GuidToString(*iid);
    EXPECT_EQ(Identity(p.get()), Identity(root_.get()));
  }
  for (const IID* iid : {&IID_IKorvaneChannel, &IID_IIviScopeChannel, &IID_IKorvaneSerialBus4,
                         &IID_IKorvaneWaveGenModulationAM, &IID_IKorvaneMeasurement2, &IID_IClassFactory}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, root_->QueryInterface(*iid, &p)) << GuidToString(*iid);
    EXPECT_EQ(nullptr, p);
  }
  EXPECT_EQ(E_POINTER, root_->QueryInterface(IID_IKorvane, nullptr));
}

TEST_F(Objects, ItemsAnswerTheirOwnInterfacesOnly) {
  ComPtr<IKorvaneChannel> channel;
  ASSERT_EQ(S_OK, CKorvaneChannel::Create(IID_IKorvaneChannel, channel.ReceiveVoid()));
  Query<IIviScopeChannel>(channel.get());
  Query<IIviScopeMeasurement>(channel.get());
  ComPtr<IUnknown> p;
  EXPECT_EQ(E_NOINTERFACE, channel->QueryInterface(IID_IKorvaneTriggerEdge, p.ReceiveVoid()));
  EXPECT_EQ(E_NOINTERFACE, channel->QueryInterface(IID_IKorvane, p.ReceiveVoid()));
  EXPECT_EQ(E_NOINTERFACE, channel->QueryInterface(IID_IKorvaneWaveGen, p.ReceiveVoid()));

  ComPtr<IKorvaneSerialBus4> bus;
  ASSERT_EQ(S_OK, CKorvaneSerialBus::Create(IID_IKorvaneSerialBus4, bus.ReceiveVoid()));
  // An interface an item inherits through its newest revision answers with the same identity.
  auto older = Query<IKorvane2SerialBus>(bus.get());
  auto can = Query<IKorvaneSerialBus3CAN2>(bus.get());
  auto canBase = Query<IKorvane2SerialBusCAN>(bus.get());
  EXPECT_EQ(Identity(older.get()), Identity(bus.get()));
  EXPECT_EQ(Identity(canBase.get()), Identity(can.get()));
  EXPECT_EQ(E_NOINTERFACE, bus->QueryInterface(IID_IKorvaneChannel, p.ReceiveVoid()));

  ComPtr<IKorvaneDigitalChannel> digital;
  ASSERT_EQ(S_OK, CKorvaneDigitalChannel::Create(IID_IKorvaneDigitalChannel, digital.ReceiveVoid()));
  EXPECT_EQ(E_NOINTERFACE, CKorvaneDigitalChannel::Create(IID_IKorvane, p.ReceiveVoid()));
  EXPECT_EQ(nullptr, p.get());
}

// Error-info support is claimed for the object's own interfaces only, on the root and on an
// item; late binding (IDispatch) exists where type libraries do, that is on Windows.
TEST_F(Objects, SupportErrorInfoForOwnInterfacesAndDispatchOnWindows) {
  ComPtr<IKorvaneChannel> channel;
  ASSERT_EQ(S_OK, CKorvaneChannel::Create(IID_IKorvaneChannel, channel.ReceiveVoid()));
  struct Case {
    IUnknown* object;
    const IID* iid;
    HRESULT supports;
  };
  for (const Case& c :
       {Case{root_.get(), &IID_IKorvaneTriggerEdge, S_OK}, Case{root_.get(), &IID_IIviDriver, S_OK},
        Case{root_.get(), &IID_IKorvaneChannel, S_FALSE}, Case{channel.get(), &IID_IIviScopeChannel, S_OK},
        Case{channel.get(), &IID_IKorvane, S_FALSE}}) {
    auto support = Query<ISupportErrorInfo>(c.object);
    ASSERT_TRUE(support);
    EXPECT_EQ(c.supports, support->InterfaceSupportsErrorInfo(*c.iid)) << GuidToString(*c.iid);
    EXPECT_EQ(Identity(support.get()), Identity(c.object));
  }
  ComPtr<IUnknown> dispatch;
#if defined(_WIN32)
  EXPECT_EQ(S_OK, root_->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()));
  EXPECT_EQ(Identity(dispatch.get()), Identity(root_.get()));
#else
  EXPECT_EQ(E_NOINTERFACE, root_->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()));
#endif
}

TEST_F(Objects, IdentityIsOneObjectAcrossSharedBases) {
  // IIviDriver is reached through IKorvane and through IIviScope; both give one identity and
  // one IIviDriver pointer.
  auto scope = Query<IIviScope>(root_.get());
  auto driverFromRoot = Query<IIviDriver>(root_.get());
  auto driverFromScope = Query<IIviDriver>(scope.get());
  EXPECT_EQ(driverFromRoot.get(), driverFromScope.get());
  EXPECT_EQ(Identity(scope.get()), Identity(root_.get()));
  auto older = Query<IKorvane>(root_.get());
  EXPECT_EQ(Identity(older.get()), Identity(root_.get()));
}

TEST_F(Objects, ReferenceCounting) {
  EXPECT_EQ(1u, RefCount(root_.get()));
  {
    auto trigger = Query<IKorvaneTrigger>(root_.get());
    EXPECT_EQ(2u, RefCount(root_.get()));
    EXPECT_EQ(3u, trigger->AddRef());
    EXPECT_EQ(2u, root_->Release());
  }
  EXPECT_EQ(1u, RefCount(root_.get()));
  // A failed query adds nothing.
  ComPtr<IUnknown> none;
  root_->QueryInterface(IID_IKorvaneChannel, none.ReceiveVoid());
  EXPECT_EQ(1u, RefCount(root_.get()));
}

TEST_F(Objects, NavigationReturnsTheSameObjectWithAReference) {
  // Navigation needs no connection: the session has not been initialised.
  ComPtr<IKorvaneTrigger5> trigger;
  ASSERT_EQ(S_OK, root_->get_Trigger5(trigger.Receive()));
  EXPECT_EQ(Identity(trigger.get()), Identity(root_.get()));
  EXPECT_EQ(2u, RefCount(root_.get()));
  ComPtr<IKorvaneTriggerEdge> edge;
  ASSERT_EQ(S_OK, trigger->get_Edge(edge.Receive()));
  EXPECT_EQ(Identity(edge.get()), Identity(root_.get()));
  EXPECT_EQ(3u, RefCount(root_.get()));
  ComPtr<IIviDriverOperation> operation;
  ASSERT_EQ(S_OK, root_->get_DriverOperation(operation.Receive()));
  EXPECT_EQ(Identity(operation.get()), Identity(root_.get()));

  // Items navigate within themselves.
  ComPtr<IKorvaneWaveGen2> gen;
  ASSERT_EQ(S_OK, CKorvaneWaveGen::Create(IID_IKorvaneWaveGen2, gen.ReceiveVoid()));
  ComPtr<IKorvaneWaveGenModulation> modulation;
  ASSERT_EQ(S_OK, gen->get_Modulation(modulation.Receive()));
  EXPECT_EQ(Identity(modulation.get()), Identity(gen.get()));

  EXPECT_EQ(kNullPointer, root_->get_Timebase(nullptr));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("'get_Timebase', parameter 'val'"));
}

TEST_F(Objects, NotConnectedLeavesTheOutValueAlone) {
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  DOUBLE scale = 42.5;
  EXPECT_EQ(kNotInitialized, timebase->get_HorizontalScale(&scale));
  EXPECT_EQ(42.5, scale);
  auto info = TakeErrorInfo();
  EXPECT_EQ("Korvane: A connection to the instrument has not been established.", info.description);
  EXPECT_EQ(IID_IKorvaneTimebase, info.guid);
  // Close needs a connection too; the exempt identity members do not.
  EXPECT_EQ(kNotInitialized, root_->Close());
  Bstr text;
  EXPECT_EQ(S_OK, Query<IIviComponentIdentity>(root_.get())->get_Vendor(text.Receive()));
  EXPECT_FALSE(text.empty());
}

TEST_F(Objects, SimulatedPropertiesUseTheStateCache) {
  ASSERT_EQ(S_OK, Simulate(root_.get()));
  auto memory = Query<IKorvaneMemory>(root_.get());
  LONG length = 0;
  ASSERT_EQ(S_OK, memory->get_WaveformLength(&length));
  EXPECT_EQ(1000, length);
  ASSERT_EQ(S_OK, memory->put_WaveformLength(5000));
  ASSERT_EQ(S_OK, memory->get_WaveformLength(&length));
  EXPECT_EQ(5000, length);

  // Strings keep only the last value put; enumerations start at their default word.
  auto trigger = Query<IKorvaneTrigger>(root_.get());
  Bstr source;
  ASSERT_EQ(S_OK, trigger->get_Source(source.Receive()));
  EXPECT_EQ("CHAN1", source.Narrow());
  ASSERT_EQ(S_OK, trigger->put_Source(Bstr("CHAN2")));
  ASSERT_EQ(S_OK, trigger->put_Source(Bstr("EXT")));
  ASSERT_EQ(S_OK, trigger->get_Source(source.Receive()));
  EXPECT_EQ("EXT", source.Narrow());

  // Invalidation brings the defaults back: on request, and when the cache is switched off.
  auto operation = Query<IIviDriverOperation>(root_.get());
  ASSERT_EQ(S_OK, operation->InvalidateAllAttributes());
  ASSERT_EQ(S_OK, memory->get_WaveformLength(&length));
  EXPECT_EQ(1000, length);
  ASSERT_EQ(S_OK, memory->put_WaveformLength(300));
  ASSERT_EQ(S_OK, operation->put_Cache(VARIANT_FALSE));
  ASSERT_EQ(S_OK, memory->get_WaveformLength(&length));
  EXPECT_EQ(1000, length);

  // The inherent flags are the session's own, not cache entries.
  VARIANT_BOOL simulate = VARIANT_FALSE;
  ASSERT_EQ(S_OK, operation->get_Simulate(&simulate));
  EXPECT_EQ(VARIANT_TRUE, simulate);

  EXPECT_EQ(kNullPointer, memory->get_WaveformLength(nullptr));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("method 'get_WaveformLength', parameter 'val'"));
}

TEST_F(Objects, ItemsKeepTheirOwnEntriesAndFollowTheirSession) {
  ComPtr<IKorvaneChannel> channel;
  ASSERT_EQ(S_OK, CKorvaneChannel::Create(IID_IKorvaneChannel, channel.ReceiveVoid()));
  auto* item = static_cast<CKorvaneChannel*>(static_cast<gen::CKorvaneChannel_IKorvaneChannel*>(channel.get()));
  KorvaneVerticalCouplingEnum coupling = KorvaneVerticalCouplingAC;
  EXPECT_EQ(kNotInitialized, channel->get_Coupling(&coupling));

  auto* root = static_cast<CKorvane*>(static_cast<gen::CKorvane_IKorvane8*>(root_.get()));
  ASSERT_EQ(S_OK, Simulate(root_.get()));
  item->AttachTo(*root, "Channel1", 1);
  ASSERT_EQ(S_OK, channel->get_Coupling(&coupling));
  EXPECT_EQ(KorvaneVerticalCouplingDC, coupling);
  ASSERT_EQ(S_OK, channel->put_Coupling(KorvaneVerticalCouplingAC));
  ASSERT_EQ(S_OK, channel->get_Coupling(&coupling));
  EXPECT_EQ(KorvaneVerticalCouplingAC, coupling);
  // Invalidating the root reaches the item below it.
  ASSERT_EQ(S_OK, Query<IIviDriverOperation>(root_.get())->InvalidateAllAttributes());
  ASSERT_EQ(S_OK, channel->get_Coupling(&coupling));
  EXPECT_EQ(KorvaneVerticalCouplingDC, coupling);

  // An item whose session has gone is no longer initialised, and says so.
  root_.Reset();
  EXPECT_EQ(kNotInitialized, channel->get_Coupling(&coupling));
}

// A client's reference to an item holds the root: the item works on after the client released
// the root, or reports that it is detached after Close, and the last release frees both (the
// root's hold on its items makes no cycle).
TEST_F(Objects, AnItemKeepsItsRootAliveAndTheLastReleaseFreesBoth) {
  for (const bool close : {false, true}) {
    SCOPED_TRACE(close ? "closed first" : "open");
    if (!root_) {
      ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid()));
    }
    const LONG objects = CKorvaneModule::LockCount();  // the root among them
    ASSERT_EQ(S_OK, Simulate(root_.get()));
    ComPtr<IKorvaneChannel> channel;
    ASSERT_EQ(S_OK, Query<IKorvaneChannels>(root_.get())->get_Item(Bstr("Channel2"), channel.Receive()));
    ASSERT_EQ(S_OK, channel->put_Coupling(KorvaneVerticalCouplingAC));
    if (close) {
      ASSERT_EQ(S_OK, root_->Close());
    }
    root_.Reset();
    KorvaneVerticalCouplingEnum coupling = KorvaneVerticalCouplingDC;
    if (close) {
      EXPECT_EQ(kNotInitialized, channel->get_Coupling(&coupling));
    } else {
      EXPECT_EQ(S_OK, channel->get_Coupling(&coupling));
      EXPECT_EQ(KorvaneVerticalCouplingAC, coupling);
    }
    EXPECT_GT(CKorvaneModule::LockCount(), objects) << "the items are gone with the root still referenced";
    channel.Reset();
    EXPECT_EQ(objects - 1, CKorvaneModule::LockCount()) << "the root or an item outlived its last reference";
  }
}

TEST_F(Objects, ModelGuardComesBeforeSimulation) {
  ComPtr<IKorvane8> avel;
  auto* object = new FamilyKorvane("Avel");
  object->AddRef();
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IKorvane8, avel.ReceiveVoid()));
  object->Release();
  ASSERT_EQ(S_OK, Simulate(avel.get()));
  auto acquisition = Query<IKorvaneAcquisition2>(avel.get());
  KorvaneAcquisitionReferenceSignalModeEnum mode{};
  EXPECT_EQ(kNotSupportedByModel, acquisition->get_ReferenceSignal(&mode));
  EXPECT_EQ("Korvane: Instrument model does not support this feature: get_ReferenceSignal.",
            TakeErrorInfo().description);
  // The same member on a family it does not exclude is served (the default simulation model is
  // a Bormo one, which it excludes too).
  ASSERT_EQ(S_OK, root_->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE,
                                    Bstr("Simulate=1,DriverSetup=Model=DSO-DV200")));
  EXPECT_EQ(S_OK, Query<IKorvaneAcquisition2>(root_.get())->get_ReferenceSignal(&mode));
}

TEST_F(Objects, MembersWithoutBehaviourNameThemselves) {
  // A connected session that does not simulate: members go past the state cache.
  auto io = std::make_unique<test::ScriptedIoSession>();
  io->ExpectConnect("DSO-BR70-2CH", "SGM,MASK");
  root_.Reset();
  ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid(), std::move(io)));
  ASSERT_EQ(S_OK, root_->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr("")));

  // The instrument has no envelope acquisition, and the class member says so by its name.
  auto acquisition = Query<IIviScopeAcquisition>(root_.get());
  LONG envelopes = 0;
  EXPECT_EQ(kPropertyNotSupported, acquisition->get_NumberOfEnvelopes(&envelopes));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("property 'Acquisition_get_NumberOfEnvelopes'"));
}

}  // namespace
}  // namespace korvane
