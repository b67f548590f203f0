#include "platform/sim/kernel.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>

namespace sim {
namespace {
thread_local SimThread* t_current = nullptr;
thread_local DWORD t_lastError = 0;
// This thread is evaluating a readiness predicate, under the machine lock.
thread_local bool t_inPredicate = false;
}  // namespace

DWORD& LastError() { return t_lastError; }

Scheduling Scheduling::Default() {
  Scheduling scheduling;
#ifdef ZEFO_SIM_FREE_RUNNING
  scheduling.mode = Mode::kFreeRunning;
#endif
  if (const char* seed = std::getenv("ZEFO_SIM_SEED")) scheduling.seed = std::strtoull(seed, nullptr, 0);
  return scheduling;
}

namespace {
// The machine's process memory sits at the same address in every run; below
// 2 GB, where the sanitizers' builds keep application memory too.
void* const kMachineMemoryAddress = reinterpret_cast<void*>(0x3E000000);
constexpr std::size_t kMachineMemorySize = 0x10000;

// Each machine's handles start from a base of their own.
std::atomic<std::uintptr_t> g_machinesBuilt{0};

[[noreturn]] void Report(const std::string& message) {
  std::fprintf(stderr, "simulated machine: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Whether the host thread sleeps (blocked on something) or runs.
bool HostThreadSleeps(long hostId) {
  std::ifstream stat("/proc/self/task/" + std::to_string(hostId) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'R';
}

long HostThreadId() { return static_cast<long>(syscall(SYS_gettid)); }
}  // namespace

MachineMemory::MachineMemory() {
  base_ = mmap(kMachineMemoryAddress, kMachineMemorySize, PROT_READ | PROT_WRITE,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (base_ != kMachineMemoryAddress) Report("cannot map the process memory at its fixed address");
}

MachineMemory::~MachineMemory() { munmap(base_, kMachineMemorySize); }

LPVOID MachineMemory::PlaceEventData(const std::vector<BYTE>& data) {
  if (data.empty()) return nullptr;
  if (data.size() > kMachineMemorySize) Report("event data larger than the event-data block");
  std::memcpy(base_, data.data(), data.size());
  return base_;
}

Kernel::Kernel(Scheduling scheduling)
    : scheduling_(scheduling),
      tieState_(scheduling.seed),
      nextHandle_(0x100 + ((g_machinesBuilt.fetch_add(1) % 0xFFFF) << 24)) {
  driver_.name = L"driver";
  driver_.hostId = HostThreadId();
  t_current = &driver_;
  if (OneAtATime()) {
    running_ = &driver_;
    watchdog_ = std::thread([this] { Watch(); });
  }
}

Kernel::~Kernel() {
  EndAllThreads();
  if (watchdog_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      watchdogStop_ = true;
    }
    watchdogWake_.notify_all();
    watchdog_.join();
  }
  t_current = nullptr;
}

std::unique_lock<std::mutex> Kernel::Lock(const char* call) { return Enter(call, true); }

std::unique_lock<std::mutex> Kernel::LockForRelease(const char* call) { return Enter(call, false); }

bool Kernel::Holds(const std::function<bool()>& ready) const {
  struct InPredicate {
    InPredicate() { t_inPredicate = true; }
    ~InPredicate() { t_inPredicate = false; }
  } inPredicate;
  return ready();
}

void Kernel::RequireOutsidePredicate(const char* what) const {
  if (t_inPredicate)
    Report(std::string(what) + " inside a readiness predicate: a predicate only reads machine state");
}

std::unique_lock<std::mutex> Kernel::Enter(const char* call, bool raises) {
  RequireOutsidePredicate(call);
  SimThread* self = t_current;
  if (self == nullptr)
    Report(std::string(call) + " called from a thread the machine did not start: start it with CreateThread");
  std::unique_lock<std::mutex> lock(mutex_);
  assert((!OneAtATime() || running_ == self) && "a machine thread runs only with the run token");
  if (std::uncaught_exceptions() == 0) {
    // Terminated while it ran (free-running, or by itself): cut here.
    if (self->terminate && !self->parked) CutShort(*self, call);
    if (self->parked) {
      Park(lock);
      // The machine ends its threads (or it swallowed its unwinding): unwind it.
      if (raises) throw ThreadTerminated{};
    }
  }
  return lock;
}

void Kernel::Park(std::unique_lock<std::mutex>& lock) {
  SimThread* self = t_current;
  if (self->unwinding) return;
  self->blocked = true;
  self->ready = nullptr;
  self->deadline = kNever;
  self->giveUpAt = std::chrono::steady_clock::time_point::max();
  if (OneAtATime()) {
    HandOver(lock, self);
  } else {
    changed_.notify_all();
    changed_.wait(lock, [self] { return self->unwinding; });
  }
  self->blocked = false;
}

void Kernel::EndProcess(int process, DWORD exitCode) {
  for (SimThread& t : threads_)
    if (t.process == process && !t.parked) MarkParked(t, exitCode);
  // Its memory goes with it, the locks in it included: a process started
  // afterwards finds them free.
  for (auto it = lockOwners.begin(); it != lockOwners.end();)
    it = it->second->process == process ? lockOwners.erase(it) : std::next(it);
  for (auto it = handleOwners_.begin(); it != handleOwners_.end();) {
    if (it->second.process == process) {
      handles_.erase(it->first);
      it = handleOwners_.erase(it);
    } else {
      ++it;
    }
  }
  changed_.notify_all();
}

bool Kernel::ProcessHasThreads(int process) const {
  return std::any_of(threads_.begin(), threads_.end(),
                     [process](const SimThread& t) { return t.process == process && !t.parked; });
}

SimThread* Kernel::CurrentThread() const { return t_current; }

void Kernel::Changed() { changed_.notify_all(); }

bool Kernel::Block(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline,
                   const char* call) {
  return BlockReal(lock, std::move(ready), deadline, std::chrono::milliseconds::max(), call);
}

bool Kernel::BlockReal(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline,
                       std::chrono::milliseconds realLimit, const char* call) {
  RequireOutsidePredicate(call);
  SimThread* self = t_current;
  // Unwinding as the machine ends it: no more waits.
  if (self->parked) return false;
  if (Holds(ready)) return true;
  self->ready = ready;
  self->deadline = deadline;
  self->realLimit = realLimit;
  self->giveUpAt = realLimit == std::chrono::milliseconds::max() ? std::chrono::steady_clock::time_point::max()
                                                                 : std::chrono::steady_clock::now() + realLimit;
  self->call = call;
  self->readySince.reset();
  self->blocked = true;
  if (OneAtATime()) {
    HandOver(lock, self);
  } else {
    for (;;) {
      if (self->parked) {
        Park(lock);
        break;
      }
      if (Holds(ready) || now_ >= deadline || std::chrono::steady_clock::now() >= self->giveUpAt) break;
      // Moved to an alarm short of the deadline, it looks again.
      if (AdvanceClockIfIdle()) continue;
      if (self->giveUpAt == std::chrono::steady_clock::time_point::max())
        changed_.wait(lock);
      else
        changed_.wait_until(lock, self->giveUpAt);
    }
  }
  self->blocked = false;
  self->ready = nullptr;
  if (self->parked) throw ThreadTerminated{};
  return Holds(ready);
}

bool Kernel::WaitOver(const SimThread& t) const { return t.deadline <= now_ || (t.ready && Holds(t.ready)); }

bool Kernel::Due(const SimThread& t) const {
  if (!t.blocked) return false;
  if (t.parked) return t.unwinding;
  return WaitOver(t) || std::chrono::steady_clock::now() >= t.giveUpAt;
}

bool Kernel::OthersIdle(const SimThread* self) const {
  bool idle = true;
  ForEachThread([&](const SimThread& t) {
    if (&t == self) return;
    if (OneAtATime())
      idle = idle && !Due(t);
    else
      idle = idle && t.blocked && (t.parked || !WaitOver(t));
  });
  return idle;
}

void Kernel::HandOver(std::unique_lock<std::mutex>& lock, SimThread* self) {
  SimThread* next = PickNext();
  running_ = next;
  ++handOvers_;
  next->turn.notify_one();
  if (self != nullptr) self->turn.wait(lock, [this, self] { return running_ == self; });
}

SimThread* Kernel::PickNext() {
  for (;;) {
    const std::uint64_t handOver = handOvers_;
    std::vector<SimThread*> earliest;
    auto consider = [&](SimThread& t) {
      if (!Due(t)) {
        t.readySince.reset();
        return;
      }
      if (!t.readySince) t.readySince = ReadyStamp{now_, handOver};
      if (!earliest.empty() && *earliest.front()->readySince < *t.readySince) return;
      if (!earliest.empty() && *t.readySince < *earliest.front()->readySince) earliest.clear();
      earliest.push_back(&t);
    };
    ForEachThread(consider);
    if (!earliest.empty()) {
      if (scheduling_.seed == 0 || earliest.size() == 1) return earliest.front();
      // splitmix64
      std::uint64_t z = (tieState_ += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      z ^= z >> 31;
      return earliest[z % earliest.size()];
    }
    // Nothing can go on now: the clock moves to the next deadline or alarm.
    std::uint64_t next = kNever;
    ForEachThread([&](const SimThread& t) {
      if (t.blocked && !t.parked && t.deadline > now_) next = std::min(next, t.deadline);
    });
    for (std::uint64_t at : alarms_)
      if (at > now_) next = std::min(next, at);
    alarms_.erase(std::remove_if(alarms_.begin(), alarms_.end(), [this](std::uint64_t at) { return at <= now_; }),
                  alarms_.end());
    if (next == kNever) {
      // Nothing will ever change: a driver that may give up does so now.
      if (driver_.blocked && driver_.giveUpAt != std::chrono::steady_clock::time_point::max()) return &driver_;
      ReportDeadlock();
    }
    MoveClock(next);
  }
}

void Kernel::ReportDeadlock() const {
  std::string message = "deadlock at " + std::to_string(now_) + " ms: every thread waits for ever:";
  ForEachThread([&](const SimThread& t) {
    if (t.blocked && !t.parked) message += " '" + Narrow(t.name) + "' in " + t.call + ";";
  });
  Report(message);
}

bool Kernel::AdvanceClockIfIdle() {
  std::uint64_t next = kNever;
  auto consider = [&](const SimThread& t) {
    if (!t.blocked) return false;
    if (t.parked) return true;
    if (t.ready && Holds(t.ready)) {
      // Its wait may hang on others being blocked (Settle): wake it.
      changed_.notify_all();
      return false;
    }
    if (t.deadline <= now_) return false;
    next = std::min(next, t.deadline);
    return true;
  };
  if (!consider(driver_)) return false;
  for (const SimThread& t : threads_)
    if (!consider(t)) return false;
  alarms_.erase(std::remove_if(alarms_.begin(), alarms_.end(), [this](std::uint64_t at) { return at <= now_; }),
                alarms_.end());
  for (std::uint64_t at : alarms_) next = std::min(next, at);
  if (next == kNever) return false;
  MoveClock(next);
  changed_.notify_all();
  return true;
}

void Kernel::MoveClock(std::uint64_t to) {
  now_ = to;
  std::optional<std::chrono::steady_clock::time_point> realNow;
  ForEachThread([&](SimThread& t) {
    if (!t.blocked || t.deadline == kNever || t.realLimit == std::chrono::milliseconds::max()) return;
    if (!realNow) realNow = std::chrono::steady_clock::now();
    t.giveUpAt = *realNow + t.realLimit;
  });
}

void Kernel::Watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::uint64_t seen = handOvers_;
  auto since = std::chrono::steady_clock::now();
  while (!watchdogStop_) {
    watchdogWake_.wait_for(lock, scheduling_.watchdog / 10);
    const SimThread* holder = running_;
    if (handOvers_ != seen) {
      seen = handOvers_;
      since = std::chrono::steady_clock::now();
      continue;
    }
    if (std::chrono::steady_clock::now() - since < scheduling_.watchdog) continue;
    Report("machine thread '" + Narrow(holder->name) + "' has held the run token for " +
           std::to_string(scheduling_.watchdog.count()) + " ms without a platform wait: " +
           (HostThreadSleeps(holder->hostId)
                ? "it is blocked outside the platform (a lock or wait the machine cannot see)"
                : "it runs without end (a spin that no platform call ends)"));
  }
}

std::shared_ptr<ThreadObject> Kernel::Spawn(std::function<DWORD()> body, std::wstring name) {
  auto object = std::make_shared<ThreadObject>();
  object->name = name;
  threads_.emplace_back();
  SimThread* rec = &threads_.back();
  rec->object = object;
  rec->name = std::move(name);
  rec->order = nextOrder_++;
  rec->process = t_current ? t_current->process : 0;
  object->thread = rec;
  if (OneAtATime()) {
    // It waits for the token like a thread whose wait has just ended.
    rec->blocked = true;
    rec->ready = [] { return true; };
  }
  rec->thread = std::thread([this, rec, body = std::move(body)] {
    t_current = rec;
    DWORD code = 0;
    try {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        rec->hostId = HostThreadId();
        rec->turn.wait(lock, [this, rec] { return running_ == rec || !OneAtATime(); });
        rec->blocked = false;
        rec->ready = nullptr;
        if (rec->parked) throw ThreadTerminated{};
      }
      code = body();
    } catch (const ThreadTerminated&) {
      // ThreadEnded gives it the code it was terminated with.
    }
    ThreadEnded(rec, code);
  });
  return object;
}

void Kernel::ThreadEnded(SimThread* rec, DWORD exitCode) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A parked thread's object already shows its end.
  if (!rec->parked) {
    rec->object->finished = true;
    // Terminated between two platform calls, it may have come to its end by
    // itself; it still ends with the code it was terminated with.
    rec->object->exitCode = rec->terminate ? rec->terminateExitCode : exitCode;
    rec->object->thread = nullptr;
  }
  rec->blocked = false;
  auto it = std::find_if(threads_.begin(), threads_.end(), [rec](const SimThread& t) { return &t == rec; });
  finished_.push_back(std::move(it->thread));
  threads_.erase(it);
  t_current = nullptr;
  if (OneAtATime()) {
    HandOver(lock, nullptr);
  } else {
    AdvanceClockIfIdle();
    changed_.notify_all();
  }
}

void Kernel::MarkParked(SimThread& thread, DWORD exitCode) {
  thread.parked = true;
  // Blocked in a wait, it counts as idle at once.
  thread.ready = nullptr;
  thread.deadline = kNever;
  thread.object->finished = true;
  thread.object->exitCode = exitCode;
  thread.object->thread = nullptr;
}

void Kernel::CutShort(SimThread& thread, const char* call) {
  thread.call = call;
  MarkParked(thread, thread.terminateExitCode);
  if (!thread.unwinding)
    Record(sim::JournalKind::kThread, L"'" + thread.name + L"' terminated in " + std::wstring(call, call + std::strlen(call)));
}

void Kernel::Terminate(SimThread* thread, DWORD exitCode) {
  if (thread == nullptr || thread->terminate || thread->parked) return;
  thread->terminate = true;
  thread->terminateExitCode = exitCode;
  terminatedThreads_.insert(thread->order);
  // Stopped inside the call it waits in; a running thread (free-running, or
  // itself) is cut at its next platform call.
  if (thread->blocked) CutShort(*thread, thread->call);
  changed_.notify_all();
}

void Kernel::EndAllThreads() {
  UnwindThreads([](const SimThread&) { return true; });
  std::lock_guard<std::mutex> guard(mutex_);
  // The process's memory goes with it.
  lockOwners.clear();
}

void Kernel::UnwindProcess(int process) {
  UnwindThreads([process](const SimThread& t) { return t.process == process; });
}

void Kernel::UnwindThreads(const std::function<bool(const SimThread&)>& which) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (SimThread& t : threads_) {
    if (!which(t)) continue;
    t.unwinding = true;
    if (t.parked) continue;
    // Blocked ones park where they are; running ones (free-running) at their next call.
    t.terminate = true;
    if (t.blocked) MarkParked(t, 0);
  }
  const auto gone = [this, &which] { return std::none_of(threads_.begin(), threads_.end(), which); };
  if (OneAtATime()) {
    while (!gone()) {
      driver_.ready = gone;
      driver_.deadline = kNever;
      driver_.giveUpAt = std::chrono::steady_clock::time_point::max();
      driver_.call = "EndAllThreads";
      driver_.readySince.reset();
      driver_.blocked = true;
      HandOver(lock, &driver_);
      driver_.blocked = false;
      driver_.ready = nullptr;
    }
  } else {
    // The driver stays out of the count while it waits for the others to end.
    driver_.blocked = true;
    driver_.ready = [] { return true; };
    changed_.notify_all();
    changed_.wait(lock, gone);
    driver_.blocked = false;
    driver_.ready = nullptr;
  }
  std::vector<std::thread> ended;
  ended.swap(finished_);
  lock.unlock();
  for (std::thread& t : ended) t.join();
}

void Kernel::AddAlarm(std::uint64_t at) {
  if (at != kNever) alarms_.push_back(at);
}

HANDLE Kernel::Insert(std::shared_ptr<Object> object) {
  std::uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_[value] = std::move(object);
  handleOwners_[value] = t_current ? HandleOwner{t_current->process, t_current->order} : HandleOwner{0, 0};
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> Kernel::Find(HANDLE handle) const {
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? nullptr : it->second;
}

bool Kernel::Close(HANDLE handle) {
  handleOwners_.erase(reinterpret_cast<std::uintptr_t>(handle));
  return handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
}

void* Kernel::LocalAlloc(std::vector<BYTE> bytes) {
  void* address = bytes.data();
  localMemory[address] = std::move(bytes);
  return address;
}

std::size_t Kernel::OpenHandleCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return handles_.size();
}

std::size_t Kernel::OpenHandleCount(int process) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<std::size_t>(std::count_if(handleOwners_.begin(), handleOwners_.end(),
                                                [process](const auto& entry) { return entry.second.process == process; }));
}

