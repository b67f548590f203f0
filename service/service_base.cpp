#include "service/service_base.h"

#include "diag/logging.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sync.h"
#include "service/control_handler.h"

CServiceBase* s_service = nullptr;
DWORD g_dwCheckPoint = 1;
NamedEventSlot g_hCheckYBEvent{L"pCheckYBEvent", TRUE};

namespace {
constexpr LifecycleStep kStartStep = {L"[ZEFO Service] Enter CServiceBase::Start error, Err = %d",
                                      L"[ZEFO Service] Enter CServiceBase::Start Fai to start!!!", EVENTLOG_ERROR_TYPE,
                                      SERVICE_STOPPED, true};
constexpr LifecycleStep kPauseStep = {L"[ZEFO Service] CServiceBase::Pause error, dwError = %d",
                                      L"[ZEFO Service] CServiceBase::Pause fail", EVENTLOG_INFORMATION_TYPE,
                                      SERVICE_RUNNING, false};
constexpr LifecycleStep kContinueStep = {L"[ZEFO Service] CServiceBase::Continue error, dwError = %d",
                                         L"[ZEFO Service] CServiceBase::Continue, Service failed to resume",
                                         EVENTLOG_INFORMATION_TYPE, SERVICE_PAUSED, false};
constexpr LifecycleStep kShutdownStep = {L"[ZEFO Service] CServiceBase::Shutdown error, dwError = %d",
                                         L"[ZEFO Service] CServiceBase::Shutdown fail", EVENTLOG_INFORMATION_TYPE,
                                         std::nullopt, false};

// Only the ServiceMain thread and the dispatcher thread report status, and
// neither is ever terminated, so a lock is safe here: it keeps the record and
// the checkpoint counter consistent when both report at once.
SRWLOCK g_statusLock = SRWLOCK_INIT;
}  // namespace

void ResetStatusRecord() {
  g_statusLock = SRWLOCK_INIT;
  g_dwCheckPoint = 1;
}

CServiceBase::CServiceBase(LPCWSTR pszServiceName)
    : m_pszServiceName(pszServiceName),
      m_dwStateBeforeStop(SERVICE_RUNNING),
      m_completion(nullptr),
      m_ServiceStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0},
      m_hServiceStatus(nullptr) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase Constructor...");
}

CServiceBase::~CServiceBase() {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase Destructor...");
}

BOOL CServiceBase::Run(CServiceBase& service) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::Run..");
  s_service = &service;
  SERVICE_TABLE_ENTRYW serviceTable[] = {{const_cast<LPWSTR>(service.m_pszServiceName), ServiceMain},
                                         {nullptr, nullptr}};
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] return StartServiceCtrlDispatcher(serviceTable)..");
  return os::StartServiceCtrlDispatcherW(serviceTable);
}

void WINAPI CServiceBase::ServiceMain(DWORD dwArgc, LPWSTR* pszArgv) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::ServiceMain...");
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Start RegisterServiceCtrlHandlerEx...");
  s_service->m_hServiceStatus =
      os::RegisterServiceCtrlHandlerExW(s_service->m_pszServiceName, ServiceCtrlHandlerEx, nullptr);
  if (s_service->m_hServiceStatus == nullptr) {
    // Without a status handle the service can never report STOPPED, so the
    // dispatcher would never return: end the process with the error instead.
    const DWORD dwError = os::GetLastError();
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] RegisterServiceCtrlHandlerEx fail, Error = 0x%.8X", dwError);
    os::ExitProcess(dwError);
  }

  g_hCheckYBEvent.GetOrCreate();
  const HANDLE recipient = reinterpret_cast<HANDLE>(s_service->m_hServiceStatus);
  s_service->m_hLidSwitchNotify = UniquePowerNotify(
      os::RegisterPowerSettingNotification(recipient, &kGuidLidSwitchStateChange, DEVICE_NOTIFY_SERVICE_HANDLE));
  s_service->m_hDisplayStateNotify = UniquePowerNotify(
      os::RegisterPowerSettingNotification(recipient, &kGuidConsoleDisplayState, DEVICE_NOTIFY_SERVICE_HANDLE));

  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Executing s_service->Start...");
  s_service->Start(dwArgc, pszArgv);
}

