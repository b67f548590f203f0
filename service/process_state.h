// The service's process-wide state, in one table, and the state a fresh
// process starts from. Windows gives every start of the service a fresh
// process; the simulated machine runs one service process after another in
// one host process, and calls ResetProcessState between them.
//
// | state                          | home                        | written by                        | read by                         |
// |--------------------------------|-----------------------------|-----------------------------------|---------------------------------|
// | g_dwServicePollingTime,        | diag/settings.h (atomics)   | LoadOtherSetting: wmain, worker   | worker, every log step          |
// |   g_dwLogSwitch,               |                             |                                   |                                 |
// |   g_dwEnableLogToFile          |                             |                                   |                                 |
// | trace provider record          | diag/logging.cpp            | wmain (register, unregister),     | every log step                  |
// |                                |                             |   the trace control callback      |                                 |
// | g_szLogMessage                 | diag/logging.h (per thread) | the thread's own log steps        | the same                        |
// | termination gate, guarded      | diag/termination_guard.cpp  | worker (guards, bounded calls),   | stop thread                     |
// |   count, bounded-call deadline |   (atomics)                 |   stop thread (gate)              |                                 |
// | s_service                      | service/service_base.h      | CServiceBase::Run, once           | ServiceMain, handler, stop      |
// | g_dwCheckPoint, status record  | service/service_base.cpp    | every report, under the status    | the same                        |
// |                                |   (status lock)             |   lock                            |                                 |
// | g_hCheckYBEvent                | service/service_base.h      | ServiceMain (or whoever finds it  | handler (set), worker (wait)    |
// |                                |   (slot, atomic handle)     |   missing), stop (close)          |                                 |
// | g_hServiceStopEvent,           | monitor/polling_worker.h    | OnStart, stop                     | worker                          |
// |   g_hTerminateThreadEvent      |   (slots)                   |                                   |                                 |
// | g_bStopRequested               | monitor/polling_worker.h    | stop, shutdown                    | worker                          |
// | g_hDriverAttachEvent           | monitor/polling_worker.h    | worker                            | worker                          |
// | g_hFpMainThread                | monitor/monitor.h           | OnStart, stop                     | stop, OnRunning                 |
// | g_recoveryMemory               | monitor/disabled_devices.h  | worker; stop thread only after    | the same                        |
// |                                |                             |   the worker ended                |                                 |
// | g_bEssDeviceFound,             | ess/ess_discovery.h         | the ESS check: OnStart, worker    | worker                          |
// |   g_bEssSyncOwed (atomics)     |                             |                                   |                                 |
// | g_bDeferBiometricRestarts,     | ess/biometric_service.h     | OnStart (deferral), the restarts  | the restarts, stop              |
// |   g_bBiometricRestartPending,  |   (atomics)                 |   (worker, or ServiceMain when    |                                 |
// |   g_bBiometricStartOwed,       |                             |   there is no worker)             |                                 |
// |   g_nBiometricRestartsRunning  |                             |                                   |                                 |
//
// The handles of a process that ended are forgotten, never closed: the
// system closed them with it.
#pragma once

void ResetProcessState();
