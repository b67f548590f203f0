// Brings the sensor's SecureFingerprint device setting into line with the
// firmware's EssState, restarting the biometric service when it changed.
#pragma once

#include "platform/types.h"

// The firmware variable that says whether the SDEV table is loaded.
constexpr LPCWSTR kEssStateName = L"EssState";
constexpr LPCWSTR kEssStateVendorGuid = L"{E771C02B-6657-48FE-8547-52A656868F0F}";

void UpdateSecureFingerprintSetting(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDeviceInfoData);

// While the service itself starts, the SCM holds its service lock until the
// start is over, and "sc start" would wait for a start that waits for it. A
// restart of the biometric service asked for meanwhile is only noted, and
// RunDeferredBiometricRestart runs it once the service runs.
class BiometricRestartDeferral {
 public:
  BiometricRestartDeferral();
  ~BiometricRestartDeferral();
  BiometricRestartDeferral(const BiometricRestartDeferral&) = delete;
  BiometricRestartDeferral& operator=(const BiometricRestartDeferral&) = delete;
};
void RunDeferredBiometricRestart();
