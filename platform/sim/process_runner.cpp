// The programs the process starts: the system directory and CreateProcessW.
#include <algorithm>
#include <sstream>

#include "platform/process.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_model.h"

namespace os {
using sim::Fail;
namespace {
bool SameText(const std::wstring& a, const std::wstring& b) {
  return !sim::CaseInsensitiveLess()(a, b) && !sim::CaseInsensitiveLess()(b, a);
}

// sc.exe asks the SCM as ControlService and StartService do: "sc stop NAME"
// sends a stop through the SCM's checks, "sc start NAME" a start; each waits
// its turn, and the program ends once the SCM has answered.
void RunServiceControl(sim::Machine& m, const std::wstring& commandLine,
                       const std::shared_ptr<sim::ProcessObject>& program) {
  std::wistringstream words(commandLine);
  std::wstring tool, verb, name;
  words >> tool >> verb >> name;
  auto it = m.scm.services.find(name);
  if (it == m.scm.services.end()) return;
  m.scm.Refresh(it->second);
  sim::ScmRequest request;
  request.service = it->second.name;
  request.program = program;
  request.programEarliestEnd = program->endsAt;
  if (SameText(verb, L"stop")) {
    request.control = SERVICE_CONTROL_STOP;
    m.scm.SubmitControl(it->second, std::move(request));
  } else if (SameText(verb, L"start")) {
    request.kind = sim::ScmRequest::Kind::kStart;
    m.scm.Submit(std::move(request));
  }
}
}  // namespace

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("GetSystemDirectoryW")) return Fail(*fault);
  const std::wstring& directory = m.process.systemDirectory;
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
  if (auto fault = m.kernel.TakeFault("CreateProcessW", -1, lpCommandLine ? lpCommandLine : L""))
    return Fail(*fault);
  // The model runs programs named by their full path only; it never searches.
  if (lpApplicationName == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  const std::wstring application = lpApplicationName;
  const auto& programs = m.process.programs;
  const bool known = std::any_of(programs.begin(), programs.end(),
                                 [&](const std::wstring& program) { return SameText(program, application); });
  if (!known) return Fail(ERROR_FILE_NOT_FOUND);

  sim::CommandRun run;
  run.seq = m.kernel.NextSeq();
  run.timeMs = m.kernel.Now();
  run.application = application;
  run.commandLine = lpCommandLine ? lpCommandLine : application;
  m.process.commands.push_back(run);
  m.kernel.Record(sim::JournalKind::kCommand, run.commandLine);

  const std::uint64_t runTime = m.process.programRunTimeMs;
  const std::uint64_t endsAt = runTime == sim::kNever ? sim::kNever : m.kernel.Now() + runTime;
  m.kernel.AddAlarm(endsAt);
  // Its one thread ends with it.
  auto program = std::make_shared<sim::ProcessObject>(m.kernel, endsAt);
  if (SameText(application, m.process.systemDirectory + L"\\sc.exe")) RunServiceControl(m, run.commandLine, program);
  lpProcessInformation->hProcess = m.kernel.Insert(program);
  lpProcessInformation->hThread = m.kernel.Insert(program);
  lpProcessInformation->dwProcessId = static_cast<DWORD>(m.process.commands.Recorded()) * 4 + 0x1000;
  lpProcessInformation->dwThreadId = lpProcessInformation->dwProcessId + 4;
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}
}  // namespace os
