#include "service/event_sources.h"

#include <cwchar>

#include "diag/logging.h"
#include "platform/registry.h"

namespace {
constexpr LPCWSTR kEventSources[] = {kServiceLogSource, kDebugLogSource};
// The Application log's key, a backslash, the source name, the terminator.
constexpr std::size_t kSourceKeyChars = 128;

void SourceKeyPath(LPCWSTR pszSource, WCHAR (&path)[kSourceKeyChars]) {
  FormatInto(path, kSourceKeyChars, L"%s\\%s", kApplicationLogKeyPath, pszSource);
}

// The first failing operation and its status; ERROR_SUCCESS when all went through.
LSTATUS WriteRegistration(LPCWSTR pszSource, LPCWSTR pszExecutablePath, LPCWSTR& failedOperation) {
  WCHAR path[kSourceKeyChars];
  SourceKeyPath(pszSource, path);
  UniqueRegKey key;
  failedOperation = L"RegCreateKeyExW";
  LSTATUS status = os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                       nullptr, key.Put(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  failedOperation = L"RegSetValueExW(EventMessageFile)";
  const DWORD pathBytes = static_cast<DWORD>((std::wcslen(pszExecutablePath) + 1) * sizeof(WCHAR));
  status = os::RegSetValueExW(key.Get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                              reinterpret_cast<const BYTE*>(pszExecutablePath), pathBytes);
  if (status != ERROR_SUCCESS) return status;
  failedOperation = L"RegSetValueExW(TypesSupported)";
  const DWORD types = kEventTypesSupported;
  return os::RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof types);
}
}  // namespace

void RegisterEventSources(LPCWSTR pszExecutablePath) {
  for (LPCWSTR source : kEventSources) {
    LPCWSTR failedOperation = L"";
    LSTATUS status = WriteRegistration(source, pszExecutablePath, failedOperation);
    if (status != ERROR_SUCCESS)
      LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Event source %s not registered, %s failed w/err 0x%.8X",
                   source, failedOperation, static_cast<DWORD>(status));
  }
}

void RemoveEventSources() {
  for (LPCWSTR source : kEventSources) {
    WCHAR path[kSourceKeyChars];
    SourceKeyPath(source, path);
    LSTATUS status = os::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
      LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Event source %s not removed, RegDeleteKeyW failed w/err 0x%.8X",
                   source, static_cast<DWORD>(status));
  }
}
