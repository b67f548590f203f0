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
#include "platform/sim/scm_limits.h"
#include "platform/sim/process_model.h"
#include "platform/sim/registry_model.h"

namespace sim {

// A service's failure actions (SERVICE_CONFIG_FAILURE_ACTIONS) as the
// database keeps them.
struct FailureActions {
  DWORD resetPeriodS = 0;  // INFINITE: the failure count is never reset
  std::optional<std::wstring> rebootMessage;
  std::optional<std::wstring> command;
  std::vector<SC_ACTION> actions;
};

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
  // A service no process of this machine runs: how long it takes to stop
  // after a stop request and to start after a start, and the state each boot
  // finds it in.
  std::uint64_t stopTakesMs = 0;
  std::uint64_t startTakesMs = 0;
  std::uint64_t stopDoneAt = kNever;
  std::uint64_t startDoneAt = kNever;
  DWORD bootState = SERVICE_STOPPED;
  bool markedForDeletion = false;
  int openHandles = 0;
  FailureActions failureActions;
  // Its failures since boot, and when the last one was.
  DWORD failures = 0;
  std::uint64_t lastFailureAt = 0;
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

// One request to the SCM: a control for a service (from ControlService, an
// "sc stop", or the SCM's own power, session and shutdown notifications) or
// a start (StartService, "sc start"). The SCM takes them up one at a time,
// in order: a control for the service this machine's process runs keeps it
// busy until the handler has returned.
struct ScmRequest {
  enum class Kind { kControl, kStart };
  Kind kind = Kind::kControl;
  std::wstring service;
  DWORD control = 0;
  DWORD eventType = 0;
  std::vector<BYTE> eventData;  // empty: the handler gets a null pointer
  std::uint64_t madeAtMs = 0;
  // The caller waits this long for the SCM to take it up, then fails with
  // ERROR_SERVICE_REQUEST_TIMEOUT.
  std::uint64_t giveUpAtMs = kNever;
  // The sc.exe run that made it: it ends once the request is answered, and
  // not before programEarliestEnd.
  std::shared_ptr<ProcessObject> program;
  std::uint64_t programEarliestEnd = 0;

  // How it went.
  bool queued = false;  // it went into the queue: the SCM did not refuse it at once
  std::optional<std::uint64_t> takenUpAtMs;
  std::optional<std::uint64_t> deliveredAtMs;  // the service's handler was called with it
  std::optional<std::uint64_t> returnedAtMs;   // and returned
  std::optional<DWORD> result;                 // the handler's result
  DWORD error = ERROR_SUCCESS;                 // the SCM's answer; a refusal or timeout when not carried out
  bool done = false;
  std::uint64_t doneAtMs = 0;

  // Whether its caller has stopped waiting for its turn by this time.
  bool GaveUp(std::uint64_t now) const {
    return !takenUpAtMs && (error == ERROR_SERVICE_REQUEST_TIMEOUT || now >= giveUpAtMs);
  }
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
  std::deque<std::shared_ptr<ScmRequest>> queue;  // what the SCM handed it, for the handler
  std::shared_ptr<ScmRequest> handling;           // the request the handler runs now
};

// A session change's event data: WTSSESSION_NOTIFICATION for this session.
std::vector<BYTE> SessionNotification(DWORD sessionId);

class ScmModel {
 public:
  // The SCM waits this long for its turn to send a control or start a
  // service, and for a service's control handler to return.
  static constexpr std::uint64_t kRequestTimeoutMs = kScmRequestTimeoutMs;

  explicit ScmModel(Kernel& kernel)
      : statusReports(kernel.logWindow), handlerCalls(kernel.logWindow), kernel_(kernel) {}

  // Database, driver side. A service no process of this machine runs, in
  // this state; stopping and starting it take these times.
  void AddService(const std::wstring& name, DWORD currentState = SERVICE_STOPPED, std::uint64_t stopTakesMs = 0,
                  std::uint64_t startTakesMs = 0);
  std::optional<ServiceEntry> Service(const std::wstring& name) const;

  // The service process's reports, every field as reported.
  std::vector<StatusReport> StatusReports() const;

  // A control, as "sc control" sends it: the SCM's checks (state, accepted
  // controls, a shutdown under way), then its turn. Never waits: the
  // request shows how it goes.
  std::shared_ptr<const ScmRequest> RequestControl(const std::wstring& service, DWORD control);
  // The SCM's own notification (a power event, a session change, a
  // shutdown) for the service process's handler, as given: no checks. Null
  // when the process has no handler to call (no dispatcher, no
  // registration, or already stopped). Never waits.
  std::shared_ptr<const ScmRequest> Notify(DWORD control, DWORD eventType = 0, std::vector<BYTE> eventData = {});

  // A session change (WTS_* event type), sent only while the service's last
  // report accepts session changes; as Notify.
  std::shared_ptr<const ScmRequest> NotifySessionChange(DWORD eventType, DWORD sessionId = 1);
  // Lets the machine run until the request is done; the handler's result,
  // none when it was not called (or there is no request).
  std::optional<DWORD> AwaitHandled(const std::shared_ptr<const ScmRequest>& request);
  // For tests: Notify and NotifySessionChange, awaited.
  std::optional<DWORD> Control(DWORD control, DWORD eventType = 0, std::vector<BYTE> eventData = {});
  std::optional<DWORD> SessionChange(DWORD eventType, DWORD sessionId = 1);
  // Every call of the service's handler, in order, with its times.
  std::vector<HandlerCall> HandlerCalls() const;
  // Whether a service start holds the service lock.
  bool ServiceLockHeld() const;
  // A service's failure actions, as ChangeServiceConfig2W sets them (an
  // entry is made for a service not in the database yet).
  void SetFailureActions(const std::wstring& name, const SERVICE_FAILURE_ACTIONSW& actions);

