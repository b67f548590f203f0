// The process: its module path, last-error code and console output.
#pragma once
#include <cstdarg>
#include "platform/types.h"

namespace os {
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
// Wide formatted text on standard output, in the formatter's conventions.
int vwprintf(const wchar_t* Format, va_list Args);
}  // namespace os
