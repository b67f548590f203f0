// Floods of events, which anyone may cause (a lock screen toggled by a
// script, Global\DriverAttach set by any process): the handler never waits,
// checks asked for together are one check, and the sensors are not disabled
// again and again.
#include <gtest/gtest.h>

#include "monitor_fixture.h"

namespace {

using namespace monitor_testing;

class EventFlood : public MonitorTest {
 protected:
  std::size_t DisablesOf(int device) {
    std::size_t count = 0;
    for (const sim::DeviceAction& action : machine.devices.Actions())
      count += action.device == device && action.stateChange == DICS_DISABLE;
    return count;
  }
};

// 40 session events in 4 s, then a stop: each handler call returns at once,
// the checks they ask for are a few, and the stop is not held up.
TEST_F(EventFlood, SessionEventsNeitherHoldTheHandlerNorCheckOnceEach) {
  AddSensor(CM_PROB_FAILED_START);
  Start();
  const std::size_t checksBefore = TimesOf(kOtherProblem).size();
  for (int i = 0; i < 40; ++i) {
    const std::uint64_t sentAt = machine.Now();
    EXPECT_EQ(NO_ERROR, machine.scm.SessionChange(i % 2 ? WTS_SESSION_UNLOCK : WTS_SESSION_LOCK));
    EXPECT_EQ(sentAt, machine.Now());
    machine.RunFor(100);
  }
  machine.RunFor(2000);
  const std::size_t checks = TimesOf(kOtherProblem).size() - checksBefore;
  EXPECT_GE(checks, 3u);
  EXPECT_LE(checks, 5u);  // one a second, each taking the signals of its second
  ExpectStoppedInTime(SERVICE_CONTROL_STOP);
}

// A second device of this maker failing for good, first in the list, and
// Global\DriverAttach set 2000 times in a minute: the healthy sensor is
// disabled once, not at every signal.
TEST_F(EventFlood, DriverSignalsDoNotRecoverMoreThanOnceAMinute) {
  const int failing = AddSensor(0, L"USB\\VID_1234&PID_9999");
  const int healthy = AddSensor();
  Start();
  machine.devices.SetProblem(failing, CM_PROB_FAILED_POST_START, /*persists=*/true);
  for (int i = 0; i < 2000; ++i) {
    machine.RunFor(30);
    ASSERT_TRUE(machine.SignalNamedEvent(L"Global\\DriverAttach"));
  }
  EXPECT_EQ(1u, DisablesOf(healthy));
  EXPECT_TRUE(machine.DeviceEnabled(healthy));
  // The polling period is untouched: its check, two minutes after the last
  // wake-up, recovers again.
  machine.RunFor(121000);
  EXPECT_EQ(2u, DisablesOf(healthy));
  Stop();
}

}  // namespace
