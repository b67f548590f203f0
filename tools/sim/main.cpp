// Runs the service on a simulated machine through a default scenario and
// prints, in order, what the machine shows: debugger lines, status reports,
// power registrations, device actions, registry writes and commands run.
// Every debugger line of a shared log step also went to the event log.
#include <cstdio>
#include <string>

#include "diag/settings.h"
#include "platform/sim/machine.h"
#include "platform/sim/power_model.h"
#include "service/control_handler.h"
#include "service/entry.h"

namespace {

DWORD RunService() {
  wchar_t program[] = L"C:\\Program Files\\ZEFO\\ZefoFpService.exe";
  wchar_t* argv[] = {program, nullptr};
  return static_cast<DWORD>(wmain(1, argv));
}

// A laptop: a fingerprint reader of another make, then the sensor, whose
// firmware says ESS is on while its setting says off.
int SetUpLaptop(sim::Machine& machine) {
  machine.registry.SetDword(kSettingsKeyPath, L"ServicePollingTime", 2);
  machine.registry.SetDword(kSettingsKeyPath, L"LOG_SWITCH", 1);
  machine.devices.AddDevice(sim::SimDevice{L"Other Fingerprint Reader", {L"USB\\VID_5678&PID_1111"}, 0, true});
  int sensor = machine.devices.AddDevice(
      sim::SimDevice{L"ZEFO Fingerprint Sensor", {L"USB\\VID_1234&PID_0A20&REV_0001", L"USB\\VID_1234&PID_0A20"}, 0, true});
  machine.registry.SetDword(machine.devices.HardwareKeyPath(sensor) + L"\\WinBio\\Configurations",
                            L"SecureFingerprint", 0);
  machine.firmware.SetVariable(L"EssState", L"{E771C02B-6657-48FE-8547-52A656868F0F}", {1});
  return sensor;
}

void PrintJournal(sim::Machine& machine) {
  for (const sim::JournalEntry& e : machine.Journal()) {
    if (e.kind == "event" || e.kind == "sleep") continue;
    std::wstring text = e.text;
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    std::printf("%9.3f s  %-8s %ls\n", static_cast<double>(e.timeMs) / 1000, e.kind.c_str(), text.c_str());
  }
}

}  // namespace

int main() {
  sim::Machine machine;
  const int sensor = SetUpLaptop(machine);

  auto service = machine.StartServiceProcess(L"ZEFOTestService", RunService);
  machine.RunUntil([&] {
    return !machine.scm.statusReports.empty() && machine.scm.statusReports.back().status.dwCurrentState == SERVICE_RUNNING;
  });
  machine.RunFor(30000);

  // The sensor fails while the lid is closed; opening it brings a check.
  machine.devices.SetProblem(sensor, CM_PROB_FAILED_POST_START);
  machine.power.SettingChanged(kGuidLidSwitchStateChange, 1);
  machine.RunFor(300000);

  // The sensor's driver attaches again: the sensor was found at start already.
  machine.SignalTogether({L"Global\\DriverAttach"});
  machine.RunFor(60000);
  machine.scm.SessionChange(WTS_SESSION_LOCK);
  machine.RunFor(10000);
  machine.scm.Control(SERVICE_CONTROL_STOP);
  machine.Join(service);

  std::printf("ZEFO fingerprint sensor service on a simulated machine (machine time, event log entries omitted)\n");
  PrintJournal(machine);
  std::printf("SecureFingerprint is now %lu\n",
              static_cast<unsigned long>(machine.registry
                                             .Dword(machine.devices.HardwareKeyPath(sensor) + L"\\WinBio\\Configurations",
                                                    L"SecureFingerprint")
                                             .value_or(0xFFFFFFFF)));
  return 0;
}
