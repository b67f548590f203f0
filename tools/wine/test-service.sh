#!/usr/bin/env bash
# The real executable under Wine's service manager: start, a user control
# code, stop, and removal of a running service, with the debugger lines the
# service writes on the way. (-install refuses every folder under Wine: the
# service is registered as it would register it.)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

EXE="$WIN64_BUILD/ZefoFpService.exe"
# Wine's sc cannot send a user control code: a small control program does.
SEND_CONTROL="$WIN64_BUILD/tools/win32/SendControl.exe"
require_built "$EXE" "$SEND_CONTROL"

wine_prefix_up
install_programs zefo-service-lifecycle "$EXE" "$SEND_CONTROL"
WIN_EXE="$WIN_DIR\\ZefoFpService.exe"

trap 'service_process_gone || echo "FAIL: the service process outlived the test" >&2; wine_prefix_down' EXIT

start_service_manager reg add 'HKLM\System\CurrentControlSet\Control\ZefoFP\OtherSetting' \
  /v LOG_SWITCH /t REG_DWORD /d 1 /f
wine reg add 'HKLM\System\CurrentControlSet\Control\ZefoFP\OtherSetting' \
  /v ServicePollingTime /t REG_DWORD /d 2 /f >/dev/null 2>&1 || fail "reg add"

# The lifecycle's own messages: the text after both "[ZEFO Service] " tags.
lifecycle_messages() {
  debug_messages | sed -n 's/^\[ZEFO Service\] \[ZEFO Service\] //p'
}
handler_entries() {
  lifecycle_messages | grep -c "Enter ServiceCtrlHandlerEx" || true
}
handler_entered_after() {  # count
  (($(handler_entries) > $1))
}
wmain_ended() {
  lifecycle_messages | grep -q "Eixt wmain"
}

expect_eq "$(refused_under_wine "$WIN_EXE")" "$(wine_run "$WIN_EXE" -install)" "install refused under Wine"
register_service "$WIN_EXE"

wine_run sc start ZEFOTestService >/dev/null || fail "sc start"
wait_until "ZEFOTestService to run" in_state ZEFOTestService RUNNING

before=$(handler_entries)
expect_eq "state 4" "$(wine_run "$WIN_DIR\\SendControl.exe" ZEFOTestService 200)" "user control 200"
wait_until "the handler's entry message for user control 200" handler_entered_after "$before"
expect_eq "$((before + 1))" "$(handler_entries)" "handler entry message for user control 200"
expect_eq RUNNING "$(service_state ZEFOTestService)" "state after user control 200"

wine_run sc stop ZEFOTestService >/dev/null || fail "sc stop"
wait_until "ZEFOTestService to stop" in_state ZEFOTestService STOPPED
wait_until "wmain to end" wmain_ended
# The monitor's own lines interleave with these; test-monitor.sh checks them.
lifecycle="$(lifecycle_messages | grep -v -e OnStart -e OnStop -e PollingFPStatusThread -e 'Polling FP Status' \
  -e SERVICE_VERSION -e 'Wait Thread to be terminated' -e 'Event trigger!!!' -e FpMainThread)"
expect_eq "Enter wmain...
Start CServiceBase::Run(service)...
Enter CServiceBase Constructor...
Enter CServiceBase::Run..
return StartServiceCtrlDispatcher(serviceTable)..
Enter CServiceBase::ServiceMain...
Start RegisterServiceCtrlHandlerEx...
Executing s_service->Start...
Enter CServiceBase::Start...
Enter ServiceCtrlHandlerEx...
Enter ServiceCtrlHandlerEx...
CServiceBase::ServiceCtrlHandlerEx Stop
Enter CServiceBase::Stop...
UnregisterPowerSettingNotification...
UnregisterPowerSettingNotification Finish
Enter CServiceBase Destructor...
Eixt wmain..." "$lifecycle" "lifecycle debugger lines"

# Removing a running service stops it first.
wine_run sc start ZEFOTestService >/dev/null || fail "sc start again"
wait_until "ZEFOTestService to run again" in_state ZEFOTestService RUNNING
removal="$(wine_run "$WIN_EXE" -remove)"
[[ "$removal" =~ ^Stopping\ ZEFOTestService\.\.*$'\n'ZEFOTestService\ is\ stopped\.$'\n'ZEFOTestService\ is\ removed\.$ ]] ||
  fail "removal of a running service printed: $(printf '%q' "$removal")"

wait_until "the service process to end" service_process_gone
echo "test-service: passed"
