#include "UdpResponder.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace korvane::sim {

in_addr_t BroadcastOf(in_addr_t address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  in_addr_t found = 0;
  for (const ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
    const in_addr_t a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    const in_addr_t mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
    if ((a & mask) != (address & mask) || mask == 0xFFFFFFFF) continue;
    if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
      found = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
    else if (i->ifa_flags & IFF_LOOPBACK) found = address | ~mask;
  }
  freeifaddrs(list);
  return found;
}

namespace {

CUniqueFd BoundUdp(in_addr_t address, uint16_t port, bool shared) {
  CUniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s) throw std::system_error(errno, std::generic_category(), "socket");
  const int on = 1;
  // Every simulator on the network binds the same broadcast address and port.
  if (shared) ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = address;
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::system_error(errno, std::generic_category(), "UDP bind to port " + std::to_string(port));
  return s;
}

}  // namespace

CUdpResponder::CUdpResponder(const std::string& bind, uint16_t port, bool alsoBroadcast, Answer answer)
    : answer_(std::move(answer)) {
  in_addr a{};
  if (inet_pton(AF_INET, bind.c_str(), &a) != 1)
    throw std::system_error(EINVAL, std::generic_category(), "bad bind address " + bind);
  unicast_ = BoundUdp(a.s_addr, port, false);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(unicast_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.sin_port);
  if (alsoBroadcast && a.s_addr != htonl(INADDR_ANY))
    if (const in_addr_t b = BroadcastOf(a.s_addr)) broadcast_ = BoundUdp(b, port_, true);
}

CUdpResponder::~CUdpResponder() {
  stop();
  join();
}

void CUdpResponder::start() {
  thread_ = std::thread([this] { loop(); });
}
void CUdpResponder::stop() noexcept { stop_ = true; }
void CUdpResponder::join() {
  if (thread_.joinable()) thread_.join();
}

void CUdpResponder::loop() {
  std::vector<uint8_t> buffer(9000);
  pollfd fds[2] = {{unicast_.get(), POLLIN, 0}, {broadcast_ ? broadcast_.get() : -1, POLLIN, 0}};
  while (!stop_) {
    // A short wait, so that stop() (from a signal handler) needs no wake-up.
    if (::poll(fds, 2, 100) <= 0) continue;
    for (const pollfd& p : fds) {
      if (p.fd < 0 || !(p.revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(p.fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &len);
      if (n <= 0) continue;
      const std::vector<uint8_t> reply = answer_(buffer.data(), static_cast<size_t>(n), from);
      if (!reply.empty())
        ::sendto(unicast_.get(), reply.data(), reply.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from),
                 sizeof from);
    }
  }
}

}  // namespace korvane::sim
