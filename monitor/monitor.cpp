// Monitor start and stop: the service's OnStart, OnStop and OnShutdown hooks.
#include "monitor/monitor.h"

#include "diag/logging.h"
#include "diag/termination_guard.h"
#include "ess/ess_discovery.h"
#include "ess/secure_fingerprint.h"
#include "monitor/polling_worker.h"
#include "platform/process.h"
#include "service/service_base.h"

UniqueKernelHandle& g_hFpMainThread = *new UniqueKernelHandle;

void CServiceBase::OnStart(DWORD, LPWSTR*) {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::OnStart...");
  OpenTerminationGate();
  g_hServiceStopEvent.GetOrCreate();
  g_hTerminateThreadEvent.GetOrCreate();
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Create PollingFPStatusThread...");
  g_bEssDeviceFound = 0;
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

void CServiceBase::OnStop() {
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter CServiceBase::OnStop ...");
  os::SetEvent(g_hServiceStopEvent.GetOrCreate());
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
      TerminateWorker(kSafePointWaitMs, true);
    }
    if (!g_hFpMainThread.Close())
      LogFormatted(EVENTLOG_INFORMATION_TYPE,
                   L"[ZEFO Service] Closing fdo_pdx->m_FpMainThread was unsuccessful. GetLastError() = 0x%X!!!",
                   os::GetLastError());
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Destroying FpMainThread complete.!!!");
  }
  g_hServiceStopEvent.Close();
  g_hCheckYBEvent.Close();
  g_hTerminateThreadEvent.Close();
  LogServiceMessage(L"[ZEFO Service] ZFDService in OnStop Finish", EVENTLOG_INFORMATION_TYPE);
}

// The process ends soon after the STOPPED report that follows, and with it the
// worker wherever it stands. Stop it first where that cuts nothing, so that a
// recovery is not left between its disable and enable steps. The SCM still
// sees only the STOPPED report.
void CServiceBase::OnShutdown() {
  if (g_hFpMainThread) TerminateWorker(kShutdownSafePointWaitMs, false);
}

// Terminates the worker once it stands where that is safe: never inside a log
// step, never between a recovery's disable and enable steps, never between
// the two commands of a biometric-service restart.
void CServiceBase::TerminateWorker(DWORD safePointWaitMs, bool reportProgress) {
  CloseTerminationGate();
  for (DWORD waited = 0; !SafeToTerminate() && waited < safePointWaitMs; waited += kSafePointPollMs) {
    if (reportProgress) SetServiceStatusValues(SERVICE_STOP_PENDING, NO_ERROR, kStopPendingWaitHintMs);
    os::Sleep(kSafePointPollMs);
  }
  if (reportProgress) SetServiceStatusValues(SERVICE_STOP_PENDING, NO_ERROR, kStopPendingWaitHintMs);
  os::TerminateThread(g_hFpMainThread.Get(), 1);
  // Termination is asynchronous; the handles it may still use are closed next.
  os::WaitForSingleObject(g_hFpMainThread.Get(), kWorkerEndWaitMs);
}
