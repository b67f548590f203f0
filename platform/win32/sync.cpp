#include "platform/sync.h"

namespace os {
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  return ::CreateEventW(lpEventAttributes, bManualReset, bInitialState, lpName);
}
HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  return ::OpenEventW(dwDesiredAccess, bInheritHandle, lpName);
}
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                      PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  return ::GetSecurityInfo(handle, ObjectType, SecurityInfo, ppsidOwner, ppsidGroup, ppDacl, ppSacl,
                           ppSecurityDescriptor);
}
BOOL SetEvent(HANDLE hEvent) { return ::SetEvent(hEvent); }
BOOL ResetEvent(HANDLE hEvent) { return ::ResetEvent(hEvent); }
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) { return ::WaitForSingleObject(hHandle, dwMilliseconds); }
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  return ::WaitForMultipleObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
}
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId) {
  return ::CreateThread(lpThreadAttributes, dwStackSize, lpStartAddress, lpParameter, dwCreationFlags, lpThreadId);
}
BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) { return ::TerminateThread(hThread, dwExitCode); }
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) { return ::GetExitCodeThread(hThread, lpExitCode); }
BOOL CloseHandle(HANDLE hObject) { return ::CloseHandle(hObject); }
void Sleep(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }
ULONGLONG GetTickCount64() { return ::GetTickCount64(); }
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize) {
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(StringSecurityDescriptor, StringSDRevision,
                                                                SecurityDescriptor, SecurityDescriptorSize);
}
BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                          DWORD RequestedStringSDRevision,
                                                          SECURITY_INFORMATION SecurityInformation,
                                                          LPWSTR* StringSecurityDescriptor,
                                                          PULONG StringSecurityDescriptorLen) {
  return ::ConvertSecurityDescriptorToStringSecurityDescriptorW(SecurityDescriptor, RequestedStringSDRevision,
                                                                SecurityInformation, StringSecurityDescriptor,
                                                                StringSecurityDescriptorLen);
}
HLOCAL LocalFree(HLOCAL hMem) { return ::LocalFree(hMem); }
void AcquireSRWLockExclusive(PSRWLOCK SRWLock) { ::AcquireSRWLockExclusive(SRWLock); }
void ReleaseSRWLockExclusive(PSRWLOCK SRWLock) { ::ReleaseSRWLockExclusive(SRWLock); }
}  // namespace os
