#include "platform/sim/kernel.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <iterator>

namespace sim {
namespace {
thread_local SimThread* t_current = nullptr;
thread_local DWORD t_lastError = 0;
}  // namespace

DWORD& LastError() { return t_lastError; }

ACCESS_MASK EveryoneRights(const std::wstring& sddl) {
  ACCESS_MASK rights = 0;
  // ACEs read "(type;flags;rights;object;inherited object;account)".
  for (std::size_t open = sddl.find(L'('); open != std::wstring::npos; open = sddl.find(L'(', open + 1)) {
    std::size_t close = sddl.find(L')', open);
    if (close == std::wstring::npos) break;
    std::vector<std::wstring> fields(1);
    for (std::size_t i = open + 1; i < close; ++i) {
      if (sddl[i] == L';')
        fields.emplace_back();
      else
        fields.back() += sddl[i];
    }
    if (fields.size() != 6 || fields[0] != L"A" || fields[5] != L"WD") continue;
    if (fields[2] == L"GA")
      rights |= 0xFFFFFFFF;
    else
      rights |= static_cast<ACCESS_MASK>(std::wcstoul(fields[2].c_str(), nullptr, 0));
  }
  return rights;
}

Kernel::Kernel() {
  driver_.name = L"driver";
  t_current = &driver_;
}

Kernel::~Kernel() {
  EndAllThreads();
  t_current = nullptr;
}

std::unique_lock<std::mutex> Kernel::Lock() {
  std::unique_lock<std::mutex> lock(mutex_);
  SimThread* self = t_current;
  if (self && self->parked) Park(lock);
  if (self && self->terminate && std::uncaught_exceptions() == 0) throw ThreadTerminated{};
  return lock;
}

std::unique_lock<std::mutex> Kernel::LockForRelease() {
  std::unique_lock<std::mutex> lock(mutex_);
  SimThread* self = t_current;
  if (self && self->parked) Park(lock);
  return lock;
}

void Kernel::Park(std::unique_lock<std::mutex>& lock) {
  SimThread* self = t_current;
  // Ends only with the machine: the thread then unwinds, or finishes the
  // release it was making while it unwound.
  if (self->terminate) return;
  self->blocked = true;
  self->ready = nullptr;
  self->deadline = kNever;
  changed_.notify_all();
  changed_.wait(lock, [self] { return self->terminate; });
  self->blocked = false;
}

void Kernel::EndProcess(int process, DWORD exitCode) {
  for (SimThread& t : threads_) {
    if (t.process != process || t.parked) continue;
    t.parked = true;
    // A thread blocked in a wait counts as idle at once, before it wakes to park.
    t.ready = nullptr;
    t.deadline = kNever;
    t.object->finished = true;
    t.object->exitCode = exitCode;
    t.object->thread = nullptr;
  }
  for (auto it = handleProcess_.begin(); it != handleProcess_.end();) {
    if (it->second == process) {
      handles_.erase(it->first);
      it = handleProcess_.erase(it);
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

bool Kernel::Block(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline) {
  return BlockReal(lock, std::move(ready), deadline, std::chrono::milliseconds::max());
}

bool Kernel::BlockReal(std::unique_lock<std::mutex>& lock, std::function<bool()> ready, std::uint64_t deadline,
                       std::chrono::milliseconds realLimit) {
  SimThread* self = t_current;
  auto giveUpAt = std::chrono::steady_clock::time_point::max();
  if (realLimit != std::chrono::milliseconds::max()) giveUpAt = std::chrono::steady_clock::now() + realLimit;
  self->ready = ready;
  self->deadline = deadline;
  self->blocked = true;
  for (;;) {
    if (self->parked && !self->terminate) {
      Park(lock);
      self->ready = ready;
      self->deadline = deadline;
      self->blocked = true;
    }
    if (self->terminate && std::uncaught_exceptions() == 0) {
      self->blocked = false;
      throw ThreadTerminated{};
    }
    bool result = false;
    bool done = false;
    if (ready()) {
      result = true;
      done = true;
    } else if (now_ >= deadline) {
      done = true;
    } else if (std::chrono::steady_clock::now() >= giveUpAt) {
      done = true;
    }
    if (done) {
      self->blocked = false;
      self->ready = nullptr;
      return result;
    }
    // A clock that moved (to an alarm, say) may have made this thread the
    // only one to look again: nobody else would wake it.
    const std::uint64_t before = now_;
    AdvanceClockIfIdle();
    if (now_ != before || now_ >= deadline || ready()) continue;
    if (giveUpAt == std::chrono::steady_clock::time_point::max())
      changed_.wait(lock);
    else
      changed_.wait_until(lock, giveUpAt);
  }
}

bool Kernel::OthersIdle(const SimThread* self) const {
  auto idle = [&](const SimThread& t) {
    if (&t == self) return true;
    return t.blocked && !t.terminate && !(t.ready && t.ready()) && t.deadline > now_;
  };
  if (!idle(driver_)) return false;
  return std::all_of(threads_.begin(), threads_.end(), idle);
}

void Kernel::AdvanceClockIfIdle() {
  std::uint64_t next = kNever;
  auto consider = [&](const SimThread& t) {
    if (!t.blocked || t.terminate) return false;
    if (t.ready && t.ready()) {
      // Its wait may hang on others being blocked (Settle): wake it.
      changed_.notify_all();
      return false;
    }
    if (t.deadline <= now_) return false;
    next = std::min(next, t.deadline);
    return true;
  };
  if (!consider(driver_)) return;
  for (const SimThread& t : threads_)
    if (!consider(t)) return;
  alarms_.erase(std::remove_if(alarms_.begin(), alarms_.end(), [this](std::uint64_t at) { return at <= now_; }),
                alarms_.end());
  for (std::uint64_t at : alarms_) next = std::min(next, at);
  if (next == kNever) return;
  now_ = next;
  changed_.notify_all();
}

std::shared_ptr<ThreadObject> Kernel::Spawn(std::function<DWORD()> body, std::wstring name) {
  // Called with the lock held.
  auto object = std::make_shared<ThreadObject>();
  object->name = name;
  threads_.emplace_back();
  SimThread* rec = &threads_.back();
  rec->object = object;
  rec->name = std::move(name);
  rec->process = t_current ? t_current->process : 0;
  object->thread = rec;
  rec->thread = std::thread([this, rec, body = std::move(body)] {
    t_current = rec;
    DWORD code = 0;
    try {
      code = body();
    } catch (const ThreadTerminated&) {
      // ThreadEnded gives it the code it was terminated with.
    }
    ThreadEnded(rec, code);
  });
  return object;
}

void Kernel::ThreadEnded(SimThread* rec, DWORD exitCode) {
  std::lock_guard<std::mutex> guard(mutex_);
  // A parked thread's object already shows its process's end.
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
  AdvanceClockIfIdle();
  changed_.notify_all();
}

void Kernel::Terminate(SimThread* thread, DWORD exitCode) {
  if (thread == nullptr || thread->terminate) return;
  thread->terminate = true;
  thread->terminateExitCode = exitCode;
  changed_.notify_all();
}

void Kernel::EndAllThreads() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (SimThread& t : threads_) Terminate(&t, 0);
  // The driver stays out of the count while it waits for the others to end.
  driver_.blocked = true;
  driver_.ready = [] { return true; };
  changed_.wait(lock, [&] { return threads_.empty(); });
  driver_.blocked = false;
  driver_.ready = nullptr;
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
  handleProcess_[value] = t_current ? t_current->process : 0;
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> Kernel::Find(HANDLE handle) const {
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? nullptr : it->second;
}

bool Kernel::Close(HANDLE handle) {
  handleProcess_.erase(reinterpret_cast<std::uintptr_t>(handle));
  return handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
}

std::size_t Kernel::OpenHandleCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return handles_.size();
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
                         (it->subject.empty() || it->subject == subject);
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

void Kernel::Record(std::string kind, std::wstring text) {
  JournalEntry entry;
  entry.seq = NextSeq();
  entry.timeMs = now_;
  entry.kind = std::move(kind);
  entry.text = std::move(text);
  journal.push_back(std::move(entry));
}

}  // namespace sim
