#include "io/NumberText.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

// The C library's printf is the reference. Neither printf of the Windows runtimes pads every
// %g field as C99 says (e.g. "%-12.9g" of 2e6), so the field comparison runs natively only; our
// formatter is the same code on both systems.
#define ReferenceSnprintf std::snprintf

using fmt::FieldSpec;
using fmt::FieldText;

std::string Printf(const char* format, double value, int precision) {
  char buf[512];
  ReferenceSnprintf(buf, sizeof buf, format, precision, value);
  return buf;
}

// Values from every range the %g rules distinguish: random bit patterns (all exponents,
// subnormals included), short decimals of every length and magnitude (the shortest-digit
// path), integers, and the edges of the fixed-versus-exponent decision.
std::vector<double> Sample() {
  std::mt19937_64 rng(20261206);
  std::vector<double> v;
  for (int i = 0; i < 60000; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) v.push_back(d);
  }
  for (int i = 0; i < 120000; ++i) {
    int digits = 1 + static_cast<int>(rng() % 17);
    std::uint64_t mantissa = rng() % 100000000000000000ULL;
    std::uint64_t limit = 1;
    for (int k = 0; k < digits; ++k) limit *= 10;
    mantissa %= limit;
    int exp = (i & 1) ? static_cast<int>(rng() % 640) - 330 : static_cast<int>(rng() % 50) - 30;
    char text[64];
    std::snprintf(text, sizeof text, "%s%llue%d", (rng() & 1) ? "-" : "", static_cast<unsigned long long>(mantissa),
                  exp);
    double d = std::strtod(text, nullptr);
    if (std::isfinite(d)) v.push_back(d);
  }
  for (int i = 0; i < 20000; ++i) {
    auto n = static_cast<std::int64_t>(rng() >> (rng() % 64));
    v.push_back(static_cast<double>((rng() & 1) ? -n : n));
  }
  for (int e = -330; e <= 310; ++e) {
    double p = std::pow(10.0, e);
    for (double d : {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY), p * 9.5, p * 9.99999, p * 0.99999999,
                     p * 9.9999999999999995, p * 1.5})
      if (std::isfinite(d)) v.push_back(d);
  }
  for (double d : {0.0,
                   -0.0,
                   DBL_MIN,
                   -DBL_MIN,
                   DBL_MAX,
                   -DBL_MAX,
                   DBL_TRUE_MIN,
                   -DBL_TRUE_MIN,
                   DBL_EPSILON,
                   0.125,
                   0.1 + 0.2,
                   1e-20,
                   1e15,
                   1e16,
                   1e17,
                   999999999999999.0,
                   9999999999999998.0,
                   0.0001,
                   0.00001,
                   0.000099999999999999,
                   123456.0,
                   1234567.0,
                   0.5,
                   1.0 / 3.0,
                   2.0 / 3.0,
                   100.0,
                   1e21})
    v.push_back(d);
  return v;
}

TEST(NumberText, ShortDecimalGeneralMatchesPrintfOrDeclines) {
  std::size_t taken = 0, total = 0;
  for (double d : Sample()) {
    for (int precision = 0; precision <= 17; ++precision) {
      for (bool upper : {false, true}) {
        char out[64];
        std::size_t n = fmt::ShortDecimalGeneral(out, d, precision, upper);
        ++total;
        if (n == 0) continue;
        ++taken;
        std::string want = Printf(upper ? "%.*G" : "%.*g", d, precision);
        ASSERT_EQ(std::string(out, n), want) << "value " << Printf("%.*a", d, 20) << " precision " << precision;
      }
    }
  }
  // The fast path must actually serve a good share of the sample.
  EXPECT_GT(taken, total / 8);
}

TEST(NumberText, ShortDecimalGeneralDeclinesWhatItCannotSpellExactly) {
  char out[64];
  EXPECT_EQ(fmt::ShortDecimalGeneral(out, DBL_TRUE_MIN, 15, false), 0u);  // subnormal
  EXPECT_EQ(fmt::ShortDecimalGeneral(out, 0.1, 17, false), 0u);           // 0.10000000000000001
  EXPECT_EQ(fmt::ShortDecimalGeneral(out, 0.1, 16, false), 0u);
  EXPECT_EQ(fmt::ShortDecimalGeneral(out, 1.0 / 3.0, 15, false), 0u);  // needs 16 digits
  EXPECT_EQ(fmt::ShortDecimalGeneral(out, INFINITY, 15, false), 0u);
  EXPECT_EQ(fmt::ShortDecimalGeneral(out, NAN, 15, false), 0u);
  std::size_t n = fmt::ShortDecimalGeneral(out, 0.125, 15, false);
  EXPECT_EQ(std::string(out, n), "0.125");
  n = fmt::ShortDecimalGeneral(out, -0.0, 15, false);
  EXPECT_EQ(std::string(out, n), "-0");
  n = fmt::ShortDecimalGeneral(out, 1.5e-7, 6, true);
  EXPECT_EQ(std::string(out, n), "1.5E-07");
  n = fmt::ShortDecimalGeneral(out, 1e30, 15, false);
  EXPECT_EQ(std::string(out, n), "1e+30");
  n = fmt::ShortDecimalGeneral(out, -123456789012345.0, 15, false);
  EXPECT_EQ(std::string(out, n), "-123456789012345");
  n = fmt::ShortDecimalGeneral(out, 0.0001, 15, false);
  EXPECT_EQ(std::string(out, n), "0.0001");
}

// The whole field, fast path or not, with the flags and widths printf knows.
TEST(NumberText, GeneralFieldsMatchPrintf) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows runtime's printf is not a C99 reference for padded %g fields";
#endif
  std::vector<double> values = Sample();
  std::mt19937 rng(7);
  const char* flagSets[] = {"", "-", "+", " ", "0", "+0", "- "};
  for (std::size_t i = 0; i < values.size(); i += 3) {
    double d = values[i];
    const char* flags = flagSets[rng() % 7];
    int width = static_cast<int>(rng() % 30) - 1;
    int precision = static_cast<int>(rng() % 19) - 1;
    char conv = (rng() & 1) ? 'g' : 'G';
    std::string format = std::string("%") + flags + (width >= 0 ? std::to_string(width) : "") +
                         (precision >= 0 ? "." + std::to_string(precision) : "") + conv;
    char want[512];
    ReferenceSnprintf(want, sizeof want, format.c_str(), d);
    FieldSpec spec;
    for (const char* f = flags; *f; ++f) {
      if (*f == '-') spec.minus = true;
      if (*f == '+') spec.plus = true;
      if (*f == ' ') spec.space = true;
      if (*f == '0') spec.zero = true;
    }
    spec.width = width;
    spec.precision = precision;
    FieldText got;
    fmt::FormatDouble(got, spec, d, conv);
    ASSERT_EQ(std::string(got.view()), want) << "format " << format << " value " << Printf("%.*a", d, 20);
  }
}

}  // namespace
}  // namespace korvane::test
