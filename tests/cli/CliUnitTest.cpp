// The tool's own logic: paths resolved against the generated table, values in every accepted
// form, and the CSV and SVG writers.
#include "Plot.h"
#include "PropertyPath.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  const std::string first = svg.substr(svg.find("points=\""), svg.find("\"/>", svg.find("points=\"")) - svg.find("points=\""));
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

}  // namespace
}  // namespace korvane::cli
