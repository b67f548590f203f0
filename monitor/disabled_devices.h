// The devices the recovery has disabled and not yet enabled again. Kept in the
// registry, because a disable is global and outlives the process: a recovery
// cut by a crash, a power loss or a forced termination is finished by the next
// check, in this run or after the next start. A device a person disabled is
// never in it, so it is left alone.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

// Under HKEY_LOCAL_MACHINE, beside the settings; one REG_MULTI_SZ value of
// device instance IDs.
constexpr LPCWSTR kRecoveryKeyPath = L"System\\CurrentControlSet\\Control\\ZefoFP\\Recovery";
constexpr LPCWSTR kDisabledDevicesValue = L"DisabledDevices";

// Written before the disable step; false when it could not be written.
bool RecordDisabledDevice(const std::wstring& instanceId);
// After a successful enable.
void ForgetDisabledDevice(const std::wstring& instanceId);
std::vector<std::wstring> DevicesDisabledByService();