  // Platform side, lock held.
  std::map<std::wstring, ServiceEntry, CaseInsensitiveLess> services;
  BoundedLog<StatusReport> statusReports;
  BoundedLog<HandlerCall> handlerCalls;
  // Completes a stop or start of a service no process runs whose time has come.
  void Refresh(ServiceEntry& entry) const;
  // A service marked for deletion leaves the database once it is stopped and
  // its last handle is closed, whichever comes last.
  void RemoveIfDeleted(const std::wstring& name);
  ServiceDispatcher dispatcher;
  // Whether a ControlService request goes to this process's own service.
  bool ServedHere(const std::wstring& name) const;
  // Whether the service process's last report accepts these controls.
  bool Accepts(DWORD acceptFlags) const;
  // Whether the process has a handler the SCM can call.
  bool HandlerReachable() const;

  // What the SCM answers instead of sending the control to a service in this
  // state, if anything.
  static std::optional<DWORD> Refusal(const SERVICE_STATUS& status, DWORD control);

  // The request queue. Submit puts a request at its end (made now, given up
  // 30 s later) and takes up what the SCM can; the request is done at once
  // when nothing was before it and it needs no handler.
  std::shared_ptr<ScmRequest> Submit(ScmRequest request);
  // Notify, lock held.
  std::shared_ptr<ScmRequest> SubmitNotification(DWORD control, DWORD eventType, std::vector<BYTE> eventData);
  // A control request for this service after the SCM's checks; done at once
  // with the error when it refuses.
  std::shared_ptr<ScmRequest> SubmitControl(ServiceEntry& entry, ScmRequest request);
  // Its caller stopped waiting before its turn came: it fails with
  // ERROR_SERVICE_REQUEST_TIMEOUT and leaves the queue.
  void Withdraw(const std::shared_ptr<ScmRequest>& request);
  // The handler returned from this request (or its process ended).
  void Handled(const std::shared_ptr<ScmRequest>& request);
  // The dispatcher returned: what it was still given is not handled.
  void DispatcherReturned();

  // The system goes down: ControlService fails with ERROR_SHUTDOWN_IN_PROGRESS
  // from now on, as its page says.
  void BeginShutdown();
  bool ShuttingDown() const { return shuttingDown_; }
  // A new boot: every service no process of this machine runs is back in its
  // boot state, the one the service process ran is stopped, and what the
  // last boot left waiting is gone.
  void Boot();

  // The service process: its start, its reports, its end.
  void BeginServiceStart(const std::wstring& name);
  void Reported(const SERVICE_STATUS& status);
  void ProcessEnded();

  // ChangeServiceConfig2W's SERVICE_CONFIG_FAILURE_ACTIONS on an entry: a
  // null array leaves the actions and reset period as they are, an empty
  // one deletes them; a null string leaves it, an empty one deletes it.
  static void ApplyFailureActions(ServiceEntry& entry, const SERVICE_FAILURE_ACTIONSW& actions);
  // The service process's own service, when its failure action starts it
  // again and the time has come: its name, taken from the list (the
  // machine's driver starts the process). Journals a restart that is no
  // longer needed and drops it.
  std::optional<std::wstring> TakeDueRestart();
  // Whether a restart is due now.
  bool RestartDue() const;

 private:
  // While a service starts, the SCM holds the service lock; it judges a start
  // hung after 80 s plus the last wait hint without a new checkpoint.
  static constexpr std::uint64_t kStartHangMs = 80000;
  // StartService leaves a service it starts in this state until the service
  // reports.
  static constexpr DWORD kStartWaitHintMs = 2000;
  void WatchStart();
  void ReleaseServiceLock();
  // Takes up requests from the front of the queue while the SCM is free.
  void Advance();
  void TakeUp(const std::shared_ptr<ScmRequest>& request);
  void CarryOutStart(const std::shared_ptr<ScmRequest>& request);
  // A request the SCM answers at once with this error, never queued.
  std::shared_ptr<ScmRequest> Refuse(ScmRequest request, DWORD error);
  // The request is answered: done with this error, its program ends.
  void Answer(ScmRequest& request, DWORD error);
  // A service no process of this machine runs stops or starts.
  void StopScripted(ServiceEntry& entry);
  void StartScripted(ServiceEntry& entry);
  // The service process ended without reporting STOPPED: the nth failure
  // within the reset period takes the nth action, and the last one repeats.
  void TakeFailureAction(ServiceEntry& entry);

  Kernel& kernel_;
  std::wstring processService_;  // the entry the service process runs
  std::wstring lockHolder_;      // the service whose start holds the lock; empty: free
  std::uint64_t reportsSinceStart_ = 0;
  std::uint64_t lastProgressAt_ = 0;
  DWORD lastCheckPoint_ = 0;
  DWORD lastWaitHint_ = 0;
  bool shuttingDown_ = false;
  std::deque<std::shared_ptr<ScmRequest>> requests_;  // the front one is being carried out
  std::vector<std::shared_ptr<ScmRequest>> startsWaitingForLock_;
  struct Restart {
    std::wstring service;
    std::uint64_t atMs;
  };
  std::vector<Restart> restarts_;  // failure actions' restarts waiting for their time
};

}  // namespace sim
