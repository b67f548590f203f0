// The recovery memory: no single failed call loses or falsifies what the
// service disabled, and a device a person disabled, or one the recovery never
// handles, is never enabled from it.
#include <gtest/gtest.h>

#include "monitor/disabled_devices.h"
#include "monitor_fixture.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace {

using namespace monitor_testing;

const std::wstring kRestored = L"[ZEFO Service] Enable the FPR device an interrupted recovery left disabled";
const std::wstring kNotRecorded = L"[ZEFO Service] FPR device not recorded, not disabled: try again at the next check";

class RecoveryMemory : public MonitorTest {
 protected:
  void DisableByHand(int device) {
    auto lock = machine.kernel.Lock();
    machine.devices.nodes.at(static_cast<std::size_t>(device)).disabled = true;
  }
  std::size_t Disables() {
    std::size_t count = 0;
    for (const sim::DeviceAction& action : machine.devices.Actions()) count += action.stateChange == DICS_DISABLE;
    return count;
  }
};

// A record that could not be written: no disable now, the recovery at the
// next check.
struct RecordWriteFailure {
  const char* name;
  const char* operation;
  std::wstring subject;  // the call about it fails; empty: the nth call
  int nth;
};

class RecordNotWritten : public RecoveryMemory, public ::testing::WithParamInterface<RecordWriteFailure> {};

TEST_P(RecordNotWritten, MeansNoDisableUntilTheNextCheck) {
  const RecordWriteFailure& c = GetParam();
  const int sensor = AddSensor(CM_PROB_FAILED_POST_START);
  if (c.subject.empty())
    machine.FailCall(c.operation, c.nth, ERROR_ACCESS_DENIED);
  else
    machine.FailNamed(c.operation, c.subject, ERROR_ACCESS_DENIED);
  Start();
  machine.RunFor(5000);
  EXPECT_EQ(0u, Disables());
  EXPECT_EQ(1u, TimesOf(kNotRecorded).size());

  machine.RunFor(120000);
  EXPECT_EQ(1u, Disables());
  EXPECT_TRUE(machine.DeviceEnabled(sensor));
  EXPECT_TRUE(RecoveryRecord().empty());
  Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RecordNotWritten,
    ::testing::Values(RecordWriteFailure{"KeyNotCreated", "RegCreateKeyExW", kRecoveryKeyPath, 0},
                      RecordWriteFailure{"ValueNotWritten", "RegSetValueExW", kDisabledDevicesValue, 0},
                      // The first descriptor is the driver-attach event's.
                      RecordWriteFailure{"KeySecurityNotMade", "ConvertStringSecurityDescriptorToSecurityDescriptorW",
                                         L"", 2}),
    [](const auto& info) { return std::string(info.param.name); });

// Two sensors: the second left disabled by an earlier run that crashed, the
// first failing now. The recovery passes over a sensor that shows disabled. A record that cannot be read is not an empty record:
// writing the first sensor over it would lose the second for good.
TEST_F(RecoveryMemory, UnreadableRecordIsNeverWrittenOver) {
  const int failing = AddSensor(CM_PROB_FAILED_POST_START);
  const int leftDisabled = AddSensor();
  DisableByHand(leftDisabled);
  SetRecoveryRecord({sim::DeviceModel::InstanceId(leftDisabled)});
  // The read at start and the read before the first disable.
  machine.FailNamed("RegQueryValueExW", kDisabledDevicesValue, ERROR_NO_SYSTEM_RESOURCES, 2);
  Start();
  machine.RunFor(5000);
  EXPECT_EQ(0u, Disables());
  EXPECT_EQ((std::vector<std::wstring>{sim::DeviceModel::InstanceId(leftDisabled)}), RecoveryRecord());

  machine.RunFor(120000);
  EXPECT_TRUE(machine.DeviceEnabled(failing));
  EXPECT_TRUE(machine.DeviceEnabled(leftDisabled));
  EXPECT_EQ(1u, TimesOf(kRestored).size());
  EXPECT_TRUE(RecoveryRecord().empty());
  Stop();
}

