// Firmware variables, and the programs the process runs.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/kernel.h"

namespace sim {

struct CommandRun : Stamp {
  std::wstring application;  // full path of the program started
  std::wstring commandLine;  // e.g. "sc stop WbioSrvc"
};

// A process the program started; it ends at a set machine time (or never).
class ProcessObject : public Object {
 public:
  ProcessObject(const Kernel& machineKernel, std::uint64_t endTime) : kernel(machineKernel), endsAt(endTime) {}
  bool Signalled() const override { return kernel.Now() >= endsAt; }
  bool Waitable() const override { return true; }
  const Kernel& kernel;
  std::uint64_t endsAt;
};

class FirmwareModel {
 public:
  explicit FirmwareModel(Kernel& kernel) : kernel_(kernel) {}

  // An empty content removes the variable, as writing one does on Windows.
  void SetVariable(const std::wstring& name, const std::wstring& vendorGuid, std::vector<BYTE> bytes);
  std::vector<CommandRun> Commands() const;
  // How long each program started from now on runs; kNever: it hangs.
  void SetProgramRunTime(std::uint64_t ms);

  // Platform side, lock held.
  using VariableKey = std::pair<std::wstring, std::wstring>;  // name, vendor GUID in upper case
  static VariableKey KeyOf(const std::wstring& name, const std::wstring& vendorGuid);
  std::map<VariableKey, std::vector<BYTE>> variables;
  std::wstring systemDirectory = L"C:\\Windows\\system32";
  std::vector<std::wstring> programs = {L"C:\\Windows\\system32\\sc.exe"};
  std::vector<CommandRun> commands;
  std::uint64_t programRunTimeMs = 0;

 private:
  Kernel& kernel_;
};

}  // namespace sim
