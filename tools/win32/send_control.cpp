// Sends one control code to a service, as a service control program does:
// send_control <service> <code>. Prints the state the SCM gives back.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t* argv[]) {
  if (argc != 3) return 2;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return 3;
  SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS);
  if (!service) return 4;
  SERVICE_STATUS status{};
  BOOL sent = ControlService(service, static_cast<DWORD>(wcstoul(argv[2], nullptr, 0)), &status);
  std::printf(sent ? "state %lu\n" : "error %lu\n", sent ? status.dwCurrentState : GetLastError());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return sent ? 0 : 1;
}
