#include "platform/sim/machine.h"

#include <algorithm>
#include <cassert>
#include <stdexcept>

#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sim/fault_operations.h"

namespace sim {
namespace {
Machine* g_current = nullptr;

// A fault for an operation the machine does not know would never happen.
Fault FaultOf(const std::string& op, DWORD error, int times) {
  if (!FindFaultableOperation(op)) throw std::invalid_argument("the machine cannot fail " + op);
  Fault fault;
  fault.op = op;
  fault.error = error;
  fault.remaining = times;
  return fault;
}
}  // namespace

Machine::Machine(Scheduling scheduling) : kernel(scheduling) {
  assert(g_current == nullptr && "one machine at a time");
  g_current = this;
  files.AddFile(process.modulePath);
}

Machine::~Machine() {
  kernel.EndAllThreads();
  g_current = nullptr;
}

Machine& Machine::Current() {
  if (g_current == nullptr) throw std::logic_error("no simulated machine");
  return *g_current;
}

void Machine::Fail(const std::string& op, DWORD error, int times, long index) {
  Fault fault = FaultOf(op, error, times);
  fault.index = index;
  kernel.AddFault(std::move(fault));
}

void Machine::FailCall(const std::string& op, int nth, DWORD error) {
  Fault fault = FaultOf(op, error, 1);
  if (nth < 1) throw std::invalid_argument("calls are counted from 1");
  fault.skip = nth - 1;
  kernel.AddFault(std::move(fault));
}

void Machine::FailNamed(const std::string& op, const std::wstring& name, DWORD error, int times) {
  Fault fault = FaultOf(op, error, times);
  if (FindFaultableOperation(op)->about.empty())
    throw std::invalid_argument("the calls of " + op + " are not told apart by a name");
  fault.subject = name;
  kernel.AddFault(std::move(fault));
}

void Machine::FailOnThread(const std::string& op, std::shared_ptr<const ThreadObject> thread, DWORD error,
                           int times) {
  Fault fault = FaultOf(op, error, times);
  if (!thread) throw std::invalid_argument("no thread to fail the calls of");
  fault.thread = std::move(thread);
  kernel.AddFault(std::move(fault));
}

std::uint64_t Machine::Now() {
  auto lock = kernel.Lock();
  return kernel.Now();
}

bool Machine::Drive(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready, std::uint64_t deadline,
                    std::chrono::milliseconds realLimit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point giveUpAt = Clock::now() + realLimit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUpAt - Clock::now());
    const bool held = kernel.BlockReal(
        lock, [&] { return ready() || scm.RestartDue(); }, deadline, std::max(left, std::chrono::milliseconds(0)));
    if (!scm.RestartDue()) return held;
    if (const auto service = scm.TakeDueRestart()) {
      if (!launcher_) throw std::logic_error("the SCM restarts a service, and the driver set no launcher");
      lock.unlock();
      launcher_(*service);
      lock = kernel.Lock();
    }
  }
}

void Machine::SetServiceLauncher(std::function<void(const std::wstring& service)> launch) {
  launcher_ = std::move(launch);
}

void Machine::RunFor(std::uint64_t ms, std::chrono::milliseconds realLimit) {
  {
    auto lock = kernel.Lock();
    const std::uint64_t until = kernel.Now() + ms;
    Drive(lock, [] { return false; }, until, realLimit);
    if (kernel.Now() < until)
      throw std::runtime_error("the machine clock stood at " + std::to_string(kernel.Now()) + " ms short of " +
                               std::to_string(until) + " ms for the real-time limit: a thread keeps running");
  }
  if (!Settle(realLimit)) throw std::runtime_error("the machine did not settle within the real-time limit");
}

bool Machine::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds realLimit) {
  auto lock = kernel.Lock();
  return Drive(lock, done, kNever, realLimit);
}

bool Machine::RunUntilOrTime(const std::function<bool()>& done, std::uint64_t untilMs,
                             std::chrono::milliseconds realLimit) {
  auto lock = kernel.Lock();
  return Drive(lock, done, untilMs, realLimit);
}

bool Machine::Settle(std::chrono::milliseconds realLimit) {
  auto lock = kernel.Lock();
  const SimThread* self = kernel.CurrentThread();
  return Drive(lock, [this, self] { return kernel.OthersIdle(self); }, kNever, realLimit);
}

std::shared_ptr<ThreadObject> Machine::Start(std::function<DWORD()> body, std::wstring name) {
  auto lock = kernel.Lock();
  return kernel.Spawn(std::move(body), std::move(name));
}

std::shared_ptr<ThreadObject> Machine::StartServiceProcess(const std::wstring& serviceName,
                                                           std::function<DWORD()> programMain) {
  {
    auto lock = kernel.Lock();
    if (process.Running()) throw std::logic_error("the service process still runs");
    // A process whose threads the machine ended still had its handles.
    if (process.id != 0 && !process.exitCode) kernel.EndProcess(process.id, 0);
  }
  // What the last process's threads hold on their stacks goes with them.
  if (process.id != 0) kernel.UnwindProcess(process.id);
  auto lock = kernel.Lock();
  scm.BeginServiceStart(serviceName);
  power.registrations.clear();
  process.startedBySCM = true;
  // A new process has a fresh token, its privileges disabled, and the
  // standard DLL search order.
  process.systemEnvironmentEnabled = false;
  process.dllDirectories = 0;
  process.exitCode.reset();
  ++process.id;
  auto main = kernel.Spawn(
      [this, programMain = std::move(programMain)] {
        const DWORD exitCode = programMain();
        // Returning from the main thread ends the process, as the C runtime does.
        auto endLock = kernel.Lock();
        EndServiceProcess(exitCode, L"main thread returned");
        return exitCode;
      },
      L"main");
  // Before the thread's first platform call, which waits for this lock.
  main->thread->process = process.id;
  return main;
}

