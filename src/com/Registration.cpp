// Registration of the server (Windows): the registry scripts of the module's resources and
// the type library, and the exported entry points regsvr32 and installers call.
#include "platform/Guard.h"
#include "com/Module.h"
#include "com/Registrar.h"

#include <korvane/KorvaneCom.h>

#include <cwchar>
#include <iterator>
#include <memory>
#include <string>

namespace korvane {
namespace {

constexpr wchar_t kAppId[] = L"{a98d7d4b-2eb8-4278-a64b-ef4bddf5d0af}";

HMODULE ThisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

HRESULT ModulePath(HMODULE module, std::wstring& path) {
  path.resize(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (n < path.size()) {
      path.resize(n);
      return S_OK;
    }
    path.resize(path.size() * 2);
  }
}

struct TypeLibReleaser {
  void operator()(ITypeLib* p) const noexcept { p->Release(); }
};

HRESULT LoadOwnTypeLib(const std::wstring& path, std::unique_ptr<ITypeLib, TypeLibReleaser>& lib) {
  ITypeLib* raw = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &raw);  // resource TYPELIB 1 of the file
  if (FAILED(hr)) return hr;
  lib.reset(raw);
  return S_OK;
}

// Per user, HKCR stands for the user's classes while the type library is (un)registered, so
// its TypeLib and Interface keys land beside the user's class keys.
class CUserClassesOverride {
 public:
  explicit CUserClassesOverride(bool perUser) {
    if (!perUser) return;
    LSTATUS s = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    if (s == ERROR_SUCCESS) s = RegOverridePredefKey(HKEY_CLASSES_ROOT, key_);
    status_ = s == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(s));
  }
  ~CUserClassesOverride() {
    if (key_) {
      RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
      RegCloseKey(key_);
    }
  }
  CUserClassesOverride(const CUserClassesOverride&) = delete;
  CUserClassesOverride& operator=(const CUserClassesOverride&) = delete;
  HRESULT Status() const noexcept { return status_; }

 private:
  HKEY key_ = nullptr;
  HRESULT status_ = S_OK;
};

// The IVI type libraries the driver's library imports, resources TYPELIB 2 and 3 of the DLL.
constexpr int kIviTypeLibs[] = {2, 3};

std::wstring GuidText(const GUID& g) {
  wchar_t text[40];
  StringFromGUID2(g, text, 40);
  return text;
}

std::wstring VersionKey(const TLIBATTR& a) {
  wchar_t text[80];
  swprintf(text, 80, L"TypeLib\\%ls\\%x.%x", GuidText(a.guid).c_str(), a.wMajorVerNum, a.wMinorVerNum);
  return text;
}

bool KeyExists(const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The default value of an HKEY_CLASSES_ROOT key; empty when the key or the value is missing.
std::wstring DefaultValue(const std::wstring& subkey) {
  wchar_t value[1024];
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return {};
  return value;
}

// Where the library is registered for its platform, or empty.
std::wstring RegisteredPath(const TLIBATTR& a) {
  wchar_t sub[32];
  swprintf(sub, 32, L"\\%lx\\%ls", static_cast<unsigned long>(a.lcid), a.syskind == SYS_WIN64 ? L"win64" : L"win32");
  return DefaultValue(VersionKey(a) + sub);
}

// Another installation (the IVI shared components, another driver) registered the library for
// this platform, or one of its interfaces: its keys are left as they are. A registration for the
// other platform only (the 64-bit DLL's, seen from the 32-bit one) leaves this platform's entry
// to be added beside it, or 32-bit clients would find no library.
bool RegisteredByOther(ITypeLib* lib, const TLIBATTR& a, const std::wstring& ours) {
  const std::wstring registered = RegisteredPath(a);
  if (!registered.empty() && _wcsicmp(registered.c_str(), ours.c_str()) != 0) return true;
  const std::wstring libid = GuidText(a.guid);
  for (UINT k = 0, n = lib->GetTypeInfoCount(); k < n; ++k) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(k, &info))) continue;
    TYPEATTR* ta = nullptr;
    bool other = false;
    if (SUCCEEDED(info->GetTypeAttr(&ta))) {
      const std::wstring key = L"Interface\\" + GuidText(ta->guid);
      other = ta->typekind == TKIND_INTERFACE && KeyExists(key) &&
              _wcsicmp(DefaultValue(key + L"\\TypeLib").c_str(), libid.c_str()) != 0;
      info->ReleaseTypeAttr(ta);
    }
    info->Release();
    if (other) return true;
  }
  return false;
}

HRESULT LibAttr(ITypeLib* lib, TLIBATTR& out) {
  TLIBATTR* attr = nullptr;
  if (HRESULT hr = lib->GetLibAttr(&attr); FAILED(hr)) return hr;
  out = *attr;
  lib->ReleaseTLibAttr(attr);
  return S_OK;
}

std::wstring Directory(const std::wstring& path) {
  std::wstring dir = path.substr(0, path.find_last_of(L"\\/") + 1);
  return dir.empty() ? L"." : dir;
}

