#include "panel/PanelApi.h"

#include "ExitCodes.h"
#include "Settings.h"
#include "ToolSession.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>

#include <cstdio>
#include <set>

namespace korvane::panel {
namespace {

using namespace korvane::paths;
using cli::JsonNumber;
using cli::JsonString;
using cli::JsonValue;

std::string Error(const std::string& text) { return "{\"ok\": false, \"error\": " + JsonString(text) + "}"; }

std::string Hex(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return code;
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t k = 0; k < items.size(); ++k) out += (k ? ", " : "") + JsonString(items[k]);
  return out + "]";
}

// The driver's failure, with the instrument's words when it reported an error.
std::string DriverError(IKorvane8* root, const std::string& what, HRESULT hr, const PropertyPath* path) {
  const std::string text = cli::LastErrorText();
  const std::string hint = path ? UnknownItemHint(root, *path) : "";
  if (!hint.empty()) return Error(what + ": " + hint);
  return "{\"ok\": false, \"error\": " + JsonString(what + " failed: " + Hex(hr) + " " + text) +
         ", \"instrument\": " + JsonList(cli::InstrumentErrors(root)) + "}";
}

// A JSON value as the text ParseValue reads; false for arrays, objects and null.
bool ValueText(const JsonValue& v, std::string& out) {
  switch (v.type) {
    case JsonValue::Type::String:
    case JsonValue::Type::Number: out = v.text; return true;
    case JsonValue::Type::Bool: out = v.boolean ? "true" : "false"; return true;
    default: return false;
  }
}

const std::string* StringMember(const JsonValue& request, const char* key) {
  const JsonValue* v = request.Find(key);
  return v && v->type == JsonValue::Type::String ? &v->text : nullptr;
}

std::string ReadOne(IKorvane8* root, const std::string& text) {
  PropertyPath path;
  std::string error;
  if (!ResolvePath(text, path, error)) return Error(error);
  if (!path.property->get) return Error(std::string(path.property->name) + " is write-only");
  Value v;
  const HRESULT hr = ReadProperty(root, path, v);
  if (FAILED(hr)) return DriverError(root, "get " + text, hr, &path);
  return "{\"ok\": true, \"path\": " + JsonString(text) + ", \"value\": " + cli::ValueJson(*path.property, v) +
         ", \"text\": " + JsonString(FormatValue(*path.property, v)) + "}";
}

// The type word of a listing line, "<name>  <type>, <access>...".
std::string TypeWord(const MemberInfo& m) {
  const std::string line = Describe(m);
  const std::size_t b = line.find("  ");
  if (b == std::string::npos) return "";
  const std::size_t e = line.find(',', b + 2);
  return line.substr(b + 2, e == std::string::npos ? std::string::npos : e - b - 2);
}

}  // namespace

std::string ApiSet(IKorvane8* root, const JsonValue& request) {
  const std::string* text = StringMember(request, "path");
  const JsonValue* value = request.Find("value");
  if (!text || !value) return Error("a set request needs \"path\" (a string) and \"value\"");
  PropertyPath path;
  std::string error, valueText;
  if (!ResolvePath(*text, path, error)) return Error(error);
  if (!path.property->put) return Error(std::string(path.property->name) + " is read-only");
  if (!ValueText(*value, valueText)) return Error("the value of " + *text + " must be a number, text or true/false");
  Value v;
  if (!ParseValue(*path.property, valueText, v, error)) return Error(error);
  cli::InstrumentErrors(root);  // what was queued before is not this change's doing
  const HRESULT hr = WriteProperty(root, path, v);
  if (FAILED(hr)) return DriverError(root, "set " + *text, hr, &path);
  const std::vector<std::string> refused = cli::InstrumentErrors(root);
  std::string readBack = ReadOne(root, *text);
  if (refused.empty()) return readBack;
  // The instrument kept its previous value: the page shows that, with the instrument's reason.
  return "{\"ok\": false, \"error\": " + JsonString("the instrument refused " + valueText + ": " + refused[0]) +
         ", \"instrument\": " + JsonList(refused) + ", \"current\": " + readBack + "}";
}

std::string ApiRead(IKorvane8* root, const JsonValue& request) {
  const JsonValue* list = request.Find("paths");
  if (!list || list->type != JsonValue::Type::Array) return Error("a read request needs \"paths\" (an array)");
  if (list->items.size() > kMaxPathsPerRead)
    return Error("at most " + std::to_string(kMaxPathsPerRead) + " paths in one read");
  std::string out = "{\"ok\": true, \"values\": [";
  for (std::size_t k = 0; k < list->items.size(); ++k) {
    const JsonValue& p = list->items[k];
    out += (k ? ", " : "") + (p.type == JsonValue::Type::String ? ReadOne(root, p.text) : Error("a path is a string"));
  }
  cli::InstrumentErrors(root);  // queries of what the model lacks leave errors behind
  return out + "]}";
}

