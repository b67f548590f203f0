#include "monitor/polling_worker.h"

#include <algorithm>
#include <optional>
#include <string>

#include "diag/logging.h"
#include "diag/security_judge.h"
#include "diag/settings.h"
#include "diag/termination_guard.h"
#include "ess/biometric_service.h"
#include "ess/ess_discovery.h"
#include "monitor/device_check.h"
#include "monitor/device_recovery.h"
#include "platform/process.h"
#include "service/service_base.h"

NamedEventSlot g_hServiceStopEvent{L"pOnServiceStopEvent", TRUE};
NamedEventSlot g_hTerminateThreadEvent{L"pTerminateThreadEvent", TRUE};
UniqueKernelHandle& g_hDriverAttachEvent = *new UniqueKernelHandle;

namespace {
constexpr LPCWSTR kServiceVersion = L"ZEFO MOC Service v5.2.12011.20006 (2024.06.11)";

// Any process may set the driver-attach event (EVENT_MODIFY_STATE), none may
// wait on it: a wait on an auto-reset event takes the signal meant for the
// worker. Only SYSTEM and Administrators may do more.
constexpr LPCWSTR kDriverAttachSecurity = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00000002;;;WD)";

// A check the control handler asks for comes this long after its signal; the
// signals that come meanwhile are taken with it.
constexpr DWORD kCheckNowPauseMs = 1000;
// A recovery that an event (rather than the polling period) led to comes at
// most this often: anyone may set Global\DriverAttach, and a flood of it
// must not disable the sensors again and again.
constexpr ULONGLONG kEventRecoveryIntervalMs = 60000;

enum WaitPosition : DWORD { kStopEvent = 0, kCheckNowEvent = 1, kDriverAttachEvent = 2, kWaitPositions = 3 };

HANDLE CreateDriverAttachEvent() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!os::ConvertStringSecurityDescriptorToSecurityDescriptorW(kDriverAttachSecurity, SDDL_REVISION_1, &descriptor,
                                                                nullptr))
    return nullptr;
  UniqueLocalMemory descriptorMemory(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  return os::CreateEventW(&attributes, FALSE, FALSE, L"Global\\DriverAttach");
}

void LogMissingEvent(LPCWSTR name) {
  LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Create %s fail, GetLastError = 0x%.8X, wait without it", name,
               os::GetLastError());
}

// Why an event of the name that another process made first is not joined;
// empty when SYSTEM or Administrators made it (the driver's side may come
// first). Any other maker keeps what an owner may always do, WRITE_DAC: it
// could wait on the event and take the driver's signal, or set it at will.
std::wstring WhyDriverAttachIsNotJoined(HANDLE event) {
  WCHAR message[kLogMessageChars];
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = os::GetSecurityInfo(event, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &descriptor);
  UniqueLocalMemory descriptorMemory(descriptor);
  const auto text = error == ERROR_SUCCESS ? SecurityDescriptorText(descriptor, OWNER_SECURITY_INFORMATION)
                                           : std::optional<std::wstring>();
  if (error == ERROR_SUCCESS && !text) error = os::GetLastError();
  if (error != ERROR_SUCCESS) {
    FormatInto(message, kLogMessageChars,
               L"[ZEFO Service] Global\\DriverAttach was made by another process whose owner cannot be read "
               L"(0x%.8X): not joined, wait without it",
               error);
    return message;
  }
  const auto security = ParseSecurityText(*text);
  const std::optional<std::wstring> owner = security ? security->owner : std::nullopt;
  if (owner && IsTrustedAccount(*owner)) return {};
  FormatInto(message, kLogMessageChars,
             L"[ZEFO Service] Global\\DriverAttach was made by %s, not by SYSTEM or Administrators: not joined, "
             L"wait without it",
             owner ? AccountText(*owner).c_str() : L"no owner");
  return message;
}

