// Running a system tool as the ESS sync restarts the biometric service.
#include <cwchar>

#include "platform/process.h"
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
    os::SetLastError(0);
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
