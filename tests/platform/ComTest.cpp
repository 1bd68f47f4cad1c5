#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

#include <atomic>
#include <thread>

using korvane::ComInit;
using korvane::ComPtr;

namespace {

constexpr CLSID kClsid = {0x0B7D6E21, 0x44A1, 0x4C3E, {0x9F, 0x10, 0x5A, 0x2B, 0x71, 0xC8, 0x3D, 0x01}};
constexpr CLSID kUnknownClsid = {0x0B7D6E21, 0x44A1, 0x4C3E, {0x9F, 0x10, 0x5A, 0x2B, 0x71, 0xC8, 0x3D, 0x02}};

class Object final : public IUnknown {
 public:
  static std::atomic<int> live;
  Object() { ++live; }
  ~Object() { --live; }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid != IID_IUnknown) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (!n) delete this;
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};
std::atomic<int> Object::live{0};

class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* o = new Object();
    HRESULT hr = o->QueryInterface(riid, ppv);
    o->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
  std::atomic<ULONG> refs{1};
};

template <typename F>
void InMta(F f) {
  std::thread([&] {
    ComInit com(COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(com.hr()));
    f();
  }).join();
}

}  // namespace

TEST(Com, ApartmentModeIsPerThreadAndCounted) {
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
  }).join();
  std::thread([] {  // a different thread chooses its own mode
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  })
      .join();
}

TEST(Com, CreateInstanceThroughRegisteredClass) {
  InMta([] {
    ComPtr<IUnknown> obj;
    EXPECT_EQ(CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, obj.ReceiveVoid()),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(obj);

    Factory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, obj.ReceiveVoid()), S_OK);
    EXPECT_TRUE(obj);
    EXPECT_EQ(Object::live.load(), 1);
    ComPtr<IUnknown> other;
    EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, other.ReceiveVoid()),
              E_NOINTERFACE);
    obj.Reset();
    EXPECT_EQ(Object::live.load(), 0);

    ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, obj.ReceiveVoid()),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(factory.refs.load(), 1u);  // the table let go of its reference
  });
}

TEST(Com, GlobalInterfaceTableCrossesThreads) {
  // Keeps the process's multithreaded apartment alive between the two worker threads, as a
  // long-lived client does; when the apartment ends COM revokes what it registered.
  ComInit keepMta(COINIT_MULTITHREADED);
  ComPtr<IGlobalInterfaceTable> git;
  DWORD cookie = 0;
  Object* raw = nullptr;
  InMta([&] {
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                               git.ReceiveVoid()),
              S_OK);
    raw = new Object();
    ASSERT_EQ(git->RegisterInterfaceInGlobal(raw, IID_IUnknown, &cookie), S_OK);
    raw->Release();  // the table keeps the object alive
  });
  EXPECT_EQ(Object::live.load(), 1);
  InMta([&] {
    ComPtr<IUnknown> fetched;
    ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_IUnknown, fetched.ReceiveVoid()), S_OK);
    EXPECT_EQ(fetched.get(), static_cast<IUnknown*>(raw));
    fetched.Reset();
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(git->GetInterfaceFromGlobal(cookie, IID_IUnknown, fetched.ReceiveVoid()), E_INVALIDARG);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
  });
  EXPECT_EQ(Object::live.load(), 0);
  git.Reset();
}

TEST(Com, CriticalSectionReentry) {
  korvane::CriticalSection cs;
  cs.Enter();
  ASSERT_TRUE(cs.TryEnter());  // the owner may enter again
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
  EXPECT_FALSE(otherGotIt);
  cs.Leave();
  std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
  EXPECT_FALSE(otherGotIt);  // still held once
  cs.Leave();
  std::thread([&] {
    otherGotIt = cs.TryEnter();
    if (otherGotIt) cs.Leave();
  }).join();
  EXPECT_TRUE(otherGotIt);
}

TEST(Com, GuidTextAndProgIds) {
  EXPECT_EQ(korvane::GuidToString(IID_IErrorInfo), "{1CF2B120-547D-101B-8E65-08002B2BD119}");
  OLECHAR small[38];
  EXPECT_EQ(StringFromGUID2(kClsid, small, 38), 0);
  OLECHAR text[39];
  ASSERT_EQ(StringFromGUID2(kClsid, text, 39), 39);
  CLSID parsed{};
  EXPECT_EQ(CLSIDFromString(text, &parsed), S_OK);
  EXPECT_TRUE(IsEqualCLSID(parsed, kClsid));
  IID iid{};
  EXPECT_EQ(IIDFromString(OLESTR("{1CF2B120-547D-101B-8E65-08002B2BD1}"), &iid), E_INVALIDARG);

  InMta([] {
    CLSID c{};
    EXPECT_EQ(CLSIDFromProgID(OLESTR("Korvane.NoSuchClass.7"), &c), CO_E_CLASSSTRING);
  });
#if !defined(_WIN32)
  // On Windows this is the registry's job; here the module fills the table.
  ASSERT_EQ(KorvaneRegisterProgID(OLESTR("Korvane.TestClass.1"), kClsid), S_OK);
  ASSERT_EQ(KorvaneRegisterProgID(OLESTR("Korvane.TestClass"), kClsid), S_OK);
  CLSID c{};
  EXPECT_EQ(CLSIDFromProgID(OLESTR("korvane.testclass"), &c), S_OK);  // key names ignore case
  EXPECT_TRUE(IsEqualCLSID(c, kClsid));
  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(kClsid, &progId), S_OK);
  EXPECT_EQ(korvane::ToNarrow(korvane::OleStringView(progId)), "Korvane.TestClass.1");
  CoTaskMemFree(progId);
  EXPECT_EQ(KorvaneUnregisterProgID(OLESTR("Korvane.TestClass.1")), S_OK);
  EXPECT_EQ(CLSIDFromProgID(OLESTR("Korvane.TestClass.1"), &c), CO_E_CLASSSTRING);
  KorvaneUnregisterProgID(OLESTR("Korvane.TestClass"));
#endif
}
