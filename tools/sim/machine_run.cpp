#include "tools/sim/machine_run.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "diag/settings.h"
#include "monitor/disabled_devices.h"
#include "monitor/monitor.h"
#include "monitor/polling_worker.h"
#include "service/service_base.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sim/machine.h"
#include "service/control_handler.h"
#include "service/entry.h"
#include "service/failure_actions.h"
#include "service/process_state.h"

namespace scenario {
namespace {

// The vendor GUID of the firmware variables a scenario sets: the service reads
// its variables under this one.
const std::wstring kFirmwareVendorGuid = L"{E771C02B-6657-48FE-8547-52A656868F0F}";
// How long past its last instant a run waits for a stopping service to end.
constexpr std::uint64_t kProcessEndWaitMs = 120000;

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring Wide(const std::string& text) {
  std::wstring out;
  for (unsigned char c : text) out += static_cast<wchar_t>(c);  // scenario names are ASCII
  return out;
}

std::string StripLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// A debugger line without its "[MM/DD hh:mm:ss'mmm] " stamp and component tag:
// the message as the service logged it.
std::string DebugMessage(const std::string& line) {
  std::string message = line;
  if (!message.empty() && message[0] == '[') {
    const std::size_t close = message.find("] ");
    if (close != std::string::npos) message = message.substr(close + 2);
  }
  for (const char* tag : {"[ZEFOFPSERVICE] [ZEFO Service] ", "[ZEFOFPSERVICE] "})
    if (message.rfind(tag, 0) == 0) return message.substr(std::strlen(tag));
  return message;
}

std::pair<DWORD, std::vector<BYTE>> RegistryData(const Value& value) {
  switch (value.type) {
    case Value::Type::kString:
      return {REG_SZ, sim::RegistryModel::StringBytes(Wide(value.text))};
    case Value::Type::kBinary:
      return {REG_BINARY, std::vector<BYTE>(value.bytes.begin(), value.bytes.end())};
    case Value::Type::kQword: {
      std::vector<BYTE> bytes(sizeof(std::uint64_t));
      std::memcpy(bytes.data(), &value.number, bytes.size());
      return {REG_QWORD, bytes};
    }
    case Value::Type::kDword:
      break;
  }
  return {REG_DWORD, sim::RegistryModel::DwordBytes(static_cast<DWORD>(value.number))};
}

// The strings of a REG_MULTI_SZ, up to its empty string or its end.
std::vector<std::wstring> MultiStrings(const std::vector<BYTE>& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  std::vector<std::wstring> strings;
  for (std::size_t at = 0; at < text.size() && text[at] != L'\0'; at += strings.back().size() + 1)
    strings.push_back(text.substr(at, text.find(L'\0', at) - at));
  return strings;
}

std::vector<BYTE> MultiStringBytes(const std::vector<std::wstring>& strings) {
  std::wstring joined;
  for (const std::wstring& s : strings) joined += s + L'\0';
  joined += L'\0';
  std::vector<BYTE> data(joined.size() * sizeof(wchar_t));
  std::memcpy(data.data(), joined.data(), data.size());
  return data;
}

// A registry value as the output and the expectations write it: a dword as
// its number, a multi-string as its strings in quotes ("empty" for none).
std::string ValueText(const sim::RegValue& value) {
  if (value.type == REG_DWORD && value.data.size() == sizeof(DWORD)) {
    DWORD v;
    std::memcpy(&v, value.data.data(), sizeof v);
    return std::to_string(v);
  }
  if (value.type == REG_MULTI_SZ) {
    std::string strings;
    for (const std::wstring& s : MultiStrings(value.data)) strings += (strings.empty() ? "\"" : " \"") + Utf8(s) + "\"";
    return strings.empty() ? "empty" : strings;
  }
  std::string hex = "type " + std::to_string(value.type) + ":";
  char byte[4];
  for (BYTE b : value.data) {
    std::snprintf(byte, sizeof byte, " %02x", b);
    hex += byte;
  }
  return hex;
}

// wmain with no argument, as the SCM starts the installed service.
DWORD RunServiceProgram() {
  wchar_t program[] = L"C:\\Program Files\\ZEFO\\ZefoFpService.exe";
  wchar_t* argv[] = {program, nullptr};
  return static_cast<DWORD>(wmain(1, argv));
}

// What the timeline has no lines of its own for.
bool ShownOnlyInTheJournal(sim::JournalKind kind) {
  using J = sim::JournalKind;
  switch (kind) {
    case J::kDebug: case J::kEvent: case J::kTrace: case J::kStatus: case J::kDevice: case J::kRegistry:
    case J::kCommand: case J::kScenario:
      return false;
    default:
      return true;
  }
}

const char* DeviceStateChange(DWORD stateChange) { return stateChange == DICS_DISABLE ? "disable" : "enable"; }

class ScenarioRun {
 public:
  ScenarioRun(const Scenario& scenario, const RunOptions& options) : scenario_(scenario), options_(options) {}

