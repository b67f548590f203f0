// Synchronisation, threads and handles.
#pragma once
#include "platform/types.h"
#include "platform/unique_handle.h"

namespace os {
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
// The parts of a kernel object's descriptor that SecurityInfo names; the
// self-relative descriptor goes to *ppSecurityDescriptor, for LocalFree.
// ERROR_SUCCESS or the error code.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                      PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId);
BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
BOOL CloseHandle(HANDLE hObject);
void Sleep(DWORD dwMilliseconds);
ULONGLONG GetTickCount64();
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize);
BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                          DWORD RequestedStringSDRevision,
                                                          SECURITY_INFORMATION SecurityInformation,
                                                          LPWSTR* StringSecurityDescriptor,
                                                          PULONG StringSecurityDescriptorLen);
HLOCAL LocalFree(HLOCAL hMem);
void AcquireSRWLockExclusive(PSRWLOCK SRWLock);
void ReleaseSRWLockExclusive(PSRWLOCK SRWLock);
}  // namespace os

// Holds a slim reader/writer lock exclusively for its lifetime.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { os::AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { os::ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

using UniqueKernelHandle = UniqueHandle<HANDLE, &os::CloseHandle>;
using UniqueLocalMemory = UniqueHandle<HLOCAL, &os::LocalFree>;
