// Restarts of the biometric service are seen through: it is started only
// once it has stopped, a start that could not be launched or did not take is
// tried again, and the service never leaves it stopped by its own "sc stop".
#include <gtest/gtest.h>

#include "monitor/disabled_devices.h"
#include "monitor_fixture.h"

namespace {

using namespace monitor_testing;

const std::wstring kStartCommand = L"sc start WbioSrvc";
const std::wstring kStartOwed = L"[ZEFO Service] WbioSrvc did not start, try again at the next check";

TEST_F(BiometricRestart, StartReportsRunningFirstThenTheWorkerRestarts) {
  StartWithChangedSetting(0);
  machine.RunFor(500);
  std::vector<sim::CommandRun> commands = machine.process.Commands();
  ASSERT_EQ(2u, commands.size());
  const sim::StatusReport running = machine.scm.StatusReports().at(1);
  ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), running.status.dwCurrentState);
  EXPECT_LT(running.timeMs, commands[1].timeMs);
  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] Reset WbSrv once the service is running").size());
  Stop();
}

TEST_F(BiometricRestart, HungScAtStartNeitherHoldsTheStartNorTheWorker) {
  StartWithChangedSetting(sim::kNever, CM_PROB_FAILED_START);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), LastReportedState());
  machine.RunFor(40500);
  EXPECT_EQ(kBothCommands, CommandLines());
  for (const wchar_t* command : {L"sc stop WbioSrvc", L"sc start WbioSrvc"}) {
    const std::wstring notWaited =
        L"[ZEFO Service] \"" + std::wstring(command) + L"\" did not end within 20 s, not waited for any more";
    EXPECT_EQ(1u, TimesOf(notWaited).size()) << notWaited.size();
  }
  // Then the worker goes on to its loop: the check at start, 40.5 s late.
  EXPECT_EQ((std::vector<std::uint64_t>{40500}), TimesOf(kOtherProblem));
  Stop();
}


// A biometric service that reports STOP_PENDING for 2 s: "sc start" waits for
// STOPPED, since a start before it fails (ERROR_SERVICE_ALREADY_RUNNING).
TEST_F(BiometricRestart, StartWaitsUntilTheServiceHasStopped) {
  StartWithChangedSetting(0, 0, 2000);
  machine.RunFor(5000);
  const std::vector<std::uint64_t> stops = TimesOfCommand(L"sc stop WbioSrvc");
  const std::vector<std::uint64_t> starts = TimesOfCommand(kStartCommand);
  ASSERT_EQ(1u, stops.size());
  ASSERT_EQ(1u, starts.size());
  EXPECT_GE(starts[0] - stops[0], 2000u);
  EXPECT_LE(starts[0] - stops[0], 2250u);  // looked at every 250 ms
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), BiometricServiceState());
  Stop();
}

// "sc start" that cannot be launched: tried twice more, a second apart; after
// three failures an error, and the next check tries again.
struct LaunchFailure {
  const char* name;
  int failures;
  std::vector<std::uint64_t> startTimes;  // of the "sc start" runs, after the first try
  bool owedAfterTheFirstCheck;
};

class StartNotLaunched : public BiometricRestart, public ::testing::WithParamInterface<LaunchFailure> {};

TEST_P(StartNotLaunched, IsTriedAgainUntilTheServiceRuns) {
  const LaunchFailure& c = GetParam();
  machine.FailNamed("CreateProcessW", kStartCommand, ERROR_NOT_ENOUGH_MEMORY, c.failures);
  StartWithChangedSetting(0);
  machine.RunFor(5000);
  // The first try comes half a second after "sc stop".
  const std::uint64_t firstTry = TimesOfCommand(L"sc stop WbioSrvc").at(0) + 500;
  EXPECT_EQ(firstTry, TimesOf(L"[ZEFO Service] \"sc start WbioSrvc\" not run, CreateProcess fail (0x00000008)").at(0));
  EXPECT_EQ(c.owedAfterTheFirstCheck, !TimesOf(kStartOwed).empty());
  machine.RunFor(120000);
  std::vector<std::uint64_t> after;
  for (std::uint64_t t : TimesOfCommand(kStartCommand)) after.push_back(t - firstTry);
  EXPECT_EQ(c.startTimes, after);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), BiometricServiceState());
  Stop();
}

INSTANTIATE_TEST_SUITE_P(Cases, StartNotLaunched,
                         ::testing::Values(LaunchFailure{"Once", 1, {1000}, false},
                                           LaunchFailure{"Twice", 2, {2000}, false},
                                           LaunchFailure{"ThreeTimes", 3, {2000 + 120000}, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A stop while a start is owed runs it before STOPPED.
TEST_F(BiometricRestart, StopRunsAnOwedStart) {
  machine.FailNamed("CreateProcessW", kStartCommand, ERROR_NOT_ENOUGH_MEMORY, 3);
  StartWithChangedSetting(0);
  machine.RunFor(3000);  // three tries, a second apart
  ASSERT_EQ(1u, TimesOf(kStartOwed).size());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), BiometricServiceState());
  ExpectStoppedInTime(SERVICE_CONTROL_STOP);
  EXPECT_EQ(1u, TimesOfCommand(kStartCommand).size());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), BiometricServiceState());
}

// Without a worker, the restart the start put off runs once the service runs.
TEST_F(BiometricRestart, DeferredRestartRunsWithoutAWorker) {
  machine.Fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
  StartWithChangedSetting(0);
  machine.RunFor(1000);
  EXPECT_TRUE(Contains(Texts(LoggedMessages(machine)), L"[ZEFO Service] Create PollingFPStatusThread Fail!!!"));
  EXPECT_EQ(kBothCommands, CommandLines());
  const std::vector<sim::StatusReport> reports = machine.scm.StatusReports();
  EXPECT_LT(reports.at(1).timeMs, machine.process.Commands().at(1).timeMs + 1);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), BiometricServiceState());
  Stop();
}

// A run that ended between "sc stop" and a start that took (a crash) left
// the start on record: the next run starts the biometric service, and clears
// the record.
TEST_F(BiometricRestart, StartOwedByAnEarlierRunIsRunAtStart) {
  machine.registry.SetDword(kRecoveryKeyPath, kBiometricStartOwedValue, 1);
  machine.scm.AddService(L"WbioSrvc", SERVICE_STOPPED);
  Start();
  machine.RunFor(1000);
  EXPECT_EQ((std::vector<std::wstring>{kStartCommand}), CommandLines());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), BiometricServiceState());
  EXPECT_EQ(sim::RegistryModel::DwordBytes(0), machine.registry.Value(kRecoveryKeyPath, kBiometricStartOwedValue)->data);
  Stop();
}

// No "sc stop" unless the owed start is on record: the restart comes at the
// next check instead.
TEST_F(BiometricRestart, RestartWaitsUntilItCanBeRecorded) {
  machine.FailNamed("RegSetValueExW", kBiometricStartOwedValue, ERROR_ACCESS_DENIED);
  StartWithChangedSetting(0);
  machine.RunFor(1000);
  EXPECT_TRUE(CommandLines().empty());
  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] WbioSrvc restart not recorded, not stopped: try again at the next check").size());
  machine.RunFor(120000);
  EXPECT_EQ(kBothCommands, CommandLines());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), BiometricServiceState());
  Stop();
}

}  // namespace
