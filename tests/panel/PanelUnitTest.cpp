// The panel's pieces that need no server: the min/max decimation against a brute-force scan, the
// frame layout the page decodes, and the table of requests the security checks let through.
#include "panel/Frame.h"
#include "panel/PanelSecurity.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace korvane::panel {
namespace {

// Every sample whose index falls in the column's span, by definition rather than by stepping.
void BruteForce(const std::vector<double>& v, double first, double count, std::size_t columns, std::size_t c,
                float& mn, float& mx) {
  const double a = first + count * c / columns, b = first + count * (c + 1) / columns;
  bool any = false;
  double lo = 0, hi = 0;
  for (std::size_t k = 0; k < v.size(); ++k) {
    const double i = static_cast<double>(k);
    if (i >= a && i < b) {
      lo = any ? std::min(lo, v[k]) : v[k];
      hi = any ? std::max(hi, v[k]) : v[k];
      any = true;
    }
  }
  if (!any) {  // narrower than a sample: the nearest one
    const double nearest = std::floor(a + 0.5);
    if (nearest >= 0 && nearest < static_cast<double>(v.size())) {
      lo = hi = v[static_cast<std::size_t>(nearest)];
      any = true;
    }
  }
  mn = any ? static_cast<float>(lo) : NAN;
  mx = any ? static_cast<float>(hi) : NAN;
}

TEST(PanelDecimation, MatchesBruteForceOverViewsAndWidths) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 0.3);
  std::vector<double> v(10007);
  for (std::size_t k = 0; k < v.size(); ++k) v[k] = std::sin(k * 0.01) + noise(rng);
  v[4321] = 9;  // one sample glitch: it must survive in its column
  struct View {
    double first, count;
    std::size_t columns;
  };
  const View views[] = {{0, 10007, 1000},  {0, 10007, 997}, {0, 10007, 10007}, {4000, 500, 640},
                        {4320.5, 3.5, 50}, {9990, 40, 80},  {-100, 300, 64},   {0, 10007, 1}};
  for (const View& view : views) {
    const Columns c = MinMaxColumns(v.data(), v.size(), view.first, view.count, view.columns);
    ASSERT_EQ(c.min.size(), view.columns);
    for (std::size_t col = 0; col < view.columns; ++col) {
      float mn, mx;
      BruteForce(v, view.first, view.count, view.columns, col, mn, mx);
      if (std::isnan(mn)) {
        EXPECT_TRUE(std::isnan(c.min[col])) << view.first << "+" << view.count << " column " << col;
        continue;
      }
      EXPECT_EQ(c.min[col], mn) << view.first << "+" << view.count << " column " << col;
      EXPECT_EQ(c.max[col], mx) << view.first << "+" << view.count << " column " << col;
    }
  }
  const Columns whole = MinMaxColumns(v.data(), v.size(), 0, 10007, 100);
  EXPECT_EQ(whole.max[43], 9.0f);  // sample 4321 of 10007 in 100 columns: column 43
}

TEST(PanelDecimation, EmptyAndOutsideGiveNoSamples) {
  const std::vector<double> v = {1, 2, 3};
  const Columns none = MinMaxColumns(nullptr, 0, 0, 10, 4);
  ASSERT_EQ(none.min.size(), 4u);
  EXPECT_TRUE(std::isnan(none.min[0]));
  const Columns past = MinMaxColumns(v.data(), v.size(), 10, 5, 2);
  EXPECT_TRUE(std::isnan(past.max[1]));
}

