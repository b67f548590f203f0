#include "platform/sync.h"

#include <stdexcept>

#include "platform/process.h"
#include "platform/sim/machine.h"

namespace os {
using sim::Fail;
namespace {
sim::Machine& M() { return sim::Machine::Current(); }


std::uint64_t DeadlineAfter(sim::Kernel& k, DWORD ms) { return ms == INFINITE ? sim::kNever : k.Now() + ms; }

// "event 'Global\\Name'", "thread 'worker'", "process": what a wait waits on, for the journal.
std::wstring Describe(const sim::Object& object) {
  const char* kind = object.Kind();
  std::wstring text(kind, kind + std::char_traits<char>::length(kind));
  if (auto named = dynamic_cast<const sim::NamedObject*>(&object); named && !named->name.empty())
    text += L" '" + named->name + L"'";
  if (auto thread = dynamic_cast<const sim::ThreadObject*>(&object)) text += L" '" + thread->name + L"'";
  return text;
}

std::wstring Timeout(DWORD ms) { return ms == INFINITE ? L"INFINITE" : std::to_wstring(ms) + L" ms"; }
}  // namespace

// An existing event of the name is opened with EVENT_ALL_ACCESS, which its
// DACL must grant the caller; another kind of object under the name fails the
// call with ERROR_INVALID_HANDLE.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  std::wstring name = lpName ? lpName : L"";
  if (auto fault = m.kernel.TakeFault("CreateEventW", -1, name)) return Fail(*fault), nullptr;
  const bool elevated = m.kernel.CurrentThread()->elevated;
  if (!name.empty()) {
    if (auto existing = m.kernel.FindNamed<sim::NamedObject>(name)) {
      auto event = std::dynamic_pointer_cast<sim::Event>(existing);
      if (!event) return Fail(ERROR_INVALID_HANDLE), nullptr;
      if ((sim::GrantedAccess(event->security, elevated, sim::kEventMapping) & EVENT_ALL_ACCESS) != EVENT_ALL_ACCESS)
        return Fail(ERROR_ACCESS_DENIED), nullptr;
      sim::LastError() = ERROR_ALREADY_EXISTS;
      return m.kernel.Insert(event);
    }
  }
  auto event =
      std::make_shared<sim::Event>(bManualReset != FALSE, bInitialState != FALSE, name, sim::DefaultOwner(elevated));
  if (lpEventAttributes && lpEventAttributes->lpSecurityDescriptor) {
    auto given = sim::ReadDescriptor(lpEventAttributes->lpSecurityDescriptor);
    if (!given) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    if (given->owner && !sim::MayOwn(elevated, *given->owner)) return Fail(ERROR_INVALID_OWNER), nullptr;
    if (!given->owner) given->owner = event->security.owner;
    event->security = *given;
  }
  if (!name.empty()) m.kernel.namedObjects[name] = event;
  sim::LastError() = ERROR_SUCCESS;
  return m.kernel.Insert(event);
}

// Opened as an ordinary (non-elevated) user would: the other processes that
// set the system's events are such users.
HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  const std::wstring name = lpName ? lpName : L"";
  auto existing = m.kernel.FindNamed<sim::NamedObject>(name);
  if (!existing) return Fail(ERROR_FILE_NOT_FOUND), nullptr;
  auto event = std::dynamic_pointer_cast<sim::Event>(existing);
  if (!event) return Fail(ERROR_INVALID_HANDLE), nullptr;
  const ACCESS_MASK desired = sim::MapGeneric(dwDesiredAccess, sim::kEventMapping);
  if ((desired & ~sim::GrantedAccess(event->security, false, sim::kEventMapping)) != 0)
    return Fail(ERROR_ACCESS_DENIED), nullptr;
  return m.kernel.Insert(event);
}

