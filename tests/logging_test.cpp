#include <cstring>

#include "diag/logging.h"
#include "diag/settings.h"
#include "sim_fixture.h"

namespace {

class LoggingTest : public SimTest {
 protected:
  void SetUp() override { RegisterTraceProvider(); }
  void TearDown() override { UnregisterTraceProvider(); }

  // The setting as the service would have read it.
  void UseLogSwitch(DWORD value) { g_dwLogSwitch = value; }
  // The text a trace message carried, without its terminator.
  static std::string TraceText(const sim::TraceRecord& r) {
    const std::vector<BYTE>& arg = r.args.at(0);
    EXPECT_EQ(0, arg.back());
    return std::string(arg.begin(), arg.end() - 1);
  }
};

struct GateCase {
  DWORD logSwitch;
  bool direct;  // WriteDebugLog alone, as the one debugger-only message does
  std::size_t events, lines, traces;
};

class LogSwitchGate : public LoggingTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(LogSwitchGate, DecidesEveryOutput) {
  const GateCase& c = GetParam();
  UseLogSwitch(c.logSwitch);
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(4, 1));
  if (c.direct)
    WriteDebugLog(kDebugInfo, L"[ZEFO] Nothing return, error code =  0x%X", 203u);
  else
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] hello %d", 1);
  EXPECT_EQ(c.events, machine.diagnostics.EventLog().size());
  EXPECT_EQ(c.lines, machine.diagnostics.DebugLines().size());
  EXPECT_EQ(c.traces, machine.diagnostics.TraceMessages().size());
}

INSTANTIATE_TEST_SUITE_P(Switches, LogSwitchGate,
                         ::testing::Values(GateCase{0, false, 0, 0, 0}, GateCase{0, true, 0, 0, 0},
                                           GateCase{1, false, 1, 1, 1}, GateCase{1, true, 0, 1, 1},
                                           GateCase{2, false, 0, 0, 0}, GateCase{2, true, 0, 1, 1},
                                           GateCase{7, true, 0, 1, 1}));

TEST_F(LoggingTest, EventLogEntryCarriesSourceAndMessage) {
  UseLogSwitch(1);
  LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] code 0x%.8X", 0x5u);
  LogFormattedAs(kDebugLogSource, EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] RecoverZEFOFPDevice fail, GetLastError = % d",
                 122);

  auto log = machine.diagnostics.EventLog();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(L"ZEFO/Service", log[0].source);
  EXPECT_EQ(EVENTLOG_ERROR_TYPE, log[0].type);
  EXPECT_EQ(0, log[0].category);
  EXPECT_EQ(14000u, log[0].eventId);
  EXPECT_FALSE(log[0].hasUserSid);
  EXPECT_EQ(0u, log[0].dataSize);
  EXPECT_EQ((std::vector<std::wstring>{L"ZEFO/Service", L"[ZEFO Service] code 0x00000005"}), log[0].strings);
  EXPECT_EQ(L"ZEFO / Debug", log[1].source);
  EXPECT_EQ((std::vector<std::wstring>{L"ZEFO / Debug", L"[ZEFO Service] RecoverZEFOFPDevice fail, GetLastError =  122"}),
            log[1].strings);
  EXPECT_EQ(0, machine.diagnostics.OpenEventSources());
}

TEST_F(LoggingTest, DebuggerLineHasZeroPaddedLocalTimeAndDoubledPrefix) {
  UseLogSwitch(1);
  LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] ServicePollingTime = 0, Set ServicePollingTime default value = %d",
               2);
  machine.diagnostics.SetLocalTime(SYSTEMTIME{2024, 12, 2, 31, 23, 59, 58, 50});
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] x");

  auto lines = machine.diagnostics.DebugLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(L"[03/07 09:05:02'007] [ZEFOFPSERVICE] [ZEFO Service] [ZEFO Service] ServicePollingTime = 0, Set "
            L"ServicePollingTime default value = 2\r\n",
            lines[0].text);
  EXPECT_EQ(L"[12/31 23:59:58'050] [ZEFOFPSERVICE] [ZEFO Service] [ZEFO Service] x\r\n", lines[1].text);
}

TEST_F(LoggingTest, EventSourceThatCannotOpenStillGivesTheLine) {
  UseLogSwitch(1);
  machine.Fail("RegisterEventSourceW", ERROR_ACCESS_DENIED);
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] x");
  EXPECT_TRUE(machine.diagnostics.EventLog().empty());
  EXPECT_EQ(1u, machine.diagnostics.DebugLines().size());
}

