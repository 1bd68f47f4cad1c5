// The service request callback of the flat C API over HiSLIP: the request raised through a
// second session reaches the callback with its status byte and context, the callback may use
// the session, and a null callback removes it. Over SOCKET the call fails and says why.
#include <kvscope.h>

#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Received {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> stbs;
  std::string esr;  // what the callback's own query on the session read
  bool Await(std::size_t n) {
    std::unique_lock lk(m);
    return cv.wait_for(lk, 3s, [&] { return stbs.size() >= n; });
  }
};

void OnRequest(KVScopeSession session, uint8_t stb, void* context) {
  auto* r = static_cast<Received*>(context);
  char esr[32] = {};
  size_t needed = 0;
  const bool read = KVScope_direct_io_query(session, "*ESR?", sizeof esr, esr, &needed) == KVSCOPE_SUCCESS;
  std::lock_guard lk(r->m);
  r->stbs.push_back(stb);
  r->esr = read ? esr : "query failed";
  r->cv.notify_all();
}

std::string LastError(KVScopeSession s) {
  char text[512] = {};
  size_t needed = 0;
  KVScope_last_error_message(s, sizeof text, text, &needed);
  return text;
}

class AnsiCEvents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sim_ = new korvane::sim::test::SimProcess({"--port", "0", "--hislip-port", "0"}, 2); }
  static void TearDownTestSuite() { delete sim_; }
  static KVScopeSession Open(const std::string& resource) {
    KVScopeSession s = KVSCOPE_INVALID_SESSION;
    EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_init_with_options(resource.c_str(), false, false, "cache=false", &s));
    return s;
  }
  static std::string Hislip() {
    return "TCPIP0::127.0.0.1::hislip0," + std::to_string(sim_->announcedPort("hislip ")) + "::INSTR";
  }
  static korvane::sim::test::SimProcess* sim_;
};
korvane::sim::test::SimProcess* AnsiCEvents::sim_ = nullptr;

TEST_F(AnsiCEvents, CallbackGetsTheRequestOfAnotherSessionUntilRemoved) {
  ASSERT_GT(sim_->announcedPort("hislip "), 0);
  KVScopeSession listener = Open(Hislip()), raiser = Open(Hislip());
  ASSERT_NE(listener, KVSCOPE_INVALID_SESSION);
  ASSERT_NE(raiser, KVSCOPE_INVALID_SESSION);
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(raiser, "*SRE 0;*ESE 0;*CLS\n"));
  Received r;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_service_request_handler_set(listener, &OnRequest, &r)) << LastError(listener);
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(raiser, "*SRE 32;*ESE 1;*OPC\n"));
  ASSERT_TRUE(r.Await(1)) << "the callback was not called";
  {
    std::lock_guard lk(r.m);
    EXPECT_EQ(r.stbs[0] & 0x60, 0x60) << r.stbs[0];
    EXPECT_EQ(std::atoi(r.esr.c_str()) & 1, 1) << r.esr;  // the *OPC event, read by the callback itself
  }
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_service_request_handler_set(listener, nullptr, nullptr));
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(raiser, "*CLS\n"));
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(raiser, "*OPC\n"));
  std::this_thread::sleep_for(200ms);
  {
    std::lock_guard lk(r.m);
    EXPECT_EQ(r.stbs.size(), 1u);
  }
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(raiser, "*SRE 0;*ESE 0;*CLS\n"));
  EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_close(raiser));
  EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_close(listener));
}

TEST_F(AnsiCEvents, SocketSessionsRefuseTheCallbackSayingWhy) {
  KVScopeSession s = Open("TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET");
  ASSERT_NE(s, KVSCOPE_INVALID_SESSION);
  Received r;
  EXPECT_LT(KVScope_service_request_handler_set(s, &OnRequest, &r), 0);
  EXPECT_NE(LastError(s).find("SOCKET"), std::string::npos) << LastError(s);
  char idn[256] = {};
  size_t needed = 0;
  EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_query(s, "*IDN?", sizeof idn, idn, &needed));  // still usable
  EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_close(s));
}

}  // namespace