  RunResult Run() {
    SetUp();
    std::vector<TimedAction> timeline = scenario_.timeline;
    timeline.insert(timeline.end(), options_.injected.begin(), options_.injected.end());
    std::stable_sort(timeline.begin(), timeline.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.atMs < b.atMs; });
    for (const TimedAction& timed : timeline) {
      AdvanceTo(timed.atMs);
      Act(timed.action);
    }
    AdvanceTo(scenario_.EndMs());
    if (StopUnderWay()) AwaitProcessEnd();
    Collect();
    return std::move(result_);
  }

 private:
  void SetUp() {
    for (const Device& device : scenario_.devices) {
      sim::SimDevice simDevice;
      simDevice.description = Wide(device.description);
      for (const std::string& id : device.hardwareIds) simDevice.hardwareIds.push_back(Wide(id));
      simDevice.problem = device.problem;
      simDevice.present = device.present;
      const int index = machine_.AddDevice(simDevice);
      if (device.disabled) machine_.devices.SetDisabled(index, true);
      deviceIndex_[device.name] = index;
      deviceNames_[index] = device.name;
      result_.configurationKeys[device.name] = Utf8(ConfigurationsKey(index));
    }
    machine_.process.SetSystemEnvironmentPrivilegeHeld(scenario_.systemEnvironmentPrivilege);
    machine_.firmware.SetUefi(scenario_.uefiFirmware);
    machine_.process.SetProgramRunTime(scenario_.scTimeMs == kHang ? sim::kNever : scenario_.scTimeMs);
    machine_.devices.SetInstallerTime(scenario_.installerTimeMs == kHang ? sim::kNever : scenario_.installerTimeMs);
    for (const OtherService& service : scenario_.ServicesAtBoot())
      machine_.scm.AddService(Wide(service.name), SERVICE_RUNNING, service.stopMs, service.startMs);
    // The service as -install leaves it: the SCM starts it again after a crash.
    machine_.scm.SetFailureActions(kServiceName, ServiceFailureActions());
    machine_.SetServiceLauncher([this](const std::wstring&) { StartProcess("start by the SCM after a failure"); });
    for (const Action& action : scenario_.setup) Act(action);
    if (!scenario_.recorded.empty()) Record(scenario_.recorded);
    settingUp_ = false;
  }

  // The recovery record as an earlier run leaves it: the key with the
  // service's own security, the devices' instance IDs.
  void Record(const std::vector<std::string>& devices) {
    DWORD error = ERROR_SUCCESS;
    const auto security = sim::ParseSddl(kRecoveryKeySecurity, error);
    machine_.registry.CreateKey(kRecoveryKeyPath, &*security);
    std::vector<std::wstring> ids;
    for (const std::string& device : devices) ids.push_back(sim::DeviceModel::InstanceId(deviceIndex_.at(device)));
    machine_.SetRegistryValue(kRecoveryKeyPath, kDisabledDevicesValue, REG_MULTI_SZ, MultiStringBytes(ids));
  }

  std::wstring ConfigurationsKey(int device) const {
    return machine_.devices.HardwareKeyPath(device) + L"\\WinBio\\Configurations";
  }

  // A reboot's new boot comes once the service process has ended (at the
  // shutdown deadline at the latest), whatever instant that is.
  void AdvanceTo(std::uint64_t timeMs) {
    if (bootPending_ && machine_.RunUntilOrTime([this] { return !machine_.process.Running(); }, timeMs)) Boot();
    const std::uint64_t now = machine_.Now();
    if (timeMs > now)
      machine_.RunFor(timeMs - now);
    else if (!machine_.Settle())
      throw std::runtime_error("the machine did not settle");
  }