// Global\DriverAttach, made by the worker, or joined when the driver's side
// made it first. What stands under the name otherwise is refused, and the
// refusal logged once until it changes: the worker tries again at every loop.
class DriverAttachEvent {
 public:
  HANDLE MakeIfMissing() {
    if (g_hDriverAttachEvent) return g_hDriverAttachEvent.Get();
    UniqueKernelHandle event(CreateDriverAttachEvent());
    std::wstring refusal;
    if (!event && os::GetLastError() == ERROR_INVALID_HANDLE) {
      refusal = L"[ZEFO Service] Global\\DriverAttach is another kind of object, made by another process: not "
                L"joined, wait without it";
    } else if (!event) {
      LogMissingEvent(L"Global\\DriverAttach");
      return nullptr;
    } else if (os::GetLastError() == ERROR_ALREADY_EXISTS) {
      refusal = WhyDriverAttachIsNotJoined(event.Get());
    }
    if (refusal.empty()) {
      lastRefusal_.clear();
      g_hDriverAttachEvent = std::move(event);
      return g_hDriverAttachEvent.Get();
    }
    if (refusal != lastRefusal_) LogFormatted(EVENTLOG_ERROR_TYPE, L"%s", refusal.c_str());
    lastRefusal_ = refusal;
    return nullptr;
  }

 private:
  std::wstring lastRefusal_;
};

// The events the worker waits on, in priority order. One that is missing
// (its creation failed, here or elsewhere) is made again at every loop;
// meanwhile the worker waits on the others, or only for the polling period.
class WaitEvents {
 public:
  void MakeMissing() {
    handles_[kStopEvent] = MakeShared(g_hServiceStopEvent);
    handles_[kCheckNowEvent] = MakeShared(g_hCheckYBEvent);
    handles_[kDriverAttachEvent] = driverAttach_.MakeIfMissing();
  }

  // The position of the event that ended the wait, WAIT_TIMEOUT, or the
  // failed wait's result.
  DWORD Wait(DWORD dwMilliseconds) const {
    HANDLE present[kWaitPositions];
    DWORD positions[kWaitPositions];
    DWORD count = 0;
    for (DWORD position = 0; position < kWaitPositions; ++position) {
      if (handles_[position] == nullptr) continue;
      present[count] = handles_[position];
      positions[count++] = position;
    }
    if (count == 0) {
      os::Sleep(dwMilliseconds);
      return WAIT_TIMEOUT;
    }
    const DWORD result = os::WaitForMultipleObjects(count, present, FALSE, dwMilliseconds);
    return result < WAIT_OBJECT_0 + count ? WAIT_OBJECT_0 + positions[result - WAIT_OBJECT_0] : result;
  }

  HANDLE Get(WaitPosition position) const { return handles_[position]; }

  // Waits this long unless a stop comes first; true on a stop.
  bool PauseUnlessStopped(DWORD dwMilliseconds) const {
    if (handles_[kStopEvent] == nullptr) {
      os::Sleep(dwMilliseconds);
      return StopRequested();
    }
    return os::WaitForSingleObject(handles_[kStopEvent], dwMilliseconds) == WAIT_OBJECT_0 || StopRequested();
  }

 private:
  static HANDLE MakeShared(NamedEventSlot& slot) {
    HANDLE handle = slot.GetOrCreate();
    if (handle == nullptr) LogMissingEvent(slot.Name());
    return handle;
  }

  HANDLE handles_[kWaitPositions] = {};
  DriverAttachEvent driverAttach_;
};

// When the last recovery ran, to space the ones events lead to.
class RecoveryPacing {
 public:
  bool Allows(bool askedByEvent) const {
    return !askedByEvent || !lastAt_ || os::GetTickCount64() - *lastAt_ >= kEventRecoveryIntervalMs;
  }
  void Ran() { lastAt_ = os::GetTickCount64(); }

 private:
  std::optional<ULONGLONG> lastAt_;
};

