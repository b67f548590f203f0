// The simulated machine's kernel: one lock over all machine state, real
// threads, waitable objects, handles, faults and a virtual clock.
//
// The clock only moves when every thread of the machine (the test's driver
// thread included) is blocked in a platform call and none of them can go on:
// it then jumps to the earliest deadline. A ten-minute scenario runs in
// milliseconds, and the same scenario gives the same log.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/win_types.h"

namespace sim {

constexpr std::uint64_t kNever = UINT64_MAX;

// Unwinds a machine thread that TerminateThread (or the end of the machine)
// has ended. Raised only at the thread's next platform call other than a
// release.
struct ThreadTerminated {};

// Every machine object that a handle can name.
class Object {
 public:
  virtual ~Object() = default;
  // Waitable objects: whether a wait on it would return now.
  virtual bool Signalled() const { return false; }
  // A wait that returned on this object takes the signal (auto-reset events).
  virtual void Acquire() {}
  virtual bool Waitable() const { return false; }
};

class Event : public Object {
 public:
  Event(bool manualReset, bool initialState, std::wstring eventName)
      : manual(manualReset), signalled(initialState), name(std::move(eventName)) {}
  bool Signalled() const override { return signalled; }
  void Acquire() override {
    if (!manual) signalled = false;
  }
  bool Waitable() const override { return true; }

  bool manual;
  bool signalled;
  std::wstring name;
  // The SDDL text of the descriptor it was created with; empty: default security.
  std::wstring sddl;
};

// A security descriptor made from SDDL text; lives until LocalFree.
struct SecurityDescriptor {
  SECURITY_DESCRIPTOR header{};
  std::wstring sddl;
};

// The rights an SDDL text's DACL allows an ordinary user (Everyone, "WD").
ACCESS_MASK EveryoneRights(const std::wstring& sddl);

struct SimThread;

class ThreadObject : public Object {
 public:
  bool Signalled() const override { return finished; }
  bool Waitable() const override { return true; }
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  SimThread* thread = nullptr;  // null once the thread has ended
  std::wstring name;
};

struct SimThread {
  std::thread thread;
  std::shared_ptr<ThreadObject> object;
  std::wstring name;
  bool blocked = false;
  std::function<bool()> ready;  // valid while blocked
  std::uint64_t deadline = kNever;
  bool terminate = false;
  DWORD terminateExitCode = 0;
  int process = 0;      // 0: the test driver's; threads inherit their creator's
  bool parked = false;  // its process ended: it never returns from a platform call again
};

// Order and time of one observation.
struct Stamp {
  std::uint64_t seq = 0;
  std::uint64_t timeMs = 0;
};

struct JournalEntry : Stamp {
  std::string kind;   // "debug", "event", "trace", "status", "device", "registry", ...
  std::wstring text;  // human-readable detail
};

struct Fault {
  std::string op;
  DWORD error;
  int remaining;  // -1: always
  long index;     // -1: any call; else only calls about this index (member, value, ...)
  std::wstring subject;  // empty: any call; else only calls about this name (an event's, ...)
  int skip = 0;          // matching calls that pass before it applies
};

class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The lock over all machine state. Raises ThreadTerminated on a thread that
  // has been terminated, unless it is already unwinding.
  std::unique_lock<std::mutex> Lock();
  // The lock for the calls that release a handle or memory. These never raise:
  // destructors make them, and a terminated thread that unwinds through its
  // destructors would otherwise raise out of one and end the whole process.
  std::unique_lock<std::mutex> LockForRelease();

  // Blocks the calling thread until ready() holds (true) or the clock reaches
  // the deadline (false). Call with the lock held; ready() runs under it.
  bool Block(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline);
  // The same, but gives up after realLimit of real time (for test drivers):
  // returns false then too.
  bool BlockReal(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline,
                 std::chrono::milliseconds realLimit);
  // Wakes blocked threads to look at the state again; call after any change.
  void Changed();

  std::uint64_t Now() const { return now_; }  // lock held
  // Something changes by itself at this machine time (a program ends, say):
  // the clock stops there even when no thread waits for that time.
  void AddAlarm(std::uint64_t at);  // lock held
  std::uint64_t NextSeq() { return ++seq_; }  // lock held

  // Starts a machine thread running body; its return value is the exit code.
  std::shared_ptr<ThreadObject> Spawn(std::function<DWORD()> body, std::wstring name);
  // Asks a thread to end: it unwinds at its next platform call other than a
  // release.
  void Terminate(SimThread* thread, DWORD exitCode);
  // Ends and joins every thread the machine started.
  void EndAllThreads();
  SimThread* CurrentThread() const;
  // True when every thread but self is blocked and none of them can go on.
  bool OthersIdle(const SimThread* self) const;  // lock held

  // Processes. A process ends as a whole: each of its threads, wherever it
  // is, runs no further platform call (it parks until the machine ends), its
  // thread objects are signalled with the exit code and its handles close.
  void EndProcess(int process, DWORD exitCode);  // lock held
  bool ProcessHasThreads(int process) const;     // lock held
  // The calling thread, whose process has ended, waits for the machine's end.
  void Park(std::unique_lock<std::mutex>& lock);

  // Handles.
  HANDLE Insert(std::shared_ptr<Object> object);
  std::shared_ptr<Object> Find(HANDLE handle) const;  // lock held
  template <class T>
  std::shared_ptr<T> FindAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Find(handle));
  }
  bool Close(HANDLE handle);  // lock held
  std::size_t OpenHandleCount() const;  // takes the lock

  // Named events of the machine's one namespace.
  std::map<std::wstring, std::weak_ptr<Event>> namedEvents;
  std::map<const void*, std::unique_ptr<SecurityDescriptor>> securityDescriptors;

  // Faults: the next (or every) call of op fails with error.
  void AddFault(Fault fault);
  std::optional<DWORD> TakeFault(const char* op, long index = -1, const std::wstring& subject = {});  // lock held

  // Everything observable, in order.
  void Record(std::string kind, std::wstring text);  // lock held
  std::vector<JournalEntry> journal;

 private:
  void AdvanceClockIfIdle();  // lock held
  void ThreadEnded(SimThread* thread, DWORD exitCode);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t now_ = 0;
  std::uint64_t seq_ = 0;
  std::list<SimThread> threads_;  // stable addresses
  SimThread driver_;              // the thread that built the machine
  std::map<std::uintptr_t, std::shared_ptr<Object>> handles_;
  std::map<std::uintptr_t, int> handleProcess_;  // the process each handle belongs to
  std::uintptr_t nextHandle_ = 0x100;
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
