#include "Settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace korvane::sim {

namespace {

std::vector<std::string> splitOn(std::string_view s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t p = s.find(sep, start);
    out.emplace_back(s.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
    if (p == std::string_view::npos) break;
    start = p + 1;
  }
  return out;
}

std::vector<std::string> expandTokens(std::string_view spec, const ModelInfo& model) {
  std::vector<std::string> out;
  if (spec.empty()) return out;
  for (const std::string& t : splitOn(spec, '|')) {
    if (t == "{CHAN}") {
      for (int i = 1; i <= model.analog; ++i) out.push_back("CHANnel" + std::to_string(i));
    } else if (t == "{DIG}") {
      for (int i = 0; i < model.digital; ++i) out.push_back("DIGital" + std::to_string(i));
    } else if (t == "{POD}") {
      for (int i = 1; i <= model.digital / 8; ++i) out.push_back("POD" + std::to_string(i));
    } else {
      out.push_back(t);
    }
  }
  return out;
}

std::string formatNumber(SettingType type, double v) {
  switch (type) {
    case SettingType::Int: return formatNR1(std::llround(v));
    case SettingType::Bool: return v != 0 ? "1" : "0";
    default: return formatNR3(v);
  }
}

}  // namespace

std::string matchToken(const std::vector<std::string>& tokens, std::string_view word) {
  for (const std::string& t : tokens)
    if (matchesMnemonic(word, t)) return shortFormOf(t);
  return {};
}

CSettingStore::Row CSettingStore::makeRow(const SettingRow& def, const ModelInfo& model) const {
  Row row{&def, parsePattern(def.pattern), expandTokens(def.tokens, model), 1};
  if (def.instances == kPerChannel) {
    row.instances = model.analog;
  } else if (def.instances == kPerDigital) {
    row.instances = model.digital;
    row.first = 0;
  } else if (def.instances > 0) {
    row.instances = def.instances;
  }
  return row;
}

CSettingStore::CSettingStore(const ModelInfo& model) {
  for (const SettingRow& def : settingsTable()) rows_.push_back(makeRow(def, model));
  handRows_ = rows_.size();
  for (const SettingRow& def : generatedSettingsTable()) {
    Row row = makeRow(def, model);
    // The header as the driver writes it (short forms, first item) tells whether an earlier
    // row already answers it; that row is the richer one.
    std::vector<std::string> words;
    for (const PatternNode& n : row.pattern.nodes)
      words.push_back(n.shortForm + (n.suffix ? std::to_string(row.first) : ""));
    std::vector<int> suffixes;
    bool served = false;
    for (const Row& r : rows_) {
      const PatternNode& head = r.pattern.nodes.front();
      if (!head.optional && head.shortForm != row.pattern.nodes.front().shortForm) continue;
      if (matchHeader(r.pattern, words, suffixes)) {
        served = true;
        break;
      }
    }
    if (served) shadowed_.push_back(&def);
    else rows_.push_back(std::move(row));
  }
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (const char* c = rows_[i].def->coupledTo) {
      rows_[i].coupled = find(c);
      if (rows_[i].coupled < 0) throw std::logic_error(std::string("coupled setting missing: ") + c);
    }
  }
  // Parsed once: *RST puts every value back, and is sent often (by the driver and the fuzzer).
  defaults_.resize(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i)
    for (int k = 0; k < rows_[i].instances; ++k) defaults_[i].push_back(parseDefault(rows_[i], k));
  reset(true);
}

int CSettingStore::find(std::string_view pattern) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (pattern == rows_[i].def->pattern) return static_cast<int>(i);
  return -1;
}

int CSettingStore::instanceOf(int row, int suffix) const {
  const Row& r = rows_[row];
  if (r.def->instances == 0) return 0;
  const int k = suffix - r.first;
  return k >= 0 && k < r.instances ? k : -1;
}

SettingValue CSettingStore::parseDefault(const Row& row, int instance) const {
  const std::vector<std::string> perInstance = splitOn(row.def->defaults, ';');
  const std::string& text = perInstance[std::min<size_t>(static_cast<size_t>(instance), perInstance.size() - 1)];
  SettingValue v;
  switch (row.def->type) {
    case SettingType::Enum:
    case SettingType::String:
    case SettingType::Text: v.text = text; break;
    default:
      for (const std::string& n : splitOn(text, ',')) v.nums.push_back(std::strtod(n.c_str(), nullptr));
  }
  return v;
}

