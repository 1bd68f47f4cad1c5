// Helpers of the method-trace tests: a fresh directory per test, file text, the records' method
// names as the file lists them, and (on Linux) outside programs reading the file.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace korvane::test {

// A new empty directory under the build tree's temporary area, removed with the object.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> n{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("korvane-trace-" + std::string(info ? info->name() : "x") + "-" + std::to_string(++n));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    if (!::testing::Test::HasFailure()) std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// "Interface.Name" of every record, in file order.
inline std::vector<std::string> RecordCalls(const std::string& xml) {
  static const std::regex method(R"re(<Method Name="([^"]*)" Interface="([^"]*)")re");
  std::vector<std::string> calls;
  for (std::sregex_iterator it(xml.begin(), xml.end(), method), end; it != end; ++it)
    calls.push_back((*it)[2].str() + "." + (*it)[1].str());
  return calls;
}

// The shape every trace file has whatever it holds: the declaration line ended by CR LF, the
// style-sheet reference, the root, the closing tag at the very end.
inline void ExpectTraceFrame(const std::string& xml, const std::string& sheet = "trace.xslt") {
  EXPECT_EQ(0u, xml.rfind("<?xml version=\"1.0\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"" + sheet +
                              "\"?>\r\n"
                              "<TraceRecords ",
                          0))
      << xml.substr(0, 200);
  const std::string closing = "</TraceRecords>\r\n";
  ASSERT_GE(xml.size(), closing.size());
  EXPECT_EQ(closing, xml.substr(xml.size() - closing.size()));
  EXPECT_EQ(1u, [&] {
    std::size_t n = 0;
    for (std::size_t at = xml.find("<TraceRecords"); at != std::string::npos; at = xml.find("<TraceRecords", at + 1))
      ++n;
    return n;
  }());
}

#ifndef _WIN32
// Standard output of a shell command, and its exit status.
inline std::string Run(const std::string& command, int* status = nullptr) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    if (status) *status = rc;
  } else if (status) {
    *status = -1;
  }
  return out;
}

// The records as Python's XML parser reads them (check_trace.py): one line of tab-separated
// fields per record. The parse failing fails the test.
inline std::vector<std::vector<std::string>> ParsedRecords(const std::string& file) {
  int status = 0;
  const std::string out = Run("python3 " KORVANE_TRACE_TEST_DIR "/check_trace.py '" + file + "' 2>&1", &status);
  EXPECT_EQ(0, status) << out;
  std::vector<std::vector<std::string>> records;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::size_t b = 0;
    for (std::size_t e; (e = line.find('\t', b)) != std::string::npos; b = e + 1)
      fields.push_back(line.substr(b, e - b));
    fields.push_back(line.substr(b));
    records.push_back(std::move(fields));
  }
  return records;
}
#endif

}  // namespace korvane::test
