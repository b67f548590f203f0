// The simulated machine's own controls and the Windows behaviour they stand
// for where the other side cannot be driven from a test: a process killed
// between two steps, slow class installers, faults on the nth call, sc.exe
// acting on the service database, the service lock, hung starts, the SCM's
// checks and timeouts around a service's control handler, and its one
// request at a time.
#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "platform/devices.h"
#include "platform/power.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/sim/machine.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
constexpr wchar_t kService[] = L"ZefoMachineService";

// What the small service below does; each test sets it before the start.
struct Behaviour {
  bool registerHandler = true;
  DWORD accepted = SERVICE_ACCEPT_STOP;
  std::vector<DWORD> startPendingHints;  // one START_PENDING report per entry, a minute apart
  HANDLE startGate = nullptr;            // waited on before RUNNING
  DWORD stopHandlerMs = 0;
  DWORD shutdownHandlerMs = 0;
};
Behaviour g_behaviour;
SERVICE_STATUS_HANDLE g_status = nullptr;

void Report(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0) {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, g_behaviour.accepted, 0, 0, checkPoint, waitHint};
  os::SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return NO_ERROR;
  os::Sleep(control == SERVICE_CONTROL_STOP ? g_behaviour.stopHandlerMs : g_behaviour.shutdownHandlerMs);
  Report(SERVICE_STOPPED);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  if (!g_behaviour.registerHandler) return;
  g_status = os::RegisterServiceCtrlHandlerExW(kService, Handler, nullptr);
  DWORD checkPoint = 0;
  for (DWORD hint : g_behaviour.startPendingHints) {
    Report(SERVICE_START_PENDING, ++checkPoint, hint);
    os::Sleep(60000);
  }
  if (g_behaviour.startGate) os::WaitForSingleObject(g_behaviour.startGate, INFINITE);
  Report(SERVICE_RUNNING);
}

DWORD ServiceProgram() {
  wchar_t name[] = L"ZefoMachineService";
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return os::StartServiceCtrlDispatcherW(table) ? 0 : os::GetLastError();
}

class Machine : public Conformance {
 protected:
  Machine() { g_behaviour = Behaviour{}; }
  sim::Machine& m = sim::Machine::Current();

  std::shared_ptr<sim::ThreadObject> StartService() { return m.StartServiceProcess(kService, ServiceProgram); }
  DWORD State(const std::wstring& name) { return *m.ServiceState(name); }
  bool WaitForState(const std::wstring& name, DWORD state) {
    return m.RunUntil([&] {
      auto& entry = m.scm.services.at(name);
      m.scm.Refresh(entry);
      return entry.status.dwCurrentState == state;
    });
  }
  bool Journaled(sim::JournalKind kind, const std::wstring& text) {
    auto journal = m.Journal();
    return std::any_of(journal.begin(), journal.end(),
                       [&](const sim::JournalEntry& e) { return e.kind == kind && e.text == text; });
  }
  // Runs "sc VERB NAME" as the system's sc.exe; the program's handle.
  UniqueKernelHandle Sc(const std::wstring& verb, const std::wstring& name) {
    std::wstring commandLine = L"sc " + verb + L" " + name;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(os::CreateProcessW(L"C:\\Windows\\system32\\sc.exe", commandLine.data(), nullptr, nullptr, FALSE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process));
    UniqueKernelHandle thread(process.hThread);
    return UniqueKernelHandle(process.hProcess);
  }
};

