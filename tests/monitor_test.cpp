// The whole system on the simulated machine: the service started by the SCM,
// its polling worker, the device check and recovery, the ESS check, and the
// stop handshake.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "ess/ess_discovery.h"
#include "platform/process.h"
#include "platform/sim/power_model.h"
#include "platform/sync.h"
#include "service/control_handler.h"
#include "monitor_fixture.h"

namespace {

using namespace monitor_testing;

TEST_F(MonitorTest, LidOpenedChecksTheSensorAndRecoversProblem43) {
  const int sensor = AddSensor();
  Start();
  machine.devices.SetProblem(sensor, CM_PROB_FAILED_POST_START);
  const std::uint64_t lidAt = machine.Now();
  const std::uint64_t seq = LastSeq();

  ASSERT_EQ(NO_ERROR, machine.power.SettingChanged(kGuidLidSwitchStateChange, 1));
  machine.RunFor(2000);  // the check a second after the event, the enable a second later

  std::vector<sim::DeviceAction> actions = machine.devices.Actions();
  ASSERT_EQ(2u, actions.size());
  EXPECT_EQ(static_cast<DWORD>(DICS_DISABLE), actions[0].stateChange);
  EXPECT_EQ(lidAt + 1000, actions[0].timeMs);
  EXPECT_EQ(static_cast<DWORD>(DICS_ENABLE), actions[1].stateChange);
  EXPECT_EQ(lidAt + 2000, actions[1].timeMs);
  std::vector<std::wstring> texts = MessagesSince(seq);
  const std::vector<std::wstring> expectedTail = {
      L"[ZEFO Service] Lid open Captured",
      L"[ZEFO Service] Got yellow bang, error code 43 (CM_PROB_FAILED_POST_START)",
      L"[ZEFO Service] WBF yellow band happened, Check ProblemCode...",
      L"[ZEFO Service] YB error code 31 or 43 is found, do the recovery mechanism...",
      L"[ZEFO Service] Enter DisableAndEnableZEFOFPDevice",
      L"[ZEFO Service] Enter Start Disable and Enable ZEFO FPR device",
      L"[ZEFO Service] Disable the FPR device... ",
      L"[ZEFO Service] Enalbe the FPR device... ",
      L"[ZEFO Service] Exit RecoverZEFOFPDevice, errorcode = 0",
      L"[ZEFO Service] Recovery mechanism is done ",
  };
  ASSERT_GE(texts.size(), expectedTail.size());
  EXPECT_EQ(expectedTail, std::vector<std::wstring>(texts.end() - expectedTail.size(), texts.end()));

  // Back in its wait: nothing more until the polling period is over.
  machine.RunFor(119999);
  EXPECT_EQ(texts.size(), MessagesSince(seq).size());
  Stop();
}

TEST_F(MonitorTest, DefaultSettingsCheckEveryTwoMinutesAndNothingBetween) {
  AddSensor(CM_PROB_FAILED_START);
  Start();
  const std::uint64_t startedAt = TimesOf(kOtherProblem).at(0);
  machine.RunFor(360000);

  std::vector<std::wstring> texts = Texts(LoggedMessages(machine));
  EXPECT_TRUE(Contains(texts, L"[ZEFO Service] Polling FP Status(wait for 120 s)"));
  EXPECT_EQ((std::vector<std::uint64_t>{startedAt, startedAt + 120000, startedAt + 240000, startedAt + 360000}),
            TimesOf(kOtherProblem));
  EXPECT_EQ(4u, TimesOf(L"[ZEFO Service] WBF yellow band happened, Check ProblemCode...").size());
  EXPECT_TRUE(machine.devices.Actions().empty());
  Stop();
}

TEST_F(MonitorTest, ANewPollingPeriodTakesEffectAtTheNextLoop) {
  AddSensor(CM_PROB_FAILED_START);
  Start();
  const std::uint64_t startedAt = TimesOf(kOtherProblem).at(0);
  SetSetting(L"ServicePollingTime", 5);
  machine.RunFor(420000);

  EXPECT_EQ((std::vector<std::uint64_t>{startedAt, startedAt + 120000, startedAt + 420000}), TimesOf(kOtherProblem));
  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] Polling FP Status(wait for 120 s)").size());
  Stop();
}

