#include "service/event_sources.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string_view>
#include <vector>

#include "diag/logging.h"
#include "platform/registry.h"

namespace {
constexpr LPCWSTR kEventSources[] = {kServiceLogSource, kDebugLogSource};
// The Application log's key, a backslash, the source name, the terminator.
constexpr std::size_t kSourceKeyChars = 128;
constexpr LPCWSTR kMessageFileValue = L"EventMessageFile";
// Every registration of ours names it, in whatever folder it was installed.
constexpr std::wstring_view kExecutableFileName = L"ZefoFpService.exe";

enum class SourceKeyOwner { kNobody, kUs, kAnotherProgram };  // kNobody: there is no key

void SourceKeyPath(LPCWSTR pszSource, WCHAR (&path)[kSourceKeyChars]) {
  FormatInto(path, kSourceKeyChars, L"%s\\%s", kApplicationLogKeyPath, pszSource);
}

// Whether the path's file name is the executable's, in any folder and letter
// case (file names are ASCII here: the C locale's towupper is enough).
bool NamesOurExecutable(std::wstring_view path) {
  const std::size_t folderEnd = path.find_last_of(L"\\/");
  const std::wstring_view fileName = folderEnd == std::wstring_view::npos ? path : path.substr(folderEnd + 1);
  return std::equal(fileName.begin(), fileName.end(), kExecutableFileName.begin(), kExecutableFileName.end(),
                    [](wchar_t a, wchar_t b) { return std::towupper(a) == std::towupper(b); });
}

// Whether the source key's EventMessageFile is a string naming the executable.
LSTATUS ReadOwner(HKEY key, SourceKeyOwner& owner) {
  DWORD type = REG_NONE;
  DWORD bytes = 0;
  LSTATUS status = os::RegQueryValueExW(key, kMessageFileValue, nullptr, &type, nullptr, &bytes);
  owner = SourceKeyOwner::kAnotherProgram;
  if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ))
    return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  std::vector<WCHAR> path(bytes / sizeof(WCHAR) + 1, L'\0');  // room for a terminator a writer left out
  status = os::RegQueryValueExW(key, kMessageFileValue, nullptr, &type, reinterpret_cast<LPBYTE>(path.data()), &bytes);
  if (status != ERROR_SUCCESS) return status;
  if (NamesOurExecutable(path.data())) owner = SourceKeyOwner::kUs;
  return ERROR_SUCCESS;
}

// Whose the source's key is; a look that failed gives its operation and status.
LSTATUS FindOwner(LPCWSTR pszSourceKey, SourceKeyOwner& owner, LPCWSTR& failedOperation) {
  UniqueRegKey key;
  failedOperation = L"RegOpenKeyExW";
  LSTATUS status = os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszSourceKey, 0, KEY_QUERY_VALUE, key.Put());
  if (status == ERROR_FILE_NOT_FOUND) {
    owner = SourceKeyOwner::kNobody;
    return ERROR_SUCCESS;
  }
  if (status != ERROR_SUCCESS) return status;
  failedOperation = L"RegQueryValueExW(EventMessageFile)";
  return ReadOwner(key.Get(), owner);
}

// The first failing operation and its status; ERROR_SUCCESS when all went through.
LSTATUS WriteRegistration(LPCWSTR pszSourceKey, LPCWSTR pszExecutablePath, LPCWSTR& failedOperation) {
  UniqueRegKey key;
  failedOperation = L"RegCreateKeyExW";
  LSTATUS status = os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, pszSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_SET_VALUE, nullptr, key.Put(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  failedOperation = L"RegSetValueExW(EventMessageFile)";
  const DWORD pathBytes = static_cast<DWORD>((std::wcslen(pszExecutablePath) + 1) * sizeof(WCHAR));
  status = os::RegSetValueExW(key.Get(), kMessageFileValue, 0, REG_EXPAND_SZ,
                              reinterpret_cast<const BYTE*>(pszExecutablePath), pathBytes);
  if (status != ERROR_SUCCESS) return status;
  failedOperation = L"RegSetValueExW(TypesSupported)";
  const DWORD types = kEventTypesSupported;
  return os::RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof types);
}

// Logs a source left as it was: its key is another program's, or an
// operation failed.
void LogIfLeft(LPCWSTR pszSource, LPCWSTR pszNotDone, SourceKeyOwner owner, LPCWSTR failedOperation,
               LSTATUS status) {
  if (status != ERROR_SUCCESS)
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Event source %s not %s, %s failed w/err 0x%.8X", pszSource,
                 pszNotDone, failedOperation, static_cast<DWORD>(status));
  else if (owner == SourceKeyOwner::kAnotherProgram)
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Event source %s not %s, its key is another program's",
                 pszSource, pszNotDone);
}
}  // namespace

void RegisterEventSources(LPCWSTR pszExecutablePath) {
  for (LPCWSTR source : kEventSources) {
    WCHAR path[kSourceKeyChars];
    SourceKeyPath(source, path);
    SourceKeyOwner owner = SourceKeyOwner::kNobody;
    LPCWSTR failedOperation = L"";
    LSTATUS status = FindOwner(path, owner, failedOperation);
    if (status == ERROR_SUCCESS && owner != SourceKeyOwner::kAnotherProgram)
      status = WriteRegistration(path, pszExecutablePath, failedOperation);
    LogIfLeft(source, L"registered", owner, failedOperation, status);
  }
}

void RemoveEventSources() {
  for (LPCWSTR source : kEventSources) {
    WCHAR path[kSourceKeyChars];
    SourceKeyPath(source, path);
    SourceKeyOwner owner = SourceKeyOwner::kNobody;
    LPCWSTR failedOperation = L"";
    LSTATUS status = FindOwner(path, owner, failedOperation);
    if (status == ERROR_SUCCESS && owner == SourceKeyOwner::kUs) {
      failedOperation = L"RegDeleteKeyW";
      status = os::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
      // Gone meanwhile is as good as deleted.
      if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    LogIfLeft(source, L"removed", owner, failedOperation, status);
  }
}