HRESULT RegisterOne(const std::wstring& path, bool perUser, bool onlyUnclaimed) {
  std::unique_ptr<ITypeLib, TypeLibReleaser> lib;
  if (HRESULT hr = LoadOwnTypeLib(path, lib); FAILED(hr)) return hr;
  if (onlyUnclaimed) {
    TLIBATTR a;
    if (HRESULT hr = LibAttr(lib.get(), a); FAILED(hr)) return hr;
    if (RegisteredByOther(lib.get(), a, path)) return S_OK;
  }
  std::wstring dir = Directory(path);
  CUserClassesOverride classes(perUser);
  if (FAILED(classes.Status())) return classes.Status();
  return RegisterTypeLib(lib.get(), const_cast<LPOLESTR>(path.c_str()), const_cast<LPOLESTR>(dir.c_str()));
}

HRESULT UnregisterOne(const std::wstring& path, bool perUser, bool onlyOwn) {
  std::unique_ptr<ITypeLib, TypeLibReleaser> lib;
  if (HRESULT hr = LoadOwnTypeLib(path, lib); FAILED(hr)) return hr;
  TLIBATTR a;
  if (HRESULT hr = LibAttr(lib.get(), a); FAILED(hr)) return hr;
  CUserClassesOverride classes(perUser);
  if (FAILED(classes.Status())) return classes.Status();
  // Already gone is what unregistration wants; systems differ in the error they give for it.
  if (!KeyExists(VersionKey(a))) return S_OK;
  if (onlyOwn && (_wcsicmp(RegisteredPath(a).c_str(), path.c_str()) != 0 || RegisteredByOther(lib.get(), a, path)))
    return S_OK;
  return UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
}

std::wstring ResourcePath(const std::wstring& path, int index) { return path + L"\\" + std::to_wstring(index); }

// The IVI libraries first (where nobody else registered them), then the driver's own, which
// refers to them.
HRESULT RegisterTypeLibrary(const std::wstring& path, bool perUser) {
  for (int index : kIviTypeLibs)
    if (HRESULT hr = RegisterOne(ResourcePath(path, index), perUser, true); FAILED(hr)) return hr;
  return RegisterOne(path, perUser, false);
}

// The driver's library, then the IVI libraries where this module's registration is still the
// one in place.
HRESULT UnregisterTypeLibrary(const std::wstring& path, bool perUser) {
  HRESULT first = UnregisterOne(path, perUser, false);
  for (auto it = std::rbegin(kIviTypeLibs); it != std::rend(kIviTypeLibs); ++it) {
    HRESULT hr = UnregisterOne(ResourcePath(path, *it), perUser, true);
    if (SUCCEEDED(first)) first = hr;
  }
  return first;
}

HRESULT ApplyScripts(CRegistrar& registrar, HMODULE module, bool registering) {
  HRESULT first = registrar.ApplyResource(module, CKorvaneModule::kAppIdScript, registering);
  if (FAILED(first) && registering) return first;
  for (const CObjectMapEntry& e : CKorvaneModule::ObjectMap()) {
    HRESULT hr = registrar.ApplyResource(module, e.registryScript, registering);
    if (FAILED(hr)) {
      if (registering) return hr;
      if (SUCCEEDED(first)) first = hr;
    }
  }
  return SUCCEEDED(first) ? S_OK : first;
}

HRESULT Prepare(CRegistrar& registrar, bool perUser, HMODULE& module, std::wstring& path) {
  module = ThisModule();
  if (!module) return HRESULT_FROM_WIN32(GetLastError());
  if (HRESULT hr = ModulePath(module, path); FAILED(hr)) return hr;
  registrar.AddReplacement(L"MODULE", path);
  registrar.AddReplacement(L"APPID", kAppId);
  registrar.SetPerUser(perUser);
  return S_OK;
}

}  // namespace

// Script 101 first, then the classes in map order, then the type library; the first failure
// ends the registration.
HRESULT CKorvaneModule::RegisterServer() noexcept {
  return Guarded([&]() -> HRESULT {
    CRegistrar registrar;
    HMODULE module = nullptr;
    std::wstring path;
    if (HRESULT hr = Prepare(registrar, perUser_, module, path); FAILED(hr)) return hr;
    if (HRESULT hr = ApplyScripts(registrar, module, true); FAILED(hr)) return hr;
    return RegisterTypeLibrary(path, perUser_);
  });
}

// Removes as much as it can and reports the first failure.
HRESULT CKorvaneModule::UnregisterServer() noexcept {
  return Guarded([&]() -> HRESULT {
    CRegistrar registrar;
    HMODULE module = nullptr;
    std::wstring path;
    if (HRESULT hr = Prepare(registrar, perUser_, module, path); FAILED(hr)) return hr;
    HRESULT first = ApplyScripts(registrar, module, false);
    HRESULT hr = UnregisterTypeLibrary(path, perUser_);
    return FAILED(first) ? first : hr;
  });
}

}  // namespace korvane

STDAPI DllRegisterServer(void) { return korvane::Module().RegisterServer(); }

STDAPI DllUnregisterServer(void) { return korvane::Module().UnregisterServer(); }

// "user" (any case) registers for the current user only. The flag holds for this call; a
// later DllRegisterServer registers for the machine again.
STDAPI DllInstall(BOOL install, LPCWSTR cmdLine) {
  korvane::CKorvaneModule& module = korvane::Module();
  const bool wasPerUser = module.PerUser();
  if (cmdLine && _wcsnicmp(cmdLine, L"user", 5) == 0) module.SetPerUser(true);
  HRESULT hr;
  if (install) {
    hr = module.RegisterServer();
    if (FAILED(hr)) module.UnregisterServer();
  } else {
    hr = module.UnregisterServer();
  }
  module.SetPerUser(wasPerUser);
  return hr;
}
