#include "visacom/Vxi11Interrupts.h"

#include "visacom/VisaCom.h"
#include "visacom/Vxi11Wire.h"

#include <chrono>
#include <vector>

namespace korvane::visacom {
namespace {

namespace w = korvane::wire::vxi11;

// How often the serving thread looks at the stop flag while nothing arrives.
constexpr int kPollMs = 100;
// A call on this channel is a few words; anything longer is not an instrument's.
constexpr std::uint32_t kMaxRecord = 1024;

}  // namespace

CVxi11InterruptServer::~CVxi11InterruptServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

HRESULT CVxi11InterruptServer::Start(const std::string& localAddress, std::string& why) {
  if (HRESULT hr = listener_.Listen(localAddress, why); FAILED(hr)) return hr;
  thread_ = std::thread([this] { Serve(); });
  return S_OK;
}

bool CVxi11InterruptServer::Wait(int timeoutMs) {
  std::unique_lock lk(m_);
  auto ready = [&] { return requests_ > 0; };
  if (timeoutMs < 0) cv_.wait(lk, ready);
  else cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready);
  return requests_ > 0;
}

unsigned CVxi11InterruptServer::Take() {
  std::lock_guard lk(m_);
  unsigned n = requests_;
  requests_ = 0;
  return n;
}

// One connection at a time: the instrument opens one when the channel is created, and a new
// one replaces it if it reconnects.
void CVxi11InterruptServer::Serve() {
  while (!stop_) {
    CTcpLink link;
    std::string why;
    if (FAILED(listener_.Accept(CDeadline::After(kPollMs), link, why))) continue;
    while (!stop_) {
      if (!link.Readable(CDeadline::After(kPollMs))) continue;
      if (!ServeCall(link)) break;
    }
  }
}

// Reads one call and answers it; false when the connection is to be dropped.
bool CVxi11InterruptServer::ServeCall(CTcpLink& link) {
  const CDeadline deadline = CDeadline::After(2000);
  std::string why;
  std::vector<std::uint8_t> record;
  for (bool last = false; !last;) {
    std::uint8_t mark[4];
    if (FAILED(link.ReceiveAll(mark, 4, deadline, why))) return false;
    const std::uint32_t m = w::Get32(mark);
    last = (m & w::kLastFragment) != 0;
    const std::uint32_t n = m & ~w::kLastFragment;
    if (record.size() + n > kMaxRecord) return false;
    const std::size_t at = record.size();
    record.resize(at + n);
    if (n && FAILED(link.ReceiveAll(record.data() + at, n, deadline, why))) return false;
  }
  w::CXdrReader r(record.data(), record.size());
  const std::uint32_t xid = r.U32(), type = r.U32(), rpcVersion = r.U32(), prog = r.U32(), vers = r.U32(),
                      proc = r.U32();
  r.U32();
  r.Opaque(400);  // credentials
  r.U32();
  r.Opaque(400);  // verifier
  if (r.Failed() || type != w::kCall) return false;
  w::CXdrWriter reply;
  if (rpcVersion != w::kRpcVersion) {
    reply.U32(xid).U32(w::kReply).U32(w::kMsgDenied).U32(0).U32(w::kRpcVersion).U32(w::kRpcVersion);
  } else if (prog != w::kInterruptProgram || vers != w::kVersion) {
    reply.ReplyHeader(xid, prog != w::kInterruptProgram ? w::kProgUnavail : w::kProgMismatch);
    if (prog == w::kInterruptProgram) reply.U32(w::kVersion).U32(w::kVersion);
  } else if (proc == 0) {
    reply.ReplyHeader(xid, w::kSuccess);
  } else if (proc != w::kDeviceIntrSrq) {
    reply.ReplyHeader(xid, w::kProcUnavail);
  } else {
    r.Opaque(w::kMaxSrqHandle);  // the handle we gave: one link per channel, so it says nothing more
    if (r.Failed()) {
      reply.ReplyHeader(xid, w::kGarbageArgs);
    } else {
      {
        std::lock_guard lk(m_);
        ++requests_;
      }
      cv_.notify_all();
      reply.ReplyHeader(xid, w::kSuccess);
    }
  }
  const std::vector<std::uint8_t>& bytes = reply.Finish();
  std::size_t sent = 0;
  return SUCCEEDED(link.Send(bytes.data(), bytes.size(), deadline, sent, why));
}

}  // namespace korvane::visacom
