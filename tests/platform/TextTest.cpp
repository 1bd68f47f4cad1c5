#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

#include <string>
#include <vector>

namespace {

std::string Format(const char* pattern, std::vector<std::string> inserts, bool* ok = nullptr) {
  std::string out = "<unchanged>";
  bool r = korvane::FormatInserts(pattern, inserts, out);
  if (ok) *ok = r;
  return r ? out : "<failed>";
}

}  // namespace

TEST(FormatInserts, NumberedInsertsAndEscapes) {
  EXPECT_EQ(Format("Korvane: Null pointer passed for method '%1', parameter '%2'.", {"Initialize", "ResourceName"}),
            "Korvane: Null pointer passed for method 'Initialize', parameter 'ResourceName'.");
  EXPECT_EQ(Format("%2 before %1", {"a", "b"}), "b before a");
  EXPECT_EQ(Format("%1!s! and %1", {"x"}), "x and x");
  EXPECT_EQ(Format("100%% done%n", {}), "100% done\r\n");
  EXPECT_EQ(Format("stop here%0 not this", {}), "stop here");
  EXPECT_EQ(Format("no inserts", {"unused"}), "no inserts");
  EXPECT_EQ(Format("%10", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}), "ten");
}

TEST(FormatInserts, MissingInsertFails) {
  bool ok = true;
  Format("needs '%3'", {"a", "b"}, &ok);
  EXPECT_FALSE(ok);
}

TEST(Text, Conversions) {
  korvane::OleString w = korvane::ToOle("Channel1: 1.5 V");
  EXPECT_EQ(w.size(), 15u);
  EXPECT_EQ(korvane::ToNarrow(w), "Channel1: 1.5 V");
  EXPECT_EQ(korvane::ToNarrow(static_cast<BSTR>(nullptr)), "");
#if !defined(_WIN32)
  // UTF-8 is the narrow encoding here; Windows uses the thread's code page.
  const std::string utf8 = "\xC2\xB5s \xE2\x84\xA6 \xF0\x9F\x93\x88";  // "µs Ω 📈"
  korvane::OleString u = korvane::ToOle(utf8);
  EXPECT_EQ(u.size(), 7u);  // the last one is a surrogate pair
  EXPECT_EQ(korvane::ToNarrow(u), utf8);
  const OLECHAR lone[] = {0xD800, OLESTR('a')};
  EXPECT_EQ(korvane::ToNarrow(lone, 2),
            "\xEF\xBF\xBD"
            "a");
#endif
}