  // Puts what the scenario does into the machine's journal, in order with
  // what the service does; its sequence number.
  std::uint64_t Note(const std::string& what) {
    if (settingUp_) return 0;
    auto lock = machine_.kernel.Lock();
    machine_.kernel.Record(sim::JournalKind::kScenario, Wide(what));
    return machine_.kernel.journal.back().seq;
  }

  bool ProcessRunning() {
    auto lock = machine_.kernel.Lock();
    return machine_.process.Running();
  }

  // The SCM starts the service: a new process, from the state a fresh
  // process has.
  void StartProcess(const std::string& why) {
    if (shutDown_ || ProcessRunning()) {
      Note(why + ": not started, " + (shutDown_ ? "the machine is shut down" : "the service process still runs"));
      return;
    }
    const std::uint64_t startSeq = Note(why);
    FinishProcess();
    ResetProcessState();
    ProcessTrack track;
    track.startSeq = startSeq;
    track.run.startMs = machine_.Now();
    machine_.StartServiceProcess(kServiceName, RunServiceProgram);
    processes_.push_back(std::move(track));
    if (options_.traceSession) EnableTraceSession();
  }

  // The machine comes back after a reboot's shutdown: the service starts as
  // the auto-start service it is.
  void Boot() {
    bootPending_ = false;
    shutDown_ = false;
    Note("boot");
    machine_.Boot();
    StartProcess("start at boot");
  }

  void Act(const Action& action) {
    using K = Action::Kind;
    switch (action.kind) {
      case K::kStart:
        StartProcess("start");
        break;
      case K::kKill:
        Note("kill");
        // As a crash ends it.
        machine_.KillProcess(STATUS_ACCESS_VIOLATION);
        break;
      case K::kReboot:
        Shutdown("reboot");
        bootPending_ = true;
        if (!ProcessRunning()) Boot();
        break;
      case K::kStop:
        ControlThroughScm("stop", SERVICE_CONTROL_STOP);
        break;
      case K::kUserControl:
        ControlThroughScm("control " + std::to_string(action.number), static_cast<DWORD>(action.number));
        break;
      case K::kShutdown:
        Shutdown("shutdown");
        break;
      case K::kLid:
        PowerSetting(action.number == 0 ? "lid close" : "lid open", kGuidLidSwitchStateChange, action.number);
        break;
      case K::kDisplay: {
        const char* const states[] = {"display off", "display on", "display dimmed"};
        PowerSetting(states[action.number], kGuidConsoleDisplayState, action.number);
        break;
      }
      case K::kSession:
        SessionChange(action.name);
        break;
      case K::kProblem:
        Note("problem " + action.device + " " + (action.number ? std::to_string(action.number) : "clear") +
             (action.persists ? " persists" : ""));
        machine_.SetDeviceProblem(deviceIndex_.at(action.device), action.number, action.persists);
        break;
      case K::kAddDevice:
      case K::kRemoveDevice:
        Note((action.kind == K::kAddDevice ? "add " : "remove ") + action.device);
        machine_.SetDevicePresent(deviceIndex_.at(action.device), action.kind == K::kAddDevice);
        break;
      case K::kDriverAttach:
        DriverAttach();
        break;
      case K::kPersonDisables:
      case K::kPersonEnables:
        InDeviceManager(action.device, action.kind == K::kPersonDisables);
        break;
      case K::kSetting:
      case K::kConfig: {
        const std::wstring key = action.kind == K::kSetting ? std::wstring(kSettingsKeyPath)
                                                            : ConfigurationsKey(deviceIndex_.at(action.device));
        auto [type, bytes] = RegistryData(action.value);
        Note((action.kind == K::kSetting ? "setting " : "config " + action.device + " ") + action.name);
        machine_.SetRegistryValue(key, Wide(action.name), type, bytes);
        break;
      }
      case K::kFirmware:
      case K::kFirmwareMissing:
        Note("firmware " + action.name);
        machine_.SetFirmwareVariable(Wide(action.name), kFirmwareVendorGuid,
                                     std::vector<BYTE>(action.bytes.begin(), action.bytes.end()));
        break;
      case K::kFault:
        if (action.about.empty()) {
          Note("fail " + action.name);
          machine_.Fail(action.name, static_cast<DWORD>(action.number), action.times);
        } else {
          Note("fail " + action.name + " about " + action.about);
          machine_.FailNamed(action.name, Wide(action.about), static_cast<DWORD>(action.number), action.times);
        }
        break;
    }
  }

