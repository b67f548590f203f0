// The control handler: lifecycle requests, and the power-setting and session
// events that make the polling worker check the sensor at once.
#pragma once

#include "platform/types.h"

// {02731015-4510-4526-99E6-E5A17EBD1AEA}
constexpr GUID kGuidMonitorPowerOn = {0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};
// {6FE69556-704A-47A0-8F24-C28D936FDA47}
constexpr GUID kGuidConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
// {BA3E0F4D-B817-4094-A2D1-D56379E6A0F3}
constexpr GUID kGuidLidSwitchStateChange = {0xBA3E0F4D, 0xB817, 0x4094, {0xA2, 0xD1, 0xD5, 0x63, 0x79, 0xE6, 0xA0, 0xF3}};

DWORD WINAPI ServiceCtrlHandlerEx(DWORD dwCtrlCode, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext);
