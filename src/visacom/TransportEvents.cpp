// Per transport: how service requests reach the session, beside the registry's rows.
#include "visacom/TransportRegistry.h"

#include <cstring>

namespace korvane::visacom {
namespace {

struct EventRow {
  const char* transport;  // TransportRow::name
  const char* delivery;   // null: none
  const char* why;        // when none
};

constexpr EventRow kEvents[] = {
    {"TCPIP SOCKET", nullptr, "a raw socket carries no service requests; poll *STB? instead"},
    {"VXI-11", "the interrupt channel: the instrument calls our device_intr_srq server, then device_readstb", nullptr},
    {"HiSLIP", "AsyncServiceRequest messages on the asynchronous channel, with the status byte", nullptr},
    {"USBTMC", "SRQ notifications of the interrupt endpoint, latched by the usbtmc driver", nullptr},
    {"GPIB", nullptr, "the provider has no GPIB transport"},
    {"ASRL", nullptr, "a serial line carries no service requests; poll *STB? instead"},
};

}  // namespace

const char* ServiceRequestDelivery(const TransportRow& row, const char** why) noexcept {
  for (const EventRow& e : kEvents)
    if (std::strcmp(e.transport, row.name) == 0) {
      if (why) *why = e.why;
      return e.delivery;
    }
  if (why) *why = "the transport does not say how it delivers service requests";
  return nullptr;
}

}  // namespace korvane::visacom