  void EnableTraceSession() {
    machine_.RunUntil([this] { return machine_.diagnostics.provider.registered; });
    machine_.diagnostics.EnableTrace(4, 1);
  }

  // Sends a control the way a person's "sc control" does: the SCM's checks
  // first, then the service's handler in its turn.
  void ControlThroughScm(const std::string& what, DWORD control) {
    Note(what);
    Sending(what, control == SERVICE_CONTROL_STOP, machine_.SendControl(kServiceName, control), "");
  }

  // The SCM tells each service that accepts it, once, as the system goes
  // down; the system ends the service process at the deadline.
  void Shutdown(const std::string& what) {
    Note(what);
    shutDown_ = true;
    Sending("shutdown", true, machine_.Shutdown(scenario_.shutdownTimeoutMs),
            "the service does not accept a shutdown now");
  }

  void PowerSetting(const std::string& what, const GUID& setting, unsigned long value) {
    Note(what);
    Sending(what, false, machine_.PowerSettingChanged(setting, static_cast<DWORD>(value)), "no registration for it");
  }

  void SessionChange(const std::string& what) {
    static const std::map<std::string, DWORD> kEvents = {{"logon", WTS_SESSION_LOGON},
                                                         {"logoff", WTS_SESSION_LOGOFF},
                                                         {"lock", WTS_SESSION_LOCK},
                                                         {"unlock", WTS_SESSION_UNLOCK}};
    Note(what);
    Sending(what, false, machine_.SessionChanged(kEvents.at(what)), "the service does not take session changes now");
  }

  // A person disables or enables the device in Device Manager, which offers
  // only the change its state allows.
  void InDeviceManager(const std::string& device, bool disable) {
    const std::string what = (disable ? "disable " : "enable ") + device;
    if (machine_.DeviceEnabled(deviceIndex_.at(device)) != disable) {
      Note(what + ": " + (disable ? "disabled" : "enabled") + " already");
      return;
    }
    Note(what);
    machine_.devices.SetDisabled(deviceIndex_.at(device), disable);
  }

  // The driver opens the named event and sets it; before anyone made it,
  // there is nothing to set.
  void DriverAttach() {
    const bool set = machine_.SignalNamedEvent(L"Global\\DriverAttach");
    Note(set ? "driver-attach" : "driver-attach: no Global\\DriverAttach event to set");
  }

  // A control on its way; how it went is read at the end of the run. Null:
  // not sent, for the reason given.
  void Sending(const std::string& what, bool lifecycle, std::shared_ptr<const sim::ScmRequest> request,
               const std::string& notSent) {
    ControlSent sent;
    sent.atMs = machine_.Now();
    sent.what = what;
    sent.lifecycle = lifecycle;
    sent.process = static_cast<int>(processes_.size()) - 1;
    if (!request) sent.refusal = notSent;
    sent_.push_back({sent, std::move(request)});
  }

  // A stop or a shutdown on its way to the running service process, or
  // delivered to it.
  bool StopUnderWay() {
    auto lock = machine_.kernel.Lock();
    return std::any_of(sent_.begin(), sent_.end(), [this](const SentControl& s) {
      return s.sent.lifecycle && s.request && s.request->queued &&
             s.sent.process + 1 == static_cast<int>(processes_.size());
    });
  }

  // The last stop or shutdown the process's handler got ("" when none).
  std::string LifecycleOf(int process) {
    auto lock = machine_.kernel.Lock();
    std::string what;
    for (const SentControl& s : sent_)
      if (s.sent.lifecycle && s.sent.process == process && s.request && s.request->deliveredAtMs) what = s.sent.what;
    return what;
  }

