#include "Instrument.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <korvane/ModelTable.inc>

namespace korvane::sim {

namespace {

constexpr double kBandwidthLimitHz = 20e6;
constexpr double kMaxSampleRate = 4e9;
constexpr double kMaxMemory = 8e6;

const char* standardMessage(int code) {
  for (const ScpiError& e : {err::kCommand, err::kSyntax, err::kDataType, err::kParamNotAllowed, err::kMissingParam,
                             err::kUndefinedHeader, err::kHeaderSuffix, err::kStringData, err::kExecution,
                             err::kSettingsConflict, err::kOutOfRange, err::kTooMuchData, err::kIllegalValue,
                             err::kNoData, err::kDevice, err::kQueueOverflow, err::kInputOverrun})
    if (e.code == code) return e.message;
  return "Simulated error";
}

unsigned esrBitFor(int code) {
  if (code <= -100 && code > -200) return 32;  // command error
  if (code <= -200 && code > -300) return 16;  // execution error
  if (code <= -400 && code > -500) return 4;   // query error
  return 8;                                    // device-dependent
}

std::string nr1(long long v) { return formatNR1(v); }

std::string signedNR1(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%+d", v);
  return buf;
}

uint64_t fnv1a(std::string_view s) {
  uint64_t h = 1469598103934665603ULL;
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return h;
}

// Writes a definite-length block header for `len` payload bytes.
std::string blockHeader(size_t len) {
  const std::string digits = std::to_string(len);
  return "#" + std::to_string(digits.size()) + digits;
}

bool intParam(const Param& p, double lo, double hi, long& out, std::optional<ScpiError>& e) {
  if (p.kind != ParamKind::Numeric) {
    e = err::kDataType;
    return false;
  }
  const double v = std::round(p.number);
  if (v < lo || v > hi) {
    e = err::kOutOfRange;
    return false;
  }
  out = static_cast<long>(v);
  return true;
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
    : model_(config.model.empty() ? models::kModels[0].id : config.model),
      firmware_(config.firmware),
      store_([&] {
        for (const models::ModelRow& m : models::kModels)
          if ((config.model.empty() ? std::string_view(models::kModels[0].id) : std::string_view(config.model)) == m.id)
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

std::string CInstrument::query(std::string_view message) {
  std::string out = execute(message).flatten();
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
  std::string cmd = ":SIM:SIGN" + f[0] + ":SHAP " + kTokens[static_cast<int>(*shape)] + ";FREQ " + f[2] + ";AMPL " + f[3];
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

Reply CInstrument::execute(std::string_view message) {
  std::lock_guard lock(mutex_);
  Reply reply;
  std::vector<std::string> path;
  for (const ParsedUnit& pu : parseMessage(message)) {
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
    while (!headAlpha.empty() && std::isdigit(static_cast<unsigned char>(headAlpha.back()))) headAlpha.remove_suffix(1);
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
  const std::string& w = u.mnemonics[0];
  std::optional<ScpiError> e;
  const auto answer = [&](std::string s) { reply.units.push_back({std::move(s), nullptr}); };
  const bool noParams = u.params.empty();
  if (!noParams && u.query) e = err::kParamNotAllowed;
  else if (w == "IDN" && u.query) answer(std::string(models::kVendor) + "," + model_ + "," + serial_ + "," + firmware_);
  else if (w == "OPT" && u.query) answer(options_);
  else if (w == "TST" && u.query) answer("0");
  else if (w == "ESR" && u.query) {
    answer(nr1(esr_));
    esr_ = 0;
  } else if (w == "STB" && u.query) answer(nr1(statusByte(reply)));
  else if (w == "OPC" && u.query) answer("1");
  else if ((w == "ESE" || w == "SRE") && u.query) answer(nr1(w == "ESE" ? ese_ : sre_));
  else if ((w == "ESE" || w == "SRE") && !u.query) {
    long v = 0;
    if (u.params.size() != 1) e = u.params.empty() ? err::kMissingParam : err::kParamNotAllowed;
    else if (intParam(u.params[0], 0, 255, v, e)) (w == "ESE" ? ese_ : sre_) = static_cast<unsigned>(v);
  } else if (!noParams) e = err::kParamNotAllowed;
  else if (w == "OPC") esr_ |= 1;  // every operation here completes before the next command
  else if (w == "WAI") {}
  else if (w == "TRG") acquire();  // a bus trigger takes one record; run state is unchanged
  else if (w == "CLS") {
    esr_ = 0;
    operEvent_ = 0;
    errors_.clear();
  } else if (w == "RST") reset();
  else e = err::kUndefinedHeader;
  if (!e) return 0;
  pushErrorLocked(e->code, e->message);
  return e->code;
}

void CInstrument::reset() {
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

void CInstrument::acquire() {
  Capture cap;
  cap.sequence = ++sequence_;
  cap.generation = store_.generation();
  const auto points = static_cast<size_t>(store_.number(":WAVeform:POINts"));
  const double range = store_.number(":TIMebase:RANGe");
  const std::string& ref = store_.text(":TIMebase:REFerence");
  const double frac = ref == "LEFT" ? 0.1 : ref == "RIGH" ? 0.9 : 0.5;
  cap.axis = {store_.number(":TIMebase:POSition") - range * frac, range / static_cast<double>(points), points};
  cap.type = store_.text(":ACQuire:TYPE");
  cap.count = cap.type == "AVER" ? static_cast<int>(store_.number(":ACQuire:COUNt")) : 1;
  for (int ch = 1; ch <= info_.analog; ++ch) {
    ChannelCapture c;
    c.spec.shape = parseShape(store_.text(":SIMulator:SIGNal#:SHAPe", ch)).value_or(Shape::Sine);
    c.spec.frequency = store_.number(":SIMulator:SIGNal#:FREQuency", ch);
    c.spec.amplitude = store_.number(":SIMulator:SIGNal#:AMPLitude", ch);
    c.spec.offset = store_.number(":SIMulator:SIGNal#:OFFSet", ch);
    c.spec.dutyPercent = store_.number(":SIMulator:SIGNal#:DUTY", ch);
    c.spec.phaseDegrees = store_.number(":SIMulator:SIGNal#:PHASe", ch);
    c.spec.noiseRms = store_.number(":SIMulator:SIGNal#:NOISe", ch);
    c.invert = store_.number(":CHANnel#:INVert", ch) != 0;
    c.ac = store_.text(":CHANnel#:COUPling", ch) == "AC";
    c.scale = store_.number(":CHANnel#:RANGe", ch);
    c.offset = store_.number(":CHANnel#:OFFSet", ch);
    cap.channels.push_back(std::move(c));
  }
  capture_ = std::move(cap);
  blocks_.clear();
}

CInstrument::Capture& CInstrument::currentCapture() {
  // A running instrument shows the current settings; a stopped one keeps its last record.
  if (capture_.sequence == 0 || (running_ && capture_.generation != store_.generation())) acquire();
  return capture_;
}

const std::vector<double>& CInstrument::channelData(Capture& cap, int channel) {
  ChannelCapture& c = cap.channels.at(static_cast<size_t>(channel - 1));
  if (!c.ready) {
    const double noiseScale = cap.type == "AVER" ? 1.0 / std::sqrt(cap.count) : cap.type == "HRES" ? 0.5 : 1.0;
    const uint64_t seed = cap.sequence * 131 + static_cast<uint64_t>(channel);
    if (cap.type == "PEAK") synthesizePeak(c.spec, cap.axis, seed, c.invert, c.ac, noiseScale, c.data);
    else synthesize(c.spec, cap.axis, seed, c.invert, c.ac, noiseScale, c.data);
    c.ready = true;
  }
  return c.data;
}

int CInstrument::waveformChannel(Call& call) {
  const std::string& src = store_.text(":WAVeform:SOURce");
  if (src.rfind("CHAN", 0) == 0) return std::atoi(src.c_str() + 4);
  if (const int digital = digitalSource(src)) return digital;
  call.fail(err::kNoData);
  return 0;
}

CInstrument::Preamble CInstrument::preamble(const Capture& cap, int channel) const {
  if (channel < 0) return digitalPreamble(cap);
  const ChannelCapture& c = cap.channels.at(static_cast<size_t>(channel - 1));
  const std::string& fmt = store_.text(":WAVeform:FORMat");
  const bool uns = store_.number(":WAVeform:UNSigned") != 0;
  Preamble p{};
  p.format = fmt == "BYTE" ? 0 : fmt == "WORD" ? 1 : 4;
  p.type = cap.type == "PEAK" ? 1 : cap.type == "AVER" ? 2 : cap.type == "HRES" ? 3 : 0;
  p.points = cap.axis.points;
  p.count = cap.count;
  p.xinc = cap.axis.dx;
  p.xorg = cap.axis.x0;
  p.xref = 0;
  p.yinc = c.scale / (fmt == "BYTE" ? 256.0 : 65536.0);
  p.yorg = c.offset;
  p.yref = fmt == "ASC" ? 0 : uns ? (fmt == "BYTE" ? 128 : 32768) : 0;
  return p;
}

std::shared_ptr<const std::string> CInstrument::encodedBlock(Capture& cap, int channel) {
  if (channel < 0) return digitalBlock(cap, channel);
  const std::string& fmt = store_.text(":WAVeform:FORMat");
  const bool uns = store_.number(":WAVeform:UNSigned") != 0;
  const bool lsbf = store_.text(":WAVeform:BYTeorder") == "LSBF";
  const std::string key = fmt + (uns ? "U" : "S") + (lsbf ? "L" : "M");
  auto& slot = blocks_[{cap.sequence, channel, key}];
  if (slot) return slot;

  const std::vector<double>& v = channelData(cap, channel);
  const Preamble p = preamble(cap, channel);
  auto out = std::make_shared<std::string>();
  // Clamped first, then rounded to nearest-even by the 1.5 * 2^52 trick: the same codes as
  // nearbyint in the default rounding mode, without a library call per sample.
  const double inv = 1.0 / p.yinc;
  const auto code = [&](double x, double lo, double hi) {
    const double y = std::clamp((x - p.yorg) * inv + p.yref, lo, hi);
    constexpr double kRound = 0x1.8p52;
    return (y + kRound) - kRound;
  };
  if (fmt == "ASC") {
    std::string body;
    body.reserve(v.size() * 15);
    char buf[32];
    for (size_t i = 0; i < v.size(); ++i) {
      const int n = std::snprintf(buf, sizeof buf, i ? ",%+.6E" : "%+.6E", v[i]);
      body.append(buf, static_cast<size_t>(n));
    }
    *out = blockHeader(body.size()) + body;
  } else {
    const size_t width = fmt == "WORD" ? 2 : 1;
    const std::string header = blockHeader(v.size() * width);
    out->resize(header.size() + v.size() * width);
    std::memcpy(out->data(), header.data(), header.size());
    auto* dst = reinterpret_cast<unsigned char*>(out->data() + header.size());
    if (width == 2) {
      const double lo = uns ? 0 : -32768, hi = uns ? 65535 : 32767;
      const int hiByte = lsbf ? 1 : 0;
      for (size_t i = 0; i < v.size(); ++i) {
        const auto c = static_cast<uint16_t>(static_cast<int32_t>(code(v[i], lo, hi)));
        dst[2 * i + hiByte] = static_cast<unsigned char>(c >> 8);
        dst[2 * i + 1 - hiByte] = static_cast<unsigned char>(c & 0xFF);
      }
    } else {
      const double lo = uns ? 0 : -128, hi = uns ? 255 : 127;
      for (size_t i = 0; i < v.size(); ++i) dst[i] = static_cast<unsigned char>(static_cast<int32_t>(code(v[i], lo, hi)));
    }
  }
  slot = std::move(out);
  return slot;
}

int CInstrument::sourceChannel(const Param& p) const {
  if (p.kind != ParamKind::Text) return 0;
  for (int ch = 1; ch <= info_.analog; ++ch)
    if (matchesMnemonic(p.text, "CHANnel" + std::to_string(ch))) return ch;
  return 0;
}

void CInstrument::applyBlockFault(Reply::Unit& u) {
  auto bad = std::make_shared<std::string>(*u.blob);
  const size_t digits = static_cast<size_t>((*bad)[1] - '0');
  const size_t start = 2 + digits;
  const std::string& mode = store_.text(":SIMulator:FAULt:HEADer:MODE");
  if (mode == "CHAR") {
    (*bad)[0] = 'X';
  } else if (mode == "LENG") {  // announce more bytes than follow, so the reader waits for them
    const size_t len = std::stoul(bad->substr(2, digits));
    *bad = blockHeader(len + 1000) + bad->substr(start);
  } else if (mode == "OVER") {  // announce close to 10 GB
    *bad = "#9999999999" + bad->substr(start);
  } else if (mode == "IND") {  // indefinite length: the data runs to the message terminator
    *bad = "#0" + bad->substr(start);
  } else if (mode == "LFE") {  // line feeds inside the data, which must not end the block
    for (size_t i = start; i < bad->size(); i += 7) (*bad)[i] = '\n';
  }
  u.blob = std::move(bad);
}

namespace {

bool numericText(std::string_view t) {
  if (t.empty()) return false;
  char* end = nullptr;
  const std::string s(t);
  std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size();
}

}  // namespace

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

double CInstrument::measure(std::string_view token, const std::vector<Param>& args, Call& call) {
  std::vector<int> sources;
  std::vector<double> numbers;
  bool cycle = false, ac = false;
  int slope = 1;  // edges the jitter measurements use: 1 rising, -1 falling, 0 either
  for (const Param& p : args) {
    if (const int ch = sourceChannel(p)) sources.push_back(ch);
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "RISing")) slope = 1;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "FALLing")) slope = -1;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "EITHer")) slope = 0;
    else if (p.kind == ParamKind::Numeric) numbers.push_back(p.number);
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "CYCLe")) cycle = true;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "DISPlay")) cycle = false;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "AC")) ac = true;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "DC")) ac = false;
    else {
      call.fail(err::kIllegalValue);
      return kNoResult;
    }
  }
  const int src1 = sources.size() > 0 ? sources[0] : measSource1_;
  const int src2 = sources.size() > 1 ? sources[1] : measSource2_;
  Capture& cap = currentCapture();
  TimeAxis axis = cap.axis;
  if (cap.type == "PEAK") axis.dx /= 2;  // pairs stand for two samples per interval
  const CMeasurer m(channelData(cap, src1), axis, thresholds_);
  const auto num = [&](size_t i, double dflt) { return i < numbers.size() ? numbers[i] : dflt; };
  const auto ival = [](int n) { return static_cast<double>(n); };

  if (token == "FREQ" || token == "COUN") return m.frequency();
  if (token == "PER") return m.period();
  if (token == "VPP") return m.vmax() - m.vmin();
  if (token == "VMAX") return m.vmax();
  if (token == "VMIN") return m.vmin();
  if (token == "VTOP") return m.top();
  if (token == "VBAS") return m.base();
  if (token == "VAMP") return m.top() - m.base();
  if (token == "VAV") return m.average(cycle);
  if (token == "VRMS") return m.rms(cycle, ac);
  if (token == "SDEV") return m.stddev();
  if (token == "ARE") return m.area();
  if (token == "RIS") return m.riseTime();
  if (token == "FALL") return m.fallTime();
  if (token == "PWID") return m.positiveWidth();
  if (token == "NWID") return m.negativeWidth();
  if (token == "DUTY") return m.dutyCycle();
  if (token == "NDUT") {
    const double d = m.dutyCycle();
    return d == kNoResult ? d : 100 - d;
  }
  if (token == "OVER") return m.overshoot();
  if (token == "PRES") return m.preshoot();
  if (token == "XMAX") return m.timeAtMax();
  if (token == "XMIN") return m.timeAtMin();
  if (token == "PEDG") return ival(m.edgeCount(true));
  if (token == "NEDG") return ival(m.edgeCount(false));
  if (token == "PPUL") return ival(m.pulseCount(true));
  if (token == "NPUL") return ival(m.pulseCount(false));
  if (token == "BWID") return m.burstWidth();
  if (token == "BRAT") return m.bitRate();
  if (token == "VTIM") return numbers.empty() ? (call.fail(err::kMissingParam), kNoResult) : m.valueAtTime(numbers[0]);
  if (token == "TEDG") return m.timeOfEdge(static_cast<int>(num(0, 1)));
  if (token == "TVAL") {
    if (numbers.empty()) return call.fail(err::kMissingParam), kNoResult;
    return m.timeAtValue(numbers[0], static_cast<int>(num(1, 1)));
  }
  if (token == "CC" || token == "NPER") {
    std::vector<double> t;
    for (const CMeasurer::Edge& e : m.edges())
      if (slope == 0 || e.rising == (slope > 0)) t.push_back(e.tMiddle);
    if (token == "NPER") {
      const double n = num(0, 1);
      if (n < 1 || n != std::floor(n)) return call.fail(err::kIllegalValue), kNoResult;
      return t.size() > static_cast<size_t>(n) ? t[static_cast<size_t>(n)] - t[0] : kNoResult;
    }
    // The largest change between successive periods.
    if (t.size() < 3) return kNoResult;
    double worst = 0;
    for (size_t i = 0; i + 2 < t.size(); ++i) worst = std::max(worst, std::fabs((t[i + 2] - t[i + 1]) - (t[i + 1] - t[i])));
    return worst;
  }
  if (token == "DEL" || token == "PHAS") {
    const CMeasurer m2(channelData(cap, src2), axis, thresholds_);
    const double t1 = m.timeOfEdge(delayEdge1_), t2 = m2.timeOfEdge(delayEdge2_);
    if (t1 == kNoResult || t2 == kNoResult) return kNoResult;
    if (token == "DEL") return t2 - t1;
    const double per = m.period();
    return per == kNoResult ? kNoResult : (t2 - t1) / per * 360.0;
  }
  call.fail(err::kUndefinedHeader);
  return kNoResult;
}

