// Korvane.dll as a registered COM server under the real system COM: registration writes the
// ProgID, CLSID, AppID and type library keys and unregistration removes exactly those; a
// client creates the root by ProgID through ole32; per-user installation goes to the current
// user's classes; the DLL carries its message table. The program links nothing of the driver.
#include <korvane/KorvaneCom.h>

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr wchar_t kAppId[] = L"{a98d7d4b-2eb8-4278-a64b-ef4bddf5d0af}";
constexpr wchar_t kLibId[] = L"{3b61dc93-7d34-4a94-863c-15db4b92f5c8}";
// The IVI libraries the DLL carries for machines without the IVI shared components.
constexpr wchar_t kIviDriverLib[] = L"TypeLib\\{47ED5120-A398-11D4-BA58-000064657374}\\1.0";
constexpr wchar_t kIviScopeLib[] = L"TypeLib\\{47ED5121-A398-11D4-BA58-000064657374}\\1.0";
constexpr wchar_t kIIviDriver[] = L"Interface\\{47ED5184-A398-11D4-BA58-000064657374}";
constexpr wchar_t kIIviScopeChannel[] = L"Interface\\{47ED524F-A398-11D4-BA58-000064657374}";

struct Class {
  const wchar_t* progId;  // class part
  const wchar_t* name;
  const wchar_t* clsid;
};
const Class kClasses[] = {
    {L"Korvane", L"Korvane", L"{4CB3831C-3A71-460D-B45F-865E6B8C5D16}"},
    {L"Channel", L"KorvaneChannel", L"{6EC5741D-1E16-402D-9901-CB8A89A0BD05}"},
    {L"Measurement", L"KorvaneMeasurement", L"{688674D8-0384-4482-935B-0352DB6EE8FE}"},
    {L"DigitalChannel", L"KorvaneDigitalChannel", L"{2EB86AA9-D3B4-4DB7-9B7E-E257D1A70E32}"},
    {L"SerialBus", L"KorvaneSerialBus", L"{EC7EB03C-CCC9-4F65-9074-1E6BD0770BEE}"},
    {L"MathFunction", L"KorvaneMathFunction", L"{619223E3-8CE4-494A-B146-92E9CB01A8DB}"},
    {L"WaveGen", L"KorvaneWaveGen", L"{EB414AC4-715F-4D62-B75C-796642F9AD26}"},
};

