// The simulated machine's kernel: threads take turns in an order set by the
// seed, the journal repeats exactly, and misuse is reported, not hung on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/process.h"
#include "platform/sim/machine.h"
#include "platform/sync.h"

namespace {

sim::Scheduling OneAtATime(std::uint64_t seed) {
  sim::Scheduling scheduling;
  scheduling.mode = sim::Scheduling::Mode::kOneAtATime;
  scheduling.seed = seed;
  return scheduling;
}

// Each thread says its name, sleeps, and says it again; threads whose sleeps
// end together tie.
DWORD Chatter(const std::wstring& name, DWORD sleepMs) {
  for (int round = 0; round < 3; ++round) {
    os::OutputDebugStringW((name + L" " + std::to_wstring(round)).c_str());
    os::Sleep(sleepMs);
  }
  return 0;
}

// Every debugger line with its machine time, in journal order.
std::vector<std::wstring> RunChatter(sim::Scheduling scheduling) {
  sim::Machine machine(scheduling);
  machine.Start([] { return Chatter(L"a", 100); }, L"a");
  machine.Start([] { return Chatter(L"b", 100); }, L"b");
  machine.Start([] { return Chatter(L"c", 50); }, L"c");
  machine.RunFor(1000);
  std::vector<std::wstring> lines;
  for (const sim::JournalEntry& e : machine.Journal())
    if (e.kind == sim::JournalKind::kDebug) lines.push_back(std::to_wstring(e.timeMs) + L" " + e.text);
  return lines;
}

TEST(Kernel, TiesGoInCreationOrderUnderSeedZero) {
  const std::vector<std::wstring> expected = {L"0 a 0",   L"0 b 0",   L"0 c 0",   L"50 c 1",
                                              L"100 a 1", L"100 b 1", L"100 c 2", L"200 a 2",
                                              L"200 b 2"};
  EXPECT_EQ(expected, RunChatter(OneAtATime(0)));
}

TEST(Kernel, SameSeedGivesTheSameJournal) {
  for (std::uint64_t seed : {0u, 1u, 7u}) {
    const std::vector<std::wstring> first = RunChatter(OneAtATime(seed));
    for (int run = 0; run < 5; ++run) EXPECT_EQ(first, RunChatter(OneAtATime(seed))) << "seed " << seed;
  }
}

// Another seed reorders threads tied at an instant, and only them: each
// thread's own lines and every line's time stay as they were.
TEST(Kernel, OtherSeedsReorderOnlyTies) {
  const std::vector<std::wstring> creationOrder = RunChatter(OneAtATime(0));
  auto sorted = [](std::vector<std::wstring> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  bool reordered = false;
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    const std::vector<std::wstring> lines = RunChatter(OneAtATime(seed));
    EXPECT_EQ(sorted(creationOrder), sorted(lines)) << "seed " << seed;
    for (const wchar_t* thread : {L" a ", L" b ", L" c "}) {
      std::vector<std::wstring> own;
      for (const std::wstring& line : lines)
        if (line.find(thread) != std::wstring::npos) own.push_back(line);
      EXPECT_TRUE(std::is_sorted(own.begin(), own.end(), [](const std::wstring& x, const std::wstring& y) {
        return std::stoul(x) < std::stoul(y);
      })) << "seed " << seed;
    }
    reordered = reordered || lines != creationOrder;
  }
  EXPECT_TRUE(reordered);
}

// A thread that became ready earlier runs first, whatever its creation order:
// one that yields with Sleep(0) lets a thread woken before it go first.
TEST(Kernel, EarlierReadyRunsFirst) {
  sim::Machine machine(OneAtATime(0));
  UniqueKernelHandle go(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE event = go.Get();
  machine.Start(
      [event] {
        os::SetEvent(event);
        os::Sleep(0);
        os::OutputDebugStringW(L"setter");
        return DWORD{0};
      },
      L"setter");
  machine.Start(
      [event] {
        os::WaitForSingleObject(event, INFINITE);
        os::OutputDebugStringW(L"waiter");
        return DWORD{0};
      },
      L"waiter");
  machine.RunFor(10);
  std::vector<std::wstring> lines;
  for (const sim::DebugLine& line : machine.diagnostics.DebugLines()) lines.push_back(line.text);
  EXPECT_EQ((std::vector<std::wstring>{L"waiter", L"setter"}), lines);
}

// Each wait is journaled when it starts and when it ends, with the thread,
// what it waits on and how it ended.
TEST(Kernel, WaitsAreJournaled) {
  sim::Machine machine(OneAtATime(0));
  UniqueKernelHandle ready(os::CreateEventW(nullptr, TRUE, FALSE, L"Ready"));
  HANDLE event = ready.Get();
  machine.Start(
      [event] {
        os::WaitForSingleObject(event, 50);
        return os::WaitForSingleObject(event, INFINITE);
      },
      L"waiter");
  machine.RunFor(100);
  os::SetEvent(event);
  machine.RunFor(10);
  std::vector<std::wstring> waits;
  for (const sim::JournalEntry& e : machine.Journal())
    if (e.kind == sim::JournalKind::kWait) waits.push_back(std::to_wstring(e.timeMs) + L" " + e.text);
  EXPECT_EQ((std::vector<std::wstring>{L"0 thread 1 waits on event 'Ready', 50 ms", L"50 thread 1 timed out",
                                       L"50 thread 1 waits on event 'Ready', INFINITE",
                                       L"100 thread 1 returned with event 'Ready'"}),
            waits);
}

// A long run keeps the newest entries of each log only, and says how many
// it let go.
TEST(Kernel, LogsKeepTheirNewestEntries) {
  sim::Machine machine(OneAtATime(0));
  machine.kernel.logWindow = 4;
  machine.Start(
      [] {
        for (int line = 0; line < 10; ++line) os::OutputDebugStringW(std::to_wstring(line).c_str());
        return DWORD{0};
      },
      L"chatter");
  machine.RunFor(10);
  std::vector<std::wstring> lines;
  for (const sim::DebugLine& line : machine.diagnostics.DebugLines()) lines.push_back(line.text);
  EXPECT_EQ((std::vector<std::wstring>{L"6", L"7", L"8", L"9"}), lines);
  auto lock = machine.kernel.Lock();
  EXPECT_EQ(4u, machine.kernel.journal.size());
  EXPECT_EQ(machine.kernel.journal.Recorded() - 4, machine.kernel.journal.Dropped());
  EXPECT_EQ(6u, machine.diagnostics.debugLines.Dropped());
}

// A fault for one thread hits that thread's calls only.
TEST(Kernel, AFaultCanTargetOneThread) {
  sim::Machine machine(OneAtATime(0));
  UniqueKernelHandle go(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  auto createAfterGo = [event = go.Get()] {
    os::WaitForSingleObject(event, INFINITE);
    UniqueKernelHandle made(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return made ? DWORD{ERROR_SUCCESS} : os::GetLastError();
  };
  auto spared = machine.Start(createAfterGo, L"spared");
  auto hit = machine.Start(createAfterGo, L"hit");
  machine.FailOnThread("CreateEventW", hit, ERROR_NOT_ENOUGH_MEMORY);
  os::SetEvent(go.Get());
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), machine.Join(spared));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), machine.Join(hit));
}

