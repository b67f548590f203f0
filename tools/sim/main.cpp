// Runs the service on a simulated machine and prints what the machine shows.
#include <cstdio>

#include "platform/sim/machine.h"
#include "service/entry.h"

int main() {
  sim::Machine machine;
  machine.registry.SetDword(L"System\\CurrentControlSet\\Control\\ZefoFP\\OtherSetting", L"LOG_SWITCH", 1);
  wchar_t program[] = L"ZefoFpService.exe";
  wchar_t* argv[] = {program, nullptr};
  wmain(1, argv);
  for (const sim::JournalEntry& e : machine.Journal())
    std::printf("%8llu ms  %-8s %ls\n", static_cast<unsigned long long>(e.timeMs), e.kind.c_str(), e.text.c_str());
  return 0;
}