TEST_F(LoggingTest, MessagesAreCutToTheBufferNeverPastIt) {
  UseLogSwitch(1);
  std::wstring exact(255 - 15, L'a');
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] %s", exact.c_str());
  std::wstring tooLong(600, L'b');
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] %s", tooLong.c_str());

  auto messages = EventMessages();
  ASSERT_EQ(2u, messages.size());
  EXPECT_EQ(L"[ZEFO Service] " + exact, messages[0]);
  EXPECT_EQ(L"[ZEFO Service] " + tooLong.substr(0, 240), messages[1]);
  EXPECT_EQ(L"[ZEFO Service] [ZEFO Service] " + exact, DebugMessages()[0]);
}

TEST_F(LoggingTest, TraceMessageNeedsLevelFourAndFlagBitZero) {
  UseLogSwitch(1);
  struct {
    UCHAR level;
    ULONG flags;
    bool traced;
  } cases[] = {{3, 1, false}, {4, 0, false}, {4, 2, false}, {4, 1, true}, {5, 0xFF, true}};
  for (const auto& c : cases) {
    ASSERT_EQ(0u, machine.diagnostics.EnableTrace(c.level, c.flags));
    std::size_t before = machine.diagnostics.TraceMessages().size();
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] level %d", c.level);
    EXPECT_EQ(c.traced ? before + 1 : before, machine.diagnostics.TraceMessages().size())
        << "level " << int(c.level) << " flags " << c.flags;
  }
}

TEST_F(LoggingTest, TraceMessageCarriesTheNarrowLine) {
  UseLogSwitch(1);
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(4, 1));
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] caf\u00e9 \u4e2d");

  auto traces = machine.diagnostics.TraceMessages();
  ASSERT_EQ(1u, traces.size());
  EXPECT_EQ(12, traces[0].number);
  EXPECT_EQ(43u, traces[0].flags);
  EXPECT_EQ(kTraceMessageGuid, traces[0].messageGuid);
  ASSERT_EQ(1u, traces[0].args.size());
  EXPECT_EQ("[03/07 09:05:02'007] [ZEFOFPSERVICE] [ZEFO Service] [ZEFO Service] caf\xe9 ?\r\n", TraceText(traces[0]));
}

TEST_F(LoggingTest, DisableStopsTracesAndEnableResumesWithNewLogger) {
  UseLogSwitch(1);
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(4, 1));
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] one");
  ULONG size = 99;
  EXPECT_EQ(0u, machine.diagnostics.DisableTrace(&size));
  EXPECT_EQ(0u, size);
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] two");
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(4, 1));
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] three");

  auto traces = machine.diagnostics.TraceMessages();
  ASSERT_EQ(2u, traces.size());
  EXPECT_NE(traces[0].logger, traces[1].logger);
  EXPECT_NE(std::string::npos, TraceText(traces[1]).find("three"));
}

TEST_F(LoggingTest, OtherRequestsAreRefusedAndChangeNothing) {
  UseLogSwitch(1);
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(4, 1));
  for (WMIDPREQUESTCODE code : {WMI_GET_ALL_DATA, WMI_ENABLE_COLLECTION, WMI_REGINFO}) {
    ULONG size = 99;
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), machine.diagnostics.SendTraceRequest(code, &size));
    EXPECT_EQ(0u, size);
  }
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] still traced");
  EXPECT_EQ(1u, machine.diagnostics.TraceMessages().size());
}

TEST_F(LoggingTest, NothingIsTracedOnceUnregistered) {
  UseLogSwitch(1);
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(4, 1));
  UnregisterTraceProvider();
  EXPECT_FALSE(machine.diagnostics.ProviderRegistered());
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] after");
  EXPECT_TRUE(machine.diagnostics.TraceMessages().empty());
  EXPECT_EQ(static_cast<ULONG>(ERROR_WMI_GUID_NOT_FOUND), machine.diagnostics.EnableTrace(4, 1));
  UnregisterTraceProvider();  // a second time does nothing
}

TEST_F(LoggingTest, ConcurrentLogStepsKeepTheirOwnText) {
  UseLogSwitch(1);
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(4, 1));
  constexpr int kPerThread = 200;
  auto writer = [](int id) {
    return [id]() -> DWORD {
      for (int i = 0; i < kPerThread; ++i) LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] t%d m%d", id, i);
      return 0;
    };
  };
  auto a = machine.Start(writer(1), L"a");
  auto b = machine.Start(writer(2), L"b");
  for (int i = 0; i < 50; ++i) machine.diagnostics.EnableTrace(4, 1);  // the tracing platform's thread
  machine.Join(a);
  machine.Join(b);

  int seen[3][kPerThread] = {};
  for (const std::wstring& message : EventMessages()) {
    int id = 0, i = 0;
    ASSERT_EQ(2, swscanf(message.c_str(), L"[ZEFO Service] t%d m%d", &id, &i)) << message;
    ++seen[id][i];
  }
  for (int id : {1, 2})
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(1, seen[id][i]) << id << " " << i;
}

}  // namespace
