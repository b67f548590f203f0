#include "ess/ess_discovery.h"

#include <cwchar>

#include "diag/logging.h"
#include "ess/secure_fingerprint.h"
#include "devices/device_search.h"
#include "platform/devices.h"

std::atomic<int> g_bEssDeviceFound{0};
std::atomic<bool> g_bEssSyncOwed{false};

namespace {
constexpr int kEssResultDone = 0;
constexpr int kEssResultListFailed = 1;
constexpr int kEssResultHardwareIdFailed = 4;

constexpr LPCWSTR kProductCodes[] = {L"0A10", L"0A20", L"0A30"};
constexpr std::size_t kProductCodeOffset = 17;  // the four PID digits of USB\VID_xxxx&PID_xxxx
constexpr std::size_t kProductCodeChars = 4;

// Copies the product code out of the first hardware identifier; false when
// the identifier is too short to hold one.
bool ProductCodeOf(std::wstring_view hardwareId, WCHAR (&szProductCode)[kProductCodeChars + 1]) {
  if (hardwareId.size() < kProductCodeOffset + kProductCodeChars) return false;
  hardwareId.copy(szProductCode, kProductCodeChars, kProductCodeOffset);
  szProductCode[kProductCodeChars] = L'\0';
  return true;
}

bool IsKnownProductCode(LPCWSTR szProductCode) {
  bool known = false;
  for (LPCWSTR code : kProductCodes) known |= std::wcsncmp(szProductCode, code, kProductCodeChars) == 0;
  return known;
}
}  // namespace

void CheckEssUEFIValue() {
  int result = kEssResultDone;
  bool syncOwed = false;
  const DeviceSearchResult search = SearchBiometricDevices(SPDRP_HARDWAREID, [&](const DeviceMember& member) {
    // Written for every enumerated member, before the read's outcome is looked at.
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service][CheckEssUEFIValue] SDEDI_Result = %d, index = %d!!", TRUE,
                 static_cast<int>(member.index));
    if (!member.propertyRead) {
      LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] SetupDiGetDeviceRegistryProperty fail, GetLastError = %d",
                   static_cast<int>(member.readError));
      result = kEssResultHardwareIdFailed;
      return Walk::kStop;
    }
    WCHAR szProductCode[kProductCodeChars + 1];
    if (!ProductCodeOf(member.text, szProductCode) || !IsKnownProductCode(szProductCode)) return Walk::kNext;
    LogFormatted(EVENTLOG_INFORMATION_TYPE,
                 L"[ZEFO Service][CheckEssUEFIValue] Find ZEFO MOC FPR device (FRP PID = %s)!!!", szProductCode);
    SP_DEVINFO_DATA deviceInfoData = member.deviceInfoData;
    if (UpdateSecureFingerprintSetting(member.deviceInfoSet, &deviceInfoData) == EssSyncOutcome::kDone)
      g_bEssDeviceFound = 1;
    else
      syncOwed = true;
    return Walk::kNext;
  });
  if (!search.listBuilt) {
    LogFormatted(EVENTLOG_ERROR_TYPE,
                 L"[ZEFO Service][CheckEssUEFIValue] SetupDiGetClassDevs fail (m_hDevInfo == INVALID_HANDLE_VALUE), "
                 L"error = 0x%.8X!!!",
                 search.listError);
    result = kEssResultListFailed;
  } else if (result == kEssResultDone && g_bEssDeviceFound == 0 && !syncOwed) {
    LogServiceMessage(L"[ZEFO Service][CheckEssUEFIValue] WBF Driver not found!!", EVENTLOG_INFORMATION_TYPE);
  }
  // A list that was not built is retried by the next driver signal, as before.
  g_bEssSyncOwed = syncOwed;
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO CheckEssUEFIValue Finish, result = %d!!!", result);
}
