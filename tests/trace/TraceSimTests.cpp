// A traced session against the simulator: the trace file read by Python's XML parser, turned
// into a page by xsltproc and by a headless browser through the style sheet it names, and the
// I/O log of the same calls.
#include "TraceSupport.h"
#include "com/Objects.h"
#include "support/TestSupport.h"
#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <charconv>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;
using test::TempDir;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class TracedSimSession : public ::testing::Test {
 protected:
  // Initialize, a property set, a refused call, a waveform read, Close.
  void SetUp() override {
    sim_ = std::make_unique<sim::test::SimProcess>(
        std::vector<std::string>{"--port", "0", "--model", "MSO-CD1000", "--signal", "1:SIN:2000:0.5"});
    ASSERT_GT(sim_->port(), 0);
    resource_ = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    ComPtr<IKorvane8> root;
    ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid()));
    const std::string options = "QueryInstrStatus=true, DriverSetup= Trace=true, TraceName=" + dir_ / "sim" +
                                ", TraceArray=true, TraceArraySizeMax=5, IoLog=" + dir_ / "io.log";
    ASSERT_EQ(S_OK, root->Initialize(Bstr(resource_), VARIANT_TRUE, VARIANT_FALSE, Bstr(options)))
        << TakeErrorInfo().description;
    ASSERT_EQ(S_OK, Query<IKorvaneTimebase>(root.get())->put_HorizontalScale(0.001));
    ComPtr<IIviDriverOperation> op;
    ASSERT_EQ(S_OK, root->get_DriverOperation(op.Receive()));
    refused_ = op->put_RecordCoercions(VARIANT_TRUE);
    message_ = TakeErrorInfo().description;
    auto measurements = Query<IKorvaneMeasurements>(root.get());
    ComPtr<IKorvaneMeasurement> channel1;
    ASSERT_EQ(S_OK, measurements->get_Item(Bstr("Channel1"), channel1.Receive()));
    SafeArrayPtr wave;
    DOUBLE x0 = 0, dx = 0;
    ASSERT_EQ(S_OK, channel1->ReadWaveform(5000, wave.Receive(), &x0, &dx)) << TakeErrorInfo().description;
    points_ = static_cast<long>(wave.get()->rgsabound[0].cElements);
    {
      SafeArrayAccess<double> v(wave.get());
      for (int i = 0; i < 5; ++i) first_.push_back(v.data()[i]);
    }
    ASSERT_EQ(S_OK, root->Close());
    file_ = dir_ / "sim.xml";
  }

  ComInit com_;
  TempDir dir_;
  std::unique_ptr<sim::test::SimProcess> sim_;
  std::string resource_, file_, message_;
  HRESULT refused_ = S_OK;
  long points_ = 0;
  std::vector<double> first_;
};

TEST_F(TracedSimSession, PythonReadsTheRecordsInOrderWithTheArraySummarised) {
  ASSERT_TRUE(FAILED(refused_));
  const auto records = test::ParsedRecords(file_);
  std::vector<std::vector<std::string>> mine;
  for (const auto& r : records)
    if (r.at(0) == "IIviDriver.Initialize" || r.at(0) == "IKorvaneTimebase.put_HorizontalScale" ||
        r.at(0) == "IIviDriverOperation.put_RecordCoercions" || r.at(0) == "IKorvaneMeasurement.ReadWaveform" ||
        r.at(0) == "IIviDriver.Close")
      mine.push_back(r);
  ASSERT_EQ(5u, mine.size());
  EXPECT_EQ("IIviDriver.Initialize", mine[0][0]);
  EXPECT_EQ("0x00000000", mine[0][1]);
  EXPECT_EQ("in:ResourceName=" + resource_, mine[0].at(4));
  EXPECT_EQ("in:IdQuery=-1", mine[0].at(5));
  EXPECT_EQ("IKorvaneTimebase.put_HorizontalScale", mine[1][0]);
  EXPECT_EQ("in:val=0.001", mine[1].at(4));

  char hr[16];
  std::snprintf(hr, sizeof hr, "0x%08X", static_cast<unsigned>(refused_));
  EXPECT_EQ("IIviDriverOperation.put_RecordCoercions", mine[2][0]);
  EXPECT_EQ(hr, mine[2][1]);
  EXPECT_EQ(message_.substr(0, message_.find('\r')), mine[2][2].substr(0, mine[2][2].find("\\r")));

  EXPECT_EQ("IKorvaneMeasurement.ReadWaveform", mine[3][0]);
  EXPECT_EQ("0x00000000", mine[3][1]);
  EXPECT_EQ("in:MaxTimeMilliseconds=5000", mine[3].at(4));
  // The array after the call: its first five values (each in the shortest text that reads back
  // as the same double), its points, the count shown.
  std::string shown = "out:WaveformArray=";
  for (int i = 0; i < 5; ++i) {
    char text[32];
    shown.append(text, std::to_chars(text, text + sizeof text, first_[i]).ptr);
    shown += i < 4 ? " " : "/" + std::to_string(points_) + "/5";
  }
  EXPECT_EQ(shown, mine[3].at(5));
  EXPECT_EQ("IIviDriver.Close", mine[4][0]);
  EXPECT_EQ("IIviDriver.Close", records.back().at(0));
}