std::map<std::string, std::size_t> Kernel::OpenHandlesByKind(int process) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::map<std::string, std::size_t> counts;
  for (const OpenHandle& handle : HandlesOf(process)) ++counts[handle.kind];
  return counts;
}

std::vector<OpenHandle> Kernel::HandlesOf(int process) const {
  std::vector<OpenHandle> handles;
  for (const auto& [value, owner] : handleOwners_)
    if (owner.process == process)
      handles.push_back(OpenHandle{reinterpret_cast<HANDLE>(value), handles_.at(value)->Kind(),
                                   terminatedThreads_.count(owner.thread) != 0});
  return handles;
}

void Kernel::AddFault(Fault fault) {
  std::lock_guard<std::mutex> guard(mutex_);
  faults_.push_back(std::move(fault));
}

std::optional<DWORD> Kernel::TakeFault(const char* op, long index, const std::wstring& subject) {
  // Every matching fault counts the call, so that a fault for the nth call
  // hits that call whatever other faults do meanwhile.
  std::optional<DWORD> error;
  for (auto it = faults_.begin(); it != faults_.end();) {
    const bool matches = it->op == op && (it->index == -1 || it->index == index) &&
                         (it->subject.empty() || it->subject == subject) &&
                         (!it->thread || (t_current != nullptr && t_current->object == it->thread));
    if (!matches) {
      ++it;
    } else if (it->skip > 0) {
      --it->skip;
      ++it;
    } else if (error) {
      ++it;  // due too: it applies to the next call
    } else {
      error = it->error;
      it = it->remaining > 0 && --it->remaining == 0 ? faults_.erase(it) : std::next(it);
    }
  }
  return error;
}

