// korvane wait-srq: the status byte of the instrument's next service request.
#include "Commands.h"
#include "ExitCodes.h"
#include "ToolSession.h"

#include "visacom/VisaCom.h"

#include <cstdio>
#include <string>

namespace korvane::cli {
namespace {

// The session's own VISA-COM session, reached through System.DirectIO.
HRESULT EventManager(IKorvane8* root, ComPtr<IEventManager>& out) {
  ComPtr<IKorvaneSystem> sys;
  ComPtr<IFormattedIO488> io;
  ComPtr<IMessage> message;
  if (HRESULT hr = root->get_System(sys.Receive()); FAILED(hr)) return hr;
  if (HRESULT hr = sys->get_DirectIO(io.Receive()); FAILED(hr)) return hr;
  if (HRESULT hr = io->get_IO(message.Receive()); FAILED(hr)) return hr;
  if (!message) return E_POINTER;
  return message.As(out);
}

std::string Bits(int stb) {
  static const char* const kNames[8] = {
      "bit 0",         "bit 1",           "error queue", "questionable", "message available",
      "event summary", "request service", "operation"};
  std::string text;
  for (int b = 7; b >= 0; --b)
    if (stb & (1 << b)) text += (text.empty() ? "" : ", ") + std::string(kNames[b]);
  return text.empty() ? "no bit set" : text;
}

}  // namespace

// The request is taken from the session's event queue, so nothing is polled meanwhile; the
// status byte is the one the request came with where the transport carries it (HiSLIP,
// USBTMC), else the serial poll made when it arrived (VXI-11).
int CmdWaitSrq(const Args& a) {
  if (a.positional.size() != 1) return Usage("wait-srq", "wait-srq takes one resource");
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  ComPtr<IEventManager> events;
  HRESULT hr = EventManager(s.get(), events);
  if (FAILED(hr)) return Fail("the session's VISA-COM session (System.DirectIO.IO)", hr, s.get());
  hr = events->EnableEvent(EVENT_SERVICE_REQ, EVENT_QUEUE, 0);
  if (FAILED(hr)) return Fail("enabling service requests", hr);
  const LONG timeout = a.timeoutGiven ? static_cast<LONG>(a.timeoutMs) : -1;
  ComPtr<IEvent> event;
  hr = events->WaitOnEvent(timeout, EVENT_SERVICE_REQ, 0, event.Receive());
  events->DisableEvent(EVENT_SERVICE_REQ, EVENT_QUEUE, 0);
  if (hr == E_VISA_TMO) return Failure("no service request within " + std::to_string(a.timeoutMs) + " ms");
  if (FAILED(hr)) return Fail("waiting for a service request", hr);
  int stb = -1;
  VARIANT v;
  VariantInit(&v);
  if (event->GetAttribute(visa::VI_ATTR_KV_STATUS_BYTE, &v) == S_OK && v.vt == VT_I2) stb = v.iVal;
  event->Close();
  if (stb < 0) {  // a VISA-COM library of the system: ask for it
    ComPtr<IMessage> message;
    SHORT value = 0;
    if (FAILED(hr = events.As(message)) || FAILED(hr = message->ReadSTB(&value)))
      return Fail("reading the status byte", hr);
    stb = value & 0xFF;
  }
  if (a.json) std::printf("{\"status_byte\": %d, \"bits\": \"%s\"}\n", stb, Bits(stb).c_str());
  else std::printf("%d (0x%02X: %s)\n", stb, stb, Bits(stb).c_str());
  return kExitOk;
}

}  // namespace korvane::cli
