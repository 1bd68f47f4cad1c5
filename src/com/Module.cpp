// The module object, the class factories and the exported class-object entry points.
#include "com/Module.h"

#include "com/Objects.h"
#include "platform/ComObject.h"

#include <iterator>
#include <new>

namespace korvane {
namespace {

template <class T>
HRESULT CreateOf(REFIID iid, void** ppv) noexcept {
  return T::Create(iid, ppv);
}

#define KORVANE_OBJECT(name, progId, versionedProgId, script) \
  {&CLSID_##name, OLESTR(progId), OLESTR(versionedProgId), script, &CreateOf<C##name>},
constexpr CObjectMapEntry kObjectMap[] = {
#include "com/KorvaneObjectMap.inc"
};
#undef KORVANE_OBJECT
static_assert(std::size(kObjectMap) <= 8, "room for the factories and class-table cookies");

// The objects alive and the server locks taken; constant-initialised, so objects made by
// other libraries' static constructors count too. Kept apart so that a stray unlock cannot
// cancel an object.
constinit std::atomic<LONG> g_objects{0};
constinit std::atomic<LONG> g_serverLocks{0};

// One per creatable class, cached by the module. Its own references do not hold the module:
// a client keeps the server loaded through LockServer, as COM expects.
class CClassFactory final : public ComObject<CClassFactory, IClassFactory> {
 public:
  explicit CClassFactory(const CObjectMapEntry& entry) noexcept : entry_(entry) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;  // no class of the driver can be aggregated
    return entry_.createInstance(iid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) CKorvaneModule::Lock();
    else CKorvaneModule::Unlock();
    return S_OK;
  }

 private:
  ~CClassFactory() = default;
  const CObjectMapEntry& entry_;
};

CKorvaneModule g_module;

}  // namespace

CKorvaneModule& Module() noexcept { return g_module; }

std::span<const CObjectMapEntry> CKorvaneModule::ObjectMap() noexcept { return kObjectMap; }

CKorvaneModule::CKorvaneModule() noexcept {
  initialized_.store(true, std::memory_order_release);
#if !defined(_WIN32)
  PublishClasses();
#endif
}

CKorvaneModule::~CKorvaneModule() {
#if !defined(_WIN32)
  WithdrawClasses();
#endif
  initialized_.store(false, std::memory_order_release);
  std::lock_guard lock(mutex_);
  for (IUnknown*& f : factories_) {
    if (f) f->Release();
    f = nullptr;
  }
}

HRESULT CKorvaneModule::GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!initialized_.load(std::memory_order_acquire)) return E_UNEXPECTED;
  for (std::size_t i = 0; i < std::size(kObjectMap); ++i) {
    if (*kObjectMap[i].clsid != clsid) continue;
    IUnknown* factory = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (!factories_[i]) {
        auto* made = new (std::nothrow) CClassFactory(kObjectMap[i]);
        if (!made) return E_OUTOFMEMORY;
        factories_[i] = static_cast<IClassFactory*>(made);  // the module's reference, the creator's
      }
      factory = factories_[i];
      factory->AddRef();
    }
    HRESULT hr = factory->QueryInterface(iid, ppv);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

LONG CKorvaneModule::Lock() noexcept { return g_serverLocks.fetch_add(1, std::memory_order_acq_rel) + 1; }

LONG CKorvaneModule::Unlock() noexcept {
  LONG n = g_serverLocks.load(std::memory_order_acquire);
  while (n > 0 && !g_serverLocks.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
  }
  return n > 0 ? n - 1 : 0;
}

LONG CKorvaneModule::LockCount() noexcept {
  return g_objects.load(std::memory_order_acquire) + g_serverLocks.load(std::memory_order_acquire);
}

void ModuleLock() noexcept { g_objects.fetch_add(1, std::memory_order_acq_rel); }
void ModuleUnlock() noexcept { g_objects.fetch_sub(1, std::memory_order_acq_rel); }

#if !defined(_WIN32)
// Without a registry, the library's own class table is where CoCreateInstance and
// CLSIDFromProgID look: the classes are published there as the library loads.
void CKorvaneModule::PublishClasses() noexcept {
  for (std::size_t i = 0; i < std::size(kObjectMap); ++i) {
    const CObjectMapEntry& e = kObjectMap[i];
    IUnknown* factory = nullptr;
    if (FAILED(GetClassObject(*e.clsid, IID_IUnknown, reinterpret_cast<void**>(&factory)))) continue;
    if (FAILED(CoRegisterClassObject(*e.clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookies_[i])))
      cookies_[i] = 0;
    factory->Release();
    // The versioned ProgID first: it is the one ProgIDFromCLSID answers, as on Windows.
    KorvaneRegisterProgID(e.versionedProgId, *e.clsid);
    KorvaneRegisterProgID(e.progId, *e.clsid);
  }
}

void CKorvaneModule::WithdrawClasses() noexcept {
  for (std::size_t i = 0; i < std::size(kObjectMap); ++i) {
    if (cookies_[i]) CoRevokeClassObject(cookies_[i]);
    cookies_[i] = 0;
    KorvaneUnregisterProgID(kObjectMap[i].progId);
    KorvaneUnregisterProgID(kObjectMap[i].versionedProgId);
  }
}
#endif

}  // namespace korvane

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return korvane::Module().GetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow(void) { return korvane::Module().CanUnloadNow(); }
