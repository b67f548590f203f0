#include <algorithm>

#include "sim_fixture.h"

namespace {

const std::wstring kUsage =
    L"Parameters:\n -install  to install the service.\n -remove   to remove the service.\n";
const std::wstring kInstalled = L"ZEFOTestService is installed.\n";
const std::wstring kRemoved = L"ZEFOTestService is removed.\n";

class EntryTest : public SimTest {
 protected:
  bool Installed() { return machine.scm.Service(L"ZEFOTestService").has_value(); }
};

TEST_F(EntryTest, RunFromAConsoleFailsWith1063AndEndsInOrder) {
  EnableLogging();
  EXPECT_EQ(0, RunWmain({}));
  EXPECT_EQ(kUsage, Console());
  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] Enter wmain...",
                L"[ZEFO Service] Start CServiceBase::Run(service)...",
                L"[ZEFO Service] Enter CServiceBase Constructor...",
                L"[ZEFO Service] Enter CServiceBase::Run..",
                L"[ZEFO Service] return StartServiceCtrlDispatcher(serviceTable)..",
                L"[ZEFO Service] Service failed to run w/err 0x00000427\n",
                L"[ZEFO Service] Enter CServiceBase Destructor...",
                L"[ZEFO Service] Eixt wmain...",
            }),
            EventMessages());
  EXPECT_EQ(EVENTLOG_ERROR_TYPE, machine.diagnostics.EventLog().at(5).type);
  EXPECT_FALSE(machine.diagnostics.ProviderRegistered());
}

struct CommandCase {
  std::vector<std::wstring> args;
  bool installedBefore;
  std::wstring console;
  bool installedAfter;
};

class CommandLine : public EntryTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLine, ChoosesTheActionByTheFirstArgument) {
  const CommandCase& c = GetParam();
  if (c.installedBefore) machine.scm.AddService(L"ZEFOTestService");
  EXPECT_EQ(0, RunWmain(c.args));
  EXPECT_EQ(c.console, Console());
  EXPECT_EQ(c.installedAfter, Installed());
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    ::testing::Values(CommandCase{{L"-install"}, false, kInstalled, true},
                      CommandCase{{L"-INSTALL"}, false, kInstalled, true},
                      CommandCase{{L"/install", L"-remove"}, false, kInstalled, true},
                      CommandCase{{L"-Remove"}, true, kRemoved, false},
                      CommandCase{{L"/REMOVE"}, true, kRemoved, false},
                      CommandCase{{L"install"}, false, kUsage, false},
                      CommandCase{{L"remove"}, true, kUsage, true},
                      CommandCase{{L"-installed"}, false, L"", false},
                      CommandCase{{L"-installx"}, false, L"", false},
                      CommandCase{{L"-remov"}, true, L"", true},
                      CommandCase{{L"-"}, false, L"", false},
                      CommandCase{{L"/"}, true, L"", true},
                      CommandCase{{L"-x"}, false, L"", false}));

TEST_F(EntryTest, NoActionLogsOnlyTheFirstAndLastMessage) {
  EnableLogging();
  RunWmain({L"-x"});
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter wmain...", L"[ZEFO Service] Eixt wmain..."}),
            EventMessages());
}

TEST_F(EntryTest, InstallRegistersAnAutoStartOwnProcessServiceWithTheQuotedPath) {
  RunWmain({L"-install"});
  auto service = machine.scm.Service(L"ZEFOTestService");
  ASSERT_TRUE(service);
  EXPECT_EQ(L"ZEFO_Test_Service", service->displayName);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), service->type);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service->startType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), service->errorControl);
  EXPECT_EQ(L"\"C:\\Program Files\\ZEFO\\ZefoFpService.exe\"", service->binaryPath);
  EXPECT_FALSE(service->hasLoadOrderGroup);
  EXPECT_TRUE(service->dependenciesGiven);
  EXPECT_TRUE(service->dependencies.empty());
  EXPECT_FALSE(service->hasAccount);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service->status.dwCurrentState);
}

