// The method trace of a simulated session (no instrument): the file's frame and records, the
// TraceEnabled and "Trace" option rules, rollover by size, many threads writing at once; and the
// I/O log's description of messages.
#include "TraceSupport.h"
#include "com/Objects.h"
#include "support/TestSupport.h"
#include "io/IoLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;
using test::TempDir;

constexpr const char* kResource = "TCPIP0::192.0.2.1::INSTR";

class TraceTest : public ::testing::Test {
 protected:
  HRESULT Init(const std::string& driverSetup) {
    if (!root_) {
      EXPECT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid()));
    }
    return root_->Initialize(Bstr(kResource), VARIANT_FALSE, VARIANT_FALSE,
                             Bstr("Simulate=true, DriverSetup= Model=MSO-CD1000, " + driverSetup));
  }
  std::string Traced(const std::string& name, const std::string& more = "") {
    return "Trace=true, TraceName=" + dir_ / name + (more.empty() ? "" : ", " + more);
  }
  ComPtr<IKorvaneTimebase> Timebase() { return Query<IKorvaneTimebase>(root_.get()); }
  ComPtr<IKorvaneSystem> System() { return Query<IKorvaneSystem>(root_.get()); }
  bool TraceEnabled() {
    VARIANT_BOOL on = VARIANT_FALSE;
    EXPECT_EQ(S_OK, System()->get_TraceEnabled(&on));
    return on != VARIANT_FALSE;
  }

  ComInit com_;
  TempDir dir_;
  ComPtr<IKorvane8> root_;
};

TEST_F(TraceTest, FileHoldsTheCallsInOrderWithResultsParametersAndItsStyleSheet) {
  ASSERT_EQ(S_OK, Init(Traced("basic"))) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, Timebase()->put_HorizontalScale(0.002));
  DOUBLE scale = 0;
  ASSERT_EQ(S_OK, Timebase()->get_HorizontalScale(&scale));
  ComPtr<IIviDriverOperation> op;
  ASSERT_EQ(S_OK, root_->get_DriverOperation(op.Receive()));
  const HRESULT refused = op->put_RecordCoercions(VARIANT_TRUE);
  ASSERT_TRUE(FAILED(refused));
  const std::string message = TakeErrorInfo().description;
  ASSERT_FALSE(message.empty());
  ASSERT_EQ(S_OK, root_->Close());

  const std::string xml = test::ReadText(dir_ / "basic.xml");
  test::ExpectTraceFrame(xml);
  EXPECT_EQ((std::vector<std::string>{"IIviDriver.Initialize", "IKorvaneTimebase.put_HorizontalScale",
                                      "IKorvaneTimebase.get_HorizontalScale", "IIviDriver.get_DriverOperation",
                                      "IIviDriverOperation.put_RecordCoercions", "IIviDriver.Close"}),
            test::RecordCalls(xml))
      << xml;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "trace.xslt"));
  // The fixed formats: "%e" durations and the ISO local time with microseconds and offset.
  const std::regex execution(R"re(ExecutionTime="\d\.\d{6}e[-+]\d\d")re");
  const std::regex timestamp(R"re(Timestamp="\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[-+]\d\d:\d\d")re");
  const auto count = [&](const std::regex& re) {
    return static_cast<std::size_t>(std::distance(std::sregex_iterator(xml.begin(), xml.end(), re), {}));
  };
  EXPECT_EQ(6u, count(execution)) << xml;
  EXPECT_EQ(6u, count(timestamp)) << xml;
  char hr[16];
  std::snprintf(hr, sizeof hr, "0x%08X", static_cast<unsigned>(refused));
#ifndef _WIN32
  const auto records = test::ParsedRecords(dir_ / "basic.xml");
  ASSERT_EQ(6u, records.size());
  EXPECT_EQ("in:ResourceName=" + std::string(kResource), records[0].at(4));
  EXPECT_EQ((std::vector<std::string>{"IKorvaneTimebase.put_HorizontalScale", "0x00000000", ""}),
            std::vector<std::string>(records[1].begin(), records[1].begin() + 3));
  EXPECT_EQ("in:val=0.002", records[1].at(4));
  EXPECT_EQ("out:val=0.002", records[2].at(4));
  EXPECT_EQ(hr, records[4].at(1));
  EXPECT_EQ(message, [&] {
    std::string m = records[4].at(2);
    for (std::size_t at; (at = m.find("\\r\\n")) != std::string::npos;) m.replace(at, 4, "\r\n");
    return m;
  }());
