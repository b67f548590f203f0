// The one service object of the process and its state machine towards the SCM.
#pragma once

#include <atomic>

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
// The check-now event: created by ServiceMain, set by the control handler,
// waited on and reset by the polling worker, closed by OnStop. Atomic because
// the control handler may read it while ServiceMain is still creating it.
extern std::atomic<HANDLE> g_hCheckYBEvent;

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
  void SetServiceStatusValues(DWORD dwCurrentState, DWORD dwWin32ExitCode = NO_ERROR);

 private:
  static void WINAPI ServiceMain(DWORD dwArgc, LPWSTR* pszArgv);
  DWORD CurrentState();
  // OnStop's last resort for a worker that did not confirm its end.
  void TerminateWorker();

  LPCWSTR m_pszServiceName;
  SERVICE_STATUS m_ServiceStatus;
  SERVICE_STATUS_HANDLE m_hServiceStatus;
  UniquePowerNotify m_hLidSwitchNotify;
  UniquePowerNotify m_hDisplayStateNotify;
};
