// The DLL's COM module: the object map of the creatable classes, their class factories and
// the lock count that says whether the server may be unloaded.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <atomic>
#include <mutex>
#include <span>

namespace korvane {

// One creatable class. The registry script is the REGISTRY resource that registers it.
struct CObjectMapEntry {
  const CLSID* clsid;
  LPCOLESTR progId;           // version-independent: Korvane.<Class>
  LPCOLESTR versionedProgId;  // Korvane.<Class>.1
  unsigned registryScript;
  HRESULT (*createInstance)(REFIID iid, void** ppv) noexcept;
};

class CKorvaneModule {
 public:
  // The application-identifier script, registered ahead of the classes.
  static constexpr unsigned kAppIdScript = 101;

  CKorvaneModule() noexcept;
  ~CKorvaneModule();
  CKorvaneModule(const CKorvaneModule&) = delete;
  CKorvaneModule& operator=(const CKorvaneModule&) = delete;

  static std::span<const CObjectMapEntry> ObjectMap() noexcept;

  // DllGetClassObject: the cached class factory of clsid, queried for iid.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) noexcept;
  // DllCanUnloadNow: S_OK when no object and no server lock is alive.
  HRESULT CanUnloadNow() const noexcept { return LockCount() == 0 ? S_OK : S_FALSE; }

  // The server locks of IClassFactory::LockServer; the count adds the live objects to them.
  // An unlock without its lock is ignored: it cannot release the objects' hold.
  static LONG Lock() noexcept;
  static LONG Unlock() noexcept;
  static LONG LockCount() noexcept;

#if defined(_WIN32)
  // The registration entry points; the per-user flag sends the keys to the current user's
  // classes instead of the machine's.
  HRESULT RegisterServer() noexcept;
  HRESULT UnregisterServer() noexcept;
  void SetPerUser(bool perUser) noexcept { perUser_ = perUser; }
  bool PerUser() const noexcept { return perUser_; }
#endif

 private:
#if !defined(_WIN32)
  void PublishClasses() noexcept;
  void WithdrawClasses() noexcept;
  DWORD cookies_[8] = {};
#else
  bool perUser_ = false;
#endif
  std::atomic<bool> initialized_{false};
  std::mutex mutex_;  // creation of the class factories
  IUnknown* factories_[8] = {};
};

// The module of this library.
CKorvaneModule& Module() noexcept;

}  // namespace korvane
