// The device problem check: does the fingerprint sensor's device node show a
// problem (a yellow bang)?
#pragma once

#include "devices/device_search.h"
#include "platform/types.h"

// Results of CheckYellowBang.
constexpr BYTE kYellowBangNone = 0;             // no problem, no sensor, or no biometric device
constexpr BYTE kYellowBangListFailed = 1;       // the device list was not built
constexpr BYTE kYellowBangFound = 2;            // the sensor has a problem; its code is in the out-value
constexpr BYTE kYellowBangStatusFailed = 3;     // the device-node status query failed
constexpr BYTE kYellowBangDescriptionFailed = 4;  // a device description was not read

// The health monitor recognises the sensor by "ZEFO" in its description.
bool IsZefoSensor(const DeviceMember& member);

// Looks at the first matching device only. *pulProblemCode is written only
// when the result is kYellowBangFound.
BYTE CheckYellowBang(PULONG pulProblemCode);
