#include "diag/settings.h"

#include "diag/logging.h"
#include "platform/registry.h"

std::atomic<DWORD> g_dwServicePollingTime{0};
std::atomic<DWORD> g_dwLogSwitch{0};
std::atomic<DWORD> g_dwEnableLogToFile{0};

namespace {
constexpr DWORD kUnreadable = 0xFFFFFFFF;

// A REG_DWORD value, or 0 when it is missing, of another type, longer than
// four bytes, or holds the mark 0xFFFFFFFF.
DWORD ReadSetting(HKEY key, LPCWSTR name) {
  DWORD data = 0;
  DWORD type = REG_DWORD;
  DWORD size = sizeof data;
  LSTATUS status = os::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
  DWORD result = (status == ERROR_SUCCESS && type == REG_DWORD) ? data : kUnreadable;
  return result == kUnreadable ? 0 : result;
}
}  // namespace

void LoadOtherSetting() {
  UniqueRegKey key;
  if (os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
    g_dwServicePollingTime = kDefaultServicePollingTime;
    g_dwLogSwitch = 0;
    g_dwEnableLogToFile = 0;
    return;
  }
  g_dwServicePollingTime = ReadSetting(key.Get(), L"ServicePollingTime");
  g_dwLogSwitch = ReadSetting(key.Get(), L"LOG_SWITCH");
  g_dwEnableLogToFile = ReadSetting(key.Get(), L"ENABLE_LOG_TO_FILE");
  key.Close();

  if (g_dwServicePollingTime == 0) {
    g_dwServicePollingTime = kDefaultServicePollingTime;
    LogFormatted(EVENTLOG_WARNING_TYPE,
                 L"[ZEFO Service] ServicePollingTime = 0, Set ServicePollingTime default value = %d",
                 static_cast<int>(kDefaultServicePollingTime));
  }
}
