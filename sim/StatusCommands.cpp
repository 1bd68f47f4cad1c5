// The IEEE 488.2 common commands, the status registers and the :SYSTem subsystem: what a
// client reads to learn who the instrument is and whether anything went wrong.
#include <algorithm>
#include <cstdio>
#include <string_view>

#include <korvane/ModelTable.inc>

#include "InstrumentDetail.h"
#include "Instrument.h"

namespace korvane::sim {

using detail::nr1;

namespace {

constexpr double kBandwidthLimitHz = 20e6;

}  // namespace

uint8_t CInstrument::statusByte(const Reply& reply) const {
  unsigned stb = 0;
  if (!errors_.empty()) stb |= 4;
  if (reply.hasOutput()) stb |= 16;
  if (esr_ & ese_) stb |= 32;
  if (operEvent_ & static_cast<unsigned>(store_.number(":OPEE"))) stb |= 128;
  if (stb & sre_ & ~64u) stb |= 64;
  return static_cast<uint8_t>(stb);
}

int CInstrument::executeCommon(const Unit& u, Reply& reply) {
  using Fn = void (*)(CInstrument&, Call&);
  struct Common {
    std::string_view word;
    Fn onQuery, onSet;
    bool setTakesValue;  // every other common command refuses parameters
  };
  static constexpr auto kSetEnable = [](Call& c, unsigned& reg) {
    const auto& ps = c.unit.params;
    long v = 0;
    if (ps.size() != 1) c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
    else if (detail::intParam(ps[0], 0, 255, v, c.error)) reg = static_cast<unsigned>(v);
  };
  // The query forms of *CLS, *RST, *TRG and *WAI act as the commands and answer nothing.
  static constexpr Fn kCls = [](CInstrument& in, Call&) {
    in.opcArmed_ = false;  // back to the operation complete idle state
    in.esr_ = 0;
    in.operEvent_ = 0;
    in.errors_.clear();
  };
  static constexpr Fn kRst = [](CInstrument& in, Call&) { in.reset(); };
  static constexpr Fn kTrg = [](CInstrument& in, Call&) { in.acquire(); };  // one record; run state unchanged
  static constexpr Fn kWai = [](CInstrument&, Call&) {};
  static const Common kCommon[] = {
      {"IDN",
       [](CInstrument& in, Call& c) {
         c.answer(std::string(models::kVendor) + "," + in.model_ + "," + in.serial_ + "," + in.firmware_);
       },
       nullptr, false},
      {"OPT", [](CInstrument& in, Call& c) { c.answer(in.options_); }, nullptr, false},
      {"TST", [](CInstrument&, Call& c) { c.answer("0"); }, nullptr, false},
      {"ESR",
       [](CInstrument& in, Call& c) {
         c.answer(nr1(in.esr_));
         in.esr_ = 0;
       },
       nullptr, false},
      {"STB", [](CInstrument& in, Call& c) { c.answer(nr1(in.statusByte(c.reply))); }, nullptr, false},
      // Without a pending operation (:SIM:OPER:TIME 0) every operation completes before the next
      // command; with one, *OPC sets the bit and *OPC? answers when it ends.
      {"OPC",
       [](CInstrument& in, Call& c) {
         c.reply.delaySeconds = std::max(c.reply.delaySeconds, in.pendingSecondsLocked());
         c.answer("1");
       },
       [](CInstrument& in, Call&) {
         if (in.busyUntil_) in.opcArmed_ = true;
         else in.esr_ |= 1;
       },
       false},
      {"ESE", [](CInstrument& in, Call& c) { c.answer(nr1(in.ese_)); },
       [](CInstrument& in, Call& c) { kSetEnable(c, in.ese_); }, true},
      {"SRE", [](CInstrument& in, Call& c) { c.answer(nr1(in.sre_)); },
       [](CInstrument& in, Call& c) { kSetEnable(c, in.sre_); }, true},
      {"CLS", kCls, kCls, false},
      {"RST", kRst, kRst, false},
      {"TRG", kTrg, kTrg, false},
      {"WAI", kWai, kWai, false},
  };
  static const std::vector<int> kNoSuffix;

  const std::string& word = u.mnemonics[0];
  const Common* cmd = nullptr;
  for (const Common& c : kCommon)
    if (c.word == word) cmd = &c;
  Call call{u, kNoSuffix, reply, std::nullopt};
  if (!u.params.empty() && (u.query || !cmd || !cmd->setTakesValue)) call.fail(err::kParamNotAllowed);
  else if (const Fn f = !cmd ? nullptr : u.query ? cmd->onQuery : cmd->onSet) f(*this, call);
  else call.fail(err::kUndefinedHeader);
  if (!call.error) return 0;
  pushErrorLocked(call.error->code, call.error->message);
  return call.error->code;
}

void CInstrument::addSystemCommands() {
  addCommand(
      ":SYSTem:ERRor[:NEXT]",
      [this](Call& c) {
        // An instrument whose error queue never runs dry.
        if (const double n = store_.number(":SIMulator:FAULt:ERRor:FLOod"); n > 0) {
          store_.setNumber(":SIMulator:FAULt:ERRor:FLOod", 1, n - 1);
          return c.answer("-350,\"Queue overflow\"");
        }
        if (errors_.empty()) return c.answer("+0,\"No error\"");
        char buf[16];
        std::snprintf(buf, sizeof buf, "%+d,", errors_.front().first);
        c.answer(buf + quoteString(errors_.front().second));
        errors_.pop_front();
      },
      nullptr);
  addCommand(
      ":OPERegister:CONDition", [this](Call& c) { c.answer(nr1(operCondition())); }, nullptr);
  addCommand(
      ":OPERegister[:EVENt]",
      [this](Call& c) {
        c.answer(nr1(operEvent_ | operCondition()));
        operEvent_ = 0;
      },
      nullptr);
  addCommand(
      ":OVLRegister", [](Call& c) { c.answer("0"); }, nullptr);
  addCommand(
      ":MTERegister[:EVENt]", [](Call& c) { c.answer("0"); }, nullptr);
  // The set-up as one definite-length block, and back; a block this instrument did not make is
  // refused and changes nothing.
  addCommand(
      ":SYSTem:SETup",
      [this](Call& c) {
        if (!c.unit.params.empty()) return c.fail(err::kParamNotAllowed);
        c.answer(detail::definiteBlock(store_.saveSetup()));
      },
      [this](Call& c) {
        const auto& ps = c.unit.params;
        if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
        if (ps[0].kind != ParamKind::Block) return c.fail(err::kDataType);
        if (!store_.restoreSetup(ps[0].text)) c.fail(err::kIllegalValue);
      });
  addCommand(
      ":SYSTem:DATA:VALue",
      [this](Call& c) {
        if (c.unit.params.size() != 1)
          return c.fail(c.unit.params.empty() ? err::kMissingParam : err::kParamNotAllowed);
        const Param& p = c.unit.params[0];
        if (p.kind != ParamKind::String && p.kind != ParamKind::Text) return c.fail(err::kDataType);
        const std::string key = upper(p.text);
        if (key == "COUN:CHAN") c.answer(nr1(info_.analog));
        else if (key == "COUN:POD") c.answer(nr1(info_.digital / 8));
        else if (key == "POD:SIZE") c.answer(nr1(8));
        else if (key == "CHAN:BAND") c.answer(formatNR3(bandwidthHz_));
        else if (key == "CHAN:BWL") c.answer(formatNR3(kBandwidthLimitHz));
        else c.fail(err::kIllegalValue);
      },
      nullptr);
  addCommand(
      ":SERial", [this](Call& c) { c.answer(serial_); }, nullptr);
}

}  // namespace korvane::sim
