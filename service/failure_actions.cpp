#include "service/failure_actions.h"

#include <iterator>

#include "diag/logging.h"
#include "platform/process.h"
#include "platform/service_control.h"

namespace {
constexpr DWORD kRestartDelayMs = 60000;
constexpr DWORD kFailureCountResetS = 24 * 60 * 60;
}  // namespace

const SERVICE_FAILURE_ACTIONSW& ServiceFailureActions() {
  // The nth failure takes the nth action and the last one repeats, so the
  // list ends with "no action" to stop after two restarts. Never written:
  // not const only because the structure points at it so.
  static SC_ACTION actions[] = {
      {SC_ACTION_RESTART, kRestartDelayMs},
      {SC_ACTION_RESTART, kRestartDelayMs},
      {SC_ACTION_NONE, 0},
  };
  static const SERVICE_FAILURE_ACTIONSW failureActions = {kFailureCountResetS, nullptr, nullptr,
                                                          static_cast<DWORD>(std::size(actions)), actions};
  return failureActions;
}

void ConfigureFailureActions(SC_HANDLE service) {
  SERVICE_FAILURE_ACTIONSW actions = ServiceFailureActions();
  if (!os::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions))
    LogFormatted(EVENTLOG_WARNING_TYPE,
                 L"[ZEFO Service] Failure actions not set, ChangeServiceConfig2W failed w/err 0x%.8X",
                 os::GetLastError());
}