TEST(Kernel, HandleFromAnEarlierMachineIsInvalid) {
  HANDLE stale = nullptr;
  {
    sim::Machine earlier(OneAtATime(0));
    stale = os::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, stale);
  }
  sim::Machine machine(OneAtATime(0));
  UniqueKernelHandle fresh(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_NE(stale, fresh.Get());
  os::SetLastError(0);
  EXPECT_FALSE(os::SetEvent(stale));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), os::GetLastError());
}

TEST(Kernel, EventDataLivesAtTheSameAddressOnEveryMachine) {
  LPVOID first = nullptr;
  {
    sim::Machine machine(OneAtATime(0));
    first = machine.kernel.memory.PlaceEventData({1, 2, 3});
  }
  sim::Machine machine(OneAtATime(0));
  LPVOID again = machine.kernel.memory.PlaceEventData({4, 5});
  EXPECT_EQ(first, again);
  EXPECT_EQ(5, static_cast<BYTE*>(again)[1]);
  EXPECT_EQ(nullptr, machine.kernel.memory.PlaceEventData({}));
}

// A thread cut short keeps what it held: its handles stay open, a lock it
// holds stays held, and the journal says where it was cut.
TEST(Kernel, TerminatedThreadIsParkedWithWhatItHeld) {
  sim::Machine machine(OneAtATime(0));
  static SRWLOCK lock = SRWLOCK_INIT;
  UniqueKernelHandle never(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE event = never.Get();
  auto holder = machine.Start(
      [event] {
        ExclusiveLock held(lock);
        UniqueKernelHandle own(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return os::WaitForSingleObject(event, INFINITE);
      },
      L"holder");
  auto waiter = machine.Start(
      [] {
        ExclusiveLock wait(lock);
        return DWORD{0};
      },
      L"waiter");
  machine.RunFor(10);
  const std::size_t handles = machine.kernel.OpenHandleCount();
  {
    auto kernelLock = machine.kernel.Lock();
    machine.kernel.Terminate(holder->thread, 9);
  }
  EXPECT_EQ(9u, machine.Join(holder));
  machine.RunFor(1000);
  EXPECT_FALSE(waiter->finished);
  EXPECT_EQ(handles, machine.kernel.OpenHandleCount());
  const std::vector<sim::JournalEntry> journal = machine.Journal();
  EXPECT_TRUE(std::any_of(journal.begin(), journal.end(), [](const sim::JournalEntry& e) {
    return e.kind == sim::JournalKind::kThread && e.text == L"'holder' terminated in WaitForMultipleObjects";
  }));
}

// Handles are counted per process: a killed service process leaves none, and
// what it still had at its end is known, with what a terminated thread held.
TEST(Kernel, HandlesAreCountedPerProcess) {
  sim::Machine machine(OneAtATime(0));
  UniqueKernelHandle driverEvent(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  machine.StartServiceProcess(L"ZEFOTestService", [] {
    UniqueKernelHandle first(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueKernelHandle worker(os::CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          UniqueKernelHandle held(os::CreateEventW(nullptr, TRUE, FALSE, L"HeldByWorker"));
          return os::WaitForSingleObject(held.Get(), INFINITE);
        },
        nullptr, 0, nullptr));
    os::Sleep(5);
    os::TerminateThread(worker.Get(), 1);
    return os::WaitForSingleObject(first.Get(), INFINITE);
  });
  machine.RunFor(10);
  const int service = machine.process.id;
  EXPECT_EQ(3u, machine.kernel.OpenHandleCount(service));
  EXPECT_EQ((std::map<std::string, std::size_t>{{"event", 2}, {"thread", 1}}), machine.OpenHandles());
  EXPECT_EQ(1u, machine.kernel.OpenHandleCount(0));
  machine.KillProcess(1);
  EXPECT_EQ(0u, machine.kernel.OpenHandleCount(service));
  EXPECT_EQ(1u, machine.kernel.OpenHandleCount(0));
  std::vector<std::pair<std::string, bool>> atEnd;
  for (const sim::OpenHandle& handle : machine.process.HandlesAtEnd()) atEnd.emplace_back(handle.kind, handle.openerTerminated);
  std::sort(atEnd.begin(), atEnd.end());
  EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{"event", false}, {"event", true}, {"thread", false}}), atEnd);
}

