// A process-wide named event that any thread may find missing and make: the
// service, its control handler and its worker each make the event they need
// when an earlier creation failed, and the name joins them to the same event.
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
  // handle is kept and the other's closed.
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
