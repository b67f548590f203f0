// Runs the program on the simulated machine as the process that the SCM
// started for ZEFOTestService, and reads what the service host left behind.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "diag/settings.h"
#include "platform/sim/machine.h"
#include "service/service_base.h"
#include "sim_fixture.h"

namespace testing_support {

// The settings key with LOG_SWITCH as given and the default polling time.
inline void SetLogSwitch(sim::Machine& machine, DWORD logSwitch) {
  machine.registry.SetDword(kSettingsKey, L"ServicePollingTime", kDefaultServicePollingTime);
  machine.registry.SetDword(kSettingsKey, L"LOG_SWITCH", logSwitch);
}

// wmain with no argument, as the SCM starts the installed service.
inline DWORD RunServiceWmain() { return static_cast<DWORD>(RunWmain()); }

// Hooks that do what a test asks of them.
struct Hooks {
  std::function<void()> onStart, onStop, onPause, onContinue, onShutdown;
};

class HookService : public CServiceBase {
 public:
  explicit HookService(const Hooks& hooks) : CServiceBase(kServiceName), hooks_(hooks) {}

 protected:
  void OnStart(DWORD, LPWSTR*) override { Call(hooks_.onStart); }
  void OnStop() override { Call(hooks_.onStop); }
  void OnPause() override { Call(hooks_.onPause); }
  void OnContinue() override { Call(hooks_.onContinue); }
  void OnShutdown() override { Call(hooks_.onShutdown); }

 private:
  static void Call(const std::function<void()>& hook) {
    if (hook) hook();
  }
  const Hooks& hooks_;
};

// The main thread of a process that runs HookService; exit code: Run's result.
inline std::function<DWORD()> RunHookService(const Hooks& hooks) {
  return [&hooks] {
    HookService service(hooks);
    return static_cast<DWORD>(CServiceBase::Run(service));
  };
}

// The service host alone, with hooks that do nothing: the monitor stays out.
// Settings are read first, as the entry point does; exit code 0 as it gives.
inline DWORD RunHostOnly() {
  static const Hooks none;
  LoadOtherSetting();
  RunHookService(none)();
  return 0;
}

class ServiceProcess {
 public:
  // Enters ZEFOTestService in the SCM database as a service being started,
  // marks the process as started by the SCM and runs mainThread as its main
  // thread.
  explicit ServiceProcess(sim::Machine& machine, std::function<DWORD()> mainThread = RunHostOnly)
      : machine_(machine) {
    main_ = machine_.StartServiceProcess(kServiceName, std::move(mainThread));
  }

  // Lets the machine run until the service has reported this state.
  bool WaitForState(DWORD state) {
    return machine_.RunUntil([this, state] {
      const auto& reports = machine_.scm.statusReports;
      return !reports.empty() && reports.back().status.dwCurrentState == state;
    });
  }

  // Lets the machine run until the main thread has ended; its exit code.
  DWORD Exit() { return machine_.Join(main_); }

  // The process ends: its threads end with it, and its handles are gone, so
  // the next process starts from the state a fresh one has.
  ~ServiceProcess() {
    machine_.kernel.EndAllThreads();
    ResetProcessState();
  }

 private:
  sim::Machine& machine_;
  std::shared_ptr<sim::ThreadObject> main_;
};

// The messages logged to the event log, in order, with their types.
struct LoggedMessage {
  std::wstring text;
  WORD type;
  std::uint64_t timeMs;
  bool operator==(const LoggedMessage& other) const { return text == other.text && type == other.type; }
};

inline void PrintTo(const LoggedMessage& message, std::ostream* out) {
  *out << "{type " << message.type << ", ";
  for (wchar_t c : message.text) *out << (c < 128 ? static_cast<char>(c) : '?');
  *out << "}";
}

inline std::vector<LoggedMessage> LoggedMessages(sim::Machine& machine, std::uint64_t afterSeq = 0) {
  std::vector<LoggedMessage> messages;
  for (const sim::EventLogEntry& entry : machine.diagnostics.EventLog())
    if (entry.seq > afterSeq && entry.strings.size() == 2) messages.push_back({entry.strings[1], entry.type, entry.timeMs});
  return messages;
}

inline std::vector<std::wstring> Texts(const std::vector<LoggedMessage>& messages) {
  std::vector<std::wstring> texts;
  for (const LoggedMessage& message : messages) texts.push_back(message.text);
  return texts;
}

}  // namespace testing_support
