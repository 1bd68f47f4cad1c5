#include "Settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace korvane::cli {
namespace {

const InterfaceInfo& Iface(int k) {
  std::size_t n = 0;
  return Interfaces(&n)[k];
}

// The session flags (Simulate, Cache, RangeCheck, ...) belong to the driver session and are
// given in the option string, not stored with the instrument's set-up.
bool DriverSide(const InterfaceInfo& i) { return std::strcmp(i.name, "IIviDriverOperation") == 0; }

// Deep enough for every path of the object model; a guard against a navigation cycle.
constexpr int kMaxDepth = 8;

class Walker {
 public:
  Walker(const std::function<bool(const InterfaceInfo&)>& keep,
         const std::function<void(const WalkedProperty&)>& visit)
      : keep_(keep), visit_(visit) {}

  void Visit(IUnknown* object, int iface, const std::string& prefix, PropertyPath& path, int depth) {
    if (depth > kMaxDepth) return;
    ComPtr<IUnknown> identity;
    if (FAILED(object->QueryInterface(IID_IUnknown, identity.ReceiveVoid())) || !identity) return;
    alive_.push_back(identity);  // an identity a visitor remembers must not be reused by another object
    std::vector<int> chain;
    for (int k = iface; k >= 0; k = Iface(k).base) chain.insert(chain.begin(), k);
    for (int k : chain) {
      const InterfaceInfo& i = Iface(k);
      if (!keep_(i)) continue;
      for (std::size_t n = 0; n < i.count; ++n) Member(object, identity.get(), i, i.members[n], prefix, path, depth);
    }
  }

 private:
  void Member(IUnknown* object, IUnknown* identity, const InterfaceInfo& owner, const MemberInfo& m,
              const std::string& prefix, PropertyPath& path, int depth) {
    const std::string name = prefix + m.name;
    if (m.kind == MemberKind::Property) {
      path.property = &m;
      visit_(WalkedProperty{object, identity, m, name, path});
      return;
    }
    if (m.kind == MemberKind::Navigation) {
      IUnknown* next = nullptr;
      if (FAILED(m.nav(object, &next)) || !next) return;
      ComPtr<IUnknown> hold;
      hold.Attach(next);
      path.steps.push_back({&m, {}});
      Visit(next, m.target, name + ".", path, depth + 1);
      path.steps.pop_back();
      return;
    }
    if (m.kind == MemberKind::Item && owner.names) {
      std::vector<std::string> names;
      if (FAILED(owner.names(object, names))) return;
      for (const std::string& item : names) {
        Bstr b(item);
        IUnknown* next = nullptr;
        if (FAILED(m.item(object, b, &next)) || !next) continue;
        ComPtr<IUnknown> hold;
        hold.Attach(next);
        path.steps.push_back({&m, item});
        Visit(next, m.target, name + "(" + item + ").", path, depth + 1);
        path.steps.pop_back();
      }
    }
  }

  const std::function<bool(const InterfaceInfo&)>& keep_;
  const std::function<void(const WalkedProperty&)>& visit_;
  std::vector<ComPtr<IUnknown>> alive_;
};

bool Contains(const char* name, const char* word) { return std::strstr(name, word) != nullptr; }

// 0 modes and sources, 1 what scales a channel (its probe first), 2 ranges and scales, 3 the rest.
int Phase(const MemberInfo& m) {
  if (m.value == ValueKind::Enum || m.value == ValueKind::Bool || m.value == ValueKind::String) return 0;
  if (Contains(m.name, "Attenuation") || Contains(m.name, "Impedance")) return 1;
  if (Contains(m.name, "Range") || Contains(m.name, "Scale") || Contains(m.name, "Length") ||
      Contains(m.name, "Rate") || Contains(m.name, "Count") || Contains(m.name, "Points"))
    return 2;
  return 3;
}

}  // namespace

void WalkProperties(IUnknown* root, int iface, const std::function<bool(const InterfaceInfo&)>& keepInterface,
                    const std::function<void(const WalkedProperty&)>& visit) {
  Walker w(keepInterface, visit);
  PropertyPath path;
  w.Visit(root, iface, "", path, 0);
}

