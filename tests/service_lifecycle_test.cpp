// The service object's reports to the SCM, its power-setting registrations
// and the failures of its hooks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "service/control_handler.h"
#include "platform/sync.h"
#include "service_process.h"

using testing_support::LoggedMessage;
using testing_support::LoggedMessages;
using testing_support::Hooks;
using testing_support::RunHookService;
using testing_support::ServiceProcess;
using testing_support::Texts;

namespace {

struct Report {
  DWORD state;
  DWORD checkPoint;
  DWORD exitCode;
  bool operator==(const Report& o) const {
    return state == o.state && checkPoint == o.checkPoint && exitCode == o.exitCode;
  }
};

std::ostream& operator<<(std::ostream& out, const Report& r) {
  return out << "{state " << r.state << ", checkpoint " << r.checkPoint << ", exit code " << r.exitCode << "}";
}

std::vector<Report> Reports(sim::Machine& machine) {
  std::vector<Report> reports;
  for (const sim::StatusReport& r : machine.scm.StatusReports())
    reports.push_back({r.status.dwCurrentState, r.status.dwCheckPoint, r.status.dwWin32ExitCode});
  return reports;
}

// A start and a stop as the SCM sees them: state, checkpoint, exit code.
const std::vector<Report> kStartThenStop = {
    {SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0}, {SERVICE_STOP_PENDING, 2, 0}, {SERVICE_STOPPED, 0, 0}};

void RaiseCode(DWORD code) { throw code; }
void RaiseOther() { throw std::runtime_error("hook failed"); }

class ServiceLifecycleTest : public SimTest {
 protected:
  void SetUp() override { testing_support::SetLogSwitch(machine, 1); }
};

TEST_F(ServiceLifecycleTest, NormalStartAndStopReportWithCheckpointsAndReleaseRegistrationsFirst) {
  ServiceProcess process(machine);
  ASSERT_TRUE(process.WaitForState(SERVICE_RUNNING));

  std::vector<sim::StatusReport> reports = machine.scm.StatusReports();
  ASSERT_EQ(2u, reports.size());
  const SERVICE_STATUS& pending = reports[0].status;
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), pending.dwServiceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), pending.dwCurrentState);
  // No controls while it starts ("the service can crash", says SetServiceStatus).
  EXPECT_EQ(0u, pending.dwControlsAccepted);
  EXPECT_EQ(0u, pending.dwWin32ExitCode);
  EXPECT_EQ(0u, pending.dwServiceSpecificExitCode);
  EXPECT_EQ(1u, pending.dwCheckPoint);
  EXPECT_EQ(0u, pending.dwWaitHint);

  std::vector<sim::PowerSettingRegistration> registrations = machine.power.Registrations();
  ASSERT_EQ(2u, registrations.size());
  EXPECT_TRUE(registrations[0].setting == kGuidLidSwitchStateChange);
  EXPECT_TRUE(registrations[1].setting == kGuidConsoleDisplayState);
  for (const auto& registration : registrations) {
    EXPECT_EQ(static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE), registration.flags);
    EXPECT_FALSE(registration.released);
  }

  {
    auto lock = machine.kernel.Lock();
    auto event = machine.kernel.FindNamed<sim::Event>(L"pCheckYBEvent");
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->manual);
    EXPECT_FALSE(event->signalled);
    EXPECT_FALSE(event->security.dacl);
  }

  ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0u, process.Exit());

  EXPECT_EQ(kStartThenStop, Reports(machine));
  reports = machine.scm.StatusReports();
  for (const auto& report : reports) {
    // From RUNNING on: stop, shutdown, power events (the lid and display
    // notifications come as those) and session changes.
    EXPECT_EQ(report.status.dwCurrentState == SERVICE_START_PENDING ? 0u : 0xC5u, report.status.dwControlsAccepted);
    // A pending stop promises its next report; no other report promises anything.
    EXPECT_EQ(report.status.dwCurrentState == SERVICE_STOP_PENDING ? kStopPendingWaitHintMs : 0u,
              report.status.dwWaitHint);
  }
  registrations = machine.power.Registrations();
  EXPECT_TRUE(registrations[0].released);
  EXPECT_TRUE(registrations[1].released);
  EXPECT_LT(registrations[0].releasedAt.seq, registrations[1].releasedAt.seq);
  EXPECT_LT(registrations[1].releasedAt.seq, reports[2].seq);

  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] Enter CServiceBase Constructor...",
                L"[ZEFO Service] Enter CServiceBase::Run..",
                L"[ZEFO Service] return StartServiceCtrlDispatcher(serviceTable)..",
                L"[ZEFO Service] Enter CServiceBase::ServiceMain...",
                L"[ZEFO Service] Start RegisterServiceCtrlHandlerEx...",
                L"[ZEFO Service] Executing s_service->Start...",
                L"[ZEFO Service] Enter CServiceBase::Start...",
                L"[ZEFO Service] Enter ServiceCtrlHandlerEx...",
                L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx Stop",
                L"[ZEFO Service] Enter CServiceBase::Stop...",
                L"[ZEFO Service] UnregisterPowerSettingNotification...",
                L"[ZEFO Service] UnregisterPowerSettingNotification Finish",
                L"[ZEFO Service] Enter CServiceBase Destructor...",
            }),
            Texts(LoggedMessages(machine)));
  for (const LoggedMessage& message : LoggedMessages(machine)) EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, message.type);

}