// The record could not be cleared after the enable; then a person disables
// the sensor. The stale entry must not undo that, however long the clear
// keeps failing.
TEST_F(RecoveryMemory, FailedClearNeverUndoesAPersonsDisable) {
  const int sensor = AddSensor(CM_PROB_FAILED_POST_START);
  Start();
  ASSERT_TRUE(machine.RunUntil([&] { return machine.devices.actions.size() == 1; }));
  machine.FailNamed("RegSetValueExW", kDisabledDevicesValue, ERROR_ACCESS_DENIED, -1);
  machine.RunFor(2000);
  ASSERT_TRUE(machine.DeviceEnabled(sensor));
  EXPECT_FALSE(RecoveryRecord().empty());

  DisableByHand(sensor);
  machine.RunFor(3 * 120000);
  EXPECT_FALSE(machine.DeviceEnabled(sensor));
  EXPECT_TRUE(TimesOf(kRestored).empty());
  EXPECT_EQ(4u, TimesOf(L"[ZEFO Service] Forget the enabled FPR device fail, res = 5!!").size());
  Stop();
}

// Enables the class installer refused: the stop tries once more.
TEST_F(RecoveryMemory, StopEnablesWhatTheChecksCouldNot) {
  const int sensor = AddSensor(CM_PROB_FAILED_POST_START);
  for (int nth : {2, 3, 4}) machine.FailCall("SetupDiCallClassInstaller", nth, ERROR_GEN_FAILURE);
  Start();
  machine.RunFor(3000);
  ASSERT_FALSE(machine.DeviceEnabled(sensor));
  ExpectStoppedInTime(SERVICE_CONTROL_STOP);
  EXPECT_TRUE(machine.DeviceEnabled(sensor));
  EXPECT_TRUE(RecoveryRecord().empty());
}

// What an entry of the record left by an earlier run leads to at start.
struct RecordedAtStart {
  const char* name;
  const wchar_t* description;
  bool disabled;
  bool present;
  bool enabled;              // an enable step at start
  bool keptOnRecord;
  const wchar_t* warning;   // logged, or null
};

class RecordAtStart : public RecoveryMemory, public ::testing::WithParamInterface<RecordedAtStart> {};

TEST_P(RecordAtStart, EnablesOnlyASensorThatStillShowsDisabled) {
  const RecordedAtStart& c = GetParam();
  sim::SimDevice device;
  device.description = c.description;
  device.hardwareIds = {L"USB\\VID_1234&PID_0A20&REV_0001"};
  device.present = c.present;
  const int index = machine.devices.AddDevice(device);
  if (c.disabled) DisableByHand(index);
  const std::wstring id = sim::DeviceModel::InstanceId(index);
  SetRecoveryRecord({id});
  Start();

  EXPECT_EQ(c.enabled ? 1u : 0u, machine.devices.Actions().size());
  EXPECT_EQ(c.keptOnRecord, !RecoveryRecord().empty());
  EXPECT_EQ(!c.disabled || c.enabled, machine.DeviceEnabled(index));
  EXPECT_EQ(c.warning ? 1u : 0u, c.warning ? TimesOf(L"[ZEFO Service] " + id + c.warning).size() : 0u);
  Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordAtStart,
    ::testing::Values(
        RecordedAtStart{"DisabledSensor", L"ZEFO Fingerprint Sensor", true, true, true, false, nullptr},
        RecordedAtStart{"SensorEnabledSince", L"ZEFO Fingerprint Sensor", false, true, false, false, nullptr},
        RecordedAtStart{"AbsentSensor", L"ZEFO Fingerprint Sensor", true, false, false, true, nullptr},
        // Another maker's reader an administrator disabled: never the recovery's.
        RecordedAtStart{"ForeignReader", L"Other Fingerprint Reader", true, true, false, false,
                        L" is not a ZEFO FPR device, dropped from the recovery record"}),
    [](const auto& info) { return std::string(info.param.name); });

