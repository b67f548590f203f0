// The simulated machine's kernel: one lock over all machine state, real
// threads that take turns, waitable objects, handles, faults and a virtual
// clock.
//
// The contract, for the models built on it and the code that runs on it:
//
// Turns. In the one-at-a-time mode (the default) exactly one machine thread
// runs at a time: it holds the run token. It hands the token over only when it
// blocks in a platform call (Block: a wait, a sleep, a call that waits for
// another machine thread) or ends. The next to run is the thread whose wait
// became ready earliest (machine time, then the hand-over at which the kernel
// saw it ready); threads that became ready at the same hand-over are a tie,
// broken by the seed: seed 0 takes them in creation order, any other seed
// draws among them. When no thread can go on, the clock jumps to the earliest
// deadline or alarm. So the same scenario with the same seed gives the same
// journal, byte for byte, however loaded the host is. In the free-running mode
// (the ThreadSanitizer build) threads run truly at once, as they did before,
// and only the clock is the machine's.
//
// Where a thread may block. Only in Block, that is, inside a platform call. A
// machine thread that blocks anywhere else (a std::mutex, a host sleep, a
// spin) holds the token and stops the whole machine: a real-time watchdog
// reports it and ends the process. A platform call from a thread the machine
// did not start is reported the same way. Every lock of the program therefore
// goes through the platform (os::AcquireSRWLockExclusive).
//
// Readiness predicates (Block's ready, RunUntil's done) run under the machine
// lock on whichever thread is handing over the token, at every hand-over: they
// only read machine state, never lock, block, record or change anything, and
// may be called any number of times. A platform call or a record from inside
// one is reported.
//
// Termination. TerminateThread parks its target, and so does the end of its
// process: the thread runs no more code (it is stopped inside the platform
// call it is in, or at its next one), its thread object is signalled with
// the exit code, and its locks stay held, as on Windows (those of an ended
// process go with it); for TerminateThread the journal records in which call
// it was cut. A parked thread is unwound only when the machine ends its
// threads (EndAllThreads), or those of its ended process (UnwindProcess), by
// ThreadTerminated raised from that platform call (a release call instead
// completes, and the next call raises): its destructors then run as the
// system cleaning up, and nothing they do is seen.
// Code on a machine thread must not swallow ThreadTerminated (a catch (...)
// that does not rethrow): the next platform call raises it again.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/security.h"
#include "platform/sim/win_types.h"

namespace sim {

constexpr std::uint64_t kNever = UINT64_MAX;

// Unwinds a parked machine thread when the machine ends its threads. Raised
// only from a platform call; see the contract above.
struct ThreadTerminated {};

// How the machine's threads take turns.
struct Scheduling {
  enum class Mode { kOneAtATime, kFreeRunning };
  Mode mode = Mode::kOneAtATime;
  // Breaks ties between threads ready at the same hand-over; 0: creation order.
  std::uint64_t seed = 0;
  // How long a machine thread (the driver too) may hold the run token without
  // a platform wait before it is reported.
  std::chrono::milliseconds watchdog = std::chrono::seconds(10);

  // The build's mode (free-running under ThreadSanitizer), the seed from
  // ZEFO_SIM_SEED (0 when unset).
  static Scheduling Default();
};

// Every machine object that a handle can name.
class Object {
 public:
  virtual ~Object() = default;
  // What a handle to it is called in reports: "event", "thread", "key", ...
  virtual const char* Kind() const = 0;
  // Waitable objects: whether a wait on it would return now.
  virtual bool Signalled() const { return false; }
  // A wait that returned on this object takes the signal (auto-reset events).
  virtual void Acquire() {}
  virtual bool Waitable() const { return false; }
};

// A kernel object that may have a name in the machine's one namespace of
// events, mutexes and the like.
class NamedObject : public Object {
 public:
  NamedObject(std::wstring objectName, std::wstring owner) : name(std::move(objectName)) {
    security.owner = std::move(owner);
  }
  std::wstring name;  // empty: unnamed
  // Its owner always: the one its descriptor gave, else its creator's
  // default owner. Its DACL as given; none: default security, which the
  // model does not restrict.
  Security security;
};

class Event : public NamedObject {
 public:
  Event(bool manualReset, bool initialState, std::wstring eventName, std::wstring owner)
      : NamedObject(std::move(eventName), std::move(owner)), manual(manualReset), signalled(initialState) {}
  const char* Kind() const override { return "event"; }
  bool Signalled() const override { return signalled; }
  void Acquire() override {
    if (!manual) signalled = false;
  }
  bool Waitable() const override { return true; }

