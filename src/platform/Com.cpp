// Object creation, the class table, ProgIDs and the Global Interface Table.
// The class table holds what CoRegisterClassObject is given; on Windows the same lookups go
// through the registry and the apartment's registered class objects.
#include "platform/ComObject.h"
#include "platform/Guard.h"

#include <korvane/ComHelpers.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace {

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

struct Apartment {
  int count = 0;
  DWORD mode = 0;
};
thread_local Apartment t_apartment;

struct ClassEntry {
  DWORD cookie;
  IUnknown* factory;
};

class ClassTable {
 public:
  static ClassTable& Get() {
    static ClassTable* table = new ClassTable();  // lives to process exit: used from static teardown
    return *table;
  }
  HRESULT Register(REFCLSID clsid, IUnknown* unk, DWORD* cookie) {
    std::lock_guard lock(mutex_);
    unk->AddRef();
    DWORD c = next_++;
    classes_[clsid].push_back({c, unk});
    *cookie = c;
    return S_OK;
  }
  HRESULT Revoke(DWORD cookie) {
    IUnknown* released = nullptr;
    {
      std::lock_guard lock(mutex_);
      for (auto it = classes_.begin(); it != classes_.end() && !released; ++it) {
        auto& v = it->second;
        for (auto e = v.begin(); e != v.end(); ++e) {
          if (e->cookie == cookie) {
            released = e->factory;
            v.erase(e);
            break;
          }
        }
        if (released) {
          if (v.empty()) classes_.erase(it);
          break;
        }
      }
    }
    if (!released) return _HRESULT_TYPEDEF_(0x800401FBL);  // CO_E_OBJNOTREG
    released->Release();
    return S_OK;
  }
  // The most recent registration wins, as with registered class objects on Windows.
  korvane::ComPtr<IUnknown> Find(REFCLSID clsid) {
    std::lock_guard lock(mutex_);
    auto it = classes_.find(clsid);
    if (it == classes_.end() || it->second.empty()) return {};
    return korvane::ComPtr<IUnknown>(it->second.back().factory);
  }

  HRESULT AddProgId(const korvane::OleString& progId, REFCLSID clsid) {
    std::lock_guard lock(mutex_);
    progIds_[Fold(progId)] = clsid;
    reverse_.emplace(clsid, progId);  // the first (versioned) ProgID registered is the class's own
    return S_OK;
  }
  HRESULT RemoveProgId(const korvane::OleString& progId) {
    std::lock_guard lock(mutex_);
    auto it = progIds_.find(Fold(progId));
    if (it == progIds_.end()) return S_FALSE;
    auto r = reverse_.find(it->second);
    if (r != reverse_.end() && Fold(r->second) == Fold(progId)) reverse_.erase(r);
    progIds_.erase(it);
    return S_OK;
  }
  bool FindProgId(const korvane::OleString& progId, CLSID* out) {
    std::lock_guard lock(mutex_);
    auto it = progIds_.find(Fold(progId));
    if (it == progIds_.end()) return false;
    *out = it->second;
    return true;
  }
  bool FindByClsid(REFCLSID clsid, korvane::OleString* out) {
    std::lock_guard lock(mutex_);
    auto it = reverse_.find(clsid);
    if (it == reverse_.end()) return false;
    *out = it->second;
    return true;
  }

 private:
  // ProgIDs are registry key names: compared without regard to ASCII case.
  static korvane::OleString Fold(korvane::OleString s) {
    for (auto& c : s)
      if (c >= u'A' && c <= u'Z') c = static_cast<OLECHAR>(c - u'A' + u'a');
    return s;
  }
  std::mutex mutex_;
  DWORD next_ = 1;
  std::map<GUID, std::vector<ClassEntry>, GuidLess> classes_;
  std::map<korvane::OleString, GUID> progIds_;
  std::map<GUID, korvane::OleString, GuidLess> reverse_;
};

// Every apartment here is the same (free-threaded objects, one process), so the table hands
// out the registered pointer itself, queried for the asked interface. One for the process,
// never destroyed: its count is ignored.
class GlobalInterfaceTable final : public korvane::StaticComObject<GlobalInterfaceTable, IGlobalInterfaceTable> {
 public:
  static GlobalInterfaceTable& Get() {
    static GlobalInterfaceTable* git = new GlobalInterfaceTable();
    return *git;
  }

  STDMETHODIMP RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) override {
    if (!pUnk || !pdwCookie) return E_INVALIDARG;
    IUnknown* held = nullptr;
    HRESULT hr = pUnk->QueryInterface(riid, reinterpret_cast<void**>(&held));
    if (FAILED(hr)) return hr;
    return korvane::Guarded(
        [&] {
          std::lock_guard lock(mutex_);
          DWORD c = next_++;
          entries_.emplace(c, Entry{held, riid});
          *pdwCookie = c;
          return S_OK;
        },
        [held](const korvane::CaughtException& e) {
          held->Release();
          return e.hr();
        });
  }
  STDMETHODIMP RevokeInterfaceFromGlobal(DWORD dwCookie) override {
    IUnknown* held = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(dwCookie);
      if (it == entries_.end()) return E_INVALIDARG;
      held = it->second.unk;
      entries_.erase(it);
    }
    held->Release();  // outside the lock: the object may revoke other cookies as it dies
    return S_OK;
  }
  STDMETHODIMP GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    // The table's own reference keeps the object alive while it is asked, so no reference of
    // ours is taken and dropped around the QueryInterface (it is on every IVI-C call's path).
    std::lock_guard lock(mutex_);
    auto it = entries_.find(dwCookie);
    if (it == entries_.end()) return E_INVALIDARG;
    return it->second.unk->QueryInterface(riid, ppv);
  }

 private:
  struct Entry {
    IUnknown* unk;
    IID iid;
  };
  std::mutex mutex_;
  DWORD next_ = 0x100;
  std::map<DWORD, Entry> entries_;
};

