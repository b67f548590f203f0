// The polling worker: checks the sensor every polling period and whenever the
// check-now or driver-attach event is set.
#pragma once

#include "platform/sync.h"
#include "platform/types.h"

// Created by OnStart, closed by OnStop.
extern UniqueKernelHandle g_hServiceStopEvent;      // "pOnServiceStopEvent": leave the loop
extern UniqueKernelHandle g_hTerminateThreadEvent;  // "pTerminateThreadEvent": the worker has left its loop
// Created by the worker, released when it ends.
extern UniqueKernelHandle g_hDriverAttachEvent;  // "Global\DriverAttach"

// Longest polling period whose wait in milliseconds still fits 32 bits.
constexpr DWORD kMaxServicePollingTime = 71582;
// The wait between two checks, from the current setting.
DWORD PollingPeriodMs();

DWORD WINAPI PollingFPStatusThread(LPVOID lpParameter);
