// The whole service on a simulated laptop: started by the SCM through wmain,
// with a sensor, settings, and shortcuts for what whole-system tests read.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ess/secure_fingerprint.h"
#include "monitor/monitor.h"
#include "monitor/polling_worker.h"
#include "service_process.h"

namespace monitor_testing {

using testing_support::LoggedMessage;
using testing_support::LoggedMessages;
using testing_support::ServiceProcess;
using testing_support::Texts;

const std::wstring kOtherProblem = L"[ZEFO Service] Other YB error code, not do the recovery mechanism...";
const std::wstring kGraceful =
    L"[ZEFO Service] Thread termination gracefully completed for PollingFPStatusThread!!!";
const std::wstring kTimedOut =
    L"[ZEFO Service] Wait OnServiceStopEvent timeout,Terminate the PollingFPStatusThread...";
const std::wstring kDriverAttach = L"[ZEFO Service] DriverExistEvent trigger, Run CheckEssUEFIValue... ";
const std::wstring kNotFound = L"[ZEFO Service][CheckEssUEFIValue] WBF Driver not found!!";

class MonitorTest : public SimTest {
 protected:

  int AddSensor(ULONG problem = 0, const std::wstring& hardwareId = L"USB\\VID_1234&PID_0A20&REV_0001") {
    sim::SimDevice device;
    device.description = L"ZEFO Fingerprint Sensor";
    device.hardwareIds = {hardwareId};
    device.problem = problem;
    return machine.devices.AddDevice(device);
  }
  MonitorTest() { SetSetting(L"ServicePollingTime", kDefaultServicePollingTime); }
  void Start(DWORD logSwitch = 1) {
    SetSetting(L"LOG_SWITCH", logSwitch);
    process = std::make_unique<ServiceProcess>(machine, testing_support::RunServiceWmain);
    ASSERT_TRUE(process->WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(machine.Settle());
  }
  void Stop() {
    ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_STOP));
    EXPECT_EQ(0u, process->Exit());
  }
  std::vector<std::wstring> MessagesSince(std::uint64_t seq) { return Texts(LoggedMessages(machine, seq)); }
  std::uint64_t LastSeq() { return machine.Journal().back().seq; }
  // Machine times at which a message was logged.
  std::vector<std::uint64_t> TimesOf(const std::wstring& text) {
    std::vector<std::uint64_t> times;
    for (const LoggedMessage& m : LoggedMessages(machine))
      if (m.text == text) times.push_back(m.timeMs);
    return times;
  }
  static bool Contains(const std::vector<std::wstring>& texts, const std::wstring& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }
  bool NamedEventExists(const std::wstring& name) {
    auto lock = machine.kernel.Lock();
    return machine.kernel.FindNamed<sim::Event>(name) != nullptr;
  }
  // Delivers a control to the service's handler; how long (machine time) the
  // handler took to return.
  std::uint64_t HandlerTimeOf(DWORD control) {
    const std::uint64_t sentAt = machine.Now();
    EXPECT_EQ(NO_ERROR, machine.scm.Control(control));
    return machine.Now() - sentAt;
  }
  // Sends a stop or a shutdown: the handler returns at once (the SCM sends no
  // other control to any service meanwhile), the process ends in order and
  // the service is STOPPED; after a shutdown within 5 s, before the system
  // may end the process.
  void ExpectStoppedInTime(DWORD control) {
    const std::uint64_t sentAt = machine.Now();
    EXPECT_EQ(0u, HandlerTimeOf(control));
    EXPECT_EQ(0u, process->Exit());
    const sim::StatusReport last = machine.scm.StatusReports().back();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), last.status.dwCurrentState);
    if (control == SERVICE_CONTROL_SHUTDOWN) {
      EXPECT_LE(last.timeMs - sentAt, 5000u);
    }
  }
  // Enabled: not disabled by anyone, whatever problem it may show.
  DWORD LastReportedState() { return machine.scm.StatusReports().back().status.dwCurrentState; }
  bool WorkerTerminated() {
    for (const sim::JournalEntry& e : machine.Journal())
      if (e.kind == sim::JournalKind::kThread && e.text == L"TerminateThread exit code 1") return true;
    return false;
  }

  std::unique_ptr<ServiceProcess> process;
};

// The firmware says ESS on, the sensor's setting says off: the start writes 1
// and the worker restarts the biometric service, sc.exe taking scRunTimeMs,
// the biometric service biometricStopMs to stop.
class BiometricRestart : public MonitorTest {
 protected:
  void StartWithChangedSetting(std::uint64_t scRunTimeMs, ULONG problem = 0, std::uint64_t biometricStopMs = 0) {
    const int sensor = AddSensor(problem);
    machine.registry.SetDword(machine.devices.HardwareKeyPath(sensor) + L"\\WinBio\\Configurations",
                              L"SecureFingerprint", 0);
    machine.firmware.SetVariable(kEssStateName, kEssStateVendorGuid, {1});
    machine.process.SetProgramRunTime(scRunTimeMs);
    machine.scm.AddService(L"WbioSrvc", SERVICE_RUNNING, biometricStopMs);
    Start();
  }
  DWORD BiometricServiceState() { return *machine.ServiceState(L"WbioSrvc"); }
  const std::vector<std::wstring> kBothCommands = {L"sc stop WbioSrvc", L"sc start WbioSrvc"};
  std::vector<std::uint64_t> TimesOfCommand(const std::wstring& commandLine) {
    std::vector<std::uint64_t> times;
    for (const sim::CommandRun& run : machine.process.Commands())
      if (run.commandLine == commandLine) times.push_back(run.timeMs);
    return times;
  }
};

}  // namespace monitor_testing
