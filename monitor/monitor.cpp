// Monitor start and stop: the service's OnStart, OnRunning, OnStop and
// OnShutdown hooks.
#include "monitor/monitor.h"

#include "diag/logging.h"
#include "diag/termination_guard.h"
#include "ess/biometric_service.h"
#include "ess/ess_discovery.h"
#include "monitor/polling_worker.h"
#include "platform/process.h"
#include "service/service_base.h"

UniqueKernelHandle& g_hFpMainThread = *new UniqueKernelHandle;

namespace {
// Tells the worker to leave; whether an event could wake it for that (the
// stop event, or else the check-now event).
bool WakeWorkerToLeave() {
  g_bStopRequested = true;
  const bool stopSet = os::SetEvent(g_hServiceStopEvent.GetOrCreate()) != FALSE;
  return stopSet || os::SetEvent(g_hCheckYBEvent.GetOrCreate()) != FALSE;
}
}  // namespace

void CServiceBase::OnStart(DWORD, LPWSTR*) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::OnStart...");
  OpenTerminationGate();
  g_hServiceStopEvent.GetOrCreate();
  g_hTerminateThreadEvent.GetOrCreate();
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Create PollingFPStatusThread...");
  g_bEssDeviceFound = 0;
  LoadOwedBiometricStart();
  {
    BiometricRestartDeferral duringStart;
    CheckEssUEFIValue();
  }
  g_hFpMainThread = UniqueKernelHandle(os::CreateThread(nullptr, 0, PollingFPStatusThread, nullptr, 0, nullptr));
  if (g_hFpMainThread)
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Create PollingFPStatusThread Success!!!");
  else
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Create PollingFPStatusThread Fail!!!");
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] ZFDService OnStart Finish");
}

// The worker runs a restart the start put off; without a worker it is run here.
void CServiceBase::OnRunning() {
  if (!g_hFpMainThread) RunDeferredBiometricRestart();
}

void CServiceBase::OnStop() {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::OnStop ...");
  const bool workerWoken = WakeWorkerToLeave();
  if (g_hFpMainThread) {
    LogServiceMessage(L"[ZEFO Service] Wait Thread to be terminated...", EVENTLOG_INFORMATION_TYPE);
    DWORD result = os::WaitForSingleObject(g_hTerminateThreadEvent.GetOrCreate(), kWorkerStopWaitMs);
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Event trigger!!!");
    if (result == WAIT_OBJECT_0) {
      LogFormatted(EVENTLOG_INFORMATION_TYPE,
                   L"[ZEFO Service] Thread termination gracefully completed for PollingFPStatusThread!!!");
    } else {
      if (result == WAIT_TIMEOUT)
        LogFormatted(EVENTLOG_INFORMATION_TYPE,
                     L"[ZEFO Service] Wait OnServiceStopEvent timeout,Terminate the PollingFPStatusThread...");
      else
        LogFormatted(EVENTLOG_INFORMATION_TYPE,
                     L"[ZEFO Service] WaitForSingleObject error (EventTriggerCode = %d), Terminate the "
                     L"PollingFPStatusThread!!!",
                     static_cast<int>(result));
      AwaitWorker(workerWoken);
    }
    if (!g_hFpMainThread.Close())
      LogFormatted(EVENTLOG_INFORMATION_TYPE,
                   L"[ZEFO Service] Closing fdo_pdx->m_FpMainThread was unsuccessful. GetLastError() = 0x%X!!!",
                   os::GetLastError());
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Destroying FpMainThread complete.!!!");
  } else {
    // No worker: a restart the start put off runs on the ServiceMain thread,
    // and must not be cut between its two commands.
    while (BiometricRestartRunning()) {
      ReportStopProgress();
      os::Sleep(kStopProgressMs);
    }
    ReportStopProgress(kBiometricStartAttemptMs + kStopPendingWaitHintMs);
    RunOwedBiometricStart(1);
  }
  g_hServiceStopEvent.Close();
  g_hCheckYBEvent.Close();
  g_hTerminateThreadEvent.Close();
  LogServiceMessage(L"[ZEFO Service] ZFDService in OnStop Finish", EVENTLOG_INFORMATION_TYPE);
}

// The process ends soon after the STOPPED report that follows, and with it the
// worker wherever it stands. Stop it first where that cuts no log step. A
// recovery cut here is finished by the next start, from the record.
void CServiceBase::OnShutdown() {
  if (!g_hFpMainThread) return;
  WakeWorkerToLeave();
  if (os::WaitForSingleObject(g_hFpMainThread.Get(), kShutdownWorkerWaitMs) != WAIT_OBJECT_0)
    TerminateWorker(kSafePointWaitMs);
}

void CServiceBase::AwaitWorker(bool workerWoken) {
  for (;;) {
    ReportStopProgress();
    const DWORD result = os::WaitForSingleObject(g_hFpMainThread.Get(), kStopProgressMs);
    if (result == WAIT_OBJECT_0) return;
    // Stuck in a class installer call or a program wait past its bound: it
    // would hold the stop for good. Terminating it there cuts no log step
    // (see TerminationGuard), and what it leaves undone is in the recovery
    // record, which the next start reads; the process ends right after.
    // A worker that no event can wake would sleep out its polling period.
    if (result != WAIT_TIMEOUT || !workerWoken || TerminableThreadOverdue()) {
      TerminateWorker(kSafePointWaitMs);
      return;
    }
  }
}

void CServiceBase::TerminateWorker(DWORD safePointWaitMs) {
  CloseTerminationGate();
  for (DWORD waited = 0; !SafeToTerminate() && waited < safePointWaitMs; waited += kSafePointPollMs)
    os::Sleep(kSafePointPollMs);
  os::TerminateThread(g_hFpMainThread.Get(), 1);
  // Termination is asynchronous; the handles it may still use are closed next.
  os::WaitForSingleObject(g_hFpMainThread.Get(), kWorkerEndWaitMs);
}