// A process ends as a whole, its memory with it: the lock its killed thread
// held is free to the next process, and its stack is unwound before that
// process starts, with nothing the destructors log seen.
TEST(Kernel, TheNextProcessFindsWhatAKilledOneHeldGone) {
  sim::Machine machine(OneAtATime(0));
  static SRWLOCK lock = SRWLOCK_INIT;
  static bool unwound = false;
  struct LogsWhenUnwound {
    ~LogsWhenUnwound() {
      unwound = true;
      os::OutputDebugStringW(L"unwound");
    }
  };
  machine.StartServiceProcess(L"ZEFOTestService", [] {
    LogsWhenUnwound onStack;
    ExclusiveLock held(lock);
    os::Sleep(INFINITE);
    return DWORD{0};
  });
  machine.RunFor(10);
  machine.KillProcess(STATUS_ACCESS_VIOLATION);
  EXPECT_FALSE(unwound);
  static bool unwoundFirst = false;
  auto next = machine.StartServiceProcess(L"ZEFOTestService", [] {
    unwoundFirst = unwound;
    ExclusiveLock held(lock);
    return DWORD{7};
  });
  EXPECT_EQ(7u, machine.Join(next));
  EXPECT_TRUE(unwoundFirst);
  const std::vector<sim::JournalEntry> journal = machine.Journal();
  EXPECT_TRUE(std::none_of(journal.begin(), journal.end(),
                           [](const sim::JournalEntry& e) { return e.kind == sim::JournalKind::kDebug; }));
  EXPECT_TRUE(machine.diagnostics.DebugLines().empty());
}

