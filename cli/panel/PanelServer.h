// The panel's HTTP and WebSocket server (civetweb): the page, the JSON calls of its controls and
// the waveform frames. Every request passes the checks of PanelSecurity.h first.
#pragma once

#include "panel/PanelInstrument.h"

#include <memory>
#include <string>
#include <vector>

namespace korvane::panel {

struct ServerOptions {
  std::string listen = "127.0.0.1";  // the address to listen on
  int port = 0;                      // 0: one the system picks
  std::string token;
  std::string ioLog;  // the session's I/O log file, shown in the console
};

class CPanelServer {
 public:
  explicit CPanelServer(CPanelInstrument& instrument);
  ~CPanelServer();
  CPanelServer(const CPanelServer&) = delete;
  CPanelServer& operator=(const CPanelServer&) = delete;

  // False with the reason when the server cannot listen.
  bool Start(const ServerOptions& options, std::string& error);
  void Stop();
  int Port() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Bounds on what a peer may send.
constexpr long long kMaxBody = 4 << 20;          // a settings file fits many times over
constexpr std::size_t kMaxWsMessage = 64 << 10;  // a control message is a few hundred bytes
constexpr std::size_t kMaxColumns = 8192;        // pixel columns of one view

}  // namespace korvane::panel
