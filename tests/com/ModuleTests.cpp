// The module: class objects of the seven creatable classes, aggregation and unknown classes
// refused, and the unload test following live objects and server locks.
#include "com/Module.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

struct Coclass {
  const char* progId;
  CLSID clsid;
  IID defaultIid;
};

// The coclasses with their default interfaces, in registration order.
const Coclass kCoclasses[] = {
    {"Korvane.Korvane", CLSID_Korvane, IID_IKorvane8},
    {"Korvane.Channel", CLSID_KorvaneChannel, IID_IKorvaneChannel},
    {"Korvane.Measurement", CLSID_KorvaneMeasurement, IID_IKorvaneMeasurement2},
    {"Korvane.DigitalChannel", CLSID_KorvaneDigitalChannel, IID_IKorvaneDigitalChannel},
    {"Korvane.SerialBus", CLSID_KorvaneSerialBus, IID_IKorvaneSerialBus4},
    {"Korvane.MathFunction", CLSID_KorvaneMathFunction, IID_IKorvaneMathFunction},
    {"Korvane.WaveGen", CLSID_KorvaneWaveGen, IID_IKorvaneWaveGen2},
};

ComPtr<IClassFactory> Factory(REFCLSID clsid) {
  ComPtr<IClassFactory> f;
  EXPECT_EQ(S_OK, DllGetClassObject(clsid, IID_IClassFactory, f.ReceiveVoid())) << GuidToString(clsid);
  return f;
}

TEST(Module, EveryCoclassHasACachedFactoryMakingItsOwnObjects) {
  ASSERT_EQ(std::size(kCoclasses), CKorvaneModule::ObjectMap().size());
  for (const Coclass& c : kCoclasses) {
    SCOPED_TRACE(c.progId);
    ComPtr<IClassFactory> f = Factory(c.clsid);
    ASSERT_TRUE(f);
    EXPECT_EQ(f.get(), Factory(c.clsid).get());  // the same factory for the module's life
    ComPtr<IUnknown> unk;
    ASSERT_EQ(S_OK, DllGetClassObject(c.clsid, IID_IUnknown, unk.ReceiveVoid()));
    EXPECT_EQ(static_cast<IUnknown*>(f.get()), unk.get());

    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, f->CreateInstance(nullptr, c.defaultIid, object.ReceiveVoid()));
    // An object of that class and of no other: its default interface is its own.
    for (const Coclass& other : kCoclasses) {
      if (&other == &c) continue;
      ComPtr<IUnknown> p;
      EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(other.defaultIid, p.ReceiveVoid())) << other.progId;
    }
    // Each call makes a new object.
    ComPtr<IUnknown> second;
    ASSERT_EQ(S_OK, f->CreateInstance(nullptr, IID_IUnknown, second.ReceiveVoid()));
    ComPtr<IUnknown> first;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, first.ReceiveVoid()));
    EXPECT_NE(first.get(), second.get());
  }
}

TEST(Module, RefusesWhatItCannotServe) {
  constexpr CLSID kForeign = {0x0B7D6E21, 0x44A1, 0x4C3E, {0x9F, 0x10, 0x5A, 0x2B, 0x71, 0xC8, 0x3D, 0x09}};
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kForeign, IID_IClassFactory, &p));
  EXPECT_EQ(nullptr, p);
  // A library identifier or an interface identifier is not a class.
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(LIBID_KorvaneLib, IID_IClassFactory, &p));
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(IID_IKorvane8, IID_IClassFactory, &p));
  EXPECT_EQ(E_POINTER, DllGetClassObject(CLSID_Korvane, IID_IClassFactory, nullptr));
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(CLSID_Korvane, IID_IKorvane8, &p));
  EXPECT_EQ(nullptr, p);

  const LONG before = CKorvaneModule::LockCount();
  for (const Coclass& c : kCoclasses) {
    ComPtr<IClassFactory> f = Factory(c.clsid);
    ASSERT_TRUE(f);
    ComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, f->CreateInstance(nullptr, IID_IUnknown, outer.ReceiveVoid()));
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, f->CreateInstance(outer.get(), IID_IUnknown, &p)) << c.progId;
    EXPECT_EQ(nullptr, p);
    // An interface the class lacks: nothing is handed out and nothing stays alive.
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, f->CreateInstance(nullptr, IID_IClassFactory, &p)) << c.progId;
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_POINTER, f->CreateInstance(nullptr, IID_IUnknown, nullptr));
  }
  EXPECT_EQ(before, CKorvaneModule::LockCount());
}

