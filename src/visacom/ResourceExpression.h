// The expressions of FindRsrc: `?` any one character, `*` and `+` zero-or-more and one-or-more
// of what precedes them, `[...]`/`[^...]` a character set, `(...)` a group, `|` alternatives,
// `\` a literal. A resource name matches when the whole name does, without regard to case.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace korvane::visacom {

class CResourceExpression {
 public:
  // Compiles `text`; on failure returns null and `why` says what is wrong.
  static std::unique_ptr<CResourceExpression> Compile(std::string_view text, std::string& why);
  ~CResourceExpression();

  // Whether the whole of `name` matches. Expressions with nested repetitions can backtrack
  // exponentially: past a fixed step budget the answer is false.
  bool Matches(std::string_view name) const;

  struct Node;

 private:
  CResourceExpression();
  std::unique_ptr<Node> root_;
};

}  // namespace korvane::visacom