// A record key that anyone but SYSTEM and Administrators may write (or own)
// holds entries anyone may have written: none of them is enabled, and the key
// is made the service's own again with an empty record.
struct KeySecurityCase {
  const char* name;
  std::wstring sddl;
  std::wstring distrust;  // how the log names it; empty: trusted
};

void PrintTo(const KeySecurityCase& c, std::ostream* os) { *os << c.name; }

class RecordKeySecurity : public RecoveryMemory, public ::testing::WithParamInterface<KeySecurityCase> {};

TEST_P(RecordKeySecurity, DecidesWhetherTheRecordIsTrusted) {
  const KeySecurityCase& c = GetParam();
  const int sensor = AddSensor();
  DisableByHand(sensor);
  SetRecoveryRecord({sim::DeviceModel::InstanceId(sensor)});
  machine.registry.SetKeySecurity(kRecoveryKeyPath, c.sddl);
  Start();
  const bool trusted = c.distrust.empty();
  EXPECT_EQ(trusted, machine.DeviceEnabled(sensor));
  EXPECT_TRUE(RecoveryRecord().empty());
  EXPECT_EQ(trusted ? c.sddl : std::wstring(kRecoveryKeySecurity), machine.registry.KeySecurity(kRecoveryKeyPath));
  const std::wstring message = L"[ZEFO Service] Recovery record key " + c.distrust +
                               L": its entries are not trusted, the key is made the service's own and the record "
                               L"emptied";
  EXPECT_EQ(trusted ? 0u : 1u, TimesOf(message).size());
  Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RecordKeySecurity,
    ::testing::Values(
        KeySecurityCase{"TheServicesOwn", kRecoveryKeySecurity, L""},
        KeySecurityCase{"UsersMayRead", L"O:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)", L""},
        KeySecurityCase{"UsersMayWriteSubkeysOnly", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CIIO;KW;;;BU)", L""},
        KeySecurityCase{"UsersMaySetValues", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KW;;;BU)",
                        L"may be changed by Users (S-1-5-32-545)"},
        KeySecurityCase{"EveryoneMayMakeSubkeys", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;0x4;;;WD)",
                        L"may be changed by Everyone (S-1-1-0)"},
        KeySecurityCase{"DeniedAfterAllowed", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;KA;;;BU)(D;;KA;;;BU)",
                        L"may be changed by Users (S-1-5-32-545)"},
        KeySecurityCase{"OwnedByAUser", L"O:S-1-5-21-1000-1000-1000-1001D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
                        L"is owned by S-1-5-21-1000-1000-1000-1001"},
        KeySecurityCase{"NullDacl", L"O:BAD:NO_ACCESS_CONTROL",
                        L"may be changed by anyone (it has no access control list)"}),
    [](const auto& info) { return std::string(info.param.name); });

// A reset that fails leaves the record unread: nothing is enabled from it,
// and the next check tries again.
TEST_F(RecoveryMemory, UntrustedRecordKeyIsResetAtTheNextCheckWhenItCannotBeNow) {
  const int sensor = AddSensor();
  DisableByHand(sensor);
  SetRecoveryRecord({sim::DeviceModel::InstanceId(sensor)});
  machine.registry.SetKeySecurity(kRecoveryKeyPath, L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;AU)");
  machine.Fail("RegSetKeySecurity", ERROR_ACCESS_DENIED);
  Start();
  EXPECT_EQ(1u, TimesOf(L"[ZEFO Service] Read the recovery record fail, res = 5, try again at the next check").size());
  EXPECT_EQ((std::vector<std::wstring>{sim::DeviceModel::InstanceId(sensor)}), RecoveryRecord());
  machine.RunFor(120000);
  EXPECT_FALSE(machine.DeviceEnabled(sensor));
  EXPECT_TRUE(RecoveryRecord().empty());
  EXPECT_EQ(std::wstring(kRecoveryKeySecurity), machine.registry.KeySecurity(kRecoveryKeyPath));
  EXPECT_EQ(2u, TimesOf(L"[ZEFO Service] Recovery record key may be changed by Authenticated Users (S-1-5-11): its "
                        L"entries are not trusted, the key is made the service's own and the record emptied")
                    .size());
  Stop();
}