TEST_F(MonitorTest, PollingPeriodIsBoundedSoItsWaitNeverWraps) {
  AddSensor(CM_PROB_FAILED_START);
  SetSetting(L"ServicePollingTime", 134217728);  // x 60000 wraps to 0 in 32 bits
  Start();
  const std::uint64_t startedAt = TimesOf(kOtherProblem).at(0);
  machine.RunFor(4294920000ull);

  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] Polling FP Status(wait for 4294920 s)").size());
  EXPECT_EQ((std::vector<std::uint64_t>{startedAt, startedAt + 4294920000ull}), TimesOf(kOtherProblem));
  Stop();
}

TEST_F(MonitorTest, LoggingSwitchedOnWhileRunningStartsAtTheNextLoop) {
  AddSensor(CM_PROB_FAILED_START);
  Start(0);
  SetSetting(L"LOG_SWITCH", 1);
  machine.RunFor(119999);
  EXPECT_TRUE(machine.diagnostics.EventLog().empty());
  machine.RunFor(1);
  ASSERT_TRUE(machine.Settle());
  EXPECT_EQ(1u, TimesOf(kOtherProblem).size());
  Stop();
}

TEST_F(MonitorTest, DriverAttachBeforeAnySensorRunsTheEssCheckThenADeviceCheck) {
  Start();
  EXPECT_EQ(1u, TimesOf(kNotFound).size());
  const int sensor = AddSensor(CM_PROB_FAILED_START);
  machine.registry.SetDword(machine.devices.HardwareKeyPath(sensor) + L"\\WinBio\\Configurations",
                            L"SecureFingerprint", 0);
  const std::uint64_t seq = LastSeq();

  UniqueKernelHandle attach(os::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\DriverAttach"));
  ASSERT_TRUE(attach);
  ASSERT_TRUE(os::SetEvent(attach.Get()));
  ASSERT_TRUE(machine.Settle());

  std::vector<std::wstring> texts = MessagesSince(seq);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(kDriverAttach, texts.front());
  auto found = std::find(texts.begin(), texts.end(),
                         L"[ZEFO Service][CheckEssUEFIValue] Find ZEFO MOC FPR device (FRP PID = 0A20)!!!");
  auto checked = std::find(texts.begin(), texts.end(), kOtherProblem);
  EXPECT_NE(texts.end(), found);
  EXPECT_NE(texts.end(), checked);
  EXPECT_LT(found, checked);

  // Found now: a later signal only brings a device check.
  const std::uint64_t later = LastSeq();
  ASSERT_TRUE(os::SetEvent(attach.Get()));
  ASSERT_TRUE(machine.Settle());
  texts = MessagesSince(later);
  EXPECT_FALSE(Contains(texts, kDriverAttach));
  EXPECT_TRUE(Contains(texts, kOtherProblem));
  Stop();
}

// The driver may signal as soon as it loads, while the worker's first check
// is still busy (here a recovery of another device with a slow class
// installer): the event exists before that check, and the signal is kept.
TEST_F(MonitorTest, DriverSignalDuringTheFirstCheckIsKept) {
  AddSensor(CM_PROB_FAILED_POST_START, L"USB\\VID_1234&PID_9999");  // "ZEFO", no known product code
  machine.devices.SetInstallerTime(3000);
  Start();
  ASSERT_TRUE(machine.RunUntil([&] { return machine.devices.actions.size() == 1; }));
  const int sensor = AddSensor(0, L"USB\\VID_06CB&PID_0A20");
  machine.registry.SetDword(machine.devices.HardwareKeyPath(sensor) + L"\\WinBio\\Configurations",
                            L"SecureFingerprint", 99);
  ASSERT_TRUE(machine.SignalNamedEvent(L"Global\\DriverAttach"));
  machine.RunFor(10000);
  EXPECT_EQ(1u, TimesOf(kDriverAttach).size());
  EXPECT_EQ(1, g_bEssDeviceFound);
  Stop();
}

// Anyone may set it; nobody else may wait on it (and so take the signal
// meant for the worker) or change its security.
TEST_F(MonitorTest, DriverAttachEventLetsAnyoneSignalButNoMore) {
  Start();
  EXPECT_TRUE(UniqueKernelHandle(os::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\DriverAttach")));
  for (DWORD refused : {DWORD{SYNCHRONIZE}, DWORD{WRITE_DAC}}) {
    EXPECT_FALSE(UniqueKernelHandle(os::OpenEventW(refused, FALSE, L"Global\\DriverAttach")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os::GetLastError());
  }
  Stop();
}

TEST_F(MonitorTest, StopAndCheckNowTogetherLeaveWithoutAnotherCheck) {
  AddSensor(CM_PROB_FAILED_START);
  Start();
  const std::uint64_t seq = LastSeq();
  machine.SignalTogether({L"pOnServiceStopEvent", L"pCheckYBEvent"});
  ASSERT_TRUE(machine.Settle());
  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] OnServiceStopEvent trigger, exit the PollingFPStatusThread!!!",
                L"[ZEFO Service] Exit PollingFPStatusThread",
            }),
            MessagesSince(seq));
  Stop();
  EXPECT_EQ(1u, TimesOf(kGraceful).size());
}

