#include <cstring>

#include "monitor/device_check.h"
#include "tests/device_fixture.h"

namespace {

struct InjectedFault {
  const char* op;
  DWORD error;
  long index;
};

struct CheckCase {
  const char* name;
  std::vector<std::pair<std::wstring, ULONG>> devices;  // description, problem, in list order
  std::vector<InjectedFault> faults;
  BYTE result;
  ULONG problem;  // the out-value after the call (preset to 0)
  std::vector<Logged> log;
};

std::vector<std::pair<std::wstring, ULONG>> SensorAfter(int others, std::wstring sensor, ULONG problem) {
  std::vector<std::pair<std::wstring, ULONG>> devices(static_cast<std::size_t>(others), {L"Other device", 43});
  devices.emplace_back(std::move(sensor), problem);
  return devices;
}

// A description of exactly the 260-character buffer: with its terminator it does not fit.
std::wstring DescriptionFillingBuffer() { return std::wstring(kPropertyBufferChars, L'x'); }

const CheckCase kCheckCases[] = {
    {"NoDevice", {}, {}, kYellowBangNone, 0, {}},
    {"SensorWithoutProblem", {{L"ZEFO Fingerprint", 0}}, {}, kYellowBangNone, 0, {}},
    {"SensorIs20thMember", SensorAfter(19, L"ZEFO FPR", 28), {}, kYellowBangFound, 28,
     {Service(2, L"[ZEFO Service] Got yellow bang, error code = 28")}},
    {"SensorIs21stMember", SensorAfter(20, L"ZEFO FPR", 43), {}, kYellowBangNone, 0, {}},
    {"OnlyFirstSensorDecides", {{L"ZEFO A", 0}, {L"ZEFO B", 43}}, {}, kYellowBangNone, 0, {}},
    {"MatchIsCaseSensitive", {{L"Zefo sensor", 43}, {L"zefo sensor", 43}}, {}, kYellowBangNone, 0, {}},
    {"Problem28", {{L"Synaptic ZEFO", 28}}, {}, kYellowBangFound, 28,
     {Service(2, L"[ZEFO Service] Got yellow bang, error code = 28")}},
    {"Problem31", {{L"ZEFO", 31}}, {}, kYellowBangFound, 31,
     {Service(2, L"[ZEFO Service] Got yellow bang, error code 31 (CM_PROB_FAILED_ADD)")}},
    {"Problem43", {{L"Other", 0}, {L"xZEFOx", 43}}, {}, kYellowBangFound, 43,
     {Service(2, L"[ZEFO Service] Got yellow bang, error code 43 (CM_PROB_FAILED_POST_START)")}},
    {"ListNotBuilt", {{L"ZEFO", 43}}, {{"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, -1}}, kYellowBangListFailed, 0,
     {Service(1, L"[ZEFO Service] SetupDiGetClassDevs fail (m_hDevInfo == INVALID_HANDLE_VALUE), error = "
                 L"0x00000008!!!")}},
    {"DescriptionOfEarlierMemberUnreadable", {{L"Other", 0}, {L"ZEFO", 43}},
     {{"SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA, 0}}, kYellowBangDescriptionFailed, 0,
     {Service(1, L"[ZEFO Service] SetupDiGetDeviceRegistryProperty fail, GetLastError = 13")}},
    // Whatever has so long a description is not the sensor, and must not hide it.
    {"DescriptionTooLongForBuffer", {{DescriptionFillingBuffer(), 0}, {L"ZEFO", 43}}, {}, kYellowBangFound, 43,
     {Service(2, L"[ZEFO Service] Device property too long (index = 0), not the FPR device"),
      Service(2, L"[ZEFO Service] Got yellow bang, error code 43 (CM_PROB_FAILED_POST_START)")}},
    {"StatusQueryFails", {{L"ZEFO", 43}}, {{"CM_Get_DevNode_Status", CR_NO_SUCH_DEVNODE, -1}},
     kYellowBangStatusFailed, 0,
     {Service(1, L"[ZEFO Service] CM_Get_DevNode_Status fail, GetDeviceNodeResult = 0xD")}},
};

class DeviceCheck : public DeviceFixture, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(DeviceCheck, ResultProblemCodeAndLog) {
  const CheckCase& c = GetParam();
  for (const auto& [description, problem] : c.devices) AddDevice(description, problem);
  for (const InjectedFault& f : c.faults) machine.Fail(f.op, f.error, 1, f.index);

  ULONG problem = 0;
  EXPECT_EQ(c.result, CheckYellowBang(&problem));
  EXPECT_EQ(c.problem, problem);
  EXPECT_EQ(c.log, EventLog());
  EXPECT_EQ(0, machine.devices.OpenDeviceLists());
  EXPECT_TRUE(machine.devices.Actions().empty());  // it only looks
}

// Logging off or in debugger-only mode changes nothing but the log.
TEST_P(DeviceCheck, SameResultWithoutEventLog) {
  const CheckCase& c = GetParam();
  g_dwLogSwitch = 2;
  for (const auto& [description, problem] : c.devices) AddDevice(description, problem);
  for (const InjectedFault& f : c.faults) machine.Fail(f.op, f.error, 1, f.index);

  ULONG problem = 0;
  EXPECT_EQ(c.result, CheckYellowBang(&problem));
  EXPECT_EQ(c.problem, problem);
  EXPECT_TRUE(EventLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceCheck, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<BYTE> Bytes(const std::wstring& text, std::size_t byteCount) {
  std::vector<BYTE> bytes(byteCount, 0);
  std::memcpy(bytes.data(), text.data(), std::min(byteCount, text.size() * sizeof(wchar_t)));
  return bytes;
}

// Whatever the shape of the description, the search stays within the bytes
// the read returned.
TEST_F(DeviceFixture, DescriptionShapesAreSearchedOnlyWithinTheReturnedBytes) {
  const std::size_t kChar = sizeof(wchar_t);
  const std::wstring fullBuffer = std::wstring(kPropertyBufferChars - 4, L'x') + L"ZEFO";
  struct Shape {
    const char* name;
    std::vector<BYTE> bytes;
    BYTE result;
  } shapes[] = {
      {"no terminator", Bytes(L"ZEFO", 4 * kChar), kYellowBangFound},
      {"odd length", Bytes(L"ZEFO", 4 * kChar + 1), kYellowBangFound},
      {"last character cut", Bytes(L"ZEFO", 4 * kChar - 1), kYellowBangNone},
      {"whole buffer, no terminator", Bytes(fullBuffer, kPropertyBufferChars * kChar), kYellowBangFound},
      {"match after an embedded terminator", Bytes(std::wstring(L"ab\0ZEFO", 7), 8 * kChar), kYellowBangNone},
      {"empty", {}, kYellowBangNone},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const int device = AddDevice(L"ZEFO", 43);
    machine.devices.SetRawProperty(device, SPDRP_DEVICEDESC, REG_BINARY, shape.bytes);
    ULONG problem = 0;
    EXPECT_EQ(shape.result, CheckYellowBang(&problem));
    machine.devices.SetPresent(device, false);  // out of the next shape's list
  }
}

}  // namespace