// A crash brings the service back a minute later, twice a day at most.
TEST_F(EntryTest, InstallSetsFailureActionsThatRestartTwiceAndThenStop) {
  RunWmain({L"-install"});
  const sim::FailureActions actions = machine.scm.Service(L"ZEFOTestService")->failureActions;
  EXPECT_EQ(86400u, actions.resetPeriodS);
  ASSERT_EQ(3u, actions.actions.size());
  for (int i : {0, 1}) {
    EXPECT_EQ(SC_ACTION_RESTART, actions.actions[i].Type);
    EXPECT_EQ(60000u, actions.actions[i].Delay);
  }
  EXPECT_EQ(SC_ACTION_NONE, actions.actions[2].Type);
  EXPECT_FALSE(actions.rebootMessage);
  EXPECT_FALSE(actions.command);
}

TEST_F(EntryTest, FailureActionsThatCannotBeSetAreAWarningAndTheServiceStaysInstalled) {
  EnableLogging();
  machine.Fail("ChangeServiceConfig2W", ERROR_ACCESS_DENIED);
  RunWmain({L"-install"});
  EXPECT_EQ(kInstalled, Console());
  ASSERT_TRUE(Installed());
  EXPECT_TRUE(machine.scm.Service(L"ZEFOTestService")->failureActions.actions.empty());
  const auto& log = machine.diagnostics.EventLog();
  const auto warning = std::find_if(log.begin(), log.end(), [](const sim::EventLogEntry& e) {
    return e.strings.at(1) == L"[ZEFO Service] Failure actions not set, ChangeServiceConfig2W failed w/err 0x00000005";
  });
  ASSERT_NE(log.end(), warning);
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, warning->type);
}

TEST_F(EntryTest, InstallingTwiceReportsTheExistingService) {
  RunWmain({L"-install"});
  RunWmain({L"-install"});
  EXPECT_EQ(kInstalled + L"CreateService failed w/err 0x00000431\n", Console());
}

TEST_F(EntryTest, RemovingWhatIsNotInstalledReportsIt) {
  RunWmain({L"-remove"});
  EXPECT_EQ(L"OpenService failed w/err 0x00000424\n", Console());
}

struct PathCase {
  std::size_t length;
  std::wstring console;
};
class InstallPath : public EntryTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(InstallPath, NeverRegistersACutPath) {
  const std::wstring folder = L"C:\\Program Files\\";
  std::wstring path = folder + std::wstring(GetParam().length - folder.size() - 6, L'p') + L"\\x.exe";
  ASSERT_EQ(GetParam().length, path.size());
  MoveProgram(path);
  RunWmain({L"-install"});
  EXPECT_EQ(GetParam().console, Console());
  auto service = machine.scm.Service(L"ZEFOTestService");
  if (GetParam().console == kInstalled) {
    ASSERT_TRUE(service);
    EXPECT_EQ(L"\"" + path + L"\"", service->binaryPath);
  } else {
    EXPECT_FALSE(service);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, InstallPath,
                         ::testing::Values(PathCase{257, kInstalled},
                                           PathCase{258, L"GetModuleFileName failed w/err 0x0000007a\n"},
                                           PathCase{300, L"GetModuleFileName failed w/err 0x0000007a\n"}));

struct FailureCase {
  const char* op;
  std::wstring action;
  std::wstring console;
};
class SetupFailure : public EntryTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SetupFailure, PrintsTheFailingCallWithItsError) {
  machine.scm.AddService(L"Other");
  if (GetParam().action == L"-remove") machine.scm.AddService(L"ZEFOTestService");
  machine.Fail(GetParam().op, ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, RunWmain({GetParam().action}));
  EXPECT_EQ(GetParam().console, Console());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, SetupFailure,
    ::testing::Values(FailureCase{"GetModuleFileNameW", L"-install", L"GetModuleFileName failed w/err 0x00000005\n"},
                      FailureCase{"OpenSCManagerW", L"-install", L"OpenSCManager failed w/err 0x00000005\n"},
                      FailureCase{"CreateServiceW", L"-install", L"CreateService failed w/err 0x00000005\n"},
                      FailureCase{"OpenSCManagerW", L"-remove", L"OpenSCManager failed w/err 0x00000005\n"},
                      FailureCase{"OpenServiceW", L"-remove", L"OpenService failed w/err 0x00000005\n"},
                      FailureCase{"DeleteService", L"-remove", L"DeleteService failed w/err 0x00000005\n"}));