  bool manual;
  bool signalled;
};

// A mutex another process made and holds: its name is taken, and a wait on
// it never returns.
class Mutex : public NamedObject {
 public:
  using NamedObject::NamedObject;
  const char* Kind() const override { return "mutex"; }
  bool Waitable() const override { return true; }
};

struct SimThread;

class ThreadObject : public Object {
 public:
  const char* Kind() const override { return "thread"; }
  bool Signalled() const override { return finished; }
  bool Waitable() const override { return true; }
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  SimThread* thread = nullptr;  // null once the thread has ended
  std::wstring name;
};

// When a thread's wait was first seen ready: machine time, then hand-over.
struct ReadyStamp {
  std::uint64_t timeMs;
  std::uint64_t handOver;
  bool operator<(const ReadyStamp& o) const { return timeMs != o.timeMs ? timeMs < o.timeMs : handOver < o.handOver; }
  bool operator==(const ReadyStamp& o) const { return timeMs == o.timeMs && handOver == o.handOver; }
};

struct SimThread {
  std::thread thread;
  std::shared_ptr<ThreadObject> object;
  std::wstring name;
  std::uint64_t order = 0;          // creation order; the driver is 0
  std::condition_variable turn;     // one-at-a-time: notified when given the run token
  long hostId = 0;                  // the host's id of the thread, for reports
  bool blocked = false;             // waiting in the kernel (one-at-a-time: not holding the token)
  std::function<bool()> ready;      // valid while blocked
  std::uint64_t deadline = kNever;  // machine time
  // A wait with a real-time limit gives up then; one with a deadline gets
  // the limit afresh each time the clock moves (see BlockReal).
  std::chrono::steady_clock::time_point giveUpAt = std::chrono::steady_clock::time_point::max();
  std::chrono::milliseconds realLimit = std::chrono::milliseconds::max();
  std::optional<ReadyStamp> readySince;
  const char* call = "start";  // the platform call it waits in, or was cut in
  bool terminate = false;
  DWORD terminateExitCode = 0;
  int process = 0;      // 0: the test driver's; threads inherit their creator's
  // The token it runs with: elevated (the machine's default) or a
  // non-elevated user's, impersonated on this thread alone.
  bool elevated = true;
  // Terminated, or its process ended: runs no more code until the machine
  // ends its threads.
  bool parked = false;
  // Parked, and now unwound by the machine: its destructors run as the
  // system cleaning up, and nothing they do is seen.
  bool unwinding = false;
};

// Order and time of one observation.
struct Stamp {
  std::uint64_t seq = 0;
  std::uint64_t timeMs = 0;
};

// What a journal entry observed.
enum class JournalKind {
  kDebug,     // a debugger line
  kEvent,     // an event-log entry
  kTrace,     // a trace message, a trace registration
  kStatus,    // a service status report
  kControl,   // a control delivered to the service's handler
  kDevice,    // a class-installer state change, or one the machine refused
  kFirmware,  // a firmware variable read
  kRegistry,  // a registry write
  kCommand,   // a program the process started
  kConsole,   // console output
  kPower,     // a power-setting registration
  kProcess,   // the service process's end
  kLoader,    // where the service process loads DLLs from
  kScm,       // the service database and dispatcher
  kThread,    // a thread made, terminated or cut short
  kSleep,     // a Sleep
  kWait,      // a wait on objects: its start and its result
  kScenario,  // what a scenario driver did to the machine
};
// The kind's name as the journal prints it ("debug", "wait", ...).
const char* JournalKindName(JournalKind kind);

struct JournalEntry : Stamp {
  JournalKind kind = JournalKind::kDebug;
  std::wstring text;  // human-readable detail
};

// What the machine records, newest last. It keeps the newest `window`
// entries only, so that a run of simulated weeks does not grow without
// bound; the window is the kernel's logWindow, read at each record.
template <class T>
class BoundedLog {
 public:
  explicit BoundedLog(const std::size_t& window) : window_(window) {}
  void push_back(T entry) {
    entries_.push_back(std::move(entry));
    // The newest entry always stays: a caller may hold a reference to it.
    while (entries_.size() > std::max<std::size_t>(window_, 1)) {
      entries_.pop_front();
      ++dropped_;
    }
  }
  // References stay valid until their entry leaves the window.
  T& back() { return entries_.back(); }
  const T& back() const { return entries_.back(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  // How many entries left the window, and how many were ever recorded.
  std::uint64_t Dropped() const { return dropped_; }
  std::uint64_t Recorded() const { return dropped_ + entries_.size(); }
  std::vector<T> Entries() const { return std::vector<T>(entries_.begin(), entries_.end()); }

 private:
  const std::size_t& window_;
  std::deque<T> entries_;
  std::uint64_t dropped_ = 0;
};

// The newest entries each log of a machine keeps (see BoundedLog).
constexpr std::size_t kDefaultLogWindow = 50000;

struct Fault {
  std::string op;
  DWORD error = 0;
  int remaining = 1;  // -1: always
  long index = -1;    // -1: any call; else only calls about this index (member, value, ...)
  std::wstring subject;  // empty: any call; else only calls about this name (an event's, ...)
  int skip = 0;          // matching calls that pass before it applies
  std::shared_ptr<const ThreadObject> thread;  // null: any thread; else only its calls
};

struct OpenHandle {
  HANDLE value;
  std::string kind;
  bool openerTerminated;
};

// Memory of the machine's process at an address that is the same in every
// run, for what the platform hands the program by pointer.
class MachineMemory {
 public:
  MachineMemory();
  ~MachineMemory();
  MachineMemory(const MachineMemory&) = delete;
  MachineMemory& operator=(const MachineMemory&) = delete;
  // Copies a control's event data to the process's one event-data block and
  // gives its address (null for no data). The block is valid until the next
  // control: the SCM hands the handler one control at a time.
  LPVOID PlaceEventData(const std::vector<BYTE>& data);

 private:
  void* base_;
};

class Kernel {
 public:
  explicit Kernel(Scheduling scheduling = Scheduling::Default());
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The lock over all machine state, taken by every platform call. A thread
  // terminated since its last call parks here (see the contract); a call from
  // a thread the machine did not start is reported. call names the platform
  // call for the journal and reports.
  std::unique_lock<std::mutex> Lock(const char* call = __builtin_FUNCTION());
  // The lock for the calls that release a handle or memory. A terminated
  // thread parks here too, but when the machine ends its threads the release
  // goes on instead of raising: destructors make these calls, and a
  // destructor that raised would end the whole host process. It unwinds at
  // its next call.
  std::unique_lock<std::mutex> LockForRelease(const char* call = __builtin_FUNCTION());

  // Blocks the calling thread until ready() holds (true) or the clock reaches
  // the deadline (false). Call with the lock held; ready() follows the rules
  // for readiness predicates. A wait already ready returns at once and keeps
  // the token; any other hands it over.
  bool Block(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline,
             const char* call = __builtin_FUNCTION());
  // The same, but gives up (false) at once when no thread of the machine can
  // ever make ready() hold, or after realLimit of real time without progress:
  // for the driver. With a deadline, progress is the clock moving towards it,
  // so a long run is never taken for a spin; without one, the whole wait
  // counts.
  bool BlockReal(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline,
                 std::chrono::milliseconds realLimit, const char* call = __builtin_FUNCTION());
  // Wakes blocked threads to look at the state again; call after any change.
  void Changed();

  std::uint64_t Now() const { return now_; }  // lock held
  // Something changes by itself at this machine time (a program ends, say):
  // the clock stops there even when no thread waits for that time.
  void AddAlarm(std::uint64_t at);  // lock held
  std::uint64_t NextSeq() { return ++seq_; }  // lock held

  // Starts a machine thread running body; its return value is the exit code.
  // Lock held. One-at-a-time: it runs once it is given the token.
  std::shared_ptr<ThreadObject> Spawn(std::function<DWORD()> body, std::wstring name);
  // Terminates a thread with this exit code: it parks (see the contract).
  void Terminate(SimThread* thread, DWORD exitCode);  // lock held
  // Every thread the machine started is unwound, ended and joined, and the
  // locks they held go with them.
  void EndAllThreads();
  // The same for the threads of one process that has ended (the driver
  // only): what their destructors reset is reset before the next process
  // of the program starts, as a fresh process would find it.
  void UnwindProcess(int process);
  // The calling thread is being unwound: nothing it does is seen (the
  // models record nothing of it).
  bool Unwinding() const;  // lock held
  SimThread* CurrentThread() const;
  // True when no thread but self can go on before the clock must move.
  bool OthersIdle(const SimThread* self) const;  // lock held

  // Processes. A process ends as a whole: each of its threads, wherever it
  // is, runs no further platform call (it parks), its thread objects are
  // signalled with the exit code, its handles close and the locks its
  // threads held are free.
  void EndProcess(int process, DWORD exitCode);  // lock held
  bool ProcessHasThreads(int process) const;     // lock held
  // The calling thread, parked, waits until the machine ends its threads.
  void Park(std::unique_lock<std::mutex>& lock);

  // Handles: values from a counter whose base differs for each machine, so a
  // handle left from an earlier machine names nothing.
  HANDLE Insert(std::shared_ptr<Object> object);
  std::shared_ptr<Object> Find(HANDLE handle) const;  // lock held
  template <class T>
  std::shared_ptr<T> FindAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Find(handle));
  }
  bool Close(HANDLE handle);  // lock held
  std::size_t OpenHandleCount() const;  // takes the lock
  // The same for one process's handles (0: the driver's).
  std::size_t OpenHandleCount(int process) const;  // takes the lock
  // One process's open handles by kind of object ("event": 3, ...).
  std::map<std::string, std::size_t> OpenHandlesByKind(int process) const;  // takes the lock
  // One process's open handles: the kind of object each names, and whether
  // the thread that opened it was terminated (it can no longer close it).
  std::vector<OpenHandle> HandlesOf(int process) const;  // lock held

