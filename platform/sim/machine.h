// The simulated Windows machine that the sim build's platform layer runs on,
// and its control surface for tests and the simulator: set up, inject faults,
// act, and observe in order.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/device_model.h"
#include "platform/sim/diagnostics_model.h"
#include "platform/sim/file_system_model.h"
#include "platform/sim/firmware_model.h"
#include "platform/sim/kernel.h"
#include "platform/sim/power_model.h"
#include "platform/sim/process_model.h"
#include "platform/sim/registry_model.h"
#include "platform/sim/scm_model.h"

namespace sim {

// How long the system gives services after it sent SERVICE_CONTROL_SHUTDOWN
// before the shutdown goes on, by default (the HandlerEx page's 20 s).
constexpr std::uint64_t kShutdownTimeoutMs = 20000;

class Machine {
 public:
  // The calling thread becomes the machine's driver thread; its threads take
  // turns as scheduling says.
  explicit Machine(Scheduling scheduling = Scheduling::Default());
  // Ends every thread the machine started.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  static Machine& Current();

  // Faults: the next `times` calls (-1: every call) of the named operation
  // fail with error; index narrows it to calls about one member or value.
  // An operation outside kFaultableOperations throws std::invalid_argument.
  void Fail(const std::string& op, DWORD error, int times = 1, long index = -1);
  // The nth call of op from now on (1: the next) fails once with error,
  // whatever member or value it is about.
  void FailCall(const std::string& op, int nth, DWORD error);
  // The same for calls about one name only (the event CreateEventW creates,
  // the key a registry call opens or creates, the value it reads or writes, ...:
  // kFaultableOperations says which); an operation whose calls are about no
  // name throws std::invalid_argument.
  void FailNamed(const std::string& op, const std::wstring& name, DWORD error, int times = 1);
  // The same for the calls one thread makes (a ThreadObject of this machine).
  void FailOnThread(const std::string& op, std::shared_ptr<const ThreadObject> thread, DWORD error, int times = 1);

  // Machine time in ms since the machine started.
  std::uint64_t Now();
  // Lets the machine run for ms of machine time, the driver blocked meanwhile,
  // and then settle: what is due at that time is done when it returns. Throws
  // std::runtime_error when the clock stands still for realLimit of real time
  // (a thread that keeps running without letting it move); a long run that
  // keeps the clock moving takes what it takes.
  void RunFor(std::uint64_t ms, std::chrono::milliseconds realLimit = std::chrono::seconds(20));
  // Lets the machine run until done() holds (checked under the machine lock;
  // read only machine state in it). False after realLimit of real time.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds realLimit = std::chrono::seconds(20));
  // The same, but no further than machine time untilMs: false when the clock
  // got there first; realLimit counts from the clock's last move.
  bool RunUntilOrTime(const std::function<bool()>& done, std::uint64_t untilMs,
                      std::chrono::milliseconds realLimit = std::chrono::seconds(20));
  // Lets the machine run until every other thread is blocked with nothing to
  // do before the clock must move.
  bool Settle(std::chrono::milliseconds realLimit = std::chrono::seconds(20));
  // The SCM starts a service: its entry shows START_PENDING, the SCM holds
  // the service lock, and programMain runs as the main thread of a new
  // process that the SCM started; when it returns, the process ends with its
  // result as exit code. The machine's state (registry, devices, SCM
  // database) carries over from an earlier process; per-process state (the
  // dispatcher, power registrations, handles, locks) starts afresh, and the
  // earlier process's threads are unwound first (Kernel::UnwindProcess).
  std::shared_ptr<ThreadObject> StartServiceProcess(const std::wstring& serviceName,
                                                    std::function<DWORD()> programMain);
  // The service process ends at once, as by TerminateProcess: a crash or a
  // power loss between two steps.
  void KillProcess(DWORD exitCode);
  // How the driver starts the service process when the SCM starts it by
  // itself (a failure action's restart): called on the driver thread, inside
  // RunFor and its kin, once the start is due, with the service's name; it
  // does what a fresh process needs and calls StartServiceProcess.
  void SetServiceLauncher(std::function<void(const std::wstring& service)> launch);
  // Starts a thread of the machine, as the program's own main thread.
  std::shared_ptr<ThreadObject> Start(std::function<DWORD()> body, std::wstring name);
  // Waits for a machine thread to end and gives its exit code.
  DWORD Join(const std::shared_ptr<ThreadObject>& thread,
             std::chrono::milliseconds realLimit = std::chrono::seconds(20));

