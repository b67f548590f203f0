// Restarts of the biometric service (WbioSrvc), which reads SecureFingerprint
// only when it starts. The service never leaves it stopped by its own
// "sc stop": a start that did not take is owed and tried again.
#pragma once

#include <atomic>

// Process-wide state of the restarts, false and 0 in a fresh process.
extern std::atomic<bool> g_bDeferBiometricRestarts;  // set while the service starts
extern std::atomic<bool> g_bBiometricRestartPending;  // a restart put off by the start
extern std::atomic<bool> g_bBiometricStartOwed;       // a restart's start did not take
extern std::atomic<int> g_nBiometricRestartsRunning;

// Restarts the biometric service now, or once this service runs when a
// BiometricRestartDeferral is in force.
void RequestBiometricServiceRestart();

// While the service itself starts, the SCM holds its service lock until the
// start is over, and "sc start" would wait for a start that waits for it. A
// restart asked for meanwhile is only noted, and RunDeferredBiometricRestart
// runs it once the service runs.
class BiometricRestartDeferral {
 public:
  BiometricRestartDeferral();
  ~BiometricRestartDeferral();
  BiometricRestartDeferral(const BiometricRestartDeferral&) = delete;
  BiometricRestartDeferral& operator=(const BiometricRestartDeferral&) = delete;
};
void RunDeferredBiometricRestart();

// A start an earlier run owed (it ended between "sc stop" and a start that
// took) is owed by this one too.
void LoadOwedBiometricStart();
// True while a restart runs, on whichever thread.
bool BiometricRestartRunning();
// True when a restart's start did not take.
bool BiometricStartOwed();
// Starts the biometric service if a start is owed, trying as often as given.
void RunOwedBiometricStart(int attempts);
// How often a start is tried in one go, 1 s apart.
constexpr int kBiometricStartAttempts = 3;
// The longest one attempt takes: "sc start" waited for, then the service
// given as long to leave STOPPED.
constexpr unsigned long kBiometricStartAttemptMs = 40000;