void CInstrument::buildCommands() {
  // Run control
  addCommand(":RUN", nullptr, [this](Call& c) {
    setRunning(true);
    acquire();
    c.reply.delaySeconds += store_.number(":SIMulator:ACQuire:TIME");
  });
  addCommand(":STOP", nullptr, [this](Call&) { setRunning(false); });
  const auto single = [this](Call& c) {
    for (const Param& p : c.unit.params)
      if (!sourceChannel(p)) return c.fail(err::kIllegalValue);
    acquire();
    setRunning(false);
    c.reply.delaySeconds += store_.number(":SIMulator:ACQuire:TIME");
  };
  addCommand(":SINGle", nullptr, single);
  addCommand(":DIGitize", nullptr, single);
  const auto noop = [](Call&) {};
  addCommand(":AUToscale", nullptr, noop);
  addCommand(":TRIGger:FORCe", nullptr, noop);
  addCommand(":TRIGger[:EDGE]:LEVel:ASETup", nullptr, noop);
  // ":TRIG:LEV:HIGH <level>,<source>" and ":TRIG:LEV:HIGH? <source>": the high (or low) threshold of
  // the runt and transition triggers, one per channel.
  for (const bool high : {true, false}) {
    const char* header = high ? ":TRIGger:LEVel:HIGH" : ":TRIGger:LEVel:LOW";
    addCommand(header, [this, high](Call& c) {
      const auto& ps = c.unit.params;
      if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
      const int ch = sourceChannel(ps[0]);
      if (!ch) return c.fail(err::kIllegalValue);
      const auto& l = sourceLevels_[static_cast<size_t>(ch - 1)];
      c.answer(formatNR3(high ? l.first : l.second));
    }, [this, high](Call& c) {
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
  addCommand(":ACQuire:SEGMented:ANALyze", nullptr, noop);
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
  addCommand(":FRANalysis:RUN", nullptr, [this](Call&) { esr_ |= 1; });
  // Arbitrary waveform points of generator 1 or 2 ("WGEN" alone is generator 1): volts, or
  // 16-bit DAC codes. Only their count is answered.
  const auto arbGenerator = [this](Call& c) -> std::vector<double>* {
    if (c.suffix[0] < 1 || c.suffix[0] > static_cast<int>(arbPoints_.size())) {
      c.fail(err::kHeaderSuffix);
      return nullptr;
    }
    return &arbPoints_[static_cast<size_t>(c.suffix[0] - 1)];
  };
  const auto arbData = [arbGenerator](bool dac) {
    return [arbGenerator, dac](Call& c) {
      std::vector<double>* points = arbGenerator(c);
      if (!points) return;
      if (c.unit.params.empty()) return c.fail(err::kMissingParam);
      std::vector<double> values;
      for (const Param& p : c.unit.params) {
        if (p.kind != ParamKind::Numeric) return c.fail(err::kDataType);
        if (dac && (p.number != std::trunc(p.number) || p.number < -32768 || p.number > 32767))
          return c.fail(err::kOutOfRange);
        values.push_back(p.number);
      }
      *points = std::move(values);
    };
  };
  addCommand(":WGEN#:ARBitrary:DATA", nullptr, arbData(false));
  addCommand(":WGEN#:ARBitrary:DATA:DAC", nullptr, arbData(true));
  addCommand(":WGEN#:ARBitrary:DATA:CLEar", nullptr, [arbGenerator](Call& c) {
    if (std::vector<double>* points = arbGenerator(c)) points->clear();
  });
  addCommand(":WGEN#:ARBitrary:DATA:ATTRibute:POINts", [arbGenerator](Call& c) {
    if (std::vector<double>* points = arbGenerator(c)) c.answer(nr1(static_cast<long long>(points->size())));
  }, nullptr);
  addCommand(":ACQuire:SRATe", [this](Call& c) {
    c.answer(formatNR3(std::min(kMaxSampleRate, kMaxMemory / store_.number(":TIMebase:RANGe"))));
  }, nullptr);
  addCommand(":ACQuire:POINts", [this](Call& c) { c.answer(nr1(std::llround(store_.number(":WAVeform:POINts")))); }, nullptr);

  // Status
  addCommand(":SYSTem:ERRor[:NEXT]", [this](Call& c) {
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
  }, nullptr);
  addCommand(":OPERegister:CONDition", [this](Call& c) { c.answer(nr1(operCondition())); }, nullptr);
  addCommand(":OPERegister[:EVENt]", [this](Call& c) {
    c.answer(nr1(operEvent_ | operCondition()));
    operEvent_ = 0;
  }, nullptr);
  addCommand(":OVLRegister", [](Call& c) { c.answer("0"); }, nullptr);
  addCommand(":MTERegister[:EVENt]", [](Call& c) { c.answer("0"); }, nullptr);
  // The set-up as one definite-length block, and back; a block this instrument did not make is
  // refused and changes nothing.
  addCommand(":SYSTem:SETup", [this](Call& c) {
    if (!c.unit.params.empty()) return c.fail(err::kParamNotAllowed);
    const std::string setup = store_.saveSetup();
    c.answer(blockHeader(setup.size()) + setup);
  }, [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
    if (ps[0].kind != ParamKind::Block) return c.fail(err::kDataType);
    if (!store_.restoreSetup(ps[0].text)) c.fail(err::kIllegalValue);
  });
  addCommand(":SYSTem:DATA:VALue", [this](Call& c) {
    if (c.unit.params.size() != 1) return c.fail(c.unit.params.empty() ? err::kMissingParam : err::kParamNotAllowed);
    const Param& p = c.unit.params[0];
    if (p.kind != ParamKind::String && p.kind != ParamKind::Text) return c.fail(err::kDataType);
    const std::string key = upper(p.text);
    if (key == "COUN:CHAN") c.answer(nr1(info_.analog));
    else if (key == "COUN:POD") c.answer(nr1(info_.digital / 8));
    else if (key == "POD:SIZE") c.answer(nr1(8));
    else if (key == "CHAN:BAND") c.answer(formatNR3(bandwidthHz_));
    else if (key == "CHAN:BWL") c.answer(formatNR3(kBandwidthLimitHz));
    else c.fail(err::kIllegalValue);
  }, nullptr);

  // Waveform transfer. Queries with parameters are refused like any setting query.
  const auto withPreamble = [this](std::function<std::string(const Preamble&)> f) {
    return [this, f](Call& c) {
      if (!c.unit.params.empty()) return c.fail(err::kParamNotAllowed);
      const int ch = waveformChannel(c);
      if (!ch) return;
      Capture& cap = currentCapture();
      c.answer(f(preamble(cap, ch)));
    };
  };
  addCommand(":WAVeform:PREamble", withPreamble([](const Preamble& p) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%d,%d,%zu,%d,%s,%s,%d,%s,%s,%d", p.format, p.type, p.points, p.count,
                  formatNR3(p.xinc).c_str(), formatNR3(p.xorg).c_str(), p.xref, formatNR3(p.yinc).c_str(),
                  formatNR3(p.yorg).c_str(), p.yref);
    return std::string(buf);
  }), nullptr);
  addCommand(":WAVeform:XINCrement", withPreamble([](const Preamble& p) { return formatNR3(p.xinc); }), nullptr);
  addCommand(":WAVeform:XORigin", withPreamble([](const Preamble& p) { return formatNR3(p.xorg); }), nullptr);
  addCommand(":WAVeform:XREFerence", withPreamble([](const Preamble& p) { return nr1(p.xref); }), nullptr);
  addCommand(":WAVeform:YINCrement", withPreamble([](const Preamble& p) { return formatNR3(p.yinc); }), nullptr);
  addCommand(":WAVeform:YORigin", withPreamble([](const Preamble& p) { return formatNR3(p.yorg); }), nullptr);
  addCommand(":WAVeform:YREFerence", withPreamble([](const Preamble& p) { return nr1(p.yref); }), nullptr);
  addCommand(":WAVeform:COUNt", withPreamble([](const Preamble& p) { return nr1(p.count); }), nullptr);
  addCommand(":WAVeform:TYPE", [this](Call& c) { c.answer(currentCapture().type); }, nullptr);
  addCommand(":WAVeform:DATA", [this](Call& c) {
    if (!c.unit.params.empty()) return c.fail(err::kParamNotAllowed);
    const int ch = waveformChannel(c);
    if (!ch) return;
    c.reply.units.push_back({{}, encodedBlock(currentCapture(), ch)});
  }, nullptr);
  // "MAX, <n>" asks for as many points as the record holds, up to n.
  addCommand(":WAVeform:POINts", nullptr, [this](Call& c) {
    const int row = store_.find(":WAVeform:POINts");
    const auto& ps = c.unit.params;
    if (!ps.empty() && ps[0].kind == ParamKind::Text && matchesMnemonic(ps[0].text, "MAXimum") && ps.size() == 2) {
      if (ps[1].kind != ParamKind::Numeric) return c.fail(err::kDataType);
      Param p;
      p.kind = ParamKind::Numeric;
      p.number = std::clamp(ps[1].number, store_.rows()[row].def->min, store_.rows()[row].def->max);
      if (auto e = store_.set(row, 0, {p})) c.fail(*e);
      return;
    }
    if (auto e = store_.set(row, 0, ps)) c.fail(*e);
  });

  // Measurements
  addCommand(":MEASure:SOURce", [this](Call& c) {
    c.answer("CHAN" + std::to_string(measSource1_) + ",CHAN" + std::to_string(measSource2_));
  }, [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.empty()) return c.fail(err::kMissingParam);
    if (ps.size() > 2) return c.fail(err::kParamNotAllowed);
    int s[2] = {measSource1_, measSource2_};
    for (size_t i = 0; i < ps.size(); ++i)
      if (!(s[i] = sourceChannel(ps[i]))) return c.fail(err::kIllegalValue);
    measSource1_ = s[0];
    measSource2_ = s[1];
  });
  addCommand(":MEASure:DEFine", [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
    if (matchesMnemonic(ps[0].text, "THResholds"))
      c.answer(std::string(thresholds_.percent ? "PERC," : "ABS,") + formatNR3(thresholds_.upper) + "," +
               formatNR3(thresholds_.middle) + "," + formatNR3(thresholds_.lower));
    else if (matchesMnemonic(ps[0].text, "DELay"))
      c.answer(signedNR1(delayEdge1_) + "," + signedNR1(delayEdge2_));
    else c.fail(err::kIllegalValue);
  }, [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.empty()) return c.fail(err::kMissingParam);
    if (ps[0].kind != ParamKind::Text) return c.fail(err::kDataType);
    if (matchesMnemonic(ps[0].text, "THResholds")) {
      if (ps.size() == 2 && ps[1].kind == ParamKind::Text && matchesMnemonic(ps[1].text, "STANdard")) {
        thresholds_ = {};
        return;
      }
      if (ps.size() < 5) return c.fail(err::kMissingParam);
      if (ps.size() > 5) return c.fail(err::kParamNotAllowed);
      if (ps[1].kind != ParamKind::Text) return c.fail(err::kDataType);
      ThresholdDef t;
      if (matchesMnemonic(ps[1].text, "PERCent")) t.percent = true;
      else if (matchesMnemonic(ps[1].text, "ABSolute")) t.percent = false;
      else return c.fail(err::kIllegalValue);
      for (int i = 2; i < 5; ++i)
        if (ps[i].kind != ParamKind::Numeric) return c.fail(err::kDataType);
      t.upper = ps[2].number;
      t.middle = ps[3].number;
      t.lower = ps[4].number;
      if (t.percent && (t.lower < 0 || t.upper > 100)) return c.fail(err::kOutOfRange);
      if (!(t.upper > t.middle && t.middle > t.lower)) return c.fail(err::kSettingsConflict);
      thresholds_ = t;
    } else if (matchesMnemonic(ps[0].text, "DELay")) {
      if (ps.size() != 3) return c.fail(ps.size() < 3 ? err::kMissingParam : err::kParamNotAllowed);
      long e1 = 0, e2 = 0;
      std::optional<ScpiError> e;
      if (!intParam(ps[1], -1000, 1000, e1, e) || !intParam(ps[2], -1000, 1000, e2, e)) return c.fail(*e);
      if (e1 == 0 || e2 == 0) return c.fail(err::kIllegalValue);
      delayEdge1_ = static_cast<int>(e1);
      delayEdge2_ = static_cast<int>(e2);
    } else {
      c.fail(err::kIllegalValue);
    }
  });
  addCommand(":MEASure:CLEar", nullptr, [this](Call&) { installed_.clear(); });
  addCommand(":MEASure:STATistics:RESet", nullptr, noop);
  addCommand(":MEASure:STATistics:INCRement", nullptr, noop);
  addCommand(":MEASure:RESults", [this](Call& c) {
    std::string out;
    for (const auto& [token, ch] : installed_) {
      std::vector<Param> args(1);
      args[0].text = "CHAN" + std::to_string(ch);
      if (!out.empty()) out.push_back(',');
      out += formatNR3(measure(token, args, c));
    }
    c.answer(out);
  }, nullptr);
  static const char* const kMeasurements[] = {
      "FREQuency", "PERiod", "VPP", "VMAX", "VMIN", "VTOP", "VBASe", "VAMPlitude", "VAVerage", "VRMS",
      "RISetime", "FALLtime", "PWIDth", "NWIDth", "DUTYcycle", "NDUTy", "OVERshoot", "PREShoot", "XMAX", "XMIN",
      "PEDGes", "NEDGes", "PPULses", "NPULses", "SDEViation", "AREa", "COUNter", "DELay", "PHASe", "VTIMe",
      "TVALue", "TEDGe", "BWIDth", "BRATe", "CC", "NPERiod"};
  for (const char* name : kMeasurements) {
    const std::string token = shortFormOf(name);
    addCommand((std::string(":MEASure:") + name).c_str(), [this, token](Call& c) {
      const double v = measure(token, c.unit.params, c);
      if (!c.error) c.answer(formatNR3(v));
    }, [this, token](Call& c) {
      // The command form installs the measurement on the screen for :MEAS:RES?.
      int ch = measSource1_;
      if (c.unit.params.size() > 1) return c.fail(err::kParamNotAllowed);
      if (!c.unit.params.empty() && !(ch = sourceChannel(c.unit.params[0]))) return c.fail(err::kIllegalValue);
      if (installed_.size() >= 10) installed_.erase(installed_.begin());
      installed_.emplace_back(token, ch);
    });
  }

  // Simulator controls without a stored value
  addCommand(":SIMulator:FAULt:ERRor", nullptr, [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.empty()) return c.fail(err::kMissingParam);
    if (ps.size() > 2) return c.fail(err::kParamNotAllowed);
    long code = 0;
    std::optional<ScpiError> e;
    if (!intParam(ps[0], -32768, 32767, code, e)) return c.fail(*e);
    if (ps.size() == 2 && ps[1].kind != ParamKind::String) return c.fail(err::kDataType);
    pushErrorLocked(static_cast<int>(code), ps.size() == 2 ? ps[1].text : standardMessage(static_cast<int>(code)));
  });

  buildToolCommands();

  // Every stored setting last, so the handlers above take precedence on shared headers.
  for (size_t i = 0; i < store_.rows().size(); ++i)
    commands_.push_back({store_.rows()[i].pattern, static_cast<int>(i), nullptr, nullptr});
}

}  // namespace korvane::sim
