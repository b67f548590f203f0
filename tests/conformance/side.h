// What a conformance case needs from the side it runs on that the platform
// API cannot do itself: a fresh machine, setup under HKLM, a non-elevated
// caller, a second process, other services, fake biometric devices, and
// whether it runs under Wine. The sim side drives
// sim::Machine; the Windows side uses the real API. Also the two checks every
// case may use: a sentinel last error and the known-Wine-difference marker.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/types.h"

namespace conformance {

// Per test: the sim side builds a fresh machine; the Windows side removes
// the keys and devices the test made.
class Side {
 public:
  virtual ~Side() = default;
};
std::unique_ptr<Side> MakeSide();
// The same, for a case where one thread acts while another runs without a
// platform call: the sim side's machine then lets its threads run at once.
std::unique_ptr<Side> MakeConcurrentSide();

// True when the Windows side runs under Wine.
bool OnWine();

// Setup under HKEY_LOCAL_MACHINE: creates the key path as needed.
void SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                      const std::vector<BYTE>& data);
void CreateRegistryKey(const std::wstring& keyPath);

// A text for a test's message (the conformance texts are ASCII).
inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The raw bytes of an object, for registry values and firmware variables.
inline std::vector<BYTE> BytesOf(const void* data, std::size_t size) {
  const BYTE* p = static_cast<const BYTE*>(data);
  return std::vector<BYTE>(p, p + size);
}

// While it lives, this thread's platform calls run as a non-elevated user:
// the Windows side impersonates a restricted copy of the process token whose
// Administrators group is deny-only; the sim side marks the machine thread.
class NonElevatedCaller {
 public:
  NonElevatedCaller();
  ~NonElevatedCaller();
  NonElevatedCaller(const NonElevatedCaller&) = delete;
  NonElevatedCaller& operator=(const NonElevatedCaller&) = delete;
};

// A folder, or a file, in the folder of this executable, made by this
// (elevated) process: a folder with the descriptor given, a file with what
// its folder passes on. Its full path; removed when the test ends.
std::wstring MakeFolder(const std::wstring& name, const wchar_t* sddl);
std::wstring MakeFile(const std::wstring& name);
// The root of a drive letter with nothing mounted ("Q:\\").
std::wstring UnusedDriveRoot();

// A mutex of this name, made (elevated) and held until the test ends.
void HoldMutex(const std::wstring& name);

// Whether this side can make fake biometric devices.
bool CanMakeFakeDevices();
// A present member of the biometric device class with its description and
// hardware ids; -1 when it could not be made.
int AddBiometricDevice(const std::wstring& description, const std::vector<std::wstring>& hardwareIds);
// Under HKLM: the key SetupDiOpenDevRegKey(DIREG_DEV) opens for the device;
// it exists once the test creates it.
std::wstring HardwareKeyPath(int device);
// False where this side cannot give a device a problem code.
bool SetDeviceProblem(int device, ULONG problem);
// False where this side cannot make a firmware variable (Windows: it would
// write the real firmware).
bool SetFirmwareVariable(const std::wstring& name, const std::wstring& vendorGuid, const std::vector<BYTE>& bytes);
// Makes the machine one without UEFI firmware (legacy BIOS); false where
// this side cannot (Windows on UEFI). Wine behaves as such a machine.
bool MakeFirmwareLegacy();

// The newest event-log entry reported through the source, as stored.
struct StoredEvent {
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  std::vector<std::wstring> strings;
};
std::optional<StoredEvent> NewestEvent(const std::wstring& source);

// This process's debugger output from construction on, as a debug-output
// viewer receives it.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
  // The lines received, once there are count of them or a few seconds passed.
  std::vector<std::string> Lines(std::size_t count);

 private:
  struct Listener;
  std::unique_ptr<Listener> listener_;
};

// A trace session enables the provider of controlGuid with a level and flags,
// and later disables it; false when no session could be started.
bool EnableTraceProvider(const GUID& controlGuid, UCHAR level, ULONG flags);
void DisableTraceProvider();

// Another process opens the named event for EVENT_MODIFY_STATE, sets it and
// ends; gives ERROR_SUCCESS or the error it met.
DWORD SetEventFromOtherProcess(const std::wstring& name);

// How another service behaves: a stop leaves it STOP_PENDING for stopMs
// before it is STOPPED, a start START_PENDING for startMs before it runs;
// with handlerMs, its control handler takes that long over a stop: it sets
// the named event HandlingEventName(name) and reports STOP_PENDING with
// checkpoint 1 as it begins, and checkpoint 2 as it returns.
struct OtherServiceTimes {
  DWORD stopMs = 0;
  DWORD startMs = 0;
  DWORD handlerMs = 0;
};
inline std::wstring HandlingEventName(const std::wstring& service) { return L"Global\\" + service + L"Handling"; }
// Installs another service and starts it; true once it runs. The Windows
// side installs the stand-in service found beside this executable, and
// removes it when the test ends. The sim side makes a service no process of
// the machine runs, or, with a handler time, runs the stand-in as the
// machine's one service process. False when it cannot be set up here.
bool StartOtherService(const std::wstring& name, const OtherServiceTimes& times);

// Programs a test runs as the main thread of a second process, by name.
using ChildMain = DWORD (*)();
inline std::map<std::wstring, ChildMain>& ChildPrograms() {
  static std::map<std::wstring, ChildMain> programs;
  return programs;
}
struct ChildProgram {
  ChildProgram(const wchar_t* name, ChildMain main) { ChildPrograms()[name] = main; }
};
// Runs the child program in a second process and gives the process's exit
// code once it has ended.
DWORD RunChildProcess(const std::wstring& program);

class Conformance : public ::testing::Test {
 protected:
  std::unique_ptr<Side> side_ = MakeSide();
};

class ConcurrentConformance : public ::testing::Test {
 protected:
  std::unique_ptr<Side> side_ = MakeConcurrentSide();
};

// Set right before a call whose last error a case checks, so that an error
// left by an earlier call cannot pass the check: no call sets this value.
constexpr DWORD kSentinelError = 0x0BADC0DEu;
inline void SetSentinelLastError() { os::SetLastError(kSentinelError); }
// The last error in hex, for a failure message: the sentinel there shows that
// the failed call set none.
inline std::string LastErrorText() {
  std::ostringstream text;
  text << "last error 0x" << std::hex << std::uppercase << os::GetLastError();
  return text.str();
}

// Marks the rest of a case where Wine is known to behave otherwise than
// Windows; whatWineDoes says how. Under Wine, the case's assertion failures on
// this thread are caught until the marker goes out of scope, then printed as
// the difference, and the case passes; if none came, the case fails: Wine now
// passes it and the marker should go. Elsewhere it does nothing.
class KnownWineDifference {
 public:
  explicit KnownWineDifference(std::string whatWineDoes);
  ~KnownWineDifference();
  KnownWineDifference(const KnownWineDifference&) = delete;
  KnownWineDifference& operator=(const KnownWineDifference&) = delete;

 private:
  void ReportCaught();

  std::string whatWineDoes_;
  ::testing::TestPartResultArray caught_;
  std::optional<::testing::ScopedFakeTestPartResultReporter> catcher_;
};
}  // namespace conformance

