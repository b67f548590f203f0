#include "diag/termination_guard.h"

#include <atomic>

#include "platform/sync.h"

namespace {
std::atomic<int> g_nGuardedThreads{0};
std::atomic<bool> g_bGateClosed{false};
// Tick count at which the terminable thread's current bounded call overruns;
// 0 outside such a call.
std::atomic<ULONGLONG> g_ullOverdueAt{0};
thread_local bool t_bTerminable = false;
thread_local int t_nGuardDepth = 0;
}  // namespace

void MarkThreadTerminable() { t_bTerminable = true; }

TerminationGuard::TerminationGuard() {
  if (!t_bTerminable || t_nGuardDepth++ > 0) return;
  // Announce first, then look at the gate: the stopper does the reverse, so
  // one of the two always sees the other.
  g_nGuardedThreads.fetch_add(1);
  if (g_bGateClosed.load()) {
    g_nGuardedThreads.fetch_sub(1);
    for (;;) os::Sleep(INFINITE);
  }
}

TerminationGuard::~TerminationGuard() {
  if (!t_bTerminable || --t_nGuardDepth > 0) return;
  g_nGuardedThreads.fetch_sub(1);
}

void OpenTerminationGate() {
  g_bGateClosed.store(false);
  g_ullOverdueAt.store(0);
}
void CloseTerminationGate() { g_bGateClosed.store(true); }
bool SafeToTerminate() { return g_bGateClosed.load() && g_nGuardedThreads.load() == 0; }

void ResetTerminationGuard() {
  OpenTerminationGate();
  g_nGuardedThreads.store(0);
}

BoundedCall::BoundedCall(DWORD boundMs) {
  if (t_bTerminable) g_ullOverdueAt.store(os::GetTickCount64() + boundMs);
}

BoundedCall::~BoundedCall() {
  if (t_bTerminable) g_ullOverdueAt.store(0);
}

bool TerminableThreadOverdue() {
  const ULONGLONG overdueAt = g_ullOverdueAt.load();
  return overdueAt != 0 && os::GetTickCount64() > overdueAt;
}