// The machine hands out the whole descriptor only, as GetNamedSecurityInfoW
// does; it keeps no handle's granted access for kernel objects, so the
// READ_CONTROL a handle needs is not checked.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                      PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (ObjectType != SE_KERNEL_OBJECT || ppSecurityDescriptor == nullptr || ppsidOwner != nullptr ||
      ppsidGroup != nullptr || ppDacl != nullptr || ppSacl != nullptr)
    return ERROR_INVALID_PARAMETER;
  auto object = m.kernel.FindAs<sim::NamedObject>(handle);
  if (!object) return ERROR_INVALID_HANDLE;
  if (auto fault = m.kernel.TakeFault("GetSecurityInfo", -1, object->name)) return *fault;
  if (SecurityInfo & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  *ppSecurityDescriptor = m.kernel.LocalAlloc(sim::SelfRelative(sim::PartsOf(object->security, SecurityInfo)));
  return ERROR_SUCCESS;
}

BOOL SetEvent(HANDLE hEvent) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto event = m.kernel.FindAs<sim::Event>(hEvent);
  if (!event) return Fail(ERROR_INVALID_HANDLE);
  event->signalled = true;
  m.kernel.Changed();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto event = m.kernel.FindAs<sim::Event>(hEvent);
  if (!event) return Fail(ERROR_INVALID_HANDLE);
  event->signalled = false;
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr || bWaitAll) {
    sim::LastError() = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<sim::Object>> objects;
  for (DWORD i = 0; i < nCount; ++i) {
    auto object = m.kernel.Find(lpHandles[i]);
    if (!object || !object->Waitable()) {
      sim::LastError() = ERROR_INVALID_HANDLE;
      return WAIT_FAILED;
    }
    objects.push_back(object);
  }
  auto firstSignalled = [&objects]() -> int {
    for (std::size_t i = 0; i < objects.size(); ++i)
      if (objects[i]->Signalled()) return static_cast<int>(i);
    return -1;
  };
  // Which thread waits: its creation number, the same in every run (0: the driver).
  const std::wstring waiter = L"thread " + std::to_wstring(m.kernel.CurrentThread()->order);
  std::wstring waitsOn;
  for (const auto& object : objects) waitsOn += (waitsOn.empty() ? L"" : L", ") + Describe(*object);
  m.kernel.Record(sim::JournalKind::kWait, waiter + L" waits on " + waitsOn + L", " + Timeout(dwMilliseconds));
  bool ready = m.kernel.Block(lock, [&] { return firstSignalled() >= 0; }, DeadlineAfter(m.kernel, dwMilliseconds));
  if (!ready) {
    m.kernel.Record(sim::JournalKind::kWait, waiter + L" timed out");
    return WAIT_TIMEOUT;
  }
  int index = firstSignalled();
  objects[static_cast<std::size_t>(index)]->Acquire();
  m.kernel.Record(sim::JournalKind::kWait, waiter + L" returned with " + Describe(*objects[static_cast<std::size_t>(index)]));
  return WAIT_OBJECT_0 + static_cast<DWORD>(index);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("CreateThread")) return Fail(*fault), nullptr;
  if (lpStartAddress == nullptr || dwCreationFlags != 0) return Fail(ERROR_INVALID_PARAMETER), nullptr;
  auto thread = m.kernel.Spawn([lpStartAddress, lpParameter] { return lpStartAddress(lpParameter); }, L"thread");
  if (lpThreadId) *lpThreadId = static_cast<DWORD>(m.kernel.Now() & 0xFFFF) + 4;
  m.kernel.Record(sim::JournalKind::kThread, L"CreateThread");
  return m.kernel.Insert(thread);
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto thread = m.kernel.FindAs<sim::ThreadObject>(hThread);
  if (!thread) return Fail(ERROR_INVALID_HANDLE);
  m.kernel.Record(sim::JournalKind::kThread, L"TerminateThread exit code " + std::to_wstring(dwExitCode));
  if (thread->thread) m.kernel.Terminate(thread->thread, dwExitCode);
  return TRUE;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto thread = m.kernel.FindAs<sim::ThreadObject>(hThread);
  if (!thread) return Fail(ERROR_INVALID_HANDLE);
  *lpExitCode = thread->exitCode;
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  sim::Machine& m = M();
  auto lock = m.kernel.LockForRelease();
  if (auto fault = m.kernel.TakeFault("CloseHandle")) return Fail(*fault);
  if (!m.kernel.Close(hObject)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

void Sleep(DWORD dwMilliseconds) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  m.kernel.Record(sim::JournalKind::kSleep, std::to_wstring(dwMilliseconds) + L" ms");
  m.kernel.Block(lock, [] { return false; }, DeadlineAfter(m.kernel, dwMilliseconds));
}

