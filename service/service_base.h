// The one service object of the process and its state machine towards the SCM.
#pragma once

#include "diag/named_event.h"
#include "platform/power.h"
#include "platform/types.h"

constexpr LPCWSTR kServiceName = L"ZEFOTestService";
constexpr LPCWSTR kServiceDisplayName = L"ZEFO_Test_Service";

class CServiceBase;

// The object the lifecycle operations act on; set once by CServiceBase::Run.
extern CServiceBase* s_service;
// Checkpoint of the next pending report; starts at 1, written only while a
// status is reported.
extern DWORD g_dwCheckPoint;
// The check-now event "pCheckYBEvent": made by ServiceMain (or by the worker
// when that failed), set by the control handler, waited on and reset by the
// polling worker, closed by OnStop.
extern NamedEventSlot g_hCheckYBEvent;

// Every SERVICE_STOP_PENDING report promises the next one, or the final
// state, within this time: each step of a stop is bounded below it.
constexpr DWORD kStopPendingWaitHintMs = 4000;

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
  // called by the control handler.
  void Start(DWORD dwArgc, LPWSTR* pszArgv);
  void Stop();
  void Pause();
  void Continue();
  void Shutdown();

 protected:
  virtual void OnStart(DWORD dwArgc, LPWSTR* pszArgv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();

  // Reports one status; every report takes this path.
  void SetServiceStatusValues(DWORD dwCurrentState, DWORD dwWin32ExitCode = NO_ERROR, DWORD dwWaitHint = 0);

 private:
  static void WINAPI ServiceMain(DWORD dwArgc, LPWSTR* pszArgv);
  DWORD CurrentState();
  // Terminates the worker once it stands where that cuts nothing, waiting at
  // most safePointWaitMs for that; a stop reports its progress meanwhile.
  void TerminateWorker(DWORD safePointWaitMs, bool reportProgress);

  LPCWSTR m_pszServiceName;
  SERVICE_STATUS m_ServiceStatus;
  SERVICE_STATUS_HANDLE m_hServiceStatus;
  UniquePowerNotify m_hLidSwitchNotify;
  UniquePowerNotify m_hDisplayStateNotify;
};