  // The machine's one namespace of named kernel objects.
  std::map<std::wstring, std::weak_ptr<NamedObject>> namedObjects;
  // The object of that name if it exists and is a T; else null.
  template <class T>
  std::shared_ptr<T> FindNamed(const std::wstring& name) const {  // lock held
    auto it = namedObjects.find(name);
    return it == namedObjects.end() ? nullptr : std::dynamic_pointer_cast<T>(it->second.lock());
  }
  // Memory the platform allocated for the program (descriptors, SDDL text),
  // by address, until LocalFree.
  std::map<const void*, std::vector<BYTE>> localMemory;
  // Hands the program these bytes in memory it releases with LocalFree.
  void* LocalAlloc(std::vector<BYTE> bytes);  // lock held
  // The owner of each slim reader/writer lock held exclusively, by address.
  std::map<const void*, const SimThread*> lockOwners;
  MachineMemory memory;

  // Faults: the next (or every) call of op fails with error.
  void AddFault(Fault fault);
  std::optional<DWORD> TakeFault(const char* op, long index = -1, const std::wstring& subject = {});  // lock held

  // Everything observable, in order.
  void Record(JournalKind kind, std::wstring text);  // lock held
  // How many entries the journal and each model's log keep; set it before
  // the machine runs.
  std::size_t logWindow = kDefaultLogWindow;
  BoundedLog<JournalEntry> journal{logWindow};

