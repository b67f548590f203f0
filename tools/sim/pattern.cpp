#include "tools/sim/pattern.h"

#include <re2/re2.h>

namespace scenario {

Pattern::Pattern(const std::string& text) {
  RE2::Options options;
  // A bad pattern is the scenario's error, reported at its line; RE2 need not print it too.
  options.set_log_errors(false);
  compiled_ = std::make_shared<const RE2>(text, options);
}

std::string Pattern::Error() const { return compiled_->ok() ? "" : compiled_->error(); }

bool Pattern::FoundIn(const std::string& text) const {
  return compiled_->ok() && RE2::PartialMatch(text, *compiled_);
}

}  // namespace scenario