TEST_F(Machine, AKilledProcessEndsAtOnceAndTheServiceStartsAgain) {
  m.registry.SetDword(L"Software\\ZefoMachine", L"Kept", 1);
  auto main = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  m.KillProcess(STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(std::optional<DWORD>(STATUS_ACCESS_VIOLATION), m.process.ExitCode());
  EXPECT_TRUE(main->finished);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, main->exitCode);
  EXPECT_TRUE(Journaled(sim::JournalKind::kProcess,
                        L"TerminateProcess, exit code " + std::to_wstring(STATUS_ACCESS_VIOLATION)));
  sim::ServiceEntry entry = *m.scm.Service(kService);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), entry.status.dwCurrentState);
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROCESS_ABORTED), entry.status.dwWin32ExitCode);

  auto again = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  UniqueRegKey kept;
  EXPECT_EQ(ERROR_SUCCESS, os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\ZefoMachine", 0, KEY_READ, kept.Put()));
  EXPECT_FALSE(m.process.ExitCode());
  EXPECT_EQ(NO_ERROR, m.scm.Control(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0u, m.Join(again));
  EXPECT_EQ(std::optional<DWORD>(0), m.process.ExitCode());
}

// DeleteService only marks a running service: the entry goes when it has
// stopped and its last handle is closed, here in that order reversed.
TEST_F(Machine, AServiceMarkedForDeletionGoesWhenItStopsAfterItsLastHandleIsClosed) {
  auto main = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  {
    UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(os::OpenServiceW(manager.Get(), kService, DELETE));
    ASSERT_TRUE(os::DeleteService(service.Get()));
  }
  ASSERT_TRUE(m.scm.Service(kService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(kService));
  EXPECT_EQ(NO_ERROR, m.scm.Control(SERVICE_CONTROL_STOP));
  EXPECT_FALSE(m.scm.Service(kService));
  EXPECT_TRUE(Journaled(sim::JournalKind::kScm, std::wstring(kService) + L" deleted"));
  EXPECT_EQ(0u, m.Join(main));
}

TEST_F(Machine, TheDispatcherStaysWhileTheServiceHasNotStoppedAndAHungStartIsStopped) {
  g_behaviour.registerHandler = false;
  auto main = StartService();
  m.RunFor(79999);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), State(kService));
  EXPECT_TRUE(m.scm.ServiceLockHeld());
  m.RunFor(1);
  sim::ServiceEntry entry = *m.scm.Service(kService);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), entry.status.dwCurrentState);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_START_HANG), entry.status.dwWin32ExitCode);
  EXPECT_FALSE(m.scm.ServiceLockHeld());
  EXPECT_TRUE(Journaled(sim::JournalKind::kScm, std::wstring(kService) + L" hung on starting: stopped"));
  m.RunFor(3600000);
  EXPECT_FALSE(main->finished);
}

TEST_F(Machine, AStartIsHungEightySecondsPlusTheLastWaitHintAfterItsLastProgress) {
  g_behaviour.startPendingHints = {5000, 5000, 20000};
  g_behaviour.startGate = os::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  UniqueKernelHandle gate(g_behaviour.startGate);
  StartService();
  // Checkpoints at 0, 60 and 120 s; the last one's hint is 20 s.
  m.RunFor(120000 + 80000 + 20000 - 1);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), State(kService));
  m.RunFor(1);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kService));
}

TEST_F(Machine, ScActsOnTheDatabaseAndAStartWaitsForTheServiceLock) {
  m.scm.AddService(L"WbioSrvc", SERVICE_RUNNING, 2000);
  m.process.SetProgramRunTime(300);
  UniqueKernelHandle stop = Sc(L"stop", L"WbioSrvc");
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), State(L"WbioSrvc"));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(stop.Get(), 1000));
  os::Sleep(2000);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(L"WbioSrvc"));

  g_behaviour.startGate = os::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  UniqueKernelHandle gate(g_behaviour.startGate);
  StartService();
  UniqueKernelHandle start = Sc(L"start", L"WbioSrvc");
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), os::WaitForSingleObject(start.Get(), 10000));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(L"WbioSrvc"));
  os::SetEvent(gate.Get());
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(start.Get(), 1000));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(L"WbioSrvc"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(kService));
  EXPECT_EQ((std::vector<std::wstring>{L"sc stop WbioSrvc", L"sc start WbioSrvc"}), [&] {
    std::vector<std::wstring> lines;
    for (const sim::CommandRun& run : m.process.Commands()) lines.push_back(run.commandLine);
    return lines;
  }());
}