std::wstring DllPath() {
  std::string unix = KORVANE_DLL_PATH;
  std::wstring path = L"Z:";
  for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

bool KeyExists(HKEY root, const std::wstring& sub) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

// The string value `name` (nullptr: the default value) of a key, or "<missing>".
std::wstring Value(HKEY root, const std::wstring& sub, const wchar_t* name = nullptr) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return L"<missing>";
  wchar_t buf[1024];
  DWORD size = sizeof buf, type = 0;
  LSTATUS s = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(k);
  if (s != ERROR_SUCCESS || type != REG_SZ) return L"<missing>";
  return std::wstring(buf, size / sizeof(wchar_t)).c_str();
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    dll_ = LoadLibraryW(DllPath().c_str());
    ASSERT_NE(nullptr, dll_) << Narrow(DllPath());
    wchar_t buf[MAX_PATH];
    GetModuleFileNameW(dll_, buf, MAX_PATH);
    path_ = buf;
    reg_ = Entry<HRESULT(STDAPICALLTYPE*)()>("DllRegisterServer");
    unreg_ = Entry<HRESULT(STDAPICALLTYPE*)()>("DllUnregisterServer");
    install_ = Entry<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>("DllInstall");
    ASSERT_TRUE(reg_ && unreg_ && install_);
  }
  void TearDown() override {
    if (unreg_) unreg_();
    if (install_) install_(FALSE, L"user");
    if (dll_) FreeLibrary(dll_);
  }
  template <typename F>
  F Entry(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll_, name)));
  }

  // Every key of every class under `classes` (HKCR or the user's classes), with its values.
  void ExpectRegistered(HKEY classes) {
    for (const Class& c : kClasses) {
      SCOPED_TRACE(Narrow(c.name));
      const std::wstring progId = std::wstring(L"Korvane.") + c.progId, versioned = progId + L".1";
      const std::wstring desc = std::wstring(c.name) + L" Class", key = std::wstring(L"CLSID\\") + c.clsid;
      EXPECT_EQ(desc, Value(classes, versioned));
      EXPECT_EQ(c.clsid, Value(classes, versioned + L"\\CLSID"));
      EXPECT_EQ(desc, Value(classes, progId));
      EXPECT_EQ(c.clsid, Value(classes, progId + L"\\CLSID"));
      EXPECT_EQ(versioned, Value(classes, progId + L"\\CurVer"));
      EXPECT_EQ(desc, Value(classes, key));
      EXPECT_EQ(versioned, Value(classes, key + L"\\ProgID"));
      EXPECT_EQ(progId, Value(classes, key + L"\\VersionIndependentProgID"));
      EXPECT_EQ(0, _wcsicmp(path_.c_str(), Value(classes, key + L"\\InprocServer32").c_str()));
      EXPECT_EQ(L"Both", Value(classes, key + L"\\InprocServer32", L"ThreadingModel"));
      EXPECT_EQ(kAppId, Value(classes, key, L"AppID"));
      EXPECT_EQ(kLibId, Value(classes, key + L"\\TypeLib"));
    }
    EXPECT_EQ(L"KorvaneLib", Value(classes, std::wstring(L"AppID\\") + kAppId));
    EXPECT_EQ(kAppId, Value(classes, L"AppID\\Korvane.dll", L"AppID"));
  }

  void ExpectUnregistered(HKEY classes) {
    for (const Class& c : kClasses) {
      SCOPED_TRACE(Narrow(c.name));
      const std::wstring progId = std::wstring(L"Korvane.") + c.progId;
      EXPECT_FALSE(KeyExists(classes, progId));
      EXPECT_FALSE(KeyExists(classes, progId + L".1"));
      EXPECT_FALSE(KeyExists(classes, std::wstring(L"CLSID\\") + c.clsid));
    }
    EXPECT_FALSE(KeyExists(classes, std::wstring(L"AppID\\") + kAppId));
    EXPECT_FALSE(KeyExists(classes, L"AppID\\Korvane.dll"));
  }

  // regsvr32 in a process of its own; its exit code.
  DWORD Regsvr32(const std::wstring& args) {
    std::wstring cmd = L"regsvr32.exe /s " + args + L" \"" + path_ + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return DWORD(-1);
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = DWORD(-1);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
  }

  HMODULE dll_ = nullptr;
  std::wstring path_;
  HRESULT(STDAPICALLTYPE* reg_)() = nullptr;
  HRESULT(STDAPICALLTYPE* unreg_)() = nullptr;
  HRESULT(STDAPICALLTYPE* install_)(BOOL, LPCWSTR) = nullptr;
};

TEST_F(Registration, RegistersCreatesByProgIdAndUnregisters) {
  ASSERT_EQ(S_OK, reg_());
  ExpectRegistered(HKEY_CLASSES_ROOT);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + kLibId + L"\\2.3"));
  ASSERT_EQ(S_OK, reg_());  // again over its own keys
  ExpectRegistered(HKEY_CLASSES_ROOT);

  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    CLSID clsid = CLSID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Korvane.Korvane", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_Korvane, clsid));
    IKorvane8* root = nullptr;
    ASSERT_EQ(S_OK,
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvane8, reinterpret_cast<void**>(&root)));
    VARIANT_BOOL initialized = VARIANT_TRUE;
    EXPECT_EQ(S_OK, root->get_Initialized(&initialized));
    EXPECT_EQ(VARIANT_FALSE, initialized);
    // The DLL formats its errors from its own message table.
    BSTR resource = SysAllocString(L"TCPIP0::192.0.2.7::INSTR"), options = SysAllocString(L"Simulate=yes");
    EXPECT_TRUE(FAILED(root->Initialize(resource, VARIANT_FALSE, VARIANT_FALSE, options)));
    SysFreeString(resource);
    SysFreeString(options);
    IErrorInfo* error = nullptr;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &error));
    BSTR description = nullptr;
    EXPECT_EQ(S_OK, error->GetDescription(&description));
    EXPECT_EQ(0, std::wstring(description ? description : L"")
                     .rfind(L"Korvane: The 'yes' value in the option string is unknown.", 0))
        << Narrow(description ? description : L"");
    SysFreeString(description);
    error->Release();
    IUnknown* unk = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_KorvaneWaveGen, root, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                      reinterpret_cast<void**>(&unk)));
    root->Release();
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"Korvane.WaveGen.1", &clsid));
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvaneWaveGen2,
                                     reinterpret_cast<void**>(&unk)));
    if (unk) unk->Release();
  }
  CoUninitialize();

  // Someone else's subkey keeps its parent; only our own entries go.
  HKEY foreign = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Korvane.Korvane\\Shell", 0, nullptr, 0, KEY_WRITE,
                                           nullptr, &foreign, nullptr));
  RegCloseKey(foreign);
  ASSERT_EQ(S_OK, unreg_());
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Korvane.Korvane\\Shell"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Korvane.Korvane\\CLSID"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Korvane.Korvane\\CurVer"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Korvane.Korvane"));
  ExpectUnregistered(HKEY_CLASSES_ROOT);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + kLibId + L"\\2.3"));
  EXPECT_EQ(S_OK, unreg_());  // nothing left to remove is not a failure
}