void Machine::KillProcess(DWORD exitCode) {
  auto lock = kernel.Lock();
  if (process.Running()) EndServiceProcess(exitCode, L"TerminateProcess");
}

void Machine::EndServiceProcess(DWORD exitCode, const std::wstring& how) {
  if (process.exitCode) return;
  process.exitCode = exitCode;
  kernel.Record(sim::JournalKind::kProcess, how + L", exit code " + std::to_wstring(exitCode));
  process.handlesAtEnd = kernel.HandlesOf(process.id);
  kernel.EndProcess(process.id, exitCode);
  // Its trace provider registration goes with it.
  diagnostics.provider = TraceProviderRegistration{};
  scm.ProcessEnded();
}

DWORD Machine::Join(const std::shared_ptr<ThreadObject>& thread, std::chrono::milliseconds realLimit) {
  auto lock = kernel.Lock();
  if (!Drive(lock, [&] { return thread->finished; }, kNever, realLimit))
    throw std::runtime_error("machine thread did not end");
  return thread->exitCode;
}

void Machine::SignalTogether(const std::vector<std::wstring>& names) {
  auto lock = kernel.Lock();
  for (const std::wstring& name : names) {
    auto event = kernel.FindNamed<Event>(name);
    if (!event) throw std::logic_error("no such event");
    event->signalled = true;
  }
  kernel.Changed();
}

void Machine::PlantNamedObject(const std::wstring& name, NamedObjectKind kind, bool set, bool elevatedOwner) {
  auto lock = kernel.Lock();
  if (kernel.FindNamed<NamedObject>(name)) throw std::logic_error("the name is taken");
  std::shared_ptr<NamedObject> object;
  if (kind == NamedObjectKind::kEvent)
    object = std::make_shared<Event>(true, set, name, DefaultOwner(elevatedOwner));
  else
    object = std::make_shared<Mutex>(name, DefaultOwner(elevatedOwner));
  kernel.namedObjects[name] = object;
  planted_.push_back(std::move(object));
  kernel.Changed();
}

std::vector<JournalEntry> Machine::Journal() {
  auto lock = kernel.Lock();
  return kernel.journal.Entries();
}

std::shared_ptr<const ScmRequest> Machine::SendControl(const std::wstring& service, DWORD control) {
  return scm.RequestControl(service, control);
}

std::shared_ptr<const ScmRequest> Machine::Shutdown(std::uint64_t timeoutMs) {
  auto lock = kernel.Lock();
  scm.BeginShutdown();
  if (process.Running()) {
    const std::uint64_t deadline = kernel.Now() + timeoutMs;
    const int id = process.id;
    kernel.Spawn(
        [this, deadline, id] {
          auto deadlineLock = kernel.Lock();
          const auto ended = [this, id] { return process.id != id || !process.Running(); };
          if (!kernel.Block(deadlineLock, ended, deadline))
            EndServiceProcess(ERROR_PROCESS_ABORTED, L"the shutdown deadline passed");
          return DWORD{0};
        },
        L"shutdown deadline");
  }
  auto it = scm.services.find(scm.dispatcher.serviceName);
  if (it == scm.services.end() || it->second.status.dwCurrentState == SERVICE_STOPPED ||
      !(it->second.status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN))
    return nullptr;
  return scm.SubmitNotification(SERVICE_CONTROL_SHUTDOWN, 0, {});
}

void Machine::Boot() {
  {
    auto lock = kernel.Lock();
    if (process.Running()) throw std::logic_error("the service process still runs");
    scm.Boot();
  }
  devices.Boot();
}

std::shared_ptr<const ScmRequest> Machine::PowerSettingChanged(const GUID& setting, DWORD value) {
  return power.NotifySettingChange(setting, value);
}

std::shared_ptr<const ScmRequest> Machine::SessionChanged(DWORD eventType) {
  return scm.NotifySessionChange(eventType);
}

int Machine::AddDevice(SimDevice device) { return devices.AddDevice(std::move(device)); }

void Machine::SetDevicePresent(int device, bool present) { devices.SetPresent(device, present); }

void Machine::SetDeviceProblem(int device, ULONG problem, bool persists) {
  devices.SetProblem(device, problem, persists);
}

void Machine::SetThreadElevated(bool elevated) {
  auto lock = kernel.Lock();
  kernel.CurrentThread()->elevated = elevated;
}

bool Machine::SignalNamedEvent(const std::wstring& name) {
  auto lock = kernel.Lock();
  auto event = kernel.FindNamed<Event>(name);
  if (!event) return false;
  event->signalled = true;
  kernel.Changed();
  return true;
}

void Machine::SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                               std::vector<BYTE> data) {
  registry.SetValue(keyPath, name, type, std::move(data));
}

void Machine::SetFirmwareVariable(const std::wstring& name, const std::wstring& vendorGuid, std::vector<BYTE> bytes) {
  firmware.SetVariable(name, vendorGuid, std::move(bytes));
}

std::map<std::string, std::size_t> Machine::OpenHandles() {
  int id;
  {
    auto lock = kernel.Lock();
    id = process.id;
  }
  return kernel.OpenHandlesByKind(id);
}

bool Machine::DeviceEnabled(int device) {
  auto lock = kernel.Lock();
  return !devices.nodes.at(static_cast<std::size_t>(device)).disabled;
}

std::optional<DWORD> Machine::ServiceState(const std::wstring& name) {
  const auto entry = scm.Service(name);
  return entry ? std::optional<DWORD>(entry->status.dwCurrentState) : std::nullopt;
}

}  // namespace sim
