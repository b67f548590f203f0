#include <algorithm>
#include <optional>

#include "ess/ess_discovery.h"
#include "ess/secure_fingerprint.h"
#include "tests/device_fixture.h"

namespace {

const Logged kNotFound = Service(4, L"[ZEFO Service][CheckEssUEFIValue] WBF Driver not found!!");
Logged Finish(int result) {
  return Service(4, L"[ZEFO CheckEssUEFIValue Finish, result = " + std::to_wstring(result) + L"!!!");
}
Logged Enumerated(int index) {
  return Service(4, L"[ZEFO Service][CheckEssUEFIValue] SDEDI_Result = 1, index = " + std::to_wstring(index) + L"!!");
}
Logged Found(const std::wstring& pid) {
  return Service(4, L"[ZEFO Service][CheckEssUEFIValue] Find ZEFO MOC FPR device (FRP PID = " + pid + L")!!!");
}

class Ess : public DeviceFixture {
 protected:

  // A sensor with its WinBio\Configurations key, holding SecureFingerprint when given.
  int AddSensor(const std::wstring& hardwareId, std::optional<sim::RegValue> stored = std::nullopt) {
    const int device = AddDevice(L"Fingerprint sensor", 0, {hardwareId, L"USB\\VID_06CB"});
    machine.registry.CreateKey(Configurations(device));
    if (stored) machine.registry.SetValue(Configurations(device), L"SecureFingerprint", stored->type, stored->data);
    return device;
  }
  std::wstring Configurations(int device) const {
    return machine.devices.HardwareKeyPath(device) + L"\\WinBio\\Configurations";
  }
  std::optional<sim::RegValue> Stored(int device) const {
    return machine.registry.Value(Configurations(device), L"SecureFingerprint");
  }
  // Writes of SecureFingerprint (a restart also writes the recovery record).
  int RegistryWrites() {
    int writes = 0;
    for (const sim::JournalEntry& e : machine.Journal())
      writes += e.kind == sim::JournalKind::kRegistry && e.text.find(L"\\SecureFingerprint") != std::wstring::npos;
    return writes;
  }
  bool WasLogged(const std::wstring& text) const {
    for (const std::wstring& m : Messages())
      if (m == text) return true;
    return false;
  }
};

sim::RegValue Dword(DWORD value) { return {REG_DWORD, sim::RegistryModel::DwordBytes(value)}; }

// ---- Discovery ----

TEST_F(Ess, NoBiometricDevice) {
  CheckEssUEFIValue();
  EXPECT_EQ((std::vector<Logged>{kNotFound, Finish(0)}), EventLog());
  EXPECT_EQ(0, g_bEssDeviceFound);
}

TEST_F(Ess, SensorAs21stMemberIsNotExamined) {
  for (int i = 0; i < 20; ++i) AddDevice(L"Other", 0, {L"USB\\VID_1234&PID_9999"});
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A10");
  CheckEssUEFIValue();
  std::vector<Logged> log = EventLog();
  ASSERT_EQ(22u, log.size());
  EXPECT_EQ(Enumerated(19), log[19]);
  EXPECT_EQ(kNotFound, log[20]);
  EXPECT_EQ(Finish(0), log[21]);
  EXPECT_EQ(0, g_bEssDeviceFound);
  EXPECT_FALSE(Stored(sensor));
}

TEST_F(Ess, EverySensorIsHandedOnInIndexOrder) {
  AddDevice(L"Other", 0, {L"USB\\VID_1234&PID_9999"});
  const int first = AddSensor(L"USB\\VID_06CB&PID_0A10&REV_0001");
  AddDevice(L"Other", 0, {L"USB\\VID_06CB&PID_0a20"});  // lower-case code
  AddDevice(L"Other", 0, {L"USB\\VID_06CB&PID_0A1"});   // too short to hold a code
  const int second = AddSensor(L"USB\\VID_06CB&PID_0A30");
  CheckEssUEFIValue();

  std::vector<std::wstring> found;
  for (const std::wstring& m : Messages())
    if (m.find(L"Find ZEFO") != std::wstring::npos) found.push_back(m);
  EXPECT_EQ((std::vector<std::wstring>{Found(L"0A10").text, Found(L"0A30").text}), found);
  EXPECT_EQ(Finish(0), EventLog().back());
  EXPECT_FALSE(WasLogged(kNotFound.text));
  EXPECT_EQ(1, g_bEssDeviceFound);
  // Both got their setting, the first one first.
  EXPECT_EQ(Dword(0).data, Stored(first)->data);
  EXPECT_EQ(Dword(0).data, Stored(second)->data);
  std::vector<std::wstring> writes;
  for (const sim::JournalEntry& e : machine.Journal())
    if (e.kind == sim::JournalKind::kRegistry) writes.push_back(e.text);
  ASSERT_EQ(2u, writes.size());
  EXPECT_NE(std::wstring::npos, writes[0].find(L"\\0001\\"));
  EXPECT_NE(std::wstring::npos, writes[1].find(L"\\0004\\"));
  EXPECT_EQ(0, machine.devices.OpenDeviceLists());
}

TEST_F(Ess, ProductCodeMatchTable) {
  struct Row {
    std::wstring hardwareId;
    bool match;
  } rows[] = {
      {L"USB\\VID_06CB&PID_0A10", true},         // exactly 21 characters
      {L"USB\\VID_06CB&PID_0A20&MI_00", true},
      {L"USB\\VID_06CB&PID_0A30", true},
      {L"USB\\VID_06CB&PID_0a30", false},
      {L"USB\\VID_06CB&PID_0A40", false},
      {L"USB\\VID_06CB&PID_0A3", false},          // 20 characters
      {L"", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.hardwareId.begin(), row.hardwareId.end()));
    const int device = AddSensor(row.hardwareId);
    g_bEssDeviceFound = 0;
    CheckEssUEFIValue();
    EXPECT_EQ(row.match ? 1 : 0, g_bEssDeviceFound.load());
    EXPECT_EQ(row.match, Stored(device).has_value());
    machine.devices.SetPresent(device, false);  // out of the next row's list
  }
}