  // What became of each control by the end of the run.
  void CollectControls() {
    auto lock = machine_.kernel.Lock();
    const std::uint64_t now = machine_.kernel.Now();
    for (const SentControl& s : sent_) {
      ControlSent sent = s.sent;
      if (const sim::ScmRequest* request = s.request.get()) {
        sent.queued = request->queued;
        sent.delivered = request->deliveredAtMs.has_value();
        if (sent.delivered) {
          sent.deliveredAtMs = *request->deliveredAtMs;
          sent.returned = request->returnedAtMs.has_value();
          const std::uint64_t endedAt = request->returnedAtMs.value_or(request->done ? request->doneAtMs : now);
          sent.handlerMs = endedAt - sent.deliveredAtMs;
        } else if (request->GaveUp(now)) {
          sent.refusal = "the SCM gave up waiting for its turn: error " + std::to_string(ERROR_SERVICE_REQUEST_TIMEOUT);
        } else if (request->done) {
          sent.refusal = "the SCM answered with error " + std::to_string(request->error);
        } else {
          sent.refusal = "still waiting for its turn at the end";
        }
      }
      result_.controls.push_back(sent);
    }
  }

  void AwaitProcessEnd() {
    machine_.RunUntilOrTime([this] { return !machine_.process.Running(); }, machine_.Now() + kProcessEndWaitMs);
  }

  // What the last process left when it ended of itself, read before the
  // next one starts.
  void FinishProcess() {
    if (processes_.empty()) return;
    ProcessTrack& track = processes_.back();
    bool endedOfItself;
    {
      auto lock = machine_.kernel.Lock();
      endedOfItself = !machine_.process.Running() && EndedOfItself(EndText());
    }
    const int process = static_cast<int>(processes_.size()) - 1;
    if (endedOfItself) track.run.handlesLeftOpen = HandlesLeftOpen(LifecycleOf(process));
  }

  // How the service process ended, as the journal says; lock held.
  std::string EndText() const {
    for (auto it = machine_.kernel.journal.end(); it != machine_.kernel.journal.begin();) {
      --it;
      if (it->kind == sim::JournalKind::kProcess) return Utf8(it->text);
    }
    return "";
  }
  static bool EndedOfItself(const std::string& end) {
    return end.rfind("main thread returned", 0) == 0 || end.rfind("ExitProcess", 0) == 0;
  }

  void Collect() {
    result_.endMs = machine_.Now();
    FinishProcess();
    CollectTimeline();
    CollectControls();
    {
      auto lock = machine_.kernel.Lock();
      for (const auto& [name, index] : deviceIndex_) {
        const sim::DeviceNode& node = machine_.devices.nodes.at(static_cast<std::size_t>(index));
        DeviceAtEnd device;
        device.name = name;
        device.present = node.device.present;
        device.disabled = node.disabled;
        result_.devices.push_back(device);
      }
    }
    for (DeviceAtEnd& device : result_.devices) {
      const auto value = machine_.registry.Value(ConfigurationsKey(deviceIndex_.at(device.name)), L"SecureFingerprint");
      if (value && value->type == REG_DWORD && value->data.size() == sizeof(DWORD)) {
        DWORD v;
        std::memcpy(&v, value->data.data(), sizeof v);
        device.secureFingerprint = v;
      }
    }
    for (const Expectation& e : scenario_.expectations) {
      if (e.what != Expectation::What::kRegistry) continue;
      const std::wstring key = e.device.empty() ? Wide(e.keyPath) : ConfigurationsKey(deviceIndex_.at(e.device));
      const auto value = machine_.registry.Value(key, Wide(e.valueName));
      result_.registryAtEnd[Utf8(key) + "\\" + e.valueName] =
          value ? std::optional<std::string>(ValueText(*value)) : std::nullopt;
    }
    result_.biometricServiceRunningAtEnd = BiometricServiceRunning();
    result_.shutDownAtEnd = shutDown_;
  }

  // Read from what the process still had when it ended, before the system
  // closed it. Handles the process keeps for its lifetime are not counted:
  // the status handle (never closed, as documented), the worker thread and
  // the driver-attach event (left for the system to close with the process),
  // after a shutdown, which ends the process at once, the service's events,
  // and what a terminated worker held (it can close nothing any more).
  std::vector<std::string> HandlesLeftOpen(const std::string& lifecycle) {
    std::vector<HANDLE> kept = {machine_.scm.dispatcher.statusHandle, g_hFpMainThread.Get(), g_hDriverAttachEvent.Get()};
    if (lifecycle == "shutdown")
      for (const NamedEventSlot* slot : {&g_hServiceStopEvent, &g_hTerminateThreadEvent, &g_hCheckYBEvent})
        kept.push_back(slot->Get());
    std::vector<std::string> left;
    for (const sim::OpenHandle& handle : machine_.process.HandlesAtEnd())
      if (!handle.openerTerminated && std::find(kept.begin(), kept.end(), handle.value) == kept.end())
        left.push_back(handle.kind);
    return left;
  }

