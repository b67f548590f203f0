// Monitor start and stop: OnStart brings the worker up, OnStop takes it down,
// OnShutdown brings it to rest before the process ends.
#pragma once

#include "platform/sync.h"

// The worker thread; empty when its creation failed or after OnStop. Never
// destroyed: the system closes it with the process.
extern UniqueKernelHandle& g_hFpMainThread;

// How long OnStop gives the worker to confirm that it has left its loop.
constexpr DWORD kWorkerStopWaitMs = 3000;
// How long, past that, a worker inside a part that must not be cut (see
// TerminationGuard) is given to leave it, and how often the stop reports its
// progress meanwhile. The longest such part is the restart of the biometric
// service: "sc stop" waited for at most 20 s, the 500 ms pause, "sc start".
constexpr DWORD kSafePointWaitMs = 21000;
constexpr DWORD kSafePointPollMs = 250;
// How long a terminated worker is given to end.
constexpr DWORD kWorkerEndWaitMs = 3000;
// So the stop handler returns within 3 + 21 + 3 s, inside the 30 s the SCM
// waits for a handler.

// At shutdown the system gives services about 20 s in all; the worker gets
// this long to finish a part that must not be cut.
constexpr DWORD kShutdownSafePointWaitMs = 5000;