TEST_F(Ess, HardwareIdReadFailureAfterAMatch) {
  AddDevice(L"Other", 0, {L"USB\\VID_1234&PID_9999"});
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A10");
  AddDevice(L"Other", 0, {L"USB\\VID_1234&PID_9999"});
  AddDevice(L"Other", 0, {L"USB\\VID_1234&PID_9999"});
  machine.Fail("SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA, 1, 3);
  CheckEssUEFIValue();

  std::vector<Logged> log = EventLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(Enumerated(3), log[log.size() - 3]);
  EXPECT_EQ(Service(1, L"[ZEFO Service] SetupDiGetDeviceRegistryProperty fail, GetLastError = 13"),
            log[log.size() - 2]);
  EXPECT_EQ(Finish(4), log.back());
  EXPECT_FALSE(WasLogged(kNotFound.text));
  EXPECT_EQ(1, g_bEssDeviceFound);
  EXPECT_TRUE(Stored(sensor));
  EXPECT_EQ(0, machine.devices.OpenDeviceLists());
}

TEST_F(Ess, DeviceWithHardwareIdsTooLongForTheBufferDoesNotHideTheSensor) {
  AddDevice(L"Other", 0, {std::wstring(300, L'x')});
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A10");
  CheckEssUEFIValue();

  EXPECT_TRUE(WasLogged(L"[ZEFO Service] Device property too long (index = 0), not the FPR device"));
  EXPECT_EQ(1, g_bEssDeviceFound);
  EXPECT_TRUE(Stored(sensor));
  EXPECT_EQ(Finish(0), EventLog().back());
}

TEST_F(Ess, ListNotBuilt) {
  AddSensor(L"USB\\VID_06CB&PID_0A10");
  machine.Fail("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);
  CheckEssUEFIValue();
  EXPECT_EQ((std::vector<Logged>{Service(1,
                                         L"[ZEFO Service][CheckEssUEFIValue] SetupDiGetClassDevs fail (m_hDevInfo == "
                                         L"INVALID_HANDLE_VALUE), error = 0x00000008!!!"),
                                 Finish(1)}),
            EventLog());
  EXPECT_EQ(0, g_bEssDeviceFound);
}

// ---- The SecureFingerprint sync ----

struct SyncCase {
  const char* name;
  std::optional<std::vector<BYTE>> essState;  // nothing: the variable is absent
  bool privilegeHeld;
  bool tokenOpens;
  std::optional<sim::RegValue> stored;
  DWORD expectedValue;  // as REG_DWORD afterwards
  bool written;
  bool restarted;
};

std::vector<BYTE> Bytes(std::size_t size, BYTE first) {
  std::vector<BYTE> bytes(size, 7);
  bytes[0] = first;
  return bytes;
}
sim::RegValue Text(const std::wstring& s) { return {REG_SZ, sim::RegistryModel::StringBytes(s)}; }

const SyncCase kSyncCases[] = {
    {"OnAndStoredOff", Bytes(1, 1), true, true, Dword(0), 1, true, true},
    {"OnAndStoredOn", Bytes(1, 1), true, true, Dword(1), 1, false, false},
    {"ByteTwoMeansOff", Bytes(1, 2), true, true, Dword(1), 0, true, true},
    {"OnlyFirstByteCounts", Bytes(4096, 1), true, true, Dword(0), 1, true, true},
    // A read that failed for any reason but "no such variable" decides nothing.
    {"TooLargeForTheBuffer", Bytes(4097, 1), true, true, Dword(1), 1, false, false},
    {"VariableAbsent", std::nullopt, true, true, Dword(1), 0, true, true},
    {"PrivilegeNotHeld", Bytes(1, 1), false, true, Dword(1), 0, true, true},
    {"TokenNotOpened", Bytes(1, 1), true, false, Dword(1), 1, false, false},
    {"StoredMissing", Bytes(1, 1), true, true, std::nullopt, 1, true, false},
    {"Stored99", Bytes(1, 1), true, true, Dword(99), 1, true, false},
    {"StoredOtherValue", Bytes(1, 1), true, true, Dword(2), 1, true, true},
    {"StoredAsLongString", Bytes(1, 1), true, true, Text(L"enabled"), 1, true, false},
    {"StoredAsShortString", Bytes(1, 0), true, true, Text(L"1"), 0, true, false},
    {"StoredAsShortBinary", Bytes(1, 1), true, true, sim::RegValue{REG_BINARY, {1, 0}}, 1, true, false},
};

class SecureFingerprintSync : public Ess, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(SecureFingerprintSync, ValueWriteAndRestart) {
  const SyncCase& c = GetParam();
  if (c.essState) machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, *c.essState);
  machine.process.SetSystemEnvironmentPrivilegeHeld(c.privilegeHeld);
  if (!c.tokenOpens) machine.Fail("OpenProcessToken", ERROR_ACCESS_DENIED);
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A20", c.stored);
  CheckEssUEFIValue();

  EXPECT_EQ(Dword(c.expectedValue).data, Stored(sensor).value_or(sim::RegValue{}).data);
  EXPECT_EQ(REG_DWORD, Stored(sensor).value_or(sim::RegValue{}).type);
  EXPECT_EQ(c.written ? 1 : 0, RegistryWrites());
  EXPECT_EQ(c.restarted ? (std::vector<std::wstring>{L"sc stop WbioSrvc", L"sc start WbioSrvc"})
                        : std::vector<std::wstring>{},
            CommandLines());
  EXPECT_EQ(!c.tokenOpens, WasLogged(L"[ZEFO Service] OpenProcessToken - fail"));
  EXPECT_EQ(c.tokenOpens && !c.privilegeHeld, WasLogged(L"[ZEFO Service] AdjustTokenPrivileges() - fail"));
}

INSTANTIATE_TEST_SUITE_P(Cases, SecureFingerprintSync, ::testing::ValuesIn(kSyncCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Ess, RestartRunsScByFullPathHalfASecondApart) {
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
  AddSensor(L"USB\\VID_06CB&PID_0A10", Dword(0));
  machine.RunFor(250);
  CheckEssUEFIValue();
  std::vector<sim::CommandRun> runs = machine.process.Commands();
  ASSERT_EQ(2u, runs.size());
  EXPECT_EQ(L"C:\\Windows\\system32\\sc.exe", runs[0].application);
  EXPECT_EQ(L"sc stop WbioSrvc", runs[0].commandLine);
  EXPECT_EQ(L"C:\\Windows\\system32\\sc.exe", runs[1].application);
  EXPECT_EQ(L"sc start WbioSrvc", runs[1].commandLine);
  EXPECT_EQ(runs[0].timeMs + 500, runs[1].timeMs);
  EXPECT_EQ(250u, runs[0].timeMs);
  EXPECT_EQ(0u, machine.kernel.OpenHandleCount());  // token, keys, process handles all closed
}

// sc.exe runs only by its whole path: a system directory that leaves no room
// for "\sc.exe" within MAX_PATH would otherwise launch a cut path.
TEST_F(Ess, ScRunsOnlyWhenItsWholePathFits) {
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A10");
  for (const std::size_t length : {252u, 253u, 258u, 259u, 300u}) {
    SCOPED_TRACE(length);
    machine.registry.SetDword(Configurations(sensor), L"SecureFingerprint", 0);
    const std::wstring directory = L"C:\\" + std::wstring(length - 3, L'd');
    {
      auto lock = machine.kernel.Lock();
      machine.process.systemDirectory = directory;
      machine.process.programs = {directory + L"\\sc.exe", (directory + L"\\sc.exe").substr(0, MAX_PATH - 1)};
    }
    const std::size_t before = CommandLines().size();
    CheckEssUEFIValue();
    const bool fits = length <= 252;
    EXPECT_EQ(fits ? 2u : 0u, CommandLines().size() - before);
    const std::wstring refused = L"[ZEFO Service] No full path for sc.exe (GetSystemDirectory = " +
                                 std::to_wstring(length < MAX_PATH ? length : length + 1) + L"), \"sc stop WbioSrvc\" not run";
    EXPECT_EQ(!fits, WasLogged(refused));
  }
}

TEST_F(Ess, FailedWriteStillRestarts) {
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A10", Dword(0));
  machine.Fail("RegSetValueExW", ERROR_ACCESS_DENIED);
  CheckEssUEFIValue();
  EXPECT_TRUE(WasLogged(L"[ZEFO Service] RegSetValue fail, res = 5!!"));
  EXPECT_EQ(Dword(0).data, Stored(sensor)->data);
  EXPECT_EQ((std::vector<std::wstring>{L"sc stop WbioSrvc", L"sc start WbioSrvc"}), CommandLines());
}

TEST_F(Ess, MissingConfigurationsKeyChangesNothing) {
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
  const int sensor = AddDevice(L"Fingerprint sensor", 0, {L"USB\\VID_06CB&PID_0A10"});
  machine.registry.CreateKey(machine.devices.HardwareKeyPath(sensor));
  CheckEssUEFIValue();
  EXPECT_TRUE(WasLogged(L"[ZEFO Service] Open Key fail, Res = 0x00000002!!"));
  EXPECT_FALSE(machine.registry.KeyExists(Configurations(sensor)));
  EXPECT_EQ(0, RegistryWrites());
  EXPECT_TRUE(CommandLines().empty());
  EXPECT_EQ(1, g_bEssDeviceFound);
}

TEST_F(Ess, DeviceWithoutHardwareKey) {
  AddDevice(L"Fingerprint sensor", 0, {L"USB\\VID_06CB&PID_0A10"});
  CheckEssUEFIValue();
  EXPECT_TRUE(WasLogged(L"[ZEFO Service] SetupDiOpenDevRegKey fail (0xE0000204)"));
  EXPECT_EQ(0, RegistryWrites());
}

TEST_F(Ess, ThreeByteVariableLogsEachByte) {
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1, 0, 255});
  AddSensor(L"USB\\VID_06CB&PID_0A10", Dword(1));
  CheckEssUEFIValue();
  std::vector<std::wstring> messages = Messages();
  auto at = std::find(messages.begin(), messages.end(), L"[ZEFO Service] dwVarLen = 3");
  ASSERT_NE(messages.end(), at);
  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] dwVarLen = 3", L"[ZEFO Service] (EssState) RetBuf[0] =  1",
                L"[ZEFO Service] (EssState) RetBuf[1] =  0", L"[ZEFO Service] (EssState) RetBuf[2] =  255",
                L"[ZEFO Service] SDEV table is loaded, enable ESS mode (SecureFingerprint = 1)",
                L"[ZEFO Service] Open Key success!!",
                L"[ZEFO Service] Get SecireFingerprint value, SecireFingerprint = 1!!",
                L"[ZEFO Service] SecireFingerprint value is expected, not modified reg vlaue and not reset WbSrv!!"}),
            std::vector<std::wstring>(at, at + 8));
}

