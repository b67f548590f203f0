#include "platform/process.h"

#include <stdexcept>
#include <vector>

#include "platform/diagnostics.h"
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
}  // namespace sim

namespace os {
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
}  // namespace os
