// The C callback for service requests: an event handler on the session's VISA-COM session that
// forwards each request to the function pointer with its context.
#include "ansic/Families.h"
#include "ansic/Required.h"
#include "com/Objects.h"
#include "platform/ComObject.h"
#include "visacom/VisaCom.h"

namespace korvane::ansic {
namespace {

// The user handle the C API's handler is installed with: one per session.
constexpr LONG kCallbackHandle = 0x4B5653;

class CCallbackHandler final : public ComObject<CCallbackHandler, IEventHandler> {
 public:
  CCallbackHandler(Session session, ServiceRequestCallback callback, void* context)
      : session_(session), callback_(callback), context_(context) {}

  HRESULT STDMETHODCALLTYPE HandleEvent(IEventManager* vi, IEvent* event, LONG) override {
    VARIANT v;
    VariantInit(&v);
    SHORT stb = 0;
    if (event && event->GetAttribute(visa::VI_ATTR_KV_STATUS_BYTE, &v) == S_OK && v.vt == VT_I2) {
      stb = v.iVal;
    } else if (vi) {  // a VISA-COM library of the system: ask for it
      ComPtr<IMessage> message;
      if (SUCCEEDED(ComPtr<IEventManager>(vi).As(message))) message->ReadSTB(&stb);
    }
    callback_(session_, static_cast<uint8_t>(stb), context_);
    return S_OK;
  }

 private:
  Session session_;
  ServiceRequestCallback callback_;
  void* context_;
};

// The root's VISA-COM session, through System.DirectIO.
HRESULT EventManagerOf(IUnknown* root, ComPtr<IEventManager>& out) {
  ComPtr<IKorvaneSystem> sys;
  ComPtr<IFormattedIO488> io;
  ComPtr<IMessage> message;
  if (HRESULT hr = AsInterface(root, sys); FAILED(hr)) return hr;
  if (HRESULT hr = sys->get_DirectIO(io.Receive()); FAILED(hr)) return hr;
  if (HRESULT hr = io->get_IO(message.Receive()); FAILED(hr)) return hr;
  if (!message) return E_POINTER;
  return message.As(out);
}

}  // namespace

int32_t ServiceRequestHandlerSet(Session session, ServiceRequestCallback callback, void* context) noexcept {
  return WithSession(session, [&](SessionData& s) -> HRESULT {
    ComPtr<IEventManager> events;
    if (HRESULT hr = EventManagerOf(s.root.get(), events); FAILED(hr)) return Record(&s, hr);
    // The previous callback goes first: after this returns it is not running and not called again.
    HRESULT hr = events->UninstallHandler(EVENT_SERVICE_REQ, kCallbackHandle, 0);
    if (FAILED(hr) && hr != E_VISA_HNDLR_NINSTALLED) return Record(&s, hr);
    if (!callback) {
      events->DisableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0);
      return S_OK;
    }
    ComPtr<IEventHandler> handler;
    if (FAILED(hr = CCallbackHandler::Create(IID_IEventHandler, handler.ReceiveVoid(), session, callback, context)))
      return Record(&s, hr);
    if (FAILED(hr = events->InstallHandler(EVENT_SERVICE_REQ, handler.get(), kCallbackHandle, 0)))
      return Record(&s, hr);
    hr = events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0);
    if (FAILED(hr)) {
      const HRESULT failed = Record(&s, hr);
      events->UninstallHandler(EVENT_SERVICE_REQ, kCallbackHandle, 0);
      return failed;
    }
    return S_OK;
  });
}

}  // namespace korvane::ansic
