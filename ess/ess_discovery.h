// Finds the match-on-chip sensor among the biometric devices by its product
// code and hands each one found to UpdateSecureFingerprintSetting.
#pragma once

#include <atomic>

// 0 until a sensor has been found and its sync finished since the service
// started; cleared by the monitor's start, read by the polling worker.
extern std::atomic<int> g_bEssDeviceFound;
// True while a sensor's sync was cut short by a failure that may pass; the
// polling worker then runs the check again at its next loop.
extern std::atomic<bool> g_bEssSyncOwed;

void CheckEssUEFIValue();
