// Benchmark of the service on the simulated machine. Reports, on the
// machine's clock and in real time: wake-ups per idle polling period (the
// goal is exactly one), the delay from a lid event to the device check it
// brings, the real time one simulated day of polling takes; and for the
// simulator, the real time of the day-on-a-laptop scenario, exploration runs
// per second and soak hours per real second.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/settings.h"
#include "platform/sim/machine.h"
#include "platform/sim/power_model.h"
#include "service/control_handler.h"
#include "service/entry.h"
#include "tools/sim/checked_run.h"
#include "tools/sim/explore.h"
#include "tools/sim/soak.h"

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

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Each run in a fresh process of its own, as zefo_sim makes them; run before
// any machine of this process exists, which a fresh process would inherit.
void BenchScenarios() {
  const std::string dayPath = std::string(ZEFO_SCENARIOS_DIR) + "/day-on-a-laptop.scn";
  const scenario::Scenario day = scenario::LoadScenario(dayPath);
  constexpr int kDayRuns = 20;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kDayRuns; ++i) scenario::RunCheckedInFreshProcess(day, std::nullopt);
  std::printf("day-on-a-laptop scenario, run and checked: %.1f ms real time\n", MillisecondsSince(start) / kDayRuns);

  start = Clock::now();
  const scenario::Exploration dayStops = scenario::Explore(day, dayPath, "stop");
  std::printf("exploration of stop over day-on-a-laptop: %.0f runs per second (%d runs)\n",
              dayStops.runs / SecondsSince(start), dayStops.runs);

  std::vector<std::filesystem::path> ready;
  for (const auto& entry : std::filesystem::directory_iterator(ZEFO_SCENARIOS_DIR))
    if (entry.path().extension() == ".scn") ready.push_back(entry.path());
  int runs = 0;
  start = Clock::now();
  for (const auto& path : ready)
    for (const char* event : {"stop", "shutdown"})
      runs += scenario::Explore(scenario::LoadScenario(path.string()), path.string(), event).runs;
  std::printf("exploration of stop and shutdown over the %zu ready scenarios: %.0f runs per second (%d runs)\n",
              ready.size(), runs / SecondsSince(start), runs);

  constexpr double kSoakHours = 240;
  const scenario::Soak soak = scenario::RunSoak(day, dayPath, kSoakHours, 1);
  std::printf("soak of the day-on-a-laptop machine, %.0f h: %.0f simulated hours per real second (%.0f per minute)\n",
              kSoakHours, kSoakHours / soak.realSeconds, kSoakHours / soak.realSeconds * 60);
}

void BenchPolling() {
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
}

}  // namespace

int main() {
  BenchScenarios();
  BenchPolling();
  return 0;
}
