// A simulated machine with logging on, and what its event log shows.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/settings.h"
#include "platform/sim/machine.h"
#include "tests/sim_fixture.h"

struct Logged {
  WORD type;
  std::wstring source;
  std::wstring text;
  bool operator==(const Logged& other) const {
    return type == other.type && source == other.source && text == other.text;
  }
};

inline void PrintTo(const Logged& logged, std::ostream* os) {
  *os << "{" << logged.type << ", " << std::string(logged.source.begin(), logged.source.end()) << ", \""
      << std::string(logged.text.begin(), logged.text.end()) << "\"}";
}

inline Logged Service(WORD type, std::wstring text) { return {type, L"ZEFO/Service", std::move(text)}; }

// The device check, recovery and ESS check called on the test's own thread.
class DeviceFixture : public SimTest {
 protected:
  DeviceFixture() { g_dwLogSwitch = 1; }

  int AddDevice(std::wstring description, ULONG problem = 0, std::vector<std::wstring> hardwareIds = {}) {
    sim::SimDevice device;
    device.description = std::move(description);
    device.problem = problem;
    device.hardwareIds = std::move(hardwareIds);
    return machine.devices.AddDevice(std::move(device));
  }
  void AddOtherDevices(int count) {
    for (int i = 0; i < count; ++i) AddDevice(L"Other biometric device", CM_PROB_FAILED_POST_START);
  }

  // Every event log entry, as (type, source, message).
  std::vector<Logged> EventLog() const {
    std::vector<Logged> logged;
    for (const sim::EventLogEntry& entry : machine.diagnostics.EventLog())
      logged.push_back({entry.type, entry.source, entry.strings.at(1)});
    return logged;
  }
  std::vector<std::wstring> Messages() const { return EventMessages(); }
};
