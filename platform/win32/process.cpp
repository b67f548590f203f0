#include "platform/process.h"

#include <cstdio>
#include <cwchar>

namespace os {
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD dwErrCode) { ::SetLastError(dwErrCode); }
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  return ::GetModuleFileNameW(hModule, lpFilename, nSize);
}
BOOL SetDefaultDllDirectories(DWORD DirectoryFlags) { return ::SetDefaultDllDirectories(DirectoryFlags); }
void ExitProcess(UINT uExitCode) { ::ExitProcess(uExitCode); }
UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) { return ::GetSystemDirectoryW(lpBuffer, uSize); }
BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) {
  return ::CreateProcessW(lpApplicationName, lpCommandLine, lpProcessAttributes, lpThreadAttributes, bInheritHandles,
                          dwCreationFlags, lpEnvironment, lpCurrentDirectory, lpStartupInfo, lpProcessInformation);
}
// libstdc++ switches mingw's printf family to C99 conventions (%s narrow), so
// the text is formatted by the CRT's own _vsnwprintf, where %s is wide.
int vwprintf(const wchar_t* Format, va_list Args) {
  wchar_t text[kConsoleTextChars + 1];
  int length = ::_vsnwprintf(text, kConsoleTextChars, Format, Args);
  text[kConsoleTextChars] = L'\0';
  ::fputws(text, stdout);
  ::fflush(stdout);
  return length;
}
}  // namespace os