void CSettingStore::reset(bool includePersistent) {
  values_.resize(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (!includePersistent && (rows_[i].def->flags & kPersistent) && !values_[i].empty()) continue;
    values_[i] = defaults_[i];
  }
  ++generation_;
}

namespace {

bool RestoredRow(const CSettingStore::Row& row) { return !(row.def->flags & (kPersistent | kReadOnly)); }

std::string SetupHead(size_t rows) { return "KSIM-SETUP " + std::to_string(rows); }

}  // namespace

// One ";<numbers each with ','>=<text in hexadecimal>" per value: a string setting may hold any
// byte, the block none that would end the line it travels in.
std::string CSettingStore::saveSetup() const {
  std::string out = SetupHead(rows_.size());
  char buf[32];
  for (size_t r = 0; r < rows_.size(); ++r) {
    if (!RestoredRow(rows_[r])) continue;
    for (const SettingValue& v : values_[r]) {
      out += ';';
      for (double d : v.nums) out.append(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%.17g,", d)));
      out += '=';
      for (unsigned char ch : v.text) out.append(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%02X", ch)));
    }
  }
  return out;
}

bool CSettingStore::restoreSetup(std::string_view bytes) {
  const std::string head = SetupHead(rows_.size());
  if (bytes.substr(0, head.size()) != head) return false;
  auto values = values_;
  size_t pos = head.size();
  for (size_t r = 0; r < rows_.size(); ++r) {
    if (!RestoredRow(rows_[r])) continue;
    for (SettingValue& v : values[r]) {
      if (pos >= bytes.size() || bytes[pos] != ';') return false;
      const size_t eq = bytes.find('=', pos + 1);
      if (eq == std::string_view::npos) return false;
      size_t end = bytes.find(';', eq + 1);
      if (end == std::string_view::npos) end = bytes.size();
      v.nums.clear();
      for (size_t k = pos + 1; k < eq;) {
        const size_t comma = bytes.find(',', k);
        if (comma == std::string_view::npos || comma > eq) return false;
        const std::string number(bytes.substr(k, comma - k));
        char* stop = nullptr;
        v.nums.push_back(std::strtod(number.c_str(), &stop));
        if (number.empty() || *stop) return false;
        k = comma + 1;
      }
      const std::string_view hex = bytes.substr(eq + 1, end - eq - 1);
      if (hex.size() % 2 || hex.find_first_not_of("0123456789ABCDEF") != std::string_view::npos) return false;
      v.text.clear();
      for (size_t k = 0; k < hex.size(); k += 2)
        v.text += static_cast<char>(std::stoi(std::string(hex.substr(k, 2)), nullptr, 16));
      pos = end;
    }
  }
  if (pos != bytes.size()) return false;
  values_ = std::move(values);
  ++generation_;
  return true;
}

std::optional<ScpiError> CSettingStore::set(int rowIndex, int instance, const std::vector<Param>& params) {
  const Row& row = rows_[rowIndex];
  const SettingRow& def = *row.def;
  if (def.flags & kReadOnly) return err::kUndefinedHeader;
  const size_t want = def.type == SettingType::Real || def.type == SettingType::Int ? static_cast<size_t>(def.arity)
                                                                                    : 1;
  if (params.size() < want) return err::kMissingParam;
  if (params.size() > want && def.type != SettingType::Text) return err::kParamNotAllowed;

  SettingValue next;
  switch (def.type) {
    case SettingType::Real:
    case SettingType::Int:
      for (const Param& p : params) {
        double v;
        if (p.kind == ParamKind::Numeric) {
          v = p.number;
        } else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "MINimum")) {
          v = def.min;
        } else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "MAXimum")) {
          v = def.max;
        } else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "DEFault")) {
          v = parseDefault(row, instance).nums.at(next.nums.size());
        } else {
          return err::kDataType;
        }
        if (def.type == SettingType::Int) v = std::round(v);
        if ((def.min != 0 || def.max != 0) && (v < def.min || v > def.max)) return err::kOutOfRange;
        next.nums.push_back(v);
      }
      break;
    case SettingType::Bool: {
      const Param& p = params[0];
      if (p.kind == ParamKind::Numeric) {
        next.nums.push_back(std::round(p.number) != 0 ? 1 : 0);
      } else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "ON")) {
        next.nums.push_back(1);
      } else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "OFF")) {
        next.nums.push_back(0);
      } else {
        return p.kind == ParamKind::Text ? err::kIllegalValue : err::kDataType;
      }
      break;
    }
    case SettingType::Enum: {
      const Param& p = params[0];
      if (p.kind != ParamKind::Text && p.kind != ParamKind::Numeric) return err::kDataType;
      if (row.tokens.empty()) {
        // No token list for this enumeration: any mnemonic, kept in upper case.
        if (p.kind != ParamKind::Text) return err::kDataType;
        next.text = upper(p.text);
        break;
      }
      next.text = matchToken(row.tokens, p.text);  // tokens may be digits ("1", "2")
      if (next.text.empty() && p.kind == ParamKind::Numeric) {
        if (!(def.flags & kAlsoNumber)) return err::kDataType;
        next.text = formatNR3(p.number);
      }
      if (next.text.empty()) return err::kIllegalValue;
      break;
    }
    case SettingType::Text:
      for (const Param& p : params) {
        if (p.kind == ParamKind::Block) return err::kDataType;
        if (!next.text.empty()) next.text.push_back(',');
        next.text += p.kind == ParamKind::String ? quoteString(p.text) : p.text;
      }
      break;
    case SettingType::String: {
      const Param& p = params[0];
      if (p.kind != ParamKind::String) return err::kDataType;
      if (def.max > 0 && p.text.size() > static_cast<size_t>(def.max)) return err::kTooMuchData;
      next.text = p.text;
      break;
    }
  }
  values_[rowIndex][instance] = std::move(next);
  propagate(rowIndex, instance);
  ++generation_;
  return std::nullopt;
}

