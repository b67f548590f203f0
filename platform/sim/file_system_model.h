// The machine's file system, as far as the system looks at it: drives and
// their kinds, and folders and files with their security descriptors.
#pragma once

#include <map>
#include <string>

#include "platform/sim/kernel.h"
#include "platform/sim/registry_model.h"
#include "platform/sim/security.h"

namespace sim {

// The root of a system drive as Windows sets it up: SYSTEM and Administrators
// full control, Users read, Authenticated Users may make folders in the root
// and change what they make below it.
inline constexpr wchar_t kSystemDriveRootSecurity[] =
    L"O:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";
// Program Files: TrustedInstaller's; SYSTEM and Administrators may change it
// and own what they make in it, Users and app packages read.
inline constexpr wchar_t kProgramFilesSecurity[] =
    L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
    L"D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
    L"(A;CIIO;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
    L"(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
    L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)";

struct FileNode {
  bool folder = false;
  Security security;
};

class FileSystemModel {
 public:
  // Drive C:, fixed, with its root and Program Files.
  explicit FileSystemModel(Kernel& kernel);

  // A drive of this kind (DRIVE_FIXED, DRIVE_REMOVABLE, ...) and its root
  // folder with this descriptor.
  void AddDrive(wchar_t letter, UINT type, const std::wstring& rootSddl = kSystemDriveRootSecurity);
  // A folder or a file on a drive already added, and every folder missing
  // above it. Each gets the descriptor given, or else what its folder passes
  // on to what an elevated caller (an administrator, an installer) makes there.
  void AddFolder(const std::wstring& path, const std::wstring& sddl = {});
  void AddFile(const std::wstring& path, const std::wstring& sddl = {});

  // For the platform side, lock held. Paths are full ("C:\Program Files"),
  // in any letter case; a root keeps its backslash.
  const FileNode* Find(const std::wstring& path) const;
  UINT DriveType(const std::wstring& rootPath) const;

 private:
  void Add(const std::wstring& path, bool folder, const std::wstring& sddl);  // lock held

  Kernel& kernel_;
  std::map<std::wstring, FileNode, CaseInsensitiveLess> nodes_;
  std::map<wchar_t, UINT> drives_;  // by upper-case letter
};

}  // namespace sim
