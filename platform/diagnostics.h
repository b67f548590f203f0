// Diagnostics: event log, debugger output, local time, classic event tracing
// and the message formatter.
#pragma once
#include <cstdarg>
#include "platform/types.h"
#include "platform/unique_handle.h"

namespace os {
HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData);
BOOL DeregisterEventSource(HANDLE hEventLog);

void OutputDebugStringW(LPCWSTR lpOutputString);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle);
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle);
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle);
// Arguments after MessageNumber: (address, length) pairs, ended by a null address.
ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...);

// The C runtime's wide formatter in Microsoft's conventions (%s is a wide
// string): writes at most Count characters; when the text does not fit it
// returns -1 and the buffer holds no terminator.
int _vsnwprintf(wchar_t* Dest, size_t Count, const wchar_t* Format, va_list Args);
}  // namespace os

using UniqueEventSource = UniqueHandle<HANDLE, &os::DeregisterEventSource>;
