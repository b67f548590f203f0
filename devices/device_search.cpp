#include "devices/device_search.h"

#include <algorithm>

#include "diag/logging.h"
#include "platform/devices.h"
#include "platform/process.h"

namespace {
// {53D29EF7-377C-4D14-864B-EB3A85769359}
constexpr GUID kBiometricClassGuid = {0x53D29EF7, 0x377C, 0x4D14, {0x86, 0x4B, 0xEB, 0x3A, 0x85, 0x76, 0x93, 0x59}};

// A property may be of any shape (no terminator, odd length): only the whole
// characters among the bytes returned are looked at.
std::wstring_view FirstString(const WCHAR (&buffer)[kPropertyBufferChars], DWORD bytesReturned) {
  const std::size_t chars = std::min<std::size_t>(bytesReturned, sizeof buffer) / sizeof(WCHAR);
  const WCHAR* end = std::find(buffer, buffer + chars, L'\0');
  return std::wstring_view(buffer, static_cast<std::size_t>(end - buffer));
}
}  // namespace

DeviceSearchResult SearchBiometricDevices(DWORD property, const std::function<Walk(const DeviceMember&)>& visit) {
  UniqueDevInfoList list(os::SetupDiGetClassDevsW(&kBiometricClassGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE));
  if (!list) return {false, os::GetLastError()};

  SP_DEVINFO_DATA deviceInfoData{};
  deviceInfoData.cbSize = sizeof deviceInfoData;
  for (DWORD index = 0; index < kMaxSearchedMembers; ++index) {
    if (!os::SetupDiEnumDeviceInfo(list.Get(), index, &deviceInfoData)) break;
    WCHAR buffer[kPropertyBufferChars] = {};
    DWORD dataType = 0;
    DWORD requiredSize = 0;
    const bool read = os::SetupDiGetDeviceRegistryPropertyW(list.Get(), &deviceInfoData, property, &dataType,
                                                            reinterpret_cast<PBYTE>(buffer), sizeof buffer,
                                                            &requiredSize) != FALSE;
    const DWORD readError = read ? ERROR_SUCCESS : os::GetLastError();
    // Whatever device has a property this long, it is not the sensor; it
    // must not hide the members after it.
    if (readError == ERROR_INSUFFICIENT_BUFFER) {
      LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Device property too long (index = %d), not the FPR device",
                   static_cast<int>(index));
      continue;
    }
    const DeviceMember member{list.Get(), deviceInfoData, index, read, readError,
                              read ? FirstString(buffer, requiredSize) : std::wstring_view()};
    if (visit(member) == Walk::kStop) break;
  }
  return {true, ERROR_SUCCESS};
}
