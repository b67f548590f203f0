#include "platform/firmware.h"

#include <cstring>
#include <cwctype>

#include "platform/sim/machine.h"

namespace sim {
namespace {
// SE_SYSTEM_ENVIRONMENT_PRIVILEGE, the only privilege the model knows.
constexpr LUID kSystemEnvironmentLuid = {22, 0};
}  // namespace

FirmwareModel::VariableKey FirmwareModel::KeyOf(const std::wstring& name, const std::wstring& vendorGuid) {
  std::wstring guid = vendorGuid;
  for (wchar_t& c : guid) c = static_cast<wchar_t>(std::towupper(c));
  return {name, guid};
}

void FirmwareModel::SetVariable(const std::wstring& name, const std::wstring& vendorGuid, std::vector<BYTE> bytes) {
  auto lock = kernel_.Lock();
  if (bytes.empty())
    variables.erase(KeyOf(name, vendorGuid));
  else
    variables[KeyOf(name, vendorGuid)] = std::move(bytes);
}

void FirmwareModel::SetSystemEnvironmentPrivilegeHeld(bool held) {
  auto lock = kernel_.Lock();
  systemEnvironmentHeld = held;
  if (!held) systemEnvironmentEnabled = false;
}

std::vector<CommandRun> FirmwareModel::Commands() const {
  auto lock = kernel_.Lock();
  return commands;
}

void FirmwareModel::SetProgramRunTime(std::uint64_t ms) {
  auto lock = kernel_.Lock();
  programRunTimeMs = ms;
}

}  // namespace sim

namespace os {
using sim::Fail;
namespace {
sim::Machine& M() { return sim::Machine::Current(); }


bool SameLuid(const LUID& a, const LUID& b) { return a.LowPart == b.LowPart && a.HighPart == b.HighPart; }

// The pseudo handle GetCurrentProcess gives: (HANDLE)-1.
HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }
}  // namespace

HANDLE GetCurrentProcess() { return CurrentProcessPseudoHandle(); }

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (TokenHandle == nullptr) return Fail(ERROR_NOACCESS);
  if (auto fault = m.kernel.TakeFault("OpenProcessToken")) return Fail(*fault);
  if (ProcessHandle != CurrentProcessPseudoHandle()) return Fail(ERROR_INVALID_HANDLE);
  *TokenHandle = m.kernel.Insert(std::make_shared<sim::TokenObject>(DesiredAccess));
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("LookupPrivilegeValueW")) return Fail(*fault);
  // The model is one machine with no network.
  if (lpSystemName != nullptr && *lpSystemName != L'\0') return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (lpName == nullptr || lpLuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (std::wcscmp(lpName, SE_SYSTEM_ENVIRONMENT_NAME) != 0) return Fail(ERROR_NO_SUCH_PRIVILEGE);
  *lpLuid = sim::kSystemEnvironmentLuid;
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                           DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto token = m.kernel.FindAs<sim::TokenObject>(TokenHandle);
  if (!token) return Fail(ERROR_INVALID_HANDLE);
  if (!(token->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
  if (PreviousState != nullptr && !(token->access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && NewState == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (auto fault = m.kernel.TakeFault("AdjustTokenPrivileges")) return Fail(*fault);

  sim::FirmwareModel& fw = m.firmware;
  const bool wasEnabled = fw.systemEnvironmentEnabled;
  bool notAllAssigned = false;
  if (DisableAllPrivileges) {
    fw.systemEnvironmentEnabled = false;
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
      if (!SameLuid(entry.Luid, sim::kSystemEnvironmentLuid) || !fw.systemEnvironmentHeld) {
        notAllAssigned = true;
        continue;
      }
      fw.systemEnvironmentEnabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  // The previous state lists the privileges whose state changed.
  const bool changed = wasEnabled != fw.systemEnvironmentEnabled;
  const DWORD needed = sizeof(TOKEN_PRIVILEGES);
  if (ReturnLength) *ReturnLength = PreviousState ? needed : 0;
  if (PreviousState != nullptr) {
    if (BufferLength < needed) {
      fw.systemEnvironmentEnabled = wasEnabled;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    PreviousState->PrivilegeCount = changed ? 1 : 0;
    PreviousState->Privileges[0] = {sim::kSystemEnvironmentLuid, wasEnabled ? DWORD{SE_PRIVILEGE_ENABLED} : 0};
  }
  sim::LastError() = notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
  return TRUE;
}

DWORD GetFirmwareEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpGuid, PVOID pBuffer, DWORD nSize) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("GetFirmwareEnvironmentVariableW")) return Fail(*fault);
  if (lpName == nullptr || lpGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!m.firmware.systemEnvironmentEnabled) return Fail(ERROR_PRIVILEGE_NOT_HELD);
  auto it = m.firmware.variables.find(sim::FirmwareModel::KeyOf(lpName, lpGuid));
  if (it == m.firmware.variables.end()) return Fail(ERROR_ENVVAR_NOT_FOUND);
  const std::vector<BYTE>& bytes = it->second;
  if (pBuffer == nullptr || bytes.size() > nSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(pBuffer, bytes.data(), bytes.size());
  sim::LastError() = ERROR_SUCCESS;
  return static_cast<DWORD>(bytes.size());
}
}  // namespace os
