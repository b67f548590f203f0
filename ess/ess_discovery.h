// Finds the match-on-chip sensor among the biometric devices by its product
// code and hands each one found to UpdateSecureFingerprintSetting.
#pragma once

#include <atomic>

// 0 until a sensor has been found since the service started; cleared by the
// monitor's start, read by the polling worker.
extern std::atomic<int> g_bEssDeviceFound;

void CheckEssUEFIValue();
