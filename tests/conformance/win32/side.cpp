// The Windows side: the real API, under Wine or on Windows. Setup it makes is
// removed when the test ends. The executable doubles as the second process
// that sets a named event.
#include "tests/conformance/side.h"

#include <cwchar>

#include "platform/registry.h"
#include "platform/sync.h"

namespace conformance {
namespace {
constexpr wchar_t kSetEventSwitch[] = L"--set-event";

// Keys the current test created, removed (with their subtrees) at its end.
std::vector<std::wstring>& CreatedKeys() {
  static std::vector<std::wstring> keys;
  return keys;
}

class WindowsSide : public Side {
 public:
  ~WindowsSide() override {
    for (auto it = CreatedKeys().rbegin(); it != CreatedKeys().rend(); ++it)
      ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, it->c_str());
    CreatedKeys().clear();
  }
};

UniqueRegKey CreateKey(const std::wstring& keyPath) {
  UniqueRegKey key;
  DWORD disposition = 0;
  LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     key.Put(), &disposition);
  EXPECT_EQ(ERROR_SUCCESS, status) << "creating HKLM\\" << std::string(keyPath.begin(), keyPath.end());
  if (status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY) CreatedKeys().push_back(keyPath);
  return key;
}

int SetEventAndExit(const wchar_t* name) {
  HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (event == nullptr) return 1;
  BOOL set = ::SetEvent(event);
  ::CloseHandle(event);
  return set ? 0 : 2;
}
}  // namespace

std::unique_ptr<Side> MakeSide() { return std::make_unique<WindowsSide>(); }

bool OnWine() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

void SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                      const std::vector<BYTE>& data) {
  UniqueRegKey key = CreateKey(keyPath);
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name.c_str(), 0, type, data.data(),
                                            static_cast<DWORD>(data.size())));
}

void CreateRegistryKey(const std::wstring& keyPath) { CreateKey(keyPath); }

bool SetEventFromOtherProcess(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return false;
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + kSetEventSwitch + L" " + name;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  UniqueKernelHandle processHandle(process.hProcess);
  UniqueKernelHandle threadHandle(process.hThread);
  DWORD exitCode = 1;
  return ::WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0 &&
         ::GetExitCodeProcess(process.hProcess, &exitCode) && exitCode == 0;
}
}  // namespace conformance

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], conformance::kSetEventSwitch) == 0)
    return conformance::SetEventAndExit(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
