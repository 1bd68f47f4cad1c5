#include "core/ConfigStoreXml.h"
#include "base/StringUtil.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace korvane::configstore {
namespace {

// ---- a small XML reader: elements, attributes, text, entity and character references,
// comments, CDATA, declarations and processing instructions (skipped) ----

struct Node {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
  std::vector<std::unique_ptr<Node>> children;

  const Node* Child(std::string_view n) const {
    for (const auto& c : children)
      if (c->name == n) return c.get();
    return nullptr;
  }
  std::string ChildText(std::string_view n) const {
    const Node* c = Child(n);
    return c ? c->text : std::string();
  }
  std::string Attribute(std::string_view n) const {
    auto it = attributes.find(std::string(n));
    return it == attributes.end() ? std::string() : it->second;
  }
};

class Parser {
 public:
  Parser(std::string_view text, std::string path) : s_(text), path_(std::move(path)) {}

  std::unique_ptr<Node> Parse(std::string* error) {
    try {
      SkipMisc();
      if (!Starts("<")) Fail("the file holds no XML element");
      auto root = Element();
      SkipMisc();
      if (at_ != s_.size()) Fail("text after the root element");
      return root;
    } catch (const std::runtime_error& e) {
      if (error) *error = e.what();
      return nullptr;
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    int line = 1;
    for (std::size_t k = 0; k < at_ && k < s_.size(); ++k) line += s_[k] == '\n';
    throw std::runtime_error(path_ + ":" + std::to_string(line) + ": " + what);
  }
  bool Starts(std::string_view t) const { return s_.substr(at_, t.size()) == t; }
  void Expect(std::string_view t) {
    if (!Starts(t)) Fail("expected '" + std::string(t) + "'");
    at_ += t.size();
  }
  void SkipTo(std::string_view end) {
    const std::size_t p = s_.find(end, at_);
    if (p == std::string_view::npos) Fail("unterminated '" + std::string(end) + "'");
    at_ = p + end.size();
  }
  void SkipSpace() {
    while (at_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[at_]))) ++at_;
  }
  // Declarations, comments, processing instructions and white space between elements.
  void SkipMisc() {
    for (;;) {
      SkipSpace();
      if (Starts("<?")) SkipTo("?>");
      else if (Starts("<!--")) SkipTo("-->");
      else if (Starts("<!DOCTYPE")) SkipTo(">");
      else return;
    }
  }
  static bool NameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
  }
  std::string Name() {
    const std::size_t start = at_;
    while (at_ < s_.size() && NameChar(s_[at_])) ++at_;
    if (at_ == start) Fail("expected a name");
    std::string n(s_.substr(start, at_ - start));
    // Namespace prefixes do not matter to the store's layout.
    if (const std::size_t colon = n.rfind(':'); colon != std::string::npos && n.compare(0, 5, "xmlns") != 0)
      n.erase(0, colon + 1);
    return n;
  }
  void AppendUtf8(std::string& out, unsigned long cp) {
    if (cp == 0 || cp > 0x10FFFF) Fail("character reference out of range");
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  void Reference(std::string& out) {
    const std::size_t semi = s_.find(';', at_);
    if (semi == std::string_view::npos || semi - at_ > 12) Fail("unterminated reference");
    const std::string_view ref = s_.substr(at_ + 1, semi - at_ - 1);
    if (ref == "lt") out += '<';
    else if (ref == "gt") out += '>';
    else if (ref == "amp") out += '&';
    else if (ref == "quot") out += '"';
    else if (ref == "apos") out += '\'';
    else if (ref.size() > 1 && ref[0] == '#') {
      const bool hex = ref[1] == 'x' || ref[1] == 'X';
      const std::string digits(ref.substr(hex ? 2 : 1));
      char* end = nullptr;
      const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
      if (digits.empty() || *end) Fail("bad character reference");
      AppendUtf8(out, cp);
    } else {
      Fail("unknown entity '&" + std::string(ref) + ";'");
    }
    at_ = semi + 1;
  }
  std::unique_ptr<Node> Element() {
    if (++depth_ > 64) Fail("elements nested too deeply");
    auto node = std::make_unique<Node>();
    Expect("<");
    node->name = Name();
    for (;;) {
      SkipSpace();
      if (Starts("/>")) {
        at_ += 2;
        --depth_;
        return node;
      }
      if (Starts(">")) {
        ++at_;
        break;
      }
      std::string attr = Name();
      SkipSpace();
      Expect("=");
      SkipSpace();
      if (at_ >= s_.size() || (s_[at_] != '"' && s_[at_] != '\'')) Fail("expected a quoted attribute value");
      const char quote = s_[at_++];
      std::string value;
      while (at_ < s_.size() && s_[at_] != quote) {
        if (s_[at_] == '&') Reference(value);
        else if (s_[at_] == '<') Fail("'<' in an attribute value");
        else value += s_[at_++];
      }
      Expect(std::string_view(&quote, 1));
      node->attributes[attr] = std::move(value);
    }
    for (;;) {
      if (at_ >= s_.size()) Fail("element <" + node->name + "> is not closed");
      if (Starts("</")) {
        at_ += 2;
        const std::string end = Name();
        if (end != node->name) Fail("</" + end + "> closes <" + node->name + ">");
        SkipSpace();
        Expect(">");
        break;
      }
      if (Starts("<!--")) SkipTo("-->");
      else if (Starts("<![CDATA[")) {
        const std::size_t start = at_ + 9;
        SkipTo("]]>");
        node->text.append(s_.substr(start, at_ - 3 - start));
      } else if (Starts("<?")) SkipTo("?>");
      else if (Starts("<")) node->children.push_back(Element());
      else if (s_[at_] == '&') Reference(node->text);
      else node->text += s_[at_++];
    }
    // Text of an element with children is only the indentation between them.
    if (!node->children.empty()) node->text.clear();
    --depth_;
    return node;
  }

  std::string_view s_;
  std::string path_;
  std::size_t at_ = 0;
  int depth_ = 0;
};

