#include "service/install_folder.h"

#include "diag/logging.h"
#include "diag/security_judge.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {
constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

std::wstring CannotRead(const std::wstring& path, DWORD error) {
  WCHAR code[16];
  FormatInto(code, 16, L"0x%08lx", error);
  return L"the security of " + path + L" cannot be read (error " + code + L")";
}

// A path of another machine, or of a drive the service cannot rely on.
std::wstring WhyDriveIsNotTrusted(const std::wstring& path) {
  if (path.compare(0, 2, L"\\\\") == 0) return path + L" is on a network path";
  if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return path + L" is not on a fixed local drive";
  switch (os::GetDriveTypeW(path.substr(0, 3).c_str())) {
    case DRIVE_FIXED:
      return {};
    case DRIVE_REMOTE:
      return path + L" is on a network drive";
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
      return path + L" is on a removable drive";
    default:
      return path + L" is not on a fixed local drive";
  }
}

std::wstring WhyNotTrusted(const std::wstring& path, ACCESS_MASK changeRights) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = os::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kOwnerAndDacl, nullptr, nullptr,
                                                nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return CannotRead(path, error);
  UniqueLocalMemory descriptorMemory(descriptor);
  const auto text = SecurityDescriptorText(descriptor, kOwnerAndDacl);
  if (!text) return CannotRead(path, os::GetLastError());
  const auto distrust = JudgeSecurity(*text, changeRights);
  return distrust ? path + L" " + DistrustText(*distrust) : std::wstring();
}

// The folder a path lies in ("C:\" for "C:\ZEFO"); empty for a root.
std::wstring FolderOf(const std::wstring& path) {
  if (path.size() <= 3) return {};
  const std::size_t separator = path.find_last_of(L'\\');
  return separator == 2 ? path.substr(0, 3) : path.substr(0, separator);
}
}  // namespace

std::wstring WhyInstallFolderIsNotTrusted(LPCWSTR pszExecutablePath) {
  std::wstring path = pszExecutablePath;
  // A long-path prefix before a drive letter names the same file.
  if (path.compare(0, 4, L"\\\\?\\") == 0 && path.compare(4, 4, L"UNC\\") != 0) path.erase(0, 4);
  std::wstring why = WhyDriveIsNotTrusted(path);
  // The executable and its folder may not be written at all; a folder further
  // up may not let what lies below it be replaced.
  ACCESS_MASK changeRights = kFileChangeRights;
  for (int level = 0; why.empty() && !path.empty(); ++level, path = FolderOf(path)) {
    if (level == 2) changeRights = kAncestorFolderChangeRights;
    why = WhyNotTrusted(path, changeRights);
  }
  return why;
}