std::string ApiProperties(IKorvane8* root) {
  std::string out;
  std::set<std::string> seen;
  cli::WalkProperties(
      root, RootInterface(), [](const InterfaceInfo&) { return true; },
      [&](const cli::WalkedProperty& p) {
        const MemberInfo& m = p.member;
        if (!m.get || !seen.insert(p.name).second) return;
        out += std::string(out.empty() ? "" : ", ") + "{\"path\": " + JsonString(p.name) +
               ", \"type\": " + JsonString(TypeWord(m)) + ", \"writable\": " + (m.put ? "true" : "false");
        if (m.value == ValueKind::Enum) {
          std::size_t ne = 0;
          const EnumInfo& en = Enums(&ne)[m.enumIndex];
          std::vector<std::string> words;
          for (std::size_t w = 0; w < en.count; ++w) words.push_back(en.words[w].word);
          out += ", \"members\": " + JsonList(words);
        }
        out += "}";
      });
  return "{\"ok\": true, \"properties\": [" + out + "]}";
}

std::string ApiScpi(IKorvane8* root, const JsonValue& request) {
  const std::string* command = StringMember(request, "command");
  if (!command || command->empty()) return Error("a console request needs \"command\" (a string)");
  if (command->size() > kMaxScpiCommand)
    return Error("a command of at most " + std::to_string(kMaxScpiCommand) + " bytes");
  ComPtr<IKorvaneSystem2> sys;
  HRESULT hr = root->get_System2(sys.Receive());
  if (FAILED(hr)) return DriverError(root, "System2", hr, nullptr);
  const bool query = command->find('?') != std::string::npos;
  if (!query) cli::InstrumentErrors(root);
  hr = sys->WriteString(Bstr(*command));
  if (FAILED(hr)) return DriverError(root, "WriteString", hr, nullptr);
  if (!query) {
    const std::vector<std::string> refused = cli::InstrumentErrors(root);
    if (!refused.empty())
      return "{\"ok\": false, \"error\": " + JsonString("the instrument refused it: " + refused[0]) +
             ", \"instrument\": " + JsonList(refused) + "}";
    return "{\"ok\": true, \"reply\": null}";
  }
  std::string reply;
  long long size = 0;
  hr = cli::ReadDirectReply(sys.get(), reply, size);
  if (FAILED(hr)) return DriverError(root, "ReadBytes", hr, nullptr);
  if (size > 0)
    return "{\"ok\": true, \"reply\": " +
           JsonString("(a definite-length block of " + std::to_string(size - 2 - (reply[1] - '0')) + " bytes)") + "}";
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  return "{\"ok\": true, \"reply\": " + JsonString(reply) + "}";
}

std::string ApiSaveSettings(IKorvane8* root, bool& ok) {
  cli::SaveResult saved;
  const HRESULT hr = cli::ReadAllSettings(root, saved);
  cli::InstrumentErrors(root);
  ok = SUCCEEDED(hr);
  if (!ok) return DriverError(root, "reading the settings", hr, nullptr);
  using I = IIviDriverIdentity;
  return cli::SettingsJson(saved.settings, cli::Identity(root, &I::get_InstrumentManufacturer),
                           cli::Identity(root, &I::get_InstrumentModel),
                           cli::Identity(root, &I::get_InstrumentFirmwareRevision));
}

std::string ApiLoadSettings(IKorvane8* root, const std::string& fileText) {
  JsonValue doc;
  std::vector<cli::Setting> settings;
  std::string error, model;
  if (!cli::ParseJson(fileText, doc, error)) return Error("the settings file: " + error);
  if (!cli::ParseSettings(doc, settings, model, error)) return Error("the settings file: " + error);
  cli::InstrumentErrors(root);
  std::vector<std::string> problems;
  std::size_t applied = 0;
  for (const cli::Setting& st : settings) {
    const HRESULT hr = WriteProperty(root, st.resolved, st.value);
    if (FAILED(hr)) {
      problems.push_back(st.path + ": " + Hex(hr) + " " + cli::LastErrorText());
      cli::InstrumentErrors(root);
      continue;
    }
    const std::vector<std::string> refused = cli::InstrumentErrors(root);
    if (!refused.empty()) {
      problems.push_back(st.path + ": the instrument reports " + refused[0]);
      continue;
    }
    ++applied;
  }
  return std::string("{\"ok\": ") + (problems.empty() ? "true" : "false") +
         ", \"applied\": " + std::to_string(applied) + ", \"total\": " + std::to_string(settings.size()) +
         ", \"problems\": " + JsonList(problems) +
         (problems.empty() ? ""
                           : ", \"error\": " + JsonString(std::to_string(problems.size()) + " settings refused")) +
         "}";
}

std::string ApiErrors(IKorvane8* root) {
  return "{\"ok\": true, \"errors\": " + JsonList(cli::InstrumentErrors(root)) + "}";
}

}  // namespace korvane::panel
