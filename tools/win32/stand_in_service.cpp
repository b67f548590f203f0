// A stand-in for another service in the Wine runs: a service that does
// nothing but append "start" and "stop" to a log file next to its executable,
// so the run can see that the sensor's service restarted it. Its arguments,
// after the service name, give it the times of a slower service:
//   StandInService.exe NAME [STOP_MS [START_MS [HANDLER_MS]]]
// STOP_MS: STOP_PENDING that long after a stop; START_MS: START_PENDING that
// long at a start; HANDLER_MS: its handler takes that long over a stop,
// reporting STOP_PENDING with checkpoint 1 as it begins and 2 as it returns,
// and setting the event Global\NAMEHandling as it begins.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {
SERVICE_STATUS_HANDLE g_status;
SERVICE_STATUS g_state{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0};
HANDLE g_stopped;
HANDLE g_handling;
DWORD g_stopMs = 0, g_startMs = 0, g_handlerMs = 0;

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

void Report(DWORD state, DWORD checkPoint = 0) {
  g_state.dwCurrentState = state;
  g_state.dwCheckPoint = checkPoint;
  g_state.dwWaitHint = checkPoint == 0 ? 0 : 30000;
  SetServiceStatus(g_status, &g_state);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
  if (g_handling != nullptr) SetEvent(g_handling);
  Report(SERVICE_STOP_PENDING, 1);
  if (g_handlerMs != 0) {
    Sleep(g_handlerMs);
    Report(SERVICE_STOP_PENDING, 2);
  }
  SetEvent(g_stopped);
  return NO_ERROR;
}

void WINAPI Main(DWORD, LPWSTR* argv) {
  g_status = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
  if (g_status == nullptr) return;
  g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_handlerMs != 0) {
    wchar_t handling[MAX_PATH] = L"Global\\";
    if (lstrlenW(argv[0]) < MAX_PATH - 20) lstrcatW(lstrcatW(handling, argv[0]), L"Handling");
    g_handling = CreateEventW(nullptr, TRUE, FALSE, handling);
  }
  Note("start");
  if (g_startMs != 0) {
    Report(SERVICE_START_PENDING, 1);
    Sleep(g_startMs);
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stopped, INFINITE);
  Sleep(g_stopMs);
  Note("stop");
  Report(SERVICE_STOPPED);
}

DWORD Milliseconds(const wchar_t* text) { return static_cast<DWORD>(std::wcstoul(text, nullptr, 10)); }
}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  wchar_t name[] = L"WbioSrvc";
  if (argc > 2) g_stopMs = Milliseconds(argv[2]);
  if (argc > 3) g_startMs = Milliseconds(argv[3]);
  if (argc > 4) g_handlerMs = Milliseconds(argv[4]);
  SERVICE_TABLE_ENTRYW table[] = {{argc > 1 ? argv[1] : name, Main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