// The missing-variable line goes to the debugger only, also when LOG_SWITCH
// keeps the event log off.
TEST_F(Ess, NothingReturnedIsADebuggerOnlyLine) {
  for (DWORD logSwitch : {1u, 2u}) {
    SCOPED_TRACE(logSwitch);
    g_dwLogSwitch = logSwitch;
    const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A10", Dword(0));
    const std::size_t eventsBefore = EventLog().size();
    const std::size_t linesBefore = machine.diagnostics.DebugLines().size();
    CheckEssUEFIValue();
    const std::vector<sim::DebugLine> lines = machine.diagnostics.DebugLines();
    int nothingLines = 0;
    for (auto line = lines.begin() + static_cast<long>(linesBefore); line != lines.end(); ++line)
      nothingLines += line->text.find(L"[ZEFOFPSERVICE] [ZEFO] Nothing return, error code =  0xCB\r\n") !=
                      std::wstring::npos;
    EXPECT_EQ(1, nothingLines);
    for (std::size_t i = eventsBefore; i < EventLog().size(); ++i)
      EXPECT_EQ(std::wstring::npos, EventLog()[i].text.find(L"Nothing return"));
    if (logSwitch != 1) {
      EXPECT_EQ(eventsBefore, EventLog().size());
    }
    machine.devices.SetPresent(sensor, false);
  }
}

}  // namespace

