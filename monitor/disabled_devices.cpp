#include "monitor/disabled_devices.h"

#include <algorithm>

#include "diag/logging.h"
#include "diag/security_judge.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/sync.h"

RecoveryMemory& g_recoveryMemory = *new RecoveryMemory;

namespace {

void Add(std::vector<std::wstring>& list, const std::wstring& id) {
  if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
}
void Remove(std::vector<std::wstring>& list, const std::wstring& id) {
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
}

// The record's entries. A missing value is an empty record; a value of
// another type is none the service wrote (logged, counted as empty). Any
// other failure is returned: nothing may be written over a record that was
// not read.
LSTATUS ReadRecord(HKEY key, std::vector<std::wstring>& list) {
  list.clear();
  DWORD type = REG_NONE;
  DWORD bytes = 0;
  LSTATUS res = os::RegQueryValueExW(key, kDisabledDevicesValue, nullptr, &type, nullptr, &bytes);
  if (res == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (res != ERROR_SUCCESS) return res;
  if (type != REG_MULTI_SZ) {
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Recovery record of type %d ignored", static_cast<int>(type));
    return ERROR_SUCCESS;
  }
  std::vector<WCHAR> data(bytes / sizeof(WCHAR) + 2, L'\0');  // room for terminators a writer left out
  res = os::RegQueryValueExW(key, kDisabledDevicesValue, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &bytes);
  if (res != ERROR_SUCCESS) return res;
  const WCHAR* end = data.data() + bytes / sizeof(WCHAR);
  for (const WCHAR* p = data.data(); p < end && *p != L'\0'; p += list.back().size() + 1) list.emplace_back(p);
  return ERROR_SUCCESS;
}

LSTATUS WriteRecord(HKEY key, const std::vector<std::wstring>& list) {
  std::wstring joined;
  for (const std::wstring& id : list) joined += id + L'\0';
  joined += L'\0';
  return os::RegSetValueExW(key, kDisabledDevicesValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(joined.data()),
                            static_cast<DWORD>(joined.size() * sizeof(WCHAR)));
}

constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr REGSAM kRecordAccess = KEY_READ | KEY_WRITE;

// The service's own descriptor for the record's key; none when it cannot be
// made (the last error tells why).
UniqueLocalMemory RecoveryKeyDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  os::ConvertStringSecurityDescriptorToSecurityDescriptorW(kRecoveryKeySecurity, SDDL_REVISION_1, &descriptor, nullptr);
  return UniqueLocalMemory(descriptor);
}

// The record's key, made with the service's security.
LSTATUS CreateRecordKey(UniqueRegKey& key) {
  UniqueLocalMemory descriptor = RecoveryKeyDescriptor();
  if (!descriptor) return static_cast<LSTATUS>(os::GetLastError());
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
  return os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, kRecordAccess,
                             &attributes, key.Put(), nullptr);
}

// A registry link names another key: what it points at is not the
// service's to trust, nor to reset.
bool IsLink(HKEY keyItself) {
  DWORD type = REG_NONE;
  DWORD bytes = 0;
  return os::RegQueryValueExW(keyItself, L"SymbolicLinkValue", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
         type == REG_LINK;
}

// Why the key's owner or DACL lets someone else than SYSTEM and
// Administrators write the record; empty when none does.
LSTATUS WhyKeyIsNotTrusted(HKEY key, std::wstring& why) {
  DWORD size = 0;
  LSTATUS res = os::RegGetKeySecurity(key, kOwnerAndDacl, nullptr, &size);
  if (res != ERROR_INSUFFICIENT_BUFFER) return res;
  std::vector<BYTE> descriptor(size);
  res = os::RegGetKeySecurity(key, kOwnerAndDacl, descriptor.data(), &size);
  if (res != ERROR_SUCCESS) return res;
  const auto text = SecurityDescriptorText(descriptor.data(), kOwnerAndDacl);
  if (!text) return static_cast<LSTATUS>(os::GetLastError());
  const auto distrust = JudgeSecurity(*text, kKeyChangeRights);
  why = distrust ? DistrustText(*distrust) : L"";
  return ERROR_SUCCESS;
}

// The key made the service's own again, with an empty record: its entries
// may have been written by anyone.
LSTATUS ResetRecordKey() {
  UniqueRegKey key;
  LSTATUS res = os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, WRITE_OWNER | WRITE_DAC | KEY_SET_VALUE,
                                  key.Put());
  if (res != ERROR_SUCCESS) return res;
  UniqueLocalMemory descriptor = RecoveryKeyDescriptor();
  if (!descriptor) return static_cast<LSTATUS>(os::GetLastError());
  res = os::RegSetKeySecurity(key.Get(), kOwnerAndDacl, descriptor.Get());
  if (res != ERROR_SUCCESS) return res;
  return WriteRecord(key.Get(), {});
}

