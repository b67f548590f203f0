// The biometric device list, device properties, device-node status, the class
// installer and the device's hardware key, as the monitor and the ESS check
// use them.
#include <algorithm>
#include <cstring>

#include "platform/devices.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
constexpr GUID kBiometricClass = {0x53D29EF7, 0x377C, 0x4D14, {0x86, 0x4B, 0xEB, 0x3A, 0x85, 0x76, 0x93, 0x59}};
constexpr DWORD kPresentInProfile = DIGCF_PRESENT | DIGCF_PROFILE;


class Devices : public Conformance {
 protected:
  void SetUp() override {
    if (!CanMakeFakeDevices()) GTEST_SKIP() << "fake biometric devices cannot be made here";
  }
  // Adds a device, or ends the case where this side cannot make one.
  int Add(const std::wstring& description, const std::vector<std::wstring>& hardwareIds = {L"ROOT\\ZEFO_0A20"}) {
    int device = AddBiometricDevice(description, hardwareIds);
    if (device < 0) ADD_FAILURE() << "no fake device here";
    return device;
  }
  // The list as the system takes it, and the member whose description is given.
  UniqueDevInfoList List() {
    return UniqueDevInfoList(os::SetupDiGetClassDevsW(&kBiometricClass, nullptr, nullptr, kPresentInProfile));
  }
  SP_DEVINFO_DATA Member(HDEVINFO list, const std::wstring& description) {
    for (DWORD i = 0; i < 20; ++i) {
      SP_DEVINFO_DATA data{};
      data.cbSize = sizeof data;
      if (!os::SetupDiEnumDeviceInfo(list, i, &data)) break;
      if (Description(list, data) == description) return data;
    }
    ADD_FAILURE() << "no member " << Narrow(description);
    return SP_DEVINFO_DATA{};
  }
  std::wstring Description(HDEVINFO list, SP_DEVINFO_DATA& data) {
    BYTE buffer[520] = {};
    DWORD required = 0;
    if (!os::SetupDiGetDeviceRegistryPropertyW(list, &data, SPDRP_DEVICEDESC, nullptr, buffer, sizeof buffer,
                                               &required))
      return L"<" + std::to_wstring(os::GetLastError()) + L">";
    return reinterpret_cast<const wchar_t*>(buffer);
  }
};

TEST_F(Devices, ListsMembersInOrderThenNoMoreItems) {
  ASSERT_GE(Add(L"ZEFO Conformance Sensor A"), 0);
  ASSERT_GE(Add(L"ZEFO Conformance Sensor B"), 0);
  UniqueDevInfoList list = List();
  ASSERT_TRUE(list);
  std::vector<std::string> ours;
  DWORD index = 0;
  for (;; ++index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    SetSentinelLastError();
    if (!os::SetupDiEnumDeviceInfo(list.Get(), index, &data)) break;
    std::wstring description = Description(list.Get(), data);
    if (description.rfind(L"ZEFO Conformance", 0) == 0) ours.push_back(Narrow(description));
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), os::GetLastError());
  EXPECT_EQ((std::vector<std::string>{"ZEFO Conformance Sensor A", "ZEFO Conformance Sensor B"}), ours);
  SP_DEVINFO_DATA past{};
  past.cbSize = sizeof past;
  SetSentinelLastError();
  EXPECT_FALSE(os::SetupDiEnumDeviceInfo(list.Get(), index + 5, &past));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), os::GetLastError());
}

TEST_F(Devices, DescriptionAndHardwareIdsRead) {
  ASSERT_GE(Add(L"ZEFO Conformance Sensor", {L"ROOT\\ZEFO_0A20_0001", L"ROOT\\ZEFO"}), 0);
  UniqueDevInfoList list = List();
  SP_DEVINFO_DATA data = Member(list.Get(), L"ZEFO Conformance Sensor");

  BYTE buffer[520];
  DWORD type = 0, required = 0;
  ASSERT_TRUE(os::SetupDiGetDeviceRegistryPropertyW(list.Get(), &data, SPDRP_DEVICEDESC, &type, buffer,
                                                    sizeof buffer, &required));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(sizeof(L"ZEFO Conformance Sensor"), required);

  std::fill(std::begin(buffer), std::end(buffer), BYTE{0xCC});
  ASSERT_TRUE(os::SetupDiGetDeviceRegistryPropertyW(list.Get(), &data, SPDRP_HARDWAREID, &type, buffer,
                                                    sizeof buffer, &required));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  const wchar_t expected[] = L"ROOT\\ZEFO_0A20_0001\0ROOT\\ZEFO\0";
  ASSERT_EQ(sizeof expected, required);
  EXPECT_EQ(0, std::memcmp(expected, buffer, sizeof expected));
}