class QuietServiceLifecycle : public SimTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(QuietServiceLifecycle, ReportsTheSameAndLogsNothing) {
  testing_support::SetLogSwitch(machine, GetParam());
  ServiceProcess process(machine);
  ASSERT_TRUE(process.WaitForState(SERVICE_RUNNING));
  ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0u, process.Exit());
  EXPECT_EQ(kStartThenStop, Reports(machine));
  EXPECT_TRUE(machine.diagnostics.EventLog().empty());
  EXPECT_TRUE(machine.diagnostics.DebugLines().empty());
}

INSTANTIATE_TEST_SUITE_P(LogSwitch, QuietServiceLifecycle, ::testing::Values(0u, 2u));

TEST_F(ServiceLifecycleTest, RunOutsideTheScmFailsAtOnceWithoutServiceMain) {
  auto main = machine.Start(testing_support::RunServiceWmain, L"main");
  EXPECT_EQ(0u, machine.Join(main));
  EXPECT_EQ(0u, machine.Now());
  EXPECT_TRUE(machine.scm.StatusReports().empty());
  EXPECT_EQ((std::vector<LoggedMessage>{
                {L"[ZEFO Service] Enter wmain...", EVENTLOG_INFORMATION_TYPE, 0},
                {L"[ZEFO Service] Start CServiceBase::Run(service)...", EVENTLOG_INFORMATION_TYPE, 0},
                {L"[ZEFO Service] Enter CServiceBase Constructor...", EVENTLOG_INFORMATION_TYPE, 0},
                {L"[ZEFO Service] Enter CServiceBase::Run..", EVENTLOG_INFORMATION_TYPE, 0},
                {L"[ZEFO Service] return StartServiceCtrlDispatcher(serviceTable)..", EVENTLOG_INFORMATION_TYPE, 0},
                {L"[ZEFO Service] Service failed to run w/err 0x00000427\n", EVENTLOG_ERROR_TYPE, 0},
                {L"[ZEFO Service] Enter CServiceBase Destructor...", EVENTLOG_INFORMATION_TYPE, 0},
                {L"[ZEFO Service] Eixt wmain...", EVENTLOG_INFORMATION_TYPE, 0},
            }),
            LoggedMessages(machine));
}

// The service can never report STOPPED without a status handle, so the
// dispatcher would never return: the process ends with the error instead.
TEST_F(ServiceLifecycleTest, FailedHandlerRegistrationIsLoggedAndEndsTheProcessWithTheError) {
  machine.Fail("RegisterServiceCtrlHandlerExW", ERROR_SERVICE_NOT_IN_EXE);
  ServiceProcess process(machine);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE), process.Exit());
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE), machine.process.ExitCode());

  EXPECT_TRUE(machine.scm.StatusReports().empty());
  EXPECT_TRUE(machine.power.Registrations().empty());
  {
    auto lock = machine.kernel.Lock();
    EXPECT_EQ(0u, machine.kernel.namedObjects.count(L"pCheckYBEvent"));
  }
  std::vector<LoggedMessage> logged = LoggedMessages(machine);
  ASSERT_GE(logged.size(), 3u);
  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] Enter CServiceBase::ServiceMain...",
                L"[ZEFO Service] Start RegisterServiceCtrlHandlerEx...",
                L"[ZEFO Service] RegisterServiceCtrlHandlerEx fail, Error = 0x0000043B",
            }),
            Texts(std::vector<LoggedMessage>(logged.end() - 3, logged.end())));
  EXPECT_EQ(EVENTLOG_ERROR_TYPE, logged.back().type);
}

