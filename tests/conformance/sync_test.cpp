// Events, waits and threads as the worker and the monitor use them.
#include <atomic>
#include <functional>
#include <thread>

#include "platform/process.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
UniqueKernelHandle NewEvent(bool manualReset, bool initialState = false) {
  return UniqueKernelHandle(os::CreateEventW(nullptr, manualReset, initialState, nullptr));
}

using Events = Conformance;

TEST_F(Events, ManualResetStaysSignalledUntilReset) {
  UniqueKernelHandle event = NewEvent(true);
  ASSERT_TRUE(event);
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForSingleObject(event.Get(), 0));
  ASSERT_TRUE(os::SetEvent(event.Get()));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(event.Get(), 0));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(event.Get(), 0));
  ASSERT_TRUE(os::ResetEvent(event.Get()));
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForSingleObject(event.Get(), 0));
}

TEST_F(Events, AutoResetIsConsumedByTheWaitThatReturnsIt) {
  UniqueKernelHandle event = NewEvent(false, true);
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(event.Get(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForSingleObject(event.Get(), 0));
}

TEST_F(Events, WaitForMultipleReturnsTheLowestSignalledIndex) {
  UniqueKernelHandle stop = NewEvent(true), checkNow = NewEvent(true), attach = NewEvent(false);
  HANDLE handles[] = {stop.Get(), checkNow.Get(), attach.Get()};
  ASSERT_TRUE(os::SetEvent(attach.Get()));
  ASSERT_TRUE(os::SetEvent(checkNow.Get()));
  EXPECT_EQ(WAIT_OBJECT_0 + 1, os::WaitForMultipleObjects(3, handles, FALSE, 0));
  // The manual-reset event that won stays signalled; the auto-reset one behind
  // it was not taken.
  ASSERT_TRUE(os::ResetEvent(checkNow.Get()));
  EXPECT_EQ(WAIT_OBJECT_0 + 2, os::WaitForMultipleObjects(3, handles, FALSE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForMultipleObjects(3, handles, FALSE, 0));
  ASSERT_TRUE(os::SetEvent(attach.Get()));
  ASSERT_TRUE(os::SetEvent(stop.Get()));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForMultipleObjects(3, handles, FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(attach.Get(), 0));
}

TEST_F(Events, TimedWaitTimesOut) {
  UniqueKernelHandle event = NewEvent(true);
  HANDLE handles[] = {event.Get()};
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForSingleObject(event.Get(), 20));
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForMultipleObjects(1, handles, FALSE, 20));
}

// Only null handles: a closed handle's value may already name another object.
TEST_F(Events, NullHandlesFailWithInvalidHandle) {
  UniqueKernelHandle event = NewEvent(true);
  HANDLE withNull[] = {event.Get(), nullptr};
  struct Case {
    const char* what;
    std::function<bool()> call;  // true when the call reported failure
  } cases[] = {
      {"WaitForSingleObject(null)", [] { return os::WaitForSingleObject(nullptr, 0) == WAIT_FAILED; }},
      {"WaitForMultipleObjects with a null",
       [&] { return os::WaitForMultipleObjects(2, withNull, FALSE, 0) == WAIT_FAILED; }},
      {"SetEvent(null)", [] { return !os::SetEvent(nullptr); }},
      {"ResetEvent(null)", [] { return !os::ResetEvent(nullptr); }},
      {"CloseHandle(null)", [] { return !os::CloseHandle(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetSentinelLastError();
    EXPECT_TRUE(c.call());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), os::GetLastError());
  }
}

TEST_F(Events, NamedEventIsSharedAndReportsThatItExisted) {
  UniqueKernelHandle first(os::CreateEventW(nullptr, TRUE, FALSE, L"ZefoConformanceShared"));
  ASSERT_TRUE(first);
  SetSentinelLastError();
  UniqueKernelHandle second(os::CreateEventW(nullptr, FALSE, FALSE, L"ZefoConformanceShared"));
  ASSERT_TRUE(second);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), os::GetLastError());
  // The second create opened the first event: manual reset, as created.
  ASSERT_TRUE(os::SetEvent(second.Get()));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(first.Get(), 0));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(first.Get(), 0));
}

TEST_F(Events, OpenOfAMissingNamedEventFails) {
  SetSentinelLastError();
  UniqueKernelHandle event(os::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\ZefoConformanceAbsent"));
  EXPECT_FALSE(event);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), os::GetLastError());
}

