#include "diag/named_event.h"

#include "platform/sync.h"

HANDLE NamedEventSlot::GetOrCreate() {
  HANDLE current = handle_.load();
  if (current != nullptr) return current;
  HANDLE made = os::CreateEventW(nullptr, manualReset_, FALSE, name_);
  if (made == nullptr) return nullptr;
  if (handle_.compare_exchange_strong(current, made)) return made;
  os::CloseHandle(made);
  return current;
}

void NamedEventSlot::Close() {
  if (HANDLE handle = handle_.exchange(nullptr)) os::CloseHandle(handle);
}
