// Modular instruments are reached through their module manager: a fake manager registered under
// its ProgID hands out a VISA session to the simulator as its SCPI string parser, and the driver
// session must connect, talk and disconnect through it, and refuse cleanly without it.
#include "core/Driver.h"
#include "support/TestSupport.h"
#include "io/VisaComSession.h"
#include "io/BuiltInProvider.h"
#include "support/SimProcess.h"
#include "visacom/VisaCom.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace korvane {
namespace {

using sim::test::SimProcess;
using test::TakeErrorInfo;

constexpr CLSID kFakeManagerClsid = {0x6B1F0E21, 0x3C55, 0x4D0B, {0x9A, 0x10, 0x51, 0x7E, 0x22, 0x6C, 0x0D, 0x41}};
const OLECHAR* const kProgId = OLESTR("KorvaneModuleManager.KorvaneModuleManager");

// What every manager object saw; the manager is created anew for the disconnect.
struct ManagerLog {
  std::vector<std::string> calls;
  std::string socketResource;  // where the parser's VISA session goes
};
ManagerLog g_log;

class FakeManager final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
    if (iid != IID_IUnknown && iid != IID_IDispatch) return *ppv = nullptr, E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const char* const kNames[] = {"ConnectClient", "AutomationInterface", "ScpiStringParser",
                                         "DisconnectClient"};
    for (UINT n = 0; n < count; ++n) {
      ids[n] = -1;
      for (DISPID k = 0; k < 4; ++k)
        if (ToNarrow(OleStringView(names[n])) == kNames[k]) ids[n] = k + 1;
      if (ids[n] < 0) return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    switch (id) {
      case 1:
      case 4: {
        if (flags != DISPATCH_METHOD || params->cArgs != 1 || params->rgvarg[0].vt != VT_BSTR) return E_INVALIDARG;
        g_log.calls.push_back(std::string(id == 1 ? "connect " : "disconnect ") + ToNarrow(params->rgvarg[0].bstrVal));
        return S_OK;
      }
      case 2:  // the manager serves as its own automation interface
        if (flags != DISPATCH_PROPERTYGET) return E_INVALIDARG;
        AddRef();
        result->vt = VT_DISPATCH;
        result->pdispVal = this;
        return S_OK;
      case 3: {
        if (flags != DISPATCH_PROPERTYGET) return E_INVALIDARG;
        ComPtr<IResourceManager> rm;
        HRESULT hr = CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IResourceManager, rm.ReceiveVoid());
        if (FAILED(hr)) return hr;
        IVisaSession* session = nullptr;
        hr = rm->Open(Bstr(g_log.socketResource), NO_LOCK, 2000, Bstr(""), &session);
        if (FAILED(hr)) return hr;
        result->vt = VT_UNKNOWN;
        result->punkVal = session;
        return S_OK;
      }
      default: return DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  std::atomic<ULONG> refs_{0};
};

class FakeManagerFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return *ppv = nullptr, E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* manager = new FakeManager;
    manager->AddRef();
    HRESULT hr = manager->QueryInterface(iid, ppv);
    manager->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

class ModularSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, EnsureVisaComProvider(nullptr));
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--port", "0", "--model", "MSO-CD1000"});
    ASSERT_GT(sim_->port(), 0);
    g_log = {};
    g_log.socketResource = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    driver_ = std::make_unique<CDriver>(std::make_unique<cKorvaneVisaComSession>());
  }
  void TearDown() override {
    if (cookie_) CoRevokeClassObject(cookie_);
    KorvaneUnregisterProgID(kProgId);
  }

  void RegisterManager() {
    ASSERT_EQ(S_OK,
              CoRegisterClassObject(kFakeManagerClsid, &factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_));
    ASSERT_EQ(S_OK, KorvaneRegisterProgID(kProgId, kFakeManagerClsid));
  }

  HRESULT Init(const char* resource) {
    return driver_->Initialize(Bstr(resource), VARIANT_TRUE, VARIANT_FALSE, Bstr("QueryInstrStatus=true"));
  }

  ComInit com_;
  std::unique_ptr<SimProcess> sim_;
  FakeManagerFactory factory_;
  DWORD cookie_ = 0;
  std::unique_ptr<CDriver> driver_;
};

constexpr const char* kModule = "PXI0::CHASSIS1::SLOT3::INDEX0::INSTR;Mainframe";

TEST_F(ModularSession, ConnectsTalksAndDisconnectsThroughTheManager) {
  RegisterManager();
  ASSERT_EQ(S_OK, Init(kModule)) << TakeErrorInfo().description;
  Bstr model;
  ASSERT_EQ(S_OK, driver_->get_InstrumentModel(model.Receive()));
  EXPECT_EQ(model.Narrow(), "MSO-CD1000");
  // The caller's resource name is what the session reports, not the parser's.
  Bstr descriptor;
  ASSERT_EQ(S_OK, driver_->get_IoResourceDescriptor(descriptor.Receive()));
  EXPECT_EQ(descriptor.Narrow(), kModule);
  EXPECT_EQ(S_OK, driver_->Close());
  EXPECT_EQ(g_log.calls,
            (std::vector<std::string>{std::string("connect ") + kModule, std::string("disconnect ") + kModule}));
}

TEST_F(ModularSession, WithoutTheManagerTheOpenFailsAndNothingIsLeftOpen) {
  EXPECT_TRUE(FAILED(Init(kModule)));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("Could not find the module manager"));
  // Registered but not creatable: the second failure text.
  ASSERT_EQ(S_OK, KorvaneRegisterProgID(kProgId, kFakeManagerClsid));
  EXPECT_TRUE(FAILED(Init(kModule)));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("Could not create instance of the module manager"));
  EXPECT_TRUE(g_log.calls.empty());
  // A plain socket resource never asks for the manager, and the session works.
  EXPECT_EQ(S_OK, Init(g_log.socketResource.c_str())) << TakeErrorInfo().description;
  EXPECT_EQ(S_OK, driver_->Close());
  EXPECT_TRUE(g_log.calls.empty());
}

}  // namespace
}  // namespace korvane
