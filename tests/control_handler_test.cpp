// The control handler: its result for every control code, and the messages
// and check-now signal of each power and session event. It never sleeps: the
// SCM sends no other control to any service while a handler runs.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sim/power_model.h"
#include "platform/sync.h"
#include "service/control_handler.h"
#include "service_process.h"

using testing_support::LoggedMessage;
using testing_support::LoggedMessages;
using testing_support::ServiceProcess;
using testing_support::Texts;

namespace {

constexpr WORD kInfo = EVENTLOG_INFORMATION_TYPE;
constexpr WORD kWarning = EVENTLOG_WARNING_TYPE;
const GUID kUnknownSetting = {0x5D3E9A59, 0xE9D5, 0x4B00, {0xA6, 0xBD, 0xFF, 0x34, 0xFF, 0x51, 0x65, 0x48}};

bool CheckNowSignalled(sim::Machine& machine) {
  auto lock = machine.kernel.Lock();
  auto event = machine.kernel.FindNamed<sim::Event>(L"pCheckYBEvent");
  return event && event->signalled;
}

// The four messages every power event starts with, the address left open.
std::vector<LoggedMessage> PowerEventPrologue(DWORD eventType) {
  wchar_t eventTypeText[64];
  swprintf(eventTypeText, 64, L"[ZEFO Service] dwEventType = 0x%.8X", eventType);
  return {{L"[ZEFO Service] Enter ServiceCtrlHandlerEx...", kInfo, 0},
          {L"[ZEFO Service] SERVICE_CONTROL_POWEREVENT", kInfo, 0},
          {L"[ZEFO Service] dwCtrlCode = 0x0000000D", kInfo, 0},
          {eventTypeText, kInfo, 0},
          {L"[ZEFO Service] lpEventData = 0x", kInfo, 0}};
}

struct EventCase {
  const char* name;
  DWORD control;
  DWORD eventType;
  std::vector<BYTE> data;
  std::vector<LoggedMessage> messages;  // after the entry message, or the power-event prologue
  bool signals;
  DWORD result;
};

std::vector<LoggedMessage> Power(DWORD eventType, std::vector<LoggedMessage> tail) {
  std::vector<LoggedMessage> all = PowerEventPrologue(eventType);
  all.insert(all.end(), tail.begin(), tail.end());
  return all;
}

std::vector<LoggedMessage> Plain(std::vector<LoggedMessage> tail) {
  tail.insert(tail.begin(), {L"[ZEFO Service] Enter ServiceCtrlHandlerEx...", kInfo, 0});
  return tail;
}

std::vector<LoggedMessage> Session(const wchar_t* message) {
  std::vector<LoggedMessage> tail{{L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx SESSIONCHANGE", kInfo, 0}};
  if (message) tail.push_back({message, kInfo, 0});
  return Plain(tail);
}

std::vector<BYTE> Setting(const GUID& guid, DWORD value) { return sim::PowerSettingBlock(guid, value); }

class ControlHandlerTest : public SimTest {
 protected:
  void SetUp() override {
    testing_support::SetLogSwitch(machine, 1);
    process = std::make_unique<ServiceProcess>(machine);
    ASSERT_TRUE(process->WaitForState(SERVICE_RUNNING));
  }
  void TearDown() override {
    if (machine.scm.Control(SERVICE_CONTROL_STOP)) process->Exit();
  }
  std::uint64_t LastSeq() { return machine.Journal().back().seq; }

  std::unique_ptr<ServiceProcess> process;
};

TEST_F(ControlHandlerTest, EachEventLogsAndSignalsAsItsRowSaysAndReturnsAtOnce) {
  const DWORD kPowerEvent = SERVICE_CONTROL_POWEREVENT;
  const DWORD kChange = PBT_POWERSETTINGCHANGE;
  const std::vector<EventCase> cases = {
      {"lid open", kPowerEvent, kChange, Setting(kGuidLidSwitchStateChange, 1),
       Power(kChange, {{L"[ZEFO Service] GUID_LIDSWITCH_STATE_CHANGE", kInfo, 0},
                       {L"[ZEFO Service] Lid open Captured", kInfo, 0}}), true, NO_ERROR},
      {"lid closed", kPowerEvent, kChange, Setting(kGuidLidSwitchStateChange, 0),
       Power(kChange, {{L"[ZEFO Service] GUID_LIDSWITCH_STATE_CHANGE", kInfo, 0},
                       {L"[ZEFO Service] Lid close Captured", kInfo, 0}}), true, NO_ERROR},
      {"lid value 0x101", kPowerEvent, kChange, Setting(kGuidLidSwitchStateChange, 0x101),
       Power(kChange, {{L"[ZEFO Service] GUID_LIDSWITCH_STATE_CHANGE", kInfo, 0},
                       {L"[ZEFO Service] Lid close Captured", kInfo, 0}}), true, NO_ERROR},
      {"display off", kPowerEvent, kChange, Setting(kGuidConsoleDisplayState, 0),
       Power(kChange, {{L"[ZEFO Service] GUID_CONSOLE_DISPLAY_STATE", kInfo, 0},
                       {L"[ZEFO Service] uData == PowerMonitorOff", kInfo, 0}}), true, NO_ERROR},
      {"display on", kPowerEvent, kChange, Setting(kGuidConsoleDisplayState, 1),
       Power(kChange, {{L"[ZEFO Service] GUID_CONSOLE_DISPLAY_STATE", kInfo, 0},
                       {L"[ZEFO Service] uData == PowerMonitorOn", kInfo, 0}}), true, NO_ERROR},
      {"display dim", kPowerEvent, kChange, Setting(kGuidConsoleDisplayState, 2),
       Power(kChange, {{L"[ZEFO Service] GUID_CONSOLE_DISPLAY_STATE", kInfo, 0},
                       {L"[ZEFO Service] uData == PowerMonitorDim", kInfo, 0}}), true, NO_ERROR},
      {"display state 3", kPowerEvent, kChange, Setting(kGuidConsoleDisplayState, 3),
       Power(kChange, {{L"[ZEFO Service] GUID_CONSOLE_DISPLAY_STATE", kInfo, 0}}), false, NO_ERROR},
      {"monitor power", kPowerEvent, kChange, sim::PowerSettingBlock(kGuidMonitorPowerOn, std::vector<BYTE>{200}),
       Power(kChange, {{L"[ZEFO Service] GUID_MONITOR_POWER_ON, DataLength = 1", kInfo, 0},
                       {L"[ZEFO Service] uData = 200", kInfo, 0}}), false, NO_ERROR},
      {"unknown setting", kPowerEvent, kChange, Setting(kUnknownSetting, 1),
       Power(kChange, {{L"[ZEFO Service] Unknown power setting!!!", kWarning, 0}}), false, NO_ERROR},
      {"suspend notice", kPowerEvent, PBT_APMSUSPEND, {},
       Power(PBT_APMSUSPEND, {{L"[ZEFO Service] Unknown power State!!!", kWarning, 0}}), false, NO_ERROR},
      {"logon", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, {}, Session(L"[ZEFO Service] WTS_SESSION_LOGON"), true, NO_ERROR},
      {"logoff", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, {},
       Session(L"[ZEFO Service] WTS_SESSION_LOGOFF"), true, NO_ERROR},
      {"lock", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, {}, Session(L"[ZEFO Service] WTS_SESSION_LOCK"), true, NO_ERROR},
      {"unlock", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_UNLOCK, {},
       Session(L"[ZEFO Service] WTS_SESSION_UNLOCK"), true, NO_ERROR},
      {"console connect", SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, {}, Session(nullptr), false,
       NO_ERROR},
      {"interrogate", SERVICE_CONTROL_INTERROGATE, 0, {}, Plain({{L"[ZEFO Service] SERVICE_CONTROL_INTERROGATE", kInfo, 0}}), false, NO_ERROR},
      {"param change", SERVICE_CONTROL_PARAMCHANGE, 0, {}, Plain({}), false, ERROR_CALL_NOT_IMPLEMENTED},
      {"user code 128", 128, 0, {}, Plain({}), false, ERROR_CALL_NOT_IMPLEMENTED},
  };
  const std::wregex address(L"\\[ZEFO Service\\] lpEventData = 0x[0-9A-F]{8}");
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      auto lock = machine.kernel.Lock();
      machine.kernel.FindNamed<sim::Event>(L"pCheckYBEvent")->signalled = false;
    }
    const std::size_t reportsBefore = machine.scm.StatusReports().size();
    const std::uint64_t seq = LastSeq();
    const std::uint64_t start = machine.Now();

    EXPECT_EQ(c.result, machine.scm.Control(c.control, c.eventType, c.data));

    EXPECT_EQ(0u, machine.Now() - start);
    EXPECT_EQ(c.signals, CheckNowSignalled(machine));
    EXPECT_EQ(reportsBefore, machine.scm.StatusReports().size());
    std::vector<LoggedMessage> logged = LoggedMessages(machine, seq);
    ASSERT_EQ(c.messages.size(), logged.size());
    for (std::size_t i = 0; i < logged.size(); ++i) {
      if (c.messages[i].text == L"[ZEFO Service] lpEventData = 0x") {
        EXPECT_TRUE(std::regex_match(logged[i].text, address));
      } else {
        EXPECT_EQ(c.messages[i], logged[i]);
      }
    }
  }
}

TEST_F(ControlHandlerTest, RequestsAreHandledOneAtATime) {
  const std::uint64_t seq = LastSeq();
  const std::uint64_t start = machine.Now();
  auto other = machine.Start([this] { return *machine.scm.SessionChange(WTS_SESSION_LOCK); }, L"other sender");
  EXPECT_EQ(NO_ERROR, machine.scm.SessionChange(WTS_SESSION_UNLOCK));
  EXPECT_EQ(NO_ERROR, machine.Join(other));
  EXPECT_EQ(0u, machine.Now() - start);
  std::vector<std::wstring> texts = Texts(LoggedMessages(machine, seq));
  ASSERT_EQ(6u, texts.size());
  for (std::size_t i = 0; i < texts.size(); i += 3) {
    EXPECT_EQ(L"[ZEFO Service] Enter ServiceCtrlHandlerEx...", texts[i]);
    EXPECT_EQ(L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx SESSIONCHANGE", texts[i + 1]);
  }
}

TEST_F(ControlHandlerTest, PowerSettingsReachTheHandlerOnlyWhileRegistered) {
  EXPECT_EQ(NO_ERROR, machine.power.SettingChanged(kGuidLidSwitchStateChange, 1));
  EXPECT_EQ(NO_ERROR, machine.power.SettingChanged(kGuidConsoleDisplayState, 0));
  EXPECT_EQ(std::nullopt, machine.power.SettingChanged(kGuidMonitorPowerOn, 1));
  EXPECT_TRUE(CheckNowSignalled(machine));

  ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_STOP));
  process->Exit();
  EXPECT_EQ(std::nullopt, machine.power.SettingChanged(kGuidLidSwitchStateChange, 0));
}