// A thread that keeps running without letting the clock move (here it yields
// with Sleep(0) for ever) fails the driver's run loudly instead of hanging it.
TEST(Kernel, RunForGivesUpOnAClockThatCannotMove) {
  sim::Machine machine(OneAtATime(0));
  machine.Start(
      [] {
        for (;;) os::Sleep(0);
        return DWORD{0};
      },
      L"spinner");
  EXPECT_THROW(machine.RunFor(1000, std::chrono::milliseconds(200)), std::runtime_error);
}

// When every thread waits for ever, a driver that may give up does so at once.
TEST(Kernel, DriverGivesUpAtOnceWhenNothingCanHappen) {
  sim::Machine machine(OneAtATime(0));
  UniqueKernelHandle never(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE event = never.Get();
  machine.Start([event] { return os::WaitForSingleObject(event, INFINITE); }, L"waiter");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(machine.RunUntil([] { return false; }));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// A program's end is due while only the driver runs: the clock still moves.
class KernelInEachMode : public ::testing::TestWithParam<sim::Scheduling::Mode> {
 protected:
  static sim::Scheduling Scheduling() {
    sim::Scheduling scheduling;
    scheduling.mode = GetParam();
    return scheduling;
  }
};

TEST_P(KernelInEachMode, ProgramEndDoesNotStallTheClock) {
  sim::Machine machine(Scheduling());
  machine.process.SetProgramRunTime(1000);
  wchar_t commandLine[] = L"sc stop WbioSrvc";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(os::CreateProcessW(L"C:\\Windows\\system32\\sc.exe", commandLine, nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &startup, &process));
  UniqueKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
  machine.RunFor(5000);
  EXPECT_EQ(5000u, machine.Now());
  EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(processHandle.Get(), 0));
}

// A run whose every step takes real time (a host sleep stands in for heavy
// work between two waits) lasts far longer than the real-time limit, yet
// keeps the clock moving: it is not taken for a spin.
TEST_P(KernelInEachMode, LongRunThatKeepsTheClockMovingIsNotASpin) {
  sim::Machine machine(Scheduling());
  machine.Start(
      [] {
        for (;;) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          os::Sleep(1000);
        }
        return DWORD{0};
      },
      L"worker");
  const auto started = std::chrono::steady_clock::now();
  machine.RunFor(30000, std::chrono::milliseconds(300));
  EXPECT_EQ(30000u, machine.Now());
  EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
}

INSTANTIATE_TEST_SUITE_P(Modes, KernelInEachMode,
                         ::testing::Values(sim::Scheduling::Mode::kOneAtATime, sim::Scheduling::Mode::kFreeRunning));

class KernelReports : public ::testing::Test {
 protected:
  KernelReports() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(KernelReports, ThreadBlockedOutsideThePlatform) {
  EXPECT_DEATH(
      {
        sim::Scheduling scheduling = OneAtATime(0);
        scheduling.watchdog = std::chrono::milliseconds(200);
        sim::Machine machine(scheduling);
        std::mutex hidden;
        std::lock_guard<std::mutex> held(hidden);
        machine.Start(
            [&hidden] {
              std::lock_guard<std::mutex> wait(hidden);
              return DWORD{0};
            },
            L"hidden lock");
        machine.RunFor(10);
      },
      "'hidden lock' has held the run token .* blocked outside the platform");
}

TEST_F(KernelReports, PlatformCallFromAThreadTheMachineDidNotStart) {
  EXPECT_DEATH(
      {
        sim::Machine machine(OneAtATime(0));
        std::thread([] { os::Sleep(1); }).join();
      },
      "Sleep called from a thread the machine did not start");
}

TEST_F(KernelReports, PlatformCallInsideAReadinessPredicate) {
  EXPECT_DEATH(
      {
        sim::Machine machine(OneAtATime(0));
        UniqueKernelHandle event(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        machine.RunUntil([&event] { return os::SetEvent(event.Get()) != FALSE; });
      },
      "SetEvent inside a readiness predicate: a predicate only reads machine state");
}

TEST_F(KernelReports, EveryThreadWaitingForEver) {
  EXPECT_DEATH(
      {
        sim::Machine machine(OneAtATime(0));
        UniqueKernelHandle never(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        os::WaitForSingleObject(never.Get(), INFINITE);
      },
      "deadlock at 0 ms: every thread waits for ever: 'driver' in WaitForMultipleObjects");
}

}  // namespace
