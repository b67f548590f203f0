// The simulated Windows machine that the sim build's platform layer runs on,
// and its control surface for tests and the simulator: set up, inject faults,
// act, and observe in order.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/sim/device_model.h"
#include "platform/sim/diagnostics_model.h"
#include "platform/sim/firmware_model.h"
#include "platform/sim/kernel.h"
#include "platform/sim/power_model.h"
#include "platform/sim/process_model.h"
#include "platform/sim/registry_model.h"
#include "platform/sim/scm_model.h"

namespace sim {

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
  // The same for calls about one name only (the event CreateEventW creates, ...).
  void FailNamed(const std::string& op, const std::wstring& name, DWORD error, int times = 1);

  // Machine time in ms since the machine started.
  std::uint64_t Now();
  // Lets the machine run for ms of machine time, the driver blocked meanwhile,
  // and then settle: what is due at that time is done when it returns. Throws
  // std::runtime_error when that takes longer than realLimit of real time (a
  // thread that keeps running without letting the clock move).
  void RunFor(std::uint64_t ms, std::chrono::milliseconds realLimit = std::chrono::seconds(20));
  // Lets the machine run until done() holds (checked under the machine lock;
  // read only machine state in it). False after realLimit of real time.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds realLimit = std::chrono::seconds(20));
  // Lets the machine run until every other thread is blocked with nothing to
  // do before the clock must move.
  bool Settle(std::chrono::milliseconds realLimit = std::chrono::seconds(20));
  // The SCM starts a service: its entry shows START_PENDING, the SCM holds
  // the service lock, and programMain runs as the main thread of a new
  // process that the SCM started; when it returns, the process ends with its
  // result as exit code. The machine's state (registry, devices, SCM
  // database) carries over from an earlier process; per-process state (the
  // dispatcher, power registrations, handles) starts afresh.
  std::shared_ptr<ThreadObject> StartServiceProcess(const std::wstring& serviceName,
                                                    std::function<DWORD()> programMain);
  // The service process ends at once, as by TerminateProcess: a crash or a
  // power loss between two steps.
  void KillProcess(DWORD exitCode);
  // Starts a thread of the machine, as the program's own main thread.
  std::shared_ptr<ThreadObject> Start(std::function<DWORD()> body, std::wstring name);
  // Waits for a machine thread to end and gives its exit code.
  DWORD Join(const std::shared_ptr<ThreadObject>& thread,
             std::chrono::milliseconds realLimit = std::chrono::seconds(20));

  // Sets these named events in one step, as if signalled at the same moment.
  void SignalTogether(const std::vector<std::wstring>& names);

  std::vector<JournalEntry> Journal();

  // Platform side, lock held: the service process ends with this exit code;
  // how it ended goes to the journal.
  void EndServiceProcess(DWORD exitCode, const std::wstring& how);

  Kernel kernel;
  RegistryModel registry{kernel};
  DiagnosticsModel diagnostics{kernel};
  ProcessModel process{kernel};
  ScmModel scm{kernel};
  PowerModel power{kernel, scm};
  DeviceModel devices{kernel};
  FirmwareModel firmware{kernel};
};

}  // namespace sim
