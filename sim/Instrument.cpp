#include "Instrument.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

#include <korvane/ModelTable.inc>

namespace korvane::sim {

namespace {

unsigned esrBitFor(int code) {
  if (code <= -100 && code > -200) return 32;  // command error
  if (code <= -200 && code > -300) return 16;  // execution error
  if (code <= -400 && code > -500) return 4;   // query error
  return 8;                                    // device-dependent
}

uint64_t fnv1a(std::string_view s) {
  uint64_t h = 1469598103934665603ULL;
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return h;
}

}  // namespace

size_t Reply::size() const {
  if (units.empty()) return 0;
  size_t n = units.size();  // separators plus the line feed
  for (const Unit& u : units) n += u.size();
  return n;
}

std::string Reply::flatten() const {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    if (i) out.push_back(';');
    out += units[i].blob ? *units[i].blob : units[i].text;
  }
  if (!units.empty()) out.push_back('\n');
  return out;
}

CInstrument::CInstrument(InstrumentConfig config)
    : model_(config.model.empty() ? models::kModels[0].id : config.model), firmware_(config.firmware), store_([&] {
        for (const models::ModelRow& m : models::kModels)
          if ((config.model.empty() ? std::string_view(models::kModels[0].id) : std::string_view(config.model)) ==
              m.id)
            return ModelInfo{m.analog, m.digital};
        throw std::invalid_argument("unknown model: " + config.model);
      }()) {
  std::string family;
  for (const models::ModelRow& m : models::kModels) {
    if (model_ == m.id) {
      info_ = {m.analog, m.digital};
      bandwidthHz_ = m.bandwidthMHz * 1e6;
      family = m.family;
    }
  }
  serial_ = config.serial;
  if (serial_.empty()) serial_ = "VT" + std::to_string(10000000 + fnv1a(model_) % 90000000);
  options_ = config.options;
  if (options_.empty()) {
    if (info_.digital > 0) options_ = "MSO,";
    options_ += "SGM,MASK,WAVEGEN,ADVMATH,VID,DVM,DVMCTR,EMBD,AUTO,COMP,JITTER";
    if (family == "Avel") options_ += ",FRA";
  }
  buildCommands();
}

void CInstrument::addCommand(const char* pattern, Handler onQuery, Handler onSet) {
  commands_.push_back({parsePattern(pattern), -1, std::move(onQuery), std::move(onSet)});
}

CInstrument::~CInstrument() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  timerCv_.notify_all();
  if (timer_.joinable()) timer_.join();
}

std::string CInstrument::query(std::string_view message, bool counted) {
  std::string out = execute(message, counted).flatten();
  if (!out.empty()) out.pop_back();
  return out;
}

std::string CInstrument::takeError() {
  std::lock_guard lock(mutex_);
  if (errors_.empty()) return "+0,\"No error\"";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%+d,", errors_.front().first);
  std::string e = buf + quoteString(errors_.front().second);
  errors_.pop_front();
  return e;
}

void CInstrument::pushError(int code, std::string_view message) {
  std::lock_guard lock(mutex_);
  pushErrorLocked(code, message);
}

void CInstrument::pushErrorLocked(int code, std::string_view message) {
  esr_ |= esrBitFor(code);
  if (errors_.size() >= kErrorQueueSize) {
    // A full queue keeps its oldest entries; the newest slot says that errors were lost.
    errors_.back() = {err::kQueueOverflow.code, err::kQueueOverflow.message};
    return;
  }
  errors_.emplace_back(code, std::string(message));
}