TEST_F(Machine, ControlServiceRefusesWhatTheServiceCannotTakeAndFillsTheStatus) {
  g_behaviour.startGate = os::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  UniqueKernelHandle gate(g_behaviour.startGate);
  StartService();
  m.scm.AddService(L"Stopped", SERVICE_STOPPED);
  m.scm.AddService(L"Stopping", SERVICE_RUNNING, 5000);
  m.scm.AddService(L"Running", SERVICE_RUNNING);
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  {
    UniqueScHandle stopping(os::OpenServiceW(manager.Get(), L"Stopping", SERVICE_ALL_ACCESS));
    SERVICE_STATUS status{};
    ASSERT_TRUE(os::ControlService(stopping.Get(), SERVICE_CONTROL_STOP, &status));
  }
  struct Case {
    const wchar_t* name;
    DWORD control;
    DWORD error;
    DWORD state;
  } cases[] = {
      {kService, SERVICE_CONTROL_STOP, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_START_PENDING},
      {L"Stopping", SERVICE_CONTROL_STOP, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_STOP_PENDING},
      {L"Stopped", SERVICE_CONTROL_STOP, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
      {L"Running", SERVICE_CONTROL_PAUSE, ERROR_INVALID_SERVICE_CONTROL, SERVICE_RUNNING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + std::wcslen(c.name)));
    UniqueScHandle service(os::OpenServiceW(manager.Get(), c.name, SERVICE_ALL_ACCESS));
    SERVICE_STATUS status{};
    SetSentinelLastError();
    EXPECT_FALSE(os::ControlService(service.Get(), c.control, &status));
    EXPECT_EQ(c.error, os::GetLastError());
    EXPECT_EQ(c.state, status.dwCurrentState);
  }
}

TEST_F(Machine, ControlServiceGivesUpOnAHandlerAfterThirtySecondsAndTheHandlerRunsOn) {
  g_behaviour.stopHandlerMs = 40000;
  auto main = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(os::OpenServiceW(manager.Get(), kService, SERVICE_STOP));
  const std::uint64_t sentAt = m.Now();
  SERVICE_STATUS status{};
  SetSentinelLastError();
  EXPECT_FALSE(os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT), os::GetLastError());
  EXPECT_EQ(sentAt + 30000, m.Now());
  EXPECT_EQ(0u, m.Join(main));
  std::vector<sim::HandlerCall> calls = m.scm.HandlerCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_CONTROL_STOP), calls[0].control);
  EXPECT_EQ(sentAt, calls[0].deliveredAtMs);
  EXPECT_EQ(std::optional<std::uint64_t>(sentAt + 40000), calls[0].returnedAtMs);
  EXPECT_EQ(std::optional<DWORD>(NO_ERROR), calls[0].result);
}