HRESULT ReadAllSettings(IUnknown* root, SaveResult& out) {
  out = SaveResult{};
  // One object reached along two paths (an interface and its newer version) is saved once, under
  // the oldest interface's name, which every version of the driver knows.
  std::set<std::pair<IUnknown*, std::string>> seen;
  WalkProperties(
      root, RootInterface(), [](const InterfaceInfo& i) { return !DriverSide(i); },
      [&](const WalkedProperty& p) {
        const MemberInfo& m = p.member;
        if (!m.get || !m.put || !seen.insert({p.identity, m.name}).second) return;
        Setting s;
        s.path = p.name;
        s.resolved = p.path;
        // An empty text is what an instrument answers for a setting it has never had; sent back it
        // would be a command without its parameter.
        if (FAILED(m.get(p.object, s.value)) || (m.value == ValueKind::String && s.value.s.empty())) {
          ++out.skipped;
          return;
        }
        out.settings.push_back(std::move(s));
      });
  SortForApply(out.settings);
  return out.settings.empty() ? E_FAIL : S_OK;
}

void SortForApply(std::vector<Setting>& settings) {
  std::stable_sort(settings.begin(), settings.end(), [](const Setting& a, const Setting& b) {
    const int pa = Phase(*a.resolved.property), pb = Phase(*b.resolved.property);
    if (pa != pb) return pa < pb;
    return a.resolved.steps.size() < b.resolved.steps.size();
  });
}

std::string ValueJson(const MemberInfo& m, const Value& v) {
  switch (m.value) {
    case ValueKind::Double: return JsonNumber(v.d);
    case ValueKind::Bool: return v.i ? "true" : "false";
    case ValueKind::String: return JsonString(v.s);
    case ValueKind::Enum: return JsonString(FormatValue(m, v));
    default: return std::to_string(v.i);
  }
}

std::string SettingsJson(const std::vector<Setting>& settings, const std::string& manufacturer,
                         const std::string& model, const std::string& firmware) {
  std::string out = "{\n  \"format\": \"korvane-settings-1\",\n";
  out += "  \"instrument\": {\"manufacturer\": " + JsonString(manufacturer) + ", \"model\": " + JsonString(model) +
         ", \"firmware\": " + JsonString(firmware) + "},\n";
  out += "  \"settings\": {";
  for (std::size_t k = 0; k < settings.size(); ++k) {
    const Setting& s = settings[k];
    out += (k ? ",\n    " : "\n    ") + JsonString(s.path) + ": " + ValueJson(*s.resolved.property, s.value);
  }
  out += settings.empty() ? "}\n}\n" : "\n  }\n}\n";
  return out;
}

bool ParseSettings(const JsonValue& doc, std::vector<Setting>& out, std::string& model, std::string& error) {
  out.clear();
  const JsonValue* format = doc.Find("format");
  const JsonValue* settings = doc.Find("settings");
  if (doc.type != JsonValue::Type::Object || !format || format->text != "korvane-settings-1" || !settings ||
      settings->type != JsonValue::Type::Object) {
    error = "not a settings file of korvane save (\"format\": \"korvane-settings-1\" with a \"settings\" object)";
    return false;
  }
  if (const JsonValue* inst = doc.Find("instrument"))
    if (const JsonValue* m = inst->Find("model")) model = m->text;
  for (const auto& [path, value] : settings->members) {
    Setting s;
    s.path = path;
    if (!ResolvePath(path, s.resolved, error)) return false;
    if (!s.resolved.property->put) {
      error = path + " is read-only";
      return false;
    }
    std::string text;
    switch (value.type) {
      case JsonValue::Type::Bool: text = value.boolean ? "true" : "false"; break;
      case JsonValue::Type::Number:
      case JsonValue::Type::String: text = value.text; break;
      default: error = path + ": the value must be a number, true/false or a string"; return false;
    }
    if (!ParseValue(*s.resolved.property, text, s.value, error)) {
      error = path + ": " + error;
      return false;
    }
    out.push_back(std::move(s));
  }
  SortForApply(out);
  return true;
}

}  // namespace korvane::cli
