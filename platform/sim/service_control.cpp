#include "platform/service_control.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/sim/machine.h"

namespace sim {
void ScmModel::AddService(const std::wstring& name, DWORD currentState, std::uint64_t stopTakesMs,
                          std::uint64_t startTakesMs) {
  auto lock = kernel_.Lock();
  ServiceEntry& entry = services[name];
  entry.name = name;
  entry.status.dwCurrentState = currentState;
  // Such a service takes a stop while it runs, as most do.
  entry.status.dwControlsAccepted = currentState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  entry.stopTakesMs = stopTakesMs;
  entry.startTakesMs = startTakesMs;
  entry.bootState = currentState;
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
  return statusReports.Entries();
}

std::shared_ptr<const ScmRequest> ScmModel::RequestControl(const std::wstring& service, DWORD control) {
  auto lock = kernel_.Lock();
  ScmRequest request;
  request.service = service;
  request.control = control;
  auto it = services.find(service);
  if (it == services.end()) return Refuse(std::move(request), ERROR_SERVICE_DOES_NOT_EXIST);
  Refresh(it->second);
  return SubmitControl(it->second, std::move(request));
}

std::shared_ptr<const ScmRequest> ScmModel::Notify(DWORD control, DWORD eventType, std::vector<BYTE> eventData) {
  auto lock = kernel_.Lock();
  return SubmitNotification(control, eventType, std::move(eventData));
}

std::shared_ptr<ScmRequest> ScmModel::SubmitNotification(DWORD control, DWORD eventType, std::vector<BYTE> eventData) {
  if (!HandlerReachable()) return nullptr;
  ScmRequest request;
  request.service = dispatcher.serviceName;
  request.control = control;
  request.eventType = eventType;
  request.eventData = std::move(eventData);
  return Submit(std::move(request));
}

std::shared_ptr<const ScmRequest> ScmModel::NotifySessionChange(DWORD eventType, DWORD sessionId) {
  auto lock = kernel_.Lock();
  if (!Accepts(SERVICE_ACCEPT_SESSIONCHANGE)) return nullptr;
  return SubmitNotification(SERVICE_CONTROL_SESSIONCHANGE, eventType, SessionNotification(sessionId));
}

std::optional<DWORD> ScmModel::AwaitHandled(const std::shared_ptr<const ScmRequest>& request) {
  if (!request) return std::nullopt;
  auto lock = kernel_.Lock();
  if (!kernel_.BlockReal(lock, [&] { return request->done; }, kNever, std::chrono::seconds(20)))
    throw std::runtime_error("the service's control handler did not return");
  return request->result;
}

std::optional<DWORD> ScmModel::Control(DWORD control, DWORD eventType, std::vector<BYTE> eventData) {
  return AwaitHandled(Notify(control, eventType, std::move(eventData)));
}

std::optional<DWORD> ScmModel::SessionChange(DWORD eventType, DWORD sessionId) {
  return AwaitHandled(NotifySessionChange(eventType, sessionId));
}

std::vector<HandlerCall> ScmModel::HandlerCalls() const {
  auto lock = kernel_.Lock();
  return handlerCalls.Entries();
}

bool ScmModel::ServiceLockHeld() const {
  auto lock = kernel_.Lock();
  return !lockHolder_.empty();
}

void ScmModel::SetFailureActions(const std::wstring& name, const SERVICE_FAILURE_ACTIONSW& actions) {
  auto lock = kernel_.Lock();
  ServiceEntry& entry = services[name];
  entry.name = name;
  ApplyFailureActions(entry, actions);
}

void ScmModel::ApplyFailureActions(ServiceEntry& entry, const SERVICE_FAILURE_ACTIONSW& actions) {
  FailureActions& kept = entry.failureActions;
  if (actions.lpsaActions != nullptr) {
    kept.resetPeriodS = actions.cActions == 0 ? 0 : actions.dwResetPeriod;
    kept.actions.assign(actions.lpsaActions, actions.lpsaActions + actions.cActions);
  }
  const auto apply = [](std::optional<std::wstring>& kept, LPCWSTR given) {
    if (given != nullptr) kept = *given == L'\0' ? std::nullopt : std::optional<std::wstring>(given);
  };
  apply(kept.rebootMessage, actions.lpRebootMsg);
  apply(kept.command, actions.lpCommand);
}

void ScmModel::TakeFailureAction(ServiceEntry& entry) {
  const FailureActions& configured = entry.failureActions;
  // The system going down takes no failure action.
  if (configured.actions.empty() || shuttingDown_) return;
  const std::uint64_t now = kernel_.Now();
  if (entry.failures > 0 && configured.resetPeriodS != INFINITE &&
      now - entry.lastFailureAt >= std::uint64_t{configured.resetPeriodS} * 1000)
    entry.failures = 0;
  ++entry.failures;
  entry.lastFailureAt = now;
  const SC_ACTION& action = configured.actions[std::min<std::size_t>(entry.failures, configured.actions.size()) - 1];
  std::wstring taken = entry.name + L" failed, " + std::to_wstring(entry.failures) + L" since boot: ";
  switch (action.Type) {
    case SC_ACTION_NONE:
      taken += L"no action";
      break;
    case SC_ACTION_RESTART:
      restarts_.push_back(Restart{entry.name, now + action.Delay});
      kernel_.AddAlarm(now + action.Delay);
      taken += L"restart in " + std::to_wstring(action.Delay) + L" ms";
      break;
    default:
      taken += L"action " + std::to_wstring(action.Type) + L" (not modelled: nothing done)";
      break;
  }
  kernel_.Record(sim::JournalKind::kScm, taken);
}

bool ScmModel::RestartDue() const {
  return std::any_of(restarts_.begin(), restarts_.end(), [this](const Restart& r) { return r.atMs <= kernel_.Now(); });
}

std::optional<std::wstring> ScmModel::TakeDueRestart() {
  const auto due =
      std::find_if(restarts_.begin(), restarts_.end(), [this](const Restart& r) { return r.atMs <= kernel_.Now(); });
  if (due == restarts_.end()) return std::nullopt;
  const std::wstring name = due->service;
  restarts_.erase(due);
  auto it = services.find(name);
  std::wstring notNeeded;
  if (it == services.end()) {
    notNeeded = L"it is no longer installed";
  } else {
    Refresh(it->second);
    if (it->second.markedForDeletion)
      notNeeded = L"it is marked for deletion";
    else if (it->second.status.dwCurrentState != SERVICE_STOPPED)
      notNeeded = L"it was started meanwhile";
  }
  if (!notNeeded.empty()) {
    kernel_.Record(sim::JournalKind::kScm, L"no restart of " + name + L": " + notNeeded);
    return std::nullopt;
  }
  kernel_.Record(sim::JournalKind::kScm, L"restarting " + name + L" (failure action)");
  return name;
}

bool ScmModel::HandlerReachable() const {
  return dispatcher.running && dispatcher.handler != nullptr && !dispatcher.stoppedReported;
}

bool ScmModel::ServedHere(const std::wstring& name) const {
  return dispatcher.running && dispatcher.handler != nullptr && !CaseInsensitiveLess()(name, dispatcher.serviceName) &&
         !CaseInsensitiveLess()(dispatcher.serviceName, name);
}

bool ScmModel::Accepts(DWORD acceptFlags) const {
  auto it = services.find(dispatcher.serviceName);
  return it != services.end() && (it->second.status.dwControlsAccepted & acceptFlags) == acceptFlags;
}

void ScmModel::Refresh(ServiceEntry& entry) const {
  if (entry.status.dwCurrentState == SERVICE_STOP_PENDING && kernel_.Now() >= entry.stopDoneAt) {
    entry.status.dwCurrentState = SERVICE_STOPPED;
    entry.status.dwControlsAccepted = 0;
    entry.status.dwWaitHint = 0;
    entry.stopDoneAt = kNever;
  }
  if (entry.status.dwCurrentState == SERVICE_START_PENDING && kernel_.Now() >= entry.startDoneAt) {
    entry.status = SERVICE_STATUS{entry.type, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    entry.startDoneAt = kNever;
  }
}

void ScmModel::RemoveIfDeleted(const std::wstring& name) {
  auto it = services.find(name);
  if (it != services.end() && it->second.markedForDeletion && it->second.openHandles == 0 &&
      it->second.status.dwCurrentState == SERVICE_STOPPED) {
    kernel_.Record(sim::JournalKind::kScm, it->second.name + L" deleted");
    services.erase(it);
  }
}

std::shared_ptr<ScmRequest> ScmModel::Submit(ScmRequest request) {
  auto submitted = std::make_shared<ScmRequest>(std::move(request));
  submitted->queued = true;
  submitted->madeAtMs = kernel_.Now();
  submitted->giveUpAtMs = submitted->madeAtMs + kRequestTimeoutMs;
  if (submitted->program) {
    // An sc.exe run ends when its request is answered; until its turn comes
    // it waits no longer than the SCM lets it.
    submitted->program->endsAt = std::max(submitted->programEarliestEnd, submitted->giveUpAtMs);
    kernel_.AddAlarm(submitted->program->endsAt);
  }
  requests_.push_back(submitted);
  Advance();
  return submitted;
}

std::shared_ptr<ScmRequest> ScmModel::SubmitControl(ServiceEntry& entry, ScmRequest request) {
  request.service = entry.name;
  if (shuttingDown_) return Refuse(std::move(request), ERROR_SHUTDOWN_IN_PROGRESS);
  if (auto refusal = Refusal(entry.status, request.control)) return Refuse(std::move(request), *refusal);
  kernel_.Record(sim::JournalKind::kScm, L"ControlService " + std::to_wstring(request.control) + L" " + entry.name);
  return Submit(std::move(request));
}

std::shared_ptr<ScmRequest> ScmModel::Refuse(ScmRequest request, DWORD error) {
  request.madeAtMs = kernel_.Now();
  auto refused = std::make_shared<ScmRequest>(std::move(request));
  Answer(*refused, error);
  return refused;
}

void ScmModel::Withdraw(const std::shared_ptr<ScmRequest>& request) {
  requests_.erase(std::remove(requests_.begin(), requests_.end(), request), requests_.end());
  kernel_.Record(sim::JournalKind::kScm, L"request for " + request->service + L" timed out waiting for its turn");
  Answer(*request, ERROR_SERVICE_REQUEST_TIMEOUT);
}

void ScmModel::Handled(const std::shared_ptr<ScmRequest>& request) {
  Answer(*request, request->result ? ERROR_SUCCESS : ERROR_SERVICE_NOT_ACTIVE);
  Advance();
}

void ScmModel::DispatcherReturned() {
  dispatcher.running = false;
  std::deque<std::shared_ptr<ScmRequest>> left;
  left.swap(dispatcher.queue);
  for (const auto& request : left) Handled(request);
}

void ScmModel::Advance() {
  while (!requests_.empty()) {
    const std::shared_ptr<ScmRequest> head = requests_.front();
    if (head->done) {
      requests_.pop_front();
      continue;
    }
    // A handler has it: the SCM is busy until it returns.
    if (head->takenUpAtMs) return;
    if (head->GaveUp(kernel_.Now())) {
      requests_.pop_front();
      Answer(*head, ERROR_SERVICE_REQUEST_TIMEOUT);
      continue;
    }
    head->takenUpAtMs = kernel_.Now();
    TakeUp(head);
  }
}

void ScmModel::TakeUp(const std::shared_ptr<ScmRequest>& request) {
  if (request->kind == ScmRequest::Kind::kStart) {
    requests_.pop_front();
    // A start waits for the service lock without holding up other requests.
    if (lockHolder_.empty())
      CarryOutStart(request);
    else
      startsWaitingForLock_.push_back(request);
    return;
  }
  if (ServedHere(request->service)) {
    if (!HandlerReachable()) {
      Answer(*request, ERROR_SERVICE_NOT_ACTIVE);
      return;
    }
    dispatcher.queue.push_back(request);
    if (request->program) {
      request->program->endsAt = std::max(request->programEarliestEnd, kernel_.Now() + kRequestTimeoutMs);
      kernel_.AddAlarm(request->program->endsAt);
    }
    kernel_.Changed();
    return;
  }
  // A service no process of this machine runs takes a stop and answers the rest.
  auto it = services.find(request->service);
  if (it != services.end() && request->control == SERVICE_CONTROL_STOP) {
    Refresh(it->second);
    if (it->second.status.dwCurrentState == SERVICE_RUNNING) StopScripted(it->second);
  }
  Answer(*request, ERROR_SUCCESS);
}

void ScmModel::CarryOutStart(const std::shared_ptr<ScmRequest>& request) {
  auto it = services.find(request->service);
  if (it == services.end()) {
    Answer(*request, ERROR_SERVICE_DOES_NOT_EXIST);
    return;
  }
  ServiceEntry& entry = it->second;
  Refresh(entry);
  if (entry.status.dwCurrentState != SERVICE_STOPPED) {
    Answer(*request, ERROR_SERVICE_ALREADY_RUNNING);
    return;
  }
  // The service process's own service is started by the machine's driver
  // (Machine::StartServiceProcess), not here.
  if (CaseInsensitiveLess()(entry.name, processService_) || CaseInsensitiveLess()(processService_, entry.name))
    StartScripted(entry);
  Answer(*request, ERROR_SUCCESS);
}

void ScmModel::Answer(ScmRequest& request, DWORD error) {
  request.error = error;
  request.done = true;
  request.doneAtMs = kernel_.Now();
  if (request.program) {
    request.program->endsAt =
        std::max(request.programEarliestEnd, std::min(request.program->endsAt, kernel_.Now()));
    kernel_.AddAlarm(request.program->endsAt);
  }
  kernel_.Changed();
}

void ScmModel::StopScripted(ServiceEntry& entry) {
  entry.status.dwCurrentState = SERVICE_STOP_PENDING;
  entry.status.dwControlsAccepted = 0;
  entry.stopDoneAt = kernel_.Now() + entry.stopTakesMs;
  kernel_.Record(sim::JournalKind::kScm, L"stopping " + entry.name);
  Refresh(entry);
}

void ScmModel::StartScripted(ServiceEntry& entry) {
  entry.status = SERVICE_STATUS{entry.type, SERVICE_START_PENDING, 0, 0, 0, 0, kStartWaitHintMs};
  entry.startDoneAt = kernel_.Now() + entry.startTakesMs;
  kernel_.Record(sim::JournalKind::kScm, L"starting " + entry.name);
  Refresh(entry);
}

void ScmModel::BeginShutdown() {
  shuttingDown_ = true;
  restarts_.clear();
  kernel_.Record(sim::JournalKind::kScm, L"shutdown");
}

void ScmModel::Boot() {
  shuttingDown_ = false;
  std::deque<std::shared_ptr<ScmRequest>> left;
  left.swap(requests_);
  for (const auto& waiting : startsWaitingForLock_) left.push_back(waiting);
  startsWaitingForLock_.clear();
  for (const auto& request : left)
    if (!request->done) Answer(*request, ERROR_SHUTDOWN_IN_PROGRESS);
  for (auto& [name, entry] : services) {
    // Failures are counted since boot.
    entry.failures = 0;
    const DWORD state = CaseInsensitiveLess()(name, processService_) || CaseInsensitiveLess()(processService_, name)
                            ? entry.bootState
                            : SERVICE_STOPPED;
    entry.status = SERVICE_STATUS{entry.type, state, state == SERVICE_RUNNING ? DWORD{SERVICE_ACCEPT_STOP} : 0, 0, 0,
                                  0, 0};
    entry.stopDoneAt = kNever;
    entry.startDoneAt = kNever;
  }
  kernel_.Record(sim::JournalKind::kScm, L"boot");
}

void ScmModel::BeginServiceStart(const std::wstring& name) {
  ServiceEntry& entry = services[name];
  entry.name = name;
  entry.status = SERVICE_STATUS{entry.type, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  entry.stopDoneAt = kNever;
  entry.startDoneAt = kNever;
  processService_ = name;
  dispatcher = ServiceDispatcher{};
  lockHolder_ = name;
  reportsSinceStart_ = 0;
  lastProgressAt_ = kernel_.Now();
  lastCheckPoint_ = 0;
  lastWaitHint_ = 0;
  kernel_.Spawn([this] {
    WatchStart();
    return DWORD{0};
  }, L"service start watch");
}

void ScmModel::WatchStart() {
  auto lock = kernel_.Lock();
  while (!lockHolder_.empty()) {
    const std::uint64_t reports = reportsSinceStart_;
    const std::uint64_t hangAt = lastProgressAt_ + kStartHangMs + lastWaitHint_;
    if (kernel_.Block(lock, [&] { return lockHolder_.empty() || reportsSinceStart_ != reports; }, hangAt)) continue;
    ServiceEntry& entry = services[lockHolder_];
    kernel_.Record(sim::JournalKind::kScm, entry.name + L" hung on starting: stopped");
    entry.status = SERVICE_STATUS{entry.type, SERVICE_STOPPED, 0, ERROR_SERVICE_START_HANG, 0, 0, 0};
    const std::wstring name = entry.name;
    ReleaseServiceLock();
    RemoveIfDeleted(name);
  }
}

void ScmModel::Reported(const SERVICE_STATUS& status) {
  auto entry = services.find(dispatcher.serviceName);
  if (entry != services.end()) entry->second.status = status;
  if (status.dwCurrentState == SERVICE_STOPPED) {
    dispatcher.stoppedReported = true;
    RemoveIfDeleted(dispatcher.serviceName);
  }
  if (lockHolder_.empty() || CaseInsensitiveLess()(lockHolder_, dispatcher.serviceName) ||
      CaseInsensitiveLess()(dispatcher.serviceName, lockHolder_))
    return;
  if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED) {
    ReleaseServiceLock();
    return;
  }
  ++reportsSinceStart_;
  lastWaitHint_ = status.dwWaitHint;
  if (status.dwCheckPoint != lastCheckPoint_) {
    lastCheckPoint_ = status.dwCheckPoint;
    lastProgressAt_ = kernel_.Now();
  }
}

void ScmModel::ProcessEnded() {
  if (dispatcher.handling) dispatcher.queue.push_front(dispatcher.handling);
  dispatcher.handling = nullptr;
  DispatcherReturned();
  auto it = services.find(processService_);
  if (it != services.end() && it->second.status.dwCurrentState != SERVICE_STOPPED) {
    ServiceEntry& entry = it->second;
    kernel_.Record(sim::JournalKind::kScm, entry.name + L" terminated unexpectedly");
    entry.status = SERVICE_STATUS{entry.type, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
    TakeFailureAction(entry);
  }
  if (!lockHolder_.empty()) ReleaseServiceLock();
  RemoveIfDeleted(processService_);
  kernel_.Changed();
}

// A stopped service is not active, a pending one cannot take a control, and
// a control outside the accepted set is not valid for it.
std::optional<DWORD> ScmModel::Refusal(const SERVICE_STATUS& status, DWORD control) {
  if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (control == SERVICE_CONTROL_INTERROGATE) return std::nullopt;
  if (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_STOP_PENDING)
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD acceptFlag = 0;
  if (control == SERVICE_CONTROL_STOP) acceptFlag = SERVICE_ACCEPT_STOP;
  if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
    acceptFlag = SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (acceptFlag != 0 && !(status.dwControlsAccepted & acceptFlag)) return ERROR_INVALID_SERVICE_CONTROL;
  return std::nullopt;
}

void ScmModel::ReleaseServiceLock() {
  lockHolder_.clear();
  std::vector<std::shared_ptr<ScmRequest>> waiting;
  waiting.swap(startsWaitingForLock_);
  for (const auto& start : waiting) CarryOutStart(start);
  kernel_.Changed();
}

std::vector<BYTE> SessionNotification(DWORD sessionId) {
  // WTSSESSION_NOTIFICATION: cbSize, then the session id.
  const DWORD notification[2] = {sizeof notification, sessionId};
  std::vector<BYTE> data(sizeof notification);
  std::memcpy(data.data(), notification, sizeof notification);
  return data;
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

bool ValidControl(DWORD control) {
  return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_INTERROGATE) ||
         (control >= 128 && control <= 255);
}

// Waits for the SCM to take the request up, 30 s at most, and for a control
// for this machine's process, for its handler to return, 30 s more at most
// (the handler runs on past it). The SCM's answer.
DWORD AwaitRequest(sim::Machine& m, std::unique_lock<std::mutex>& lock,
                   const std::shared_ptr<sim::ScmRequest>& request) {
  m.kernel.Block(lock, [&] { return request->takenUpAtMs || request->done; }, request->giveUpAtMs);
  if (!request->takenUpAtMs && !request->done) m.scm.Withdraw(request);
  if (request->takenUpAtMs && !request->done &&
      !m.kernel.Block(lock, [&] { return request->done; }, *request->takenUpAtMs + sim::ScmModel::kRequestTimeoutMs)) {
    m.kernel.Record(sim::JournalKind::kScm, L"ControlService " + std::to_wstring(request->control) + L" " +
                                               request->service + L" timed out waiting for the handler");
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  return request->error;
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
  m.kernel.Record(sim::JournalKind::kScm, L"CreateServiceW " + entry.name);
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
  if (!ValidControl(dwControl)) return Fail(ERROR_INVALID_PARAMETER);
  if (auto fault = m.kernel.TakeFault("ControlService")) return Fail(*fault);
  const std::wstring name = entry->name;
  sim::ScmRequest control;
  control.control = dwControl;
  std::shared_ptr<sim::ScmRequest> request = m.scm.SubmitControl(*entry, std::move(control));
  const DWORD error = AwaitRequest(m, lock, request);
  // The entry may be gone once the handler has run (a deleted service that stopped).
  auto it = m.scm.services.find(name);
  const bool filled = error == ERROR_SUCCESS || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
                      error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_INVALID_SERVICE_CONTROL;
  if (lpServiceStatus && filled && it != m.scm.services.end()) {
    m.scm.Refresh(it->second);
    *lpServiceStatus = it->second.status;
  }
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  sim::ServiceEntry* entry = EntryOf(m, hService, SERVICE_START);
  if (!entry) return FALSE;
  if (dwNumServiceArgs != 0 && lpServiceArgVectors == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (auto fault = m.kernel.TakeFault("StartServiceW")) return Fail(*fault);
  sim::ScmRequest start;
  start.kind = sim::ScmRequest::Kind::kStart;
  start.service = entry->name;
  std::shared_ptr<sim::ScmRequest> request = m.scm.Submit(std::move(start));
  DWORD error = AwaitRequest(m, lock, request);
  // Taken up, it waits for the service lock as long as a start holds it.
  if (request->takenUpAtMs) {
    m.kernel.Block(lock, [&] { return request->done; }, sim::kNever);
    error = request->error;
  }
  if (error != ERROR_SUCCESS) return Fail(error);
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

// The simulated database keeps one kind of optional configuration.
BOOL ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  sim::ServiceEntry* entry = EntryOf(m, hService, SERVICE_CHANGE_CONFIG);
  if (!entry) return FALSE;
  if (auto fault = m.kernel.TakeFault("ChangeServiceConfig2W")) return Fail(*fault);
  if (dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS) return Fail(ERROR_INVALID_LEVEL);
  if (lpInfo == nullptr) return TRUE;
  const auto& actions = *static_cast<const SERVICE_FAILURE_ACTIONSW*>(lpInfo);
  const SC_ACTION* const given = actions.lpsaActions;
  const DWORD count = given ? actions.cActions : 0;
  if (std::any_of(given, given + count, [](const SC_ACTION& a) { return a.Type > SC_ACTION_RUN_COMMAND; }))
    return Fail(ERROR_INVALID_PARAMETER);
  // The SCM takes the restarts it is given with the handle's right to start.
  const auto handle = m.kernel.FindAs<sim::ScServiceHandle>(reinterpret_cast<HANDLE>(hService));
  if (std::any_of(given, given + count, [](const SC_ACTION& a) { return a.Type == SC_ACTION_RESTART; }) &&
      !(handle->access & SERVICE_START))
    return Fail(ERROR_ACCESS_DENIED);
  sim::ScmModel::ApplyFailureActions(*entry, actions);
  m.kernel.Record(sim::JournalKind::kScm, L"ChangeServiceConfig2W " + entry->name + L" failure actions");
  return TRUE;
}

// SERVICE_FAILURE_ACTIONSW, then its actions, then its strings, each member
// pointing into the buffer.
BOOL QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                          LPDWORD pcbBytesNeeded) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  sim::ServiceEntry* entry = EntryOf(m, hService, SERVICE_QUERY_CONFIG);
  if (!entry) return FALSE;
  if (auto fault = m.kernel.TakeFault("QueryServiceConfig2W")) return Fail(*fault);
  if (dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS) return Fail(ERROR_INVALID_LEVEL);
  if (pcbBytesNeeded == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const sim::FailureActions& kept = entry->failureActions;
  const auto stringBytes = [](const std::optional<std::wstring>& text) {
    return text ? (text->size() + 1) * sizeof(WCHAR) : 0;
  };
  const std::size_t actionsAt = sizeof(SERVICE_FAILURE_ACTIONSW);
  const std::size_t rebootAt = actionsAt + kept.actions.size() * sizeof(SC_ACTION);
  const std::size_t commandAt = rebootAt + stringBytes(kept.rebootMessage);
  const std::size_t needed = commandAt + stringBytes(kept.command);
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  if (lpBuffer == nullptr || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  const auto place = [lpBuffer](const std::optional<std::wstring>& text, std::size_t at) -> LPWSTR {
    if (!text) return nullptr;
    std::memcpy(lpBuffer + at, text->c_str(), (text->size() + 1) * sizeof(WCHAR));
    return reinterpret_cast<LPWSTR>(lpBuffer + at);
  };
  SERVICE_FAILURE_ACTIONSW header{};
  header.dwResetPeriod = kept.resetPeriodS;
  header.cActions = static_cast<DWORD>(kept.actions.size());
  if (!kept.actions.empty()) {
    std::memcpy(lpBuffer + actionsAt, kept.actions.data(), kept.actions.size() * sizeof(SC_ACTION));
    header.lpsaActions = reinterpret_cast<SC_ACTION*>(lpBuffer + actionsAt);
  }
  header.lpRebootMsg = place(kept.rebootMessage, rebootAt);
  header.lpCommand = place(kept.command, commandAt);
  std::memcpy(lpBuffer, &header, sizeof header);
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
  m.kernel.Record(sim::JournalKind::kScm, L"DeleteService " + entry->name);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  sim::Machine& m = M();
  auto lock = m.kernel.LockForRelease();
  HANDLE handle = reinterpret_cast<HANDLE>(hSCObject);
  if (auto service = m.kernel.FindAs<sim::ScServiceHandle>(handle)) {
    auto it = m.scm.services.find(service->name);
    if (it != m.scm.services.end()) --it->second.openHandles;
    m.scm.RemoveIfDeleted(service->name);
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
  m.kernel.Record(sim::JournalKind::kScm, L"dispatcher started " + d.serviceName);

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
  // service has reported SERVICE_STOPPED. A service that never does (its
  // handler could not be registered, say) keeps it here for good.
  for (;;) {
    m.kernel.Block(lock, [&d] { return !d.queue.empty() || d.stoppedReported; }, sim::kNever);
    if (d.queue.empty()) break;
    std::shared_ptr<sim::ScmRequest> request = d.queue.front();
    d.queue.pop_front();
    d.handling = request;
    request->deliveredAtMs = m.kernel.Now();
    m.scm.handlerCalls.push_back(sim::HandlerCall{request->control, request->eventType, m.kernel.Now(), {}, {}});
    // One call at a time: no other call is recorded before this one returns.
    sim::HandlerCall& call = m.scm.handlerCalls.back();
    LPHANDLER_FUNCTION_EX handler = d.handler;
    LPVOID context = d.context;
    LPVOID eventData = m.kernel.memory.PlaceEventData(request->eventData);
    lock.unlock();
    DWORD result = handler(request->control, request->eventType, eventData, context);
    lock = m.kernel.Lock();
    d.handling = nullptr;
    call.returnedAtMs = m.kernel.Now();
    call.result = result;
    request->returnedAtMs = m.kernel.Now();
    request->result = result;
    m.kernel.Record(sim::JournalKind::kControl, L"control " + std::to_wstring(request->control) + L" event " +
                                   std::to_wstring(request->eventType) + L" result " + std::to_wstring(result));
    m.scm.Handled(request);
  }
  m.scm.DispatcherReturned();
  m.kernel.Record(sim::JournalKind::kScm, L"dispatcher returned " + d.serviceName);
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
  m.kernel.Record(sim::JournalKind::kScm, L"RegisterServiceCtrlHandlerExW " + std::wstring(lpServiceName));
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
  m.kernel.Record(sim::JournalKind::kStatus, L"type " + std::to_wstring(status.dwServiceType) + L" state " +
                                std::to_wstring(status.dwCurrentState) + L" accepted " +
                                std::to_wstring(status.dwControlsAccepted) + L" exit code " +
                                std::to_wstring(status.dwWin32ExitCode) + L" specific " +
                                std::to_wstring(status.dwServiceSpecificExitCode) + L" checkpoint " +
                                std::to_wstring(status.dwCheckPoint) + L" wait hint " +
                                std::to_wstring(status.dwWaitHint));
  m.scm.Reported(status);
  m.kernel.Changed();
  return TRUE;
}
}  // namespace os
