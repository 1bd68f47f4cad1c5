// ASRL: a serial port driven through termios (Linux and other POSIX systems).
#pragma once

#include "visacom/ResourceName.h"
#include "visacom/Transport.h"

#include <memory>
#include <string>

namespace korvane::visacom {

// The device an ASRL resource stands for. A name with a device path ("ASRL/dev/ttyUSB0::INSTR")
// uses that path; otherwise ASRLn is the n-th serial port, /dev/ttyS<n-1>, so that ASRL1 is the
// first port as on other VISA systems. Empty for ASRL0, which names no port.
std::string SerialDevicePath(const ResourceName& name);

// Opens the port in raw mode at 9600 baud, 8 data bits, no parity, one stop bit, no flow control.
// Failures: E_VISA_RSRC_NFOUND (no such device, not a terminal, no permission, or a platform
// without serial support in this provider), E_VISA_RSRC_BUSY (the port is held exclusively).
HRESULT OpenSerial(const ResourceName& name, std::unique_ptr<ITransport>& out, std::string& why);

}  // namespace korvane::visacom