// While the service's stop handler runs, every request to the SCM (a stop
// or a start of another service, from a program's call or from sc.exe)
// waits for it, 30 s at most; the driver's own stop did not wait at all.
TEST_F(Machine, WhileAHandlerRunsEveryRequestWaitsItsTurnThirtySecondsAtMost) {
  m.scm.AddService(L"Running", SERVICE_RUNNING, 5000);
  m.scm.AddService(L"Stopped", SERVICE_STOPPED, 0, 5000);
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  auto controlService = [&] {
    UniqueScHandle running(os::OpenServiceW(manager.Get(), L"Running", SERVICE_STOP));
    SERVICE_STATUS status{};
    return os::ControlService(running.Get(), SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS : os::GetLastError();
  };
  auto startService = [&] {
    UniqueScHandle stopped(os::OpenServiceW(manager.Get(), L"Stopped", SERVICE_START));
    return os::StartServiceW(stopped.Get(), 0, nullptr) ? ERROR_SUCCESS : os::GetLastError();
  };
  // sc.exe waits for its turn as well; it ends once it has its answer
  // (WAIT_OBJECT_0).
  auto scStop = [&] {
    UniqueKernelHandle program = Sc(L"stop", L"Running");
    return os::WaitForSingleObject(program.Get(), 60000);
  };
  struct Case {
    const char* what;
    std::function<DWORD()> request;
    DWORD handlerMs;
    DWORD error;
    std::uint64_t waitedMs;
    DWORD runningState, stoppedState;  // the two services' states right after
  } cases[] = {
      {"ControlService", controlService, 10000, ERROR_SUCCESS, 10000, SERVICE_STOP_PENDING, SERVICE_STOPPED},
      {"ControlService", controlService, 40000, ERROR_SERVICE_REQUEST_TIMEOUT, 30000, SERVICE_RUNNING, SERVICE_STOPPED},
      {"StartService", startService, 10000, ERROR_SUCCESS, 10000, SERVICE_RUNNING, SERVICE_START_PENDING},
      {"StartService", startService, 40000, ERROR_SERVICE_REQUEST_TIMEOUT, 30000, SERVICE_RUNNING, SERVICE_STOPPED},
      {"sc stop", scStop, 10000, WAIT_OBJECT_0, 10000, SERVICE_STOP_PENDING, SERVICE_STOPPED},
      {"sc stop", scStop, 40000, WAIT_OBJECT_0, 30000, SERVICE_RUNNING, SERVICE_STOPPED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", handler " + std::to_string(c.handlerMs) + " ms");
    m.scm.AddService(L"Running", SERVICE_RUNNING, 5000);
    m.scm.AddService(L"Stopped", SERVICE_STOPPED, 0, 5000);
    g_behaviour.stopHandlerMs = c.handlerMs;
    auto main = StartService();
    ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
    const std::uint64_t sentAt = m.Now();
    std::shared_ptr<const sim::ScmRequest> stop = m.SendControl(kService, SERVICE_CONTROL_STOP);
    EXPECT_EQ(sentAt, m.Now());
    EXPECT_EQ(c.error, c.request());
    EXPECT_EQ(sentAt + c.waitedMs, m.Now());
    EXPECT_EQ(c.runningState, State(L"Running"));
    EXPECT_EQ(c.stoppedState, State(L"Stopped"));
    EXPECT_EQ(0u, m.Join(main));
    auto lock = m.kernel.Lock();
    EXPECT_EQ(std::optional<std::uint64_t>(sentAt), stop->deliveredAtMs);
    EXPECT_EQ(std::optional<std::uint64_t>(sentAt + c.handlerMs), stop->returnedAtMs);
  }
}

// The SCM takes requests up in the order they came, each in its turn.
TEST_F(Machine, RequestsWaitingForAHandlerAreTakenUpInOrder) {
  m.scm.AddService(L"First", SERVICE_RUNNING);
  m.scm.AddService(L"Second", SERVICE_RUNNING);
  g_behaviour.stopHandlerMs = 10000;
  auto main = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  m.SendControl(kService, SERVICE_CONTROL_STOP);
  std::shared_ptr<const sim::ScmRequest> second, first;
  second = m.SendControl(L"Second", SERVICE_CONTROL_STOP);
  first = m.SendControl(L"First", SERVICE_CONTROL_STOP);
  m.RunFor(9999);
  EXPECT_FALSE(second->done || first->done);
  m.RunFor(1);
  auto journal = m.Journal();
  auto at = [&](const std::wstring& text) {
    return std::find_if(journal.begin(), journal.end(),
                        [&](const sim::JournalEntry& e) { return e.kind == sim::JournalKind::kScm && e.text == text; });
  };
  ASSERT_NE(journal.end(), at(L"stopping First"));
  EXPECT_LT(at(L"stopping Second"), at(L"stopping First"));
  EXPECT_EQ(0u, m.Join(main));
}

// The HandlerEx page gives a service about 20 s after the shutdown control;
// then the system ends its process wherever it stands, and a service that
// does not take the control gets nothing but that end.
TEST_F(Machine, AShutdownEndsTheServiceProcessAtItsDeadline) {
  struct Case {
    DWORD accepted;
    DWORD shutdownHandlerMs;
    std::uint64_t timeoutMs;
    bool sent;
    std::uint64_t endedAfterMs;
    const wchar_t* how;
  } cases[] = {
      {SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 2000, 20000, true, 2000, L"main thread returned"},
      {SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 40000, 20000, true, 20000, L"the shutdown deadline passed"},
      {SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 40000, 5000, true, 5000, L"the shutdown deadline passed"},
      {SERVICE_ACCEPT_STOP, 0, 20000, false, 20000, L"the shutdown deadline passed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.shutdownHandlerMs) + " ms handler, " + std::to_string(c.timeoutMs) + " ms timeout");
    g_behaviour.accepted = c.accepted;
    g_behaviour.shutdownHandlerMs = c.shutdownHandlerMs;
    auto main = StartService();
    ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
    const std::uint64_t shutdownAt = m.Now();
    EXPECT_EQ(c.sent, m.Shutdown(c.timeoutMs) != nullptr);
    m.Join(main);
    EXPECT_EQ(shutdownAt + c.endedAfterMs, m.Now());
    EXPECT_TRUE(Journaled(sim::JournalKind::kProcess,
                          c.how + std::wstring(L", exit code ") + std::to_wstring(main->exitCode)));
    m.Boot();
  }
}

// While the system goes down ControlService fails as its page says; a boot
// brings the other services back to their state at boot, devices without
// the problems whose cause went with the power, and keeps what was disabled.
TEST_F(Machine, AfterAShutdownTheMachineBootsAfresh) {
  m.scm.AddService(L"Running", SERVICE_RUNNING, 5000);
  m.scm.AddService(L"Stopped", SERVICE_STOPPED);
  const int passing = m.devices.AddDevice(sim::SimDevice{L"Passing", {L"ROOT\\A"}, 43});
  const int lasting = m.devices.AddDevice(sim::SimDevice{L"Lasting", {L"ROOT\\B"}, 31, /*problemPersists=*/true});
  auto main = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle running(os::OpenServiceW(manager.Get(), L"Running", SERVICE_STOP | SERVICE_START));
  UniqueScHandle stopped(os::OpenServiceW(manager.Get(), L"Stopped", SERVICE_START));
  ASSERT_TRUE(os::StartServiceW(stopped.Get(), 0, nullptr));
  {
    auto lock = m.kernel.Lock();
    m.devices.ChangeState(passing, DICS_DISABLE);
  }
  m.Shutdown();
  SERVICE_STATUS status{};
  SetSentinelLastError();
  EXPECT_FALSE(os::ControlService(running.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHUTDOWN_IN_PROGRESS), os::GetLastError());
  m.Join(main);
  m.Boot();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(L"Stopped"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(L"Running"));
  EXPECT_TRUE(os::ControlService(running.Get(), SERVICE_CONTROL_STOP, &status));
  auto lock = m.kernel.Lock();
  EXPECT_EQ(0u, m.devices.nodes[static_cast<std::size_t>(passing)].device.problem);
  EXPECT_TRUE(m.devices.nodes[static_cast<std::size_t>(passing)].disabled);
  EXPECT_EQ(31u, m.devices.nodes[static_cast<std::size_t>(lasting)].device.problem);
}

// SERVICE_FAILURE_ACTIONS: "A service is considered failed when it
// terminates without reporting a status of SERVICE_STOPPED"; "When the
// service fails for the Nth time, the service controller performs the action
// specified in element [N-1] ... If N is greater than cActions, the service
// controller repeats the last action"; "The count is reset to 0 if the
// service has not failed for dwResetPeriod seconds"; and it counts failures
// "since the system booted".
class FailureActions : public Machine {
 protected:
  FailureActions() {
    m.SetServiceLauncher([this](const std::wstring& service) {
      EXPECT_EQ(kService, service);
      main_ = StartService();
      restarts_.push_back(m.Now());
    });
  }
  void Configure(std::vector<SC_ACTION> actions, DWORD resetPeriodS) {
    UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    UniqueScHandle service(os::CreateServiceW(manager.Get(), kService, nullptr, SERVICE_CHANGE_CONFIG | SERVICE_START,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                              L"C:\\zefo\\machine.exe", nullptr, nullptr, nullptr, nullptr,
                                              nullptr));
    SERVICE_FAILURE_ACTIONSW config{resetPeriodS, nullptr, nullptr, static_cast<DWORD>(actions.size()),
                                    actions.data()};
    ASSERT_TRUE(os::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &config));
  }
  // Kills the running service, lets an hour pass; the delay after which
  // the SCM started it again, if it did.
  std::optional<std::uint64_t> KillAndWatch() {
    EXPECT_TRUE(WaitForState(kService, SERVICE_RUNNING));
    m.KillProcess(STATUS_ACCESS_VIOLATION);
    const std::uint64_t killedAt = m.Now();
    restarts_.clear();
    m.RunFor(3600000);
    if (restarts_.empty()) return std::nullopt;
    EXPECT_EQ(1u, restarts_.size());
    return restarts_.front() - killedAt;
  }
  std::shared_ptr<sim::ThreadObject> main_;
  std::vector<std::uint64_t> restarts_;
};

TEST_F(FailureActions, TheNthFailureTakesTheNthActionAndTheLastOneRepeats) {
  using Delays = std::vector<std::optional<std::uint64_t>>;
  struct Case {
    std::vector<SC_ACTION> actions;
    Delays afterEachKill;
  } cases[] = {
      {{{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}}, {60000, 60000, std::nullopt}},
      {{{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 120000}}, {60000, 120000, 120000, 120000}},
      {{{SC_ACTION_NONE, 0}, {SC_ACTION_RESTART, 1000}}, {std::nullopt}},
      {{}, {std::nullopt}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.actions.size());
    Configure(c.actions, 86400);
    main_ = StartService();
    Delays delays;
    for (std::size_t kill = 0; kill < c.afterEachKill.size(); ++kill) {
      delays.push_back(KillAndWatch());
      if (!delays.back()) main_ = StartService();
    }
    EXPECT_EQ(c.afterEachKill, delays);
    ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
    EXPECT_EQ(NO_ERROR, m.scm.Control(SERVICE_CONTROL_STOP));
    m.Join(main_);
    // The next case's boot: counts start again.
    m.Shutdown();
    m.Boot();
    UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(os::OpenServiceW(manager.Get(), kService, DELETE));
    ASSERT_TRUE(os::DeleteService(service.Get()));
  }
}

TEST_F(FailureActions, TheCountStartsAgainAfterTheResetPeriodWithoutAFailure) {
  Configure({{SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}}, 7200);
  main_ = StartService();
  EXPECT_EQ(std::optional<std::uint64_t>(60000), KillAndWatch());
  // The second failure an hour after the first: no action.
  EXPECT_EQ(std::nullopt, KillAndWatch());
  main_ = StartService();
  m.RunFor(3600000);
  // Two hours after the last failure: the first action again.
  EXPECT_EQ(std::optional<std::uint64_t>(60000), KillAndWatch());
}

// Only a process that ended without STOPPED has failed; the system going
// down takes no action, and a restart finds the service started meanwhile.
TEST_F(FailureActions, NoRestartAfterAStopAShutdownOrAStartMeanwhile) {
  Configure({{SC_ACTION_RESTART, 60000}}, 86400);
  main_ = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  EXPECT_EQ(NO_ERROR, m.scm.Control(SERVICE_CONTROL_STOP));
  m.Join(main_);
  main_ = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  m.Shutdown(20000);
  m.KillProcess(ERROR_PROCESS_ABORTED);
  m.RunFor(3600000);
  m.Boot();
  main_ = StartService();
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  m.KillProcess(STATUS_ACCESS_VIOLATION);
  m.RunFor(30000);
  main_ = StartService();
  m.RunFor(3600000);
  EXPECT_TRUE(restarts_.empty());
  EXPECT_TRUE(Journaled(sim::JournalKind::kScm, std::wstring(L"no restart of ") + kService +
                                                    L": it was started meanwhile"));
  EXPECT_EQ(NO_ERROR, m.scm.Control(SERVICE_CONTROL_STOP));
  m.Join(main_);
}

TEST_F(Machine, PowerEventsReachOnlyAServiceThatAcceptsThem) {
  constexpr GUID kLid = {0xBA3E0F4D, 0xB817, 0x4094, {0xA2, 0xD1, 0xD5, 0x63, 0x79, 0xE6, 0xA0, 0xF3}};
  for (DWORD accepted : {DWORD{SERVICE_ACCEPT_STOP}, DWORD{SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT}}) {
    SCOPED_TRACE(accepted);
    g_behaviour.accepted = accepted;
    auto main = StartService();
    ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
    HPOWERNOTIFY registration = os::RegisterPowerSettingNotification(g_status, &kLid, DEVICE_NOTIFY_SERVICE_HANDLE);
    ASSERT_TRUE(registration);
    const bool delivered = m.power.SettingChanged(kLid, 1).has_value();
    EXPECT_EQ((accepted & SERVICE_ACCEPT_POWEREVENT) != 0, delivered);
    os::UnregisterPowerSettingNotification(registration);
    ASSERT_EQ(NO_ERROR, m.scm.Control(SERVICE_CONTROL_STOP));
    m.Join(main);
  }
}

TEST_F(Machine, TheClassInstallerTakesItsTimeAndTheNthCallFails) {
  constexpr GUID kBiometric = {0x53D29EF7, 0x377C, 0x4D14, {0x86, 0x4B, 0xEB, 0x3A, 0x85, 0x76, 0x93, 0x59}};
  m.devices.AddDevice(sim::SimDevice{L"Other", {L"ROOT\\OTHER"}});
  m.devices.AddDevice(sim::SimDevice{L"Sensor", {L"ROOT\\ZEFO"}});
  m.devices.SetInstallerTime(2500);
  UniqueDevInfoList list(os::SetupDiGetClassDevsW(&kBiometric, nullptr, nullptr, DIGCF_PRESENT));
  auto change = [&](DWORD member, DWORD stateChange) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(os::SetupDiEnumDeviceInfo(list.Get(), member, &data));
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = DICS_FLAG_GLOBAL;
    EXPECT_TRUE(os::SetupDiSetClassInstallParamsW(list.Get(), &data, &params.ClassInstallHeader, sizeof params));
    SetSentinelLastError();
    return os::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, list.Get(), &data);
  };
  // The second call fails, although it is about another member than the first.
  m.FailCall("SetupDiCallClassInstaller", 2, ERROR_GEN_FAILURE);
  const std::uint64_t start = m.Now();
  EXPECT_TRUE(change(1, DICS_DISABLE));
  EXPECT_EQ(start + 2500, m.Now());
  EXPECT_FALSE(change(0, DICS_DISABLE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), os::GetLastError());
  EXPECT_TRUE(change(1, DICS_ENABLE));
  std::vector<sim::DeviceAction> actions = m.devices.Actions();
  ASSERT_EQ(2u, actions.size());
  EXPECT_EQ(start + 2500, actions[0].timeMs);
  EXPECT_EQ(start + 5000, actions[1].timeMs);

  // A hung class installer never carries out the change.
  m.devices.SetInstallerTime(sim::kNever);
  auto hung = m.Start([&] { return static_cast<DWORD>(change(1, DICS_DISABLE)); }, L"installer caller");
  m.RunFor(3600000);
  EXPECT_FALSE(hung->finished);
  EXPECT_EQ(2u, m.devices.Actions().size());
  m.KillProcess(ERROR_PROCESS_ABORTED);

  // A device that left after the list was built has no node to change.
  m.devices.SetInstallerTime(0);
  m.devices.SetPresent(0, false);
  EXPECT_FALSE(change(0, DICS_DISABLE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST), os::GetLastError());
  EXPECT_EQ(2u, m.devices.Actions().size());
}
}  // namespace
}  // namespace conformance
