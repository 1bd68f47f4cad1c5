#include "io/FormatTokens.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane::fmt {
namespace {

struct KindCase {
  const char* format;
  int kind;
};

int KindOf(Side side, const std::string& format) {
  std::vector<Token> tokens;
  if (!Tokenize(side, format, tokens) || tokens.size() != 1) return -1;
  return tokens[0].kind;
}

TEST(FormatTokens, EachConversionFindsItsKind) {
  const KindCase printfCases[] = {
      {"abc:", kPLiteral},
      {"%%", kPLiteral},
      {"%d", kPInteger},
      {"%-+0 @H 8.3Id", kPInteger},
      {"%00*.*hu", kPInteger},
      {"%,5d", kPIntegerArray},
      {"%(;)*$Sbx", kPIntegerArray},
      {"%0.15lg", kPFloat},
      {"%@3Le", kPFloat},
      {"%(n)3lf", kPFloatArray},
      {"%*hb", kPBlock},
      {"%$SZb", kPBlock},
      {"%10B", kPBlock2},
      {"%*!ol $Shy", kPBinary},
      {"%-5c", kPChar},
      {"%$Bqs", kPString},
      {"%- 10.*$CQs", kPString},
      {"%,*$S$Bs", kPStringArray},
      {"%{KorvaneTriggerTypeEnum}s", kPEnum},
      {"%{ VARIANT_BOOL } -5qs", kPEnum},
      {"%{E},3s", kPEnumArray},
  };
  for (const auto& c : printfCases) EXPECT_EQ(KindOf(Side::Printf, c.format), c.kind) << c.format;

  const KindCase scanfCases[] = {
      {"%d", kSInteger},
      {"%* @B 5hx", kSInteger},
      {"%(,;)#ld", kSIntegerArray},
      {"%lf", kSFloat},
      {"%#,#$Slf", kSFloatArray},
      {"%#hb", kSBlock},
      {"%*$SZb", kSBlock},
      {"%10!oby", kSBinary},
      {"%3c", kSChar},
      {"%$BT", kSLine},
      {"%$Ct", kSText},
      {"%*s", kSWord},
      {"%[^\n]", kSCharSet},
      {"%#$C[a-z,]", kSCharSet},
      {"%,10$Bs", kSStringArray},
      {"%{A}s", kSEnumWord},
      {"%{VARIANT_BOOL}[^\n]", kSEnumCharSet},
      {"%{A},#s", kSEnumArray},
  };
  for (const auto& c : scanfCases) EXPECT_EQ(KindOf(Side::Scanf, c.format), c.kind) << c.format;
}

TEST(FormatTokens, TextNoPatternAcceptsRejectsTheWholeFormat) {
  const char* printfBad[] = {"%k", "abc%", "%lld", "%@Xd", "%(x)d", "%(,;)d", "%{}s", "%{A B}s", "%#d", "%$Ss"};
  for (const char* f : printfBad) {
    std::vector<Token> tokens;
    EXPECT_FALSE(Tokenize(Side::Printf, f, tokens)) << f;
  }
  const char* scanfBad[] = {"%*", "%[abc", "%.2f", "%-d", "%qs"};
  for (const char* f : scanfBad) {
    std::vector<Token> tokens;
    EXPECT_FALSE(Tokenize(Side::Scanf, f, tokens)) << f;
  }
}

TEST(FormatTokens, ModifiersAreDecoded) {
  std::vector<Token> t;
  ASSERT_TRUE(Tokenize(Side::Printf, ":CHAN%d:OFFS %-+0@H 12.*Id;%(s)*$Slf", t));
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[0].end, 5u);
  const Token& i = t[3];
  EXPECT_TRUE(i.minus && i.plus && i.zero);
  EXPECT_EQ(i.at, 'H');
  EXPECT_EQ(i.width, 12);
  EXPECT_EQ(i.precision, kFromArg);
  EXPECT_EQ(i.size, 'I');
  const Token& a = t[5];
  EXPECT_TRUE(a.array && a.safeArray);
  EXPECT_EQ(a.count, kFromArg);
  EXPECT_EQ(a.sepLen, 1u);

  std::string scan = "%{KorvaneTriggerTypeEnum}*#[^\n]";
  ASSERT_TRUE(Tokenize(Side::Scanf, scan, t));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(scan.substr(t[0].nameStart, t[0].nameLen), "KorvaneTriggerTypeEnum");
  EXPECT_TRUE(t[0].suppress);
  EXPECT_EQ(t[0].width, kFromArg);
  EXPECT_TRUE(t[0].setNegated);
  EXPECT_EQ(scan.substr(t[0].setStart, t[0].setLen), "\n");
}

TEST(FormatTokens, ListsAreCachedByText) {
  TokenList scratch;
  std::string a = ":TIM:SCAL %0.15lg";
  const TokenList* first = GetTokens(Side::Printf, a, scratch);
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, &scratch);
  std::string b = a;  // same text elsewhere in memory
  EXPECT_EQ(GetTokens(Side::Printf, b, scratch), first);
  EXPECT_NE(GetTokens(Side::Scanf, "%lf", scratch), GetTokens(Side::Scanf, "%le", scratch));
  EXPECT_EQ(GetTokens(Side::Printf, "%k", scratch), nullptr);
}

}  // namespace
}  // namespace korvane::fmt