void CInstrument::applySignalSpec(std::string_view spec) {
  std::vector<std::string> f;
  size_t start = 0;
  while (true) {
    const size_t p = spec.find(':', start);
    f.emplace_back(spec.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
    if (p == std::string_view::npos) break;
    start = p + 1;
  }
  if (f.size() < 4 || f.size() > 6) throw std::invalid_argument("signal: expected ch:shape:freq:amp[:offset[:duty]]");
  const auto shape = parseShape(f[1]);
  if (!shape) throw std::invalid_argument("signal: unknown shape '" + f[1] + "'");
  static const char* const kTokens[] = {"SIN", "SQU", "TRI", "NOIS", "DC"};
  std::string cmd = ":SIM:SIGN" + f[0] + ":SHAP " + kTokens[static_cast<int>(*shape)] + ";FREQ " + f[2] + ";AMPL " +
                    f[3];
  if (f.size() > 4) cmd += ";OFFS " + f[4];
  if (f.size() > 5) cmd += ";DUTY " + f[5];
  size_t before;
  {
    std::lock_guard lock(mutex_);
    before = errors_.size();
  }
  execute(cmd);
  std::lock_guard lock(mutex_);
  if (errors_.size() != before) {
    const std::string why = errors_.back().second;
    errors_.pop_back();
    throw std::invalid_argument("signal '" + std::string(spec) + "': " + why);
  }
}

Reply CInstrument::execute(std::string_view message, bool counted) {
  std::lock_guard lock(mutex_);
  settleLocked();
  Reply reply;
  std::vector<std::string> path;
  for (const ParsedUnit& pu : parseMessage(message)) {
    // The simulator's own queries (the count among them) are not the instrument's.
    if (counted && pu.unit.query &&
        (pu.unit.common || pu.unit.mnemonics.empty() || upper(pu.unit.mnemonics[0]).rfind("SIM", 0) != 0))
      ++queries_;
    if (pu.error) {
      pushErrorLocked(pu.error->code, pu.error->message);
      break;  // the parser gives up on the rest of a message after a command error
    }
    const int code = executeUnit(pu.unit, path, reply);
    if (code <= -100 && code > -200) break;
  }
  // A message that sets fault switches is answered plainly, so that a control connection can
  // arm a fault and confirm it in one message without setting it off.
  const auto isArming = [&] {
    std::string up(message);
    for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return up.find("FAUL") != std::string::npos;
  };
  if (!isArming()) applyFaults(reply);
  return reply;
}

int CInstrument::executeUnit(const Unit& unit, std::vector<std::string>& path, Reply& reply) {
  try {
    if (unit.common) return executeCommon(unit, reply);
    std::vector<std::string> full;
    if (!unit.absolute) full = path;
    full.insert(full.end(), unit.mnemonics.begin(), unit.mnemonics.end());
    path.assign(full.begin(), full.end() - 1);

    // The first mnemonic rules out most of the several hundred headers without a full match.
    const std::string head = upper(full.empty() ? std::string() : full[0]);
    std::string_view headAlpha = head;
    while (!headAlpha.empty() && std::isdigit(static_cast<unsigned char>(headAlpha.back())))
      headAlpha.remove_suffix(1);
    // The record and what is measured on it are there when the acquisition has ended: their
    // replies wait for that, as the instrument's would, while the status queries answer at once.
    if (unit.query && busyUntil_ &&
        (head == "WAV" || head == "WAVEFORM" || head == "MEAS" || head == "MEASURE" || head == "FRAN" ||
         head == "FRANALYSIS"))
      reply.delaySeconds = std::max(reply.delaySeconds, pendingSecondsLocked());
    std::vector<int> suffix;
    for (const Command& c : commands_) {
      const PatternNode& first = c.pattern.nodes.front();
      const std::string_view word = first.suffix ? headAlpha : std::string_view(head);
      if (!first.optional && word != first.shortForm && word != first.longForm) continue;
      if (!matchHeader(c.pattern, full, suffix)) continue;
      const Handler& h = unit.query ? c.onQuery : c.onSet;
      if (!h && c.setting < 0) continue;
      Call call{unit, suffix, reply, std::nullopt};
      if (h) {
        h(call);
      } else {
        const int inst = store_.instanceOf(c.setting, suffix.empty() ? 1 : suffix[0]);
        if (inst < 0) {
          call.fail(err::kHeaderSuffix);
        } else if (unit.query) {
          if (!unit.params.empty()) call.fail(err::kParamNotAllowed);
          else call.answer(store_.query(c.setting, inst));
        } else if (auto e = store_.set(c.setting, inst, unit.params)) {
          call.fail(*e);
        }
      }
      if (!call.error) return 0;
      pushErrorLocked(call.error->code, call.error->message);
      return call.error->code;
    }
    pushErrorLocked(err::kUndefinedHeader.code, err::kUndefinedHeader.message);
    return err::kUndefinedHeader.code;
  } catch (const std::bad_alloc&) {
    pushErrorLocked(-225, "Out of memory");
    return -225;
  } catch (const std::exception& e) {
    pushErrorLocked(err::kDevice.code, e.what());
    return err::kDevice.code;
  }
}

void CInstrument::countSerialPoll() {
  std::lock_guard lock(mutex_);
  ++queries_;
}

int CInstrument::addCompletionListener(std::function<void()> listener) {
  std::lock_guard lock(listenersMutex_);
  listeners_[nextListener_] = std::move(listener);
  return nextListener_++;
}

void CInstrument::removeCompletionListener(int id) {
  std::lock_guard lock(listenersMutex_);
  listeners_.erase(id);
}

// Caller holds mutex_. A second operation started while one is pending ends with the later.
void CInstrument::startOperationLocked() {
  const double seconds = store_.number(":SIMulator:OPERation:TIME");
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
  if (!busyUntil_) queriesAtStart_ = queries_;
  if (!busyUntil_ || *busyUntil_ < end) busyUntil_ = end;
  if (!timer_.joinable()) timer_ = std::thread([this] { timerLoop(); });
  timerCv_.notify_all();
}

void CInstrument::settleLocked() {
  if (busyUntil_ && Clock::now() >= *busyUntil_) finishOperationsLocked();
}

void CInstrument::finishOperationsLocked() {
  if (!busyUntil_) return;
  // The end as the instrument sees it: when its time came (whenever the timer or a message got
  // to it), or now for an operation cut short by :STOP or *RST.
  lastEnd_ = std::min(Clock::now(), *busyUntil_);
  busyUntil_.reset();
  queriesDuring_ = queries_ - queriesAtStart_;
  if (opcArmed_ || fraPending_) esr_ |= 1;
  opcArmed_ = fraPending_ = false;
  announce_ = true;
  timerCv_.notify_all();
}

double CInstrument::pendingSecondsLocked() const {
  if (!busyUntil_) return 0;
  const auto left = *busyUntil_ - Clock::now();
  return left.count() > 0 ? std::chrono::duration<double>(left).count() : 0;
}

// Ends the pending operations on time, whether or not a client is talking, and tells the
// listeners, so a service request goes out at the end rather than at the next message.
void CInstrument::timerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    settleLocked();
    if (announce_) {
      announce_ = false;
      lock.unlock();
      {
        std::lock_guard listeners(listenersMutex_);
        for (auto& [id, listener] : listeners_) listener();
      }
      lock.lock();
      continue;
    }
    if (busyUntil_) timerCv_.wait_until(lock, *busyUntil_);
    else timerCv_.wait(lock);
  }
}

