#include "visacom/ResourceExpression.h"

#include <bitset>
#include <functional>
#include <vector>

namespace korvane::visacom {

struct CResourceExpression::Node {
  enum Kind { kChar, kAny, kSet, kGroup } kind = kChar;
  std::bitset<256> set;                         // kChar (one bit) and kSet: the upper-cased characters it takes
  std::vector<std::vector<Node>> alternatives;  // kGroup
  int min = 1, max = 1;                         // max -1: unbounded
};

namespace {

using Node = CResourceExpression::Node;
using Seq = std::vector<Node>;

unsigned char Upper(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

class CParser {
 public:
  explicit CParser(std::string_view t) : t_(t) {}

  bool Parse(Node& root, std::string& why) {
    root.kind = Node::kGroup;
    if (!Alternatives(root.alternatives, why)) return false;
    if (at_ != t_.size()) return Fail(why, "a ')' without its '('");
    return true;
  }

 private:
  bool Fail(std::string& why, const std::string& what) {
    why = what + " at offset " + std::to_string(at_);
    return false;
  }

  bool Alternatives(std::vector<Seq>& out, std::string& why) {
    out.emplace_back();
    while (at_ < t_.size()) {
      const char c = t_[at_];
      if (c == ')') break;
      if (c == '|') {
        ++at_;
        out.emplace_back();
        continue;
      }
      if (c == '*' || c == '+') {
        if (out.back().empty()) return Fail(why, std::string("'") + c + "' with nothing before it");
        Node& prev = out.back().back();
        if (prev.max != 1 || prev.min != 1) return Fail(why, std::string("'") + c + "' after a repetition");
        prev.min = c == '*' ? 0 : 1;
        prev.max = -1;
        ++at_;
        continue;
      }
      Node n;
      if (!Atom(n, why)) return false;
      out.back().push_back(std::move(n));
    }
    return true;
  }

  bool Atom(Node& n, std::string& why) {
    const char c = t_[at_++];
    switch (c) {
      case '?': n.kind = Node::kAny; return true;
      case '(':
        n.kind = Node::kGroup;
        if (!Alternatives(n.alternatives, why)) return false;
        if (at_ >= t_.size() || t_[at_] != ')') return Fail(why, "a '(' without its ')'");
        ++at_;
        return true;
      case '[': return Set(n, why);
      case '\\':
        if (at_ >= t_.size()) return Fail(why, "a '\\' at the end");
        n.set.set(Upper(t_[at_++]));
        return true;
      case '{': return Fail(why, "attribute expressions ('{...}') are not supported");
      default: n.set.set(Upper(c)); return true;
    }
  }

  bool Set(Node& n, std::string& why) {
    n.kind = Node::kSet;
    bool negate = false;
    if (at_ < t_.size() && t_[at_] == '^') {
      negate = true;
      ++at_;
    }
    bool first = true;
    while (true) {
      if (at_ >= t_.size()) return Fail(why, "a '[' without its ']'");
      char c = t_[at_++];
      if (c == ']' && !first) break;
      first = false;
      if (c == '\\') {
        if (at_ >= t_.size()) return Fail(why, "a '\\' at the end");
        c = t_[at_++];
      }
      if (at_ + 1 < t_.size() && t_[at_] == '-' && t_[at_ + 1] != ']') {
        const char hi = t_[at_ + 1];
        at_ += 2;
        if (static_cast<unsigned char>(hi) < static_cast<unsigned char>(c)) return Fail(why, "a reversed range");
        for (unsigned v = static_cast<unsigned char>(c); v <= static_cast<unsigned char>(hi); ++v)
          n.set.set(Upper(static_cast<char>(v)));
      } else {
        n.set.set(Upper(c));
      }
    }
    if (negate) n.set.flip();
    return true;
  }

  std::string_view t_;
  std::size_t at_ = 0;
};

// Backtracking with continuations: a repetition tries one more occurrence before the rest.
class CMatcher {
 public:
  explicit CMatcher(std::string_view s) : s_(s) {}
  using Cont = std::function<bool(std::size_t)>;

  bool Sequence(const Seq& seq, std::size_t i, std::size_t pos, const Cont& k) {
    if (i == seq.size()) return k(pos);
    return Repeat(seq[i], 0, pos, [&](std::size_t p) { return Sequence(seq, i + 1, p, k); });
  }

  bool Repeat(const Node& n, int count, std::size_t pos, const Cont& k) {
    if (--budget_ < 0) return false;
    if (n.max < 0 || count < n.max) {
      const bool more = One(n, pos, [&](std::size_t p) {
        // An empty occurrence beyond the minimum cannot lead anywhere new.
        if (p == pos && count >= n.min) return false;
        return Repeat(n, count + 1, p, k);
      });
      if (more) return true;
    }
    return count >= n.min && k(pos);
  }

  bool One(const Node& n, std::size_t pos, const Cont& k) {
    switch (n.kind) {
      case Node::kAny: return pos < s_.size() && k(pos + 1);
      case Node::kChar:
      case Node::kSet: return pos < s_.size() && n.set.test(Upper(s_[pos])) && k(pos + 1);
      case Node::kGroup:
        for (const Seq& alt : n.alternatives)
          if (Sequence(alt, 0, pos, k)) return true;
        return false;
    }
    return false;
  }

 private:
  std::string_view s_;
  long budget_ = 200000;
};

}  // namespace

CResourceExpression::CResourceExpression() : root_(std::make_unique<Node>()) {}
CResourceExpression::~CResourceExpression() = default;

std::unique_ptr<CResourceExpression> CResourceExpression::Compile(std::string_view text, std::string& why) {
  std::unique_ptr<CResourceExpression> e(new CResourceExpression);
  if (text.empty()) {
    why = "the expression is empty";
    return nullptr;
  }
  CParser p(text);
  if (!p.Parse(*e->root_, why)) return nullptr;
  return e;
}

bool CResourceExpression::Matches(std::string_view name) const {
  CMatcher m(name);
  return m.One(*root_, 0, [&](std::size_t p) { return p == name.size(); });
}

}  // namespace korvane::visacom
