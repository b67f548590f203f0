// The product's process-wide state as a fresh process has it. The simulated
// machine runs each service process in this one host process, so whatever
// starts a service process on it (a test, the scenario runner) resets
// through here first, and a test resets after it too, so that no process
// leaves state to the next.
#pragma once

void ResetProcessState();