// Where nothing else registered the IVI libraries, the DLL registers its own and removes them
// again; the IVI interfaces' keys name the IVI libraries, not the driver's.
TEST_F(Registration, RegistersTheIviLibrariesWhereAbsent) {
  // Resolving the imports by file name (typelib_tests, in the same prefix) registers the two
  // libraries from the build tree; absent is what this test is about.
  for (const wchar_t* key : {kIviDriverLib, kIviScopeLib}) RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
  ASSERT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kIviDriverLib));
  ASSERT_EQ(S_OK, reg_());
  const std::wstring sys = sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32";
  EXPECT_EQ(0, _wcsicmp((path_ + L"\\2").c_str(), Value(HKEY_CLASSES_ROOT, kIviDriverLib + sys).c_str()));
  EXPECT_EQ(0, _wcsicmp((path_ + L"\\3").c_str(), Value(HKEY_CLASSES_ROOT, kIviScopeLib + sys).c_str()));
  EXPECT_EQ(L"{47ED5120-A398-11D4-BA58-000064657374}",
            Value(HKEY_CLASSES_ROOT, std::wstring(kIIviDriver) + L"\\TypeLib"));
  EXPECT_EQ(L"{47ED5121-A398-11D4-BA58-000064657374}",
            Value(HKEY_CLASSES_ROOT, std::wstring(kIIviScopeChannel) + L"\\TypeLib"));
  ASSERT_EQ(S_OK, unreg_());
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kIviDriverLib));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kIviScopeLib));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kIIviDriver));
}

// Keys another installation wrote for the IVI libraries and interfaces (the shared components,
// registered from elsewhere) are neither overwritten by regsvr32 nor removed by regsvr32 /u.
TEST_F(Registration, LeavesOtherInstallationsIviKeysAlone) {
  struct Planted {
    std::wstring key;
    const wchar_t* value;
  };
  const std::wstring sys = sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32";
  const Planted planted[] = {
      {kIviDriverLib + sys, L"C:\\Shared\\IviDriverTypeLib.dll"},
      {kIviScopeLib + sys, L"C:\\Shared\\IviScopeTypeLib.dll"},
      {std::wstring(kIIviDriver) + L"\\TypeLib", L"{47ED5120-A398-11D4-BA58-000064657374}"},
      {std::wstring(kIIviDriver) + L"\\ProxyStubClsid32", L"{00020424-0000-0000-C000-000000000046}"},
      {std::wstring(kIIviScopeChannel) + L"\\TypeLib", L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"},
  };
  for (const Planted& p : planted) {
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_CLASSES_ROOT, p.key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr));
    RegSetValueExW(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(p.value),
                   static_cast<DWORD>((wcslen(p.value) + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
  }
  auto expectPlanted = [&](const char* when) {
    for (const Planted& p : planted)
      EXPECT_EQ(p.value, Value(HKEY_CLASSES_ROOT, p.key)) << when << ": " << Narrow(p.key);
  };
  ASSERT_EQ(0u, Regsvr32(L""));
  expectPlanted("registered");
  ExpectRegistered(HKEY_CLASSES_ROOT);
  ASSERT_EQ(0u, Regsvr32(L"/u"));
  expectPlanted("unregistered");
  ExpectUnregistered(HKEY_CLASSES_ROOT);
  for (const wchar_t* key : {kIviDriverLib, kIviScopeLib, kIIviDriver, kIIviScopeChannel})
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, key));
}