// Opens the record's key, made with the service's security when missing and
// create is set. An existing key whose owner or DACL lets anyone but SYSTEM
// and Administrators write it holds no entries the service trusts: it is
// made the service's own again, with an empty record (logged). A registry
// link is not used at all (logged; ERROR_ACCESS_DENIED).
LSTATUS OpenRecordKey(UniqueRegKey& key, bool create) {
  UniqueRegKey keyItself;
  LSTATUS res =
      os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, keyItself.Put());
  if (res == ERROR_FILE_NOT_FOUND && create) return CreateRecordKey(key);
  if (res != ERROR_SUCCESS) return res;
  if (IsLink(keyItself.Get())) {
    LogFormatted(EVENTLOG_ERROR_TYPE,
                 L"[ZEFO Service] Recovery record key is a registry link: its entries are not trusted, nothing is "
                 L"recorded through it");
    return ERROR_ACCESS_DENIED;
  }
  res = os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, kRecordAccess, key.Put());
  std::wstring why;
  if (res == ERROR_SUCCESS) res = WhyKeyIsNotTrusted(key.Get(), why);
  if (res != ERROR_SUCCESS || why.empty()) return res;
  LogFormatted(EVENTLOG_ERROR_TYPE,
               L"[ZEFO Service] Recovery record key %s: its entries are not trusted, the key is made the service's "
               L"own and the record emptied",
               why.c_str());
  key.Close();
  res = ResetRecordKey();
  if (res != ERROR_SUCCESS) return res;
  return os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, kRecordAccess, key.Put());
}

// Adds or removes one instance ID; the result of the registry step that failed.
LSTATUS UpdateRecord(const std::wstring& instanceId, bool present) {
  UniqueRegKey key;
  LSTATUS res = OpenRecordKey(key, true);
  if (res != ERROR_SUCCESS) return res;
  std::vector<std::wstring> list;
  res = ReadRecord(key.Get(), list);
  if (res != ERROR_SUCCESS) return res;
  const bool listed = std::find(list.begin(), list.end(), instanceId) != list.end();
  if (listed == present) return ERROR_SUCCESS;
  if (present)
    list.push_back(instanceId);
  else
    Remove(list, instanceId);
  return WriteRecord(key.Get(), list);
}

bool ClearFromRecord(const std::wstring& instanceId) {
  const LSTATUS res = UpdateRecord(instanceId, false);
  if (res != ERROR_SUCCESS)
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Forget the enabled FPR device fail, res = %d!!",
                 static_cast<int>(res));
  return res == ERROR_SUCCESS;
}

// The record's entries join the list once per run, as soon as they can be read.
void LoadRecord(RecoveryMemory& memory) {
  UniqueRegKey key;
  LSTATUS res = OpenRecordKey(key, false);
  std::vector<std::wstring> list;
  if (res == ERROR_SUCCESS) res = ReadRecord(key.Get(), list);
  if (res != ERROR_SUCCESS && res != ERROR_FILE_NOT_FOUND) {
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Read the recovery record fail, res = %d, try again at the next check",
                 static_cast<int>(res));
    return;
  }
  // An entry whose clear failed stands for a device already enabled.
  for (const std::wstring& id : list)
    if (std::find(memory.clearsOwed.begin(), memory.clearsOwed.end(), id) == memory.clearsOwed.end())
      Add(memory.disabled, id);
  memory.recordLoaded = true;
}
}  // namespace

bool RecordBiometricStartOwed(bool owed) {
  UniqueRegKey key;
  LSTATUS res = CreateRecordKey(key);
  if (res == ERROR_SUCCESS) {
    const DWORD value = owed ? 1 : 0;
    res = os::RegSetValueExW(key.Get(), kBiometricStartOwedValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value);
  }
  if (res != ERROR_SUCCESS)
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Record the WbioSrvc start fail, res = %d!!", static_cast<int>(res));
  return res == ERROR_SUCCESS;
}

bool BiometricStartOwedOnRecord() {
  UniqueRegKey key;
  DWORD value = 0;
  DWORD type = REG_NONE;
  DWORD bytes = sizeof value;
  LSTATUS res = os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, KEY_READ, key.Put());
  if (res == ERROR_SUCCESS)
    res = os::RegQueryValueExW(key.Get(), kBiometricStartOwedValue, nullptr, &type, reinterpret_cast<LPBYTE>(&value),
                               &bytes);
  if (res == ERROR_FILE_NOT_FOUND) return false;
  if (res != ERROR_SUCCESS) {
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Read the WbioSrvc start record fail, res = %d",
                 static_cast<int>(res));
    return false;
  }
  return type == REG_DWORD && value == 1;
}

bool RememberDisabledDevice(const std::wstring& instanceId) {
  const LSTATUS res = UpdateRecord(instanceId, true);
  if (res != ERROR_SUCCESS) {
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Record the disabled FPR device fail, res = %d!!",
                 static_cast<int>(res));
    return false;
  }
  RecoveryMemory& memory = g_recoveryMemory;
  Add(memory.disabled, instanceId);
  Remove(memory.clearsOwed, instanceId);
  return true;
}

void ForgetDisabledDevice(const std::wstring& instanceId) {
  RecoveryMemory& memory = g_recoveryMemory;
  Remove(memory.disabled, instanceId);
  if (ClearFromRecord(instanceId))
    Remove(memory.clearsOwed, instanceId);
  else
    Add(memory.clearsOwed, instanceId);
}

std::vector<std::wstring> DevicesDisabledByService() {
  RecoveryMemory& memory = g_recoveryMemory;
  const std::vector<std::wstring> owed = memory.clearsOwed;
  for (const std::wstring& id : owed)
    if (ClearFromRecord(id)) Remove(memory.clearsOwed, id);
  if (!memory.recordLoaded) LoadRecord(memory);
  return memory.disabled;
}