void CServiceBase::SetServiceStatusValues(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint) {
  ExclusiveLock guard(g_statusLock);
  m_ServiceStatus.dwCurrentState = dwCurrentState;
  m_ServiceStatus.dwWin32ExitCode = dwWin32ExitCode;
  m_ServiceStatus.dwWaitHint = dwWaitHint;
  m_ServiceStatus.dwControlsAccepted = dwCurrentState == SERVICE_START_PENDING ? 0 : kAcceptedControls;
  if (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED)
    m_ServiceStatus.dwCheckPoint = 0;
  else
    m_ServiceStatus.dwCheckPoint = g_dwCheckPoint++;
  os::SetServiceStatus(m_hServiceStatus, &m_ServiceStatus);
}

void CServiceBase::ReportStopProgress(DWORD dwWaitHint) {
  SetServiceStatusValues(SERVICE_STOP_PENDING, NO_ERROR, dwWaitHint);
}

DWORD CServiceBase::CurrentState() {
  ExclusiveLock guard(g_statusLock);
  return m_ServiceStatus.dwCurrentState;
}

void CServiceBase::Start(DWORD dwArgc, LPWSTR* pszArgv) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::Start...");
  SetServiceStatusValues(SERVICE_START_PENDING);
  RunHook(kStartStep, [&] {
    OnStart(dwArgc, pszArgv);
    SetServiceStatusValues(SERVICE_RUNNING);
    OnRunning();
  });
}

void CServiceBase::Stop() {
  m_dwStateBeforeStop = CurrentState();
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::Stop...");
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] UnregisterPowerSettingNotification...");
  m_hLidSwitchNotify.Close();
  m_hDisplayStateNotify.Close();
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] UnregisterPowerSettingNotification Finish");
  ReportStopProgress();
  HandOff(&CServiceBase::CompleteStop);
}

void CServiceBase::CompleteStop() {
  const LifecycleStep step = {L"[ZEFO Service] Enter CServiceBase::Stop error, dwError = %d",
                              L"[ZEFO Service] Enter CServiceBase::Stop fail", EVENTLOG_INFORMATION_TYPE,
                              m_dwStateBeforeStop, false};
  RunHook(step, [this] {
    OnStop();
    SetServiceStatusValues(SERVICE_STOPPED);
  });
}

void CServiceBase::HandOff(Completion completion) {
  m_completion = completion;
  // Nobody waits for the thread: its last act is the final report.
  const UniqueKernelHandle thread(os::CreateThread(nullptr, 0, StopThread, this, 0, nullptr));
  if (thread) return;
  LogFormatted(EVENTLOG_WARNING_TYPE,
               L"[ZEFO Service] Create stop thread fail, GetLastError = 0x%.8X, stop on the handler thread",
               os::GetLastError());
  (this->*completion)();
}

DWORD WINAPI CServiceBase::StopThread(LPVOID lpParameter) {
  CServiceBase& service = *static_cast<CServiceBase*>(lpParameter);
  (service.*service.m_completion)();
  return 0;
}

void CServiceBase::Pause() {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::Pause ...");
  SetServiceStatusValues(SERVICE_PAUSE_PENDING);
  RunHook(kPauseStep, [this] {
    OnPause();
    SetServiceStatusValues(SERVICE_PAUSED);
  });
}

void CServiceBase::Continue() {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::Continue ...");
  SetServiceStatusValues(SERVICE_CONTINUE_PENDING);
  RunHook(kContinueStep, [this] {
    OnContinue();
    SetServiceStatusValues(SERVICE_RUNNING);
  });
}

// The system may end the process within seconds of the control: STOPPED
// comes within 5 s whatever the worker does, and the recovery memory
// finishes the rest at the next start.
void CServiceBase::Shutdown() {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::Shutdown...");
  ReportStopProgress();
  HandOff(&CServiceBase::CompleteShutdown);
}

void CServiceBase::CompleteShutdown() {
  RunHook(kShutdownStep, [this] {
    OnShutdown();
    SetServiceStatusValues(SERVICE_STOPPED);
  });
}

void CServiceBase::RunHook(const LifecycleStep& step, const std::function<void()>& hookAndReport) {
  try {
    hookAndReport();
    return;
  } catch (DWORD dwError) {
    LogFormatted(step.type, step.codeFailure, static_cast<int>(dwError));
    if (step.stateAfterFailure) SetServiceStatusValues(*step.stateAfterFailure, step.exitCodeReported ? dwError : 0);
  } catch (...) {
    LogFormatted(step.type, step.otherFailure);
    if (step.stateAfterFailure) SetServiceStatusValues(*step.stateAfterFailure);
  }
}

void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
