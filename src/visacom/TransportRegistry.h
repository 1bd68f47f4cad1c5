// The transports of the built-in provider, one row each: which resources it serves, how it is
// opened, on which systems, and why not on the others. Opening a session picks its row here;
// the README's resource table is checked against these rows by a test, so adding a transport
// is adding a row (and its line in that table).
//
// Parsing is not a registry matter: ParseRsrc accepts every name of the resource grammar, also
// of interface types no row serves (VXI, PXI), because the driver asks it what a name is before
// deciding how to open it (a PXI name goes to the module manager, not to a transport). Rows decide
// only what opens, and where.
#pragma once

#include "visacom/Discovery.h"
#include "visacom/ResourceName.h"
#include "visacom/Transport.h"

#include <memory>
#include <span>
#include <string>

namespace korvane::visacom {

using OpenTransportFn = HRESULT (*)(const ResourceName& name, const CDeadline& deadline,
                                    std::unique_ptr<ITransport>& out, std::string& why);

// The systems the provider is built for.
enum class System { kLinux, kWindows, kOtherPosix };

// The system of this build.
constexpr System kThisSystem =
#if defined(_WIN32)
    System::kWindows;
#elif defined(__linux__)
    System::kLinux;
#else
    System::kOtherPosix;
#endif

struct TransportRow {
  const char* name;           // "TCPIP SOCKET", "VXI-11", ...
  SHORT interfaceType;        // VI_INTF_* of the resources it serves
  const char* resourceClass;  // and their class
  const char* form;           // the resource form as users write it (the README's table shows it)
  // Chooses among rows of one interface type and class (VXI-11 or HiSLIP by the device name);
  // null when the row is the only one.
  bool (*selects)(const ResourceName& name);
  OpenTransportFn open;  // null for resources the provider parses but serves nowhere
  bool onLinux, onWindows, onOtherPosix;
  const char* unavailable;  // why it is not served where it is not, as the open failure says
  // Lists the instruments reachable by this row (Discovery.h); null when there is no way to
  // find them.
  FinderFn find;
};

std::span<const TransportRow> Transports() noexcept;

// The row for a parsed resource name, or null when no row takes it.
const TransportRow* FindTransport(const ResourceName& name) noexcept;

bool ServedOn(const TransportRow& row, System system) noexcept;

// How the row's transport delivers service requests (the event manager's EVENT_SERVICE_REQ),
// or null when it has no means to; `why` then says why not. Kept in TransportEvents.cpp.
const char* ServiceRequestDelivery(const TransportRow& row, const char** why = nullptr) noexcept;

// Opens the transport of a parsed resource name on this system. Failures: the open function's
// own, or E_VISA_RSRC_NFOUND with the reason when no row serves the name here.
HRESULT OpenTransport(const ResourceName& name, const CDeadline& deadline, std::unique_ptr<ITransport>& out,
                      std::string& why);

}  // namespace korvane::visacom
