// Running a system tool as the ESS sync restarts the biometric service.
#include <cwchar>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
using Programs = Conformance;

TEST_F(Programs, SystemDirectoryGivesTheSizeNeededWhenTooSmall) {
  WCHAR directory[MAX_PATH];
  const UINT length = os::GetSystemDirectoryW(directory, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<UINT>(MAX_PATH));
  EXPECT_EQ(L'\0', directory[length]);
  WCHAR tooSmall[2] = {L'#', L'#'};
  EXPECT_EQ(length + 1, os::GetSystemDirectoryW(tooSmall, 2));
}

TEST_F(Programs, SystemToolRunsToItsEndAndAMissingOneFails) {
  WCHAR directory[MAX_PATH];
  const UINT length = os::GetSystemDirectoryW(directory, MAX_PATH);
  ASSERT_GT(length, 0u);
  struct Case {
    const wchar_t* file;
    bool starts;
  } cases[] = {{L"\\sc.exe", true}, {L"\\zefo-conformance-absent.exe", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file, c.file + std::wcslen(c.file)));
    const std::wstring application = std::wstring(directory, length) + c.file;
    WCHAR commandLine[] = L"sc query ZefoConformanceAbsent";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    SetSentinelLastError();
    const BOOL started = os::CreateProcessW(application.c_str(), commandLine, nullptr, nullptr, FALSE,
                                            CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    ASSERT_EQ(c.starts, started != FALSE);
    if (!started) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), os::GetLastError());
      continue;
    }
    UniqueKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
    EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(processHandle.Get(), 30000));
  }
}
}  // namespace
}  // namespace conformance

namespace conformance {
namespace {
// A thread that outlives its process's end would leave this value behind.
constexpr wchar_t kLateKey[] = L"Software\\ZefoConformance\\ProcessEnd";
constexpr DWORD kLateAfterMs = 300;

DWORD WINAPI WriteLate(LPVOID) {
  os::Sleep(kLateAfterMs);
  UniqueRegKey key;
  if (os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLateKey, 0, KEY_SET_VALUE, key.Put()) == ERROR_SUCCESS) {
    const DWORD one = 1;
    os::RegSetValueExW(key.Get(), L"Late", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  }
  return 0;
}

DWORD WINAPI ExitWithFive(LPVOID) { os::ExitProcess(5); }

// Main returns while another thread still has work to do.
DWORD MainReturns() {
  UniqueKernelHandle worker(os::CreateThread(nullptr, 0, WriteLate, nullptr, 0, nullptr));
  return worker ? 7 : 1;
}
const ChildProgram mainReturns(L"main-returns", MainReturns);

// Another thread ends the process while main still has work to do.
DWORD AThreadExits() {
  UniqueKernelHandle worker(os::CreateThread(nullptr, 0, ExitWithFive, nullptr, 0, nullptr));
  WriteLate(nullptr);
  return 1;
}
const ChildProgram aThreadExits(L"a-thread-exits", AThreadExits);

using ProcessEnd = Conformance;

TEST_F(ProcessEnd, NoThreadRunsOnceTheProcessHasEnded) {
  struct Case {
    const wchar_t* program;
    DWORD exitCode;
  } cases[] = {{L"main-returns", 7}, {L"a-thread-exits", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program, c.program + std::wcslen(c.program)));
    CreateRegistryKey(kLateKey);
    EXPECT_EQ(c.exitCode, RunChildProcess(c.program));
    os::Sleep(3 * kLateAfterMs);
    UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLateKey, 0, KEY_QUERY_VALUE, key.Put()));
    DWORD late = 0, size = sizeof late;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              os::RegQueryValueExW(key.Get(), L"Late", nullptr, nullptr, reinterpret_cast<BYTE*>(&late), &size));
  }
}
}  // namespace
}  // namespace conformance
