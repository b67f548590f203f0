#include "platform/diagnostics.h"

#include <cstdio>

namespace os {
HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  return ::RegisterEventSourceW(lpUNCServerName, lpSourceName);
}
BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
  return ::ReportEventW(hEventLog, wType, wCategory, dwEventID, lpUserSid, wNumStrings, dwDataSize, lpStrings,
                        lpRawData);
}
BOOL DeregisterEventSource(HANDLE hEventLog) { return ::DeregisterEventSource(hEventLog); }
void OutputDebugStringW(LPCWSTR lpOutputString) { ::OutputDebugStringW(lpOutputString); }
void GetLocalTime(LPSYSTEMTIME lpSystemTime) { ::GetLocalTime(lpSystemTime); }

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle) {
  return ::RegisterTraceGuidsW(RequestAddress, RequestContext, ControlGuid, GuidCount, TraceGuidReg, MofImagePath,
                               MofResourceName, RegistrationHandle);
}
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) { return ::UnregisterTraceGuids(RegistrationHandle); }
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer) { return ::GetTraceLoggerHandle(Buffer); }
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle) { return ::GetTraceEnableLevel(TraceHandle); }
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle) { return ::GetTraceEnableFlags(TraceHandle); }
ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...) {
  va_list args;
  va_start(args, MessageNumber);
  ULONG result = ::TraceMessageVa(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, args);
  va_end(args);
  return result;
}

int _vsnwprintf(wchar_t* Dest, size_t Count, const wchar_t* Format, va_list Args) {
  return ::_vsnwprintf(Dest, Count, Format, Args);
}
}  // namespace os
