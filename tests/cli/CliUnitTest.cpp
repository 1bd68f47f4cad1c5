// The tool's own logic: paths resolved against the generated table, values in every accepted
// form, and the CSV and SVG writers.
#include "Json.h"
#include "Plot.h"
#include "com/PropertyPath.h"
#include "Settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <string>
#include <vector>

namespace korvane::cli {
namespace {

int Count(const std::string& s, const std::string& what) {
  int n = 0;
  for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

TEST(CliPaths, ResolveThroughNavigationItemsAndBaseInterfaces) {
  PropertyPath p;
  std::string error;
  ASSERT_TRUE(ResolvePath("Channels.Item(\"Channel1\").Offset", p, error)) << error;
  ASSERT_EQ(p.steps.size(), 2u);
  EXPECT_EQ(p.steps[1].itemName, "Channel1");
  EXPECT_EQ(p.property->value, ValueKind::Double);
  EXPECT_TRUE(p.property->get && p.property->put);
  // Reached through IKorvane8's base chain down to IIviDriver; names ignore case.
  ASSERT_TRUE(ResolvePath("driveroperation.simulate", p, error)) << error;
  EXPECT_EQ(p.property->value, ValueKind::Bool);
  ASSERT_TRUE(ResolvePath("Acquisition.RecordLength", p, error)) << error;
  EXPECT_TRUE(p.property->get && !p.property->put);
  EXPECT_FALSE(ResolvePath("Channels.Count.Offset", p, error));
  EXPECT_FALSE(ResolvePath("", p, error));
}

TEST(CliValues, ParseAndFormatByKind) {
  PropertyPath p;
  std::string error;
  Value v;
  ASSERT_TRUE(ResolvePath("Trigger.Edge.Slope", p, error));
  for (const char* text : {"Negative", "NEGATIVE", "KorvaneTriggerSlopeNegative", "0"}) {
    v.i = 99;
    EXPECT_TRUE(ParseValue(*p.property, text, v, error)) << text;
    EXPECT_EQ(FormatValue(*p.property, v), "Negative") << text;
  }
  EXPECT_FALSE(ParseValue(*p.property, "7", v, error));  // a number that is no member
  v.i = 7;
  EXPECT_NE(FormatValue(*p.property, v).find("not a member"), std::string::npos);

  ASSERT_TRUE(ResolvePath("Acquisition.NumberOfAverages", p, error));
  EXPECT_TRUE(ParseValue(*p.property, "-2147483648", v, error));
  EXPECT_FALSE(ParseValue(*p.property, "2147483648", v, error));
  EXPECT_FALSE(ParseValue(*p.property, "12abc", v, error));

  ASSERT_TRUE(ResolvePath("DriverOperation.Cache", p, error));
  ASSERT_TRUE(ParseValue(*p.property, "on", v, error));
  EXPECT_EQ(v.i, VARIANT_TRUE);
  EXPECT_EQ(FormatValue(*p.property, v), "true");

  ASSERT_TRUE(ResolvePath("Timebase.HorizontalScale", p, error));
  EXPECT_FALSE(ParseValue(*p.property, "nan", v, error));
  ASSERT_TRUE(ParseValue(*p.property, "2e-4", v, error));
  EXPECT_EQ(FormatValue(*p.property, v), "0.0002");
}

TEST(CliPlot, CsvColumnsFollowTheTimeAxes) {
  Trace a{"Channel1", -1e-3, 1e-6, {0.5, -0.25, 1}};
  EXPECT_EQ(CsvText({a}), "time_s,volts\n-0.001,0.5\n-0.000999,-0.25\n-0.000998,1\n");
  Trace b{"Channel2", -1e-3, 1e-6, {1, 2, 3}};
  EXPECT_EQ(CsvText({a, b}).substr(0, 50), "time_s,Channel1_volts,Channel2_volts\n-0.001,0.5,1\n");
  // Different axes or lengths: a time column per trace, short traces leave their cells empty.
  Trace c{"Channel2", 0, 2e-6, {7}};
  const std::string csv = CsvText({a, c});
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "Channel1_time_s,Channel1_volts,Channel2_time_s,Channel2_volts");
  EXPECT_NE(csv.find("-0.001,0.5,0,7\n-0.000999,-0.25,,\n"), std::string::npos) << csv;
}

TEST(CliPlot, SvgHasOneTracePerChannelLabelsAndEscapedTitle) {
  Trace a{"Channel1", 0, 1e-6, {}};
  for (int i = 0; i < 100000; ++i) a.volts.push_back(i % 1000 == 0 ? 1.0 : 0.0);
  Trace b{"Channel<2>", 0, 1e-6, {0.1, 0.2}};
  const std::string svg = SvgText({a, b}, "A & B");
  EXPECT_EQ(Count(svg, "<polyline"), 2);
  EXPECT_NE(svg.find("<title>A &amp; B</title>"), std::string::npos);
  EXPECT_NE(svg.find("Channel&lt;2&gt;"), std::string::npos);
  EXPECT_NE(svg.find("Time (ms)"), std::string::npos);
  EXPECT_NE(svg.find("Voltage (V)"), std::string::npos);
  // A long record is reduced to the envelope of each pixel column, spikes kept.
  const std::string first = svg.substr(svg.find("points=\""),
                                       svg.find("\"/>", svg.find("points=\"")) - svg.find("points=\""));
  EXPECT_LT(Count(first, ","), 5000);
  // The 1 V spikes survive: many points sit at the highest y on screen (the smallest number).
  std::vector<double> ys;
  for (std::size_t p = first.find(','); p != std::string::npos; p = first.find(',', p + 1))
    ys.push_back(std::stod(first.substr(p + 1)));
  const double top = *std::min_element(ys.begin(), ys.end());
  EXPECT_EQ(std::count(ys.begin(), ys.end(), top), 100);
  // No time step: the samples spread over the sample numbers instead of piling up at one x.
  const std::string flat = SvgText({Trace{"Channel1", 0, 0, {1, 2, 3}}}, "t");
  EXPECT_NE(flat.find("Sample (no time step"), std::string::npos);
  EXPECT_NE(flat.find("points=\"90.0,"), std::string::npos);
  EXPECT_NE(flat.find(" 930.0,"), std::string::npos);
  // Nothing to plot still gives a document.
  EXPECT_NE(SvgText({}, "empty").find("</svg>"), std::string::npos);
}

TEST(CliPlot, EngineeringUnits) {
  EXPECT_EQ(Engineering(2.5e-3, "s"), "2.5 ms");
  EXPECT_EQ(Engineering(1.25e9, "Sa/s"), "1.25 GSa/s");
  EXPECT_EQ(Engineering(-0.5, "V"), "-500 mV");
  EXPECT_EQ(Engineering(0, "V"), "0 V");
}

TEST(CliJson, StringsAndNumbersReadBackAsWritten) {
  const std::string text = "a \"quoted\" \\ line\nand\ttab \x01";
  JsonValue v;
  std::string error;
  for (double d : {0.0, -0.25, 2e-4, 1.0 / 3.0, 9.9e37, 123456789012.0}) {
    ASSERT_TRUE(ParseJson(JsonNumber(d), v, error)) << error;
    EXPECT_EQ(v.number, d) << JsonNumber(d);
  }
  EXPECT_EQ(JsonNumber(std::nan("")), "null");
  ASSERT_TRUE(ParseJson("{\"k\": " + JsonString(text) + ", \"a\": [1, true, null]}", v, error)) << error;
  ASSERT_NE(v.Find("k"), nullptr);
  EXPECT_EQ(v.Find("k")->text, text);
  EXPECT_EQ(v.Find("a")->items.size(), 3u);
  EXPECT_EQ(v.Find("missing"), nullptr);
}

TEST(CliJson, MalformedTextNamesTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"a\": 1,\n \"b\" 2}", "line 2: expected ':'"},
      {"{\"a\": [1, 2}", "expected ',' or ']'"},
      {"\"open", "unterminated string"},
      {"{} x", "unexpected text"},
      {"", "unexpected end"},
      {"{\"a\": tru}", "expected a value"},
  };
  for (const auto& [text, message] : cases) {
    JsonValue v;
    std::string error;
    EXPECT_FALSE(ParseJson(text, v, error)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << text << " -> " << error;
  }
  std::string deep(200, '[');
  JsonValue v;
  std::string error;
  EXPECT_FALSE(ParseJson(deep, v, error));
}

// load applies what decides the meaning of a number before the number: a probe before the
// scale it multiplies, a scale before the offset within it, a trigger type and source before the
// level and slope that belong to them.
TEST(CliSettings, ApplyOrderRespectsDependencies) {
  const char* paths[] = {"Trigger.Level",      "Channels.Item(Channel1).Offset",
                         "Trigger.Edge.Slope", "Channels.Item(Channel1).Scale",
                         "Trigger.Source",     "Channels.Item(Channel1).ProbeAttenuation",
                         "Trigger.Type",       "Timebase.HorizontalScale"};
  std::vector<Setting> settings;
  for (const char* p : paths) {
    Setting s;
    s.path = p;
    std::string error;
    ASSERT_TRUE(ResolvePath(p, s.resolved, error)) << error;
    settings.push_back(s);
  }
  SortForApply(settings);
  auto at = [&](const std::string& p) {
    for (std::size_t k = 0; k < settings.size(); ++k)
      if (settings[k].path == p) return k;
    return settings.size();
  };
  const std::pair<const char*, const char*> before[] = {
      {"Trigger.Type", "Trigger.Edge.Slope"},
      {"Trigger.Source", "Trigger.Level"},
      {"Channels.Item(Channel1).ProbeAttenuation", "Channels.Item(Channel1).Scale"},
      {"Channels.Item(Channel1).Scale", "Channels.Item(Channel1).Offset"},
      {"Channels.Item(Channel1).Scale", "Trigger.Level"},
  };
  for (const auto& [first, second] : before) EXPECT_LT(at(first), at(second)) << first << " before " << second;
}

TEST(CliListing, GroupedSortedWithEnumerationMembersAndCompletion) {
  int iface = -1;
  std::string error;
  ASSERT_TRUE(ResolveInterface("Trigger.Edge", iface, error)) << error;
  const std::vector<std::string> lines = MemberListing(iface);
  std::vector<std::string> properties;
  bool inProperties = false;
  for (const std::string& l : lines) {
    if (l.back() == ':' && l[0] != ' ') inProperties = l == "properties:";
    else if (inProperties) properties.push_back(l);
  }
  ASSERT_FALSE(properties.empty());
  EXPECT_TRUE(std::is_sorted(properties.begin(), properties.end()));
  const auto slope = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& l) { return l.find("  Slope") == 0; });
  ASSERT_NE(slope, lines.end());
  EXPECT_NE(slope->find(": Positive | Negative | "), std::string::npos) << *slope;

  ASSERT_TRUE(ResolveInterface("Measurements.Item(Channel1)", iface, error)) << error;
  const std::vector<std::string> m = MemberListing(iface);
  EXPECT_NE(std::find(m.begin(), m.end(), "methods:"), m.end());
  EXPECT_TRUE(
      std::any_of(m.begin(), m.end(), [](const std::string& l) { return l.find("  ReadWaveform(long") == 0; }));

  const std::pair<const char*, const char*> completions[] = {{"Trig", "Trigger."},
                                                             {"Trigger.Edge.Sl", "Trigger.Edge.Slope"},
                                                             {"chan", "Channels."},
                                                             {"Channels.It", "Channels.Item("}};
  for (const auto& [partial, expected] : completions) {
    const std::vector<std::string> c = CompletePath(partial);
    EXPECT_NE(std::find(c.begin(), c.end(), expected), c.end()) << partial;
  }
  EXPECT_TRUE(CompletePath("Nonsense.X").empty());
}

}  // namespace
}  // namespace korvane::cli
