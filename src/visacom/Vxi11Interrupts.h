// The client end of the VXI-11 interrupt channel: a small ONC RPC server of our own that the
// instrument connects to and calls with device_intr_srq when it requests service. It listens
// on the local address of the link's own connection (loopback for a local instrument), so it is
// reachable from the instrument and from nowhere it need not be.
#pragma once

#include "visacom/Net.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace korvane::visacom {

class CVxi11InterruptServer {
 public:
  CVxi11InterruptServer() = default;
  CVxi11InterruptServer(const CVxi11InterruptServer&) = delete;
  CVxi11InterruptServer& operator=(const CVxi11InterruptServer&) = delete;
  ~CVxi11InterruptServer();

  // Listens on the local address and starts serving. Failures: E_VISA_IO with the reason.
  HRESULT Start(const std::string& localAddress, std::string& why);
  std::uint16_t Port() const { return listener_.Port(); }

  // Waits up to timeoutMs (-1: for ever) for a request; true when one came since the last Take.
  bool Wait(int timeoutMs);
  // The number of requests since the last call, and none from then on.
  unsigned Take();

 private:
  void Serve();
  bool ServeCall(CTcpLink& link);

  CTcpListener listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::condition_variable cv_;
  unsigned requests_ = 0;
};

}  // namespace korvane::visacom
