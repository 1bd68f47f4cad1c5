#include "SimProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace korvane::sim::test {

SimProcess::SimProcess(const std::vector<std::string>& args, int lines) {
  int out[2];
  if (::pipe(out) < 0) throw std::runtime_error("pipe");
  std::vector<std::string> all{KORVANE_SIM_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start the simulator");
  }
  // The first line announces the port; wait for it a bounded time.
  char c;
  pollfd p{out[0], POLLIN, 0};
  for (int i = 0; i < lines; ++i) {
    std::string line;
    while (::poll(&p, 1, 5000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    lines_.push_back(line);
  }
  firstLine_ = lines_.front();
  ::close(out[0]);
  const size_t colon = firstLine_.rfind(':');
  if (firstLine_.rfind("listening on 127.0.0.1:", 0) == 0 && colon != std::string::npos)
    port_ = std::atoi(firstLine_.c_str() + colon + 1);
}

std::string SimProcess::announced(const std::string& prefix) const {
  for (const std::string& l : lines_)
    if (l.rfind(prefix, 0) == 0) return l.substr(prefix.size());
  return {};
}

int SimProcess::announcedPort(const std::string& prefix) const {
  const std::string rest = announced(prefix + "listening on 127.0.0.1:");
  return rest.empty() ? 0 : std::atoi(rest.c_str());
}

SimProcess::~SimProcess() {
  if (pid_ > 0 && !terminate()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> SimProcess::wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::nullopt;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (true) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() > end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<int> SimProcess::terminate(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::nullopt;
  ::kill(pid_, SIGTERM);
  return wait(limit);
}

Client::Client(int port, int timeoutMs) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot connect to the simulator");
  }
  setTimeout(timeoutMs);
}

Client::~Client() { ::close(fd_); }

void Client::setTimeout(int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void Client::send(const std::string& line) {
  const std::string s = line + "\n";
  size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = ::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    off += static_cast<size_t>(n);
  }
}

std::optional<std::string> Client::readLine() {
  while (true) {
    const size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string Client::query(const std::string& line) {
  send(line);
  return readLine().value_or("<no reply>");
}

std::string Client::readBytes(size_t n) {
  while (pending_.size() < n) {
    std::string buf(std::max<size_t>(65536, n - pending_.size()), '\0');
    const ssize_t r = ::recv(fd_, buf.data(), buf.size(), 0);
    if (r <= 0) break;
    pending_.append(buf.data(), static_cast<size_t>(r));
  }
  const size_t take = std::min(n, pending_.size());
  std::string out = pending_.substr(0, take);
  pending_.erase(0, take);
  return out;
}

}  // namespace korvane::sim::test
