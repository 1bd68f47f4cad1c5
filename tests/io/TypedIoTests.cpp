// The typed write / read / query families of the I/O session over a socket session to a loopback
// instrument: what goes on the wire per value type and shape, what comes back, the range checks,
// and that every failure leaves the session answering the next query.
#include "base/ErrorReporter.h"
#include "support/TestSupport.h"
#include "io/VisaComSession.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace korvane {
namespace {

using visacom::testing::Peer;
using visacom::testing::ScriptedServer;

// Literal bytes, embedded zeros included.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

class CountingPoller final : public IInstrErrorPoller {
 public:
  HRESULT PollInstrumentErrors() override { return ++polls, S_OK; }
  int polls = 0;
};

// Records every line; a line ending in "?" is answered with the next queued reply.
class Instrument {
 public:
  void Reply(std::string bytes) {
    std::lock_guard<std::mutex> lock(m_);
    replies_.push_back(std::move(bytes));
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_);
    return lines_;
  }
  void Serve(Peer& p) {
    for (;;) {
      std::string line = p.RecvLine();
      if (line.empty()) return;
      std::lock_guard<std::mutex> lock(m_);
      lines_.push_back(line);
      if (line.size() >= 2 && line[line.size() - 2] == '?' && !replies_.empty()) {
        p.Send(replies_.front());
        replies_.pop_front();
      }
    }
  }

 private:
  std::mutex m_;
  std::deque<std::string> replies_;
  std::vector<std::string> lines_;
};

class TypedIo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, io_.Open(server_.Resource().c_str(), &poller_, &reporter_, &context_))
        << test::TakeErrorInfo().description;
    ASSERT_EQ(S_OK, io_.SetTimeout(2000));
  }
  void TearDown() override { io_.Close(); }

  // Every line the instrument has read so far, once a query has gone through behind them.
  std::vector<std::string> Sent() {
    instrument_.Reply("1\n");
    LONG one = 0;
    EXPECT_EQ(S_OK, io_.QueryInt32("SYNC?", &one, false));
    std::vector<std::string> lines = instrument_.Lines();
    lines.pop_back();
    return lines;
  }
  void ExpectUsable() {
    instrument_.Reply("7\n");
    short v = 0;
    EXPECT_EQ(S_OK, io_.QueryInt16("NEXT?", &v, false));
    EXPECT_EQ(7, v);
  }

  ComInit com_;
  Instrument instrument_;
  ScriptedServer server_{{[this](Peer& p) { instrument_.Serve(p); }}};
  test::TestCallContext context_;
  CKorvaneErrorReporter reporter_{&context_};
  CountingPoller poller_;
  cKorvaneVisaComSession io_;
};

TEST_F(TypedIo, ScalarWritesPutEachTypeOnTheWireExactly) {
  EXPECT_EQ(S_OK, io_.WriteByte("B", 200, false));
  EXPECT_EQ(S_OK, io_.WriteInt16("S", -32768, false));
  EXPECT_EQ(S_OK, io_.WriteInt32("L", -2147483647 - 1, false));
  EXPECT_EQ(S_OK, io_.WriteInt64("Q", 9007199254740993LL, false));  // not representable as a double
  EXPECT_EQ(S_OK, io_.WriteReal32("F", 0.1f, false));               // its shortest decimal, not 0.100000001
  EXPECT_EQ(S_OK, io_.WriteReal64("D", -1.25e-7, false));
  EXPECT_EQ((std::vector<std::string>{"B 200\n", "S -32768\n", "L -2147483648\n", "Q 9007199254740993\n", "F 0.1\n",
                                      "D -1.25e-07\n"}),
            Sent());
  EXPECT_EQ(0, poller_.polls);
}

TEST_F(TypedIo, ListsAndBlocksFromArraysAndSafeArrays) {
  const short shorts[] = {1, -2, 300};
  const float floats[] = {0.1f, 2.5f};
  const short words[] = {0x0102, 0x0304};
  EXPECT_EQ(S_OK, io_.WriteInt16List("A", shorts, 3, false));
  EXPECT_EQ(S_OK, io_.WriteReal32List("R", floats, 2, false));
  EXPECT_EQ(S_OK, io_.WriteInt16Block("W", words, 2, false));

  SafeArrayPtr longs(SafeArrayCreateVector(VT_I4, 0, 2));
  {
    SafeArrayAccess<LONG> d(longs.get());
    d.data()[0] = 5;
    d.data()[1] = -6;
  }
  EXPECT_EQ(S_OK, io_.WriteList("V", longs.get(), true));
  EXPECT_EQ(S_OK, io_.WriteBlock("X", longs.get(), false));
  EXPECT_EQ((std::vector<std::string>{"A 1,-2,300\n", "R 0.1,2.5\n", Bytes("W #14\x01\x02\x03\x04\n"), "V 5,-6\n",
                                      Bytes("X #18\0\0\0\5\xff\xff\xff\xfa\n")}),
            Sent());
  EXPECT_EQ(1, poller_.polls);  // only the write asked to poll
}

