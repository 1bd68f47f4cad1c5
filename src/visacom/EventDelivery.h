// Service requests handed to installed event handlers on a thread of the session's own.
//
// What a handler may do: it runs on the session's delivery thread, one call at a time, handlers
// in the order they were installed. The session lock is not held while it runs, so it may read
// the status byte, write and read the session, install or uninstall handlers, even its own.
// While it runs, later service requests of that session wait in a queue of kQueueSize; those
// that find the queue full are dropped and counted (VI_ATTR_KV_EVENT_OVERFLOWS), and the
// session itself goes on serving other threads. A handler that throws is contained: the call
// counts as done. A handler should not close the session; if it does, the call it is in is
// the last. Once UninstallHandler returns on another thread, the handler is not running and
// is not called again.
#pragma once

#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane::visacom {

class CEventDelivery {
 public:
  static constexpr std::size_t kQueueSize = 32;

  CEventDelivery() = default;
  CEventDelivery(const CEventDelivery&) = delete;
  CEventDelivery& operator=(const CEventDelivery&) = delete;
  ~CEventDelivery() { Stop(); }

  void Install(IEventHandler* handler, LONG userHandle);
  // Removes every handler installed with the user handle; false when there was none. Waits for a
  // call of a removed handler to return, unless called from the delivery thread.
  bool Uninstall(LONG userHandle);
  bool HasHandlers();

  // Starts the delivery thread, and the watcher: `watch` runs in a loop on a second thread until
  // Stop, and is expected to wait a short while for service requests and Post what it finds.
  // `vi` is what handlers are given as their session.
  void Start(IEventManager* vi, std::function<void()> watch);
  // Ends both threads: joins them, except the delivery thread when Stop is called on it (a
  // handler closing its session), which ends after the handler returns. Requests not yet
  // delivered are dropped. Not to be called with a lock that `watch` takes.
  void Stop();

  // Queues the status byte of a service request for the handlers, or counts it as dropped.
  void Post(BYTE stb);
  LONG Overflows();

 private:
  struct Entry {
    ComPtr<IEventHandler> handler;
    LONG userHandle = 0;
    std::uint64_t id = 0;
  };
  // What the threads share, kept alive by a delivery thread that outlives Stop. Each Start
  // begins a generation; a thread of an earlier one ends as soon as it looks.
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Entry> handlers;
    std::deque<BYTE> queue;
    std::uint64_t generation = 0;
    bool stop = false;
    LONG overflows = 0;
    std::uint64_t nextId = 1;
    std::uint64_t calling = 0;  // id of the handler being called, 0: none
    bool Ended(std::uint64_t gen) const { return stop || generation != gen; }
  };
  static void Deliver(std::shared_ptr<Shared> s, IEventManager* vi, std::uint64_t gen);

  std::mutex control_;  // Start and Stop, and the thread objects
  const std::shared_ptr<Shared> s_ = std::make_shared<Shared>();
  std::thread delivery_, watcher_;
};

// The event a service request hands to WaitOnEvent's caller and to handlers: its type, and the
// status byte that came with it (VI_ATTR_KV_STATUS_BYTE).
HRESULT MakeServiceRequestEvent(BYTE stb, IEvent** out) noexcept;

}  // namespace korvane::visacom
