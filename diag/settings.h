// The service's settings key, read at start and at every poll.
#pragma once

#include <atomic>

#include "platform/types.h"

// Each value is one 32-bit word, written by whichever thread loads the
// settings and read by every thread that logs or polls.
extern std::atomic<DWORD> g_dwServicePollingTime;  // minutes, never 0 once loaded
extern std::atomic<DWORD> g_dwLogSwitch;
extern std::atomic<DWORD> g_dwEnableLogToFile;

constexpr DWORD kDefaultServicePollingTime = 2;
// Under HKEY_LOCAL_MACHINE; the service only reads it.
constexpr LPCWSTR kSettingsKeyPath = L"System\\CurrentControlSet\\Control\\ZefoFP\\OtherSetting";

void LoadOtherSetting();
