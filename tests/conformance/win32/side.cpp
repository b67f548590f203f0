// The Windows side: the real API, under Wine or on Windows. Setup it makes is
// removed when the test ends. The executable doubles as the second process
// that sets a named event.
#include "tests/conformance/side.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <thread>

#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/sync.h"

namespace conformance {
namespace {
constexpr wchar_t kSetEventSwitch[] = L"--set-event";
constexpr wchar_t kChildSwitch[] = L"--child";

// Keys the current test created, removed (with their subtrees) at its end.
std::vector<std::wstring>& CreatedKeys() {
  static std::vector<std::wstring> keys;
  return keys;
}

// Fake devices: root-enumerated device nodes that exist only in the registry.
std::vector<std::wstring>& DeviceKeys() {
  static std::vector<std::wstring> keys;
  return keys;
}

// Files and folders the current test made, removed at its end, newest first.
std::vector<std::wstring>& MadeFiles() {
  static std::vector<std::wstring> paths;
  return paths;
}

// Mutexes the current test holds, closed at its end.
std::vector<UniqueKernelHandle>& HeldMutexes() {
  static std::vector<UniqueKernelHandle> mutexes;
  return mutexes;
}

// Services the current test installed, stopped and deleted at its end.
std::vector<std::wstring>& InstalledServices() {
  static std::vector<std::wstring> names;
  return names;
}

// Polls the service's state for up to about 20 s.
bool AwaitState(SC_HANDLE service, DWORD state) {
  for (int i = 0; i < 400; ++i) {
    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
    ::Sleep(50);
  }
  return false;
}

void RemoveService(const std::wstring& name) {
  UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(::OpenServiceW(manager.Get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return;
  SERVICE_STATUS status{};
  ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
  AwaitState(service.Get(), SERVICE_STOPPED);
  ::DeleteService(service.Get());
}

class WindowsSide : public Side {
 public:
  ~WindowsSide() override {
    for (auto it = MadeFiles().rbegin(); it != MadeFiles().rend(); ++it)
      if (!::DeleteFileW(it->c_str())) ::RemoveDirectoryW(it->c_str());
    MadeFiles().clear();
    HeldMutexes().clear();
    for (const std::wstring& name : InstalledServices()) RemoveService(name);
    InstalledServices().clear();
    for (auto it = CreatedKeys().rbegin(); it != CreatedKeys().rend(); ++it)
      ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, it->c_str());
    CreatedKeys().clear();
    DeviceKeys().clear();
  }
};

// Creates the key path; the topmost key it had to make is removed at the end.
LSTATUS TryCreateKey(const std::wstring& keyPath, UniqueRegKey& key) {
  std::wstring topmostNew;
  for (std::size_t end = 0; end != std::wstring::npos && topmostNew.empty();) {
    end = keyPath.find(L'\\', end + 1);
    std::wstring prefix = keyPath.substr(0, end);
    UniqueRegKey existing;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, KEY_READ, existing.Put()) == ERROR_FILE_NOT_FOUND)
      topmostNew = prefix;
  }
  LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
  if (status == ERROR_SUCCESS && !topmostNew.empty()) CreatedKeys().push_back(topmostNew);
  return status;
}

UniqueRegKey CreateKey(const std::wstring& keyPath) {
  UniqueRegKey key;
  EXPECT_EQ(ERROR_SUCCESS, TryCreateKey(keyPath, key))
      << "creating HKLM\\" << std::string(keyPath.begin(), keyPath.end());
  return key;
}

void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, std::size_t size) {
  EXPECT_EQ(ERROR_SUCCESS,
            ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)));
}

int SetEventAndExit(const wchar_t* name) {
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
  return event && ::SetEvent(event.Get()) ? ERROR_SUCCESS : static_cast<int>(::GetLastError());
}
}  // namespace

std::unique_ptr<Side> MakeSide() { return std::make_unique<WindowsSide>(); }
std::unique_ptr<Side> MakeConcurrentSide() { return MakeSide(); }

