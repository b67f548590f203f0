#include "diag/termination_guard.h"

#include <atomic>

#include "platform/sync.h"

namespace {
std::atomic<int> g_nGuardedThreads{0};
std::atomic<bool> g_bGateClosed{false};
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

void OpenTerminationGate() { g_bGateClosed.store(false); }
void CloseTerminationGate() { g_bGateClosed.store(true); }
bool SafeToTerminate() { return g_bGateClosed.load() && g_nGuardedThreads.load() == 0; }
