// TCPIP SOCKET: a raw TCP connection to the instrument's SCPI port.
#pragma once

#include "visacom/Transport.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvane::visacom {

// Connects to host:port within the deadline (name resolution itself is not bounded by it).
// Failures: E_VISA_RSRC_NFOUND (unknown host, refused, unreachable), E_VISA_TMO.
HRESULT ConnectSocket(const std::string& host, std::uint16_t port, const CDeadline& deadline,
                      std::unique_ptr<ITransport>& out, std::string& why);

}  // namespace korvane::visacom
