#include "visacom/Provider.h"
#include "base/StringUtil.h"
#include "platform/ComObject.h"
#include "visacom/ComError.h"
#include "visacom/Discovery.h"
#include "visacom/ResourceExpression.h"
#include "visacom/MessageSession.h"
#include "visacom/ResourceName.h"
#include "visacom/TransportRegistry.h"
#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

namespace korvane::visacom {
namespace {

constexpr LONG kComponentVersion = 0x00100000;
constexpr LONG kSpecVersion = 0x00500800;

FindOptions DefaultFindOptions() {
  FindOptions o;
  if (const char* list = std::getenv("KORVANE_FIND_INTERFACES")) {
    std::string text = list;
    for (std::size_t at = 0; at <= text.size();) {
      const std::size_t comma = std::min(text.find(',', at), text.size());
      if (comma > at) o.interfaces.push_back(text.substr(at, comma - at));
      at = comma + 1;
    }
  }
  if (const char* ms = std::getenv("KORVANE_FIND_TIMEOUT_MS")) {
    const long v = std::strtol(ms, nullptr, 10);
    if (v > 0 && v < 600000) o.timeoutMs = static_cast<int>(v);
  }
  return o;
}

class CResourceManager final : public ComObject<CResourceManager, IResourceManager3, ISupportErrorInfo,
                                                Also<IResourceManager, IResourceManager3>> {
 public:
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override { return SupportsErrorInfo(riid); }

  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerName(BSTR* pVal) override {
    return Guarded(IID_IResourceManager, [&] { return pVal ? PutBstr(pVal, "Korvane") : NullOut(); });
  }
  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerID(SHORT* pVal) override {
    if (!pVal) return NullOut();
    *pVal = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Description(BSTR* pVal) override {
    return Guarded(IID_IResourceManager, [&] {
      if (!pVal) return NullOut();
      // The transports this system serves, from their rows.
      std::string text = "Korvane built-in VISA-COM provider (";
      const char* separator = "";
      for (const TransportRow& row : Transports()) {
        if (!ServedOn(row, kThisSystem)) continue;
        text.append(separator).append(row.name);
        separator = ", ";
      }
      return PutBstr(pVal, text + ")");
    });
  }
  HRESULT STDMETHODCALLTYPE get_ComponentVersion(LONG* pVal) override {
    if (!pVal) return NullOut();
    *pVal = kComponentVersion;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ProgID(BSTR* pVal) override {
    return Guarded(IID_IResourceManager, [&] { return pVal ? PutBstr(pVal, "Korvane.VisaCom.GlobalRM") : NullOut(); });
  }
  HRESULT STDMETHODCALLTYPE get_SpecVersion(LONG* pVal) override {
    if (!pVal) return NullOut();
    *pVal = kSpecVersion;
    return S_OK;
  }

  // Runs every finder (Discovery.h) and keeps the names the expression matches. The interfaces
  // and the time it may take come from KORVANE_FIND_INTERFACES (comma-separated) and
  // KORVANE_FIND_TIMEOUT_MS; by default every interface for a second.
  HRESULT STDMETHODCALLTYPE FindRsrc(BSTR expr, SAFEARRAY** pFindList) override {
    return Guarded(IID_IResourceManager, [&]() -> HRESULT {
      if (!pFindList) return NullOut();
      *pFindList = nullptr;
      const std::string text = ToNarrow(expr);
      std::string why;
      const auto compiled = CResourceExpression::Compile(text, why);
      if (!compiled)
        return ReportError(E_VISA_INV_EXPR, IID_IResourceManager, "Invalid expression \"" + text + "\": " + why + ".");
      std::vector<std::string> names;
      for (const FoundResource& f : FindResources(DefaultFindOptions()))
        if (compiled->Matches(f.resource)) names.push_back(f.resource);
      if (names.empty())
        return ReportError(E_VISA_RSRC_NFOUND, IID_IResourceManager, "No resources found match \"" + text + "\".");
      SafeArrayPtr list(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(names.size())));
      if (!list) return ReportError(E_OUTOFMEMORY, IID_IResourceManager, "Out of memory.");
      {
        SafeArrayAccess<BSTR> items(list.get());
        if (!items.ok())
          return ReportError(items.hr(), IID_IResourceManager, "The list of resources cannot be filled.");
        for (std::size_t i = 0; i < names.size(); ++i) {
          Bstr name(names[i]);
          if (!name.get()) return ReportError(E_OUTOFMEMORY, IID_IResourceManager, "Out of memory.");
          items.data()[i] = name.Detach();  // the array frees its strings when destroyed
        }
      }
      *pFindList = list.Detach();
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Open(BSTR ResourceName, AccessMode mode, LONG openTimeout, BSTR OptionString,
                                 IVisaSession** vi) override {
    return Guarded(IID_IResourceManager, [&]() -> HRESULT {
      if (!vi) return NullOut();
      *vi = nullptr;
      CMessageSession* session = nullptr;
      HRESULT hr = CMessageSession::Create(&session);
      if (FAILED(hr)) return ReportError(hr, IID_IResourceManager, "Out of memory for a new session.");
      hr = session->Init(ResourceName, mode, openTimeout, OptionString);  // reports its own errors
      if (FAILED(hr)) {
        session->Release();
        return hr;
      }
      *vi = static_cast<IVisaSession*>(static_cast<IMessage*>(session));
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE ParseRsrc(BSTR ResourceName, SHORT* pInterfaceType, SHORT* pInterfaceNumber,
                                      BSTR* pSessionType) override {
    return ParseRsrcEx(ResourceName, pInterfaceType, pInterfaceNumber, pSessionType, nullptr, nullptr);
  }

  HRESULT STDMETHODCALLTYPE ParseRsrcEx(BSTR ResourceName, SHORT* pInterfaceType, SHORT* pInterfaceNumber,
                                        BSTR* pSessionType, BSTR* pUnaliasedExpandedResourceName,
                                        BSTR* pAliasIfExists) override {
    return Guarded(IID_IResourceManager, [&]() -> HRESULT {
      if (!pInterfaceType || !pInterfaceNumber || !pSessionType) return NullOut();
      std::string text = ToNarrow(ResourceName), why;
      korvane::visacom::ResourceName parsed;
      if (!ParseResourceName(text, parsed, why))
        return ReportError(E_VISA_INV_RSRC_NAME, IID_IResourceManager,
                           "Invalid resource name \"" + text + "\": " + why + ".");
      Bstr cls(parsed.resourceClass), expanded(parsed.canonical), alias(std::string_view{});
      if (!cls.get() || !expanded.get()) return ReportError(E_OUTOFMEMORY, IID_IResourceManager, "Out of memory.");
      *pInterfaceType = parsed.interfaceType;
      *pInterfaceNumber = parsed.board;
      // In/out strings: the old value is ours to free.
      SysFreeString(*pSessionType);
      *pSessionType = cls.Detach();
      if (pUnaliasedExpandedResourceName) {
        SysFreeString(*pUnaliasedExpandedResourceName);
        *pUnaliasedExpandedResourceName = expanded.Detach();
      }
      if (pAliasIfExists) {  // aliases are not supported, so there is never one
        SysFreeString(*pAliasIfExists);
        *pAliasIfExists = nullptr;
      }
      return S_OK;
    });
  }

 private:
  static HRESULT NullOut() { return ReportError(E_POINTER, IID_IResourceManager, "An output pointer is null."); }
};

// Class objects live as long as the process; their reference count is irrelevant.
class CClassFactory final : public StaticComObject<CClassFactory, IClassFactory> {
 public:
  explicit CClassFactory(ClassCreator create = nullptr) noexcept : create_(create) {}
  // Set under the registration lock, before the factory is registered.
  void SetCreator(ClassCreator create) noexcept { create_.store(create); }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    const ClassCreator create = create_.load();
    if (!create) return E_UNEXPECTED;
    return outer ? CLASS_E_NOAGGREGATION : create(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  std::atomic<ClassCreator> create_;
};

CClassFactory g_rmFactory(&CResourceManager::Create<>);
// The FormattedIO488 object's creator comes from the layer that owns the formatting engine.
CClassFactory g_formattedIoFactory;

struct Registration {
  std::mutex m;
  bool active = false;
  DWORD rmCookie = 0;
  DWORD formattedIoCookie = 0;
};
Registration& Reg() {
  static auto* r = new Registration;  // never destroyed: may be revoked during process exit
  return *r;
}

}  // namespace

// Process-wide registration: no interface to describe a failure for, so a bare HRESULT.
HRESULT RegisterBuiltInProvider(ClassCreator formattedIo488) noexcept {
  if (!formattedIo488) return E_POINTER;
  return korvane::Guarded([&]() -> HRESULT {
    Registration& r = Reg();
    std::lock_guard lk(r.m);
    g_formattedIoFactory.SetCreator(formattedIo488);
    if (r.active) {
      // Windows drops a registration when the apartment that made it is uninitialised, so
      // check that the class table still hands out our factory before trusting the flag.
      IClassFactory* factory = nullptr;
      if (SUCCEEDED(CoGetClassObject(CLSID_VisaComGlobalResourceManager, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        bool ours = factory == static_cast<IClassFactory*>(&g_rmFactory);
        factory->Release();
        if (ours) return S_OK;
      }
      CoRevokeClassObject(r.rmCookie);
      CoRevokeClassObject(r.formattedIoCookie);
      r.active = false;
    }
    HRESULT hr = CoRegisterClassObject(CLSID_VisaComGlobalResourceManager, static_cast<IUnknown*>(&g_rmFactory),
                                       CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &r.rmCookie);
    if (FAILED(hr)) return hr;
    hr = CoRegisterClassObject(CLSID_VisaComFormattedIO488, static_cast<IUnknown*>(&g_formattedIoFactory),
                               CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &r.formattedIoCookie);
    if (FAILED(hr)) {
      CoRevokeClassObject(r.rmCookie);
      return hr;
    }
    r.active = true;
    return S_OK;
  });
}

HRESULT UnregisterBuiltInProvider() noexcept {
  return korvane::Guarded([]() -> HRESULT {
    Registration& r = Reg();
    std::lock_guard lk(r.m);
    if (!r.active) return S_FALSE;
    HRESULT a = CoRevokeClassObject(r.rmCookie);
    HRESULT b = CoRevokeClassObject(r.formattedIoCookie);
    r.active = false;
    return FAILED(a) ? a : b;
  });
}

HRESULT EnsureVisaComProvider(ClassCreator formattedIo488, bool* builtIn) noexcept {
  bool ours = true;
#if defined(_WIN32)
  // An installed VISA-COM library wins; ours only fills the gap where there is none.
  bool registered;
  {
    Registration& r = Reg();
    std::lock_guard lk(r.m);
    registered = r.active;
  }
  if (!registered) {
    for (const CLSID* clsid : {&CLSID_VisaComGlobalResourceManager, &CLSID_VisaComAlternateResourceManager}) {
      IClassFactory* factory = nullptr;
      if (SUCCEEDED(CoGetClassObject(*clsid, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(&factory)))) {
        factory->Release();
        ours = false;
        break;
      }
    }
  }
#endif
  HRESULT hr = ours ? RegisterBuiltInProvider(formattedIo488) : S_OK;
  if (builtIn) *builtIn = ours && SUCCEEDED(hr);
  return hr;
}

}  // namespace korvane::visacom
