#include "platform/service_control.h"

#include <cstring>
#include <stdexcept>

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

std::optional<DWORD> ScmModel::Control(DWORD control, DWORD eventType, std::vector<BYTE> eventData) {
  auto lock = kernel_.Lock();
  return Deliver(lock, control, eventType, std::move(eventData));
}

std::optional<DWORD> ScmModel::SessionChange(DWORD eventType, DWORD sessionId) {
  auto lock = kernel_.Lock();
  auto it = services.find(dispatcher.serviceName);
  if (it == services.end() || !(it->second.status.dwControlsAccepted & SERVICE_ACCEPT_SESSIONCHANGE))
    return std::nullopt;
  // WTSSESSION_NOTIFICATION: cbSize, then the session id.
  const DWORD notification[2] = {sizeof notification, sessionId};
  std::vector<BYTE> data(sizeof notification);
  std::memcpy(data.data(), notification, sizeof notification);
  return Deliver(lock, SERVICE_CONTROL_SESSIONCHANGE, eventType, std::move(data));
}

std::optional<DWORD> ScmModel::Deliver(std::unique_lock<std::mutex>& lock, DWORD control, DWORD eventType,
                                       std::vector<BYTE> eventData) {
  if (!dispatcher.running || dispatcher.handler == nullptr || dispatcher.stoppedReported) return std::nullopt;
  auto request = std::make_shared<ControlRequest>();
  request->control = control;
  request->eventType = eventType;
  request->eventData = std::move(eventData);
  dispatcher.queue.push_back(request);
  kernel_.Changed();
  if (!kernel_.BlockReal(lock, [&] { return request->done; }, kNever, std::chrono::seconds(20)))
    throw std::runtime_error("the service's control handler did not return");
  return request->result;
}

bool ScmModel::ServedHere(const std::wstring& name) const {
  return dispatcher.running && dispatcher.handler != nullptr && !CaseInsensitiveLess()(name, dispatcher.serviceName) &&
         !CaseInsensitiveLess()(dispatcher.serviceName, name);
}

void ScmModel::Refresh(ServiceEntry& entry) const {
  if (entry.status.dwCurrentState == SERVICE_STOP_PENDING && kernel_.Now() >= entry.stopDoneAt) {
    entry.status.dwCurrentState = SERVICE_STOPPED;
    entry.stopDoneAt = kNever;
  }
}
}  // namespace sim

namespace os {
using sim::Fail;
namespace {
sim::Machine& M() { return sim::Machine::Current(); }


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

DWORD AccessForControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return SERVICE_USER_DEFINED_CONTROL;
  }
}

