#include "monitor/polling_worker.h"

#include <algorithm>

#include "diag/logging.h"
#include "diag/settings.h"
#include "diag/termination_guard.h"
#include "ess/ess_discovery.h"
#include "monitor/device_check.h"
#include "monitor/device_recovery.h"
#include "service/service_base.h"

UniqueKernelHandle g_hServiceStopEvent;
UniqueKernelHandle g_hTerminateThreadEvent;
UniqueKernelHandle g_hDriverAttachEvent;

namespace {
constexpr LPCWSTR kServiceVersion = L"ZEFO MOC Service v5.2.12011.20006 (2024.06.11)";

// Any process may wait on the driver-attach event and set it; only SYSTEM and
// Administrators may do more (change its security, take ownership).
constexpr LPCWSTR kDriverAttachSecurity = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100002;;;WD)";

enum WaitPosition : DWORD { kStopEvent = 0, kCheckNowEvent = 1, kDriverAttachEvent = 2 };

HANDLE CreateDriverAttachEvent() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!os::ConvertStringSecurityDescriptorToSecurityDescriptorW(kDriverAttachSecurity, SDDL_REVISION_1, &descriptor,
                                                                nullptr))
    return nullptr;
  UniqueLocalMemory descriptorMemory(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  return os::CreateEventW(&attributes, FALSE, FALSE, L"Global\\DriverAttach");
}

void CheckSensorHealth() {
  ULONG ulProblemCode = 0;
  if (CheckYellowBang(&ulProblemCode) != kYellowBangFound) return;
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] WBF yellow band happened, Check ProblemCode...");
  if (ulProblemCode == CM_PROB_FAILED_ADD || ulProblemCode == CM_PROB_FAILED_POST_START) {
    LogFormatted(EVENTLOG_INFORMATION_TYPE,
                 L"[ZEFO Service] YB error code 31 or 43 is found, do the recovery mechanism...");
    RecoverZEFOFPDevice();
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Recovery mechanism is done ");
  } else {
    LogFormatted(EVENTLOG_INFORMATION_TYPE,
                 L"[ZEFO Service] Other YB error code, not do the recovery mechanism...");
  }
}
}  // namespace

DWORD PollingPeriodMs() { return std::min(g_dwServicePollingTime.load(), kMaxServicePollingTime) * 60000; }

DWORD WINAPI PollingFPStatusThread(LPVOID) {
  MarkThreadTerminable();
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter PollingFPStatusThread");
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Polling FP Status(wait for %d s)",
               static_cast<int>(PollingPeriodMs() / 1000));
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] SERVICE_VERSION =  %s", kServiceVersion);
  g_hDriverAttachEvent = UniqueKernelHandle(CreateDriverAttachEvent());

  for (;;) {
    LoadOtherSetting();
    CheckSensorHealth();

    const HANDLE handles[] = {g_hServiceStopEvent.Get(), g_hCheckYBEvent.load(), g_hDriverAttachEvent.Get()};
    DWORD result = os::WaitForMultipleObjects(3, handles, FALSE, PollingPeriodMs());
    if (result == WAIT_OBJECT_0 + kStopEvent) {
      LogFormatted(EVENTLOG_INFORMATION_TYPE,
                   L"[ZEFO Service] OnServiceStopEvent trigger, exit the PollingFPStatusThread!!!");
      break;
    }
    if (result == WAIT_OBJECT_0 + kCheckNowEvent) {
      os::ResetEvent(handles[kCheckNowEvent]);
    } else if (result == WAIT_OBJECT_0 + kDriverAttachEvent) {
      os::ResetEvent(handles[kDriverAttachEvent]);
      if (g_bEssDeviceFound == 0) {
        LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] DriverExistEvent trigger, Run CheckEssUEFIValue... ");
        CheckEssUEFIValue();
      }
    } else if (result != WAIT_TIMEOUT) {
      LogFormatted(EVENTLOG_INFORMATION_TYPE,
                   L"[ZEFO Service] WaitForSingleObject error (EventTriggerCode = %d), exit the "
                   L"PollingFPStatusThread!!!",
                   static_cast<int>(result));
      break;
    }
  }

  g_hDriverAttachEvent.Close();
  os::SetEvent(g_hTerminateThreadEvent.Get());
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Exit PollingFPStatusThread");
  return 0;
}
