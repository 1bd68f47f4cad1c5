// Replies as a network delivers them: split at every byte, in single bytes, cut short, or with
// the connection closed half-way. A scripted server on 127.0.0.1 answers each command line with
// the next scripted reply; the driver's formatted query over a socket session must parse every
// delivery the same way, and must fail, not succeed with less, when the bytes stop coming.
#include "base/ErrorReporter.h"
#include "support/TestSupport.h"
#include "io/VisaComSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Answers each line it receives with the next scripted reply, sent in the given pieces with a
// pause between them so that the reader meets each piece on its own.
class ScriptedServer {
 public:
  struct Reply {
    std::string bytes;
    std::vector<std::size_t> cuts;  // send boundaries, ascending
    bool closeAfter = false;        // drop the connection after the last piece
  };

  ScriptedServer() {
    listen_.reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_.get() < 0 || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_.get(), 4) != 0 || ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  void Push(Reply r) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(r));
  }

 private:
  // Waits for `fd` to become readable, giving up when the server stops.
  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }

  void Serve() {
    while (WaitReadable(listen_.get())) {
      Fd client(::accept(listen_.get(), nullptr, nullptr));
      if (client.get() < 0) continue;
      const int one = 1;
      ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::string line;
      char c;
      while (WaitReadable(client.get()) && ::recv(client.get(), &c, 1, 0) == 1) {
        if (c != '\n') {
          line += c;
          continue;
        }
        Reply reply;
        bool have = false;
        {
          std::lock_guard lock(mutex_);
          line.clear();
          if (!replies_.empty()) {
            reply = std::move(replies_.front());
            replies_.pop_front();
            have = true;
          }
        }
        if (!have) continue;  // no answer scripted: the reply never comes
        std::size_t from = 0;
        reply.cuts.push_back(reply.bytes.size());
        for (std::size_t to : reply.cuts) {
          if (to <= from) continue;
          if (from > 0) std::this_thread::sleep_for(2ms);
          ::send(client.get(), reply.bytes.data() + from, to - from, MSG_NOSIGNAL);
          from = to;
        }
        if (reply.closeAfter) break;
      }
    }
  }

  Fd listen_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<Reply> replies_;
  std::thread thread_;
};

class NoPoller final : public IInstrErrorPoller {
 public:
  HRESULT PollInstrumentErrors() override { return S_OK; }
};

class FragmentedReply : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(server_.port(), 0);
    const std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(server_.port()) + "::SOCKET";
    ASSERT_EQ(S_OK, io_.Open(resource.c_str(), &poller_, &reporter_, &context_)) << test::TakeErrorInfo().description;
    ASSERT_EQ(S_OK, io_.SetTimeout(2000));
  }
  void TearDown() override { io_.Close(); }

  // Every split of `reply` in two, then the whole of it one byte at a time.
  template <typename Check>
  void Sweep(const std::string& reply, Check check) {
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
      server_.Push({reply, {cut}});
      SCOPED_TRACE("split after byte " + std::to_string(cut));
      check();
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < reply.size(); ++i) everyByte.push_back(i);
    server_.Push({reply, everyByte});
    SCOPED_TRACE("one byte at a time");
    check();
  }

  ComInit com_;
  ScriptedServer server_;
  test::TestCallContext context_;
  CKorvaneErrorReporter reporter_{&context_};
  NoPoller poller_;
  cKorvaneVisaComSession io_;
};

TEST_F(FragmentedReply, EverySplitParsesAlike) {
  Sweep("+1.2345678901234E-03\n", [&] {
    double v = 0;
    ASSERT_EQ(S_OK, io_.FormattedQuery(":MEAS:VPP?", "%lf", &v)) << test::TakeErrorInfo().description;
    EXPECT_DOUBLE_EQ(1.2345678901234e-3, v);
  });

  Sweep("-113,\"Undefined header\"\n", [&] {
    int code = 0;
    std::string text;
    ASSERT_EQ(S_OK, io_.FormattedQuery(":SYST:ERR?", "%d,%$Ct", &code, &text)) << test::TakeErrorInfo().description;
    EXPECT_EQ(-113, code);
    EXPECT_EQ("\"Undefined header\"", text);
  });

  // Binary data full of line feeds, the message's own one last.
  const std::string data{"\n\x01\n\n\x7f\xff\n\x00\n\n", 10};
  Sweep("#210" + data + "\n", [&] {
    BYTE got[16] = {};
    LONG count = sizeof got;
    ASSERT_EQ(S_OK, io_.FormattedQuery(":WAV:DATA?", "%#b", &count, got)) << test::TakeErrorInfo().description;
    ASSERT_EQ(10, count);
    EXPECT_EQ(data, std::string(reinterpret_cast<char*>(got), 10));
  });
}

TEST_F(FragmentedReply, BlockShorterThanItsHeaderIsAnErrorAndClearRecovers) {
  ASSERT_EQ(S_OK, io_.SetTimeout(300));
  // The header announces a million bytes; a hundred arrive, then nothing.
  server_.Push({"#71000000" + std::string(100, 'x'), {}});
  std::vector<BYTE> got(2000, 0);
  LONG count = static_cast<LONG>(got.size());
  const auto start = Clock::now();
  EXPECT_TRUE(FAILED(io_.FormattedQuery(":WAV:DATA?", "%#b", &count, got.data())));
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_FALSE(test::TakeErrorInfo().description.empty());

  ASSERT_EQ(S_OK, io_.Clear());
  server_.Push({"+7.5\n", {}});
  double v = 0;
  EXPECT_EQ(S_OK, io_.FormattedQuery(":MEAS:VPP?", "%lf", &v)) << test::TakeErrorInfo().description;
  EXPECT_DOUBLE_EQ(7.5, v);
}

TEST_F(FragmentedReply, ConnectionClosedMidBlockIsAnErrorWithoutAHang) {
  ASSERT_EQ(S_OK, io_.SetTimeout(1000));
  server_.Push({"#3100" + std::string(50, 'y'), {20}, true});
  BYTE got[100] = {};
  LONG count = sizeof got;
  const auto start = Clock::now();
  EXPECT_TRUE(FAILED(io_.FormattedQuery(":WAV:DATA?", "%#b", &count, got)));
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_FALSE(test::TakeErrorInfo().description.empty());
  // The connection is gone for good: the next query fails too, and as quickly.
  double v = 0;
  const auto again = Clock::now();
  EXPECT_TRUE(FAILED(io_.FormattedQuery(":MEAS:VPP?", "%lf", &v)));
  EXPECT_LT(Clock::now() - again, 3s);
  test::TakeErrorInfo();
}

}  // namespace
}  // namespace korvane
