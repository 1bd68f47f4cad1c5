// korvane list: what a path reaches, from the driver's path table alone (no session).
#include "Commands.h"
#include "ExitCodes.h"
#include "Json.h"
#include "Arguments.h"

#include <cstdio>

namespace korvane::cli {
namespace {

const char* KindWord(MemberKind k) {
  switch (k) {
    case MemberKind::Navigation: return "object";
    case MemberKind::Item: return "collection";
    case MemberKind::Property: return "property";
    case MemberKind::Method: return "method";
  }
  return "";
}

const char* GroupTitle(MemberKind k) {
  switch (k) {
    case MemberKind::Navigation: return "objects:";
    case MemberKind::Item: return "collections:";
    case MemberKind::Property: return "properties:";
    case MemberKind::Method: return "methods:";
  }
  return "";
}

// The listing's members arrive grouped; a title starts each group, children are indented.
void PrintTree(const std::vector<ListedMember>& members, int indent) {
  for (std::size_t k = 0; k < members.size(); ++k) {
    const MemberInfo& m = *members[k].member;
    if (k == 0 || members[k - 1].member->kind != m.kind) std::printf("%*s%s\n", indent, "", GroupTitle(m.kind));
    std::printf("%*s  %s\n", indent, "", Describe(m).c_str());
    if (!members[k].children.empty()) PrintTree(members[k].children, indent + 4);
  }
}

std::string TreeJson(const std::vector<ListedMember>& members) {
  std::size_t n = 0;
  const InterfaceInfo* ifaces = Interfaces(&n);
  std::size_t ne = 0;
  const EnumInfo* enums = Enums(&ne);
  std::string out = "[";
  for (std::size_t k = 0; k < members.size(); ++k) {
    const MemberInfo& m = *members[k].member;
    out += std::string(k ? ", " : "") + "{\"name\": " + JsonString(m.name) + ", \"kind\": \"" + KindWord(m.kind) +
           "\"";
    if (m.kind == MemberKind::Navigation || m.kind == MemberKind::Item)
      out += ", \"interface\": " + JsonString(ifaces[m.target].name);
    if (m.kind == MemberKind::Method) out += ", \"parameters\": " + JsonString(m.signature ? m.signature : "()");
    if (m.kind == MemberKind::Property) {
      out += std::string(", \"access\": \"") +
             (m.get && m.put ? "read/write"
              : m.get        ? "read-only"
                             : "write-only") +
             "\"";
      const std::string line = Describe(m);  // "<name>  <type>, <access>..."
      const std::size_t b = line.find("  ") + 2, e = line.find(',', b);
      out += ", \"type\": " + JsonString(line.substr(b, e - b));
      if (m.value == ValueKind::Enum) {
        out += ", \"members\": [";
        const EnumInfo& en = enums[m.enumIndex];
        for (std::size_t w = 0; w < en.count; ++w) out += std::string(w ? ", " : "") + JsonString(en.words[w].word);
        out += "]";
      }
    }
    if (!members[k].children.empty()) out += ", \"members_of\": " + TreeJson(members[k].children);
    out += "}";
  }
  return out + "]";
}

}  // namespace

int CmdList(const Args& a) {
  if (a.positional.size() > 1) return Usage("list", "list takes one path");
  int iface = -1;
  std::string error;
  if (!ResolveInterface(a.positional.empty() ? "" : a.positional[0], iface, error)) return BadInput(error);
  std::size_t n = 0;
  const auto tree = ListTree(iface, static_cast<int>(a.depth));
  if (a.json) {
    std::printf("{\"interface\": %s, \"members\": %s}\n", JsonString(Interfaces(&n)[iface].name).c_str(),
                TreeJson(tree).c_str());
    return kExitOk;
  }
  std::printf("%s\n", Interfaces(&n)[iface].name);
  PrintTree(tree, 0);
  return kExitOk;
}

}  // namespace korvane::cli
