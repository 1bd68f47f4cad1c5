// A TCP connection with deadline-bounded transfers, shared by the LAN transports.
#pragma once

#include "visacom/Transport.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::visacom {

class CTcpLink {
 public:
  CTcpLink() = default;
  CTcpLink(const CTcpLink&) = delete;
  CTcpLink& operator=(const CTcpLink&) = delete;
  CTcpLink(CTcpLink&& o) noexcept;
  CTcpLink& operator=(CTcpLink&& o) noexcept;
  ~CTcpLink();

  // Connects within the deadline (name resolution itself is not bounded by it), with
  // TCP_NODELAY set. Failures: E_VISA_RSRC_NFOUND (unknown host, refused, unreachable), E_VISA_TMO.
  static HRESULT Connect(const std::string& host, std::uint16_t port, const CDeadline& deadline, CTcpLink& out,
                         std::string& why);

  bool Valid() const;
  void Close();

  // All n bytes or an error; `sent` says how many went out.
  HRESULT Send(const void* data, std::size_t n, const CDeadline& deadline, std::size_t& sent, std::string& why);
  // Waits for at least one byte and returns what is queued, up to n.
  HRESULT ReceiveSome(void* data, std::size_t n, const CDeadline& deadline, std::size_t& got, std::string& why);
  // Exactly n bytes; on failure `got` says how many arrived.
  HRESULT ReceiveAll(void* data, std::size_t n, const CDeadline& deadline, std::size_t& got, std::string& why);
  HRESULT ReceiveAll(void* data, std::size_t n, const CDeadline& deadline, std::string& why) {
    std::size_t got = 0;
    return ReceiveAll(data, n, deadline, got, why);
  }
  // Throws away what has already arrived, without waiting; returns the byte count.
  std::size_t Drain();
  // True when bytes (or the peer's close) are waiting, or arrive before the deadline.
  bool Readable();
  bool Readable(const CDeadline& deadline);

  bool SetBoolOption(int level, int name, bool on, std::string& why);

  // Windows: receives block in Winsock with its own timeout, so that a reply already on its
  // way costs one call instead of a failed try, a wait and a second try (each a round trip to
  // the server under Wine). Larger socket buffers go with it. Elsewhere this does nothing:
  // poll() then recv() is as cheap there as a blocking call.
  void PreferBlockingTransfers();
  const std::string& Address() const { return address_; }
  // The numeric address of our end of the connection; empty when it cannot be told.
  std::string LocalAddress() const;

 private:
  friend class CTcpListener;
  HRESULT ReceiveBlocking(void* data, int n, const CDeadline& deadline, std::size_t& got, std::string& why);
  bool BoundBlockingCall(bool forSend, const CDeadline& deadline);
  void FallBackToWaiting();

  std::intptr_t s_ = -1;
  std::string address_;
  bool blocking_ = false;        // Windows: see PreferBlockingTransfers
  int timeoutMs_[2] = {-1, -1};  // the SO_RCVTIMEO / SO_SNDTIMEO last set (-1: never)
};

// A listening socket for connections a peer makes back to us (the VXI-11 interrupt channel).
class CTcpListener {
 public:
  CTcpListener() = default;
  CTcpListener(const CTcpListener&) = delete;
  CTcpListener& operator=(const CTcpListener&) = delete;
  ~CTcpListener();

  // Listens on a free port of the numeric local address. Failures: E_VISA_IO with the reason.
  HRESULT Listen(const std::string& address, std::string& why);
  std::uint16_t Port() const { return port_; }
  // One connection, waiting until the deadline (E_VISA_TMO when none came).
  HRESULT Accept(const CDeadline& deadline, CTcpLink& out, std::string& why);

 private:
  std::intptr_t s_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace korvane::visacom
