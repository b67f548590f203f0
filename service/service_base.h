// The one service object of the process and its state machine towards the SCM.
#pragma once

#include <functional>
#include <optional>

#include "diag/named_event.h"
#include "platform/power.h"
#include "platform/types.h"

constexpr LPCWSTR kServiceName = L"ZEFOTestService";
constexpr LPCWSTR kServiceDisplayName = L"ZEFO_Test_Service";

class CServiceBase;

// How a lifecycle operation answers a hook that raised: its two messages (a
// numeric error code, anything else), their event type, and the state it
// reports then (none: no report), with the code as exit code or not.
struct LifecycleStep {
  LPCWSTR codeFailure;
  LPCWSTR otherFailure;
  WORD type;
  std::optional<DWORD> stateAfterFailure;
  bool exitCodeReported;
};

// The object the lifecycle operations act on; set once by CServiceBase::Run.
extern CServiceBase* s_service;
// Checkpoint of the next pending report; starts at 1, written only while a
// status is reported.
extern DWORD g_dwCheckPoint;
// The check-now event "pCheckYBEvent": made by ServiceMain (or by the worker
// when that failed), set by the control handler, waited on and reset by the
// polling worker, closed by OnStop.
extern NamedEventSlot g_hCheckYBEvent;

// A fresh process's status lock and checkpoint counter (1).
void ResetStatusRecord();

// Every SERVICE_STOP_PENDING report promises the next one, or the final
// state, within this time: each step of a stop is bounded below it.
constexpr DWORD kStopPendingWaitHintMs = 4000;
// The controls the service takes once it runs; none while it starts, as
// SetServiceStatus asks. Power events too: without them the lid and display
// notifications are never delivered.
constexpr DWORD kAcceptedControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;

class CServiceBase {
 public:
  explicit CServiceBase(LPCWSTR pszServiceName);
  virtual ~CServiceBase();
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // Publishes the object as s_service and enters the SCM dispatcher; returns
  // the dispatcher's result, with the last error set on FALSE.
  static BOOL Run(CServiceBase& service);

  // Start runs on the ServiceMain thread; the others on the dispatcher thread,
  // called by the control handler. Stop and Shutdown return at once: they
  // report STOP_PENDING and hand the rest to a thread of their own, since
  // the SCM sends no other control to any service while a handler runs.
  void Start(DWORD dwArgc, LPWSTR* pszArgv);
  void Stop();
  void Pause();
  void Continue();
  void Shutdown();

 protected:
  virtual void OnStart(DWORD dwArgc, LPWSTR* pszArgv);
  // After the RUNNING report, on the ServiceMain thread.
  virtual void OnRunning();
  // OnStop and OnShutdown run on the stop's own thread.
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();

  // Reports one status; every report takes this path.
  void SetServiceStatusValues(DWORD dwCurrentState, DWORD dwWin32ExitCode = NO_ERROR, DWORD dwWaitHint = 0);
  // A stop's progress: STOP_PENDING with the next checkpoint.
  void ReportStopProgress(DWORD dwWaitHint = kStopPendingWaitHintMs);

 private:
  using Completion = void (CServiceBase::*)();
  static void WINAPI ServiceMain(DWORD dwArgc, LPWSTR* pszArgv);
  static DWORD WINAPI StopThread(LPVOID lpParameter);
  DWORD CurrentState();
  // Runs the rest of a stop or shutdown on a thread of its own; on the
  // handler's thread when no thread can be made.
  void HandOff(Completion completion);
  void CompleteStop();
  void CompleteShutdown();
  // Runs a hook and the report after it; what the hook raises is logged and
  // reported as the step says.
  void RunHook(const LifecycleStep& step, const std::function<void()>& hookAndReport);
  // Lets the worker leave by itself, reporting progress; terminates it only
  // when it is stuck in one call past that call's bound, or cannot be woken.
  void AwaitWorker(bool workerWoken);
  // Terminates the worker once it stands where that cuts no log step,
  // waiting at most safePointWaitMs for that.
  void TerminateWorker(DWORD safePointWaitMs);

  LPCWSTR m_pszServiceName;
  DWORD m_dwStateBeforeStop;
  Completion m_completion;
  SERVICE_STATUS m_ServiceStatus;
  SERVICE_STATUS_HANDLE m_hServiceStatus;
  UniquePowerNotify m_hLidSwitchNotify;
  UniquePowerNotify m_hDisplayStateNotify;
};
