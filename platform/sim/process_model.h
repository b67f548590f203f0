// The service's process: its module path, how it was started, its token and
// privileges, what it printed on the console, the programs it can start and
// the commands it ran, and how it ended.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/kernel.h"

namespace sim {

struct CommandRun : Stamp {
  std::wstring application;  // full path of the program started
  std::wstring commandLine;  // e.g. "sc stop WbioSrvc"
};

// An open handle to the process token.
class TokenObject : public Object {
 public:
  explicit TokenObject(DWORD tokenAccess) : access(tokenAccess) {}
  const char* Kind() const override { return "token"; }
  DWORD access;
};

// A process the program started; it ends at a set machine time (or never).
class ProcessObject : public Object {
 public:
  ProcessObject(const Kernel& machineKernel, std::uint64_t endTime) : kernel(machineKernel), endsAt(endTime) {}
  const char* Kind() const override { return "process"; }
  bool Signalled() const override { return kernel.Now() >= endsAt; }
  bool Waitable() const override { return true; }
  const Kernel& kernel;
  std::uint64_t endsAt;
};

class ProcessModel {
 public:
  explicit ProcessModel(Kernel& kernel) : commands(kernel.logWindow), kernel_(kernel) {}

  std::wstring Console() const;
  // The service process's exit code once it has ended; none before.
  std::optional<DWORD> ExitCode() const;
  // SeSystemEnvironmentPrivilege present in the token (enable succeeds) or not
  // (AdjustTokenPrivileges leaves ERROR_NOT_ALL_ASSIGNED).
  void SetSystemEnvironmentPrivilegeHeld(bool held);
  // The programs started so far, in order, over every run of the process.
  std::vector<CommandRun> Commands() const;
  // How long each program started from now on runs; kNever: it hangs.
  void SetProgramRunTime(std::uint64_t ms);
  // The handles the service process still had open when it last ended, with
  // the kind of object each named: the system closed them.
  std::vector<OpenHandle> HandlesAtEnd() const;

  // Platform side, lock held.
  std::wstring modulePath = L"C:\\Program Files\\ZEFO\\ZefoFpService.exe";
  // Where the process looks for a DLL it loads by name: its
  // SetDefaultDllDirectories flags, 0 for the standard search order (the
  // executable's folder first). Each process starts with 0.
  DWORD dllDirectories = 0;
  bool startedBySCM = false;
  std::wstring console;
  int id = 0;  // the kernel's number for the service process; 0: none started
  std::optional<DWORD> exitCode;
  std::vector<OpenHandle> handlesAtEnd;
  // Started and not ended (a machine that ended its threads ended it too).
  bool Running() const { return id != 0 && !exitCode && kernel_.ProcessHasThreads(id); }
  bool systemEnvironmentHeld = true;  // LocalSystem holds it, disabled
  bool systemEnvironmentEnabled = false;
  std::wstring systemDirectory = L"C:\\Windows\\system32";
  std::vector<std::wstring> programs = {L"C:\\Windows\\system32\\sc.exe"};
  BoundedLog<CommandRun> commands;
  std::uint64_t programRunTimeMs = 0;

 private:
  Kernel& kernel_;
};

}  // namespace sim
