#include "monitor/disabled_devices.h"

#include <algorithm>

#include "diag/logging.h"
#include "platform/registry.h"

namespace {
std::vector<std::wstring> ReadList(HKEY key) {
  DWORD type = REG_NONE;
  DWORD bytes = 0;
  if (os::RegQueryValueExW(key, kDisabledDevicesValue, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ)
    return {};
  std::vector<WCHAR> data(bytes / sizeof(WCHAR) + 2, L'\0');  // room for terminators a writer left out
  if (os::RegQueryValueExW(key, kDisabledDevicesValue, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()),
                           &bytes) != ERROR_SUCCESS)
    return {};
  std::vector<std::wstring> list;
  const WCHAR* end = data.data() + bytes / sizeof(WCHAR);
  for (const WCHAR* p = data.data(); p < end && *p != L'\0'; p += list.back().size() + 1) list.emplace_back(p);
  return list;
}

LSTATUS WriteList(HKEY key, const std::vector<std::wstring>& list) {
  std::wstring joined;
  for (const std::wstring& id : list) joined += id + L'\0';
  joined += L'\0';
  return os::RegSetValueExW(key, kDisabledDevicesValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(joined.data()),
                            static_cast<DWORD>(joined.size() * sizeof(WCHAR)));
}

// Adds or removes one instance ID; the result of the registry step that failed.
LSTATUS UpdateList(const std::wstring& instanceId, bool present) {
  UniqueRegKey key;
  LSTATUS res = os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_READ | KEY_WRITE, nullptr, key.Put(), nullptr);
  if (res != ERROR_SUCCESS) return res;
  std::vector<std::wstring> list = ReadList(key.Get());
  const auto it = std::find(list.begin(), list.end(), instanceId);
  if ((it != list.end()) == present) return ERROR_SUCCESS;
  if (present)
    list.push_back(instanceId);
  else
    list.erase(it);
  return WriteList(key.Get(), list);
}
}  // namespace

bool RecordDisabledDevice(const std::wstring& instanceId) {
  const LSTATUS res = UpdateList(instanceId, true);
  if (res != ERROR_SUCCESS)
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Record the disabled FPR device fail, res = %d!!",
                 static_cast<int>(res));
  return res == ERROR_SUCCESS;
}

void ForgetDisabledDevice(const std::wstring& instanceId) {
  const LSTATUS res = UpdateList(instanceId, false);
  if (res != ERROR_SUCCESS)
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] Forget the enabled FPR device fail, res = %d!!",
                 static_cast<int>(res));
}

std::vector<std::wstring> DevicesDisabledByService() {
  UniqueRegKey key;
  if (os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecoveryKeyPath, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return {};
  return ReadList(key.Get());
}
