// A UDP service on the simulator's bind address: the portmapper's GETPORT over UDP and the
// DNS-SD responder. Datagrams sent to the broadcast address of the bind address's network
// reach it too (a second socket bound to that address), so that a broadcast query finds
// several simulators on 127.0.0.x side by side. Replies leave from the bind address.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SocketServer.h"

namespace korvane::sim {

class CUdpResponder {
 public:
  // The reply to a datagram, empty for none.
  using Answer = std::function<std::vector<uint8_t>(const uint8_t* data, size_t n, const sockaddr_in& from)>;
  // Binds at once (port 0: a free one). Throws std::system_error.
  CUdpResponder(const std::string& bind, uint16_t port, bool alsoBroadcast, Answer answer);
  ~CUdpResponder();
  CUdpResponder(const CUdpResponder&) = delete;
  CUdpResponder& operator=(const CUdpResponder&) = delete;

  uint16_t port() const { return port_; }
  void start();
  void stop() noexcept;  // safe from a signal handler
  void join();

 private:
  void loop();
  Answer answer_;
  CUniqueFd unicast_, broadcast_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The broadcast address (network order) of the interface network holding `address` (network
// order): the interface's own, or the loopback network's 127.255.255.255; 0 when none.
in_addr_t BroadcastOf(in_addr_t address);

}  // namespace korvane::sim