bool OnWine() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

void SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                      const std::vector<BYTE>& data) {
  SetValue(CreateKey(keyPath).Get(), name.c_str(), type, data.data(), data.size());
}

void CreateRegistryKey(const std::wstring& keyPath) { CreateKey(keyPath); }

namespace {
// A restricted copy of the process token whose Administrators group is
// deny-only, as a non-elevated prompt runs with, made an impersonation token
// (the only kind a thread can take); null when it cannot be made.
UniqueKernelHandle NonElevatedImpersonationToken() {
  UniqueKernelHandle processToken, restricted, impersonation;
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD administratorsSize = sizeof administrators;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                          processToken.Put()) ||
      !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize))
    return {};
  SID_AND_ATTRIBUTES denyOnly{administrators, 0};
  if (!::CreateRestrictedToken(processToken.Get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.Put()) ||
      !::DuplicateTokenEx(restricted.Get(), TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation,
                          TokenImpersonation, impersonation.Put()))
    return {};
  return impersonation;
}
}  // namespace

NonElevatedCaller::NonElevatedCaller() {
  UniqueKernelHandle token = NonElevatedImpersonationToken();
  if (!token || !::SetThreadToken(nullptr, token.Get()))
    ADD_FAILURE() << "impersonating a non-elevated token: error " << ::GetLastError();
}

NonElevatedCaller::~NonElevatedCaller() { ::RevertToSelf(); }

namespace {
std::wstring InOwnFolder(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}
}  // namespace

std::wstring MakeFolder(const std::wstring& name, const wchar_t* sddl) {
  const std::wstring path = InOwnFolder(name);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    ADD_FAILURE() << "descriptor of the folder: error " << ::GetLastError();
    return path;
  }
  UniqueLocalMemory descriptorMemory(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (::CreateDirectoryW(path.c_str(), &attributes))
    MadeFiles().push_back(path);
  else
    ADD_FAILURE() << "CreateDirectoryW: error " << ::GetLastError();
  return path;
}

std::wstring MakeFile(const std::wstring& name) {
  const std::wstring path = InOwnFolder(name);
  UniqueKernelHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file)
    MadeFiles().push_back(path);
  else
    ADD_FAILURE() << "CreateFileW: error " << ::GetLastError();
  return path;
}

void HoldMutex(const std::wstring& name) {
  HeldMutexes().emplace_back(::CreateMutexW(nullptr, FALSE, name.c_str()));
  if (!HeldMutexes().back()) ADD_FAILURE() << "CreateMutexW: error " << ::GetLastError();
}

std::wstring UnusedDriveRoot() {
  const DWORD used = ::GetLogicalDrives();
  for (wchar_t letter = L'Z'; letter > L'C'; --letter)
    if (!(used & (1u << (letter - L'A')))) return std::wstring{letter, L':', L'\\'};
  return L"";
}

// Wine lists a device node that exists only as a registry key; on Windows the
// Enum tree is the system's own and the cases need real devices.
bool CanMakeFakeDevices() { return OnWine(); }

