#include "diag/named_event.h"

#include "diag/logging.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {
// An event of that name made by another process before the service: it may be
// set already, or be set and waited on by its maker. Such an event is never
// joined; an unnamed one, which nobody else can reach, takes its place. So
// for another kind of object under the name (CreateEventW then fails with
// ERROR_INVALID_HANDLE), which would keep the event from being made at all.
HANDLE CreateUnplanted(LPCWSTR name, BOOL manualReset, bool& planted) {
  HANDLE made = os::CreateEventW(nullptr, manualReset, FALSE, name);
  const DWORD error = os::GetLastError();
  planted = made != nullptr ? error == ERROR_ALREADY_EXISTS : error == ERROR_INVALID_HANDLE;
  if (!planted) return made;
  if (made != nullptr) os::CloseHandle(made);
  return os::CreateEventW(nullptr, manualReset, FALSE, nullptr);
}
}  // namespace

HANDLE NamedEventSlot::GetOrCreate() {
  HANDLE current = handle_.load();
  if (current != nullptr) return current;
  bool planted = false;
  HANDLE made = CreateUnplanted(name_, manualReset_, planted);
  if (made == nullptr) return nullptr;
  if (!handle_.compare_exchange_strong(current, made)) {
    // Another thread of the service made it first (and so the name exists).
    os::CloseHandle(made);
    return current;
  }
  if (planted)
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] %s already exists, made by another process: not joined",
                 name_);
  return made;
}

void NamedEventSlot::Close() {
  if (HANDLE handle = handle_.exchange(nullptr)) os::CloseHandle(handle);
}
