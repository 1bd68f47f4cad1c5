// The type library built from the catalogue: it loads without registration, holds the
// library attributes, and has the coclasses, interfaces and enumerations of the object model
// with the shapes a client sees through it. The IVI interfaces come from the IviDriver and
// IviScope libraries it imports (found beside it: the test runs in their directory).
#include <korvane/KorvaneCom.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// Counts of the object model, typed here independently of the catalogue.
constexpr unsigned kCoclasses = 7;
constexpr unsigned kDriverInterfaces = 192;
constexpr unsigned kDriverEnums = 185;
constexpr unsigned kRootInterfaces = 158;
constexpr unsigned kIKorvaneEntries = 19;

// {3B61DC93-7D34-4A94-863C-15DB4B92F5C8}
constexpr GUID kLibId = {0x3B61DC93, 0x7D34, 0x4A94, {0x86, 0x3C, 0x15, 0xDB, 0x4B, 0x92, 0xF5, 0xC8}};
// The published IID of IIviDriver, {47ED5184-A398-11D4-BA58-000064657374}.
constexpr GUID kIIviDriver = {0x47ED5184, 0xA398, 0x11D4, {0xBA, 0x58, 0x00, 0x00, 0x64, 0x65, 0x73, 0x74}};

template <typename T>
struct Releaser {
  T* p = nullptr;
  ~Releaser() {
    if (p) p->Release();
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
};

std::wstring Name(ITypeInfo* info) {
  BSTR name = nullptr;
  EXPECT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
  std::wstring out = name ? name : L"";
  SysFreeString(name);
  return out;
}

// The name of the library that describes a type.
std::wstring LibraryOf(ITypeInfo* info) {
  Releaser<ITypeLib> lib;
  UINT index = 0;
  if (FAILED(info->GetContainingTypeLib(&lib, &index))) return L"<none>";
  BSTR name = nullptr;
  EXPECT_EQ(S_OK, lib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr));
  std::wstring out = name ? name : L"";
  SysFreeString(name);
  return out;
}

class TypeLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = KORVANE_TYPELIB_PATH;
    const std::wstring wide(path.begin(), path.end());
    ASSERT_EQ(S_OK, LoadTypeLibEx(wide.c_str(), REGKIND_NONE, &lib_)) << path;
    ASSERT_NE(nullptr, lib_);
  }
  void TearDown() override {
    if (lib_) lib_->Release();
  }
  ITypeLib* lib_ = nullptr;
};

TEST_F(TypeLibTest, HoldsEveryTypeOnceByKind) {
  const UINT count = lib_->GetTypeInfoCount();
  unsigned coclasses = 0, interfaces = 0, enums = 0, other = 0;
  for (UINT i = 0; i < count; ++i) {
    TYPEKIND kind;
    ASSERT_EQ(S_OK, lib_->GetTypeInfoType(i, &kind));
    switch (kind) {
      case TKIND_COCLASS: ++coclasses; break;
      case TKIND_INTERFACE: ++interfaces; break;
      case TKIND_ENUM: ++enums; break;
      default: ++other; break;
    }
  }
  EXPECT_EQ(kCoclasses, coclasses);
  EXPECT_EQ(kDriverInterfaces, interfaces);
  EXPECT_EQ(kDriverEnums, enums);
  EXPECT_EQ(0u, other);  // no aliases, dispatch interfaces or records beside them
  EXPECT_EQ(coclasses + interfaces + enums, count);
}

TEST_F(TypeLibTest, LibraryAttributes) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(kLibId, attr->guid));
  EXPECT_EQ(2, attr->wMajorVerNum);
  EXPECT_EQ(3, attr->wMinorVerNum);
  EXPECT_EQ(1033u, attr->lcid);
  EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attr->syskind);
  lib_->ReleaseTLibAttr(attr);

  BSTR name = nullptr, help = nullptr;
  ASSERT_EQ(S_OK, lib_->GetDocumentation(-1, &name, &help, nullptr, nullptr));
  EXPECT_STREQ(L"KorvaneLib", name);
  EXPECT_STREQ(L"IVI Korvane 2.3 Type Library", help);
  SysFreeString(name);
  SysFreeString(help);
}

