// Files and folders as -install judges them: their owner and DACL read by
// path, the kind of drive they lie on, and where the process loads DLLs from.
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr wchar_t kAdministratorsFolder[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr char kWineReportsModes[] =
    "Wine keeps no descriptor for a file: it reports one made from the Unix mode (which a descriptor given at "
    "creation only sets), owned by the prefix's user, with full control for that user and SYSTEM";

// The parts named of the object's descriptor as SDDL; the error code when it
// cannot be read.
DWORD ReadSecurity(const std::wstring& path, SECURITY_INFORMATION parts, std::wstring& text) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      os::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return error;
  UniqueLocalMemory descriptorMemory(descriptor);
  LPWSTR sddl = nullptr;
  if (!os::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &sddl, nullptr))
    return os::GetLastError();
  UniqueLocalMemory sddlMemory(sddl);
  text = sddl;
  return ERROR_SUCCESS;
}

std::wstring OwnProgram() {
  wchar_t path[MAX_PATH];
  const DWORD length = os::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

using FileSecurity = Conformance;

TEST_F(FileSecurity, ReadsThePartsAskedForOfTheProgramAndItsFolder) {
  const std::wstring program = OwnProgram();
  for (const std::wstring& path : {program, program.substr(0, program.find_last_of(L'\\'))}) {
    SCOPED_TRACE(testing::Message() << "path of " << path.size() << " characters");
    std::wstring text;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ReadSecurity(path, kOwnerAndDacl, text));
    EXPECT_EQ(0u, text.find(L"O:"));
    EXPECT_NE(std::wstring::npos, text.find(L"D:"));
    EXPECT_EQ(std::wstring::npos, text.find(L"G:"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ReadSecurity(path, OWNER_SECURITY_INFORMATION, text));
    EXPECT_EQ(std::wstring::npos, text.find(L"D:"));
  }
}

TEST_F(FileSecurity, AFolderKeepsTheDescriptorItWasMadeWithAndAFileInheritsFromIt) {
  const std::wstring folder = MakeFolder(L"ZefoSecured", kAdministratorsFolder);
  const std::wstring file = MakeFile(L"ZefoSecured\\made.txt");
  KnownWineDifference wine(kWineReportsModes);
  std::wstring text;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ReadSecurity(folder, kOwnerAndDacl, text));
  EXPECT_EQ(kAdministratorsFolder, text);
  // Made by an elevated process: owned by Administrators.
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ReadSecurity(file, kOwnerAndDacl, text));
  EXPECT_EQ(L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", text);
}

TEST_F(FileSecurity, WhatIsNotThereFailsWithTheDocumentedErrors) {
  const std::wstring program = OwnProgram();
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\') + 1);
  std::wstring text;
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ReadSecurity(folder + L"missing.txt", kOwnerAndDacl, text));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
            ReadSecurity(folder + L"missing\\missing.txt", kOwnerAndDacl, text));
}

using DriveType = Conformance;

TEST_F(DriveType, TheSystemDriveIsFixedAndALetterWithNothingMountedHasNoRoot) {
  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), os::GetDriveTypeW(L"C:\\"));
  const std::wstring unused = UnusedDriveRoot();
  ASSERT_FALSE(unused.empty());
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), os::GetDriveTypeW(unused.c_str()));
}

using DllSearch = Conformance;

TEST_F(DllSearch, CanBeLimitedToSystem32AndRefusesNoDirectories) {
  EXPECT_TRUE(os::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) << LastErrorText();
  SetSentinelLastError();
  EXPECT_FALSE(os::SetDefaultDllDirectories(0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), os::GetLastError());
}
}  // namespace
}  // namespace conformance