// The device node's key needs ClassGUID, DeviceDesc and HardwareID.
int AddBiometricDevice(const std::wstring& description, const std::vector<std::wstring>& hardwareIds) {
  const int device = static_cast<int>(DeviceKeys().size());
  const std::wstring keyPath =
      L"System\\CurrentControlSet\\Enum\\ROOT\\ZEFOCONFORMANCE" + std::to_wstring(device) + L"\\0000";
  UniqueRegKey key;
  if (TryCreateKey(keyPath, key) != ERROR_SUCCESS) return -1;
  const wchar_t classGuid[] = L"{53D29EF7-377C-4D14-864B-EB3A85769359}";
  std::wstring ids;
  for (const std::wstring& id : hardwareIds) ids += id + L'\0';
  ids += L'\0';
  SetValue(key.Get(), L"ClassGUID", REG_SZ, classGuid, sizeof classGuid);
  SetValue(key.Get(), L"DeviceDesc", REG_SZ, description.c_str(), (description.size() + 1) * sizeof(wchar_t));
  SetValue(key.Get(), L"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * sizeof(wchar_t));
  DeviceKeys().push_back(keyPath);
  return device;
}

std::wstring HardwareKeyPath(int device) {
  return DeviceKeys().at(static_cast<std::size_t>(device)) + L"\\Device Parameters";
}

bool SetDeviceProblem(int, ULONG) { return false; }

bool SetFirmwareVariable(const std::wstring&, const std::wstring&, const std::vector<BYTE>&) { return false; }

// The stand-in service lies beside this executable (the Wine run copies it there).
bool StartOtherService(const std::wstring& name, const OtherServiceTimes& times) {
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return false;
  std::wstring standIn(self, length);
  standIn = standIn.substr(0, standIn.find_last_of(L'\\') + 1) + L"StandInService.exe";
  if (::GetFileAttributesW(standIn.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  const std::wstring commandLine = L"\"" + standIn + L"\" " + name + L" " + std::to_wstring(times.stopMs) + L" " +
                                   std::to_wstring(times.startMs) + L" " + std::to_wstring(times.handlerMs);
  UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  UniqueScHandle service(::CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                          commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return false;
  InstalledServices().push_back(name);
  return ::StartServiceW(service.Get(), 0, nullptr) && AwaitState(service.Get(), SERVICE_RUNNING);
}

bool MakeFirmwareLegacy() { return OnWine(); }

std::optional<StoredEvent> NewestEvent(const std::wstring& source) {
  HANDLE log = ::OpenEventLogW(nullptr, L"Application");
  if (log == nullptr) return std::nullopt;
  std::vector<BYTE> buffer(0x10000);
  std::optional<StoredEvent> found;
  DWORD read = 0, needed = 0;
  while (!found && ::ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), &read, &needed)) {
    for (DWORD offset = 0; !found && offset < read;) {
      const BYTE* start = buffer.data() + offset;
      const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(start);
      if (source == reinterpret_cast<const wchar_t*>(record + 1)) {
        // The viewer's event ID: the low word, without severity and facility.
        found = StoredEvent{record->EventType, record->EventCategory, record->EventID & 0xFFFF, {}};
        const wchar_t* text = reinterpret_cast<const wchar_t*>(start + record->StringOffset);
        for (WORD i = 0; i < record->NumStrings; ++i, text += std::wcslen(text) + 1) found->strings.emplace_back(text);
      }
      offset += record->Length;
    }
  }
  ::CloseEventLog(log);
  return found;
}

// The debug-output viewers' protocol: a 4 KB section holding the sender's
// process id and the text, and two events to hand it over.
struct DebugOutputCapture::Listener {
  UniqueKernelHandle bufferReady{::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")};
  UniqueKernelHandle dataReady{::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")};
  UniqueKernelHandle section{
      ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, L"DBWIN_BUFFER")};
  const char* view = nullptr;
  std::mutex mutex;
  std::condition_variable received;
  std::vector<std::string> lines;
  bool stopping = false;
  std::thread thread;

  static constexpr DWORD kSize = 4096;
  void Receive() {
    for (;;) {
      ::SetEvent(bufferReady.Get());
      if (::WaitForSingleObject(dataReady.Get(), INFINITE) != WAIT_OBJECT_0) return;
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;
      DWORD sender;
      std::memcpy(&sender, view, sizeof sender);
      const char* text = view + sizeof sender;
      if (sender == ::GetCurrentProcessId()) lines.emplace_back(text, strnlen(text, kSize - sizeof sender));
      received.notify_all();
    }
  }
};

DebugOutputCapture::DebugOutputCapture() : listener_(std::make_unique<Listener>()) {
  Listener& l = *listener_;
  if (!l.bufferReady || !l.dataReady || !l.section) {
    ADD_FAILURE() << "debug-output objects: error " << ::GetLastError();
    return;
  }
  l.view = static_cast<const char*>(::MapViewOfFile(l.section.Get(), FILE_MAP_READ, 0, 0, Listener::kSize));
  if (l.view == nullptr) {
    ADD_FAILURE() << "MapViewOfFile: error " << ::GetLastError();
    return;
  }
  l.thread = std::thread([&l] { l.Receive(); });
}

DebugOutputCapture::~DebugOutputCapture() {
  Listener& l = *listener_;
  if (l.thread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(l.mutex);
      l.stopping = true;
    }
    ::SetEvent(l.dataReady.Get());
    l.thread.join();
  }
  if (l.view) ::UnmapViewOfFile(l.view);
}

std::vector<std::string> DebugOutputCapture::Lines(std::size_t count) {
  Listener& l = *listener_;
  std::unique_lock<std::mutex> lock(l.mutex);
  l.received.wait_for(lock, std::chrono::seconds(10), [&] { return l.lines.size() >= count; });
  return l.lines;
}

namespace {
constexpr wchar_t kTraceSession[] = L"ZefoConformanceSession";
struct TraceSessionState {
  TRACEHANDLE session = 0;
  GUID provider{};
  std::vector<BYTE> properties = std::vector<BYTE>(sizeof(EVENT_TRACE_PROPERTIES) + sizeof kTraceSession);
  EVENT_TRACE_PROPERTIES* Properties() {
    std::fill(properties.begin(), properties.end(), BYTE{0});
    auto* p = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(properties.data());
    p->Wnode.BufferSize = static_cast<ULONG>(properties.size());
    p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    p->Wnode.ClientContext = 1;
    p->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    p->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    return p;
  }
} g_trace;
}  // namespace

bool EnableTraceProvider(const GUID& controlGuid, UCHAR level, ULONG flags) {
  // A session left by an earlier run has the same name.
  ::ControlTraceW(0, kTraceSession, g_trace.Properties(), EVENT_TRACE_CONTROL_STOP);
  if (::StartTraceW(&g_trace.session, kTraceSession, g_trace.Properties()) != ERROR_SUCCESS) return false;
  g_trace.provider = controlGuid;
  return ::EnableTrace(TRUE, flags, level, &g_trace.provider, g_trace.session) == ERROR_SUCCESS;
}

void DisableTraceProvider() {
  ::EnableTrace(FALSE, 0, 0, &g_trace.provider, g_trace.session);
  ::ControlTraceW(g_trace.session, nullptr, g_trace.Properties(), EVENT_TRACE_CONTROL_STOP);
}

namespace {
// Runs this executable again with the switch and its argument; its exit code.
DWORD RunSelf(const wchar_t* switchName, const std::wstring& argument) {
  wchar_t self[MAX_PATH];
  if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return ::GetLastError();
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + switchName + L" " + argument;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return ::GetLastError();
  UniqueKernelHandle processHandle(process.hProcess);
  UniqueKernelHandle threadHandle(process.hThread);
  DWORD exitCode = ERROR_TIMEOUT;
  if (::WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
    ::GetExitCodeProcess(process.hProcess, &exitCode);
  return exitCode;
}
}  // namespace

DWORD SetEventFromOtherProcess(const std::wstring& name) { return RunSelf(kSetEventSwitch, name); }

DWORD RunChildProcess(const std::wstring& program) { return RunSelf(kChildSwitch, program); }
}  // namespace conformance

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], conformance::kSetEventSwitch) == 0)
    return conformance::SetEventAndExit(argv[2]);
  if (argc == 3 && std::wcscmp(argv[1], conformance::kChildSwitch) == 0)
    return static_cast<int>(conformance::ChildPrograms().at(argv[2])());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
