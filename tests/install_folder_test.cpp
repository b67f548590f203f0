// -install registers the executable only where nobody but SYSTEM,
// Administrators and TrustedInstaller may change it, its folder or a folder
// above them, on a fixed local drive; anywhere else it says why and where to
// install instead, and registers nothing.
#include <functional>

#include "service/event_sources.h"
#include "sim_fixture.h"

namespace {

const std::wstring kInstalled = L"ZEFOTestService is installed.\n";
// Left to administrators, passed on to what is made inside.
constexpr wchar_t kAdministratorsFolder[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr wchar_t kAdministratorsFile[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
constexpr wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

std::wstring NotInstalled(const std::wstring& why) {
  return L"ZEFOTestService is not installed: " + why +
         L". Copy ZefoFpService.exe into a folder under Program Files, which only administrators may change, and "
         L"run -install from there.\n";
}

class InstallFolder : public SimTest {
 protected:
  bool NothingRegistered() {
    const std::wstring log = kApplicationLogKeyPath;
    return !machine.scm.Service(L"ZEFOTestService") && !machine.registry.KeyExists(log + L"\\ZEFO/Service") &&
           !machine.registry.KeyExists(log + L"\\ZEFO / Debug");
  }
};

struct FolderCase {
  const char* name;
  std::function<void(sim::Machine&)> setUp;
  std::wstring console;  // kInstalled, or NotInstalled(why)
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class InstallFromFolder : public InstallFolder, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(InstallFromFolder, RegistersOnlyWhatOnlyAdministratorsMayChange) {
  const FolderCase& c = GetParam();
  c.setUp(machine);
  EXPECT_EQ(0, RunWmain({L"-install"}));
  EXPECT_EQ(c.console, Console());
  EXPECT_EQ(c.console != kInstalled, NothingRegistered());
}

// The program at this path, with these descriptors for its folder and file
// (empty: inherited).
std::function<void(sim::Machine&)> ProgramAt(std::wstring path, std::wstring folderSddl = {},
                                                               std::wstring fileSddl = {}) {
  return [=](sim::Machine& m) {
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    if (!folderSddl.empty()) m.files.AddFolder(folder, folderSddl);
    m.files.AddFile(path, fileSddl);
    m.process.modulePath = path;
  };
}

std::wstring Folder(const wchar_t* extraAces) { return kAdministratorsFolder + std::wstring(extraAces); }

INSTANTIATE_TEST_SUITE_P(
    Folders, InstallFromFolder,
    ::testing::Values(
        // Users may make folders in the root of C:, which changes nothing below it.
        FolderCase{"ProgramFiles", ProgramAt(L"C:\\Program Files\\ZEFO\\ZefoFpService.exe"), kInstalled},
        // A folder in the root of C: passes on Authenticated Users' Modify.
        FolderCase{"FolderInTheRoot", ProgramAt(L"C:\\Tools\\ZefoFpService.exe"),
                   NotInstalled(L"C:\\Tools\\ZefoFpService.exe may be changed by Authenticated Users (S-1-5-11)")},
        FolderCase{"ProtectedFileInAWritableFolder",
                   ProgramAt(L"C:\\Tools\\ZefoFpService.exe", L"", kAdministratorsFile),
                   NotInstalled(L"C:\\Tools may be changed by Authenticated Users (S-1-5-11)")},
        FolderCase{"FolderWhereUsersMayAddFiles",
                   ProgramAt(L"C:\\Apps\\ZEFO\\ZefoFpService.exe", Folder(L"(A;;0x6;;;BU)")),
                   NotInstalled(L"C:\\Apps\\ZEFO may be changed by Users (S-1-5-32-545)")},
        FolderCase{"FolderAboveWhereUsersMayAddFiles",
                   [](sim::Machine& m) {
                     m.files.AddFolder(L"C:\\Apps", Folder(L"(A;;0x6;;;BU)"));
                     ProgramAt(L"C:\\Apps\\ZEFO\\ZefoFpService.exe")(m);
                   },
                   kInstalled},
        FolderCase{"FolderAboveWhereUsersMayDeleteWhatItHolds",
                   [](sim::Machine& m) {
                     m.files.AddFolder(L"C:\\Apps", Folder(L"(A;;0x40;;;BU)"));
                     ProgramAt(L"C:\\Apps\\ZEFO\\ZefoFpService.exe")(m);
                   },
                   NotInstalled(L"C:\\Apps may be changed by Users (S-1-5-32-545)")},
        FolderCase{"FileUsersMayWriteOnlyItsAttributes",
                   ProgramAt(L"C:\\Program Files\\ZEFO\\ZefoFpService.exe", L"",
                             kAdministratorsFile + std::wstring(L"(A;;0x100;;;BU)")),
                   kInstalled},
        FolderCase{"FileAUserOwns",
                   ProgramAt(L"C:\\Program Files\\ZEFO\\ZefoFpService.exe", L"",
                             std::wstring(L"O:") + kUser + L"D:P(A;;FA;;;SY)(A;;FA;;;BA)"),
                   NotInstalled(L"C:\\Program Files\\ZEFO\\ZefoFpService.exe is owned by " + std::wstring(kUser))},
        FolderCase{"FolderWithANullDacl",
                   ProgramAt(L"C:\\Program Files\\ZEFO\\ZefoFpService.exe", L"O:BAD:NO_ACCESS_CONTROL",
                             kAdministratorsFile),
                   NotInstalled(L"C:\\Program Files\\ZEFO may be changed by anyone (it has no access control list)")},
        FolderCase{"RemovableDrive",
                   [](sim::Machine& m) {
                     m.files.AddDrive(L'E', DRIVE_REMOVABLE, kAdministratorsFolder);
                     ProgramAt(L"E:\\ZEFO\\ZefoFpService.exe")(m);
                   },
                   NotInstalled(L"E:\\ZEFO\\ZefoFpService.exe is on a removable drive")},
        FolderCase{"NetworkDrive",
                   [](sim::Machine& m) {
                     m.files.AddDrive(L'N', DRIVE_REMOTE, kAdministratorsFolder);
                     ProgramAt(L"N:\\ZEFO\\ZefoFpService.exe")(m);
                   },
                   NotInstalled(L"N:\\ZEFO\\ZefoFpService.exe is on a network drive")},
        FolderCase{"NetworkShare",
                   [](sim::Machine& m) {
                     m.process.modulePath = L"\\\\server\\share\\ZEFO\\ZefoFpService.exe";
                   },
                   NotInstalled(L"\\\\server\\share\\ZEFO\\ZefoFpService.exe is on a network path")},
        FolderCase{"FolderSecurityUnreadable",
                   [](sim::Machine& m) {
                     m.FailNamed("GetNamedSecurityInfoW", L"C:\\Program Files\\ZEFO", ERROR_ACCESS_DENIED);
                   },
                   NotInstalled(L"the security of C:\\Program Files\\ZEFO cannot be read (error 0x00000005)")},
        FolderCase{"SecurityTextNotMade",
                   [](sim::Machine& m) {
                     m.Fail("ConvertSecurityDescriptorToStringSecurityDescriptorW", ERROR_NOT_ENOUGH_MEMORY);
                   },
                   NotInstalled(L"the security of C:\\Program Files\\ZEFO\\ZefoFpService.exe cannot be read "
                                L"(error 0x00000008)")}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