// A session flag's element: its option name, else its property name, else the alias some stores write.
std::optional<bool> Flag(const Node& session, const SessionFlagRow& flag, std::string* bad) {
  const std::string_view names[] = {flag.option, flag.property != flag.option ? flag.property : "", flag.storeAlias};
  for (std::string_view n : names) {
    if (n.empty()) continue;
    const Node* c = session.Child(n);
    if (!c) continue;
    const std::string v = TrimToString(c->text);
    if (EqualsNoCase(v, "true") || v == "1") return true;
    if (EqualsNoCase(v, "false") || v == "0") return false;
    if (bad && bad->empty()) *bad = "<" + std::string(n) + "> holds '" + v + "', not true or false";
  }
  return std::nullopt;
}

// The element an idref (or, in hand-written stores, a name) of `ref` points to among `items`.
const Node* Resolve(const Node* ref, const std::map<std::string, const Node*>& byId,
                    const std::vector<const Node*>& items) {
  if (!ref) return nullptr;
  if (std::string id = ref->Attribute("idref"); !id.empty()) {
    auto it = byId.find(id);
    return it == byId.end() ? nullptr : it->second;
  }
  const std::string name = TrimToString(ref->Child("Name") ? ref->ChildText("Name") : ref->text);
  for (const Node* item : items)
    if (!name.empty() && EqualsNoCase(TrimToString(item->ChildText("Name")), name)) return item;
  return nullptr;
}

// The data components of a session or software module, flattened; the structure "Configurable
// Initial Settings" gives the initial settings.
void InitialSettings(const Node& session, std::vector<InitialSetting>& out) {
  const Node* components = session.Child("DataComponents");
  if (!components) return;
  for (const auto& c : components->children) {
    if (c->name != "IviStructure" ||
        !EqualsNoCase(TrimToString(c->ChildText("Name")), "Configurable Initial Settings"))
      continue;
    const Node* inner = c->Child("DataComponents");
    if (!inner) continue;
    for (const auto& s : inner->children)
      out.push_back({TrimToString(s->ChildText("Name")), s->name, TrimToString(s->ChildText("Value"))});
  }
}

void Collect(const Node& node, std::string_view name, std::vector<const Node*>& out) {
  for (const auto& c : node.children) {
    if (c->name == name) out.push_back(c.get());
    else Collect(*c, name, out);
  }
}

void Index(const Node& node, std::map<std::string, const Node*>& byId) {
  if (std::string id = node.Attribute("id"); !id.empty()) byId.emplace(id, &node);
  for (const auto& c : node.children) Index(*c, byId);
}

}  // namespace

const DriverSession* Store::FindSession(std::string_view name) const {
  for (const LogicalName& l : logicalNames)
    if (EqualsNoCase(l.name, name))
      for (const DriverSession& s : sessions)
        if (EqualsNoCase(s.name, l.session)) return &s;
  for (const DriverSession& s : sessions)
    if (EqualsNoCase(s.name, name)) return &s;
  return nullptr;
}

