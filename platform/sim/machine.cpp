#include "platform/sim/machine.h"

#include <cassert>
#include <stdexcept>

#include "platform/sim/fault_operations.h"

namespace sim {
namespace {
Machine* g_current = nullptr;

// A fault for an operation the machine does not know would never happen.
void RequireFaultable(const std::string& op) {
  if (!IsFaultableOperation(op)) throw std::invalid_argument("the machine cannot fail " + op);
}
}  // namespace

Machine::Machine(Scheduling scheduling) : kernel(scheduling) {
  assert(g_current == nullptr && "one machine at a time");
  g_current = this;
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
  RequireFaultable(op);
  kernel.AddFault(Fault{op, error, times, index, {}});
}

void Machine::FailCall(const std::string& op, int nth, DWORD error) {
  RequireFaultable(op);
  if (nth < 1) throw std::invalid_argument("calls are counted from 1");
  kernel.AddFault(Fault{op, error, 1, -1, {}, nth - 1});
}

void Machine::FailNamed(const std::string& op, const std::wstring& name, DWORD error, int times) {
  RequireFaultable(op);
  kernel.AddFault(Fault{op, error, times, -1, name});
}

std::uint64_t Machine::Now() {
  auto lock = kernel.Lock();
  return kernel.Now();
}

void Machine::RunFor(std::uint64_t ms, std::chrono::milliseconds realLimit) {
  {
    auto lock = kernel.Lock();
    const std::uint64_t until = kernel.Now() + ms;
    kernel.BlockReal(lock, [] { return false; }, until, realLimit);
    if (kernel.Now() < until)
      throw std::runtime_error("the machine clock stood at " + std::to_string(kernel.Now()) + " ms short of " +
                               std::to_string(until) + " ms for the real-time limit: a thread keeps running");
  }
  if (!Settle(realLimit)) throw std::runtime_error("the machine did not settle within the real-time limit");
}

bool Machine::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds realLimit) {
  auto lock = kernel.Lock();
  return kernel.BlockReal(lock, done, kNever, realLimit);
}

bool Machine::Settle(std::chrono::milliseconds realLimit) {
  auto lock = kernel.Lock();
  const SimThread* self = kernel.CurrentThread();
  return kernel.BlockReal(lock, [this, self] { return kernel.OthersIdle(self); }, kNever, realLimit);
}

std::shared_ptr<ThreadObject> Machine::Start(std::function<DWORD()> body, std::wstring name) {
  auto lock = kernel.Lock();
  return kernel.Spawn(std::move(body), std::move(name));
}

std::shared_ptr<ThreadObject> Machine::StartServiceProcess(const std::wstring& serviceName,
                                                           std::function<DWORD()> programMain) {
  auto lock = kernel.Lock();
  if (process.Running()) throw std::logic_error("the service process still runs");
  // A process whose threads the machine ended still had its handles.
  if (process.id != 0 && !process.exitCode) kernel.EndProcess(process.id, 0);
  scm.BeginServiceStart(serviceName);
  power.registrations.clear();
  process.startedBySCM = true;
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
  kernel.EndProcess(process.id, exitCode);
  scm.ProcessEnded();
}

DWORD Machine::Join(const std::shared_ptr<ThreadObject>& thread, std::chrono::milliseconds realLimit) {
  auto lock = kernel.Lock();
  if (!kernel.BlockReal(lock, [&] { return thread->finished; }, kNever, realLimit))
    throw std::runtime_error("machine thread did not end");
  return thread->exitCode;
}

void Machine::SignalTogether(const std::vector<std::wstring>& names) {
  auto lock = kernel.Lock();
  for (const std::wstring& name : names) {
    auto it = kernel.namedEvents.find(name);
    if (it == kernel.namedEvents.end()) throw std::logic_error("no such event");
    if (auto event = it->second.lock()) event->signalled = true;
  }
  kernel.Changed();
}

std::vector<JournalEntry> Machine::Journal() {
  auto lock = kernel.Lock();
  return kernel.journal.Entries();
}

}  // namespace sim
