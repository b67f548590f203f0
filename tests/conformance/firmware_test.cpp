// The token privilege and the firmware variable read of the ESS check.
#include <cstring>

#include "platform/firmware.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
// A vendor GUID of this suite's own: no firmware holds variables under it.
constexpr wchar_t kVendor[] = L"{6A0E2D4B-93F1-4C57-8E2A-0D1B5C7F9A31}";

class Firmware : public Conformance {
 protected:
  // Sets the privilege's state as the ESS check does; gives the last error.
  DWORD SetSystemEnvironmentPrivilege(bool enabled) {
    UniqueKernelHandle token;
    EXPECT_TRUE(os::OpenProcessToken(os::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put()));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    EXPECT_TRUE(os::LookupPrivilegeValueW(nullptr, L"SeSystemEnvironmentPrivilege", &privileges.Privileges[0].Luid));
    privileges.Privileges[0].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
    DWORD returned = 0;
    SetSentinelLastError();
    os::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, &returned);
    return os::GetLastError();
  }
};

TEST_F(Firmware, PrivilegeEnablesWithSuccessAsLastError) {
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetSystemEnvironmentPrivilege(true));
}

TEST_F(Firmware, ReadNeedsThePrivilegeAndReportsAMissingVariable) {
  KnownWineDifference difference(
      "GetFirmwareEnvironmentVariableW returns 0 with error 1, as on a machine without UEFI");
  BYTE buffer[4096];
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetSystemEnvironmentPrivilege(false));
  SetSentinelLastError();
  EXPECT_EQ(0u, os::GetFirmwareEnvironmentVariableW(L"ZefoConformanceAbsent", kVendor, buffer, sizeof buffer));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD), os::GetLastError());
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetSystemEnvironmentPrivilege(true));
  SetSentinelLastError();
  EXPECT_EQ(0u, os::GetFirmwareEnvironmentVariableW(L"ZefoConformanceAbsent", kVendor, buffer, sizeof buffer));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), os::GetLastError());
}

// The GetFirmwareEnvironmentVariable page: on a legacy BIOS-based system the
// function always fails, with ERROR_INVALID_FUNCTION for its dummy probe.
TEST_F(Firmware, WithoutUefiEveryReadFailsWithInvalidFunction) {
  const BYTE stored[] = {1};
  SetFirmwareVariable(L"EssState", kVendor, BytesOf(stored, sizeof stored));
  if (!MakeFirmwareLegacy()) GTEST_SKIP() << "this machine has UEFI firmware";
  struct Read {
    const wchar_t* name;
    const wchar_t* vendor;
    bool privilege;
  } reads[] = {
      {L"", L"{00000000-0000-0000-0000-000000000000}", true},
      {L"EssState", kVendor, true},
      {L"EssState", kVendor, false},
  };
  for (const Read& read : reads) {
    SCOPED_TRACE(read.privilege ? "privilege enabled" : "privilege disabled");
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetSystemEnvironmentPrivilege(read.privilege));
    BYTE buffer[4096];
    SetSentinelLastError();
    EXPECT_EQ(0u, os::GetFirmwareEnvironmentVariableW(read.name, read.vendor, buffer, sizeof buffer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), os::GetLastError());
  }
}

TEST_F(Firmware, ReadGivesTheStoredBytesOrInsufficientBuffer) {
  const BYTE stored[] = {1, 0, 0, 0, 7};
  if (!SetFirmwareVariable(L"EssState", kVendor, BytesOf(stored, sizeof stored)))
    GTEST_SKIP() << "firmware variables are not written from here";
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetSystemEnvironmentPrivilege(true));
  BYTE buffer[4096] = {};
  ASSERT_EQ(sizeof stored, os::GetFirmwareEnvironmentVariableW(L"EssState", kVendor, buffer, sizeof buffer));
  EXPECT_EQ(0, std::memcmp(stored, buffer, sizeof stored));
  SetSentinelLastError();
  EXPECT_EQ(0u, os::GetFirmwareEnvironmentVariableW(L"EssState", kVendor, buffer, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), os::GetLastError());
}
}  // namespace
}  // namespace conformance
