#include "service/entry.h"

#include <cstdarg>
#include <cwchar>
#include <cwctype>

#include "diag/logging.h"
#include "diag/settings.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sync.h"
#include "service/event_sources.h"
#include "service/failure_actions.h"
#include "service/install_folder.h"
#include "service/service_base.h"

namespace {

void Print(LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  os::vwprintf(format, args);
  va_end(args);
}

// The entry point's own message buffer: its four messages are formatted here.
void LogEntryMessage(WORD wType, LPCWSTR format, ...) {
  WCHAR message[kLogMessageChars] = {};
  va_list args;
  va_start(args, format);
  FormatInto(message, kLogMessageChars, format, args);
  va_end(args);
  LogServiceMessage(message, wType);
}

// "-" or "/" followed by exactly this word, in any letter case.
bool IsSwitch(LPCWSTR argument, LPCWSTR word) {
  if (argument[0] != L'-' && argument[0] != L'/') return false;
  LPCWSTR p = argument + 1;
  for (; *word != L'\0'; ++p, ++word)
    if (static_cast<wchar_t>(std::towlower(*p)) != *word) return false;
  return *p == L'\0';
}

void InstallService() {
  WCHAR szPath[MAX_PATH];
  WCHAR szQuotedPath[MAX_PATH] = {};
  DWORD length = os::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
  if (length == 0) {
    Print(L"GetModuleFileName failed w/err 0x%08lx\n", os::GetLastError());
    return;
  }
  // The quotes and the terminator must fit too; a cut path must never be registered.
  if (length + 3 > MAX_PATH) {
    os::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    Print(L"GetModuleFileName failed w/err 0x%08lx\n", os::GetLastError());
    return;
  }
  const std::wstring whyNotTrusted = WhyInstallFolderIsNotTrusted(szPath);
  if (!whyNotTrusted.empty()) {
    Print(L"%s is not installed: %s. Copy ZefoFpService.exe into a folder under Program Files, which only "
          L"administrators may change, and run -install from there.\n",
          kServiceName, whyNotTrusted.c_str());
    return;
  }
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    Print(L"OpenSCManager failed w/err 0x%08lx\n", os::GetLastError());
    return;
  }
  FormatInto(szQuotedPath, MAX_PATH, L"\"%s\"", szPath);
  // Setting failure actions that restart the service takes the right to start it too.
  UniqueScHandle service(os::CreateServiceW(manager.Get(), kServiceName, kServiceDisplayName,
                                            SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                            szQuotedPath, nullptr, nullptr, L"\0", nullptr, nullptr));
  if (!service) {
    Print(L"CreateService failed w/err 0x%08lx\n", os::GetLastError());
    return;
  }
  ConfigureFailureActions(service.Get());
  Print(L"%s is installed.\n", kServiceName);
  RegisterEventSources(szPath);
  manager.Close();
}

void RemoveService() {
  SERVICE_STATUS status = {};
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    Print(L"OpenSCManager failed w/err 0x%08lx\n", os::GetLastError());
    return;
  }
  UniqueScHandle service(os::OpenServiceW(manager.Get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    Print(L"OpenService failed w/err 0x%08lx\n", os::GetLastError());
    return;
  }
  if (os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
    Print(L"Stopping %s.", kServiceName);
    for (;;) {
      os::Sleep(1000);
      if (!os::QueryServiceStatus(service.Get(), &status) || status.dwCurrentState != SERVICE_STOP_PENDING) break;
      Print(L".");
    }
    if (status.dwCurrentState == SERVICE_STOPPED)
      Print(L"\n%s is stopped.\n", kServiceName);
    else
      Print(L"\n%s failed to stop.\n", kServiceName);
  }
  if (os::DeleteService(service.Get())) {
    Print(L"%s is removed.\n", kServiceName);
    RemoveEventSources();
  } else {
    Print(L"DeleteService failed w/err 0x%08lx\n", os::GetLastError());
  }
  manager.Close();
}

void RunAsService() {
  Print(L"Parameters:\n");
  Print(L" -install  to install the service.\n");
  Print(L" -remove   to remove the service.\n");
  LogEntryMessage(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Start CServiceBase::Run(service)...");
  CServiceBase service(kServiceName);
  if (!CServiceBase::Run(service))
    LogEntryMessage(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Service failed to run w/err 0x%08lx\n", os::GetLastError());
}

}  // namespace

extern "C" int wmain(int argc, wchar_t* argv[]) {
  // Before any DLL is loaded by name. CFGMGR32.dll is not among the system's
  // known DLLs: it is delay-loaded, at the first device check, and would
  // otherwise be looked for in the executable's folder first.
  const BOOL searchRestricted = os::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  const DWORD searchError = os::GetLastError();
  LoadOtherSetting();
  LogEntryMessage(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Enter wmain...");
  if (!searchRestricted)
    LogEntryMessage(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] SetDefaultDllDirectories fail, GetLastError = 0x%.8X",
                    searchError);
  RegisterTraceProvider();

  if (argc > 1 && (argv[1][0] == L'-' || argv[1][0] == L'/')) {
    if (IsSwitch(argv[1], L"install"))
      InstallService();
    else if (IsSwitch(argv[1], L"remove"))
      RemoveService();
  } else {
    RunAsService();
  }

  LogEntryMessage(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Eixt wmain...");
  UnregisterTraceProvider();
  return 0;
}
