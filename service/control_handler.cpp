#include "service/control_handler.h"

#include <cstdint>
#include <cstring>

#include "diag/logging.h"
#include "platform/sync.h"
#include "service/service_base.h"

namespace {
// The worker checks a second after the signal (see PollingFPStatusThread):
// the handler never sleeps, since the SCM sends no other control to any
// service while it runs. Before the event exists the signal has no effect;
// the worker's first check covers it.
void SignalCheckNow() { os::SetEvent(g_hCheckYBEvent.Get()); }

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

void OnDisplayState(BYTE uData) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] GUID_CONSOLE_DISPLAY_STATE");
  LPCWSTR message = nullptr;
  switch (uData) {
    case 0:
      message = L"[ZEFO Service] uData == PowerMonitorOff";
      break;
    case 1:
      message = L"[ZEFO Service] uData == PowerMonitorOn";
      break;
    case 2:
      message = L"[ZEFO Service] uData == PowerMonitorDim";
      break;
    default:
      return;
  }
  LogFormatted(EVENTLOG_INFORMATION_TYPE, message);
  SignalCheckNow();
}

void OnLidSwitch(const POWERBROADCAST_SETTING& setting) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] GUID_LIDSWITCH_STATE_CHANGE");
  DWORD dwLidState = 0;
  std::memcpy(&dwLidState, setting.Data, sizeof dwLidState);
  LogFormatted(EVENTLOG_INFORMATION_TYPE,
               dwLidState == 1 ? L"[ZEFO Service] Lid open Captured" : L"[ZEFO Service] Lid close Captured");
  SignalCheckNow();
}

void OnPowerEvent(DWORD dwCtrlCode, DWORD dwEventType, LPVOID lpEventData) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] SERVICE_CONTROL_POWEREVENT");
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] dwCtrlCode = 0x%.8X", dwCtrlCode);
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] dwEventType = 0x%.8X", dwEventType);
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] lpEventData = 0x%.8X",
               static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(lpEventData)));
  if (dwEventType != PBT_POWERSETTINGCHANGE) {
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Unknown power State!!!");
    return;
  }
  const auto& setting = *static_cast<const POWERBROADCAST_SETTING*>(lpEventData);
  if (SameGuid(setting.PowerSetting, kGuidMonitorPowerOn)) {
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] GUID_MONITOR_POWER_ON, DataLength = %d",
                 static_cast<int>(setting.DataLength));
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] uData = %d", static_cast<int>(setting.Data[0]));
  } else if (SameGuid(setting.PowerSetting, kGuidConsoleDisplayState)) {
    OnDisplayState(setting.Data[0]);
  } else if (SameGuid(setting.PowerSetting, kGuidLidSwitchStateChange)) {
    OnLidSwitch(setting);
  } else {
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Unknown power setting!!!");
  }
}

void OnSessionChange(DWORD dwEventType) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx SESSIONCHANGE");
  LPCWSTR message = nullptr;
  switch (dwEventType) {
    case WTS_SESSION_LOGON:
      message = L"[ZEFO Service] WTS_SESSION_LOGON";
      break;
    case WTS_SESSION_LOGOFF:
      message = L"[ZEFO Service] WTS_SESSION_LOGOFF";
      break;
    case WTS_SESSION_LOCK:
      message = L"[ZEFO Service] WTS_SESSION_LOCK";
      break;
    case WTS_SESSION_UNLOCK:
      message = L"[ZEFO Service] WTS_SESSION_UNLOCK";
      break;
    default:
      return;
  }
  LogFormatted(EVENTLOG_INFORMATION_TYPE, message);
  SignalCheckNow();
}
}  // namespace

DWORD WINAPI ServiceCtrlHandlerEx(DWORD dwCtrlCode, DWORD dwEventType, LPVOID lpEventData, LPVOID) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter ServiceCtrlHandlerEx...");
  switch (dwCtrlCode) {
    case SERVICE_CONTROL_STOP:
      LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx Stop");
      s_service->Stop();
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx Pause");
      s_service->Pause();
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx Continue");
      s_service->Continue();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] SERVICE_CONTROL_INTERROGATE");
      return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
      LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx Shutdown");
      s_service->Shutdown();
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      OnPowerEvent(dwCtrlCode, dwEventType, lpEventData);
      return NO_ERROR;
    case SERVICE_CONTROL_SESSIONCHANGE:
      OnSessionChange(dwEventType);
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}
