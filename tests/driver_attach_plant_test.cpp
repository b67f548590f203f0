// Global\DriverAttach may be made first by the driver's side: the worker joins
// an event that SYSTEM or Administrators made, and refuses anything else under
// the name (an event a user made, another kind of object), logging it once
// while it stays, and monitoring goes on without it.
#include <gtest/gtest.h>

#include "monitor_fixture.h"

namespace {

using namespace monitor_testing;

constexpr wchar_t kName[] = L"Global\\DriverAttach";
const std::wstring kByUser =
    L"[ZEFO Service] Global\\DriverAttach was made by S-1-5-21-1000-1000-1000-1001, not by SYSTEM or Administrators: "
    L"not joined, wait without it";
const std::wstring kMutex =
    L"[ZEFO Service] Global\\DriverAttach is another kind of object, made by another process: not joined, wait "
    L"without it";
const std::wstring kOwnerUnreadable =
    L"[ZEFO Service] Global\\DriverAttach was made by another process whose owner cannot be read (0x00000005): not "
    L"joined, wait without it";

class DriverAttachPlant : public MonitorTest {
 protected:
  // Two polling periods and three session events between them: the worker
  // checks six times, the start's check included.
  void RunSomeLoops() {
    machine.RunFor(120000);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(NO_ERROR, machine.scm.SessionChange(WTS_SESSION_LOCK));
      machine.RunFor(5000);
    }
    machine.RunFor(120000);
  }
  // How many waits of the worker the event ended.
  std::size_t WakeUpsByTheEvent() {
    std::size_t count = 0;
    for (const sim::JournalEntry& e : machine.Journal())
      count += e.kind == sim::JournalKind::kWait && e.text.find(L"returned with event 'Global\\DriverAttach'") !=
                                                        std::wstring::npos;
    return count;
  }
};

struct PlantCase {
  const char* name;
  sim::Machine::NamedObjectKind kind;
  bool set;
  bool elevatedOwner;
  const char* failingCall;  // fails every time; null: none
  std::wstring refusal;     // empty: joined
};

void PrintTo(const PlantCase& c, std::ostream* os) { *os << c.name; }

class PlantedBeforeTheStart : public DriverAttachPlant, public ::testing::WithParamInterface<PlantCase> {};

TEST_P(PlantedBeforeTheStart, IsJoinedOnlyWhenSystemOrAdministratorsMadeIt) {
  const PlantCase& c = GetParam();
  AddSensor(CM_PROB_FAILED_START);
  machine.PlantNamedObject(kName, c.kind, c.set, c.elevatedOwner);
  if (c.failingCall) machine.Fail(c.failingCall, ERROR_ACCESS_DENIED, -1);
  Start();
  RunSomeLoops();
  // A set event the worker joined wakes it once more; a refused one never does.
  const std::size_t wakeUps = WakeUpsByTheEvent();
  EXPECT_EQ(c.set && c.refusal.empty() ? 1u : 0u, wakeUps);
  EXPECT_EQ(6u + wakeUps, TimesOf(kOtherProblem).size());  // monitoring goes on
  for (const std::wstring& refusal : {kByUser, kMutex, kOwnerUnreadable})
    EXPECT_EQ(refusal == c.refusal ? 1u : 0u, TimesOf(refusal).size());
  for (const sim::EventLogEntry& entry : machine.diagnostics.EventLog()) {
    if (entry.strings.at(1) == c.refusal) {
      EXPECT_EQ(EVENTLOG_ERROR_TYPE, entry.type);
    }
  }
  Stop();
  EXPECT_EQ(1u, TimesOf(kGraceful).size());
}

INSTANTIATE_TEST_SUITE_P(
    Objects, PlantedBeforeTheStart,
    ::testing::Values(
        PlantCase{"EventOfTheDriversSide", sim::Machine::NamedObjectKind::kEvent, true, true, nullptr, L""},
        PlantCase{"EventOfAUser", sim::Machine::NamedObjectKind::kEvent, false, false, nullptr, kByUser},
        PlantCase{"SetEventOfAUser", sim::Machine::NamedObjectKind::kEvent, true, false, nullptr, kByUser},
        PlantCase{"MutexOfAUser", sim::Machine::NamedObjectKind::kMutex, false, false, nullptr, kMutex},
        PlantCase{"MutexOfAnAdministrator", sim::Machine::NamedObjectKind::kMutex, false, true, nullptr, kMutex},
        PlantCase{"EventWhoseOwnerCannotBeRead", sim::Machine::NamedObjectKind::kEvent, false, true,
                  "GetSecurityInfo", kOwnerUnreadable}),
    [](const auto& info) { return std::string(info.param.name); });

// The refusal is logged again only when what stands under the name changes.
TEST_F(DriverAttachPlant, ARefusalIsLoggedAgainOnlyWhenItChanges) {
  AddSensor(CM_PROB_FAILED_START);
  machine.PlantNamedObject(kName, sim::Machine::NamedObjectKind::kEvent);
  machine.FailCall("GetSecurityInfo", 2, ERROR_ACCESS_DENIED);
  Start();
  RunSomeLoops();
  std::vector<std::wstring> refusals;
  for (const LoggedMessage& m : LoggedMessages(machine))
    if (m.text == kByUser || m.text == kOwnerUnreadable) refusals.push_back(m.text);
  EXPECT_EQ((std::vector<std::wstring>{kByUser, kOwnerUnreadable, kByUser}), refusals);
  Stop();
}

}  // namespace
