// A forced termination of the worker is the last resort of a stop: only for a
// worker stuck in one platform call past that call's bound, or at shutdown,
// when the process ends within seconds anyway.
//
// What it must never cut is a log step: it may hold the C runtime's or the
// heap's locks, which the rest of the process still needs. Only a thread marked
// terminable is guarded. Once the gate is closed, such a thread that tries to
// enter a guarded part parks there for good, so that the stopper can
// terminate it; a thread already inside finishes its part first.
#pragma once

#include "platform/types.h"

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
// As a fresh process has it: the gate open, no thread guarded, no bounded call.
void ResetTerminationGuard();

// Around a platform call of the terminable thread that may never return (a
// class installer call, a wait for a program): how long it may take. A stop
// terminates the thread only while such a call has overrun its bound.
class BoundedCall {
 public:
  explicit BoundedCall(DWORD boundMs);
  ~BoundedCall();
  BoundedCall(const BoundedCall&) = delete;
  BoundedCall& operator=(const BoundedCall&) = delete;
};

// True while the terminable thread is inside a bounded call past its bound.
bool TerminableThreadOverdue();
