#include "visacom/TransportRegistry.h"

#include "visacom/HislipTransport.h"
#include "visacom/SerialTransport.h"
#include "visacom/SocketTransport.h"
#include "visacom/UsbtmcTransport.h"
#include "visacom/VisaCom.h"
#include "visacom/Vxi11Transport.h"

#include <iterator>

namespace korvane::visacom {
namespace {

using visa::VI_INTF_ASRL;
using visa::VI_INTF_GPIB;
using visa::VI_INTF_TCPIP;
using visa::VI_INTF_USB;

// LAN device names of HiSLIP start with "hislip" (any case); every other TCPIP INSTR is VXI-11.
bool IsHislip(const ResourceName& name) {
  const std::string& d = name.deviceName;
  static constexpr char kPrefix[] = "hislip";
  if (d.size() < sizeof kPrefix - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kPrefix; ++i) {
    const char c = d[i] >= 'A' && d[i] <= 'Z' ? static_cast<char>(d[i] - 'A' + 'a') : d[i];
    if (c != kPrefix[i]) return false;
  }
  return true;
}
bool IsVxi11(const ResourceName& name) { return !IsHislip(name); }

HRESULT OpenSocket(const ResourceName& n, const CDeadline& d, std::unique_ptr<ITransport>& out, std::string& why) {
  return ConnectSocket(n.host, n.port, d, out, why);
}
HRESULT OpenVxi11(const ResourceName& n, const CDeadline& d, std::unique_ptr<ITransport>& out, std::string& why) {
  return ConnectVxi11(n.host, n.deviceName, d, out, why);
}
HRESULT OpenHislip(const ResourceName& n, const CDeadline& d, std::unique_ptr<ITransport>& out, std::string& why) {
  return ConnectHislip(n.host, n.deviceName, d, out, why);
}
// Opening a device node does not wait on the instrument: no deadline.
HRESULT OpenUsb(const ResourceName& n, const CDeadline&, std::unique_ptr<ITransport>& out, std::string& why) {
  return OpenUsbtmc(n, out, why);
}
HRESULT OpenAsrl(const ResourceName& n, const CDeadline&, std::unique_ptr<ITransport>& out, std::string& why) {
  return OpenSerial(n, out, why);
}

constexpr TransportRow kTransports[] = {
    {"TCPIP SOCKET", VI_INTF_TCPIP, "SOCKET", "TCPIP[board]::<host>::<port>::SOCKET", nullptr, &OpenSocket, true, true,
     true, nullptr, &FindSocket},
    {"VXI-11", VI_INTF_TCPIP, "INSTR", "TCPIP[board]::<host>[::inst0][::INSTR]", &IsVxi11, &OpenVxi11, true, true,
     true, nullptr, &FindVxi11},
    {"HiSLIP", VI_INTF_TCPIP, "INSTR", "TCPIP[board]::<host>::hislip0[,<port>]::INSTR", &IsHislip, &OpenHislip, true,
     true, true, nullptr, &FindHislip},
    {"USBTMC", VI_INTF_USB, "INSTR", "USB[board]::<vid>::<pid>::<serial>[::<intf>]::INSTR", nullptr, &OpenUsb, true,
     false, false,
     "the built-in VISA-COM provider cannot open USB instruments on this system: it reaches them through "
     "the Linux usbtmc driver; they need a system VISA-COM library",
     &FindUsbtmc},
    {"GPIB", VI_INTF_GPIB, "INSTR", "GPIB[board]::<address>::INSTR", nullptr, nullptr, false, false, false,
     "the built-in VISA-COM provider cannot open GPIB instruments: it has no GPIB transport; they need a "
     "system VISA-COM library",
     nullptr},
    {"ASRL", VI_INTF_ASRL, "INSTR", "ASRL<n>::INSTR", nullptr, &OpenAsrl, true, false, true,
     "the built-in VISA-COM provider cannot open serial ports on Windows; they need a system VISA-COM library",
     &FindSerial},
};

}  // namespace

std::span<const TransportRow> Transports() noexcept { return kTransports; }

bool ServedOn(const TransportRow& row, System system) noexcept {
  switch (system) {
    case System::kLinux: return row.onLinux && row.open;
    case System::kWindows: return row.onWindows && row.open;
    default: return row.onOtherPosix && row.open;
  }
}

const TransportRow* FindTransport(const ResourceName& name) noexcept {
  for (const TransportRow& row : kTransports)
    if (row.interfaceType == name.interfaceType && name.resourceClass == row.resourceClass &&
        (!row.selects || row.selects(name)))
      return &row;
  return nullptr;
}

HRESULT OpenTransport(const ResourceName& name, const CDeadline& deadline, std::unique_ptr<ITransport>& out,
                      std::string& why) {
  const TransportRow* row = FindTransport(name);
  if (!row) {
    why = "the built-in VISA-COM provider cannot open " + name.resourceClass + " resources of this interface type";
    return E_VISA_RSRC_NFOUND;
  }
  if (!ServedOn(*row, kThisSystem)) {
    why = row->unavailable;
    return E_VISA_RSRC_NFOUND;
  }
  return row->open(name, deadline, out, why);
}

}  // namespace korvane::visacom
