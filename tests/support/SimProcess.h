// Runs korvane-scope-sim as a child process and talks to it over a raw socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace korvane::sim::test {

class SimProcess {
 public:
  // Waits for the first `lines` lines of output (the port announcements).
  explicit SimProcess(const std::vector<std::string>& args, int lines = 1);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  int port() const { return port_; }
  const std::string& firstLine() const { return firstLine_; }
  // The line that starts with `prefix`, without the prefix; empty when there is none.
  std::string announced(const std::string& prefix) const;
  // The port of the "<prefix>listening on 127.0.0.1:<port>" line, or 0.
  int announcedPort(const std::string& prefix) const;
  // Sends SIGTERM and waits up to `limit`; returns the exit status, or nullopt on timeout.
  std::optional<int> terminate(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  // Waits for the process to exit by itself.
  std::optional<int> wait(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string firstLine_;
  std::vector<std::string> lines_;
};

class Client {
 public:
  explicit Client(int port, int timeoutMs = 5000);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void send(const std::string& line);  // adds the line feed
  // Reads up to a line feed; nullopt on timeout or when the server closed the connection.
  std::optional<std::string> readLine();
  std::string query(const std::string& line);
  // Reads exactly n bytes; returns fewer when the connection closed.
  std::string readBytes(size_t n);
  void setTimeout(int ms);

 private:
  int fd_ = -1;
  std::string pending_;
};

// The simulator with every front end that the transport tests share (one per test program).
SimProcess& TransportSim();
// A second simulator, SOCKET and HiSLIP only, whose HiSLIP front end prefers overlapped mode.
SimProcess& OverlappedSim();

}  // namespace korvane::sim::test