void CSettingStore::propagate(int rowIndex, int instance) {
  // Coupled pairs (range = 8 x scale and the like) stay consistent whichever is set.
  const Row& row = rows_[rowIndex];
  if (row.coupled >= 0) {
    values_[row.coupled][instance].nums = {values_[rowIndex][instance].nums[0] / row.def->factor};
    return;
  }
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].coupled == rowIndex)
      values_[i][instance].nums = {values_[rowIndex][instance].nums[0] * rows_[i].def->factor};
}

std::string CSettingStore::query(int rowIndex, int instance) const {
  const Row& row = rows_[rowIndex];
  const SettingValue& v = values_[rowIndex][instance];
  switch (row.def->type) {
    case SettingType::Enum:
    case SettingType::Text: return v.text;
    case SettingType::String: return quoteString(v.text);
    default: {
      std::string out;
      for (size_t i = 0; i < v.nums.size(); ++i) {
        if (i) out.push_back(',');
        out += formatNumber(row.def->type, v.nums[i]);
      }
      return out;
    }
  }
}

double CSettingStore::number(std::string_view pattern, int suffix) const {
  const int r = find(pattern);
  if (r < 0) throw std::logic_error("no setting " + std::string(pattern));
  const int inst = instanceOf(r, suffix);
  if (inst < 0) throw std::out_of_range("suffix out of range for " + std::string(pattern));
  return values_[r][inst].nums.at(0);
}

const std::string& CSettingStore::text(std::string_view pattern, int suffix) const {
  const int r = find(pattern);
  if (r < 0) throw std::logic_error("no setting " + std::string(pattern));
  const int inst = instanceOf(r, suffix);
  if (inst < 0) throw std::out_of_range("suffix out of range for " + std::string(pattern));
  return values_[r][inst].text;
}

void CSettingStore::setNumber(std::string_view pattern, int suffix, double v) {
  const int r = find(pattern);
  if (r < 0) throw std::logic_error("no setting " + std::string(pattern));
  const int inst = instanceOf(r, suffix);
  if (inst < 0) throw std::out_of_range("suffix out of range for " + std::string(pattern));
  values_[r][inst].nums = {v};
  propagate(r, inst);
  ++generation_;
}

}  // namespace korvane::sim
