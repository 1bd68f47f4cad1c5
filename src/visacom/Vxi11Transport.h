// TCPIP INSTR over VXI-11: ONC RPC to the instrument's core channel, found through the
// portmapper, with the abort channel for calls the instrument does not finish in time.
#pragma once

#include "visacom/Transport.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvane::visacom {

// Asks the portmapper at host:portmapperPort for the core channel, connects and creates the
// link to `device` ("inst0", "gpib0,7", ...). Failures: E_VISA_RSRC_NFOUND (no portmapper, no
// core program registered, device refused), E_VISA_TMO, E_VISA_IO (malformed replies).
HRESULT ConnectVxi11(const std::string& host, const std::string& device, const CDeadline& deadline,
                     std::unique_ptr<ITransport>& out, std::string& why, std::uint16_t portmapperPort = 111);

}  // namespace korvane::visacom