UniqueKernelHandle SecuredAutoResetEvent(const wchar_t* sddl, const wchar_t* name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(os::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
  UniqueLocalMemory descriptorMemory(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  return UniqueKernelHandle(os::CreateEventW(&attributes, FALSE, FALSE, name));
}

// The driver-attach event: auto reset, secured so that any process may set
// it (0x2: EVENT_MODIFY_STATE) and none may wait on it, set by another
// process that opens it for setting only.
TEST_F(Events, GlobalEventIsSetFromAnotherProcess) {
  UniqueKernelHandle event = SecuredAutoResetEvent(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00000002;;;WD)",
                                                   L"Global\\ZefoConformanceAttach");
  ASSERT_TRUE(event);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetEventFromOtherProcess(L"Global\\ZefoConformanceAttach"));
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(event.Get(), 10000));
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForSingleObject(event.Get(), 0));
}

TEST_F(Events, EmptyDaclRefusesOtherProcesses) {
  UniqueKernelHandle event = SecuredAutoResetEvent(L"D:", L"Global\\ZefoConformanceLocked");
  ASSERT_TRUE(event);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), SetEventFromOtherProcess(L"Global\\ZefoConformanceLocked"));
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForSingleObject(event.Get(), 0));
}

DWORD WINAPI WaitForever(LPVOID event) {
  os::WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 7;
}

DWORD WINAPI ReturnAtOnce(LPVOID) { return 5; }

// Holds an event handle and runs, making no platform call, until let go.
struct RunningThread {
  std::atomic<bool> holding{false};
  std::atomic<bool> letGo{false};
};
DWORD WINAPI RunHoldingAHandle(LPVOID parameter) {
  auto* state = static_cast<RunningThread*>(parameter);
  {
    UniqueKernelHandle held = NewEvent(true);
    state->holding = true;
    while (!state->letGo) std::this_thread::yield();
  }
  return 5;
}

using Threads = Conformance;

TEST_F(Threads, ThreadHandleSignalsWithItsExitCode) {
  UniqueKernelHandle thread(os::CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(thread.Get(), 10000));
  DWORD exitCode = 0;
  ASSERT_TRUE(os::GetExitCodeThread(thread.Get(), &exitCode));
  EXPECT_EQ(5u, exitCode);
}

TEST_F(Threads, TerminateStopsABlockedThreadWithTheGivenCode) {
  UniqueKernelHandle never = NewEvent(true);
  UniqueKernelHandle thread(os::CreateThread(nullptr, 0, WaitForever, never.Get(), 0, nullptr));
  ASSERT_TRUE(thread);
  DWORD exitCode = 0;
  ASSERT_TRUE(os::GetExitCodeThread(thread.Get(), &exitCode));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), exitCode);
  ASSERT_TRUE(os::TerminateThread(thread.Get(), 1));
  ASSERT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(thread.Get(), 10000));
  ASSERT_TRUE(os::GetExitCodeThread(thread.Get(), &exitCode));
  EXPECT_EQ(1u, exitCode);
}

// Takes the lock, then sets the event and lets the lock go.
struct LockTaker {
  SRWLOCK* lock;
  HANDLE taken;
};
DWORD WINAPI TakeTheLock(LPVOID parameter) {
  auto* taker = static_cast<LockTaker*>(parameter);
  ExclusiveLock held(*taker->lock);
  os::SetEvent(taker->taken);
  return 3;
}

TEST_F(Threads, ExclusiveLockMakesAnotherThreadWaitUntilReleased) {
  SRWLOCK lock = SRWLOCK_INIT;
  UniqueKernelHandle taken = NewEvent(true);
  LockTaker taker{&lock, taken.Get()};
  os::AcquireSRWLockExclusive(&lock);
  UniqueKernelHandle thread(os::CreateThread(nullptr, 0, TakeTheLock, &taker, 0, nullptr));
  ASSERT_TRUE(thread);
  EXPECT_EQ(WAIT_TIMEOUT, os::WaitForSingleObject(taken.Get(), 200));
  os::ReleaseSRWLockExclusive(&lock);
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(taken.Get(), 10000));
  ASSERT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(thread.Get(), 10000));
  // Free again: taken at once.
  ExclusiveLock again(lock);
}

using RunningThreads = ConcurrentConformance;

TEST_F(RunningThreads, TerminateEndsARunningThreadWithTheGivenCode) {
  RunningThread state;
  UniqueKernelHandle thread(os::CreateThread(nullptr, 0, RunHoldingAHandle, &state, 0, nullptr));
  ASSERT_TRUE(thread);
  while (!state.holding) std::this_thread::yield();
  ASSERT_TRUE(os::TerminateThread(thread.Get(), 1));
  state.letGo = true;
  ASSERT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(thread.Get(), 10000));
  DWORD exitCode = 0;
  ASSERT_TRUE(os::GetExitCodeThread(thread.Get(), &exitCode));
  EXPECT_EQ(1u, exitCode);
}
}  // namespace
}  // namespace conformance
