#include "platform/service_control.h"

#include "platform/sim/machine.h"

namespace sim {
void ScmModel::AddService(const std::wstring& name, DWORD currentState, std::uint64_t stopTakesMs) {
  auto lock = kernel_.Lock();
  ServiceEntry& entry = services[name];
  entry.name = name;
  entry.status.dwCurrentState = currentState;
  entry.stopTakesMs = stopTakesMs;
}

std::optional<ServiceEntry> ScmModel::Service(const std::wstring& name) const {
  auto lock = kernel_.Lock();
  auto it = services.find(name);
  if (it == services.end()) return std::nullopt;
  ServiceEntry entry = it->second;
  Refresh(entry);
  return entry;
}

std::vector<StatusReport> ScmModel::StatusReports() const {
  auto lock = kernel_.Lock();
  return statusReports;
}

void ScmModel::Refresh(ServiceEntry& entry) const {
  if (entry.status.dwCurrentState == SERVICE_STOP_PENDING && kernel_.Now() >= entry.stopDoneAt) {
    entry.status.dwCurrentState = SERVICE_STOPPED;
    entry.stopDoneAt = kNever;
  }
}
}  // namespace sim

namespace os {
namespace {
sim::Machine& M() { return sim::Machine::Current(); }

BOOL Fail(DWORD error) {
  sim::LastError() = error;
  return FALSE;
}

// The database entry a service handle names, or null with the last error set.
sim::ServiceEntry* EntryOf(sim::Machine& m, SC_HANDLE hService, DWORD neededAccess) {
  auto handle = m.kernel.FindAs<sim::ScServiceHandle>(reinterpret_cast<HANDLE>(hService));
  if (!handle) return Fail(ERROR_INVALID_HANDLE), nullptr;
  if ((handle->access & neededAccess) != neededAccess) return Fail(ERROR_ACCESS_DENIED), nullptr;
  auto it = m.scm.services.find(handle->name);
  if (it == m.scm.services.end()) return Fail(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
  m.scm.Refresh(it->second);
  return &it->second;
}

std::vector<std::wstring> MultiString(LPCWSTR list) {
  std::vector<std::wstring> items;
  for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) items.emplace_back(p);
  return items;
}
}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("OpenSCManagerW")) return Fail(*fault), nullptr;
  if (lpMachineName != nullptr && *lpMachineName != L'\0') return Fail(ERROR_INVALID_PARAMETER), nullptr;
  if (lpDatabaseName != nullptr && std::wstring(lpDatabaseName) != SERVICES_ACTIVE_DATABASEW)
    return Fail(ERROR_INVALID_PARAMETER), nullptr;
  return reinterpret_cast<SC_HANDLE>(m.kernel.Insert(std::make_shared<sim::ScManagerHandle>(dwDesiredAccess)));
}

SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                         LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto manager = m.kernel.FindAs<sim::ScManagerHandle>(reinterpret_cast<HANDLE>(hSCManager));
  if (!manager) return Fail(ERROR_INVALID_HANDLE), nullptr;
  if (!(manager->access & SC_MANAGER_CREATE_SERVICE)) return Fail(ERROR_ACCESS_DENIED), nullptr;
  if (auto fault = m.kernel.TakeFault("CreateServiceW")) return Fail(*fault), nullptr;
  if (lpServiceName == nullptr || *lpServiceName == L'\0' || lpBinaryPathName == nullptr || lpdwTagId != nullptr)
    return Fail(ERROR_INVALID_PARAMETER), nullptr;
  auto existing = m.scm.services.find(lpServiceName);
  if (existing != m.scm.services.end())
    return Fail(existing->second.markedForDeletion ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS),
           nullptr;
  sim::ServiceEntry entry;
  entry.name = lpServiceName;
  entry.displayName = lpDisplayName ? lpDisplayName : lpServiceName;
  entry.type = dwServiceType;
  entry.startType = dwStartType;
  entry.errorControl = dwErrorControl;
  entry.binaryPath = lpBinaryPathName;
  entry.hasLoadOrderGroup = lpLoadOrderGroup != nullptr && *lpLoadOrderGroup != L'\0';
  entry.dependenciesGiven = lpDependencies != nullptr;
  entry.dependencies = MultiString(lpDependencies);
  entry.hasAccount = lpServiceStartName != nullptr || lpPassword != nullptr;
  entry.status.dwServiceType = dwServiceType;
  entry.openHandles = 1;
  m.scm.services[entry.name] = entry;
  m.kernel.Record("scm", L"CreateServiceW " + entry.name);
  return reinterpret_cast<SC_HANDLE>(
      m.kernel.Insert(std::make_shared<sim::ScServiceHandle>(entry.name, dwDesiredAccess)));
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (!m.kernel.FindAs<sim::ScManagerHandle>(reinterpret_cast<HANDLE>(hSCManager)))
    return Fail(ERROR_INVALID_HANDLE), nullptr;
  if (auto fault = m.kernel.TakeFault("OpenServiceW")) return Fail(*fault), nullptr;
  auto it = m.scm.services.find(lpServiceName ? lpServiceName : L"");
  if (it == m.scm.services.end()) return Fail(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
  ++it->second.openHandles;
  return reinterpret_cast<SC_HANDLE>(
      m.kernel.Insert(std::make_shared<sim::ScServiceHandle>(it->second.name, dwDesiredAccess)));
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  DWORD needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_USER_DEFINED_CONTROL;
  sim::ServiceEntry* entry = EntryOf(m, hService, needed);
  if (!entry) return FALSE;
  if (auto fault = m.kernel.TakeFault("ControlService")) return Fail(*fault);
  if (entry->status.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (dwControl != SERVICE_CONTROL_STOP) return Fail(ERROR_INVALID_SERVICE_CONTROL);
  if (entry->status.dwCurrentState != SERVICE_STOP_PENDING) {
    entry->status.dwCurrentState = SERVICE_STOP_PENDING;
    entry->stopDoneAt = m.kernel.Now() + entry->stopTakesMs;
  }
  m.kernel.Record("scm", L"ControlService stop " + entry->name);
  if (lpServiceStatus) *lpServiceStatus = entry->status;
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  sim::ServiceEntry* entry = EntryOf(m, hService, SERVICE_QUERY_STATUS);
  if (!entry) return FALSE;
  if (auto fault = m.kernel.TakeFault("QueryServiceStatus")) return Fail(*fault);
  *lpServiceStatus = entry->status;
  return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  sim::ServiceEntry* entry = EntryOf(m, hService, DELETE);
  if (!entry) return FALSE;
  if (auto fault = m.kernel.TakeFault("DeleteService")) return Fail(*fault);
  if (entry->markedForDeletion) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  entry->markedForDeletion = true;
  m.kernel.Record("scm", L"DeleteService " + entry->name);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  HANDLE handle = reinterpret_cast<HANDLE>(hSCObject);
  if (auto service = m.kernel.FindAs<sim::ScServiceHandle>(handle)) {
    auto it = m.scm.services.find(service->name);
    if (it != m.scm.services.end() && --it->second.openHandles == 0 && it->second.markedForDeletion &&
        it->second.status.dwCurrentState == SERVICE_STOPPED)
      m.scm.services.erase(it);
  } else if (!m.kernel.FindAs<sim::ScManagerHandle>(handle)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  m.kernel.Close(handle);
  return TRUE;
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (lpServiceStartTable == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!m.process.startedBySCM) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
  return Fail(ERROR_CALL_NOT_IMPLEMENTED), nullptr;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (!m.kernel.FindAs<sim::ServiceStatusHandle>(reinterpret_cast<HANDLE>(hServiceStatus)))
    return Fail(ERROR_INVALID_HANDLE);
  sim::StatusReport report;
  report.seq = m.kernel.NextSeq();
  report.timeMs = m.kernel.Now();
  report.status = *lpServiceStatus;
  m.scm.statusReports.push_back(report);
  m.kernel.Record("status", L"state " + std::to_wstring(lpServiceStatus->dwCurrentState) + L" checkpoint " +
                                std::to_wstring(lpServiceStatus->dwCheckPoint));
  return TRUE;
}
}  // namespace os
