// Power-setting notifications for a service.
#pragma once
#include "platform/types.h"
#include "platform/unique_handle.h"

namespace os {
HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE hRecipient, LPCGUID PowerSettingGuid, DWORD Flags);
BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY Handle);
}  // namespace os

using UniquePowerNotify = UniqueHandle<HPOWERNOTIFY, &os::UnregisterPowerSettingNotification>;