const char* JournalKindName(JournalKind kind) {
  switch (kind) {
    case JournalKind::kDebug: return "debug";
    case JournalKind::kEvent: return "event";
    case JournalKind::kTrace: return "trace";
    case JournalKind::kStatus: return "status";
    case JournalKind::kControl: return "control";
    case JournalKind::kDevice: return "device";
    case JournalKind::kFirmware: return "firmware";
    case JournalKind::kRegistry: return "registry";
    case JournalKind::kCommand: return "command";
    case JournalKind::kConsole: return "console";
    case JournalKind::kPower: return "power";
    case JournalKind::kProcess: return "process";
    case JournalKind::kLoader: return "loader";
    case JournalKind::kScm: return "scm";
    case JournalKind::kThread: return "thread";
    case JournalKind::kSleep: return "sleep";
    case JournalKind::kWait: return "wait";
    case JournalKind::kScenario: return "scenario";
  }
  return "?";
}

bool Kernel::Unwinding() const { return t_current != nullptr && t_current->unwinding; }

void Kernel::Record(JournalKind kind, std::wstring text) {
  RequireOutsidePredicate("Record");
  if (Unwinding()) return;
  JournalEntry entry;
  entry.seq = NextSeq();
  entry.timeMs = now_;
  entry.kind = kind;
  entry.text = std::move(text);
  journal.push_back(std::move(entry));
}

}  // namespace sim
