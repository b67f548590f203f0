// The Service Control Manager: its service database, and the side that talks
// to a service process of this machine (dispatcher, handler, status reports).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/kernel.h"
#include "platform/sim/process_model.h"
#include "platform/sim/registry_model.h"

namespace sim {

struct ServiceEntry {
  std::wstring name;
  std::wstring displayName;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::wstring binaryPath;
  bool hasLoadOrderGroup = false;
  bool dependenciesGiven = false;  // a list, empty or not, rather than none
  std::vector<std::wstring> dependencies;
  bool hasAccount = false;  // false: LocalSystem
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  // A service no process of this machine runs stops this long after a stop request.
  std::uint64_t stopTakesMs = 0;
  std::uint64_t stopDoneAt = kNever;
  bool markedForDeletion = false;
  int openHandles = 0;
};

struct StatusReport : Stamp {
  SERVICE_STATUS status{};
};

// One call of the service's control handler, as the SCM timed it.
struct HandlerCall {
  DWORD control = 0;
  DWORD eventType = 0;
  std::uint64_t deliveredAtMs = 0;
  std::optional<std::uint64_t> returnedAtMs;  // none: still running, or its process ended inside it
  std::optional<DWORD> result;
};

class ScManagerHandle : public Object {
 public:
  explicit ScManagerHandle(DWORD desiredAccess) : access(desiredAccess) {}
  const char* Kind() const override { return "service manager"; }
  DWORD access;
};

class ScServiceHandle : public Object {
 public:
  ScServiceHandle(std::wstring serviceName, DWORD desiredAccess) : name(std::move(serviceName)), access(desiredAccess) {}
  const char* Kind() const override { return "service"; }
  std::wstring name;
  DWORD access;
};

class ServiceStatusHandle : public Object {
 public:
  const char* Kind() const override { return "service status"; }
};

// One control on its way to the service's handler on the dispatcher thread.
struct ControlRequest {
  DWORD control = 0;
  DWORD eventType = 0;
  std::vector<BYTE> eventData;  // empty: the handler gets a null pointer
  bool done = false;
  bool started = false;          // the handler has been called with it
  std::optional<DWORD> result;  // none: the dispatcher or its process ended before the handler returned
};

// The service side of this machine's process: its dispatcher, ServiceMain
// thread and registered handler.
struct ServiceDispatcher {
  bool entered = false;  // StartServiceCtrlDispatcherW may be called once per process
  bool running = false;
  std::wstring serviceName;
  std::shared_ptr<ThreadObject> serviceMainThread;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  HANDLE statusHandle = nullptr;
  bool stoppedReported = false;
  std::deque<std::shared_ptr<ControlRequest>> queue;
  std::shared_ptr<ControlRequest> handling;  // the request the handler runs now
};

// A "sc start" waiting for the service lock; its program ends once it has acted.
struct PendingStart {
  std::wstring name;
  std::shared_ptr<ProcessObject> program;
  std::uint64_t earliestEnd;
};

class ScmModel {
 public:
  explicit ScmModel(Kernel& kernel)
      : statusReports(kernel.logWindow), handlerCalls(kernel.logWindow), kernel_(kernel) {}

  // Database, driver side.
  void AddService(const std::wstring& name, DWORD currentState = SERVICE_STOPPED, std::uint64_t stopTakesMs = 0);
  std::optional<ServiceEntry> Service(const std::wstring& name) const;

  // The service process's reports, every field as reported.
  std::vector<StatusReport> StatusReports() const;

  // Calls the service's handler with this request on the dispatcher thread,
  // one request at a time as the SCM does, and lets the machine run until the
  // handler has returned. Gives the handler's result, or none when the process
  // has no handler to call (no dispatcher, no registration, or already
  // stopped). The request goes to the handler as given: use ControlService for
  // the SCM's checks of state and accepted controls.
  std::optional<DWORD> Control(DWORD control, DWORD eventType = 0, std::vector<BYTE> eventData = {});
  // A session change (WTS_* event type), sent only while the service's last
  // report accepts session changes.
  std::optional<DWORD> SessionChange(DWORD eventType, DWORD sessionId = 1);
  // Every call of the service's handler, in order, with its times.
  std::vector<HandlerCall> HandlerCalls() const;
  // Whether a service start holds the service lock.
  bool ServiceLockHeld() const;

  // Platform side, lock held.
  std::map<std::wstring, ServiceEntry, CaseInsensitiveLess> services;
  BoundedLog<StatusReport> statusReports;
  BoundedLog<HandlerCall> handlerCalls;
  void Refresh(ServiceEntry& entry) const;  // completes a scripted stop whose time has come
  // A service marked for deletion leaves the database once it is stopped and
  // its last handle is closed, whichever comes last.
  void RemoveIfDeleted(const std::wstring& name);
  ServiceDispatcher dispatcher;
  // Queues a request for the dispatcher thread; null when the process has no
  // handler to call (no dispatcher, no registration, or already stopped).
  std::shared_ptr<ControlRequest> Queue(DWORD control, DWORD eventType, std::vector<BYTE> eventData);
  // Queues a request and blocks until it is handled (test drivers).
  std::optional<DWORD> Deliver(std::unique_lock<std::mutex>& lock, DWORD control, DWORD eventType,
                               std::vector<BYTE> eventData);
  // Whether a ControlService request goes to this process's own service.
  bool ServedHere(const std::wstring& name) const;
  // Whether the service process's last report accepts these controls.
  bool Accepts(DWORD acceptFlags) const;

  // The service process: its start, its reports, its end.
  void BeginServiceStart(const std::wstring& name);
  void Reported(const SERVICE_STATUS& status);
  void ProcessEnded();

  // What the SCM answers instead of sending the control to a service in this
  // state, if anything.
  static std::optional<DWORD> Refusal(const SERVICE_STATUS& status, DWORD control);

  // Services no process of this machine runs, as ControlService STOP and
  // "sc stop" / "sc start" drive them. A start waits for the service lock;
  // the program that asked for it ends once it has acted, and not before
  // earliestEnd.
  void StopScripted(ServiceEntry& entry);
  void StartScripted(const std::wstring& name, std::shared_ptr<ProcessObject> program, std::uint64_t earliestEnd);

 private:
  // While a service starts, the SCM holds the service lock; it judges a start
  // hung after 80 s plus the last wait hint without a new checkpoint.
  static constexpr std::uint64_t kStartHangMs = 80000;
  void WatchStart();
  void ReleaseServiceLock();
  void CarryOutStart(const PendingStart& start);

  Kernel& kernel_;
  std::wstring processService_;  // the entry the service process runs
  std::wstring lockHolder_;      // the service whose start holds the lock; empty: free
  std::uint64_t reportsSinceStart_ = 0;
  std::uint64_t lastProgressAt_ = 0;
  DWORD lastCheckPoint_ = 0;
  DWORD lastWaitHint_ = 0;
  std::vector<PendingStart> pendingStarts_;
};

}  // namespace sim