// The IVI libraries registered for the other platform only (the other bitness's DLL, installed
// first by the same installer): this platform's entry is added beside that one, and removing it
// leaves that one in place.
TEST_F(Registration, AddsItsPlatformBesideTheOtherPlatformsIviLibraries) {
  for (const wchar_t* key : {kIviDriverLib, kIviScopeLib}) RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
  const std::wstring own = sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32";
  const std::wstring other = sizeof(void*) == 8 ? L"\\0\\win32" : L"\\0\\win64";
  const wchar_t* otherPath = L"C:\\Other\\Korvane.dll\\2";
  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (kIviDriverLib + other).c_str(), 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &k, nullptr));
  RegSetValueExW(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(otherPath),
                 static_cast<DWORD>((wcslen(otherPath) + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
  ASSERT_EQ(S_OK, reg_());
  EXPECT_EQ(0, _wcsicmp((path_ + L"\\2").c_str(), Value(HKEY_CLASSES_ROOT, kIviDriverLib + own).c_str()));
  EXPECT_EQ(otherPath, Value(HKEY_CLASSES_ROOT, kIviDriverLib + other));
  ASSERT_EQ(S_OK, unreg_());
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kIviDriverLib + own));
  EXPECT_EQ(otherPath, Value(HKEY_CLASSES_ROOT, kIviDriverLib + other));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, kIviDriverLib));
}

TEST_F(Registration, PerUserInstallWritesTheUsersClasses) {
  const HKEY user = HKEY_CURRENT_USER;
  ASSERT_EQ(S_OK, install_(TRUE, L"USER"));
  HKEY classes = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(user, L"Software\\Classes", 0, KEY_READ, &classes));
  ExpectRegistered(classes);
  const std::wstring typeLib = std::wstring(L"TypeLib\\") + kLibId + L"\\2.3";
  EXPECT_TRUE(KeyExists(classes, typeLib));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\Korvane.Korvane"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + typeLib));
  ASSERT_EQ(S_OK, install_(FALSE, L"user"));
  ExpectUnregistered(classes);
  EXPECT_FALSE(KeyExists(classes, typeLib));
  RegCloseKey(classes);

  // Without the switch it is the machine's registration.
  ASSERT_EQ(S_OK, install_(TRUE, nullptr));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\Korvane.Korvane"));
  EXPECT_FALSE(KeyExists(user, L"Software\\Classes\\Korvane.Korvane"));
  ASSERT_EQ(S_OK, install_(FALSE, L"users"));  // not the switch: the machine's keys go
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\Korvane.Korvane"));
}

// regsvr32 itself, in a process of its own.
TEST_F(Registration, Regsvr32RegistersAndUnregisters) {
  ASSERT_EQ(0u, Regsvr32(L""));
  ExpectRegistered(HKEY_CLASSES_ROOT);
  ASSERT_EQ(0u, Regsvr32(L"/u"));
  ExpectUnregistered(HKEY_CLASSES_ROOT);
}

TEST_F(Registration, CarriesTypeLibraryAndMessageTable) {
  ITypeLib* lib = nullptr;
  ASSERT_EQ(S_OK, LoadTypeLibEx(path_.c_str(), REGKIND_NONE, &lib));
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(LIBID_KorvaneLib, attr->guid));
  lib->ReleaseTLibAttr(attr);
  lib->Release();

  auto format = [&](DWORD id, DWORD_PTR* args) {
    wchar_t buf[512] = {};
    DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | (args ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS);
    DWORD n = FormatMessageW(flags, dll_, id, 0, buf, 512, reinterpret_cast<va_list*>(args));
    return std::wstring(buf, n);
  };
  EXPECT_EQ(L"Korvane: Success.", format(0x01, nullptr));
  EXPECT_EQ(L"Korvane: Cannot open file.", format(0x04, nullptr));
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(L"7"), reinterpret_cast<DWORD_PTR>(L"Put_Range"),
                         reinterpret_cast<DWORD_PTR>(L"Val")};
  EXPECT_EQ(L"Korvane: Invalid value '7' for method 'Put_Range', parameter 'Val'.", format(0x08, inserts));
  EXPECT_EQ(L"", format(0x2e, nullptr));  // a gap in the ids
}

}  // namespace
