#include "platform/power.h"

namespace os {
HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE hRecipient, LPCGUID PowerSettingGuid, DWORD Flags) {
  return ::RegisterPowerSettingNotification(hRecipient, PowerSettingGuid, Flags);
}
BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY Handle) { return ::UnregisterPowerSettingNotification(Handle); }
}  // namespace os