namespace {

// Only the answers that mean "this machine has no such variable" (203; 1 on a
// machine without UEFI) or "the service may not read it" (1314) turn the
// secure setting off. Any other failure may pass: the setting stays as it is,
// the sensor does not count as found, and the next check tries again.
struct FirmwareFailure {
  DWORD error;
  bool turnsOff;
};

class FirmwareReadFailure : public Ess, public ::testing::WithParamInterface<FirmwareFailure> {};

TEST_P(FirmwareReadFailure, TurnsTheSettingOffOnlyWhenItMeansNoVariable) {
  const FirmwareFailure& c = GetParam();
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
  machine.Fail("GetFirmwareEnvironmentVariableW", c.error);
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A20", Dword(1));
  CheckEssUEFIValue();

  EXPECT_EQ(Dword(c.turnsOff ? 0 : 1).data, Stored(sensor).value_or(sim::RegValue{}).data);
  EXPECT_EQ(c.turnsOff ? 1 : 0, g_bEssDeviceFound);
  EXPECT_EQ(!c.turnsOff, g_bEssSyncOwed.load());
  EXPECT_EQ(c.turnsOff ? 2u : 0u, CommandLines().size());

  CheckEssUEFIValue();  // the next check reads the firmware again
  EXPECT_EQ(Dword(1).data, Stored(sensor).value_or(sim::RegValue{}).data);
  EXPECT_EQ(1, g_bEssDeviceFound);
  EXPECT_FALSE(g_bEssSyncOwed);
}

INSTANTIATE_TEST_SUITE_P(Errors, FirmwareReadFailure,
                         ::testing::Values(FirmwareFailure{ERROR_ENVVAR_NOT_FOUND, true},
                                           FirmwareFailure{ERROR_INVALID_FUNCTION, true},
                                           FirmwareFailure{ERROR_PRIVILEGE_NOT_HELD, true},
                                           FirmwareFailure{ERROR_NO_SYSTEM_RESOURCES, false},
                                           FirmwareFailure{ERROR_NOT_ENOUGH_MEMORY, false}),
                         [](const auto& info) { return std::to_string(info.param.error); });

// A device key that does not exist is the sensor's make: final. One that
// exists but cannot be opened now is tried again at the next check.
struct KeyFailure {
  const char* name;
  const char* operation;
  DWORD error;
  bool final;
};

class DeviceKeyFailure : public Ess, public ::testing::WithParamInterface<KeyFailure> {};

TEST_P(DeviceKeyFailure, IsFinalOnlyWhenTheKeyDoesNotExist) {
  const KeyFailure& c = GetParam();
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
  const int sensor = AddSensor(L"USB\\VID_06CB&PID_0A20", Dword(0));
  machine.Fail(c.operation, c.error);
  CheckEssUEFIValue();
  EXPECT_EQ(c.final ? 1 : 0, g_bEssDeviceFound);
  EXPECT_EQ(!c.final, g_bEssSyncOwed.load());
  EXPECT_EQ(Dword(0).data, Stored(sensor).value_or(sim::RegValue{}).data);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceKeyFailure,
    ::testing::Values(KeyFailure{"DeviceKeyMissing", "SetupDiOpenDevRegKey", ERROR_KEY_DOES_NOT_EXIST, true},
                      KeyFailure{"DeviceKeyBusy", "SetupDiOpenDevRegKey", ERROR_NO_SYSTEM_RESOURCES, false},
                      KeyFailure{"ConfigurationsMissing", "RegOpenKeyW", ERROR_FILE_NOT_FOUND, true},
                      KeyFailure{"ConfigurationsBusy", "RegOpenKeyW", ERROR_NOT_ENOUGH_MEMORY, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The privilege is enabled for the read only: the programs the service starts
// (sc.exe) must not inherit it enabled.
TEST_F(Ess, PrivilegeIsPutBackAfterTheRead) {
  machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
  AddSensor(L"USB\\VID_06CB&PID_0A20", Dword(0));
  CheckEssUEFIValue();
  EXPECT_EQ(2u, CommandLines().size());
  auto lock = machine.kernel.Lock();
  EXPECT_FALSE(machine.process.systemEnvironmentEnabled);
}

}  // namespace