#else
  EXPECT_NE(std::string::npos, xml.find(std::string("<HRESULT Value=\"") + hr + "\""));
#endif
}

// Each row: what is done, then whether TraceEnabled reads true and whether the call after it
// left a record.
TEST_F(TraceTest, TraceEnabledStartsPausesAndResumes) {
  ASSERT_EQ(S_OK, Init("TraceName=" + dir_ / "rules"));
  EXPECT_FALSE(TraceEnabled());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "rules.xml"));

  struct Step {
    VARIANT_BOOL put;
    bool enabled;
  };
  const Step steps[] = {{VARIANT_TRUE, true},
                        {VARIANT_FALSE, false},
                        {VARIANT_FALSE, false},
                        {VARIANT_TRUE, true},
                        {VARIANT_TRUE, true}};
  for (const Step& s : steps) {
    ASSERT_EQ(S_OK, System()->put_TraceEnabled(s.put));
    EXPECT_EQ(s.enabled, TraceEnabled());
    ASSERT_EQ(S_OK, Timebase()->put_HorizontalScale(s.enabled ? 1.0 : 2.0));
  }
  ASSERT_EQ(S_OK, root_->Close());
  const std::string xml = test::ReadText(dir_ / "rules.xml");
  test::ExpectTraceFrame(xml);
  // Only calls made while recording: none with the value put while paused.
  EXPECT_EQ(std::string::npos, xml.find("Value=\"2\"")) << xml;
  const auto calls = test::RecordCalls(xml);
  EXPECT_EQ(3, std::count(calls.begin(), calls.end(), "IKorvaneTimebase.put_HorizontalScale")) << xml;
  EXPECT_EQ("IIviDriver.Close", calls.back());
}

// Successive sessions on one object: each Initialize starts from a fresh trace, so nothing of
// an earlier session's tracing (on, paused, its name or limits) shows through. Each row: the
// options, the result, whether TraceEnabled reads true after it, and which file (under the test
// directory; "" for none) got the row's one put.
TEST_F(TraceTest, EachInitializeStartsFromAFreshTrace) {
  // Unnamed traces go to the trace directory; keep them in the test's.
  const std::string defaults = dir_ / "default";
#ifdef _WIN32
  _putenv_s("KORVANE_TRACE_DIR", defaults.c_str());
#else
  setenv("KORVANE_TRACE_DIR", defaults.c_str(), 1);
#endif
  struct Row {
    std::string options;
    HRESULT hr;
    bool enabled;
    const char* file;
    bool pauseBeforeClose;
  } rows[] = {
      {Traced("first", "TraceSaveInterval=3600, TraceArray=true"), S_OK, true, "first.xml", true},
      {"", S_OK, false, "", false},                              // neither on nor paused: off, as for a new object
      {"Trace=true", S_OK, true, "default/Korvane.xml", false},  // not "first" again
      {"TraceName=" + dir_ / "second", S_OK, false, "", false},
      {Traced("third") + ", Trace=false", E_UNEXPECTED, false, "", false},
      {Traced("fourth"), S_OK, true, "fourth.xml", false},
      {"Trace=false", S_OK, false, "", false},
  };
  std::map<std::string, std::size_t> puts;  // file -> puts it holds
  double value = 1;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.options);
    ASSERT_EQ(r.hr, Init(r.options));
    if (FAILED(r.hr)) {
      EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("Trace"));
      continue;
    }
    EXPECT_EQ(r.enabled, TraceEnabled());
    ASSERT_EQ(S_OK, Timebase()->put_HorizontalScale(value += 1));
    if (*r.file) ++puts[r.file];
    if (r.pauseBeforeClose) {
      ASSERT_EQ(S_OK, System()->put_TraceEnabled(VARIANT_FALSE));
    }
    ASSERT_EQ(S_OK, root_->Close());
  }
  std::size_t files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path())) {
    if (e.path().extension() != ".xml") continue;
    ++files;
    const std::string name = std::filesystem::relative(e.path(), dir_.path()).generic_string();
    SCOPED_TRACE(name);
    const std::string xml = test::ReadText(e.path().string());
    test::ExpectTraceFrame(xml);
    const auto calls = test::RecordCalls(xml);
    EXPECT_EQ(puts[name], static_cast<std::size_t>(
                              std::count(calls.begin(), calls.end(), "IKorvaneTimebase.put_HorizontalScale")));
  }
  EXPECT_EQ(puts.size(), files);
