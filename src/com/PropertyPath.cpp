#include "com/PropertyPath.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace korvane::paths {
namespace {

const InterfaceInfo& Iface(int k) {
  std::size_t n = 0;
  return Interfaces(&n)[k];
}

// The interface whose member this is (the collection an Item getter belongs to).
int OwnerOf(const MemberInfo* m) {
  std::size_t n = 0;
  const InterfaceInfo* all = Interfaces(&n);
  for (std::size_t k = 0; k < n; ++k)
    if (all[k].count && m >= all[k].members && m < all[k].members + all[k].count) return static_cast<int>(k);
  return -1;
}

const EnumInfo& Enum(int k) {
  std::size_t n = 0;
  return Enums(&n)[k];
}

bool SameName(const char* a, const std::string& b) { return EqualsNoCase(b, a); }

// The member by name on the interface or the interfaces it extends.
const MemberInfo* Find(int iface, const std::string& name) {
  for (int k = iface; k >= 0; k = Iface(k).base) {
    const InterfaceInfo& i = Iface(k);
    for (std::size_t m = 0; m < i.count; ++m)
      if (SameName(i.members[m].name, name)) return &i.members[m];
  }
  return nullptr;
}

struct Segment {
  std::string name;
  std::string arg;
  bool hasArg = false;
};

// "A.Item(\"x.y\").B" -> A | Item("x.y") | B; dots inside parentheses belong to the argument.
bool Split(const std::string& text, std::vector<Segment>& out, std::string& error) {
  std::size_t i = 0;
  while (i <= text.size()) {
    Segment s;
    while (i < text.size() && text[i] != '.' && text[i] != '(') s.name += text[i++];
    if (i < text.size() && text[i] == '(') {
      std::size_t close = text.find(')', i);
      if (close == std::string::npos) {
        error = "unbalanced parenthesis in '" + text + "'";
        return false;
      }
      s.arg = text.substr(i + 1, close - i - 1);
      if (s.arg.size() >= 2 && (s.arg.front() == '"' || s.arg.front() == '\'') && s.arg.back() == s.arg.front())
        s.arg = s.arg.substr(1, s.arg.size() - 2);
      s.hasArg = true;
      i = close + 1;
      if (i < text.size() && text[i] != '.') {
        error = "expected '.' after ')' in '" + text + "'";
        return false;
      }
    }
    if (s.name.empty()) {
      error = "empty name in the path '" + text + "'";
      return false;
    }
    out.push_back(std::move(s));
    if (i >= text.size()) break;
    ++i;  // the dot
    if (i == text.size()) {
      error = "the path '" + text + "' ends with a dot";
      return false;
    }
  }
  return true;
}

std::string Prefix(const std::vector<Segment>& segs, std::size_t upto) {
  std::string p;
  for (std::size_t k = 0; k < upto; ++k) {
    if (k) p += '.';
    p += segs[k].name;
    if (segs[k].hasArg) p += "(" + segs[k].arg + ")";
  }
  return p.empty() ? "the root" : "'" + p + "'";
}

std::string Listing(int iface) {
  std::string s;
  for (const std::string& m : MemberListing(iface)) s += "\n  " + m;
  return s;
}

bool Walk(const std::string& text, bool wantProperty, PropertyPath& out, int& iface, std::string& error) {
  out = PropertyPath{};
  iface = RootInterface();
  std::vector<Segment> segs;
  if (!text.empty() && !Split(text, segs, error)) return false;
  for (std::size_t k = 0; k < segs.size(); ++k) {
    const Segment& s = segs[k];
    const MemberInfo* m = Find(iface, s.name);
    const std::string where = Prefix(segs, k);
    if (!m) {
      error = "unknown property path '" + text + "': " + where + " (" + Iface(iface).name + ") has no member '" +
              s.name + "'; its members are:" + Listing(iface);
      return false;
    }
    const bool last = k + 1 == segs.size();
    if (m->kind == MemberKind::Method) {
      error = "unknown property path '" + text + "': '" + s.name + "' of " + where + " is a method, not a property";
      return false;
    }
    if (m->kind == MemberKind::Property) {
      if (!last || s.hasArg || !wantProperty) {
        error = "unknown property path '" + text + "': '" + s.name + "' of " + where + " is a property, not an object";
        return false;
      }
      out.property = m;
      out.interfaceIndex = iface;
      return true;
    }
    if (m->kind == MemberKind::Item && !s.hasArg) {
      error = "unknown property path '" + text + "': Item needs the item's name, e.g. Item(Channel1)";
      return false;
    }
    if (m->kind == MemberKind::Navigation && s.hasArg) {
      error = "unknown property path '" + text + "': '" + s.name + "' takes no argument";
      return false;
    }
    out.steps.push_back({m, s.arg});
    iface = m->target;
  }
  if (wantProperty) {
    error = "the path '" + text + "' names an object (" + Iface(iface).name +
            "), not a property; its members are:" + Listing(iface);
    return false;
  }
  return true;
}

HRESULT Navigate(IUnknown* root, const PropertyPath& path, ComPtr<IUnknown>& at) {
  at = ComPtr<IUnknown>(root);
  for (const PathStep& s : path.steps) {
    IUnknown* next = nullptr;
    HRESULT hr;
    if (s.member->kind == MemberKind::Item) {
      Bstr name(s.itemName);
      hr = s.member->item(at.get(), name, &next);
    } else {
      hr = s.member->nav(at.get(), &next);
    }
    if (FAILED(hr)) {
      if (next) next->Release();
      return hr;
    }
    if (!next) return E_POINTER;
    at.Attach(next);
  }
  return S_OK;
}

const char* KindName(const MemberInfo& m) {
  switch (m.value) {
    case ValueKind::Long: return "long";
    case ValueKind::Short: return "short";
    case ValueKind::Int64: return "int64";
    case ValueKind::Double: return "double";
    case ValueKind::String: return "string";
    case ValueKind::Bool: return "boolean";
    case ValueKind::Enum: return Enum(m.enumIndex).name;
    case ValueKind::None: break;
  }
  return "";
}

int GroupRank(MemberKind k) {
  switch (k) {
    case MemberKind::Navigation: return 0;
    case MemberKind::Item: return 1;
    case MemberKind::Property: return 2;
    case MemberKind::Method: return 3;
  }
  return 4;
}

const char* GroupTitle(MemberKind k) {
  static const char* const titles[] = {"objects:", "collections:", "properties:", "methods:"};
  return titles[GroupRank(k)];
}

std::string EnumMembers(const EnumInfo& e) {
  std::string s;
  for (std::size_t k = 0; k < e.count; ++k) s += (k ? " | " : "") + std::string(e.words[k].word);
  return s;
}

bool ParseInteger(const std::string& t, std::int64_t lo, std::int64_t hi, std::int64_t& v) {
  if (t.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long x = std::strtoll(t.c_str(), &end, 0);
  if (errno || *end || x < lo || x > hi) return false;
  v = x;
  return true;
}

}  // namespace

std::string Describe(const MemberInfo& m) {
  switch (m.kind) {
    case MemberKind::Item: return std::string(m.name) + "(<name>)  -> " + Iface(m.target).name;
    case MemberKind::Navigation: return std::string(m.name) + "  -> " + Iface(m.target).name;
    case MemberKind::Method: return std::string(m.name) + (m.signature ? m.signature : "()");
    case MemberKind::Property: break;
  }
  std::string line = std::string(m.name) + "  " + KindName(m) +
                     (m.get && m.put ? ", read/write"
                      : m.get        ? ", read-only"
                                     : ", write-only");
  if (m.value == ValueKind::Enum) line += ": " + EnumMembers(Enum(m.enumIndex));
  return line;
}

bool ResolvePath(const std::string& text, PropertyPath& out, std::string& error) {
  int iface = -1;
  if (text.empty()) {
    error = "empty property path";
    return false;
  }
  return Walk(text, true, out, iface, error);
}

bool ResolveObject(const std::string& text, PropertyPath& out, std::string& error) {
  int iface = -1;
  return Walk(text, false, out, iface, error);
}

bool ResolveInterface(const std::string& text, int& interfaceIndex, std::string& error) {
  PropertyPath p;
  return Walk(text, false, p, interfaceIndex, error);
}

namespace {

// The members of an interface and its bases, grouped as a reader looks for them: objects to go
// on to, collections, properties, methods; each group sorted by name.
std::vector<const MemberInfo*> SortedMembers(int iface) {
  std::vector<const MemberInfo*> all;
  for (int k = iface; k >= 0; k = Iface(k).base) {
    const InterfaceInfo& i = Iface(k);
    for (std::size_t n = 0; n < i.count; ++n) all.push_back(&i.members[n]);
  }
  std::stable_sort(all.begin(), all.end(), [](const MemberInfo* a, const MemberInfo* b) {
    if (a->kind != b->kind) return GroupRank(a->kind) < GroupRank(b->kind);
    return std::strcmp(a->name, b->name) < 0;
  });
  return all;
}

}  // namespace

std::vector<std::string> MemberListing(int iface) {
  const std::vector<const MemberInfo*> all = SortedMembers(iface);
  std::vector<std::string> out;
  int group = -1;
  for (const MemberInfo* m : all) {
    if (GroupRank(m->kind) != group) {
      group = GroupRank(m->kind);
      out.push_back(GroupTitle(m->kind));
    }
    out.push_back("  " + Describe(*m));
  }
  return out;
}

std::vector<ListedMember> ListTree(int iface, int depth) {
  std::vector<ListedMember> out;
  const std::vector<const MemberInfo*> all = SortedMembers(iface);
  for (const MemberInfo* m : all) {
    out.push_back({m, {}});
    if (depth > 1 && (m->kind == MemberKind::Navigation || m->kind == MemberKind::Item))
      out.back().children = ListTree(m->target, depth - 1);
  }
  return out;
}

std::string UnknownItemHint(IUnknown* root, const PropertyPath& path) {
  ComPtr<IUnknown> at(root);
  std::string where;  // the path so far, e.g. "Channels"
  for (const PathStep& s : path.steps) {
    if (s.member->kind == MemberKind::Item) {
      const int owner = OwnerOf(s.member);
      const NamesFn names = owner >= 0 ? Iface(owner).names : nullptr;
      std::vector<std::string> valid;
      if (names && SUCCEEDED(names(at.get(), valid))) {
        bool found = false;
        std::string all;
        for (const std::string& v : valid) {
          found = found || EqualsNoCase(s.itemName, v.c_str());
          all += (all.empty() ? "" : ", ") + v;
        }
        if (!found)
          return "'" + s.itemName + "' is not in " + (where.empty() ? std::string("the root") : where) +
                 "; the valid names are: " + (all.empty() ? std::string("(none)") : all);
      }
    }
    IUnknown* next = nullptr;
    HRESULT hr;
    if (s.member->kind == MemberKind::Item) {
      Bstr name(s.itemName);
      hr = s.member->item(at.get(), name, &next);
    } else {
      hr = s.member->nav(at.get(), &next);
    }
    if (FAILED(hr) || !next) {
      if (next) next->Release();
      return {};
    }
    at.Attach(next);
    where += (where.empty() ? "" : ".") + std::string(s.member->name) +
             (s.member->kind == MemberKind::Item ? "(" + s.itemName + ")" : "");
  }
  return {};
}

std::vector<std::string> CompletePath(const std::string& partial) {
  // Everything up to the last dot must resolve to an object; the rest is a member prefix.
  const std::size_t dot = partial.rfind('.');
  const std::string head = dot == std::string::npos ? std::string() : partial.substr(0, dot);
  const std::string stem = dot == std::string::npos ? partial : partial.substr(dot + 1);
  int iface = -1;
  std::string error;
  std::vector<std::string> out;
  if (!ResolveInterface(head, iface, error)) return out;
  const std::string lead = head.empty() ? std::string() : head + ".";
  for (int k = iface; k >= 0; k = Iface(k).base) {
    const InterfaceInfo& i = Iface(k);
    for (std::size_t n = 0; n < i.count; ++n) {
      const MemberInfo& m = i.members[n];
      if (m.kind == MemberKind::Method || stem.size() > std::strlen(m.name) ||
          !EqualsNoCase(stem, std::string(m.name, stem.size()).c_str()))
        continue;
      if (m.kind == MemberKind::Property) out.push_back(lead + m.name);
      else if (m.kind == MemberKind::Item) out.push_back(lead + m.name + "(");
      else out.push_back(lead + m.name + ".");
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

bool ParseValue(const MemberInfo& m, const std::string& t, Value& v, std::string& error) {
  const std::string bad = "bad value '" + t + "' for " + m.name + " (" + KindName(m) + ")";
  switch (m.value) {
    case ValueKind::Long:
      if (ParseInteger(t, INT32_MIN, INT32_MAX, v.i)) return true;
      break;
    case ValueKind::Short:
      if (ParseInteger(t, INT16_MIN, INT16_MAX, v.i)) return true;
      break;
    case ValueKind::Int64:
      if (ParseInteger(t, INT64_MIN, INT64_MAX, v.i)) return true;
      break;
    case ValueKind::Double: {
      errno = 0;
      char* end = nullptr;
      v.d = std::strtod(t.c_str(), &end);
      if (!t.empty() && !errno && !*end && std::isfinite(v.d)) return true;
      break;
    }
    case ValueKind::String: v.s = t; return true;
    case ValueKind::Bool:
      if (SameName("true", t) || SameName("on", t) || t == "1") {
        v.i = VARIANT_TRUE;
        return true;
      }
      if (SameName("false", t) || SameName("off", t) || t == "0") {
        v.i = VARIANT_FALSE;
        return true;
      }
      error = bad + ": use true or false";
      return false;
    case ValueKind::Enum: {
      const EnumInfo& e = Enum(m.enumIndex);
      std::string stem = e.name;
      if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, "Enum") == 0) stem.resize(stem.size() - 4);
      std::int64_t number = 0;
      const bool numeric = ParseInteger(t, INT32_MIN, INT32_MAX, number);
      std::string words;
      for (std::size_t k = 0; k < e.count; ++k) {
        const EnumWord& w = e.words[k];
        if (SameName(w.word, t) || SameName((stem + w.word).c_str(), t) || (numeric && number == w.value)) {
          v.i = w.value;
          return true;
        }
        words += (k ? ", " : "") + std::string(w.word);
      }
      error = bad + ": one of " + words;
      return false;
    }
    case ValueKind::None: break;
  }
  error = bad;
  return false;
}

std::string FormatValue(const MemberInfo& m, const Value& v) {
  switch (m.value) {
    case ValueKind::Double: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.12g", v.d);
      return buf;
    }
    case ValueKind::String: return v.s;
    case ValueKind::Bool: return v.i ? "true" : "false";
    case ValueKind::Enum: {
      const EnumInfo& e = Enum(m.enumIndex);
      for (std::size_t k = 0; k < e.count; ++k)
        if (e.words[k].value == v.i) return e.words[k].word;
      return std::to_string(v.i) + " (not a member of " + e.name + ")";
    }
    default: return std::to_string(v.i);
  }
}

HRESULT ReadProperty(IUnknown* root, const PropertyPath& path, Value& out) {
  if (!path.property->get) return E_NOTIMPL;
  ComPtr<IUnknown> at;
  HRESULT hr = Navigate(root, path, at);
  return FAILED(hr) ? hr : path.property->get(at.get(), out);
}

HRESULT WriteProperty(IUnknown* root, const PropertyPath& path, const Value& in) {
  if (!path.property->put) return E_NOTIMPL;
  ComPtr<IUnknown> at;
  HRESULT hr = Navigate(root, path, at);
  return FAILED(hr) ? hr : path.property->put(at.get(), in);
}

}  // namespace korvane::paths
