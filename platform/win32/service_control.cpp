#include "platform/service_control.h"

namespace os {
SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  return ::OpenSCManagerW(lpMachineName, lpDatabaseName, dwDesiredAccess);
}
SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                         LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  return ::CreateServiceW(hSCManager, lpServiceName, lpDisplayName, dwDesiredAccess, dwServiceType, dwStartType,
                          dwErrorControl, lpBinaryPathName, lpLoadOrderGroup, lpdwTagId, lpDependencies,
                          lpServiceStartName, lpPassword);
}
SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  return ::OpenServiceW(hSCManager, lpServiceName, dwDesiredAccess);
}
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  return ::ControlService(hService, dwControl, lpServiceStatus);
}
BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) {
  return ::StartServiceW(hService, dwNumServiceArgs, lpServiceArgVectors);
}
BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  return ::QueryServiceStatus(hService, lpServiceStatus);
}
BOOL ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  return ::ChangeServiceConfig2W(hService, dwInfoLevel, lpInfo);
}
BOOL QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                          LPDWORD pcbBytesNeeded) {
  return ::QueryServiceConfig2W(hService, dwInfoLevel, lpBuffer, cbBufSize, pcbBytesNeeded);
}
BOOL DeleteService(SC_HANDLE hService) { return ::DeleteService(hService); }
BOOL CloseServiceHandle(SC_HANDLE hSCObject) { return ::CloseServiceHandle(hSCObject); }

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  return ::StartServiceCtrlDispatcherW(lpServiceStartTable);
}
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext) {
  return ::RegisterServiceCtrlHandlerExW(lpServiceName, lpHandlerProc, lpContext);
}
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  return ::SetServiceStatus(hServiceStatus, lpServiceStatus);
}
}  // namespace os
