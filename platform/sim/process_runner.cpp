// The programs the process starts: the system directory and CreateProcessW.
#include <algorithm>

#include "platform/process.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_model.h"

namespace os {
using sim::Fail;
namespace {
}  // namespace

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("GetSystemDirectoryW")) return Fail(*fault);
  const std::wstring& directory = m.firmware.systemDirectory;
  // Too small: the size needed, terminator included, and nothing copied.
  if (lpBuffer == nullptr || directory.size() + 1 > uSize) return static_cast<UINT>(directory.size() + 1);
  directory.copy(lpBuffer, directory.size());
  lpBuffer[directory.size()] = L'\0';
  return static_cast<UINT>(directory.size());
}

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (lpStartupInfo == nullptr || lpProcessInformation == nullptr) return Fail(ERROR_NOACCESS);
  if (lpApplicationName == nullptr && lpCommandLine == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (auto fault = m.kernel.TakeFault("CreateProcessW")) return Fail(*fault);
  // The model runs programs named by their full path only; it never searches.
  if (lpApplicationName == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  const std::wstring application = lpApplicationName;
  const auto& programs = m.firmware.programs;
  const bool known = std::any_of(programs.begin(), programs.end(), [&](const std::wstring& program) {
    return !sim::CaseInsensitiveLess()(program, application) && !sim::CaseInsensitiveLess()(application, program);
  });
  if (!known) return Fail(ERROR_FILE_NOT_FOUND);

  sim::CommandRun run;
  run.seq = m.kernel.NextSeq();
  run.timeMs = m.kernel.Now();
  run.application = application;
  run.commandLine = lpCommandLine ? lpCommandLine : application;
  m.firmware.commands.push_back(run);
  m.kernel.Record("command", run.commandLine);

  const std::uint64_t runTime = m.firmware.programRunTimeMs;
  const std::uint64_t endsAt = runTime == sim::kNever ? sim::kNever : m.kernel.Now() + runTime;
  m.kernel.AddAlarm(endsAt);
  lpProcessInformation->hProcess = m.kernel.Insert(std::make_shared<sim::ProcessObject>(m.kernel, endsAt));
  lpProcessInformation->hThread = m.kernel.Insert(std::make_shared<sim::ProcessObject>(m.kernel, endsAt));
  lpProcessInformation->dwProcessId = static_cast<DWORD>(m.firmware.commands.size()) * 4 + 0x1000;
  lpProcessInformation->dwThreadId = lpProcessInformation->dwProcessId + 4;
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}
}  // namespace os
