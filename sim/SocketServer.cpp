#include "SocketServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <vector>

namespace korvane::sim {

namespace {

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) throwErrno("fcntl");
}

}  // namespace

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

CUniqueFd::~CUniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

CSocketServer::CSocketServer(CInstrument& instrument, ServerOptions options)
    : instrument_(instrument), options_(std::move(options)) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) < 0) throwErrno("pipe");
  wakeRead_ = CUniqueFd(pipeFds[0]);
  wakeWrite_ = CUniqueFd(pipeFds[1]);

  listen_ = ListenTcp(options_.bind, options_.port, port_);
  setNonBlocking(listen_.get());
}

CUniqueFd ListenTcp(const std::string& bind, uint16_t port, uint16_t& boundPort) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  const std::string host = bind == "localhost" ? "127.0.0.1" : bind;
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
    throw std::system_error(std::make_error_code(std::errc::invalid_argument), "bad bind address " + bind);
  CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) throwErrno("socket");
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) throwErrno("bind");
  if (::listen(fd.get(), 16) < 0) throwErrno("listen");
  socklen_t len = sizeof addr;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) < 0) throwErrno("getsockname");
  boundPort = ntohs(addr.sin_port);
  return fd;
}

CSocketServer::~CSocketServer() {
  stop();
  reap(true);
}

void CSocketServer::stop() noexcept {
  const char b = 1;
  // The pipe stays readable from here on, which every waiting thread sees.
  [[maybe_unused]] const ssize_t n = ::write(wakeWrite_.get(), &b, 1);
}

bool CSocketServer::waitStop(int timeoutMs) {
  pollfd p{wakeRead_.get(), POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

void CSocketServer::reap(bool all) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (all || it->done->load()) {
      if (it->thread.joinable()) it->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void CSocketServer::run() {
  while (true) {
    pollfd p[2] = {{listen_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    const int r = ::poll(p, 2, 1000);
    if (r < 0 && errno != EINTR) throwErrno("poll");
    if (p[1].revents) break;
    reap(false);
    if (r <= 0 || !(p[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;  // the client went away before we took it, or out of descriptors
    CUniqueFd owned(fd);
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
      clients_.push_back({std::thread([this, fd, done] {
                            try {
                              serveClient(fd);
                            } catch (const std::exception& e) {
                              std::fprintf(stderr, "korvane-scope-sim: client dropped: %s\n", e.what());
                            } catch (...) {
                              std::fprintf(stderr, "korvane-scope-sim: client dropped\n");
                            }
                            ::close(fd);
                            done->store(true);
                          }),
                          done});
      owned.release();  // the thread closes it
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "korvane-scope-sim: cannot serve client: %s\n", e.what());
    }
  }
  reap(true);
}

void CSocketServer::serveClient(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string in;
  size_t scanned = 0;
  bool overrun = false;  // dropping the rest of an over-long message
  std::vector<char> buf(64 * 1024);
  while (true) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n == 0) return;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return;
    }
    in.append(buf.data(), static_cast<size_t>(n));
    size_t start = 0;
    while (true) {
      const size_t nl = in.find('\n', scanned);
      if (nl == std::string::npos) break;
      std::string_view line(in.data() + start, nl - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (overrun) {
        overrun = false;
      } else if (!line.empty()) {
        const Reply reply = instrument_.execute(line);
        // Rounded up: a reply held until an operation ends must not go out before it.
        if (reply.delaySeconds > 0 && waitStop(static_cast<int>(std::ceil(reply.delaySeconds * 1000)))) return;
        if (!reply.mute && reply.hasOutput() && !sendReply(fd, reply)) return;
      }
      start = nl + 1;
      scanned = start;
    }
    in.erase(0, start);
    scanned = in.size();
    if (in.size() > options_.maxMessageBytes) {
      if (!overrun) instrument_.pushError(err::kInputOverrun.code, err::kInputOverrun.message);
      overrun = true;
      in.clear();
      scanned = 0;
    }
  }
}

bool CSocketServer::sendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, data, n, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return false;
      pollfd p[2] = {{fd, POLLOUT, 0}, {wakeRead_.get(), POLLIN, 0}};
      if (::poll(p, 2, -1) < 0 && errno != EINTR) return false;
      if (p[1].revents) return false;
      continue;
    }
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool CSocketServer::sendFaulty(int fd, const Reply& reply) {
  if (reply.floodBytes > 0) {
    // Filler that looks like reply text but never ends the message.
    std::string chunk;
    while (chunk.size() < 64 * 1024) chunk += "FLOOD,0123456789,";
    for (uint64_t left = reply.floodBytes; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
      if (!sendAll(fd, chunk.data(), n)) return false;
      left -= n;
    }
    return true;
  }
  const std::string all = reply.flatten();
  if (reply.dripSeconds > 0) {
    for (char c : all)
      if (!sendAll(fd, &c, 1) || waitStop(static_cast<int>(reply.dripSeconds * 1000))) return false;
    return true;
  }
  const size_t first = std::min(all.size(), *reply.stallAfter);
  if (!sendAll(fd, all.data(), first)) return false;
  if (waitStop(static_cast<int>(reply.stallSeconds * 1000))) return false;
  return sendAll(fd, all.data() + first, all.size() - first);
}

bool CSocketServer::sendReply(int fd, const Reply& reply) {
  if (reply.floodBytes > 0 || reply.dripSeconds > 0 || reply.stallAfter) return sendFaulty(fd, reply);
  static const char kSemicolon = ';', kNewline = '\n';
  std::vector<iovec> iov;
  for (size_t i = 0; i < reply.units.size(); ++i) {
    if (i) iov.push_back({const_cast<char*>(&kSemicolon), 1});
    const Reply::Unit& u = reply.units[i];
    const std::string& s = u.blob ? *u.blob : u.text;
    if (!s.empty()) iov.push_back({const_cast<char*>(s.data()), s.size()});
  }
  iov.push_back({const_cast<char*>(&kNewline), 1});

  size_t budget = reply.dropAfter.value_or(SIZE_MAX);
  size_t first = 0;
  while (first < iov.size() && budget > 0) {
    // Trim the vector to the byte budget the fault switch allows.
    std::vector<iovec> chunk;
    size_t left = budget;
    for (size_t i = first; i < iov.size() && left > 0; ++i) {
      const size_t take = std::min(left, iov[i].iov_len);
      chunk.push_back({iov[i].iov_base, take});
      left -= take;
    }
    msghdr msg{};
    msg.msg_iov = chunk.data();
    msg.msg_iovlen = std::min<size_t>(chunk.size(), IOV_MAX);
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return false;
      pollfd p[2] = {{fd, POLLOUT, 0}, {wakeRead_.get(), POLLIN, 0}};
      if (::poll(p, 2, -1) < 0 && errno != EINTR) return false;
      if (p[1].revents) return false;
      continue;
    }
    size_t sent = static_cast<size_t>(n);
    budget -= std::min(budget, sent);
    while (sent > 0 && first < iov.size()) {
      if (sent >= iov[first].iov_len) {
        sent -= iov[first].iov_len;
        ++first;
      } else {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + sent;
        iov[first].iov_len -= sent;
        sent = 0;
      }
    }
  }
  return !reply.dropAfter.has_value();  // a dropped reply closes the connection
}

}  // namespace korvane::sim
