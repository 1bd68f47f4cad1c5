// The transport registry: which row a resource name reaches, and the README's resource table
// against the rows (the table is what users read; the rows are what the provider does).
#include "visacom/TransportRegistry.h"

#include "visacom/VisaCom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvane::visacom::testing {
namespace {

const TransportRow* RowFor(const char* text) {
  ResourceName name;
  std::string why;
  EXPECT_TRUE(ParseResourceName(text, name, why)) << text << ": " << why;
  return FindTransport(name);
}

TEST(TransportRegistry, NamesReachTheirRows) {
  const struct {
    const char* resource;
    const char* row;  // null: no row takes it
  } cases[] = {
      {"TCPIP0::10.0.0.5::5025::SOCKET", "TCPIP SOCKET"},
      {"tcpip::scope.lan::INSTR", "VXI-11"},
      {"TCPIP::scope.lan::gpib0,7::INSTR", "VXI-11"},
      {"TCPIP1::scope.lan::HiSLIP0,4881::INSTR", "HiSLIP"},
      {"TCPIP::[fe80::1]::hislip0::INSTR", "HiSLIP"},
      {"USB::0x1234::0x5678::SN42::INSTR", "USBTMC"},
      {"GPIB0::7::INSTR", "GPIB"},
      {"ASRL3::INSTR", "ASRL"},
      {"ASRL/dev/ttyUSB0::INSTR", "ASRL"},
      {"USB::0x1234::0x5678::SN42::RAW", nullptr},
      {"GPIB0::INTFC", nullptr},
      {"VXI0::1::INSTR", nullptr},
      {"PXI0::2::INSTR", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.resource);
    const TransportRow* row = RowFor(c.resource);
    if (!c.row) {
      EXPECT_EQ(row, nullptr) << row->name;
      continue;
    }
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, c.row);
  }
}

TEST(TransportRegistry, RowsSayWhyTheyAreMissing) {
  for (const TransportRow& row : Transports()) {
    SCOPED_TRACE(row.name);
    const bool everywhere = ServedOn(row, System::kLinux) && ServedOn(row, System::kWindows) &&
                            ServedOn(row, System::kOtherPosix);
    EXPECT_EQ(everywhere, row.unavailable == nullptr);
  }
  // A row this system does not serve fails to open with its reason, before any I/O.
  const std::map<std::string, const char*> samples = {{"GPIB", "GPIB::7::INSTR"},
                                                      {"ASRL", "ASRL1::INSTR"},
                                                      {"USBTMC", "USB::0x1::0x2::S::INSTR"}};
  for (const TransportRow& row : Transports()) {
    if (ServedOn(row, kThisSystem)) continue;
    SCOPED_TRACE(row.name);
    ASSERT_EQ(samples.count(row.name), 1u) << "a sample name for the row is missing here";
    ResourceName name;
    std::string why;
    ASSERT_TRUE(ParseResourceName(samples.at(row.name), name, why));
    ASSERT_EQ(FindTransport(name), &row);
    std::unique_ptr<ITransport> transport;
    EXPECT_EQ(OpenTransport(name, CDeadline::After(100), transport, why), E_VISA_RSRC_NFOUND);
    EXPECT_EQ(why, row.unavailable);
    EXPECT_FALSE(transport);
  }
}

// The cells of the first table under "## Resource strings", header row first.
std::vector<std::vector<std::string>> ResourceTable() {
  std::ifstream in(KORVANE_README_PATH);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) inSection = line.find("Resource strings") != std::string::npos;
    const bool tableLine = inSection && !line.empty() && line[0] == '|';
    if (!tableLine && !rows.empty()) break;  // the table ended
    if (!tableLine || line.find("---") != std::string::npos) continue;
    std::vector<std::string> cells;
    std::size_t at = 1;
    for (std::size_t bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1)
      cells.push_back(line.substr(at, bar - at));
    rows.push_back(cells);
  }
  return rows;
}

// The first `code` span of a cell.
std::string Code(const std::string& cell) {
  const std::size_t open = cell.find('`');
  const std::size_t close = open == std::string::npos ? open : cell.find('`', open + 1);
  return close == std::string::npos ? std::string() : cell.substr(open + 1, close - open - 1);
}

TEST(TransportRegistry, ReadmeTableListsTheRows) {
  const auto table = ResourceTable();
  ASSERT_GE(table.size(), 2u) << "no table under \"Resource strings\" in " << KORVANE_README_PATH;
  std::size_t linuxColumn = 0;
  for (std::size_t i = 0; i < table[0].size(); ++i)
    if (table[0][i].find("Linux") != std::string::npos) linuxColumn = i;
  ASSERT_NE(linuxColumn, 0u) << "the table has no Linux column";

  std::vector<std::string> listed;
  for (std::size_t r = 1; r < table.size(); ++r) {
    const std::string form = Code(table[r][0]);
    listed.push_back(form);
    const TransportRow* row = nullptr;
    for (const TransportRow& t : Transports())
      if (form == t.form) row = &t;
    if (!row) {
      ADD_FAILURE() << "the README lists " << form << ", which no transport row has";
      continue;
    }
    // "not served" in the Linux column, and only there, for a row Linux does not serve.
    const bool notServed = table[r][linuxColumn].find("not served") != std::string::npos;
    EXPECT_EQ(notServed, !ServedOn(*row, System::kLinux)) << form << ": " << table[r][linuxColumn];
  }
  for (const TransportRow& t : Transports())
    EXPECT_NE(std::find(listed.begin(), listed.end(), t.form), listed.end())
        << "the README's resource table lacks " << t.name << " (" << t.form << ")";
}

}  // namespace
}  // namespace korvane::visacom::testing
