// Monitor start and stop: OnStart brings the worker up, OnStop takes it down,
// OnShutdown brings it to rest before the process ends.
#pragma once

#include "platform/sync.h"

// The worker thread; empty when its creation failed or after OnStop. Never
// destroyed: the system closes it with the process.
extern UniqueKernelHandle& g_hFpMainThread;

// How long OnStop waits for the worker to confirm that it has left its loop
// before it says so; it then waits on, reporting progress this often.
constexpr DWORD kWorkerStopWaitMs = 3000;
constexpr DWORD kStopProgressMs = 1000;
// How long a worker about to be terminated is given to finish a log step,
// how often that is looked at, and how long it is then given to end.
constexpr DWORD kSafePointWaitMs = 1000;
constexpr DWORD kSafePointPollMs = 250;
constexpr DWORD kWorkerEndWaitMs = 3000;
// At shutdown the worker gets this long to leave by itself before it is
// terminated, so that STOPPED comes within 5 s of the control.
constexpr DWORD kShutdownWorkerWaitMs = 3000;