TEST_F(TypedIo, ArraysOfOtherElementTypesAreRefusedBeforeAnythingIsSent) {
  SafeArrayPtr texts(SafeArrayCreateVector(VT_BSTR, 0, 1));
  EXPECT_TRUE(FAILED(io_.WriteList("T", texts.get(), false)));
  EXPECT_NE(std::string::npos,
            test::TakeErrorInfo().description.find("Unknown type of array passed to WriteList function."));
  EXPECT_TRUE(FAILED(io_.WriteBlock("T", texts.get(), false)));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(TypedIo, QueriesReadEachShapeBack) {
  instrument_.Reply("255\n");
  instrument_.Reply("-9007199254740993\n");
  instrument_.Reply("1,2.5,-3e2\n");
  instrument_.Reply("4,-5,6\n");
  instrument_.Reply("0.5,1e-3\n");
  instrument_.Reply(Bytes("#14\x01\x02\xff\xfe\n"));
  instrument_.Reply(Bytes("#18\x3f\x80\0\0\xc0\0\0\0\n"));

  BYTE b = 0;
  EXPECT_EQ(S_OK, io_.QueryByte("B?", &b, true));
  EXPECT_EQ(255, b);
  LONGLONG q = 0;
  EXPECT_EQ(S_OK, io_.QueryInt64("Q?", &q, true));
  EXPECT_EQ(-9007199254740993LL, q);

  double reals[4] = {};
  LONG n = 4;
  EXPECT_EQ(S_OK, io_.QueryReal64List("D?", reals, &n, false));
  ASSERT_EQ(3, n);
  EXPECT_DOUBLE_EQ(-300.0, reals[2]);

  SafeArrayPtr longs;
  EXPECT_EQ(S_OK, io_.QueryInt32List("L?", longs.Receive(), false));
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(longs.get(), &vt);
  EXPECT_EQ(VT_I4, vt);
  SafeArrayAccess<LONG> l(longs.get());
  ASSERT_EQ(3u, l.size());
  EXPECT_EQ(-5, l.data()[1]);

  SafeArrayPtr floats;
  EXPECT_EQ(S_OK, io_.QueryReal32List("F?", floats.Receive(), false));
  SafeArrayGetVartype(floats.get(), &vt);
  EXPECT_EQ(VT_R4, vt);
  SafeArrayAccess<float> f(floats.get());
  ASSERT_EQ(2u, f.size());
  EXPECT_FLOAT_EQ(1e-3f, f.data()[1]);

  short words[4] = {};
  n = 4;
  EXPECT_EQ(S_OK, io_.QueryInt16Block("W?", words, &n, false));
  ASSERT_EQ(2, n);
  EXPECT_EQ(0x0102, words[0]);
  EXPECT_EQ(-2, words[1]);

  float pair[2] = {};
  n = 2;
  EXPECT_EQ(S_OK, io_.QueryReal32Block("Z?", pair, &n, false));
  EXPECT_FLOAT_EQ(1.0f, pair[0]);
  EXPECT_FLOAT_EQ(-2.0f, pair[1]);
  EXPECT_EQ(2, poller_.polls);
}

TEST_F(TypedIo, OutOfRangeRepliesFailWithTheValueAndTheTargetAndTheSessionGoesOn) {
  instrument_.Reply("40000\n");
  short s = 0;
  EXPECT_TRUE(FAILED(io_.QueryInt16("S?", &s, true)));
  EXPECT_NE(std::string::npos, test::TakeErrorInfo().description.find(
                                   "Overflow or underflow reading value of '4.000000e+04' into a short."));
  ExpectUsable();

  instrument_.Reply("1e39\n");
  float f = 0;
  EXPECT_TRUE(FAILED(io_.QueryReal32("F?", &f, false)));
  EXPECT_NE(std::string::npos,
            test::TakeErrorInfo().description.find(
                "Overflow or underflow reading value of '1.000000e+39' into a single-precision float."));
  ExpectUsable();

  instrument_.Reply("-1\n");
  BYTE b = 0;
  EXPECT_TRUE(FAILED(io_.QueryByte("B?", &b, false)));
  EXPECT_NE(std::string::npos, test::TakeErrorInfo().description.find("'-1.000000e+00' into a BYTE."));
  ExpectUsable();

  instrument_.Reply("1,2,1e40\n");  // the last element overflows a list of floats
  float fs[3] = {};
  LONG n = 3;
  EXPECT_TRUE(FAILED(io_.QueryReal32List("FL?", fs, &n, false)));
  EXPECT_EQ(0, n);
  ExpectUsable();
  EXPECT_EQ(0, poller_.polls);  // no status check after a failure
}

TEST_F(TypedIo, NullOutputsAndClosedSessionsAreReportedWithoutIo) {
  LONG n = 2;
  EXPECT_TRUE(FAILED(io_.QueryInt16List("S?", static_cast<short*>(nullptr), &n, false)));
  const std::string nullText = test::TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, nullText.find("QueryInt16List")) << nullText;
  EXPECT_NE(std::string::npos, nullText.find("pValues")) << nullText;
  EXPECT_TRUE(Sent().empty());

  io_.Close();
  double d = 0;
  EXPECT_TRUE(FAILED(io_.ReadReal64(&d)));
  EXPECT_NE(std::string::npos,
            test::TakeErrorInfo().description.find("A connection to the instrument has not been established."));
  EXPECT_TRUE(FAILED(io_.WriteInt32("L", 1, true)));
}

}  // namespace
}  // namespace korvane
