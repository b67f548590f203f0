// Sets a named event the way the sensor driver's side does: opened with just
// the rights to wait on it and signal it. Exit code 0 when it was set.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t* argv[]) {
  const wchar_t* name = argc > 1 ? argv[1] : L"Global\\DriverAttach";
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (event == nullptr) {
    std::fwprintf(stderr, L"OpenEvent failed %lu\n", GetLastError());
    return 1;
  }
  BOOL set = SetEvent(event);
  CloseHandle(event);
  return set ? 0 : 2;
}
