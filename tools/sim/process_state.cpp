#include "tools/sim/process_state.h"

#include "diag/settings.h"
#include "diag/termination_guard.h"
#include "ess/ess_discovery.h"
#include "monitor/monitor.h"
#include "monitor/polling_worker.h"
#include "service/service_base.h"

void ResetProcessState() {
  g_dwServicePollingTime = 0;
  g_dwLogSwitch = 0;
  g_dwEnableLogToFile = 0;
  s_service = nullptr;
  g_dwCheckPoint = 1;
  // The handles belonged to the process that ended: forget them, never close them.
  for (NamedEventSlot* slot : {&g_hCheckYBEvent, &g_hServiceStopEvent, &g_hTerminateThreadEvent}) slot->Detach();
  for (UniqueKernelHandle* handle : {&g_hFpMainThread, &g_hDriverAttachEvent}) handle->Detach();
  g_bEssDeviceFound = 0;
  OpenTerminationGate();
}
