// ONC RPC over TCP as the VXI-11 channels and the portmapper speak it: records made of
// fragments, call headers, error replies, and the loop that serves one connection's calls.
// The programs themselves (what each procedure does) are in Vxi11Server.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "FrontEnd.h"
#include "visacom/Vxi11Wire.h"

namespace korvane::sim::rpc {

struct Call {
  uint32_t xid = 0, prog = 0, vers = 0, proc = 0;
  std::vector<uint8_t> record;
  size_t argsAt = 0;  // where the procedure's arguments start in `record`
};

// Sends a record built by `x`; false when the peer went away.
bool sendRecord(CTcpFrontEnd& fe, int fd, wire::vxi11::CXdrWriter& x);

// What a procedure handler leaves to the loop.
enum class Outcome {
  Reply,        // send the reply the handler wrote
  GarbageArgs,  // the arguments did not decode
  NoProcedure,  // not a procedure of this program
  Sent,         // the handler sent its reply itself
  Close,        // end the connection
};
// Decodes the arguments from `args` and writes the results after the accepted reply header in
// `reply`.
using Handler =
    std::function<Outcome(const Call& call, wire::vxi11::CXdrReader& args, wire::vxi11::CXdrWriter& reply)>;

// Serves calls to program `prog`, version `vers`, until the connection closes, a record is not
// an RPC call or is longer than `limit`, a reply cannot be sent, or the handler says Close.
void serve(CTcpFrontEnd& fe, int fd, size_t limit, uint32_t prog, uint32_t vers, const Handler& handler);

}  // namespace korvane::sim::rpc