// The handler returns at once, so the SCM (which sends one control at a time
// to all services) is never held up: STOP_PENDING, then STOPPED.
TEST_F(ServiceLifecycleTest, ShutdownReportsStopPendingThenStoppedAndKeepsRegistrations) {
  ServiceProcess process(machine);
  ASSERT_TRUE(process.WaitForState(SERVICE_RUNNING));
  const std::uint64_t before = machine.Journal().back().seq;
  ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_SHUTDOWN));
  EXPECT_EQ(0u, process.Exit());

  EXPECT_EQ(kStartThenStop, Reports(machine));
  std::vector<LoggedMessage> messages = LoggedMessages(machine, before);
  ASSERT_EQ(4u, messages.size());
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter ServiceCtrlHandlerEx...",
                                       L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx Shutdown",
                                       L"[ZEFO Service] Enter CServiceBase::Shutdown...",
                                       L"[ZEFO Service] Enter CServiceBase Destructor..."}),
            Texts(messages));
  // Shutdown itself releases nothing; the registrations end with the object.
  for (const auto& registration : machine.power.Registrations())
    EXPECT_GT(registration.releasedAt.seq, machine.scm.StatusReports().back().seq);
}

// A hook that fails, and what the service reports and logs after it.
struct HookFailure {
  const char* name;
  std::function<void(Hooks&, std::function<void()>)> install;
  std::function<void()> raise;
  std::vector<DWORD> controls;  // sent once the service runs
  std::vector<Report> reports;  // every report, in order
  const wchar_t* message;
  WORD type;
};

const std::vector<HookFailure>& HookFailures() {
  auto start = [](Hooks& h, std::function<void()> f) { h.onStart = std::move(f); };
  auto stop = [](Hooks& h, std::function<void()> f) { h.onStop = std::move(f); };
  auto pause = [](Hooks& h, std::function<void()> f) { h.onPause = std::move(f); };
  auto resume = [](Hooks& h, std::function<void()> f) { h.onContinue = std::move(f); };
  auto shutdown = [](Hooks& h, std::function<void()> f) { h.onShutdown = std::move(f); };
  auto code5 = [] { RaiseCode(5); };
  auto bigCode = [] { RaiseCode(0xE0000204); };
  const Report pending{SERVICE_START_PENDING, 1, 0};
  const Report running{SERVICE_RUNNING, 0, 0};
  static const std::vector<HookFailure> cases = {
      {"start code", start, code5, {}, {pending, {SERVICE_STOPPED, 0, 5}},
       L"[ZEFO Service] Enter CServiceBase::Start error, Err = 5", EVENTLOG_ERROR_TYPE},
      {"start other", start, RaiseOther, {}, {pending, {SERVICE_STOPPED, 0, 0}},
       L"[ZEFO Service] Enter CServiceBase::Start Fai to start!!!", EVENTLOG_ERROR_TYPE},
      {"stop code", stop, bigCode, {SERVICE_CONTROL_STOP},
       {pending, running, {SERVICE_STOP_PENDING, 2, 0}, running},
       L"[ZEFO Service] Enter CServiceBase::Stop error, dwError = -536870396", EVENTLOG_INFORMATION_TYPE},
      {"stop other", stop, RaiseOther, {SERVICE_CONTROL_STOP},
       {pending, running, {SERVICE_STOP_PENDING, 2, 0}, running},
       L"[ZEFO Service] Enter CServiceBase::Stop fail", EVENTLOG_INFORMATION_TYPE},
      {"pause code", pause, code5, {SERVICE_CONTROL_PAUSE},
       {pending, running, {SERVICE_PAUSE_PENDING, 2, 0}, running},
       L"[ZEFO Service] CServiceBase::Pause error, dwError = 5", EVENTLOG_INFORMATION_TYPE},
      {"pause other", pause, RaiseOther, {SERVICE_CONTROL_PAUSE},
       {pending, running, {SERVICE_PAUSE_PENDING, 2, 0}, running},
       L"[ZEFO Service] CServiceBase::Pause fail", EVENTLOG_INFORMATION_TYPE},
      {"continue code", resume, code5, {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE},
       {pending, running, {SERVICE_PAUSE_PENDING, 2, 0}, {SERVICE_PAUSED, 3, 0}, {SERVICE_CONTINUE_PENDING, 4, 0},
        {SERVICE_PAUSED, 5, 0}},
       L"[ZEFO Service] CServiceBase::Continue error, dwError = 5", EVENTLOG_INFORMATION_TYPE},
      {"continue other", resume, RaiseOther, {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE},
       {pending, running, {SERVICE_PAUSE_PENDING, 2, 0}, {SERVICE_PAUSED, 3, 0}, {SERVICE_CONTINUE_PENDING, 4, 0},
        {SERVICE_PAUSED, 5, 0}},
       L"[ZEFO Service] CServiceBase::Continue, Service failed to resume", EVENTLOG_INFORMATION_TYPE},
      {"shutdown code", shutdown, code5, {SERVICE_CONTROL_SHUTDOWN}, {pending, running, {SERVICE_STOP_PENDING, 2, 0}},
       L"[ZEFO Service] CServiceBase::Shutdown error, dwError = 5", EVENTLOG_INFORMATION_TYPE},
      {"shutdown other", shutdown, RaiseOther, {SERVICE_CONTROL_SHUTDOWN},
       {pending, running, {SERVICE_STOP_PENDING, 2, 0}},
       L"[ZEFO Service] CServiceBase::Shutdown fail", EVENTLOG_INFORMATION_TYPE},
  };
  return cases;
}

