// The known-Wine-difference marker: under Wine, a marked case's failures are
// the difference it documents, printed for the log rather than failing the run.
#include <iostream>
#include <sstream>
#include <utility>

#include "tests/conformance/side.h"

namespace conformance {
KnownWineDifference::KnownWineDifference(std::string whatWineDoes) : whatWineDoes_(std::move(whatWineDoes)) {
  if (OnWine()) catcher_.emplace(::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &caught_);
}

KnownWineDifference::~KnownWineDifference() {
  if (!catcher_) return;
  // From here on, results reach the case again.
  catcher_.reset();
  ReportCaught();
}

void KnownWineDifference::ReportCaught() {
  bool failed = false;
  std::ostringstream differences;
  const ::testing::TestPartResult* skip = nullptr;
  for (int i = 0; i < caught_.size(); ++i) {
    const ::testing::TestPartResult& result = caught_.GetTestPartResult(i);
    if (result.failed()) {
      failed = true;
      differences << result;
    }
    if (result.skipped()) skip = &result;
  }
  if (failed)
    std::cout << "[   WINE   ] known difference: " << whatWineDoes_ << "\n" << differences.str() << std::flush;
  // A case that could not run here is skipped as it would be without the marker.
  if (skip != nullptr) GTEST_SKIP() << *skip;
  if (!failed)
    ADD_FAILURE() << "Wine now passes this case: remove its KnownWineDifference(\"" << whatWineDoes_ << "\")";
}
}  // namespace conformance
