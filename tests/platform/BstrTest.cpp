#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

#include <cstring>

using korvane::Bstr;

TEST(Bstr, LengthPrefixAndEmbeddedNuls) {
  const OLECHAR text[] = {OLESTR('a'), OLESTR('b'), 0, OLESTR('c'), OLESTR('d')};
  BSTR s = SysAllocStringLen(text, 5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(SysStringByteLen(s), 10u);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 10u);  // the byte count sits just before the characters
  EXPECT_EQ(std::memcmp(s, text, sizeof(text)), 0);
  EXPECT_EQ(s[5], 0);  // always terminated
  SysFreeString(s);
}

TEST(Bstr, NullInputs) {
  BSTR s = SysAllocStringLen(nullptr, 3);  // room for three characters, plus the terminator
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(s[3], 0);
  SysFreeString(s);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(Bstr, ByteLengthAndReallocation) {
  BSTR s = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringByteLen(s), 3u);
  EXPECT_EQ(SysStringLen(s), 1u);  // whole characters only
  EXPECT_EQ(std::memcmp(s, "abc", 3), 0);
  EXPECT_EQ(reinterpret_cast<const char*>(s)[3], 0);

  ASSERT_TRUE(SysReAllocString(&s, OLESTR("longer text")));
  EXPECT_EQ(SysStringLen(s), 11u);
  EXPECT_EQ(korvane::ToNarrow(s), "longer text");
  ASSERT_TRUE(SysReAllocStringLen(&s, OLESTR("xy"), 1));
  EXPECT_EQ(korvane::ToNarrow(s), "x");
  SysFreeString(s);
}

TEST(Bstr, Holder) {
  Bstr a("Korvane: Success.");
  EXPECT_EQ(a.Length(), 17u);
  Bstr b = a;  // deep copy
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(b.Narrow(), "Korvane: Success.");
  BSTR handed = a.Copy();
  EXPECT_EQ(SysStringLen(handed), 17u);
  SysFreeString(handed);
  *a.Receive() = SysAllocString(OLESTR("out"));
  EXPECT_EQ(a.Narrow(), "out");
  Bstr empty;
  EXPECT_EQ(empty.Copy(), nullptr);
  EXPECT_TRUE(empty.empty());
}
