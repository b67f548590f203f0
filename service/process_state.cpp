#include "service/process_state.h"

#include "diag/logging.h"
#include "diag/settings.h"
#include "diag/termination_guard.h"
#include "ess/biometric_service.h"
#include "ess/ess_discovery.h"
#include "monitor/disabled_devices.h"
#include "monitor/monitor.h"
#include "monitor/polling_worker.h"
#include "service/service_base.h"

void ResetProcessState() {
  g_dwServicePollingTime = 0;
  g_dwLogSwitch = 0;
  g_dwEnableLogToFile = 0;
  ForgetTraceProvider();
  ResetTerminationGuard();
  s_service = nullptr;
  ResetStatusRecord();
  for (NamedEventSlot* slot : {&g_hCheckYBEvent, &g_hServiceStopEvent, &g_hTerminateThreadEvent}) slot->Detach();
  for (UniqueKernelHandle* handle : {&g_hFpMainThread, &g_hDriverAttachEvent}) handle->Detach();
  g_bStopRequested = false;
  g_recoveryMemory = RecoveryMemory{};
  g_bEssDeviceFound = 0;
  g_bEssSyncOwed = false;
  g_bDeferBiometricRestarts = false;
  g_bBiometricRestartPending = false;
  g_bBiometricStartOwed = false;
  g_nBiometricRestartsRunning = 0;
}
