// Benchmark of the polling worker on the simulated machine. Reports, on the
// machine's clock and in real time: wake-ups per idle polling period (the
// goal is exactly one), the delay from a lid event to the device check it
// brings, and the real time one simulated day of polling takes.
#include <chrono>
#include <cstdio>
#include <string>

#include "diag/settings.h"
#include "platform/sim/machine.h"
#include "platform/sim/power_model.h"
#include "service/control_handler.h"
#include "service/entry.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kPollingPeriodMs = 120000;
const std::wstring kCheckLine = L"[ZEFO Service] Got yellow bang, error code = 10";

DWORD RunService() {
  wchar_t program[] = L"ZefoFpService.exe";
  wchar_t* argv[] = {program, nullptr};
  return static_cast<DWORD>(wmain(1, argv));
}

// Every device check logs this line: the sensor shows a problem the service
// only reports.
std::size_t ChecksSoFar(sim::Machine& machine) {
  std::size_t checks = 0;
  for (const sim::EventLogEntry& e : machine.diagnostics.eventLog)
    if (e.strings.size() == 2 && e.strings[1] == kCheckLine) ++checks;
  return checks;
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
  sim::Machine machine;
  machine.registry.SetDword(kSettingsKeyPath, L"ServicePollingTime", 2);
  machine.registry.SetDword(kSettingsKeyPath, L"LOG_SWITCH", 1);
  machine.devices.AddDevice(sim::SimDevice{L"ZEFO Fingerprint Sensor", {L"USB\\VID_1234&PID_0A20"}, 10, true});
  auto service = machine.StartServiceProcess(L"ZEFOTestService", RunService);
  machine.RunUntil([&] { return ChecksSoFar(machine) == 1; });
  machine.Settle();

  const int periods = 30;
  auto before = [&] {
    auto lock = machine.kernel.Lock();
    return ChecksSoFar(machine);
  }();
  machine.RunFor(periods * kPollingPeriodMs);
  auto after = [&] {
    auto lock = machine.kernel.Lock();
    return ChecksSoFar(machine);
  }();
  std::printf("idle wake-ups per polling period: %.2f (%zu checks in %d periods)\n",
              static_cast<double>(after - before) / periods, after - before, periods);

  const std::uint64_t lidAt = machine.Now();
  Clock::time_point realStart = Clock::now();
  machine.power.SettingChanged(kGuidLidSwitchStateChange, 1);
  machine.RunUntil([&] { return ChecksSoFar(machine) == after + 1; });
  const double realMs = MillisecondsSince(realStart);
  std::printf("lid event to device check: %llu ms machine time, %.3f ms real time\n",
              static_cast<unsigned long long>(machine.Now() - lidAt), realMs);
  machine.Settle();

  realStart = Clock::now();
  machine.RunFor(24ull * 60 * 60 * 1000);
  std::printf("one simulated day of polling: %.1f ms real time\n", MillisecondsSince(realStart));

  machine.scm.Control(SERVICE_CONTROL_STOP);
  machine.Join(service);
  return 0;
}
