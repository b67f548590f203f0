// The one search over the biometric devices that the device check, the
// recovery and the ESS discovery share: build the list of present biometric
// devices, walk its first members, read one property of each into a bounded
// buffer, and release the list on every exit. The callers differ only in the
// property they read, how they match and what they do with a match.
#pragma once

#include <functional>
#include <string_view>

#include "platform/types.h"

constexpr DWORD kMaxSearchedMembers = 20;
// 260 wide characters: 520 bytes on Windows.
constexpr DWORD kPropertyBufferChars = 260;

// One enumerated member and the outcome of reading its property.
struct DeviceMember {
  HDEVINFO deviceInfoSet;
  SP_DEVINFO_DATA& deviceInfoData;
  DWORD index;
  bool propertyRead;  // false: readError holds the reason
  DWORD readError;
  // The property's first string, within the bytes the read returned: up to
  // its terminator or the end of those bytes. Empty when the read failed.
  std::wstring_view text;
};

enum class Walk { kNext, kStop };

struct DeviceSearchResult {
  bool listBuilt;
  DWORD listError;  // why the list was not built
};

// Calls visit for each member 0..kMaxSearchedMembers-1 until enumeration
// fails or visit says kStop. A member whose property does not fit the buffer
// is logged and passed over.
DeviceSearchResult SearchBiometricDevices(DWORD property, const std::function<Walk(const DeviceMember&)>& visit);
