// A fresh simulated machine per test, with shortcuts for what tests read most.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "diag/settings.h"
#include "platform/sim/machine.h"

inline const std::wstring kSettingsKey = kSettingsKeyPath;

// Each test is a fresh process on a fresh machine.
class SimTest : public ::testing::Test {
 protected:
  SimTest();

  sim::Machine machine;

  void SetSetting(const std::wstring& name, DWORD value) { machine.registry.SetDword(kSettingsKey, name, value); }
  // Logging on, with the default polling period stored so that it gives no warning.
  void EnableLogging() {
    SetSetting(L"ServicePollingTime", 2);
    SetSetting(L"LOG_SWITCH", 1);
  }

  // Runs wmain on the driver thread with these arguments after the program name.
  int RunWmain(const std::vector<std::wstring>& args);

  // The message part of every event log entry (its second string), in order.
  std::vector<std::wstring> EventMessages() const;
  // Every debugger line, without its timestamp, tag and line break.
  std::vector<std::wstring> DebugMessages() const;
  std::wstring Console() const { return machine.process.Console(); }
};