class HookFailureTest : public SimTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(HookFailureTest, IsCaughtLoggedAndReported) {
  const HookFailure& c = HookFailures()[GetParam()];
  g_dwLogSwitch = 1;  // these processes run without wmain and its settings
  Hooks hooks;
  c.install(hooks, c.raise);
  ServiceProcess process(machine, RunHookService(hooks));
  if (c.controls.empty()) {
    EXPECT_EQ(static_cast<DWORD>(TRUE), process.Exit());
  } else {
    ASSERT_TRUE(process.WaitForState(SERVICE_RUNNING));
    for (DWORD control : c.controls) ASSERT_EQ(NO_ERROR, machine.scm.Control(control));
    ASSERT_TRUE(machine.Settle());  // a stop finishes on a thread of its own
  }
  EXPECT_EQ(c.reports, Reports(machine));
  std::vector<LoggedMessage> messages = LoggedMessages(machine);
  auto found = std::find(messages.begin(), messages.end(), LoggedMessage{c.message, c.type, 0});
  EXPECT_NE(messages.end(), found) << "missing: " << std::string(c.message, c.message + wcslen(c.message));
}

INSTANTIATE_TEST_SUITE_P(Hooks, HookFailureTest, ::testing::Range<std::size_t>(0, 10), [](const auto& info) {
  std::string name = HookFailures()[info.param].name;
  std::replace(name.begin(), name.end(), ' ', '_');
  return name;
});

TEST_F(ServiceLifecycleTest, ReportsFromServiceMainAndTheDispatcherStayConsistent) {
  g_dwLogSwitch = 1;
  Hooks hooks;
  UniqueKernelHandle startMayEnd(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const HANDLE gate = startMayEnd.Get();
  hooks.onStart = [gate] { os::WaitForSingleObject(gate, INFINITE); };
  ServiceProcess process(machine, RunHookService(hooks));
  ASSERT_TRUE(process.WaitForState(SERVICE_START_PENDING));

  // A request that reports while Start is still inside its hook.
  ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_PAUSE));
  os::SetEvent(gate);
  ASSERT_TRUE(process.WaitForState(SERVICE_RUNNING));

  EXPECT_EQ((std::vector<Report>{{SERVICE_START_PENDING, 1, 0},
                                 {SERVICE_PAUSE_PENDING, 2, 0},
                                 {SERVICE_PAUSED, 3, 0},
                                 {SERVICE_RUNNING, 0, 0}}),
            Reports(machine));
  ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_STOP));
  EXPECT_EQ(static_cast<DWORD>(TRUE), process.Exit());
}

}  // namespace