  // As the SCM's database shows it; a start still under way counts.
  bool BiometricServiceRunning() {
    const auto state = machine_.ServiceState(Wide(kBiometricService));
    return state == SERVICE_RUNNING || state == SERVICE_START_PENDING;
  }

  void CollectTimeline() {
    std::vector<std::pair<std::uint64_t, Observation>> items;  // by machine sequence number
    auto add = [&](std::uint64_t seq, std::uint64_t timeMs, Observation::Kind kind, std::string text,
                   std::string subject = {}, std::string detail = {}) {
      Observation o;
      o.timeMs = timeMs;
      o.kind = kind;
      o.text = std::move(text);
      o.subject = std::move(subject);
      o.detail = std::move(detail);
      items.emplace_back(seq, std::move(o));
    };
    using K = Observation::Kind;
    for (const sim::DebugLine& line : machine_.diagnostics.DebugLines()) {
      const std::string text = StripLineEnd(Utf8(line.text));
      add(line.seq, line.timeMs, K::kDebug, text, DebugMessage(text));
    }
    for (const sim::StatusReport& report : machine_.scm.StatusReports()) {
      const SERVICE_STATUS& s = report.status;
      char fields[160];
      std::snprintf(fields, sizeof fields, "accepts 0x%lX exit %lu checkpoint %lu wait hint %lu ms",
                    static_cast<unsigned long>(s.dwControlsAccepted), static_cast<unsigned long>(s.dwWin32ExitCode),
                    static_cast<unsigned long>(s.dwCheckPoint), static_cast<unsigned long>(s.dwWaitHint));
      const std::string state = StateName(s.dwCurrentState);
      add(report.seq, report.timeMs, K::kStatus, "SERVICE_" + state + " " + fields, state, fields);
    }
    for (const sim::DeviceAction& action : machine_.devices.Actions()) {
      const std::string name = DeviceName(action.device);
      const std::string change = DeviceStateChange(action.stateChange);
      add(action.seq, action.timeMs, K::kDevice, change + " " + name, name, change);
    }
    for (const sim::DeviceAction& refusal : machine_.devices.Refusals()) {
      const std::string name = DeviceName(refusal.device);
      const std::string change = DeviceStateChange(refusal.stateChange);
      add(refusal.seq, refusal.timeMs, K::kDevice,
          change + " " + name + " refused with error " + std::to_string(refusal.error), name, change + " refused");
    }
    for (const sim::FirmwareRead& read : machine_.firmware.Reads()) {
      if (read.name != L"EssState") continue;
      const bool on = read.error == ERROR_SUCCESS && !read.bytes.empty() && read.bytes[0] == 1;
      result_.essStateReads.push_back(EssStateRead{read.timeMs, ProcessAt(read.seq), read.injected, on ? 1u : 0u});
    }
    for (const sim::CommandRun& run : machine_.process.Commands()) {
      const std::string line = Utf8(run.commandLine);
      add(run.seq, run.timeMs, K::kCommand, line, line);
    }
    for (const sim::EventLogEntry& entry : machine_.diagnostics.EventLog()) {
      const char* type = entry.type == EVENTLOG_ERROR_TYPE     ? "error"
                         : entry.type == EVENTLOG_WARNING_TYPE ? "warning"
                                                               : "information";
      const std::string message = entry.strings.size() == 2 ? Utf8(entry.strings[1]) : "";
      add(entry.seq, entry.timeMs, K::kEvent,
          Utf8(entry.source) + " " + type + " " + std::to_string(entry.eventId) + " " + message, message);
    }
    for (const sim::TraceRecord& record : machine_.diagnostics.TraceMessages()) {
      std::string argument;
      if (!record.args.empty()) argument.assign(record.args[0].begin(), record.args[0].end());
      argument = StripLineEnd(argument.substr(0, argument.find('\0')));
      add(record.seq, record.timeMs, K::kTrace, "message " + std::to_string(record.number) + " " + argument, argument);
    }
    for (const sim::JournalEntry& entry : machine_.Journal()) {
      if (result_.instants.empty() || result_.instants.back() != entry.timeMs) result_.instants.push_back(entry.timeMs);
      if (entry.kind == sim::JournalKind::kRegistry) {
        // "RegSetValueExW HKLM\<key>\<value> type N[ = dword]", "RegCreateKeyExW HKLM\<key>[ = SDDL]",
        // "RegSetKeySecurity HKLM\<key> = SDDL", "RegDeleteKeyW HKLM\<key>"
        const std::string text = Utf8(entry.text);
        const std::string rest = text.substr(text.find(' ') + 1);
        const std::size_t typeAt = rest.find(" type ");
        const std::size_t equals = rest.find(" = ");
        std::string path = rest.substr(0, std::min(typeAt, equals));
        if (path.rfind("HKLM\\", 0) == 0) path = path.substr(5);
        add(entry.seq, entry.timeMs, K::kRegistry, rest, path,
            equals == std::string::npos ? rest.substr(typeAt + 1) : rest.substr(equals + 3));
      } else if (entry.kind == sim::JournalKind::kScenario) {
        const std::string text = Utf8(entry.text);
        add(entry.seq, entry.timeMs, K::kControl, text, text);
      } else if (options_.machineJournal && ShownOnlyInTheJournal(entry.kind)) {
        add(entry.seq, entry.timeMs, K::kMachine, StripLineEnd(std::string(sim::JournalKindName(entry.kind)) + " " + Utf8(entry.text)));
      }
    }
    std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [seq, observation] : items) {
      observation.process = ProcessAt(seq);
      result_.timeline.push_back(std::move(observation));
    }
    CollectProcesses();
  }

