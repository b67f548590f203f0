// The diagnostics outputs: event log, debugger output, local time and the
// classic trace provider.
#include <utility>

#include "platform/diagnostics.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {

using EventLog = Conformance;

TEST_F(EventLog, ReportedEntryIsStoredWithItsFields) {
  UniqueEventSource source(os::RegisterEventSourceW(nullptr, L"ZEFO/Conformance"));
  ASSERT_TRUE(source);
  LPCWSTR strings[] = {L"ZEFO/Conformance", L"[ZEFO Service] conformance entry"};
  EXPECT_TRUE(os::ReportEventW(source.Get(), EVENTLOG_WARNING_TYPE, 0, 14000, nullptr, 2, 0, strings, nullptr));
  EXPECT_TRUE(source.Close());

  KnownWineDifference difference("RegisterEventSourceW and ReportEventW succeed but store nothing");
  std::optional<StoredEvent> stored = NewestEvent(L"ZEFO/Conformance");
  ASSERT_TRUE(stored);
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, stored->type);
  EXPECT_EQ(0, stored->category);
  EXPECT_EQ(14000u, stored->eventId);
  ASSERT_EQ(2u, stored->strings.size());
  EXPECT_EQ("ZEFO/Conformance", Narrow(stored->strings[0]));
  EXPECT_EQ("[ZEFO Service] conformance entry", Narrow(stored->strings[1]));
}

using DebugOutput = Conformance;

TEST_F(DebugOutput, ViewerReceivesEachLineWhole) {
  DebugOutputCapture capture;
  os::OutputDebugStringW(L"[03/07 09:05:02'007] [ZEFOFPSERVICE] [ZEFO Service] first\r\n");
  os::OutputDebugStringW(L"[ZEFO] second\r\n");
  EXPECT_EQ((std::vector<std::string>{"[03/07 09:05:02'007] [ZEFOFPSERVICE] [ZEFO Service] first\r\n",
                                      "[ZEFO] second\r\n"}),
            capture.Lines(2));
}

using LocalTime = Conformance;

TEST_F(LocalTime, FieldsAreInRange) {
  SYSTEMTIME now{};
  os::GetLocalTime(&now);
  EXPECT_GE(now.wMonth, 1);
  EXPECT_LE(now.wMonth, 12);
  EXPECT_GE(now.wDay, 1);
  EXPECT_LE(now.wDay, 31);
  EXPECT_LE(now.wHour, 23);
  EXPECT_LE(now.wMinute, 59);
  EXPECT_LE(now.wSecond, 59);
  EXPECT_LE(now.wMilliseconds, 999);
}

// {4E78A3C1-3F98-47E6-A3AA-D7BBFACC358F}, the service's control GUID, and a
// message GUID of this suite's own.
constexpr GUID kControlGuid = {0x4E78A3C1, 0x3F98, 0x47E6, {0xA3, 0xAA, 0xD7, 0xBB, 0xFA, 0xCC, 0x35, 0x8F}};
constexpr GUID kMessageGuid = {0x2B61C0D4, 0x5E7A, 0x4F13, {0x9C, 0x02, 0x6D, 0x8B, 0x1E, 0x47, 0xA9, 0x35}};

// What the provider's callback saw, and an event it sets for each request.
struct Provider {
  HANDLE called = nullptr;
  WMIDPREQUESTCODE code = WMI_GET_ALL_DATA;
  TRACEHANDLE logger = 0;
  UCHAR level = 0;
  ULONG flags = 0;
  ULONG traced = ERROR_GEN_FAILURE;
};

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE code, PVOID context, ULONG*, PVOID buffer) {
  auto* provider = static_cast<Provider*>(context);
  provider->code = code;
  if (code == WMI_ENABLE_EVENTS) {
    provider->logger = os::GetTraceLoggerHandle(buffer);
    provider->level = os::GetTraceEnableLevel(provider->logger);
    provider->flags = os::GetTraceEnableFlags(provider->logger);
    const wchar_t text[] = L"conformance";
    provider->traced = os::TraceMessage(provider->logger, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID, &kMessageGuid,
                                        10, text, sizeof text, nullptr);
  }
  os::SetEvent(provider->called);
  return ERROR_SUCCESS;
}

class TraceProvider : public Conformance {
 protected:
  // A case that ended early must not leave the callback registered with this
  // fixture as its context.
  ~TraceProvider() override {
    if (handle_ != 0) Unregister();
  }
  ULONG Register() {
    TRACE_GUID_REGISTRATION registration{&kMessageGuid, nullptr};
    return os::RegisterTraceGuidsW(ControlCallback, &provider_, &kControlGuid, 1, &registration, nullptr, nullptr,
                                   &handle_);
  }
  ULONG Unregister() { return os::UnregisterTraceGuids(std::exchange(handle_, 0)); }
  UniqueKernelHandle called_{os::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  Provider provider_{called_.Get()};
  TRACEHANDLE handle_ = 0;
};

TEST_F(TraceProvider, RegistersAndUnregisters) {
  ASSERT_EQ(static_cast<ULONG>(ERROR_SUCCESS), Register());
  EXPECT_EQ(static_cast<ULONG>(ERROR_SUCCESS), Unregister());
}

TEST_F(TraceProvider, SessionEnableAndDisableReachTheCallback) {
  ASSERT_EQ(static_cast<ULONG>(ERROR_SUCCESS), Register());
  if (!EnableTraceProvider(kControlGuid, TRACE_LEVEL_INFORMATION, 0x1))
    GTEST_SKIP() << "no trace session could be started here";
  KnownWineDifference difference("the session enables the provider, but its control callback is never called");
  ASSERT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(called_.Get(), 10000));
  EXPECT_EQ(WMI_ENABLE_EVENTS, provider_.code);
  EXPECT_EQ(TRACE_LEVEL_INFORMATION, provider_.level);
  EXPECT_EQ(0x1u, provider_.flags);
  EXPECT_EQ(static_cast<ULONG>(ERROR_SUCCESS), provider_.traced);
  DisableTraceProvider();
  ASSERT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(called_.Get(), 10000));
  EXPECT_EQ(WMI_DISABLE_EVENTS, provider_.code);
  EXPECT_EQ(static_cast<ULONG>(ERROR_SUCCESS), Unregister());
}
}  // namespace
}  // namespace conformance
