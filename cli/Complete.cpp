#include "Complete.h"

#include "CommandTable.h"
#include "ExitCodes.h"
#include "commands/Commands.h"

#include <cstdio>

namespace korvane::cli {
namespace {

class Reply {
 public:
  explicit Reply(std::string partial) : partial_(std::move(partial)) {}
  void Offer(const std::string& word) {
    if (word.compare(0, partial_.size(), partial_) == 0) words_.push_back(word);
  }
  int Print(const char* mode) const {
    std::printf("%s\n", mode);
    for (const std::string& w : words_) std::printf("%s\n", w.c_str());
    return kExitOk;
  }
  std::vector<std::string>& words() { return words_; }

 private:
  std::string partial_;
  std::vector<std::string> words_;
};

void OfferCommands(Reply& r) {
  for (const CommandSpec& c : Commands()) r.Offer(c.name);
}

// A path goes on after '.' and '('; a finished property name gets its space.
int OfferPath(Reply& r, const std::string& partial) {
  for (const std::string& p : CompletePath(partial)) r.Offer(p);
  auto& w = r.words();
  if (w.size() == 1 && !w[0].empty() && w[0].back() != '.' && w[0].back() != '(') w[0] += ' ';
  return r.Print("nospace");
}

// The enumeration members or true/false of the property a path names.
void OfferValues(Reply& r, const std::string& pathText) {
  PropertyPath path;
  std::string error;
  if (!ResolvePath(pathText, path, error)) return;
  if (path.property->value == ValueKind::Enum) {
    std::size_t n = 0;
    const EnumInfo& e = Enums(&n)[path.property->enumIndex];
    for (std::size_t w = 0; w < e.count; ++w) r.Offer(e.words[w].word);
  } else if (path.property->value == ValueKind::Bool) {
    r.Offer("true");
    r.Offer("false");
  }
}

int CompleteLine(const std::vector<std::string>& words) {
  const std::string current = words.empty() ? "" : words.back();
  Reply r(current);
  if (words.size() <= 1) {
    OfferCommands(r);
    r.Offer("--help");
    r.Offer("--version");
    return r.Print("words");
  }
  const CommandSpec* command = FindCommand(words[0]);
  if (!command) return r.Print("words");
  const std::string& previous = words[words.size() - 2];
  const OptionSpec* valued = FindOption(previous);
  if (valued && valued->value && Accepts(*command, valued->id))
    return r.Print(valued->fill == Fill::File ? "files" : "words");
  if (current.compare(0, 2, "--") == 0) {
    for (const OptionSpec* o : OptionsOf(*command)) r.Offer(o->name);
    r.Offer("--help");
    return r.Print("words");
  }
  // The positional arguments before the current word: what is not an option or its value.
  std::vector<std::string> args;
  bool optionsDone = false;
  for (std::size_t k = 1; k + 1 < words.size(); ++k) {
    const std::string& w = words[k];
    if (!optionsDone && w == "--") {
      optionsDone = true;
    } else if (!optionsDone && w.compare(0, 2, "--") == 0) {
      const OptionSpec* o = FindOption(w);
      if (o && o->value) ++k;
    } else {
      args.push_back(w);
    }
  }
  const auto& kinds = command->arguments;
  const std::size_t n = args.size();
  const Fill fill = n < kinds.size() ? kinds[n] : command->repeats && !kinds.empty() ? kinds.back() : Fill::Nothing;
  switch (fill) {
    case Fill::Path: return OfferPath(r, current);
    case Fill::Value:
      if (n > 0) OfferValues(r, args[n - 1]);
      break;
    case Fill::Measurement:
      for (const std::string& m : MeasurementNames()) r.Offer(m);
      break;
    case Fill::Command: OfferCommands(r); break;
    case Fill::File: return r.Print("files");
    case Fill::Nothing: break;
  }
  return r.Print("words");
}

}  // namespace

int Complete(const std::vector<std::string>& words) {
  const std::string kind = words.empty() ? "" : words[0];
  if (kind == "line") return CompleteLine(std::vector<std::string>(words.begin() + 1, words.end()));
  if (kind != "commands") return kExitUsage;
  const std::string partial = words.size() > 1 ? words[1] : "";
  for (const CommandSpec& c : Commands())
    if (std::string(c.name).compare(0, partial.size(), partial) == 0) std::printf("%s\n", c.name);
  return kExitOk;
}

}  // namespace korvane::cli
