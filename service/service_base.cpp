#include "service/service_base.h"

#include "diag/logging.h"
#include "platform/service_control.h"

namespace {
CServiceBase* s_service = nullptr;
}

CServiceBase::CServiceBase(LPCWSTR pszServiceName)
    : m_pszServiceName(pszServiceName),
      m_ServiceStatus{SERVICE_WIN32_OWN_PROCESS,
                      SERVICE_START_PENDING,
                      SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE,
                      NO_ERROR,
                      0,
                      0,
                      0},
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

void WINAPI CServiceBase::ServiceMain(DWORD, LPWSTR*) {}

void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