TEST_F(MonitorTest, GracefulStopClosesEveryHandleItMade) {
  Start();
  const std::uint64_t seq = LastSeq();
  Stop();
  std::vector<std::wstring> texts = MessagesSince(seq);
  for (const wchar_t* text :
       {L"[ZEFO Service] Enter CServiceBase::OnStop ...", L"[ZEFO Service] Wait Thread to be terminated...",
        L"[ZEFO Service] Event trigger!!!", kGraceful.c_str(), L"[ZEFO Service] Destroying FpMainThread complete.!!!",
        L"[ZEFO Service] ZFDService in OnStop Finish"})
    EXPECT_TRUE(Contains(texts, text)) << std::wstring(text).size();
  for (const wchar_t* name :
       {L"pOnServiceStopEvent", L"pCheckYBEvent", L"pTerminateThreadEvent", L"Global\\DriverAttach"})
    EXPECT_FALSE(NamedEventExists(name)) << name;
  EXPECT_FALSE(WorkerTerminated());
  // After STOPPED the process may end at any moment: only wmain's last lines follow.
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter CServiceBase Destructor...",
                                       L"[ZEFO Service] Eixt wmain..."}),
            MessagesSince(machine.scm.StatusReports().back().seq));
}

// An event that cannot be made is made again at every loop; meanwhile the
// worker waits on the others, and goes on checking at every polling period.
class MonitorWithoutAnEvent : public MonitorTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(MonitorWithoutAnEvent, KeepsCheckingAndStillStops) {
  const std::wstring name = GetParam();
  AddSensor(CM_PROB_FAILED_START);
  machine.FailNamed("CreateEventW", name, ERROR_NOT_ENOUGH_MEMORY, -1);
  Start();
  machine.RunFor(2 * 120000);

  const std::wstring missing = L"[ZEFO Service] Create " + name + L" fail, GetLastError = 0x00000008, wait without it";
  EXPECT_EQ(3u, TimesOf(kOtherProblem).size());
  EXPECT_EQ(3u, TimesOf(missing).size());
  EXPECT_TRUE(TimesOf(L"[ZEFO Service] WaitForSingleObject error (EventTriggerCode = -1), exit the "
                      L"PollingFPStatusThread!!!")
                  .empty());
  Stop();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), machine.scm.StatusReports().back().status.dwCurrentState);
}

INSTANTIATE_TEST_SUITE_P(Events, MonitorWithoutAnEvent,
                         ::testing::Values(L"pOnServiceStopEvent", L"pCheckYBEvent", L"Global\\DriverAttach"),
                         [](const auto& info) { return std::to_string(info.index); });

