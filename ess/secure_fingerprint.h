// Brings the sensor's SecureFingerprint device setting into line with the
// firmware's EssState, restarting the biometric service when it changed.
#pragma once

#include "platform/types.h"

void UpdateSecureFingerprintSetting(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDeviceInfoData);