// A control for the service this machine's process runs: the SCM's checks,
// then the handler on the dispatcher thread; returns once it has been handled.
BOOL ControlOwnService(sim::Machine& m, std::unique_lock<std::mutex>& lock, sim::ServiceEntry& entry, DWORD control,
                       LPSERVICE_STATUS lpServiceStatus) {
  const SERVICE_STATUS& status = entry.status;
  const bool userCode = control >= 128 && control <= 255;
  DWORD acceptFlag = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      acceptFlag = SERVICE_ACCEPT_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      acceptFlag = SERVICE_ACCEPT_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    default:
      if (!userCode) return Fail(ERROR_INVALID_PARAMETER);
  }
  if (control != SERVICE_CONTROL_INTERROGATE &&
      (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_STOP_PENDING))
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  if (acceptFlag != 0 && !(status.dwControlsAccepted & acceptFlag)) return Fail(ERROR_INVALID_SERVICE_CONTROL);
  const std::wstring name = entry.name;
  m.kernel.Record("scm", L"ControlService " + std::to_wstring(control) + L" " + name);
  if (!m.scm.Deliver(lock, control, 0, {})) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  // The entry may be gone once the handler has run (a deleted service that stopped).
  auto it = m.scm.services.find(name);
  if (lpServiceStatus && it != m.scm.services.end()) *lpServiceStatus = it->second.status;
  return TRUE;
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
  DWORD needed = AccessForControl(dwControl);
  sim::ServiceEntry* entry = EntryOf(m, hService, needed);
  if (!entry) return FALSE;
  if (auto fault = m.kernel.TakeFault("ControlService")) return Fail(*fault);
  if (entry->status.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (m.scm.ServedHere(entry->name)) return ControlOwnService(m, lock, *entry, dwControl, lpServiceStatus);
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
  auto lock = m.kernel.LockForRelease();
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
  if (auto fault = m.kernel.TakeFault("StartServiceCtrlDispatcherW")) return Fail(*fault);
  if (lpServiceStartTable == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!m.process.startedBySCM) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  sim::ServiceDispatcher& d = m.scm.dispatcher;
  if (d.entered) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  if (lpServiceStartTable[0].lpServiceName == nullptr || lpServiceStartTable[0].lpServiceProc == nullptr)
    return Fail(ERROR_INVALID_DATA);
  d.entered = true;
  d.running = true;
  d.serviceName = lpServiceStartTable[0].lpServiceName;
  m.kernel.Record("scm", L"dispatcher started " + d.serviceName);

  // An own-process service gets its name as its only argument.
  auto arguments = std::make_shared<std::vector<std::wstring>>(1, d.serviceName);
  LPSERVICE_MAIN_FUNCTIONW serviceMain = lpServiceStartTable[0].lpServiceProc;
  d.serviceMainThread = m.kernel.Spawn(
      [serviceMain, arguments] {
        std::vector<LPWSTR> argv;
        for (std::wstring& argument : *arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        serviceMain(static_cast<DWORD>(arguments->size()), argv.data());
        return DWORD{0};
      },
      L"ServiceMain");

  // The calling thread serves the handler, one request at a time, until the
  // service has reported SERVICE_STOPPED. A ServiceMain that ended without a
  // handler leaves nothing that could ever stop the service: return then too.
  for (;;) {
    m.kernel.Block(lock, [&d] {
      return !d.queue.empty() || d.stoppedReported || (d.handler == nullptr && d.serviceMainThread->finished);
    }, sim::kNever);
    if (d.queue.empty()) break;
    std::shared_ptr<sim::ControlRequest> request = d.queue.front();
    d.queue.pop_front();
    LPHANDLER_FUNCTION_EX handler = d.handler;
    LPVOID context = d.context;
    LPVOID eventData = m.kernel.memory.PlaceEventData(request->eventData);
    lock.unlock();
    DWORD result = handler(request->control, request->eventType, eventData, context);
    lock = m.kernel.Lock();
    request->result = result;
    request->done = true;
    m.kernel.Record("control", L"control " + std::to_wstring(request->control) + L" event " +
                                   std::to_wstring(request->eventType) + L" result " + std::to_wstring(result));
    m.kernel.Changed();
  }
  d.running = false;
  for (auto& request : d.queue) request->done = true;
  d.queue.clear();
  m.kernel.Record("scm", L"dispatcher returned " + d.serviceName);
  m.kernel.Changed();
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("RegisterServiceCtrlHandlerExW")) return Fail(*fault), nullptr;
  sim::ServiceDispatcher& d = m.scm.dispatcher;
  // An own-process service's name is not checked: the process runs one service.
  if (!d.running) return Fail(ERROR_SERVICE_NOT_IN_EXE), nullptr;
  if (lpServiceName == nullptr || lpHandlerProc == nullptr) return Fail(ERROR_INVALID_PARAMETER), nullptr;
  d.handler = lpHandlerProc;
  d.context = lpContext;
  if (d.statusHandle == nullptr) d.statusHandle = m.kernel.Insert(std::make_shared<sim::ServiceStatusHandle>());
  m.kernel.Record("scm", L"RegisterServiceCtrlHandlerExW " + std::wstring(lpServiceName));
  m.kernel.Changed();
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(d.statusHandle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (!m.kernel.FindAs<sim::ServiceStatusHandle>(reinterpret_cast<HANDLE>(hServiceStatus)))
    return Fail(ERROR_INVALID_HANDLE);
  if (auto fault = m.kernel.TakeFault("SetServiceStatus")) return Fail(*fault);
  if (lpServiceStatus == nullptr || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
      lpServiceStatus->dwCurrentState > SERVICE_PAUSED)
    return Fail(ERROR_INVALID_DATA);
  const SERVICE_STATUS& status = *lpServiceStatus;
  sim::StatusReport report;
  report.seq = m.kernel.NextSeq();
  report.timeMs = m.kernel.Now();
  report.status = status;
  m.scm.statusReports.push_back(report);
  sim::ServiceDispatcher& d = m.scm.dispatcher;
  auto entry = m.scm.services.find(d.serviceName);
  if (entry != m.scm.services.end()) entry->second.status = status;
  if (status.dwCurrentState == SERVICE_STOPPED) d.stoppedReported = true;
  m.kernel.Record("status", L"type " + std::to_wstring(status.dwServiceType) + L" state " +
                                std::to_wstring(status.dwCurrentState) + L" accepted " +
                                std::to_wstring(status.dwControlsAccepted) + L" exit code " +
                                std::to_wstring(status.dwWin32ExitCode) + L" specific " +
                                std::to_wstring(status.dwServiceSpecificExitCode) + L" checkpoint " +
                                std::to_wstring(status.dwCheckPoint) + L" wait hint " +
                                std::to_wstring(status.dwWaitHint));
  m.kernel.Changed();
  return TRUE;
}
}  // namespace os
