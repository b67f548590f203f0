// The Service Control Manager: its service database, and the side that talks
// to a service process of this machine (dispatcher, handler, status reports).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/kernel.h"
#include "platform/sim/registry_model.h"

namespace sim {

struct ServiceEntry {
  std::wstring name;
  std::wstring displayName;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::wstring binaryPath;
  bool hasLoadOrderGroup = false;
  bool dependenciesGiven = false;  // a list, empty or not, rather than none
  std::vector<std::wstring> dependencies;
  bool hasAccount = false;  // false: LocalSystem
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  // A service no process of this machine runs stops this long after a stop request.
  std::uint64_t stopTakesMs = 0;
  std::uint64_t stopDoneAt = kNever;
  bool markedForDeletion = false;
  int openHandles = 0;
};

struct StatusReport : Stamp {
  SERVICE_STATUS status{};
};

class ScManagerHandle : public Object {
 public:
  explicit ScManagerHandle(DWORD desiredAccess) : access(desiredAccess) {}
  DWORD access;
};

class ScServiceHandle : public Object {
 public:
  ScServiceHandle(std::wstring serviceName, DWORD desiredAccess) : name(std::move(serviceName)), access(desiredAccess) {}
  std::wstring name;
  DWORD access;
};

class ServiceStatusHandle : public Object {};

class ScmModel {
 public:
  explicit ScmModel(Kernel& kernel) : kernel_(kernel) {}

  // Database, driver side.
  void AddService(const std::wstring& name, DWORD currentState = SERVICE_STOPPED, std::uint64_t stopTakesMs = 0);
  std::optional<ServiceEntry> Service(const std::wstring& name) const;

  // The service process's reports.
  std::vector<StatusReport> StatusReports() const;

  // Platform side, lock held.
  std::map<std::wstring, ServiceEntry, CaseInsensitiveLess> services;
  std::vector<StatusReport> statusReports;
  void Refresh(ServiceEntry& entry) const;  // completes a scripted stop whose time has come

 private:
  Kernel& kernel_;
};

}  // namespace sim