TEST_F(Devices, LongDescriptionDoesNotFitTheBuffer) {
  const std::wstring description = L"ZEFO " + std::wstring(300, L'x');
  ASSERT_GE(Add(description), 0);
  UniqueDevInfoList list = List();
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  bool found = false;
  for (DWORD i = 0; !found && os::SetupDiEnumDeviceInfo(list.Get(), i, &data); ++i) {
    BYTE buffer[520];
    DWORD required = 0;
    SetSentinelLastError();
    if (os::SetupDiGetDeviceRegistryPropertyW(list.Get(), &data, SPDRP_DEVICEDESC, nullptr, buffer, sizeof buffer,
                                              &required))
      continue;
    found = true;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), os::GetLastError());
    EXPECT_EQ((description.size() + 1) * sizeof(wchar_t), required);
  }
  EXPECT_TRUE(found);
}

TEST_F(Devices, HardwareKeyOpensOnlyOnceItExists) {
  int device = Add(L"ZEFO Conformance Sensor");
  ASSERT_GE(device, 0);
  UniqueDevInfoList list = List();
  SP_DEVINFO_DATA data = Member(list.Get(), L"ZEFO Conformance Sensor");
  const REGSAM readWrite = KEY_READ | KEY_WRITE;

  SetSentinelLastError();
  HKEY missing = os::SetupDiOpenDevRegKey(list.Get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, readWrite);
  EXPECT_EQ(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), missing);
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST), os::GetLastError());

  const DWORD stored = 1;
  SetRegistryValue(HardwareKeyPath(device) + L"\\WinBio\\Configurations", L"SecureFingerprint", REG_DWORD,
                   BytesOf(&stored, sizeof stored));
  UniqueRegKey deviceKey(os::SetupDiOpenDevRegKey(list.Get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, readWrite));
  ASSERT_TRUE(deviceKey);
  UniqueRegKey configurations;
  ASSERT_EQ(ERROR_SUCCESS, os::RegOpenKeyW(deviceKey.Get(), L"WinBio\\Configurations", configurations.Put()));
  DWORD value = 0, size = sizeof value;
  ASSERT_EQ(ERROR_SUCCESS, os::RegQueryValueExW(configurations.Get(), L"SecureFingerprint", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(1u, value);
  const DWORD desired = 0;
  EXPECT_EQ(ERROR_SUCCESS, os::RegSetValueExW(configurations.Get(), L"SecureFingerprint", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&desired), sizeof desired));
  UniqueRegKey absent;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, os::RegOpenKeyW(deviceKey.Get(), L"WinBio\\Absent", absent.Put()));
}

TEST_F(Devices, NodeStatusShowsTheProblemCode) {
  int healthy = Add(L"ZEFO Conformance Healthy");
  int failing = Add(L"ZEFO Conformance Failing");
  ASSERT_GE(failing, 0);
  if (!SetDeviceProblem(failing, CM_PROB_FAILED_POST_START)) GTEST_SKIP() << "a problem code cannot be set here";
  UniqueDevInfoList list = List();
  struct Case {
    int device;
    const wchar_t* description;
    bool hasProblem;
    ULONG problem;
  } cases[] = {{healthy, L"ZEFO Conformance Healthy", false, 0},
               {failing, L"ZEFO Conformance Failing", true, CM_PROB_FAILED_POST_START}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.description));
    SP_DEVINFO_DATA data = Member(list.Get(), c.description);
    ULONG status = 0xFFFFFFFF, problem = 0xFFFFFFFF;
    ASSERT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), os::CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0));
    EXPECT_EQ(c.hasProblem, (status & DN_HAS_PROBLEM) != 0);
    EXPECT_EQ(c.problem, problem);
  }
}

TEST_F(Devices, ClassInstallerDisablesAndEnables) {
  ASSERT_GE(Add(L"ZEFO Conformance Sensor"), 0);
  UniqueDevInfoList list = List();
  SP_DEVINFO_DATA data = Member(list.Get(), L"ZEFO Conformance Sensor");
  KnownWineDifference difference(
      "SetupDiSetClassInstallParamsW fails without setting a last error; DIF_PROPERTYCHANGE fails with 0xE000020E");
  struct Step {
    DWORD stateChange;
    bool disabled;
  } steps[] = {{DICS_DISABLE, true}, {DICS_ENABLE, false}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.stateChange);
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = step.stateChange;
    params.Scope = DICS_FLAG_GLOBAL;
    ASSERT_EQ(20u, sizeof params);
    SetSentinelLastError();
    ASSERT_TRUE(os::SetupDiSetClassInstallParamsW(list.Get(), &data, &params.ClassInstallHeader, sizeof params))
        << LastErrorText();
    SetSentinelLastError();
    ASSERT_TRUE(os::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, list.Get(), &data)) << LastErrorText();
    ULONG status = 0, problem = 0;
    ASSERT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), os::CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0));
    EXPECT_EQ(step.disabled ? ULONG{CM_PROB_DISABLED} : 0u, problem);
  }
}
}  // namespace
}  // namespace conformance
