// The service's process: its module, last error, console, end, and its token.
#include "platform/process.h"

#include <cstdint>
#include <cwchar>
#include <stdexcept>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/firmware.h"
#include "platform/sim/machine.h"

namespace sim {
std::wstring ProcessModel::Console() const {
  auto lock = kernel_.Lock();
  return console;
}

std::optional<DWORD> ProcessModel::ExitCode() const {
  auto lock = kernel_.Lock();
  return exitCode;
}

void ProcessModel::SetSystemEnvironmentPrivilegeHeld(bool held) {
  auto lock = kernel_.Lock();
  systemEnvironmentHeld = held;
  if (!held) systemEnvironmentEnabled = false;
}

std::vector<OpenHandle> ProcessModel::HandlesAtEnd() const {
  auto lock = kernel_.Lock();
  return handlesAtEnd;
}

std::vector<CommandRun> ProcessModel::Commands() const {
  auto lock = kernel_.Lock();
  return commands.Entries();
}

void ProcessModel::SetProgramRunTime(std::uint64_t ms) {
  auto lock = kernel_.Lock();
  programRunTimeMs = ms;
}
}  // namespace sim

namespace os {
using sim::Fail;
namespace {
// SE_SYSTEM_ENVIRONMENT_PRIVILEGE, the only privilege the model knows.
constexpr LUID kSystemEnvironmentLuid = {22, 0};

bool SameLuid(const LUID& a, const LUID& b) { return a.LowPart == b.LowPart && a.HighPart == b.HighPart; }

// The pseudo handle GetCurrentProcess gives: (HANDLE)-1.
HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }
}  // namespace

DWORD GetLastError() { return sim::LastError(); }
void SetLastError(DWORD dwErrCode) { sim::LastError() = dwErrCode; }

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("GetModuleFileNameW")) {
    sim::LastError() = *fault;
    return 0;
  }
  if (hModule != nullptr || nSize == 0) {
    sim::LastError() = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const std::wstring& path = m.process.modulePath;
  if (path.size() + 1 > nSize) {
    // Cut to nSize characters, terminator included.
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = L'\0';
    sim::LastError() = ERROR_INSUFFICIENT_BUFFER;
    return nSize;
  }
  path.copy(lpFilename, path.size());
  lpFilename[path.size()] = L'\0';
  sim::LastError() = ERROR_SUCCESS;
  return static_cast<DWORD>(path.size());
}

BOOL SetDefaultDllDirectories(DWORD DirectoryFlags) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  constexpr DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                 LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (DirectoryFlags == 0 || (DirectoryFlags & ~kSearchFlags) != 0) return Fail(ERROR_INVALID_PARAMETER);
  if (auto fault = m.kernel.TakeFault("SetDefaultDllDirectories")) return Fail(*fault);
  m.process.dllDirectories = DirectoryFlags;
  wchar_t flags[16];
  std::swprintf(flags, 16, L"0x%08X", DirectoryFlags);
  m.kernel.Record(sim::JournalKind::kLoader, L"SetDefaultDllDirectories " + std::wstring(flags));
  return TRUE;
}

void ExitProcess(UINT uExitCode) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (m.process.id == 0 || m.kernel.CurrentThread()->process != m.process.id)
    throw std::logic_error("ExitProcess outside the service process");
  m.EndServiceProcess(uExitCode, L"ExitProcess");
  m.kernel.Park(lock);
  throw sim::ThreadTerminated{};
}

int vwprintf(const wchar_t* Format, va_list Args) {
  va_list measure;
  va_copy(measure, Args);
  std::vector<wchar_t> buffer(kConsoleTextChars + 1);
  int n = os::_vsnwprintf(buffer.data(), kConsoleTextChars, Format, measure);
  va_end(measure);
  if (n < 0) n = kConsoleTextChars;
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  std::wstring text(buffer.data(), static_cast<std::size_t>(n));
  m.process.console += text;
  m.kernel.Record(sim::JournalKind::kConsole, text);
  return n;
}

HANDLE GetCurrentProcess() { return CurrentProcessPseudoHandle(); }

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (TokenHandle == nullptr) return Fail(ERROR_NOACCESS);
  if (auto fault = m.kernel.TakeFault("OpenProcessToken")) return Fail(*fault);
  if (ProcessHandle != CurrentProcessPseudoHandle()) return Fail(ERROR_INVALID_HANDLE);
  *TokenHandle = m.kernel.Insert(std::make_shared<sim::TokenObject>(DesiredAccess));
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("LookupPrivilegeValueW")) return Fail(*fault);
  // The model is one machine with no network.
  if (lpSystemName != nullptr && *lpSystemName != L'\0') return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (lpName == nullptr || lpLuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (std::wcscmp(lpName, SE_SYSTEM_ENVIRONMENT_NAME) != 0) return Fail(ERROR_NO_SUCH_PRIVILEGE);
  *lpLuid = kSystemEnvironmentLuid;
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                           DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  auto token = m.kernel.FindAs<sim::TokenObject>(TokenHandle);
  if (!token) return Fail(ERROR_INVALID_HANDLE);
  if (!(token->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
  if (PreviousState != nullptr && !(token->access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && NewState == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (auto fault = m.kernel.TakeFault("AdjustTokenPrivileges")) return Fail(*fault);

  sim::ProcessModel& process = m.process;
  const bool wasEnabled = process.systemEnvironmentEnabled;
  bool notAllAssigned = false;
  if (DisableAllPrivileges) {
    process.systemEnvironmentEnabled = false;
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
      if (!SameLuid(entry.Luid, kSystemEnvironmentLuid) || !process.systemEnvironmentHeld) {
        notAllAssigned = true;
        continue;
      }
      process.systemEnvironmentEnabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  // The previous state lists the privileges whose state changed.
  const bool changed = wasEnabled != process.systemEnvironmentEnabled;
  const DWORD needed = sizeof(TOKEN_PRIVILEGES);
  if (ReturnLength) *ReturnLength = PreviousState ? needed : 0;
  if (PreviousState != nullptr) {
    if (BufferLength < needed) {
      process.systemEnvironmentEnabled = wasEnabled;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    PreviousState->PrivilegeCount = changed ? 1 : 0;
    PreviousState->Privileges[0] = {kSystemEnvironmentLuid, wasEnabled ? DWORD{SE_PRIVILEGE_ENABLED} : 0};
  }
  sim::LastError() = notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
  return TRUE;
}
}  // namespace os
