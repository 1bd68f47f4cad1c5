#include "FrontEnd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace korvane::sim {

namespace {
[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }
}  // namespace

CTcpFrontEnd::CTcpFrontEnd(const std::string& bind, uint16_t port, Serve serve) : serve_(std::move(serve)) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) < 0) throwErrno("pipe");
  wakeRead_ = CUniqueFd(pipeFds[0]);
  wakeWrite_ = CUniqueFd(pipeFds[1]);
  listen_ = ListenTcp(bind, port, port_);
}

CTcpFrontEnd::~CTcpFrontEnd() {
  stop();
  join();
}

void CTcpFrontEnd::start() {
  acceptor_ = std::thread([this] { acceptLoop(); });
}

void CTcpFrontEnd::stop() noexcept {
  const char b = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeWrite_.get(), &b, 1);
}

void CTcpFrontEnd::join() {
  if (acceptor_.joinable()) acceptor_.join();
  for (Client& c : clients_)
    if (c.thread.joinable()) c.thread.join();
  clients_.clear();
}

bool CTcpFrontEnd::waitStop(int timeoutMs) {
  pollfd p{wakeRead_.get(), POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

void CTcpFrontEnd::acceptLoop() {
  while (true) {
    pollfd p[2] = {{listen_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    const int r = ::poll(p, 2, 1000);
    if (r < 0 && errno != EINTR) return;
    if (p[1].revents) return;
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
    if (r <= 0 || !(p[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
      clients_.push_back({std::thread([this, fd, done] {
                            try {
                              serve_(fd);
                            } catch (const std::exception& e) {
                              std::fprintf(stderr, "korvane-scope-sim: client dropped: %s\n", e.what());
                            }
                            ::close(fd);
                            done->store(true);
                          }),
                          done});
    } catch (const std::system_error& e) {
      ::close(fd);
      std::fprintf(stderr, "korvane-scope-sim: cannot serve client: %s\n", e.what());
    }
  }
}

bool CTcpFrontEnd::readFull(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n) {
    const ssize_t r = ::recv(fd, p, n, MSG_DONTWAIT);
    if (r > 0) {
      p += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return false;
    if (errno != EAGAIN && errno != EINTR) return false;
    pollfd w[2] = {{fd, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(w, 2, -1) < 0 && errno != EINTR) return false;
    if (w[1].revents) return false;
  }
  return true;
}

bool CTcpFrontEnd::sendAll(int fd, const iovec* iov, size_t count) {
  std::vector<iovec> left(iov, iov + count);
  size_t first = 0;
  while (first < left.size()) {
    if (left[first].iov_len == 0) {
      ++first;
      continue;
    }
    msghdr msg{};
    msg.msg_iov = left.data() + first;
    msg.msg_iovlen = std::min<size_t>(left.size() - first, IOV_MAX);
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return false;
      pollfd w[2] = {{fd, POLLOUT, 0}, {wakeRead_.get(), POLLIN, 0}};
      if (::poll(w, 2, -1) < 0 && errno != EINTR) return false;
      if (w[1].revents) return false;
      continue;
    }
    size_t sent = static_cast<size_t>(n);
    while (sent > 0 && first < left.size()) {
      if (sent >= left[first].iov_len) {
        sent -= left[first].iov_len;
        ++first;
      } else {
        left[first].iov_base = static_cast<char*>(left[first].iov_base) + sent;
        left[first].iov_len -= sent;
        sent = 0;
      }
    }
  }
  return true;
}

void CMessagePort::write(const char* data, size_t n, bool end) {
  input_.append(data, n);
  size_t start = 0;
  for (size_t nl; (nl = input_.find('\n', start)) != std::string::npos; start = nl + 1) {
    if (overrun_) {
      overrun_ = false;
      continue;
    }
    execute(std::string_view(input_).substr(start, nl - start));
  }
  input_.erase(0, start);
  if (end) {
    if (!overrun_ && !input_.empty()) execute(input_);
    overrun_ = false;
    input_.clear();
  } else if (input_.size() > max_) {
    if (!overrun_) instrument_.pushError(err::kInputOverrun.code, err::kInputOverrun.message);
    overrun_ = true;
    input_.clear();
  }
}

void CMessagePort::execute(std::string_view message) {
  if (!message.empty() && message.back() == '\r') message.remove_suffix(1);
  if (message.empty()) return;
  Reply reply = instrument_.execute(message);
  if (reply.mute || !reply.hasOutput()) return;
  Item& item = output_.emplace_back();
  item.reply = std::move(reply);
  item.readyAt = std::chrono::steady_clock::now() +
                 std::chrono::microseconds(static_cast<long long>(item.reply.delaySeconds * 1e6));
  static const char kSemicolon = ';', kNewline = '\n';
  for (size_t i = 0; i < item.reply.units.size(); ++i) {
    if (i) item.pieces.push_back({const_cast<char*>(&kSemicolon), 1});
    const Reply::Unit& u = item.reply.units[i];
    const std::string& s = u.blob ? *u.blob : u.text;
    if (!s.empty()) item.pieces.push_back({const_cast<char*>(s.data()), s.size()});
  }
  item.pieces.push_back({const_cast<char*>(&kNewline), 1});
  for (const iovec& v : item.pieces) item.total += v.iov_len;
  if (item.reply.dropAfter) item.total = std::min(item.total, *item.reply.dropAfter);
}

void CMessagePort::popFinished() {
  while (!output_.empty() && output_.front().sent >= output_.front().total) output_.pop_front();
}

void CMessagePort::clear() {
  input_.clear();
  overrun_ = false;
  output_.clear();
}

bool CMessagePort::hasOutput() {
  popFinished();
  return !output_.empty();
}

std::chrono::steady_clock::time_point CMessagePort::readyAt() {
  popFinished();
  return output_.empty() ? std::chrono::steady_clock::time_point{} : output_.front().readyAt;
}

size_t CMessagePort::take(size_t n, std::vector<iovec>& out, bool& end, bool& drop) {
  out.clear();
  end = drop = false;
  popFinished();
  if (output_.empty()) return 0;
  Item& item = output_.front();
  size_t taken = 0;
  n = std::min(n, item.total - item.sent);
  while (taken < n) {
    const iovec& v = item.pieces[item.piece];
    const size_t part = std::min(n - taken, v.iov_len - item.pieceOffset);
    out.push_back({static_cast<char*>(v.iov_base) + item.pieceOffset, part});
    taken += part;
    item.pieceOffset += part;
    if (item.pieceOffset == v.iov_len) {
      ++item.piece;
      item.pieceOffset = 0;
    }
  }
  item.sent += taken;
  if (item.sent == item.total) {
    end = true;
    drop = item.reply.dropAfter.has_value();
  }
  return taken;
}

uint8_t CMessagePort::statusByte() {
  const std::string text = instrument_.query("*STB?", false);
  uint8_t stb = static_cast<uint8_t>(std::atoi(text.c_str()));
  if (hasOutput()) stb |= 0x10;
  return stb;
}

}  // namespace korvane::sim
