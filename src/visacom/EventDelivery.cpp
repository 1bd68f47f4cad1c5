#include "visacom/EventDelivery.h"

#include "platform/ComObject.h"
#include "visacom/Variants.h"

#include <algorithm>

namespace korvane::visacom {
namespace {

class CServiceRequestEvent final : public ComObject<CServiceRequestEvent, IEvent> {
 public:
  explicit CServiceRequestEvent(BYTE stb) : stb_(stb) {}
  HRESULT STDMETHODCALLTYPE get_Type(EventType* pVal) override {
    if (!pVal) return E_POINTER;
    *pVal = EVENT_SERVICE_REQ;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_CustomEventTypeNumber(LONG* pVal) override {
    if (!pVal) return E_POINTER;
    *pVal = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAttribute(LONG attribute, VARIANT* pAttrState) override {
    if (!pAttrState) return E_POINTER;
    if (attribute == visa::VI_ATTR_EVENT_TYPE) return PutLong(pAttrState, static_cast<LONG>(EVENT_SERVICE_REQ));
    if (attribute == visa::VI_ATTR_KV_STATUS_BYTE) return PutShort(pAttrState, stb_);
    return E_VISA_NSUP_ATTR;
  }
  HRESULT STDMETHODCALLTYPE SetAttribute(LONG attribute, VARIANT) override {
    return attribute == visa::VI_ATTR_EVENT_TYPE || attribute == visa::VI_ATTR_KV_STATUS_BYTE ? E_VISA_ATTR_READONLY
                                                                                              : E_VISA_NSUP_ATTR;
  }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

 private:
  BYTE stb_;
};

}  // namespace

HRESULT MakeServiceRequestEvent(BYTE stb, IEvent** out) noexcept {
  return CServiceRequestEvent::Create(IID_IEvent, reinterpret_cast<void**>(out), stb);
}

void CEventDelivery::Install(IEventHandler* handler, LONG userHandle) {
  std::lock_guard lk(s_->m);
  s_->handlers.push_back({ComPtr<IEventHandler>(handler), userHandle, s_->nextId++});
}

// Set on a delivery thread: whose handlers it is calling.
thread_local const void* tlsDelivering = nullptr;

bool CEventDelivery::Uninstall(LONG userHandle) {
  const std::shared_ptr<Shared>& s = s_;
  std::vector<Entry> removed;  // released after the lock: a handler's last release may run code
  std::unique_lock lk(s->m);
  auto it = std::stable_partition(s->handlers.begin(), s->handlers.end(),
                                  [&](const Entry& e) { return e.userHandle != userHandle; });
  removed.assign(std::make_move_iterator(it), std::make_move_iterator(s->handlers.end()));
  s->handlers.erase(it, s->handlers.end());
  if (tlsDelivering != s.get()) {
    auto inCall = [&] {
      return std::any_of(removed.begin(), removed.end(), [&](const Entry& e) { return e.id == s->calling; });
    };
    s->cv.wait(lk, [&] { return !inCall(); });
  }
  lk.unlock();
  return !removed.empty();
}

bool CEventDelivery::HasHandlers() {
  std::lock_guard lk(s_->m);
  return !s_->handlers.empty();
}

void CEventDelivery::Post(BYTE stb) {
  {
    std::lock_guard lk(s_->m);
    if (s_->queue.size() >= kQueueSize) {
      ++s_->overflows;
      return;
    }
    s_->queue.push_back(stb);
  }
  s_->cv.notify_all();
}

LONG CEventDelivery::Overflows() {
  std::lock_guard lk(s_->m);
  return s_->overflows;
}

void CEventDelivery::Start(IEventManager* vi, std::function<void()> watch) {
  std::lock_guard ctl(control_);
  if (delivery_.joinable()) return;
  std::uint64_t gen;
  {
    std::lock_guard lk(s_->m);
    s_->stop = false;
    gen = ++s_->generation;
  }
  std::shared_ptr<Shared> s = s_;
  delivery_ = std::thread(&CEventDelivery::Deliver, s, vi, gen);
  watcher_ = std::thread([s, gen, watch = std::move(watch)] {
    for (;;) {
      {
        std::lock_guard lk(s->m);
        if (s->Ended(gen)) return;
      }
      watch();
    }
  });
}

// The threads are taken out under the control lock and joined after it, so that a Start
// waiting for that lock (with the session lock the watcher wants) cannot hold up the join.
void CEventDelivery::Stop() {
  std::thread delivery, watcher;
  {
    std::lock_guard ctl(control_);
    if (!delivery_.joinable()) return;
    {
      std::lock_guard lk(s_->m);
      s_->stop = true;
      s_->queue.clear();
    }
    s_->cv.notify_all();
    delivery = std::move(delivery_);
    watcher = std::move(watcher_);
  }
  watcher.join();
  // Called from a handler: that thread ends once the handler returns.
  if (delivery.get_id() == std::this_thread::get_id()) delivery.detach();
  else delivery.join();
}

void CEventDelivery::Deliver(std::shared_ptr<Shared> s, IEventManager* vi, std::uint64_t gen) {
  tlsDelivering = s.get();
  std::unique_lock lk(s->m);
  for (;;) {
    s->cv.wait(lk, [&] { return s->Ended(gen) || !s->queue.empty(); });
    if (s->Ended(gen)) return;
    const BYTE stb = s->queue.front();
    s->queue.pop_front();
    // The handlers installed when the request is taken, each if still installed at its turn.
    std::vector<std::uint64_t> ids;
    for (const Entry& e : s->handlers) ids.push_back(e.id);
    for (std::uint64_t id : ids) {
      if (s->Ended(gen)) return;
      auto at = std::find_if(s->handlers.begin(), s->handlers.end(), [&](const Entry& e) { return e.id == id; });
      if (at == s->handlers.end()) continue;
      Entry entry = *at;
      s->calling = id;
      lk.unlock();
      ComPtr<IEvent> event;
      if (SUCCEEDED(MakeServiceRequestEvent(stb, event.Receive()))) {
        try {
          entry.handler->HandleEvent(vi, event.get(), entry.userHandle);
        } catch (...) {
          // A handler's failure is its own: the session and the other handlers go on.
        }
      }
      event.Reset();
      entry.handler.Reset();
      lk.lock();
      s->calling = 0;
      s->cv.notify_all();
    }
  }
}

}  // namespace korvane::visacom
