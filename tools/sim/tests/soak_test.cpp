// The soak's schedule: one seed, one schedule; every kind of event a laptop
// meets, within the boot, and the boot's end.
#include <gtest/gtest.h>

#include <set>

#include "platform/sim/fault_operations.h"
#include "tools/sim/soak.h"

namespace {

using scenario::Action;
using scenario::TimedAction;
constexpr std::uint64_t kDayMs = 24ull * 3600000;

std::vector<TimedAction> BootOf(std::uint64_t seed, std::uint64_t lengthMs) {
  std::mt19937_64 rng(seed);
  return scenario::SoakBoot(scenario::SoakLaptop(), rng, lengthMs).timeline;
}

std::string Text(const std::vector<TimedAction>& timeline) {
  std::string text;
  for (const TimedAction& t : timeline)
    text += std::to_string(t.atMs) + " " + std::to_string(static_cast<int>(t.action.kind)) + " " + t.action.device +
            " " + t.action.name + " " + std::to_string(t.action.number) + "\n";
  return text;
}

TEST(Soak, OneSeedGivesOneSchedule) {
  EXPECT_EQ(Text(BootOf(7, kDayMs)), Text(BootOf(7, kDayMs)));
  EXPECT_NE(Text(BootOf(7, kDayMs)), Text(BootOf(8, kDayMs)));
}

TEST(Soak, BootStartsMeetsEveryKindOfEventAndEndsWithAShutdownOrAStop) {
  const std::vector<TimedAction> boot = BootOf(3, 10 * kDayMs);
  ASSERT_GE(boot.size(), 2u);
  EXPECT_EQ(Action::Kind::kStart, boot.front().action.kind);
  EXPECT_EQ(0u, boot.front().atMs);
  const Action::Kind last = boot.back().action.kind;
  EXPECT_TRUE(last == Action::Kind::kShutdown || last == Action::Kind::kStop);
  EXPECT_EQ(10 * kDayMs, boot.back().atMs);

  std::set<Action::Kind> kinds;
  std::set<unsigned long> problems;
  for (std::size_t i = 1; i + 1 < boot.size(); ++i) {
    const TimedAction& t = boot[i];
    EXPECT_GT(t.atMs, 0u);
    EXPECT_LT(t.atMs, boot.back().atMs);
    EXPECT_GE(t.atMs, boot[i - 1].atMs);
    kinds.insert(t.action.kind);
    if (t.action.kind == Action::Kind::kProblem) problems.insert(t.action.number);
    if (t.action.kind == Action::Kind::kFault) {
      EXPECT_NE(nullptr, sim::FindFaultableOperation(t.action.name)) << t.action.name;
    }
  }
  for (Action::Kind kind : {Action::Kind::kLid, Action::Kind::kDisplay, Action::Kind::kSession, Action::Kind::kProblem,
                            Action::Kind::kAddDevice, Action::Kind::kRemoveDevice, Action::Kind::kDriverAttach,
                            Action::Kind::kFault})
    EXPECT_EQ(1u, kinds.count(kind)) << static_cast<int>(kind);
  for (unsigned long problem : {0ul, 31ul, 43ul}) EXPECT_EQ(1u, problems.count(problem)) << problem;
  EXPECT_GT(problems.size(), 3u);  // others than 31 and 43 too
}

}  // namespace
