#include "visacom/SocketTransport.h"

#include "visacom/Net.h"
#include "visacom/Variants.h"
#include "visacom/VisaCom.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <utility>

namespace korvane::visacom {
namespace {

class CSocketTransport final : public ITransport {
 public:
  CSocketTransport(CTcpLink link, std::string host, std::uint16_t port)
      : link_(std::move(link)), host_(std::move(host)), port_(port) {}

  HRESULT Send(const BYTE* data, std::size_t n, bool, const CDeadline& deadline, std::size_t& sent,
               std::string& why) override {
    return link_.Send(data, n, deadline, sent, why);
  }

  HRESULT Receive(BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& got, bool& end,
                  std::string& why) override {
    end = false;
    return link_.ReceiveSome(data, n, deadline, got, why);
  }

  bool SignalsEnd() const override { return false; }

  // Raw TCP has no device clear message. What can be done is to throw away every byte the
  // instrument has already sent, so that a stale reply cannot be taken for the next one.
  HRESULT Clear(const CDeadline&, std::string&) override {
    link_.Drain();
    return S_OK;
  }

  HRESULT GetAttribute(LONG id, VARIANT* v) override {
    if (id == visa::VI_ATTR_TCPIP_ADDR) return PutString(v, link_.Address());
    if (id == visa::VI_ATTR_TCPIP_HOSTNAME) return PutString(v, host_);
    if (id == visa::VI_ATTR_TCPIP_PORT) return PutShort(v, static_cast<SHORT>(port_));
    if (id == visa::VI_ATTR_TCPIP_NODELAY) return PutBool(v, noDelay_);
    if (id == visa::VI_ATTR_TCPIP_KEEPALIVE) return PutBool(v, keepAlive_);
    return E_NOTIMPL;
  }

  HRESULT SetAttribute(LONG id, LONGLONG value, std::string& why) override {
    bool* flag = nullptr;
    int level = SOL_SOCKET, name = SO_KEEPALIVE;
    if (id == visa::VI_ATTR_TCPIP_NODELAY) {
      flag = &noDelay_;
      level = IPPROTO_TCP;
      name = TCP_NODELAY;
    } else if (id == visa::VI_ATTR_TCPIP_KEEPALIVE) {
      flag = &keepAlive_;
    } else if (id == visa::VI_ATTR_TCPIP_ADDR || id == visa::VI_ATTR_TCPIP_HOSTNAME ||
               id == visa::VI_ATTR_TCPIP_PORT) {
      why = "the attribute is read-only";
      return E_VISA_ATTR_READONLY;
    } else {
      return E_NOTIMPL;
    }
    if (!link_.SetBoolOption(level, name, value != 0, why)) return E_VISA_IO;
    *flag = value != 0;
    return S_OK;
  }

 private:
  CTcpLink link_;
  std::string host_;
  std::uint16_t port_;
  bool noDelay_ = true;
  bool keepAlive_ = false;
};

}  // namespace

HRESULT ConnectSocket(const std::string& host, std::uint16_t port, const CDeadline& deadline,
                      std::unique_ptr<ITransport>& out, std::string& why) {
  CTcpLink link;
  HRESULT hr = CTcpLink::Connect(host, port, deadline, link, why);
  if (FAILED(hr)) return hr;
  link.PreferBlockingTransfers();
  out = std::make_unique<CSocketTransport>(std::move(link), host, port);
  return S_OK;
}

}  // namespace korvane::visacom
