// A fresh simulated machine per test, with shortcuts for what tests read most.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "diag/settings.h"
#include "platform/sim/machine.h"
#include "service/process_state.h"

inline const std::wstring kSettingsKey = kSettingsKeyPath;

// wmain with these arguments after the program name (none: as the SCM starts
// the installed service).
int RunWmain(const std::vector<std::wstring>& args = {});

// Each test is a fresh process on a fresh machine.
class SimTest : public ::testing::Test {
 protected:
  SimTest() { ResetProcessState(); }
  ~SimTest() override {
    machine.kernel.EndAllThreads();
    ResetProcessState();
  }

  sim::Machine machine;

  void SetSetting(const std::wstring& name, DWORD value) { machine.registry.SetDword(kSettingsKey, name, value); }
  // Logging on, with the default polling period stored so that it gives no warning.
  void EnableLogging() {
    SetSetting(L"ServicePollingTime", 2);
    SetSetting(L"LOG_SWITCH", 1);
  }

  // The message part of every event log entry (its second string), in order.
  std::vector<std::wstring> EventMessages() const;
  // Every debugger line, without its timestamp, tag and line break.
  std::vector<std::wstring> DebugMessages() const;
  std::wstring Console() const { return machine.process.Console(); }
  // The program runs from this path from now on: its file is there, with
  // what its folder passes on (under Program Files: left to administrators).
  void MoveProgram(const std::wstring& path) {
    machine.files.AddFile(path);
    machine.process.modulePath = path;
  }
  // The recovery record as the registry holds it: instance IDs in order.
  std::vector<std::wstring> RecoveryRecord() const;
  // A record as an earlier process left it.
  void SetRecoveryRecord(const std::vector<std::wstring>& instanceIds);
  // The command line of every program started, in order.
  std::vector<std::wstring> CommandLines() const {
    std::vector<std::wstring> lines;
    for (const sim::CommandRun& run : machine.process.Commands()) lines.push_back(run.commandLine);
    return lines;
  }
};