// An event of the service's own name that another process made first, and
// set: joined, the stop event would end monitoring at the first wait, the
// termination event would let a stop report STOPPED while the worker runs.
class PlantedEvent : public MonitorTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(PlantedEvent, IsNotJoinedAndMonitoringGoesOn) {
  const std::wstring name = GetParam();
  AddSensor(CM_PROB_FAILED_START);
  const UniqueKernelHandle planted(os::CreateEventW(nullptr, TRUE, TRUE, name.c_str()));
  ASSERT_TRUE(planted);
  Start();
  machine.RunFor(2 * 120000);
  EXPECT_EQ(3u, TimesOf(kOtherProblem).size());
  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] " + name + L" already exists, made by another process: not joined").size());
  Stop();
  EXPECT_EQ(1u, TimesOf(kGraceful).size());
}

INSTANTIATE_TEST_SUITE_P(Events, PlantedEvent,
                         ::testing::Values(L"pOnServiceStopEvent", L"pTerminateThreadEvent", L"pCheckYBEvent"),
                         [](const auto& info) { return std::to_string(info.index); });

// Another kind of object under one of those names makes CreateEventW fail:
// the event would be missing for good, tried again at every loop.
class PlantedMutex : public MonitorTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(PlantedMutex, TakesAnUnnamedEventsPlaceToo) {
  const std::wstring name = GetParam();
  AddSensor(CM_PROB_FAILED_START);
  machine.PlantNamedObject(name, sim::Machine::NamedObjectKind::kMutex);
  Start();
  machine.RunFor(2 * 120000);
  EXPECT_EQ(3u, TimesOf(kOtherProblem).size());
  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] " + name + L" already exists, made by another process: not joined").size());
  EXPECT_TRUE(TimesOf(L"[ZEFO Service] Create " + name + L" fail, GetLastError = 0x00000006, wait without it").empty());
  Stop();
  EXPECT_EQ(1u, TimesOf(kGraceful).size());
}

INSTANTIATE_TEST_SUITE_P(Events, PlantedMutex,
                         ::testing::Values(L"pOnServiceStopEvent", L"pTerminateThreadEvent", L"pCheckYBEvent"),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(MonitorTest, CheckNowEventServiceMainCouldNotMakeIsMadeByTheWorker) {
  const int sensor = AddSensor();
  machine.FailNamed("CreateEventW", L"pCheckYBEvent", ERROR_NOT_ENOUGH_MEMORY, 1);
  Start();
  machine.devices.SetProblem(sensor, CM_PROB_FAILED_POST_START);
  const std::uint64_t lidAt = machine.Now();
  ASSERT_EQ(NO_ERROR, machine.power.SettingChanged(kGuidLidSwitchStateChange, 1));
  machine.RunFor(2000);  // the check a second after the event, the enable a second later

  std::vector<sim::DeviceAction> actions = machine.devices.Actions();
  ASSERT_EQ(2u, actions.size());
  EXPECT_EQ(lidAt + 1000, actions[0].timeMs);
  Stop();
  EXPECT_EQ(1u, TimesOf(kGraceful).size());
}

// Without the termination event the stop waits on the worker thread itself.
TEST_F(MonitorTest, MissingTerminationEventMakesTheStopWaitOnTheWorkerItself) {
  machine.FailNamed("CreateEventW", L"pTerminateThreadEvent", ERROR_NOT_ENOUGH_MEMORY, -1);
  Start();
  Stop();
  EXPECT_TRUE(Contains(Texts(LoggedMessages(machine)),
                       L"[ZEFO Service] WaitForSingleObject error (EventTriggerCode = -1), Terminate the "
                       L"PollingFPStatusThread!!!"));
  EXPECT_FALSE(WorkerTerminated());
  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] Exit PollingFPStatusThread").size());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), LastReportedState());
}