// Milliseconds since the machine started.
ULONGLONG GetTickCount64() {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  return m.kernel.Now();
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (StringSecurityDescriptor == nullptr || SecurityDescriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (StringSDRevision != SDDL_REVISION_1) return Fail(ERROR_UNKNOWN_REVISION);
  if (auto fault = m.kernel.TakeFault("ConvertStringSecurityDescriptorToSecurityDescriptorW")) return Fail(*fault);
  DWORD error;
  auto security = sim::ParseSddl(StringSecurityDescriptor, error);
  if (!security) return Fail(error);
  std::vector<BYTE> bytes = sim::SelfRelative(*security);
  if (SecurityDescriptorSize) *SecurityDescriptorSize = static_cast<ULONG>(bytes.size());
  *SecurityDescriptor = m.kernel.LocalAlloc(std::move(bytes));
  return TRUE;
}

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                          DWORD RequestedStringSDRevision,
                                                          SECURITY_INFORMATION SecurityInformation,
                                                          LPWSTR* StringSecurityDescriptor,
                                                          PULONG StringSecurityDescriptorLen) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (SecurityDescriptor == nullptr || StringSecurityDescriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (RequestedStringSDRevision != SDDL_REVISION_1) return Fail(ERROR_UNKNOWN_REVISION);
  if (auto fault = m.kernel.TakeFault("ConvertSecurityDescriptorToStringSecurityDescriptorW")) return Fail(*fault);
  auto security = sim::ReadDescriptor(SecurityDescriptor);
  if (!security) return Fail(ERROR_INVALID_PARAMETER);
  const std::wstring text = sim::ToSddl(*security, SecurityInformation);
  const auto* chars = reinterpret_cast<const BYTE*>(text.c_str());
  // The length counts the terminator: it is the buffer's size in characters.
  if (StringSecurityDescriptorLen) *StringSecurityDescriptorLen = static_cast<ULONG>(text.size() + 1);
  *StringSecurityDescriptor = static_cast<LPWSTR>(
      m.kernel.LocalAlloc(std::vector<BYTE>(chars, chars + (text.size() + 1) * sizeof(wchar_t))));
  return TRUE;
}

HLOCAL LocalFree(HLOCAL hMem) {
  sim::Machine& m = M();
  auto lock = m.kernel.LockForRelease();
  if (hMem != nullptr && m.kernel.localMemory.erase(hMem) == 0) {
    sim::LastError() = ERROR_INVALID_HANDLE;
    return hMem;
  }
  return nullptr;
}

// Not recursive: a thread that acquires a lock it holds waits for ever, as on
// Windows.
void AcquireSRWLockExclusive(PSRWLOCK SRWLock) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto& owners = m.kernel.lockOwners;
  m.kernel.Block(lock, [&] { return owners.count(SRWLock) == 0; }, sim::kNever);
  owners[SRWLock] = m.kernel.CurrentThread();
}

void ReleaseSRWLockExclusive(PSRWLOCK SRWLock) {
  sim::Machine& m = M();
  auto lock = m.kernel.LockForRelease();
  auto owner = m.kernel.lockOwners.find(SRWLock);
  const bool held = owner != m.kernel.lockOwners.end() && owner->second == m.kernel.CurrentThread();
  // A thread of an ended process unwinds as the machine ends its threads:
  // the lock went with its process.
  if (!held && m.kernel.CurrentThread()->parked) return;
  // Windows raises STATUS_RESOURCE_NOT_OWNED here.
  if (!held) throw std::logic_error("ReleaseSRWLockExclusive of a lock the thread does not hold");
  m.kernel.lockOwners.erase(owner);
  m.kernel.Changed();
}
}  // namespace os
