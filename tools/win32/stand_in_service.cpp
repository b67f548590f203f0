// A stand-in for the biometric service in the Wine run: a service that does
// nothing but append "start" and "stop" to a log file next to its executable,
// so the run can see that the sensor's service restarted it.
#include <windows.h>

#include <cstdio>

namespace {
SERVICE_STATUS_HANDLE g_status;
SERVICE_STATUS g_state{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0};
HANDLE g_stopped;

void Note(const char* what) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length + 5 > MAX_PATH) return;
  lstrcpyW(path + length, L".log");
  if (FILE* f = _wfopen(path, L"a")) {
    std::fprintf(f, "%s\n", what);
    std::fclose(f);
  }
}

void Report(DWORD state) {
  g_state.dwCurrentState = state;
  SetServiceStatus(g_status, &g_state);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
  Report(SERVICE_STOP_PENDING);
  SetEvent(g_stopped);
  return NO_ERROR;
}

void WINAPI Main(DWORD, LPWSTR* argv) {
  g_status = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
  if (g_status == nullptr) return;
  g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Note("start");
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stopped, INFINITE);
  Note("stop");
  Report(SERVICE_STOPPED);
}
}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  wchar_t name[] = L"WbioSrvc";
  SERVICE_TABLE_ENTRYW table[] = {{argc > 1 ? argv[1] : name, Main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
