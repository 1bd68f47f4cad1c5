// The installer's editor of the IVI configuration store's master file: adds the driver's
// software module, an example driver session and a logical name for it, and removes exactly
// those again. Everything else in the file is kept byte for byte: the store belongs to every
// IVI driver on the machine, so the edit is textual, not a rewrite by a parser.
//
//   korvane-store-entries add <store file> [--32-bit]
//                       (creates the file when there is none; --32-bit: the 32-bit DLL was
//                       installed too, so the module gets a ModulePath beside its ModulePath64)
//   korvane-store-entries remove <store file> [--created]
//                       (no file, or no entries of ours: nothing to do; --created: the installer
//                       made the file, which is deleted when nothing but empty lists is left)
//
// Our entries are known by their id attributes. A name already taken by another component's
// entry is left to it and ours is not added. Exit status 0 on success, 1 with a message on
// stderr when the file cannot be read, understood or written (it is then left unchanged).
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
  const char* container;  // the element that holds entries of this kind
  const char* element;
  const char* id;
  const char* name;
  const char* body;  // the children, one per line
};

const Entry kEntries[] = {
    {"SoftwareModules", "IviSoftwareModule", "korvane.SoftwareModule", "Korvane",
     "<Name>Korvane</Name>\n<Description>IVI driver for oscilloscopes</Description>\n<Prefix>Korvane</Prefix>\n"
     "<ModulePath64>Korvane.dll</ModulePath64>\n<ProgID>Korvane.Korvane</ProgID>\n"},
    {"DriverSessions", "IviDriverSession", "korvane.DriverSession", "KorvaneSession",
     "<Name>KorvaneSession</Name>\n<Description>Example session: a simulated instrument</Description>\n"
     "<SoftwareModule idref=\"korvane.SoftwareModule\"/>\n<Simulate>true</Simulate>\n"
     "<DriverSetup>Model=MSO-CD1000</DriverSetup>\n"},
    {"LogicalNames", "IviLogicalName", "korvane.LogicalName", "KorvaneScope",
     "<Name>KorvaneScope</Name>\n<Session idref=\"korvane.DriverSession\"/>\n"},
};

struct Failure {
  std::string what;
};

// [begin, end) of the element `element` whose start tag carries id="<id>", with the white space
// before it on its line and the line end after it, so removal leaves no blank line.
bool FindOurs(const std::string& xml, const Entry& e, std::size_t& begin, std::size_t& end) {
  const std::string attr = std::string("id=\"") + e.id + "\"";
  const std::string open = std::string("<") + e.element;
  for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const std::size_t tagEnd = xml.find('>', at);
    if (tagEnd == std::string::npos) throw Failure{"an unterminated <" + std::string(e.element) + "> tag"};
    const char after = xml[at + open.size()];
    if (after != ' ' && after != '\t' && after != '\r' && after != '\n') continue;
    if (xml.substr(at, tagEnd - at).find(attr) == std::string::npos) continue;
    const std::string close = std::string("</") + e.element + ">";
    std::size_t stop = xml[tagEnd - 1] == '/' ? tagEnd + 1 : xml.find(close, tagEnd);
    if (stop == std::string::npos) throw Failure{"<" + std::string(e.element) + " " + attr + "> is not closed"};
    if (xml[tagEnd - 1] != '/') stop += close.size();
    begin = at;
    while (begin > 0 && (xml[begin - 1] == ' ' || xml[begin - 1] == '\t')) --begin;
    end = stop;
    if (end < xml.size() && xml[end] == '\r') ++end;
    if (end < xml.size() && xml[end] == '\n') ++end;
    if (begin > 0 && xml[begin - 1] != '\n') begin = at;  // not alone on its line: keep the rest as is
    return true;
  }
  return false;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Whether another entry of this kind already has our entry's name (names compare without
// regard to case, as the configuration server compares them).
bool NameTaken(const std::string& text, const Entry& e) {
  const std::string xml = Lower(text);
  const std::string name = Lower(std::string("<Name>") + e.name + "</Name>");
  const std::string open = Lower(std::string("<") + e.element);
  const std::string close = Lower(std::string("</") + e.element + ">");
  for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const std::size_t stop = xml.find(close, at);
    if (stop == std::string::npos) break;
    if (xml.substr(at, stop - at).find(name) != std::string::npos) return true;
  }
  return false;
}

std::string Indent(const std::string& body, const std::string& pad, const std::string& eol) {
  std::string out;
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);) out += pad + line + eol;
  return out;
}

// The 32-bit module path, where the 32-bit DLL was installed: the configuration server picks
// the path by the bitness of the program that asks.
constexpr const char* kModulePath32 = "<ModulePath>Korvane.dll</ModulePath>\n";

