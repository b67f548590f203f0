// The one path every report takes: event log entry, debugger line and trace
// message, gated by LOG_SWITCH.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>

#include "platform/types.h"

constexpr std::size_t kLogMessageChars = 256;  // terminator included
constexpr LPCWSTR kServiceLogSource = L"ZEFO/Service";
constexpr LPCWSTR kDebugLogSource = L"ZEFO / Debug";
// The event ID of every entry; the executable's message table
// (service/ZefoFpServiceMessages.mc) has its text under this same 32-bit ID.
constexpr DWORD kServiceEventId = 14000;

// Each thread formats into its own message buffer, so that concurrent log
// steps never overwrite one another's text and no lock is needed (a thread
// may be terminated anywhere).
extern thread_local WCHAR g_szLogMessage[kLogMessageChars];

// Formats into a fixed buffer of capacity characters, cutting the text to
// fit; always terminated, never written past its end.
void FormatInto(LPWSTR buffer, std::size_t capacity, LPCWSTR format, va_list args);
void FormatInto(LPWSTR buffer, std::size_t capacity, LPCWSTR format, ...);

// The shared log step: only when LOG_SWITCH is exactly 1.
void LogServiceMessage(LPCWSTR pszMessage, WORD wType, LPCWSTR pszSource = kServiceLogSource);
// Formats into g_szLogMessage, then the shared log step under "ZEFO/Service".
void LogFormatted(WORD wType, LPCWSTR format, ...);
// The same under another event source.
void LogFormattedAs(LPCWSTR pszSource, WORD wType, LPCWSTR format, ...);

// Severities of WriteDebugLog; every caller of the system passes kDebugInfo.
constexpr int kDebugError = 2;
constexpr int kDebugWarning = 1;
constexpr int kDebugInfo = 0;
// The timestamped debugger line and trace message: whenever LOG_SWITCH is not 0.
void WriteDebugLog(int severity, LPCWSTR format, ...);

// The classic trace provider.
struct TraceProvider {
  TraceProvider* next;
  std::atomic<TRACEHANDLE> registrationHandle;
  std::atomic<TRACEHANDLE> loggerHandle;
  UCHAR flagWordCount;
  std::atomic<UCHAR> enableLevel;
  USHORT options;
  std::atomic<ULONG> enableFlags;
  LPCGUID controlGuid;
};

extern const GUID kTraceControlGuid;  // {4E78A3C1-3F98-47E6-A3AA-D7BBFACC358F}
extern const GUID kTraceMessageGuid;  // {60C4D1E7-D069-ACDE-9109-2609356FA609}

void RegisterTraceProvider();
void UnregisterTraceProvider();
// Forgets the registration of a process that ended (the system ended it too).
void ForgetTraceProvider();
ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE RequestCode, PVOID Context, ULONG* BufferSize, PVOID Buffer);
void SendTraceMessage(TRACEHANDLE hLogger, USHORT usMessageNumber, const char* pszText);