#ifdef _WIN32
  _putenv_s("KORVANE_TRACE_DIR", "");
#else
  unsetenv("KORVANE_TRACE_DIR");
#endif
}

TEST_F(TraceTest, SizeLimitSavesCompleteFilesAndLosesNoRecord) {
  ASSERT_EQ(S_OK, Init(Traced("roll", "TraceSizeMax=2")));
  constexpr int kCalls = 60;
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(S_OK, Timebase()->put_HorizontalScale(1e-3 * (i + 1)));
  ASSERT_EQ(S_OK, root_->Close());

  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
    if (e.path().extension() == ".xml") files.push_back(e.path().string());
  ASSERT_GE(files.size(), 3u);
  std::size_t records = 0;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    const std::string xml = test::ReadText(f);
    test::ExpectTraceFrame(xml);
    EXPECT_LE(xml.size(), 2048u);
    records += test::RecordCalls(xml).size();
    // Saved copies: base, "_", local time, optionally "_n".
    const std::string name = std::filesystem::path(f).filename().string();
    if (name != "roll.xml") {
      EXPECT_TRUE(std::regex_match(name, std::regex(R"(roll_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d(_\d+)?\.xml)"))) << name;
    }
#ifndef _WIN32
    test::ParsedRecords(f);
#endif
  }
  EXPECT_EQ(static_cast<std::size_t>(kCalls) + 2, records);  // Initialize and Close too
}

TEST_F(TraceTest, EightThreadsWriteEveryRecordWhole) {
  ASSERT_EQ(S_OK, Init(Traced("threads")));
  constexpr int kThreads = 8, kCalls = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t] {
      ComInit com;
      // Channels have locks of their own, so the threads really overlap.
      ComPtr<IKorvaneChannels> channels = Query<IKorvaneChannels>(root_.get());
      ComPtr<IKorvaneChannel> channel;
      const std::string name = "Channel" + std::to_string(t % 4 + 1);
      ASSERT_EQ(S_OK, channels->get_Item(Bstr(name), channel.Receive()));
      for (int i = 0; i < kCalls; ++i) ASSERT_EQ(S_OK, channel->put_Offset(0.01 * i));
    });
  for (auto& th : threads) th.join();
  ASSERT_EQ(S_OK, root_->Close());
  const std::string xml = test::ReadText(dir_ / "threads.xml");
  test::ExpectTraceFrame(xml);
  const auto calls = test::RecordCalls(xml);
  EXPECT_EQ(kThreads * kCalls, std::count(calls.begin(), calls.end(), "IKorvaneChannel.put_Offset"));
#ifndef _WIN32
  std::set<std::string> threadIds;
  for (const auto& r : test::ParsedRecords(dir_ / "threads.xml"))
    if (r.at(0) == "IKorvaneChannel.put_Offset") threadIds.insert(r.at(3));
  EXPECT_EQ(static_cast<std::size_t>(kThreads), threadIds.size());
#endif
}

TEST(IoLogDescribe, BlocksShowHeaderAndLengthTextShowsItsBeginning) {
  const std::string longText(400, 'a');
  struct Row {
    std::string head, tail;
    std::uint64_t total;
    std::string shown;
  } rows[] = {
      {"*IDN?\n", "*IDN?\n", 6, R"("*IDN?\n")"},
      {"#15ABCDE\n", "ABCDE\n", 9, "#15<5 bytes>\"\\n\""},
      {":SYST:SET #3100\x01\x02", "\n", 116, "\":SYST:SET \"#3100<100 bytes>\"\\n\""},
      {"#42000\xff\xfe", "", 100, "#42000<2000 bytes, 94 arrived>"},
      {"#0\x01\x02\x03\n", "", 6, "#0<4 bytes>"},
      {longText.substr(0, 256), "aaaa\n", 401, "\"" + std::string(160, 'a') + "\"...\"aaaa\\n\""},
      {"1,\"#2 is not a block\"\n", "", 22, R"("1,\"#2 is not a block\"\n")"},
  };
  for (const Row& r : rows) EXPECT_EQ(r.shown, CIoLog::Describe(r.head, r.tail, r.total)) << r.shown;
}

}  // namespace
}  // namespace korvane
