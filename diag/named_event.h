// A process-wide event of the service's own, known by its name in the logs,
// that any thread may find missing and make: the service, its control handler
// and its worker each make the event they need when an earlier creation
// failed, and the slot gives them all the same handle. An event of that name
// that another process made first is never joined (see GetOrCreate).
#pragma once

#include <atomic>

#include "platform/types.h"

class NamedEventSlot {
 public:
  NamedEventSlot(LPCWSTR name, BOOL manualReset) : name_(name), manualReset_(manualReset) {}
  // Never closes at process exit: the worker may still wait on the event
  // then, and the system releases the handle with the process.
  ~NamedEventSlot() = default;
  NamedEventSlot(const NamedEventSlot&) = delete;
  NamedEventSlot& operator=(const NamedEventSlot&) = delete;

  LPCWSTR Name() const { return name_; }
  // The event, or null while nobody has made it.
  HANDLE Get() const { return handle_.load(); }
  // The event, made now when missing; null when that fails too (the last
  // error tells why). Of two threads making it at once, the first one's
  // handle is kept and the other's closed. When another process made an
  // event of that name first, or holds the name with another kind of object,
  // an unnamed event is used instead (logged).
  HANDLE GetOrCreate();
  // Closes the handle; the slot is empty afterwards.
  void Close();
  // Forgets the handle without closing it (its process is gone).
  void Detach() { handle_.store(nullptr); }

 private:
  LPCWSTR name_;
  BOOL manualReset_;
  std::atomic<HANDLE> handle_{nullptr};
};