void Add(std::string& xml, const Entry& e, const std::string& eol, bool with32) {
  std::string body = e.body;
  if (with32 && &e == &kEntries[0]) body.insert(body.find("<ModulePath64>"), kModulePath32);
  const std::string element = std::string("  <") + e.element + " id=\"" + e.id + "\">" + eol +
                              Indent(body, "      ", eol) + "    </" + e.element + ">" + eol;
  const std::string open = std::string("<") + e.container + ">";
  const std::string empty = std::string("<") + e.container + "/>";
  const std::string close = std::string("</") + e.container + ">";
  if (std::size_t at = xml.find(close); at != std::string::npos) {
    std::size_t lineStart = at;
    while (lineStart > 0 && (xml[lineStart - 1] == ' ' || xml[lineStart - 1] == '\t')) --lineStart;
    if (lineStart > 0 && xml[lineStart - 1] == '\n') xml.insert(lineStart, "  " + element);
    else xml.insert(at, eol + "  " + element + "  ");
  } else if (std::size_t at = xml.find(empty); at != std::string::npos) {
    xml.replace(at, empty.size(), open + eol + "  " + element + "  " + close);
  } else if (std::size_t at = xml.rfind("</IviConfigStore>"); at != std::string::npos) {
    xml.insert(at, "  " + open + eol + "  " + element + "  " + close + eol);
  } else {
    throw Failure{"no </IviConfigStore>: not a configuration store"};
  }
}

std::string Read(const std::string& path, bool& exists) {
  std::error_code ec;
  exists = std::filesystem::exists(path, ec);
  if (ec) throw Failure{"cannot be looked at: " + ec.message()};
  if (!exists) return {};
  // A store that is there but cannot be opened is never taken for a missing one: writing a new
  // file over it would lose every other driver's entries.
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{"cannot be opened"};
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw Failure{"cannot be read"};
  return text.str();
}

void Write(const std::string& path, const std::string& xml) {
  // Beside the file, then over it: a failed write never leaves half a store.
  const std::string temp = path + ".korvane-new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(xml.data(), static_cast<std::streamsize>(xml.size())) || !out.flush()) {
      std::remove(temp.c_str());
      throw Failure{"cannot be written"};
    }
  }
  std::remove((path + ".korvane-old").c_str());
  const bool hadOld = std::rename(path.c_str(), (path + ".korvane-old").c_str()) == 0;
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    if (hadOld) std::rename((path + ".korvane-old").c_str(), path.c_str());
    std::remove(temp.c_str());
    throw Failure{"cannot be replaced"};
  }
  if (hadOld) std::remove((path + ".korvane-old").c_str());
}

// Whether the store holds nothing but empty lists of the kinds we add: what `add` makes of no file.
bool OnlyEmptySkeleton(const std::string& xml) {
  std::string bare;
  for (char c : xml)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') bare += c;
  if (bare.compare(0, 5, "<?xml") == 0) bare.erase(0, bare.find("?>") + 2);
  for (const Entry& e : kEntries) {
    for (const std::string& t :
         {std::string("<") + e.container + "></" + e.container + ">", std::string("<") + e.container + "/>"}) {
      if (std::size_t at = bare.find(t); at != std::string::npos) bare.erase(at, t.size());
    }
  }
  return bare == "<IviConfigStore></IviConfigStore>";
}

int Run(const std::string& command, const std::string& path, bool created, bool with32) {
  bool exists = false;
  std::string xml = Read(path, exists);
  if (command == "remove") {
    if (!exists) return std::printf("%s: no store, nothing to remove\n", path.c_str()), 0;
    int removed = 0;
    for (auto it = std::rbegin(kEntries); it != std::rend(kEntries); ++it) {
      std::size_t begin = 0, end = 0;
      if (FindOurs(xml, *it, begin, end)) {
        xml.erase(begin, end - begin);
        ++removed;
      }
    }
    if (created && OnlyEmptySkeleton(xml)) {
      if (std::remove(path.c_str()) != 0) throw Failure{"cannot be deleted"};
      return std::printf("%s: removed %d entries and the file, which held nothing else\n", path.c_str(), removed), 0;
    }
    if (removed) Write(path, xml);
    std::printf("%s: removed %d entries\n", path.c_str(), removed);
    return 0;
  }
  if (!exists) xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<IviConfigStore>\r\n</IviConfigStore>\r\n";
  if (xml.find("<IviConfigStore") == std::string::npos)
    throw Failure{"no <IviConfigStore>: not a configuration store"};
  const std::string eol = xml.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  int added = 0;
  for (const Entry& e : kEntries) {
    std::size_t begin = 0, end = 0;
    if (FindOurs(xml, e, begin, end)) continue;  // an earlier install's: kept, with the user's changes
    if (NameTaken(xml, e)) {
      std::printf("%s: another %s is named %s; it is kept and ours is not added\n", path.c_str(), e.element, e.name);
      continue;
    }
    Add(xml, e, eol, with32);
    ++added;
  }
  if (added || !exists) Write(path, xml);
  std::printf("%s: added %d entries\n", path.c_str(), added);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const std::string flag = argc == 4 ? argv[3] : "";
  const bool created = command == "remove" && flag == "--created";
  const bool with32 = command == "add" && flag == "--32-bit";
  if ((argc != 3 && !created && !with32) || (command != "add" && command != "remove")) {
    std::fprintf(stderr,
                 "usage: korvane-store-entries add <store file> [--32-bit] | remove <store file> [--created]\n");
    return 2;
  }
  try {
    return Run(command, argv[2], created, with32);
  } catch (const Failure& f) {
    std::fprintf(stderr, "%s: %s; the file is left unchanged\n", argv[2], f.what.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s; the file is left unchanged\n", argv[2], e.what());
  }
  return 1;
}