 private:
  bool OneAtATime() const { return scheduling_.mode == Scheduling::Mode::kOneAtATime; }
  // Whether t may run now, as seen at a hand-over.
  bool Due(const SimThread& t) const;  // lock held
  bool WaitOver(const SimThread& t) const;  // lock held
  // One-at-a-time: gives the token to the next thread (moving the clock as
  // needed) and, unless self is null (it ended), waits until self has it back.
  void HandOver(std::unique_lock<std::mutex>& lock, SimThread* self);
  SimThread* PickNext();  // lock held
  // Free-running: moves the clock when every thread is blocked; true if it moved.
  bool AdvanceClockIfIdle();  // lock held
  // The one place the clock moves: a wait with a deadline and a real-time
  // limit starts its limit afresh.
  void MoveClock(std::uint64_t to);  // lock held
  std::unique_lock<std::mutex> Enter(const char* call, bool raises);
  // Evaluates a readiness predicate; anything it must not do (a platform
  // call, a record) is reported (RequireOutsidePredicate).
  bool Holds(const std::function<bool()>& ready) const;  // lock held
  void RequireOutsidePredicate(const char* what) const;
  // The thread runs no more code; its object shows its end.
  void MarkParked(SimThread& thread, DWORD exitCode);  // lock held
  // Parks a terminated thread, recording the call it was cut in.
  void CutShort(SimThread& thread, const char* call);  // lock held
  // Unwinds, ends and joins the threads which selects; the driver waits.
  void UnwindThreads(const std::function<bool(const SimThread&)>& which);
  void ThreadEnded(SimThread* thread, DWORD exitCode);
  void Watch();
  [[noreturn]] void ReportDeadlock() const;  // lock held
  template <class F>
  void ForEachThread(F f) const {
    f(driver_);
    for (const SimThread& t : threads_) f(t);
  }
  template <class F>
  void ForEachThread(F f) {
    f(driver_);
    for (SimThread& t : threads_) f(t);
  }

