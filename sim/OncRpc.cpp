#include "OncRpc.h"

#include <utility>

namespace korvane::sim::rpc {

namespace w = korvane::wire::vxi11;

namespace {

// Reads one record (all its fragments). False on a closed connection or an oversized record.
bool readRecord(CTcpFrontEnd& fe, int fd, size_t limit, std::vector<uint8_t>& record) {
  record.clear();
  for (bool last = false; !last;) {
    uint8_t mark[4];
    if (!fe.readFull(fd, mark, 4)) return false;
    const uint32_t m = w::Get32(mark);
    last = (m & w::kLastFragment) != 0;
    const size_t len = m & ~w::kLastFragment;
    if (record.size() + len > limit) return false;
    const size_t at = record.size();
    record.resize(at + len);
    if (!fe.readFull(fd, record.data() + at, len)) return false;
  }
  return true;
}

// False when the record is not an RPC call we can parse.
bool parseCall(std::vector<uint8_t> record, Call& c) {
  w::CXdrReader r(record.data(), record.size());
  c.xid = r.U32();
  const uint32_t type = r.U32(), rpcvers = r.U32();
  c.prog = r.U32();
  c.vers = r.U32();
  c.proc = r.U32();
  r.U32();
  r.Opaque(400);  // credentials
  r.U32();
  r.Opaque(400);  // verifier
  if (r.Failed() || type != w::kCall || rpcvers != w::kRpcVersion) return false;
  c.argsAt = r.Offset();
  c.record = std::move(record);
  return true;
}

bool sendError(CTcpFrontEnd& fe, int fd, const Call& c, uint32_t stat) {
  w::CXdrWriter x;
  x.ReplyHeader(c.xid, stat);
  if (stat == w::kProgMismatch) x.U32(c.prog == w::kPortmapProgram ? 2 : 1).U32(c.prog == w::kPortmapProgram ? 2 : 1);
  return sendRecord(fe, fd, x);
}

}  // namespace

bool sendRecord(CTcpFrontEnd& fe, int fd, w::CXdrWriter& x) {
  const std::vector<uint8_t>& b = x.Finish();
  return fe.sendAll(fd, b.data(), b.size());
}

void serve(CTcpFrontEnd& fe, int fd, size_t limit, uint32_t prog, uint32_t vers, const Handler& handler) {
  std::vector<uint8_t> record;
  while (readRecord(fe, fd, limit, record)) {
    Call c;
    if (!parseCall(std::move(record), c)) return;
    if (c.prog != prog || c.vers != vers) {
      if (!sendError(fe, fd, c, c.prog != prog ? w::kProgUnavail : w::kProgMismatch)) return;
      continue;
    }
    w::CXdrReader args(c.record.data() + c.argsAt, c.record.size() - c.argsAt);
    w::CXdrWriter x;
    x.ReplyHeader(c.xid, w::kSuccess);
    bool sent = true;
    switch (handler(c, args, x)) {
      case Outcome::Reply: sent = sendRecord(fe, fd, x); break;
      case Outcome::GarbageArgs: sent = sendError(fe, fd, c, w::kGarbageArgs); break;
      case Outcome::NoProcedure: sent = sendError(fe, fd, c, w::kProcUnavail); break;
      case Outcome::Sent: break;
      case Outcome::Close: return;
    }
    if (!sent) return;
  }
}

}  // namespace korvane::sim::rpc