TEST_F(TypeLibTest, RootInterfaceExtendsIviDriverWithItsEntries) {
  Releaser<ITypeInfo> info;
  ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(IID_IKorvane, &info));
  EXPECT_EQ(L"IKorvane", Name(info.p));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
  EXPECT_EQ(kIKorvaneEntries, attr->cFuncs);
  EXPECT_EQ(1, attr->cImplTypes);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
  info->ReleaseTypeAttr(attr);

  HREFTYPE ref = 0;
  ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
  Releaser<ITypeInfo> base;
  ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &base));
  EXPECT_EQ(L"IIviDriver", Name(base.p));
  EXPECT_EQ(L"IviDriverLib", LibraryOf(base.p));
  TYPEATTR* battr = nullptr;
  ASSERT_EQ(S_OK, base->GetTypeAttr(&battr));
  EXPECT_TRUE(IsEqualGUID(kIIviDriver, battr->guid));
  base->ReleaseTypeAttr(battr);

  // The first entry is the Channels getter, its value an [out, retval] interface pointer.
  FUNCDESC* f = nullptr;
  ASSERT_EQ(S_OK, info->GetFuncDesc(0, &f));
  EXPECT_EQ(INVOKE_PROPERTYGET, f->invkind);
  ASSERT_EQ(1, f->cParams);
  EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL,
            f->lprgelemdescParam[0].paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL));
  EXPECT_EQ(VT_PTR, f->lprgelemdescParam[0].tdesc.vt);
  BSTR fname = nullptr;
  UINT got = 0;
  ASSERT_EQ(S_OK, info->GetNames(f->memid, &fname, 1, &got));
  EXPECT_STREQ(L"Channels", fname);
  SysFreeString(fname);
  info->ReleaseFuncDesc(f);
}

TEST_F(TypeLibTest, RootCoclassListsItsInterfacesWithTheDefault) {
  Releaser<ITypeInfo> info;
  ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(CLSID_Korvane, &info));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_COCLASS, attr->typekind);
  const unsigned impl = attr->cImplTypes;
  info->ReleaseTypeAttr(attr);
  EXPECT_EQ(kRootInterfaces, impl);

  // Every entry resolves; the IVI ones to the imported libraries.
  std::wstring defaults;
  unsigned fromIviDriver = 0, fromIviScope = 0;
  for (unsigned i = 0; i < impl; ++i) {
    INT flags = 0;
    ASSERT_EQ(S_OK, info->GetImplTypeFlags(i, &flags));
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(i, &ref));
    Releaser<ITypeInfo> iface;
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &iface)) << i;
    const std::wstring lib = LibraryOf(iface.p);
    fromIviDriver += lib == L"IviDriverLib";
    fromIviScope += lib == L"IviScopeLib";
    if (flags & IMPLTYPEFLAG_FDEFAULT) defaults += Name(iface.p);
  }
  EXPECT_EQ(L"IKorvane8", defaults);
  EXPECT_EQ(5u, fromIviDriver);
  EXPECT_EQ(12u, fromIviScope);
}

// The two IVI libraries built for machines without the shared components: their interfaces
// and enumerations, with IviScope referring to IviDriver for IIviScope's base.
TEST_F(TypeLibTest, IviLibrariesHoldTheClassInterfaces) {
  struct Lib {
    const wchar_t* file;
    const wchar_t* name;
    unsigned interfaces, enums;
  };
  for (const Lib& l : {Lib{L"IviDriver.tlb", L"IviDriverLib", 5, 0}, Lib{L"IviScope.tlb", L"IviScopeLib", 14, 19}}) {
    Releaser<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLibEx(l.file, REGKIND_NONE, &lib));
    unsigned interfaces = 0, enums = 0;
    for (UINT i = 0, n = lib->GetTypeInfoCount(); i < n; ++i) {
      TYPEKIND kind;
      ASSERT_EQ(S_OK, lib->GetTypeInfoType(i, &kind));
      interfaces += kind == TKIND_INTERFACE;
      enums += kind == TKIND_ENUM;
    }
    EXPECT_EQ(l.interfaces, interfaces);
    EXPECT_EQ(l.enums, enums);
    EXPECT_EQ(l.interfaces + l.enums, lib->GetTypeInfoCount());
  }
  Releaser<ITypeLib> ivi;
  ASSERT_EQ(S_OK, LoadTypeLibEx(L"IviScope.tlb", REGKIND_NONE, &ivi));
  Releaser<ITypeInfo> iviScope;
  ASSERT_EQ(S_OK, ivi->GetTypeInfoOfGuid(IID_IIviScope, &iviScope));
  HREFTYPE ref = 0;
  ASSERT_EQ(S_OK, iviScope->GetRefTypeOfImplType(0, &ref));
  Releaser<ITypeInfo> base;
  ASSERT_EQ(S_OK, iviScope->GetRefTypeInfo(ref, &base));
  EXPECT_EQ(L"IIviDriver", Name(base.p));
  EXPECT_EQ(L"IviDriverLib", LibraryOf(base.p));
  // The driver's library no longer describes the IVI interfaces itself.
  Releaser<ITypeInfo> own;
  EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, lib_->GetTypeInfoOfGuid(IID_IIviDriver, &own));
}

}  // namespace
