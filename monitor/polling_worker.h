// The polling worker: checks the sensor every polling period and whenever the
// check-now or driver-attach event is set.
#pragma once

#include <atomic>

#include "diag/named_event.h"
#include "platform/sync.h"
#include "platform/types.h"

// Made by OnStart, or by whichever side finds one missing; closed by OnStop.
extern NamedEventSlot g_hServiceStopEvent;      // "pOnServiceStopEvent": leave the loop
extern NamedEventSlot g_hTerminateThreadEvent;  // "pTerminateThreadEvent": the worker has left its loop
// Made by the worker (again at each loop while missing), released when it
// ends. Never destroyed: the system closes it with the process.
extern UniqueKernelHandle& g_hDriverAttachEvent;  // "Global\DriverAttach"

// Set by a stop, before its event, and false in a fresh process: the worker
// then starts nothing new and leaves at its next wake-up, even when the stop
// event could not be made.
extern std::atomic<bool> g_bStopRequested;
bool StopRequested();

// Longest polling period whose wait in milliseconds still fits 32 bits.
constexpr DWORD kMaxServicePollingTime = 71582;
// The wait between two checks, from the current setting.
DWORD PollingPeriodMs();

DWORD WINAPI PollingFPStatusThread(LPVOID lpParameter);
