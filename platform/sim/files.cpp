// The machine's drives, folders and files.
#include "platform/files.h"

#include <cwctype>
#include <stdexcept>

#include "platform/sim/machine.h"

namespace sim {
namespace {
bool IsDriveRoot(const std::wstring& path) {
  return path.size() == 3 && std::iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
}

// Without trailing backslashes, but a root keeps its own.
std::wstring Normalized(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

// The folder a path lies in; empty for a root.
std::wstring FolderOf(const std::wstring& path) {
  if (IsDriveRoot(path)) return {};
  const std::size_t separator = path.find_last_of(L'\\');
  if (separator == std::wstring::npos) return {};
  return separator == 2 ? path.substr(0, 3) : path.substr(0, separator);
}

wchar_t DriveLetter(const std::wstring& path) { return static_cast<wchar_t>(std::towupper(path[0])); }
}  // namespace

FileSystemModel::FileSystemModel(Kernel& kernel) : kernel_(kernel) {
  AddDrive(L'C', DRIVE_FIXED);
  AddFolder(L"C:\\Program Files", kProgramFilesSecurity);
}

void FileSystemModel::AddDrive(wchar_t letter, UINT type, const std::wstring& rootSddl) {
  auto lock = kernel_.Lock();
  letter = static_cast<wchar_t>(std::towupper(letter));
  drives_[letter] = type;
  nodes_.erase(std::wstring{letter, L':', L'\\'});
  Add(std::wstring{letter, L':', L'\\'}, true, rootSddl);
}

void FileSystemModel::AddFolder(const std::wstring& path, const std::wstring& sddl) {
  auto lock = kernel_.Lock();
  Add(Normalized(path), true, sddl);
}

void FileSystemModel::AddFile(const std::wstring& path, const std::wstring& sddl) {
  auto lock = kernel_.Lock();
  Add(Normalized(path), false, sddl);
}

void FileSystemModel::Add(const std::wstring& path, bool folder, const std::wstring& sddl) {
  if (path.size() < 3 || path[1] != L':' || path[2] != L'\\' || drives_.count(DriveLetter(path)) == 0)
    throw std::invalid_argument("not a path on a drive of the machine");
  const std::wstring folderPath = FolderOf(path);
  if (!folderPath.empty() && nodes_.count(folderPath) == 0) Add(folderPath, true, {});
  FileNode node;
  node.folder = folder;
  if (sddl.empty()) {
    node.security = InheritedSecurity(nodes_.at(folderPath).security, folder, true);
  } else {
    DWORD error;
    auto security = ParseSddl(sddl, error);
    if (!security) throw std::invalid_argument("not SDDL the machine reads");
    node.security = *security;
  }
  nodes_[path] = node;
}

const FileNode* FileSystemModel::Find(const std::wstring& path) const {
  auto it = nodes_.find(Normalized(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

UINT FileSystemModel::DriveType(const std::wstring& rootPath) const {
  // A share of another machine: the model takes every one as reachable.
  if (rootPath.size() > 2 && rootPath.compare(0, 2, L"\\\\") == 0 && rootPath.back() == L'\\') return DRIVE_REMOTE;
  if (!IsDriveRoot(rootPath)) return DRIVE_NO_ROOT_DIR;
  auto it = drives_.find(DriveLetter(rootPath));
  return it == drives_.end() ? DRIVE_NO_ROOT_DIR : it->second;
}
}  // namespace sim

namespace os {
// The machine hands out the whole descriptor only: pointers to its parts
// would point into a layout it does not keep.
DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (pObjectName == nullptr || ObjectType != SE_FILE_OBJECT || ppSecurityDescriptor == nullptr ||
      ppsidOwner != nullptr || ppsidGroup != nullptr || ppDacl != nullptr || ppSacl != nullptr)
    return ERROR_INVALID_PARAMETER;
  const std::wstring path = pObjectName;
  if (auto fault = m.kernel.TakeFault("GetNamedSecurityInfoW", -1, path)) return *fault;
  // Reading a SACL takes SeSecurityPrivilege, which the model's tokens do not enable.
  if (SecurityInfo & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  const sim::FileNode* node = m.files.Find(path);
  if (node == nullptr)
    return m.files.Find(sim::FolderOf(sim::Normalized(path))) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  const bool elevated = m.kernel.CurrentThread()->elevated;
  if (!(sim::GrantedAccess(node->security, elevated, sim::kFileMapping) & READ_CONTROL)) return ERROR_ACCESS_DENIED;
  *ppSecurityDescriptor = m.kernel.LocalAlloc(sim::SelfRelative(sim::PartsOf(node->security, SecurityInfo)));
  return ERROR_SUCCESS;
}

UINT GetDriveTypeW(LPCWSTR lpRootPathName) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  // None: the root of the current folder, which is on C:.
  return m.files.DriveType(lpRootPathName ? lpRootPathName : L"C:\\");
}
}  // namespace os
