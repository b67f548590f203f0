// The recovery memory: the devices the recovery has disabled and not yet
// enabled again. A disable is global and outlives the process, so no device is
// disabled unless the service can find it again: the service's own list
// during a run, and a record in the registry for what a run cannot keep (a
// crash, a power loss, a shutdown), read at start. No single failed call may
// lose or falsify it: a failed write stops the disable, a failed read is not
// an empty list, a failed clear is retried. A device a person disabled is
// never in it, so it is left alone. The record is trusted only while the
// service alone may write it: an existing key that anyone but SYSTEM and
// Administrators owns or may write has its entries ignored and is made the
// service's own again; a registry link in its place is not used.
//
// Used by the polling worker, and by the stop only once the worker has ended.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

// Under HKEY_LOCAL_MACHINE, beside the settings; one REG_MULTI_SZ value of
// device instance IDs, and a REG_DWORD 1 while a start of the biometric
// service is owed.
constexpr LPCWSTR kRecoveryKeyPath = L"System\\CurrentControlSet\\Control\\ZefoFP\\Recovery";
constexpr LPCWSTR kDisabledDevicesValue = L"DisabledDevices";
constexpr LPCWSTR kBiometricStartOwedValue = L"BiometricStartOwed";
// The record is made only by the service: owned by Administrators, full
// control for SYSTEM and Administrators, nothing for anyone else, nothing
// inherited (P) from ZefoFP, whose security the service does not set.
// Registry keys have no non-container children: CI alone.
constexpr LPCWSTR kRecoveryKeySecurity = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

// Before a disable: recorded in the registry, then in memory. False (logged)
// when the record could not be written: the device must not be disabled.
bool RememberDisabledDevice(const std::wstring& instanceId);
// After an enable, or when the device turned out not to be disabled by the
// service: out of memory at once, out of the record now or, when that
// fails, at a later check.
void ForgetDisabledDevice(const std::wstring& instanceId);
// The devices to enable again. The record's entries join the list once per
// run, as soon as the record can be read; record clears that failed are
// tried again first.
std::vector<std::wstring> DevicesDisabledByService();
// Before "sc stop WbioSrvc" (owed) and once a start took (not owed); false
// (logged) when the record could not be written. A crash between the two
// commands leaves the start to the next run.
bool RecordBiometricStartOwed(bool owed);
// Whether an earlier run left a start of the biometric service owed; false
// when the record says not, or cannot be read (logged).
bool BiometricStartOwedOnRecord();

// The service's own list. Made empty by each process start (never destroyed:
// the worker may outlive main).
struct RecoveryMemory {
  std::vector<std::wstring> disabled;    // disabled by the service, not yet enabled
  std::vector<std::wstring> clearsOwed;  // enabled, but still in the record
  bool recordLoaded = false;             // the record's entries are in `disabled`
};
extern RecoveryMemory& g_recoveryMemory;
