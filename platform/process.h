// The process: its module path, last-error code, console output, and the
// programs it starts.
#pragma once
#include <cstdarg>
#include "platform/types.h"

namespace os {
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
// Where the process looks for a DLL it loads by name from now on.
BOOL SetDefaultDllDirectories(DWORD DirectoryFlags);
// Ends the process: its other threads run no more code.
[[noreturn]] void ExitProcess(UINT uExitCode);
// Wide formatted text on standard output, in the formatter's conventions;
// one call prints at most this many characters, in both builds.
constexpr int kConsoleTextChars = 1023;
int vwprintf(const wchar_t* Format, va_list Args);
UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation);
}  // namespace os
