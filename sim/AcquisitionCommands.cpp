// Run control, the :ACQuire and :TRIGger subsystems, the channels (analog and digital) and the
// waveform memories: the commands that act rather than store. The settings of these subsystems are rows of the
// settings table.
#include <algorithm>
#include <chrono>

#include "InstrumentDetail.h"
#include "Instrument.h"

namespace korvane::sim {

namespace {

constexpr double kMaxSampleRate = 4e9;
constexpr double kMaxMemory = 8e6;

}  // namespace

void CInstrument::addRunControlCommands() {
  addCommand(":RUN", nullptr, [this](Call& c) {
    setRunning(true);
    acquire();
    c.reply.delaySeconds += store_.number(":SIMulator:ACQuire:TIME");
  });
  addCommand(":STOP", nullptr, [this](Call&) {
    setRunning(false);
    finishOperationsLocked();  // an aborted acquisition has ended too
  });
  const auto single = [this](Call& c) {
    for (const Param& p : c.unit.params)
      if (!sourceChannel(p)) return c.fail(err::kIllegalValue);
    acquire();
    setRunning(false);
    c.reply.delaySeconds += store_.number(":SIMulator:ACQuire:TIME");
    if (store_.number(":SIMulator:OPERation:TIME") > 0) startOperationLocked();
  };
  addCommand(":SINGle", nullptr, single);
  addCommand(":DIGitize", nullptr, single);
  addCommand(":AUToscale", nullptr, [](Call&) {});
  // For waits measured from outside: the queries and serial polls received from clients so far
  // (the simulator's own queries not among them), when the last pending operations ended, in
  // nanoseconds of the system's monotonic clock, and how many came in while those ran.
  addCommand(
      ":SIMulator:QUERies", [this](Call& c) { c.answer(detail::nr1(static_cast<long long>(queries_))); }, nullptr);
  addCommand(
      ":SIMulator:OPERation:END",
      [this](Call& c) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(lastEnd_.time_since_epoch()).count();
        c.answer(detail::nr1(static_cast<long long>(ns)));
      },
      nullptr);
  addCommand(
      ":SIMulator:OPERation:QUERies",
      [this](Call& c) { c.answer(detail::nr1(static_cast<long long>(queriesDuring_))); }, nullptr);
}

void CInstrument::addAcquisitionCommands() {
  addCommand(":ACQuire:SEGMented:ANALyze", nullptr, [](Call&) {});
  addCommand(
      ":ACQuire:SRATe",
      [this](Call& c) {
        c.answer(formatNR3(std::min(kMaxSampleRate, kMaxMemory / store_.number(":TIMebase:RANGe"))));
      },
      nullptr);
  addCommand(
      ":ACQuire:POINts", [this](Call& c) { c.answer(detail::nr1(std::llround(store_.number(":WAVeform:POINts")))); },
      nullptr);
}

void CInstrument::addTriggerCommands() {
  addCommand(":TRIGger:FORCe", nullptr, [](Call&) {});
  addCommand(":TRIGger[:EDGE]:LEVel:ASETup", nullptr, [](Call&) {});
  // ":TRIG:LEV:HIGH <level>,<source>" and ":TRIG:LEV:HIGH? <source>": the high (or low) threshold of
  // the runt and transition triggers, one per channel.
  for (const bool high : {true, false}) {
    const char* header = high ? ":TRIGger:LEVel:HIGH" : ":TRIGger:LEVel:LOW";
    addCommand(
        header,
        [this, high](Call& c) {
          const auto& ps = c.unit.params;
          if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
          const int ch = sourceChannel(ps[0]);
          if (!ch) return c.fail(err::kIllegalValue);
          const auto& l = sourceLevels_[static_cast<size_t>(ch - 1)];
          c.answer(formatNR3(high ? l.first : l.second));
        },
        [this, high](Call& c) {
          const auto& ps = c.unit.params;
          if (ps.size() != 2) return c.fail(ps.size() < 2 ? err::kMissingParam : err::kParamNotAllowed);
          if (ps[0].kind != ParamKind::Numeric) return c.fail(err::kDataType);
          const int ch = sourceChannel(ps[1]);
          if (!ch) return c.fail(err::kIllegalValue);
          if (ps[0].number < -100 || ps[0].number > 100) return c.fail(err::kOutOfRange);
          auto& l = sourceLevels_[static_cast<size_t>(ch - 1)];
          (high ? l.first : l.second) = ps[0].number;
        });
  }
}

void CInstrument::addChannelCommands() {
  addCommand(":CHANnel#:PROTection", nullptr, [this](Call& c) {
    if (c.suffix[0] < 1 || c.suffix[0] > info_.analog) c.fail(err::kHeaderSuffix);
  });
  addCommand(":WMEMory#:CLEar", nullptr, [](Call& c) {
    if (c.suffix[0] < 1 || c.suffix[0] > 4) c.fail(err::kHeaderSuffix);
  });
  addCommand(":WMEMory#:SAVE", nullptr, [this](Call& c) {
    if (c.suffix[0] < 1 || c.suffix[0] > 4) return c.fail(err::kHeaderSuffix);
    if (c.unit.params.size() != 1) return c.fail(c.unit.params.empty() ? err::kMissingParam : err::kParamNotAllowed);
    if (!sourceChannel(c.unit.params[0])) c.fail(err::kIllegalValue);
  });
  // Digital channel activity: the channels whose level changed in the record since the last
  // reset, and the levels at the record's end, as bit masks over the channels.
  addCommand(
      ":ACTivity",
      [this](Call& c) {
        if (info_.digital == 0) return c.fail(err::kUndefinedHeader);
        const Capture& cap = currentCapture();
        const unsigned all = info_.digital >= 32 ? ~0u : (1u << info_.digital) - 1;
        unsigned edges = 0;
        if (cap.sequence != activityResetAt_)
          for (std::size_t k = 1; k < cap.axis.points; ++k)
            edges |= detail::digitalLevels(k) ^ detail::digitalLevels(k - 1);
        const unsigned levels = cap.axis.points ? detail::digitalLevels(cap.axis.points - 1) : 0;
        c.answer(formatNR1(edges & all) + "," + formatNR1(levels & all));
      },
      [this](Call& c) {
        if (info_.digital == 0) return c.fail(err::kUndefinedHeader);
        activityResetAt_ = currentCapture().sequence;
      });
}

}  // namespace korvane::sim