TEST_F(MonitorTest, WithoutAWorkerTheServiceRunsAndStillClosesItsEvents) {
  machine.Fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
  Start();
  const std::uint64_t seq = LastSeq();
  EXPECT_TRUE(Contains(Texts(LoggedMessages(machine)), L"[ZEFO Service] Create PollingFPStatusThread Fail!!!"));
  Stop();
  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] Enter ServiceCtrlHandlerEx...",
                L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx Stop",
                L"[ZEFO Service] Enter CServiceBase::Stop...",
                L"[ZEFO Service] UnregisterPowerSettingNotification...",
                L"[ZEFO Service] UnregisterPowerSettingNotification Finish",
                L"[ZEFO Service] Enter CServiceBase::OnStop ...",
                L"[ZEFO Service] ZFDService in OnStop Finish",
                L"[ZEFO Service] Enter CServiceBase Destructor...",
                L"[ZEFO Service] Eixt wmain...",
            }),
            MessagesSince(seq));
  for (const wchar_t* name : {L"pOnServiceStopEvent", L"pCheckYBEvent", L"pTerminateThreadEvent"})
    EXPECT_FALSE(NamedEventExists(name)) << name;
}

// The handler returns at once; the stop lets the sensor being recovered be
// enabled first, begins no other recovery, and reports its progress meanwhile.
TEST_F(MonitorTest, StopDuringALongRecoveryLetsItReEnableTheSensorFirst) {
  // Four sensors and a class installer of 3 s a call: 7 s a sensor.
  for (int i = 0; i < 4; ++i) AddSensor(CM_PROB_FAILED_ADD);
  machine.devices.SetInstallerTime(3000);
  Start();
  ASSERT_TRUE(machine.RunUntil([&] { return machine.devices.actions.size() >= 1; }));
  machine.RunFor(500);
  const std::uint64_t stopAt = machine.Now();
  EXPECT_EQ(0u, HandlerTimeOf(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0u, process->Exit());

  EXPECT_EQ(1u, TimesOf(kTimedOut).size());
  EXPECT_FALSE(WorkerTerminated());
  const std::vector<sim::DeviceAction> actions = machine.devices.Actions();
  ASSERT_EQ(2u, actions.size());
  EXPECT_EQ(static_cast<DWORD>(DICS_DISABLE), actions[0].stateChange);
  EXPECT_EQ(static_cast<DWORD>(DICS_ENABLE), actions[1].stateChange);
  EXPECT_EQ(actions[0].device, actions[1].device);
  // Every pending report comes within the wait hint of the one before.
  const std::vector<sim::StatusReport> reports = machine.scm.StatusReports();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), reports.back().status.dwCurrentState);
  std::uint64_t last = stopAt;
  DWORD checkpoint = 0;
  for (const sim::StatusReport& report : reports) {
    if (report.timeMs < stopAt) continue;
    EXPECT_LE(report.timeMs - last, kStopPendingWaitHintMs);
    if (report.status.dwCurrentState == SERVICE_STOP_PENDING) {
      EXPECT_GT(report.status.dwCheckPoint, checkpoint);
      checkpoint = report.status.dwCheckPoint;
    }
    last = report.timeMs;
  }
}

// Each wait for sc.exe is bounded, so a hung one holds the stop only that
// long; the worker is never terminated for it.
TEST_F(MonitorTest, WorkerWaitingForAHungCommandIsNotTerminated) {
  Start();
  const int sensor = AddSensor();
  machine.registry.SetDword(machine.devices.HardwareKeyPath(sensor) + L"\\WinBio\\Configurations",
                            L"SecureFingerprint", 1);
  machine.process.SetProgramRunTime(sim::kNever);
  ASSERT_TRUE(machine.Settle());
  machine.SignalTogether({L"Global\\DriverAttach"});
  ASSERT_TRUE(machine.RunUntil([&] { return machine.process.commands.size() == 1; }));

  EXPECT_EQ(0u, HandlerTimeOf(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0u, process->Exit());
  EXPECT_FALSE(WorkerTerminated());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), LastReportedState());
}

}  // namespace
