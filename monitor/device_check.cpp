#include "monitor/device_check.h"

#include "diag/logging.h"
#include "platform/devices.h"

namespace {
void LogProblem(ULONG ulProblem) {
  switch (ulProblem) {
    case CM_PROB_FAILED_ADD:
      LogServiceMessage(L"[ZEFO Service] Got yellow bang, error code 31 (CM_PROB_FAILED_ADD)", EVENTLOG_WARNING_TYPE);
      break;
    case CM_PROB_FAILED_POST_START:
      LogServiceMessage(L"[ZEFO Service] Got yellow bang, error code 43 (CM_PROB_FAILED_POST_START)",
                        EVENTLOG_WARNING_TYPE);
      break;
    default:
      LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] Got yellow bang, error code = %d",
                   static_cast<int>(ulProblem));
  }
}

BYTE CheckDevNode(DEVINST devInst, PULONG pulProblemCode) {
  ULONG ulStatus = 0;
  ULONG ulProblem = 0;
  const CONFIGRET result = os::CM_Get_DevNode_Status(&ulStatus, &ulProblem, devInst, 0);
  if (result != CR_SUCCESS) {
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] CM_Get_DevNode_Status fail, GetDeviceNodeResult = 0x%X",
                 result);
    return kYellowBangStatusFailed;
  }
  if ((ulStatus & DN_HAS_PROBLEM) == 0) return kYellowBangNone;
  LogProblem(ulProblem);
  *pulProblemCode = ulProblem;
  return kYellowBangFound;
}
}  // namespace

bool IsZefoSensor(const DeviceMember& member) { return member.text.find(L"ZEFO") != std::wstring_view::npos; }

BYTE CheckYellowBang(PULONG pulProblemCode) {
  BYTE result = kYellowBangNone;
  const DeviceSearchResult search = SearchBiometricDevices(SPDRP_DEVICEDESC, [&](const DeviceMember& member) {
    if (!member.propertyRead) {
      LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] SetupDiGetDeviceRegistryProperty fail, GetLastError = %d",
                   static_cast<int>(member.readError));
      result = kYellowBangDescriptionFailed;
      return Walk::kStop;
    }
    if (!IsZefoSensor(member)) return Walk::kNext;
    // The first sensor decides.
    result = CheckDevNode(member.deviceInfoData.DevInst, pulProblemCode);
    return Walk::kStop;
  });
  if (!search.listBuilt) {
    LogFormatted(EVENTLOG_ERROR_TYPE,
                 L"[ZEFO Service] SetupDiGetClassDevs fail (m_hDevInfo == INVALID_HANDLE_VALUE), error = 0x%.8X!!!",
                 search.listError);
    return kYellowBangListFailed;
  }
  return result;
}