TEST_F(EntryTest, RemovingAStoppedServicePrintsNoStoppingLine) {
  machine.scm.AddService(L"ZEFOTestService", SERVICE_STOPPED);
  RunWmain({L"-remove"});
  EXPECT_EQ(kRemoved, Console());
  EXPECT_FALSE(Installed());
}

struct StopCase {
  std::uint64_t stopTakesMs;
  std::wstring dots;
};
class RemoveRunning : public EntryTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(RemoveRunning, PrintsADotForEverySecondStillPending) {
  machine.scm.AddService(L"ZEFOTestService", SERVICE_RUNNING, GetParam().stopTakesMs);
  RunWmain({L"-remove"});
  EXPECT_EQ(L"Stopping ZEFOTestService." + GetParam().dots + L"\nZEFOTestService is stopped.\n" + kRemoved, Console());
  EXPECT_FALSE(Installed());
}

INSTANTIATE_TEST_SUITE_P(StopTimes, RemoveRunning,
                         ::testing::Values(StopCase{500, L""}, StopCase{1500, L"."}, StopCase{3500, L"..."}));

TEST_F(EntryTest, AFailedQueryEndsTheWaitWithTheLastStateKnown) {
  machine.scm.AddService(L"ZEFOTestService", SERVICE_RUNNING, 10000);
  machine.Fail("QueryServiceStatus", ERROR_ACCESS_DENIED, 1);
  RunWmain({L"-remove"});
  EXPECT_EQ(L"Stopping ZEFOTestService.\nZEFOTestService failed to stop.\n" + kRemoved, Console());
}

}  // namespace

namespace {

// Before anything else, every run limits where DLLs are looked for to
// System32: the delay-loaded CFGMGR32.dll must never come from the
// executable's folder.
class DllSearch : public EntryTest, public ::testing::WithParamInterface<std::vector<std::wstring>> {};

TEST_P(DllSearch, IsLimitedToSystem32FirstOfAll) {
  EnableLogging();
  RunWmain(GetParam());
  EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), machine.process.dllDirectories);
  const std::vector<sim::JournalEntry> journal = machine.Journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(sim::JournalKind::kLoader, journal.front().kind);
  EXPECT_EQ(L"SetDefaultDllDirectories 0x00000800", journal.front().text);
}

INSTANTIATE_TEST_SUITE_P(Actions, DllSearch,
                         ::testing::Values(std::vector<std::wstring>{}, std::vector<std::wstring>{L"-install"},
                                           std::vector<std::wstring>{L"-remove"}, std::vector<std::wstring>{L"-x"}));

TEST_F(EntryTest, ADllSearchThatCannotBeLimitedIsLoggedAndTheRunGoesOn) {
  EnableLogging();
  machine.Fail("SetDefaultDllDirectories", ERROR_NOT_ENOUGH_MEMORY);
  RunWmain({L"-install"});
  EXPECT_EQ(kInstalled, Console());
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter wmain...",
                                       L"[ZEFO Service] SetDefaultDllDirectories fail, GetLastError = 0x00000008",
                                       L"[ZEFO Service] Eixt wmain..."}),
            EventMessages());
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, machine.diagnostics.EventLog().at(1).type);
}

}  // namespace