TEST(PanelFrame, LayoutThePageDecodes) {
  cli::Trace a{"Channel1", -0.5e-3, 1e-6, std::vector<double>(1000, 0.25)};
  cli::Trace b{"Channel2", -0.5e-3, 1e-6, std::vector<double>(1000, -1)};
  b.volts[999] = 3;
  const std::string f = EncodeFrame({a, b}, 42, NAN, NAN, 10);
  ASSERT_EQ(f.size(), kFrameHeader + 2 * (16 + 8 * 10));
  auto u32 = [&](std::size_t off) {
    std::uint32_t v;
    std::memcpy(&v, f.data() + off, 4);
    return v;
  };
  auto f64 = [&](std::size_t off) {
    double v;
    std::memcpy(&v, f.data() + off, 8);
    return v;
  };
  auto f32 = [&](std::size_t off) {
    float v;
    std::memcpy(&v, f.data() + off, 4);
    return v;
  };
  EXPECT_EQ(u32(0), kFrameMagic);
  EXPECT_EQ(u32(4), 42u);
  EXPECT_EQ(u32(8), 10u);
  EXPECT_EQ(u32(12), 2u);
  EXPECT_DOUBLE_EQ(f64(16), -0.5e-3);  // no view: the whole record
  EXPECT_DOUBLE_EQ(f64(24), 0.5e-3);
  EXPECT_EQ(u32(48), 1000u);
  EXPECT_STREQ(f.data() + 56, "Channel1");
  EXPECT_EQ(f32(56 + 16), 0.25f);
  const std::size_t second = 56 + 16 + 80;
  EXPECT_STREQ(f.data() + second, "Channel2");
  EXPECT_EQ(f32(second + 16 + 40 + 9 * 4), 3.0f);  // the last column's maximum
  // A view of the second half: its first column starts at sample 500.
  const std::string half = EncodeFrame({b}, 1, 0, 0.5e-3, 5);
  double viewStart = -1;
  std::memcpy(&viewStart, half.data() + 16, 8);
  EXPECT_DOUBLE_EQ(viewStart, 0);
  float lastMax = 0;
  std::memcpy(&lastMax, half.data() + kFrameHeader + 16 + 5 * 4 + 4 * 4, 4);
  EXPECT_EQ(lastMax, 3.0f);  // sample 999 is in the last of five columns over samples 500..999
}

TEST(PanelSecurity, HostOriginAndTokenTable) {
  const std::vector<std::string> loop = {"127.0.0.1"};
  struct HostCase {
    const char* host;
    bool allowed;
  };
  const HostCase hosts[] = {{"127.0.0.1:8080", true},
                            {"localhost:8080", true},
                            {"LOCALHOST", true},
                            {"[::1]:80", true},
                            {"127.1.2.3:1", true},
                            {"evil.example:8080", false},
                            {"127.0.0.1.evil.example", false},
                            {"localhost.evil.example:80", false},
                            {"", false},
                            {"127.0.0.1:80x", false},
                            {"127.0.0.256:80", false},
                            {"192.168.1.5:8080", false},
                            {"[::1", false},
                            {"localhost:", false}};
  for (const HostCase& h : hosts) EXPECT_EQ(HostAllowed(h.host, loop), h.allowed) << h.host;
  EXPECT_TRUE(HostAllowed("192.168.1.5:8080", {"192.168.1.5"}));  // --listen names it
  EXPECT_FALSE(HostAllowed("0.0.0.0:8080", {"0.0.0.0"}));

  EXPECT_TRUE(OriginAllowed("http://127.0.0.1:8080", "127.0.0.1:8080"));
  EXPECT_FALSE(OriginAllowed("http://127.0.0.1:8081", "127.0.0.1:8080"));
  EXPECT_FALSE(OriginAllowed("https://127.0.0.1:8080", "127.0.0.1:8080"));
  EXPECT_FALSE(OriginAllowed("null", "127.0.0.1:8080"));
  EXPECT_FALSE(OriginAllowed("http://evil.example", "127.0.0.1:8080"));
  EXPECT_FALSE(OriginAllowed("", ""));

  const std::string t = NewToken();
  EXPECT_EQ(t.size(), 48u);
  EXPECT_NE(t, NewToken());
  EXPECT_TRUE(TokenMatches(t, t));
  EXPECT_FALSE(TokenMatches(t.substr(1), t));
  EXPECT_FALSE(TokenMatches("", ""));
  EXPECT_FALSE(TokenMatches(std::string(48, '0'), t));

  EXPECT_EQ(QueryValue("a=1&token=abc&b=2", "token"), "abc");
  EXPECT_EQ(QueryValue("xtoken=abc", "token"), "");
  EXPECT_EQ(QueryValue(nullptr, "token"), "");
  EXPECT_EQ(CookieValue("a=1; korvane-panel-80=xyz; b=2", "korvane-panel-80"), "xyz");
  EXPECT_EQ(CookieValue("korvane-panel-8=xyz", "korvane-panel-80"), "");
}

}  // namespace
}  // namespace korvane::panel
