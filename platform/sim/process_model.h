// The service's process: its module path, how it was started, its token and
// privileges, what it printed on the console, and how it ended.
#pragma once

#include <optional>
#include <string>

#include "platform/sim/kernel.h"

namespace sim {

// An open handle to the process token.
class TokenObject : public Object {
 public:
  explicit TokenObject(DWORD tokenAccess) : access(tokenAccess) {}
  DWORD access;
};

class ProcessModel {
 public:
  explicit ProcessModel(Kernel& kernel) : kernel_(kernel) {}

  std::wstring Console() const;
  // The service process's exit code once it has ended; none before.
  std::optional<DWORD> ExitCode() const;
  // SeSystemEnvironmentPrivilege present in the token (enable succeeds) or not
  // (AdjustTokenPrivileges leaves ERROR_NOT_ALL_ASSIGNED).
  void SetSystemEnvironmentPrivilegeHeld(bool held);

  // Platform side, lock held.
  std::wstring modulePath = L"C:\\Program Files\\ZEFO\\ZefoFpService.exe";
  bool startedBySCM = false;
  std::wstring console;
  int id = 0;  // the kernel's number for the service process; 0: none started
  std::optional<DWORD> exitCode;
  // Started and not ended (a machine that ended its threads ended it too).
  bool Running() const { return id != 0 && !exitCode && kernel_.ProcessHasThreads(id); }
  bool systemEnvironmentHeld = true;  // LocalSystem holds it, disabled
  bool systemEnvironmentEnabled = false;

 private:
  Kernel& kernel_;
};

}  // namespace sim