TEST(Module, UnloadWaitsForObjectsAndServerLocks) {
  ASSERT_EQ(S_OK, DllCanUnloadNow()) << "an earlier test left an object alive";
  ComPtr<IClassFactory> f = Factory(CLSID_KorvaneChannel);
  ASSERT_TRUE(f);
  EXPECT_EQ(S_OK, DllCanUnloadNow());  // holding a class object alone does not pin the server

  ComPtr<IUnknown> channel, root;
  ASSERT_EQ(S_OK, f->CreateInstance(nullptr, IID_IUnknown, channel.ReceiveVoid()));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  ASSERT_EQ(S_OK, Factory(CLSID_Korvane)->CreateInstance(nullptr, IID_IKorvane, root.ReceiveVoid()));
  channel.Reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  root.Reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  EXPECT_EQ(S_OK, f->LockServer(TRUE));
  EXPECT_EQ(S_OK, f->LockServer(TRUE));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(S_OK, f->LockServer(FALSE));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(S_OK, f->LockServer(FALSE));
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  // An unlock nobody locked does not let the server go while an object lives.
  ASSERT_EQ(S_OK, f->CreateInstance(nullptr, IID_IUnknown, channel.ReceiveVoid()));
  EXPECT_EQ(S_OK, f->LockServer(FALSE));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  channel.Reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

// Clients on several threads at once: every object and lock is counted and released.
TEST(Module, CountsHoldAcrossThreads) {
  ASSERT_EQ(S_OK, DllCanUnloadNow());
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 50; ++i) {
        const Coclass& c = kCoclasses[(t + i) % std::size(kCoclasses)];
        ComPtr<IClassFactory> f;
        if (FAILED(DllGetClassObject(c.clsid, IID_IClassFactory, f.ReceiveVoid()))) {
          ++failures[t];
          continue;
        }
        ComPtr<IUnknown> object;
        f->LockServer(TRUE);
        if (FAILED(f->CreateInstance(nullptr, c.defaultIid, object.ReceiveVoid()))) ++failures[t];
        f->LockServer(FALSE);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int n : failures) EXPECT_EQ(0, n);
  EXPECT_EQ(0, CKorvaneModule::LockCount());
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

#if !defined(_WIN32)
// Without a registry the module publishes its classes in the in-process class table.
TEST(Module, ClassesAndProgIdsArePublished) {
  for (const Coclass& c : kCoclasses) {
    SCOPED_TRACE(c.progId);
    const std::string versioned = std::string(c.progId) + ".1";
    CLSID clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromProgID(ToOle(c.progId).c_str(), &clsid));
    EXPECT_EQ(c.clsid, clsid);
    clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromProgID(ToOle(versioned).c_str(), &clsid));
    EXPECT_EQ(c.clsid, clsid);
    LPOLESTR progId = nullptr;
    ASSERT_EQ(S_OK, ProgIDFromCLSID(c.clsid, &progId));
    EXPECT_EQ(versioned, ToNarrow(OleStringView(progId)));
    CoTaskMemFree(progId);

    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, c.defaultIid, object.ReceiveVoid()));
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(c.clsid, object.get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &p));
    EXPECT_EQ(nullptr, p);
  }
  CLSID clsid;
  EXPECT_EQ(S_OK, CLSIDFromProgID(u"KORVANE.KORVANE", &clsid));  // registry keys ignore case
  EXPECT_EQ(CLSID_Korvane, clsid);
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Korvane.Korvane.2", &clsid));
}
#endif

}  // namespace
}  // namespace korvane