void CInstrument::reset() {
  opcArmed_ = fraPending_ = false;
  finishOperationsLocked();
  store_.reset(false);
  thresholds_ = {};
  delayEdge1_ = delayEdge2_ = 1;
  measSource1_ = 1;
  measSource2_ = std::min(2, info_.analog);
  installed_.clear();
  for (auto& points : arbPoints_) points.clear();
  running_ = true;
  capture_ = {};
  blocks_.clear();
}

void CInstrument::setRunning(bool run) {
  if (run && !running_) operEvent_ |= 8;
  running_ = run;
}

int CInstrument::sourceChannel(const Param& p) const {
  if (p.kind != ParamKind::Text) return 0;
  for (int ch = 1; ch <= info_.analog; ++ch)
    if (matchesMnemonic(p.text, "CHANnel" + std::to_string(ch))) return ch;
  return 0;
}

void CInstrument::buildCommands() {
  addRunControlCommands();
  addAcquisitionCommands();
  addTriggerCommands();
  addChannelCommands();
  addSystemCommands();
  addWaveformCommands();
  addMeasurementCommands();
  addMeasureSetupCommands();
  addCursorAndClockCommands();
  addGeneratorCommands();
  addFileCommands();
  addAnalysisCommands();
  addFaultCommands();

  // Every stored setting last, so the handlers above take precedence on shared headers.
  for (size_t i = 0; i < store_.rows().size(); ++i)
    commands_.push_back({store_.rows()[i].pattern, static_cast<int>(i), nullptr, nullptr});
}

}  // namespace korvane::sim
