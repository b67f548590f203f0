// Brings the sensor's SecureFingerprint device setting into line with the
// firmware's EssState, restarting the biometric service when it changed.
#pragma once

#include "platform/types.h"

// The firmware variable that says whether the SDEV table is loaded.
constexpr LPCWSTR kEssStateName = L"EssState";
constexpr LPCWSTR kEssStateVendorGuid = L"{E771C02B-6657-48FE-8547-52A656868F0F}";

enum class EssSyncOutcome {
  kDone,      // in line, or the sensor has no setting to bring into line
  kTryAgain,  // a failure that may pass decided nothing: the setting is as it was
};

EssSyncOutcome UpdateSecureFingerprintSetting(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDeviceInfoData);