const SoftwareModule* Store::FindSoftwareModule(std::string_view nameOrPrefix) const {
  for (const SoftwareModule& m : softwareModules)
    if (EqualsNoCase(m.name, nameOrPrefix) || (!m.prefix.empty() && EqualsNoCase(m.prefix, nameOrPrefix))) return &m;
  return nullptr;
}

bool ParseStore(std::string_view xml, const std::string& path, Store& out, std::string* error) {
  Parser parser(xml, path);
  std::unique_ptr<Node> root = parser.Parse(error);
  if (!root) return false;
  if (root->name != "IviConfigStore") {
    if (error) *error = path + ": the root element is <" + root->name + ">, not <IviConfigStore>";
    return false;
  }
  out = Store{};
  out.path = path;
  std::map<std::string, const Node*> byId;
  Index(*root, byId);
  std::vector<const Node*> modules, assets, sessions, logical;
  Collect(*root, "IviSoftwareModule", modules);
  Collect(*root, "IviHardwareAsset", assets);
  Collect(*root, "IviDriverSession", sessions);
  Collect(*root, "IviLogicalName", logical);
  for (const Node* m : modules) {
    SoftwareModule module{TrimToString(m->ChildText("Name")), TrimToString(m->ChildText("Prefix")), {}};
    InitialSettings(*m, module.initialSettings);
    out.softwareModules.push_back(std::move(module));
  }
  std::string bad;
  for (const Node* s : sessions) {
    DriverSession d;
    d.name = TrimToString(s->ChildText("Name"));
    if (const Node* m = Resolve(s->Child("SoftwareModule"), byId, modules))
      d.softwareModule = TrimToString(m->ChildText("Name"));
    if (const Node* a = Resolve(s->Child("HardwareAsset"), byId, assets)) {
      d.hardwareAsset = TrimToString(a->ChildText("Name"));
      d.ioResourceDescriptor = TrimToString(a->ChildText("IOResourceDescriptor"));
    }
    for (const SessionFlagRow& f : kSessionFlags) d.*f.stored = Flag(*s, f, &bad);
    d.driverSetup = TrimToString(s->ChildText("DriverSetup"));
    if (const Node* names = s->Child("VirtualNames"))
      for (const auto& v : names->children)
        if (v->name == "IviVirtualName")
          d.virtualNames[TrimToString(v->ChildText("Name"))] = TrimToString(v->ChildText("MapTo"));
    InitialSettings(*s, d.initialSettings);
    if (!bad.empty()) {
      if (error) *error = path + ": driver session '" + d.name + "': " + bad;
      return false;
    }
    out.sessions.push_back(std::move(d));
  }
  for (const Node* l : logical) {
    LogicalName n{TrimToString(l->ChildText("Name")), {}};
    if (const Node* s = Resolve(l->Child("Session"), byId, sessions)) n.session = TrimToString(s->ChildText("Name"));
    out.logicalNames.push_back(std::move(n));
  }
  return true;
}

bool LoadStore(const std::string& path, Store& out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": the file cannot be opened";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string xml = text.str();
  if (xml.size() >= 3 && xml.compare(0, 3, "\xEF\xBB\xBF") == 0) xml.erase(0, 3);  // a UTF-8 byte order mark
  return ParseStore(xml, path, out, error);
}

std::string LocateStore(std::string* error) {
  const auto exists = [](const std::string& p) { return !p.empty() && std::ifstream(p).good(); };
  if (const char* named = std::getenv(kStoreVariable); named && *named) {
    if (exists(named)) return named;
    if (error) *error = std::string(named) + ": the file named by " + kStoreVariable + " does not exist";
    return {};
  }
  std::vector<std::string> candidates;
#if defined(_WIN32)
  if (const char* appData = std::getenv("APPDATA"))
    candidates.push_back(std::string(appData) + "\\IVI Foundation\\IVI\\Data\\IviConfigurationStore.xml");
  const char* programData = std::getenv("PROGRAMDATA");
  candidates.push_back(std::string(programData ? programData : "C:\\ProgramData") +
                       "\\IVI Foundation\\IVI\\Data\\IviConfigurationStore.xml");
#else
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    candidates.push_back(std::string(xdg) + "/ivi/IviConfigurationStore.xml");
  else if (const char* home = std::getenv("HOME"); home && *home)
    candidates.push_back(std::string(home) + "/.config/ivi/IviConfigurationStore.xml");
  candidates.push_back("/etc/ivi/IviConfigurationStore.xml");
#endif
  for (const std::string& c : candidates)
    if (exists(c)) return c;
  return {};
}

}  // namespace korvane::configstore
