// What the VXI-11 and HiSLIP front ends share: a listening socket served by one thread per
// connection, and the instrument's message exchange with the protocol framing left out.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Instrument.h"
#include "SocketServer.h"

namespace korvane::sim {

class CTcpFrontEnd {
 public:
  using Serve = std::function<void(int fd)>;
  // Binds and listens at once (port 0: a free one). Throws std::system_error.
  CTcpFrontEnd(const std::string& bind, uint16_t port, Serve serve);
  ~CTcpFrontEnd();
  CTcpFrontEnd(const CTcpFrontEnd&) = delete;
  CTcpFrontEnd& operator=(const CTcpFrontEnd&) = delete;

  uint16_t port() const { return port_; }
  void start();          // accepts on a thread of its own
  void stop() noexcept;  // safe from a signal handler
  void join();

  // Blocking helpers for the connection threads; false when the peer went away or stop().
  bool readFull(int fd, void* data, size_t n);
  bool sendAll(int fd, const iovec* iov, size_t count);
  bool sendAll(int fd, const void* data, size_t n) {
    iovec v{const_cast<void*>(data), n};
    return sendAll(fd, &v, 1);
  }
  // Waits up to timeoutMs (-1: for ever) for the stop request; true when it came.
  bool waitStop(int timeoutMs);

 private:
  void acceptLoop();
  Serve serve_;
  CUniqueFd listen_, wakeRead_, wakeWrite_;
  uint16_t port_ = 0;
  std::thread acceptor_;
  struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Client> clients_;
};

// Program messages in, response messages out, as the instrument's message exchange does it:
// a message ends at a line feed or at END; each response is the reply units joined by ';' and
// a line feed, and ends with END.
class CMessagePort {
 public:
  CMessagePort(CInstrument& instrument, size_t maxMessageBytes) : instrument_(instrument), max_(maxMessageBytes) {}

  void write(const char* data, size_t n, bool end);
  void clear();
  bool hasOutput();
  // When the front response may go out (the instrument's reply delay).
  std::chrono::steady_clock::time_point readyAt();
  // The next bytes of the front response, up to n, as pieces valid until the next call.
  // `end`: the response is complete with them; `drop`: the connection closes after them.
  size_t take(size_t n, std::vector<iovec>& out, bool& end, bool& drop);
  // The status byte, with MAV while a response waits.
  uint8_t statusByte();

 private:
  struct Item {
    Reply reply;
    std::vector<iovec> pieces;
    size_t total = 0, sent = 0, piece = 0, pieceOffset = 0;
    std::chrono::steady_clock::time_point readyAt;
  };
  void execute(std::string_view message);
  void popFinished();

  CInstrument& instrument_;
  size_t max_;
  std::string input_;
  bool overrun_ = false;
  std::deque<Item> output_;
};

}  // namespace korvane::sim