void CheckSensorHealth(bool askedByEvent, RecoveryPacing& pacing) {
  ULONG ulProblemCode = 0;
  if (CheckYellowBang(&ulProblemCode) != kYellowBangFound) return;
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] WBF yellow band happened, Check ProblemCode...");
  if (ulProblemCode == CM_PROB_FAILED_ADD || ulProblemCode == CM_PROB_FAILED_POST_START) {
    LogFormatted(EVENTLOG_INFORMATION_TYPE,
                 L"[ZEFO Service] YB error code 31 or 43 is found, do the recovery mechanism...");
    if (!pacing.Allows(askedByEvent)) {
      LogFormatted(EVENTLOG_WARNING_TYPE,
                   L"[ZEFO Service] Recovered less than a minute ago, not again before the next polling check");
      return;
    }
    pacing.Ran();
    RecoverZEFOFPDevice();
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Recovery mechanism is done ");
  } else {
    LogFormatted(EVENTLOG_INFORMATION_TYPE,
                 L"[ZEFO Service] Other YB error code, not do the recovery mechanism...");
  }
}
}  // namespace

std::atomic<bool> g_bStopRequested{false};

bool StopRequested() { return g_bStopRequested.load(); }

DWORD PollingPeriodMs() { return std::min(g_dwServicePollingTime.load(), kMaxServicePollingTime) * 60000; }

DWORD WINAPI PollingFPStatusThread(LPVOID) {
  MarkThreadTerminable();
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter PollingFPStatusThread");
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Polling FP Status(wait for %d s)",
               static_cast<int>(PollingPeriodMs() / 1000));
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] SERVICE_VERSION =  %s", kServiceVersion);
  WaitEvents events;
  RecoveryPacing pacing;
  bool askedByEvent = false;  // the first check comes with the start
  for (;;) {
    // First of all, and again while one is missing: the driver may signal as
    // soon as it loads, and no signal may be lost.
    events.MakeMissing();
    RunOwedBiometricStart(kBiometricStartAttempts);
    // A restart of the biometric service that the start had to put off.
    RunDeferredBiometricRestart();
    LoadOtherSetting();
    RestoreDevicesDisabledByService();
    // Once a stop is asked for, nothing new is begun.
    if (!StopRequested()) {
      if (g_bEssSyncOwed) CheckEssUEFIValue();
      CheckSensorHealth(askedByEvent, pacing);
    }

    DWORD result = events.Wait(PollingPeriodMs());
    // The handler's check comes a second after its signal: the signals that
    // come meanwhile are taken with it.
    if (result == WAIT_OBJECT_0 + kCheckNowEvent && events.PauseUnlessStopped(kCheckNowPauseMs))
      result = WAIT_OBJECT_0 + kStopEvent;
    // Without its event, a stop is seen at the next wake-up.
    if (result == WAIT_OBJECT_0 + kStopEvent || StopRequested()) {
      LogFormatted(EVENTLOG_INFORMATION_TYPE,
                   L"[ZEFO Service] OnServiceStopEvent trigger, exit the PollingFPStatusThread!!!");
      break;
    }
    askedByEvent = result != WAIT_TIMEOUT;
    if (result == WAIT_OBJECT_0 + kCheckNowEvent) {
      os::ResetEvent(events.Get(kCheckNowEvent));
    } else if (result == WAIT_OBJECT_0 + kDriverAttachEvent) {
      os::ResetEvent(events.Get(kDriverAttachEvent));
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

  // Leaving: one more try at what the service owes the machine.
  RestoreDevicesDisabledByService();
  RunOwedBiometricStart(1);

  g_hDriverAttachEvent.Close();
  // The last line goes out before the stop is told the worker is done: once
  // told, the stop reports STOPPED and the process may end under the line.
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Exit PollingFPStatusThread");
  os::SetEvent(g_hTerminateThreadEvent.GetOrCreate());
  return 0;
}