int HexValue(OLECHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ParseGuid(LPCOLESTR s, GUID* g) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  static const int kGroups[] = {8, 4, 4, 4, 12};
  if (!s || s[0] != u'{') return false;
  uint8_t bytes[16];
  int nb = 0;
  const OLECHAR* p = s + 1;
  for (int gi = 0; gi < 5; ++gi) {
    for (int i = 0; i < kGroups[gi]; i += 2) {
      int hi = HexValue(p[0]);
      int lo = hi < 0 ? -1 : HexValue(p[1]);
      if (hi < 0 || lo < 0) return false;
      bytes[nb++] = static_cast<uint8_t>(hi * 16 + lo);
      p += 2;
    }
    if (*p++ != (gi == 4 ? u'}' : u'-')) return false;
  }
  if (*p != 0) return false;
  g->Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
  g->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(g->Data4, bytes + 8, 8);
  return true;
}

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit) {
  const DWORD mode = dwCoInit & COINIT_APARTMENTTHREADED;
  Apartment& a = t_apartment;
  if (a.count > 0 && a.mode != mode) return RPC_E_CHANGED_MODE;
  a.mode = mode;
  return a.count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (t_apartment.count > 0) --t_apartment.count;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD, LPVOID, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  korvane::ComPtr<IUnknown> factory = ClassTable::Get().Find(rclsid);
  if (!factory) return REGDB_E_CLASSNOTREG;
  return factory->QueryInterface(riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid == CLSID_StdGlobalInterfaceTable) {
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return GlobalInterfaceTable::Get().QueryInterface(riid, ppv);
  }
  korvane::ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.ReceiveVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(pUnkOuter, riid, ppv);
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD, DWORD, LPDWORD lpdwRegister) {
  if (!pUnk || !lpdwRegister) return E_INVALIDARG;
  return korvane::Guarded([&] { return ClassTable::Get().Register(rclsid, pUnk, lpdwRegister); });
}

HRESULT CoRevokeClassObject(DWORD dwRegister) { return ClassTable::Get().Revoke(dwRegister); }

HRESULT KorvaneRegisterProgID(LPCOLESTR progId, REFCLSID clsid) {
  if (!progId || !*progId) return E_INVALIDARG;
  return korvane::Guarded([&] { return ClassTable::Get().AddProgId(progId, clsid); });
}

HRESULT KorvaneUnregisterProgID(LPCOLESTR progId) {
  if (!progId) return E_INVALIDARG;
  return korvane::Guarded([&] { return ClassTable::Get().RemoveProgId(progId); });
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  return korvane::Guarded([&] {
    if (ClassTable::Get().FindProgId(lpszProgID, lpclsid)) return S_OK;
    *lpclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
  });
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (!lplpszProgID) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  return korvane::Guarded([&]() -> HRESULT {
    korvane::OleString progId;
    if (!ClassTable::Get().FindByClsid(clsid, &progId)) return REGDB_E_CLASSNOTREG;
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((progId.size() + 1) * sizeof(OLECHAR)));
    if (!out) return E_OUTOFMEMORY;
    std::memcpy(out, progId.c_str(), (progId.size() + 1) * sizeof(OLECHAR));
    *lplpszProgID = out;
    return S_OK;
  });
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz) {
    *pclsid = CLSID_NULL;
    return S_OK;
  }
  if (ParseGuid(lpsz, pclsid)) return S_OK;
  // Windows also takes a ProgID here.
  return CLSIDFromProgID(lpsz, pclsid);
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
  if (!lpiid) return E_INVALIDARG;
  if (!lpsz) {
    *lpiid = IID_NULL;
    return S_OK;
  }
  return ParseGuid(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}

int StringFromGUID2(REFGUID g, LPOLESTR lpsz, int cchMax) {
  static const char kHex[] = "0123456789ABCDEF";
  if (!lpsz || cchMax < 39) return 0;
  uint8_t b[16] = {uint8_t(g.Data1 >> 24), uint8_t(g.Data1 >> 16), uint8_t(g.Data1 >> 8), uint8_t(g.Data1),
                   uint8_t(g.Data2 >> 8),  uint8_t(g.Data2),       uint8_t(g.Data3 >> 8), uint8_t(g.Data3)};
  std::memcpy(b + 8, g.Data4, 8);
  OLECHAR* p = lpsz;
  *p++ = u'{';
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = u'-';
    *p++ = static_cast<OLECHAR>(kHex[b[i] >> 4]);
    *p++ = static_cast<OLECHAR>(kHex[b[i] & 15]);
  }
  *p++ = u'}';
  *p = 0;
  return 39;
}

LPVOID CoTaskMemAlloc(size_t cb) { return std::malloc(cb ? cb : 1); }
void CoTaskMemFree(LPVOID pv) { std::free(pv); }
