// Fault injection: the switches under :SIMulator:FAULt turn a correct reply into one a client
// must survive (held, dripped, cut off, flooded, with a damaged block header or a malformed
// number), and :SIM:FAUL:ERR queues any error code. The front ends carry the reply out as the
// Reply's fields say.
#include <cstdlib>
#include <string>
#include <string_view>

#include "Instrument.h"
#include "InstrumentDetail.h"

namespace korvane::sim {

namespace {

const char* standardMessage(int code) {
  for (const ScpiError& e :
       {err::kCommand, err::kSyntax, err::kDataType, err::kParamNotAllowed, err::kMissingParam, err::kUndefinedHeader,
        err::kHeaderSuffix, err::kStringData, err::kExecution, err::kSettingsConflict, err::kOutOfRange,
        err::kTooMuchData, err::kIllegalValue, err::kNoData, err::kDevice, err::kQueueOverflow, err::kInputOverrun})
    if (e.code == code) return e.message;
  return "Simulated error";
}

bool numericText(std::string_view t) {
  if (t.empty()) return false;
  char* end = nullptr;
  const std::string s(t);
  std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size();
}

}  // namespace

void CInstrument::applyBlockFault(Reply::Unit& u) {
  auto bad = std::make_shared<std::string>(*u.blob);
  const size_t digits = static_cast<size_t>((*bad)[1] - '0');
  const size_t start = 2 + digits;
  const std::string& mode = store_.text(":SIMulator:FAULt:HEADer:MODE");
  if (mode == "CHAR") {
    (*bad)[0] = 'X';
  } else if (mode == "LENG") {  // announce more bytes than follow, so the reader waits for them
    const size_t len = std::stoul(bad->substr(2, digits));
    *bad = detail::blockHeader(len + 1000) + bad->substr(start);
  } else if (mode == "OVER") {  // announce close to 10 GB
    *bad = "#9999999999" + bad->substr(start);
  } else if (mode == "IND") {  // indefinite length: the data runs to the message terminator
    *bad = "#0" + bad->substr(start);
  } else if (mode == "LFE") {  // line feeds inside the data, which must not end the block
    for (size_t i = start; i < bad->size(); i += 7) (*bad)[i] = '\n';
  }
  u.blob = std::move(bad);
}

bool CInstrument::applyReplyFault(Reply& reply) {
  const std::string& mode = store_.text(":SIMulator:FAULt:REPLy");
  if (mode == "NONE" || store_.number(":SIMulator:FAULt:REPLy:COUNt") == 0) return false;
  if (mode == "STAL" || mode == "SPL") {
    reply.stallAfter = mode == "STAL" ? 0 : reply.size() / 2;
    reply.stallSeconds = store_.number(":SIMulator:FAULt:STALl");
  } else if (mode == "DRIP") {
    reply.dripSeconds = store_.number(":SIMulator:FAULt:DRIP");
  } else if (mode == "FLO") {
    reply.floodBytes = static_cast<uint64_t>(store_.number(":SIMulator:FAULt:FLOod"));
  } else if (mode == "CLOS") {
    reply.dropAfter = reply.size() / 2;
  } else {  // TEXT, NAN, INF: numbers that are not numbers; other replies keep theirs
    bool hit = false;
    for (Reply::Unit& u : reply.units) {
      if (u.blob || !numericText(u.text)) continue;
      u.text = mode == "TEXT" ? "1.2.3E" : mode == "NAN" ? "NAN" : u.text[0] == '-' ? "-INF" : "INF";
      hit = true;
    }
    if (!hit) return false;
  }
  return true;
}

void CInstrument::applyFaults(Reply& reply) {
  if (!reply.hasOutput()) return;
  reply.delaySeconds += store_.number(":SIMulator:FAULt:DELay");
  reply.mute = store_.number(":SIMulator:FAULt:MUTE") != 0;
  if (applyReplyFault(reply)) {
    if (const double n = store_.number(":SIMulator:FAULt:REPLy:COUNt"); n > 0)
      store_.setNumber(":SIMulator:FAULt:REPLy:COUNt", 1, n - 1);
  }
  size_t offset = 0;
  for (Reply::Unit& u : reply.units) {
    if (u.blob) {
      if (const double n = store_.number(":SIMulator:FAULt:HEADer"); n != 0) {
        applyBlockFault(u);
        if (n > 0) store_.setNumber(":SIMulator:FAULt:HEADer", 1, n - 1);
      }
      if (const double n = store_.number(":SIMulator:FAULt:DROP"); n != 0) {
        reply.dropAfter = offset + u.blob->size() / 2;
        if (n > 0) store_.setNumber(":SIMulator:FAULt:DROP", 1, n - 1);
      }
      break;
    }
    offset += u.size() + 1;
  }
}

void CInstrument::addFaultCommands() {
  addCommand(":SIMulator:FAULt:ERRor", nullptr, [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.empty()) return c.fail(err::kMissingParam);
    if (ps.size() > 2) return c.fail(err::kParamNotAllowed);
    long code = 0;
    std::optional<ScpiError> e;
    if (!detail::intParam(ps[0], -32768, 32767, code, e)) return c.fail(*e);
    if (ps.size() == 2 && ps[1].kind != ParamKind::String) return c.fail(err::kDataType);
    pushErrorLocked(static_cast<int>(code), ps.size() == 2 ? ps[1].text : standardMessage(static_cast<int>(code)));
  });
}

}  // namespace korvane::sim