TEST_F(ControlHandlerTest, ScmDeliversUserCodesAndRefusesEventCodes) {
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(os::OpenServiceW(manager.Get(), kServiceName, SERVICE_USER_DEFINED_CONTROL | SERVICE_STOP));
  SERVICE_STATUS status{};
  const std::uint64_t seq = LastSeq();
  ASSERT_TRUE(os::ControlService(service.Get(), 200, &status));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
  EXPECT_EQ(std::vector<std::wstring>{L"[ZEFO Service] Enter ServiceCtrlHandlerEx..."},
            Texts(LoggedMessages(machine, seq)));

  for (DWORD refused : {SERVICE_CONTROL_POWEREVENT, SERVICE_CONTROL_SESSIONCHANGE}) {
    EXPECT_FALSE(os::ControlService(service.Get(), refused, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), os::GetLastError());
  }
  EXPECT_FALSE(os::ControlService(service.Get(), SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os::GetLastError());
}

TEST_F(SimTest, HandlerEventBeforeTheCheckNowEventExistsSignalsNothing) {
  g_dwLogSwitch = 1;
  auto handler = machine.Start([] { return ServiceCtrlHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, nullptr, nullptr); },
                               L"dispatcher");
  EXPECT_EQ(NO_ERROR, machine.Join(handler));
  EXPECT_EQ(0u, machine.Now());
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter ServiceCtrlHandlerEx...",
                                       L"[ZEFO Service] CServiceBase::ServiceCtrlHandlerEx SESSIONCHANGE",
                                       L"[ZEFO Service] WTS_SESSION_LOCK"}),
            Texts(LoggedMessages(machine)));
  auto lock = machine.kernel.Lock();
  EXPECT_EQ(0u, machine.kernel.namedObjects.count(L"pCheckYBEvent"));
}

TEST_F(SimTest, HandlerWithLogSwitchOffStillSignalsALock) {
  testing_support::SetLogSwitch(machine, 0);
  ServiceProcess process(machine);
  ASSERT_TRUE(process.WaitForState(SERVICE_RUNNING));
  const std::uint64_t start = machine.Now();
  EXPECT_EQ(NO_ERROR, machine.scm.SessionChange(WTS_SESSION_LOCK));
  EXPECT_EQ(0u, machine.Now() - start);
  EXPECT_TRUE(CheckNowSignalled(machine));
  EXPECT_TRUE(machine.diagnostics.EventLog().empty());
  ASSERT_EQ(NO_ERROR, machine.scm.Control(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0u, process.Exit());
}

}  // namespace