// A link points at a key the service does not own: nothing is trusted or
// recorded through it, and its target's security is left alone.
TEST_F(RecoveryMemory, RecordKeyThatIsALinkIsNotUsed) {
  const int failing = AddSensor(CM_PROB_FAILED_POST_START);
  const int recorded = AddSensor();
  DisableByHand(recorded);
  SetRecoveryRecord({sim::DeviceModel::InstanceId(recorded)});
  machine.registry.SetValue(kRecoveryKeyPath, L"SymbolicLinkValue", REG_LINK,
                            sim::RegistryModel::StringBytes(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Elsewhere"));
  const std::wstring security = machine.registry.KeySecurity(kRecoveryKeyPath);
  Start();
  machine.RunFor(5000);
  EXPECT_FALSE(machine.DeviceEnabled(recorded));
  EXPECT_TRUE(machine.DeviceEnabled(failing));
  EXPECT_EQ(0u, Disables());
  EXPECT_EQ(1u, TimesOf(kNotRecorded).size());
  EXPECT_FALSE(TimesOf(L"[ZEFO Service] Recovery record key is a registry link: its entries are not trusted, "
                       L"nothing is recorded through it")
                   .empty());
  EXPECT_EQ(security, machine.registry.KeySecurity(kRecoveryKeyPath));
  Stop();
}

// A recorded sensor that is absent at start is enabled once it returns.
TEST_F(RecoveryMemory, AbsentSensorIsEnabledWhenItReturns) {
  const int sensor = AddSensor();
  DisableByHand(sensor);
  machine.devices.SetPresent(sensor, false);
  SetRecoveryRecord({sim::DeviceModel::InstanceId(sensor)});
  Start();
  machine.devices.SetPresent(sensor, true);
  machine.RunFor(120000);
  EXPECT_TRUE(machine.DeviceEnabled(sensor));
  EXPECT_TRUE(RecoveryRecord().empty());
  Stop();
}

}  // namespace

namespace {

using namespace monitor_testing;

// The key under ZefoFP, whose security an OEM image may loosen (to let
// support staff set LOG_SWITCH), is made with its own: a user who may write
// ZefoFP still cannot write the record.
TEST_F(MonitorTest, RecordKeyIsMadeForSystemAndAdministratorsOnly) {
  // ZefoFP writable by every user, as such an image leaves it.
  {
    UniqueRegKey zefo;
    ASSERT_EQ(ERROR_SUCCESS, os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\ZefoFP", 0,
                                                 nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, zefo.Put(),
                                                 nullptr));
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(os::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;CI;KA;;;WD)", SDDL_REVISION_1, &open,
                                                                         nullptr));
    UniqueLocalMemory openMemory(open);
    ASSERT_EQ(ERROR_SUCCESS, os::RegSetKeySecurity(zefo.Get(), DACL_SECURITY_INFORMATION, open));
  }
  AddSensor(CM_PROB_FAILED_POST_START);
  Start();
  ASSERT_TRUE(machine.RunUntil([&] { return machine.devices.actions.size() == 1; }));

  UniqueRegKey record;
  ASSERT_EQ(ERROR_SUCCESS, os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, READ_CONTROL, record.Put()));
  BYTE descriptor[512];
  DWORD size = sizeof descriptor;
  ASSERT_EQ(ERROR_SUCCESS, os::RegGetKeySecurity(record.Get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                 descriptor, &size));
  LPWSTR text = nullptr;
  ASSERT_TRUE(os::ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
  UniqueLocalMemory textMemory(text);
  EXPECT_EQ(std::wstring(kRecoveryKeySecurity), text);

  machine.SetThreadElevated(false);
  UniqueRegKey asUser;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, KEY_SET_VALUE, asUser.Put()));
  machine.SetThreadElevated(true);
  Stop();
}

}  // namespace
