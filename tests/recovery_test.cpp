#include <algorithm>

#include "monitor/device_check.h"
#include "monitor/device_recovery.h"
#include "monitor/disabled_devices.h"
#include "monitor/polling_worker.h"
#include "tests/device_fixture.h"

namespace {

const Logged kEntry = Service(4, L"[ZEFO Service] Enter DisableAndEnableZEFOFPDevice");
const Logged kStart = Service(4, L"[ZEFO Service] Enter Start Disable and Enable ZEFO FPR device");
const Logged kDisable = Service(4, L"[ZEFO Service] Disable the FPR device... ");
const Logged kEnable = Service(4, L"[ZEFO Service] Enalbe the FPR device... ");
Logged Exit(int code) {
  return Service(4, L"[ZEFO Service] Exit RecoverZEFOFPDevice, errorcode = " + std::to_wstring(code));
}

struct Action {
  int device;
  DWORD stateChange;
  std::uint64_t timeMs;
  bool operator==(const Action& o) const {
    return device == o.device && stateChange == o.stateChange && timeMs == o.timeMs;
  }
};
std::ostream& operator<<(std::ostream& os, const Action& a) {
  return os << "{device " << a.device << ", change " << a.stateChange << ", at " << a.timeMs << "}";
}

class Recovery : public DeviceFixture {
 protected:
  std::vector<Action> Actions() const {
    std::vector<Action> actions;
    for (const sim::DeviceAction& a : machine.devices.Actions()) actions.push_back({a.device, a.stateChange, a.timeMs});
    return actions;
  }
};

TEST_F(Recovery, DisablesThenEnablesOneSecondLater) {
  AddDevice(L"ZEFO Fingerprint", CM_PROB_FAILED_POST_START);
  EXPECT_EQ(1, RecoverZEFOFPDevice());
  EXPECT_EQ((std::vector<Logged>{kEntry, kStart, kDisable, kEnable, Exit(0)}), EventLog());
  EXPECT_EQ((std::vector<Action>{{0, DICS_DISABLE, 0}, {0, DICS_ENABLE, 1000}}), Actions());
  EXPECT_EQ(0, machine.devices.OpenDeviceLists());
  ULONG problem = 0;
  EXPECT_EQ(kYellowBangNone, CheckYellowBang(&problem));
}

// A sensor whose cause of failure stays shows its problem again right after
// the enable; once the cause is gone the next recovery clears it.
TEST_F(Recovery, ASensorWhoseCauseStaysFailsAgainAfterTheEnable) {
  const int sensor = AddDevice(L"ZEFO Fingerprint");
  machine.devices.SetProblem(sensor, CM_PROB_FAILED_POST_START, /*persists=*/true);
  EXPECT_EQ(1, RecoverZEFOFPDevice());
  ULONG problem = 0;
  EXPECT_EQ(kYellowBangFound, CheckYellowBang(&problem));
  EXPECT_EQ(static_cast<ULONG>(CM_PROB_FAILED_POST_START), problem);

  machine.devices.SetProblem(sensor, CM_PROB_FAILED_POST_START);
  EXPECT_EQ(1, RecoverZEFOFPDevice());
  EXPECT_EQ(kYellowBangNone, CheckYellowBang(&problem));
  EXPECT_EQ((std::vector<Action>{{0, DICS_DISABLE, 0}, {0, DICS_ENABLE, 1000}, {0, DICS_DISABLE, 1000},
                                 {0, DICS_ENABLE, 2000}}),
            Actions());
}

TEST_F(Recovery, HandlesEveryMatchingDeviceInIndexOrder) {
  AddDevice(L"ZEFO A");
  AddDevice(L"Zefo lookalike");
  AddDevice(L"ZEFO B");
  EXPECT_EQ(1, RecoverZEFOFPDevice());
  EXPECT_EQ((std::vector<Logged>{kEntry, kStart, kDisable, kEnable, kStart, kDisable, kEnable, Exit(0)}), EventLog());
  EXPECT_EQ((std::vector<Action>{
                {0, DICS_DISABLE, 0}, {0, DICS_ENABLE, 1000}, {2, DICS_DISABLE, 1000}, {2, DICS_ENABLE, 2000}}),
            Actions());
}

TEST_F(Recovery, NoMatchAmongFirstTwentyOnlyEntersAndExits) {
  AddOtherDevices(20);
  AddDevice(L"ZEFO");  // 21st member
  EXPECT_EQ(1, RecoverZEFOFPDevice());
  EXPECT_EQ((std::vector<Logged>{kEntry, Exit(0)}), EventLog());
  EXPECT_TRUE(Actions().empty());
}

TEST_F(Recovery, ListNotBuilt) {
  AddDevice(L"ZEFO");
  machine.Fail("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(0, RecoverZEFOFPDevice());
  EXPECT_EQ((std::vector<Logged>{
                kEntry, Service(1, L"[ZEFO Service] SetupDiGetClassDevs fail (m_hDevInfo == INVALID_HANDLE_VALUE)")}),
            EventLog());
  EXPECT_TRUE(Actions().empty());
}

TEST_F(Recovery, UnreadableDescriptionEndsTheRunUnderTheDebugSource) {
  AddDevice(L"ZEFO A");
  AddDevice(L"ZEFO B");
  AddDevice(L"ZEFO C");
  machine.Fail("SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA, 1, 1);
  EXPECT_EQ(0, RecoverZEFOFPDevice());
  // The blank flag renders as in C: a blank before the non-negative number.
  EXPECT_EQ((std::vector<Logged>{kEntry, kStart, kDisable, kEnable,
                                 {4, L"ZEFO / Debug", L"[ZEFO Service] RecoverZEFOFPDevice fail, GetLastError =  13"}}),
            EventLog());
  EXPECT_EQ((std::vector<Action>{{0, DICS_DISABLE, 0}, {0, DICS_ENABLE, 1000}}), Actions());
  EXPECT_EQ(0, machine.devices.OpenDeviceLists());
}

struct StepFault {
  const char* op;
  DWORD error;
  int times;    // -1: every call
  int nth = 0;  // else only the nth call of op
};

struct StepFailureCase {
  const char* name;
  std::vector<StepFault> faults;
  std::vector<Logged> errors;  // between the step announcements
  int enableAttempts;
  std::vector<Action> actions;
  int closingCode;
  bool leftDisabledOnRecord;
};

Logged AttachFailed(const wchar_t* step, const wchar_t* code) {
  return Service(1, std::wstring(L"[ZEFO Service] SetupDiSetClassInstallParams fail(") + step +
                        L" Device), errorcode = " + code);
}
Logged InstallerFailed(const wchar_t* step, const wchar_t* code) {
  return Service(1, std::wstring(L"[ZEFO Service] SetupDiCallClassInstaller fail (") + step + L" Device), errorcode = " +
                        code);
}

// A request that could not be attached is never carried out: the installer
// would act on the request still attached (the disable's, at the enable
// step). A failed enable is tried twice more, a second apart; a sensor still
// disabled after that stays on record for the next check; a disable that did
// not take leaves nothing on record, which could later undo a person's disable.
const StepFailureCase kStepFailures[] = {
    {"DisableAttachFails",
     {{"SetupDiSetClassInstallParamsW", ERROR_INVALID_PARAMETER, 1}},
     {AttachFailed(L"Disable", L"0x00000057")},
     1,
     {{0, DICS_ENABLE, 1000}},
     static_cast<int>(ERROR_INVALID_PARAMETER),
     false},
    {"DisableInstallerFails",
     {{"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 1}},
     {InstallerFailed(L"Disable", L"0x00000005")},
     1,
     {{0, DICS_ENABLE, 1000}},
     5,
     false},
    {"EnableInstallerFailsOnce",
     {{"SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 1, 2}},
     {InstallerFailed(L"Enable", L"0x0000001F")},
     2,
     {{0, DICS_DISABLE, 0}, {0, DICS_ENABLE, 2000}},
     static_cast<int>(ERROR_GEN_FAILURE),
     false},
    {"EnableAttachFailsOnce",
     {{"SetupDiSetClassInstallParamsW", ERROR_GEN_FAILURE, 1, 2}},
     {AttachFailed(L"Enable", L"0x0000001F")},
     2,
     {{0, DICS_DISABLE, 0}, {0, DICS_ENABLE, 2000}},
     static_cast<int>(ERROR_GEN_FAILURE),
     false},
    {"EnableAlwaysFails",
     {{"SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 1, 2},
      {"SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 1, 3},
      {"SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 1, 4}},
     {InstallerFailed(L"Enable", L"0x0000001F"), InstallerFailed(L"Enable", L"0x0000001F"),
      InstallerFailed(L"Enable", L"0x0000001F")},
     3,
     {{0, DICS_DISABLE, 0}},
     static_cast<int>(ERROR_GEN_FAILURE),
     true},
    {"InstallerAlwaysFails",
     {{"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, -1}},
     {InstallerFailed(L"Disable", L"0x00000005"), InstallerFailed(L"Enable", L"0x00000005"),
      InstallerFailed(L"Enable", L"0x00000005"), InstallerFailed(L"Enable", L"0x00000005")},
     3,
     {},
     5,
     false},
    {"AttachAlwaysFails",
     {{"SetupDiSetClassInstallParamsW", ERROR_GEN_FAILURE, -1}},
     {AttachFailed(L"Disable", L"0x0000001F"), AttachFailed(L"Enable", L"0x0000001F"),
      AttachFailed(L"Enable", L"0x0000001F"), AttachFailed(L"Enable", L"0x0000001F")},
     3,
     {},
     static_cast<int>(ERROR_GEN_FAILURE),
     false},
};

class RecoveryStepFailure : public Recovery, public ::testing::WithParamInterface<StepFailureCase> {};

TEST_P(RecoveryStepFailure, LogsTheCodeAndStillEnablesAfterThePause) {
  const StepFailureCase& c = GetParam();
  AddDevice(L"ZEFO");
  for (const StepFault& fault : c.faults) {
    if (fault.nth != 0)
      machine.FailCall(fault.op, fault.nth, fault.error);
    else
      machine.Fail(fault.op, fault.error, fault.times);
  }
  EXPECT_EQ(1, RecoverZEFOFPDevice());

  std::vector<Logged> log = EventLog();
  std::vector<Logged> errors;
  for (const Logged& l : log)
    if (l.type == EVENTLOG_ERROR_TYPE) errors.push_back(l);
  EXPECT_EQ(c.errors, errors);
  EXPECT_EQ(Exit(c.closingCode), log.back());
  // The enable announcement always comes, one second after the disable step.
  EXPECT_EQ(c.enableAttempts, std::count(log.begin(), log.end(), kEnable));
  EXPECT_EQ(c.actions, Actions());
  EXPECT_EQ(c.leftDisabledOnRecord, !RecoveryRecord().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoveryStepFailure, ::testing::ValuesIn(kStepFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Recovery, ClosingCodeIsTheLastFailureOverAllDevices) {
  AddDevice(L"ZEFO A");
  AddDevice(L"ZEFO B");
  machine.Fail("SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 1, 0);  // first device's disable
  machine.Fail("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 1, 1);  // second device's disable
  EXPECT_EQ(1, RecoverZEFOFPDevice());
  EXPECT_EQ(Exit(5), EventLog().back());
}

// A stop that comes while a sensor is disabled lets its enable come first,
// and no further sensor is disabled once the stop has begun.
TEST_F(Recovery, StopLetsTheRunningRecoveryFinishAndStartsNoOther) {
  AddDevice(L"ZEFO A");
  AddDevice(L"ZEFO B");
  auto worker = machine.Start([] { return static_cast<DWORD>(RecoverZEFOFPDevice()); }, L"worker");
  ASSERT_TRUE(machine.RunUntil([&] { return machine.devices.actions.size() == 1; }));
  g_bStopRequested = true;
  EXPECT_EQ(1u, machine.Join(worker));

  EXPECT_EQ((std::vector<Action>{{0, DICS_DISABLE, 0}, {0, DICS_ENABLE, 1000}}), Actions());
  const std::vector<Logged> log = EventLog();
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(),
                                 Service(4, L"[ZEFO Service] Stop requested, FPR device not disabled")));
  EXPECT_TRUE(RecoveryRecord().empty());
}

}  // namespace
