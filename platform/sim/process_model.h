// The process the program runs in: its module path, how it was started,
// what it printed on the console, and how it ended.
#pragma once

#include <optional>
#include <string>

#include "platform/sim/kernel.h"

namespace sim {

class ProcessModel {
 public:
  explicit ProcessModel(Kernel& kernel) : kernel_(kernel) {}

  std::wstring Console() const;
  // The service process's exit code once it has ended; none before.
  std::optional<DWORD> ExitCode() const;

  // Platform side, lock held.
  std::wstring modulePath = L"C:\\Program Files\\ZEFO\\ZefoFpService.exe";
  bool startedBySCM = false;
  std::wstring console;
  int id = 0;  // the kernel's number for the service process; 0: none started
  std::optional<DWORD> exitCode;
  // Started and not ended (a machine that ended its threads ended it too).
  bool Running() const { return id != 0 && !exitCode && kernel_.ProcessHasThreads(id); }

 private:
  Kernel& kernel_;
};

}  // namespace sim
