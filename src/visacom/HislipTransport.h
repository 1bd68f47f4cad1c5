// TCPIP INSTR over HiSLIP: a synchronous channel for messages and an asynchronous one for
// device clear, locks, status queries and service requests.
#pragma once

#include "visacom/Transport.h"

#include <memory>
#include <string>

namespace korvane::visacom {

// `device` is the LAN device name: "hislip0" (port 4880) or "hislip0,<port>".
// Failures: E_VISA_RSRC_NFOUND (refused, or the instrument rejects the session with its error
// code), E_VISA_TMO, E_VISA_INV_RSRC_NAME (bad port), E_VISA_IO (protocol violations).
HRESULT ConnectHislip(const std::string& host, const std::string& device, const CDeadline& deadline,
                      std::unique_ptr<ITransport>& out, std::string& why);

}  // namespace korvane::visacom
