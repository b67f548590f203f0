// Monitor start and stop: OnStart brings the worker up, OnStop takes it down.
#pragma once

#include "platform/sync.h"

// The worker thread; empty when its creation failed or after OnStop.
extern UniqueKernelHandle g_hFpMainThread;

// How long OnStop gives the worker to confirm that it has left its loop.
constexpr DWORD kWorkerStopWaitMs = 3000;
// How long, past that, a worker inside a part that must not be cut (the
// recovery between disable and enable) is given to leave it, and how often
// the stop reports its progress meanwhile.
constexpr DWORD kSafePointWaitMs = 30000;
constexpr DWORD kSafePointPollMs = 250;
