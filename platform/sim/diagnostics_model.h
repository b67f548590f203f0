// What the machine shows of a program's diagnostics: event log entries,
// debugger output and trace sessions.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/kernel.h"

namespace sim {

struct EventLogEntry : Stamp {
  std::wstring source;  // the event source the entry was reported through
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  bool hasUserSid = false;
  std::vector<std::wstring> strings;
  DWORD dataSize = 0;
};

struct DebugLine : Stamp {
  std::wstring text;
};

struct TraceRecord : Stamp {
  TRACEHANDLE logger = 0;
  ULONG flags = 0;
  GUID messageGuid{};
  USHORT number = 0;
  std::vector<std::vector<BYTE>> args;  // each (address, length) pair's bytes
};

class EventSource : public Object {
 public:
  explicit EventSource(std::wstring sourceName) : name(std::move(sourceName)) {}
  const char* Kind() const override { return "event source"; }
  std::wstring name;
};

// What the tracing platform hands the provider's callback with an enable
// request; GetTraceLoggerHandle reads the logger handle from it.
struct TraceRequestBuffer {
  TRACEHANDLE logger = 0;
};

struct TraceProviderRegistration {
  bool registered = false;
  WMIDPREQUEST callback = nullptr;
  PVOID context = nullptr;
  GUID controlGuid{};
  TRACEHANDLE handle = 0;
};

struct TraceSession {
  TRACEHANDLE logger = 0;
  UCHAR level = 0;
  ULONG flags = 0;
  bool active = false;
};

class DiagnosticsModel {
 public:
  explicit DiagnosticsModel(Kernel& kernel);

  // Local time at machine time 0; the clock adds to it.
  void SetLocalTime(const SYSTEMTIME& start);
  SYSTEMTIME LocalTimeAt(std::uint64_t ms) const;  // lock held

  // A trace logger enables the registered provider (request 4) or disables it
  // (request 5); the provider's callback runs on the calling thread. Returns
  // the callback's status, or ERROR_WMI_GUID_NOT_FOUND when no provider is
  // registered. bufferSize receives what the callback left in its size
  // argument.
  ULONG EnableTrace(UCHAR level, ULONG flags, ULONG* bufferSize = nullptr);
  ULONG DisableTrace(ULONG* bufferSize = nullptr);
  ULONG SendTraceRequest(WMIDPREQUESTCODE code, ULONG* bufferSize = nullptr);
  bool ProviderRegistered() const;

  std::vector<EventLogEntry> EventLog() const;
  std::vector<DebugLine> DebugLines() const;
  std::vector<TraceRecord> TraceMessages() const;
  int OpenEventSources() const;

  // Platform side, lock held.
  BoundedLog<EventLogEntry> eventLog;
  BoundedLog<DebugLine> debugLines;
  BoundedLog<TraceRecord> traceMessages;
  TraceProviderRegistration provider;
  std::vector<TraceSession> sessions;
  int openEventSources = 0;
  TRACEHANDLE nextTraceHandle = 0x10000;

 private:
  ULONG CallProvider(WMIDPREQUESTCODE code, TRACEHANDLE logger, ULONG* bufferSize);
  Kernel& kernel_;
  std::int64_t startMs_;  // local time at machine time 0, ms since 1970
};

}  // namespace sim
