// The registrar's script semantics on a scratch key of the current user: values and
// replacements, ForceRemove replacing a tree, NoRemove and foreign subkeys surviving
// unregistration, and a script that does not parse changing nothing.
#include "com/Registrar.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

constexpr wchar_t kScratch[] = L"Software\\KorvaneRegistrarTest";

bool Exists(const std::wstring& sub) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

std::wstring Text(const std::wstring& sub, const wchar_t* name = nullptr) {
  wchar_t buf[256];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return buf;
}

class Registrar : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    r_.AddReplacement(L"MODULE", L"C:\\dir\\x.dll");
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kScratch); }
  CRegistrar r_;
};

const wchar_t kScript[] =
    LR"(HKCU
{
  NoRemove Software
  {
    NoRemove KorvaneRegistrarTest
    {
      Plain = s 'It''s 100%%'
      {
        val Count = d 42
        Inner
      }
      ForceRemove 'With space' = s '%MODULE%'
      {
        val Named = s 'v'
      }
    }
  }
})";

TEST_F(Registrar, WritesAndRemovesByTheMarkers) {
  const std::wstring base = kScratch;
  HKEY stale = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\With space\\Stale").c_str(), 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &stale, nullptr));
  RegCloseKey(stale);

  ASSERT_EQ(S_OK, r_.Apply(kScript, true));
  EXPECT_EQ(L"It's 100%", Text(base + L"\\Plain"));
  DWORD count = 0, size = sizeof count;
  EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, (base + L"\\Plain").c_str(), L"Count", RRF_RT_REG_DWORD,
                                        nullptr, &count, &size));
  EXPECT_EQ(42u, count);
  EXPECT_TRUE(Exists(base + L"\\Plain\\Inner"));
  EXPECT_EQ(L"C:\\dir\\x.dll", Text(base + L"\\With space"));
  EXPECT_EQ(L"v", Text(base + L"\\With space", L"Named"));
  EXPECT_FALSE(Exists(base + L"\\With space\\Stale"));  // ForceRemove replaced the old tree

  // A subkey the script does not know keeps its parent; NoRemove keys stay regardless.
  HKEY foreign = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\Plain\\Foreign").c_str(), 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &foreign, nullptr));
  RegCloseKey(foreign);
  ASSERT_EQ(S_OK, r_.Apply(kScript, false));
  EXPECT_TRUE(Exists(base));
  EXPECT_TRUE(Exists(base + L"\\Plain\\Foreign"));
  EXPECT_FALSE(Exists(base + L"\\Plain\\Inner"));
  EXPECT_FALSE(Exists(base + L"\\With space"));
  EXPECT_EQ(S_OK, r_.Apply(kScript, false));  // what is gone stays gone without an error
}

TEST_F(Registrar, RefusesScriptsThatDoNotParse) {
  const HRESULT bad = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  const std::wstring head = L"HKCU { NoRemove Software { NoRemove KorvaneRegistrarTest { A = s 'x' ";
  for (const std::wstring tail : {L"", L"} }", L"B = s 'open } } }", L"C = q 'x' } } }", L"val = s 'x' } } }",
                                  L"D = s '%UNKNOWN%' } } }", L"E = d 12z } } }"}) {
    EXPECT_EQ(bad, r_.Apply(head + tail, true)) << std::string(tail.begin(), tail.end());
  }
  EXPECT_EQ(bad, r_.Apply(L"HKXX { A }", true));
  EXPECT_FALSE(Exists(kScratch));  // nothing written by a refused script
}

}  // namespace
}  // namespace korvane
