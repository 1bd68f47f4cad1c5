// DNS-SD responder: answers PTR queries for the services the simulator serves with their PTR,
// SRV, TXT and A records, to the sender (one-shot and unicast queries), on the bind address
// only. It never announces unasked: multicast is the querier's business.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "UdpResponder.h"

namespace korvane::sim {

struct AnnouncedService {
  std::string type;  // "_hislip._tcp"
  uint16_t port = 0;
  std::vector<std::string> txt;
};

class CMdnsResponder {
 public:
  // Throws std::system_error when the port cannot be bound.
  CMdnsResponder(const std::string& bind, uint16_t port, std::string name, std::vector<AnnouncedService> services);
  uint16_t port() const { return udp_->port(); }
  void start() { udp_->start(); }
  void stop() noexcept { udp_->stop(); }
  void join() { udp_->join(); }

  // The reply to one query datagram; empty when it asks for nothing of ours (or is no query).
  std::vector<uint8_t> answer(const uint8_t* p, size_t n) const;

 private:
  std::string name_, host_;
  uint32_t address_ = 0;  // host order
  std::vector<AnnouncedService> services_;
  std::unique_ptr<CUdpResponder> udp_;
};

}  // namespace korvane::sim
