// A pattern an expectation searches the run's lines for, in RE2's syntax:
// matched in time linear in the line, with no recursion and no
// backtracking, so no pattern a scenario writes can hang or overflow the
// checker.
#pragma once

#include <memory>
#include <string>

namespace re2 {
class RE2;
}

namespace scenario {

class Pattern {
 public:
  explicit Pattern(const std::string& text);
  // Why the pattern cannot be used; empty when it can.
  std::string Error() const;
  // Whether it matches anywhere in the text; false for a pattern in error.
  bool FoundIn(const std::string& text) const;

 private:
  std::shared_ptr<const re2::RE2> compiled_;
};

}  // namespace scenario