  // The calling machine thread's token from now on: elevated (the default)
  // or a non-elevated user's, as a token whose Administrators group is
  // deny-only impersonated on the thread. Registry access checks follow it.
  void SetThreadElevated(bool elevated);

  // Sets these named events in one step, as if signalled at the same moment.
  void SignalTogether(const std::vector<std::wstring>& names);
  // A process of another session makes a named object before the service
  // does, and holds it for the machine's life: a manual-reset event (set or
  // not) or a mutex, owned by Administrators when made elevated, else by the
  // user. Its DACL is the default, which the model does not restrict.
  enum class NamedObjectKind { kEvent, kMutex };
  void PlantNamedObject(const std::wstring& name, NamedObjectKind kind, bool set = false, bool elevatedOwner = false);

  // Acting on the machine as the system and the people around it do. The
  // SCM carries out one request at a time across all services: a control
  // waits while a handler runs, and none of these waits for it. Each gives
  // the request on its way (it shows whether and when the handler was
  // called and returned, or how the SCM refused it), or null when nothing
  // was sent.
  // A control sent as "sc control" sends it: the SCM's checks (state,
  // accepted controls), then the service's handler in its turn.
  std::shared_ptr<const ScmRequest> SendControl(const std::wstring& service, DWORD control);
  // The system goes down: ControlService fails with
  // ERROR_SHUTDOWN_IN_PROGRESS from now on, the SCM sends
  // SERVICE_CONTROL_SHUTDOWN to the service process's service if it accepts
  // it and has not stopped, and the system ends the service process timeoutMs
  // later wherever it stands.
  std::shared_ptr<const ScmRequest> Shutdown(std::uint64_t timeoutMs = kShutdownTimeoutMs);
  // The machine starts again after a shutdown, once the service process has
  // ended: registry, firmware and each device's disabled state are as the
  // last boot left them, a device problem whose cause does not persist is
  // gone, and the SCM's services are back in their boot state. The service
  // process is not started (StartServiceProcess).
  void Boot();
  // A power-setting change (lid switch, display state, ...), sent to a
  // service that registered for it and accepts power events.
  std::shared_ptr<const ScmRequest> PowerSettingChanged(const GUID& setting, DWORD value);
  // A session change (a WTS_* event type), sent to a service that accepts
  // session changes.
  std::shared_ptr<const ScmRequest> SessionChanged(DWORD eventType);
  // A device of the biometric class: its index (list order).
  int AddDevice(SimDevice device);
  // Plugged in or removed.
  void SetDevicePresent(int device, bool present);
  // The device fails with problem (0: its cause is gone); persists: an
  // enable does not clear it.
  void SetDeviceProblem(int device, ULONG problem, bool persists = false);
  // Sets the named event if a process made it; false when none exists.
  bool SignalNamedEvent(const std::wstring& name);
  // Under HKLM, creating the key path as needed.
  void SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, std::vector<BYTE> data);
  // An empty content removes the variable.
  void SetFirmwareVariable(const std::wstring& name, const std::wstring& vendorGuid, std::vector<BYTE> bytes);

  // Observing the machine, for invariants.
  // The service process's open handles by kind ("event": 3, ...).
  std::map<std::string, std::size_t> OpenHandles();
  // Not disabled by the class installer (whatever problem it shows).
  bool DeviceEnabled(int device);
  // A service's state in the SCM database; none when it has no entry.
  std::optional<DWORD> ServiceState(const std::wstring& name);

  std::vector<JournalEntry> Journal();

  // Platform side, lock held: the service process ends with this exit code;
  // how it ended goes to the journal.
  void EndServiceProcess(DWORD exitCode, const std::wstring& how);

  Kernel kernel;
  RegistryModel registry{kernel};
  DiagnosticsModel diagnostics{kernel};
  ProcessModel process{kernel};
  // Drive C: with Program Files and the program's own file in it.
  FileSystemModel files{kernel};
  ScmModel scm{kernel};
  PowerModel power{kernel, scm};
  DeviceModel devices{kernel};
  FirmwareModel firmware{kernel};

 private:
  // The driver's wait: until ready() holds (true), the clock reaches the
  // deadline or realLimit of real time passes (false). A restart the SCM
  // owes meanwhile is carried out at its time, through the launcher.
  bool Drive(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready, std::uint64_t deadline,
             std::chrono::milliseconds realLimit);

  std::function<void(const std::wstring&)> launcher_;
  std::vector<std::shared_ptr<NamedObject>> planted_;  // held by their makers
};

}  // namespace sim