  const Scheduling scheduling_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // free-running: any change
  std::uint64_t now_ = 0;
  std::uint64_t seq_ = 0;
  std::list<SimThread> threads_;  // stable addresses, in creation order
  SimThread driver_;              // the thread that built the machine
  std::uint64_t nextOrder_ = 1;
  // One-at-a-time: the token's holder and the count of hand-overs.
  std::atomic<SimThread*> running_{nullptr};
  std::atomic<std::uint64_t> handOvers_{0};
  std::uint64_t tieState_;  // the seeded draw for ties
  std::thread watchdog_;
  std::condition_variable watchdogWake_;
  bool watchdogStop_ = false;
  std::map<std::uintptr_t, std::shared_ptr<Object>> handles_;
  // The process each handle belongs to, and the thread that opened it.
  struct HandleOwner {
    int process;
    std::uint64_t thread;  // creation order
  };
  std::map<std::uintptr_t, HandleOwner> handleOwners_;
  std::set<std::uint64_t> terminatedThreads_;  // by TerminateThread, by creation order
  std::uintptr_t nextHandle_;
  std::vector<Fault> faults_;
  std::vector<std::uint64_t> alarms_;
  std::vector<std::thread> finished_;
};

// Per-thread last-error code of the machine's threads.
DWORD& LastError();

// A failed call: sets the last error and gives what such a call returns
// (FALSE, a null handle, 0).
template <class Result = BOOL>
Result Fail(DWORD error) {
  LastError() = error;
  return Result();
}

}  // namespace sim