  std::string DeviceName(int device) const {
    const auto name = deviceNames_.find(device);
    return name == deviceNames_.end() ? "" : name->second;
  }

  // The service process whose life holds this journal position; -1: none.
  int ProcessAt(std::uint64_t seq) const {
    // Processes start in journal order.
    const auto after = std::upper_bound(processes_.begin(), processes_.end(), seq,
                                        [](std::uint64_t at, const ProcessTrack& track) { return at < track.startSeq; });
    return static_cast<int>(after - processes_.begin()) - 1;
  }

  // Each process's end as the journal shows it, and its own status reports.
  void CollectProcesses() {
    for (const sim::JournalEntry& entry : machine_.Journal()) {
      const int process = ProcessAt(entry.seq);
      if (entry.kind != sim::JournalKind::kProcess || process < 0) continue;
      ServiceProcessRun& run = processes_[static_cast<std::size_t>(process)].run;
      const std::string text = Utf8(entry.text);
      run.endMs = entry.timeMs;
      run.end = text.substr(0, text.find(", exit code"));
      run.endedOfItself = EndedOfItself(text);
    }
    for (const Observation& o : result_.timeline) {
      if (o.kind != Observation::Kind::kStatus || o.process < 0) continue;
      ServiceProcessRun& run = processes_[static_cast<std::size_t>(o.process)].run;
      run.finalState = o.subject;
      run.reachedRunning = run.reachedRunning || o.subject == "RUNNING";
    }
    for (const ProcessTrack& track : processes_) result_.processes.push_back(track.run);
  }

  const Scenario& scenario_;
  const RunOptions& options_;
  sim::Machine machine_;
  std::map<std::string, int> deviceIndex_;
  std::map<int, std::string> deviceNames_;  // the other way round
  // The service processes started so far, the last one the current one.
  struct ProcessTrack {
    std::uint64_t startSeq = 0;  // the journal position of its start
    ServiceProcessRun run;
  };
  std::vector<ProcessTrack> processes_;
  bool settingUp_ = true;
  bool shutDown_ = false;     // a shutdown or reboot began, and no boot followed
  bool bootPending_ = false;  // a reboot waits for the service process to end
  struct SentControl {
    ControlSent sent;
    std::shared_ptr<const sim::ScmRequest> request;
  };
  std::vector<SentControl> sent_;
  RunResult result_;
};

}  // namespace

RunResult RunScenario(const Scenario& scenario, const RunOptions& options) {
  return ScenarioRun(scenario, options).Run();
}

}  // namespace scenario