TEST_F(TracedSimSession, XsltprocAndABrowserShowOneRowPerCallWithTheFailureMarked) {
  const std::size_t calls = test::RecordCalls(test::ReadText(file_)).size();
  int status = 0;
  const std::string html = test::Run("xsltproc '" + dir_ / "trace.xslt" + "' '" + file_ + "' 2>&1", &status);
  ASSERT_EQ(0, status) << html;

  // The browser applies the style sheet the file names, as a person opening it would see it.
  const std::string profile = dir_ / "profile";
  const std::string dom = test::Run(
      "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-background-networking "
      "--disable-component-update --disable-sync --no-first-run --user-data-dir='" +
          profile + "' --allow-file-access-from-files --dump-dom 'file://" + file_ + "' 2>/dev/null",
      &status);
  ASSERT_EQ(0, status) << dom;
  for (const std::string* page : {&html, &dom}) {
    SCOPED_TRACE(page == &html ? "xsltproc" : "chromium");
    const std::string& p = *page;
    ASSERT_NE(std::string::npos, p.find("<table id=\"calls\">")) << p.substr(0, 2000);
    EXPECT_NE(std::string::npos, p.find("id=\"call-count\">" + std::to_string(calls) + "<")) << p.substr(0, 2000);
    EXPECT_NE(std::string::npos, p.find("id=\"failure-count\">1<"));
    // Every call once in the full table and once in its thread's table.
    EXPECT_EQ(2 * calls, Count(p, "<tr class=\"call"));
    EXPECT_EQ(2u, Count(p, "<tr class=\"call failure\""));
    EXPECT_NE(std::string::npos, p.find("IKorvaneMeasurement.ReadWaveform"));
    EXPECT_NE(std::string::npos, p.find("[" + std::to_string(points_) + " elements"));
    EXPECT_NE(std::string::npos, p.find(message_.substr(0, message_.find('\r'))));
    EXPECT_TRUE(std::regex_search(p, std::regex(R"(<td class="dur">[0-9,]+\.[0-9] (µ|&micro;|&#181;)s</td>)")));
  }
}

TEST_F(TracedSimSession, IoLogHasTheCommandsRepliesAndTheBlockByItsLength) {
  const std::string log = test::ReadText(dir_ / "io.log");
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GT(lines.size(), 6u) << log;
  const std::regex shape(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d s(\d+) (.*)$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, shape)) << lines[0];
  const std::string session = m[1];
  std::vector<std::string> what;
  for (const std::string& line : lines) {
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    EXPECT_EQ(session, m[1].str());
    what.push_back(m[2]);
  }
  EXPECT_EQ("open " + resource_, what.front());
  EXPECT_EQ("close", what.back());
  auto index = [&](const std::regex& r) {
    auto it = std::find_if(what.begin(), what.end(), [&](const std::string& w) { return std::regex_match(w, r); });
    return it == what.end() ? -1 : static_cast<int>(it - what.begin());
  };
  const int idn = index(std::regex(R"(-> "\*IDN\?\\n" \(6 B, \d+\.\d{3} ms\))"));
  const int reply = index(std::regex(R"(<- "[^"]*MSO-CD1000[^"]*\\n" \(\d+ B, \d+\.\d{3} ms\))"));
  const int scale = index(std::regex(R"(-> ":TIM:SCAL 0\.001\\n" \(\d+ B, .*)"));
  const int block = index(std::regex("<- #\\d" + std::to_string(2 * points_).insert(0, "0*") + "<" +
                                     std::to_string(2 * points_) + R"( bytes>"\\n" \(\d+ B, .*)"));
  EXPECT_GE(idn, 0) << log;
  EXPECT_EQ(idn + 1, reply) << log;
  EXPECT_GT(scale, reply) << log;
  EXPECT_GT(block, scale) << log;
  // No raw block bytes anywhere: every line is printable text.
  EXPECT_TRUE(std::all_of(log.begin(), log.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7F); }));
}

}  // namespace
}  // namespace korvane
