// Parts of a thread's work that a forced termination must not cut: a log step
// (it may hold runtime locks), or a recovery between disabling and re-enabling
// the sensor (it would leave the sensor disabled).
//
// Only a thread marked terminable is guarded. Once the gate is closed, such a
// thread that tries to enter a guarded part parks there for good, so that the
// stopper can terminate it; a thread already inside finishes its part first.
#pragma once

// Called by the thread that the stop procedure may terminate by force.
void MarkThreadTerminable();

class TerminationGuard {
 public:
  TerminationGuard();
  ~TerminationGuard();
  TerminationGuard(const TerminationGuard&) = delete;
  TerminationGuard& operator=(const TerminationGuard&) = delete;
};

// Opened at each start of the monitor.
void OpenTerminationGate();
// Closed by the stop procedure before it terminates a thread.
void CloseTerminationGate();
// True once the gate is closed and no terminable thread is inside a guarded part.
bool SafeToTerminate();
