// The one service object of the process and its state machine towards the SCM.
#pragma once

#include "platform/types.h"

constexpr LPCWSTR kServiceName = L"ZEFOTestService";
constexpr LPCWSTR kServiceDisplayName = L"ZEFO_Test_Service";

class CServiceBase {
 public:
  explicit CServiceBase(LPCWSTR pszServiceName);
  virtual ~CServiceBase();

  // Publishes the object as s_service and enters the SCM dispatcher; returns
  // the dispatcher's result, with the last error set on FALSE.
  static BOOL Run(CServiceBase& service);

 protected:
  virtual void OnStart(DWORD dwArgc, LPWSTR* pszArgv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();

 private:
  static void WINAPI ServiceMain(DWORD dwArgc, LPWSTR* pszArgv);

  LPCWSTR m_pszServiceName;
  SERVICE_STATUS m_ServiceStatus;
  SERVICE_STATUS_HANDLE m_hServiceStatus;
};
