#!/usr/bin/env bash
# The real executable under Wine's service manager: start, a user control
# code, stop, and removal of a running service, with the debugger lines the
# service writes on the way. (-install refuses every folder under Wine: the
# service is registered as it would register it.)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

EXE="$WIN64_BUILD/ZefoFpService.exe"
[[ -f "$EXE" ]] || fail "build the win64 preset first: $EXE is missing"

SEND_CONTROL="$WIN64_BUILD/tools/win32/SendControl.exe"
[[ -f "$SEND_CONTROL" ]] || fail "build the win64 preset first: $SEND_CONTROL is missing"

wine_prefix_up
DEBUG_LOG="$WINEPREFIX/debug.log"
# A directory name of our own: it tells this run's service process apart.
INSTALL_DIR_NAME="zefo-service-lifecycle"
mkdir -p "$WINE_C/$INSTALL_DIR_NAME"
cp "$EXE" "$WINE_C/$INSTALL_DIR_NAME/"
WIN_EXE="C:\\$INSTALL_DIR_NAME\\ZefoFpService.exe"
# Wine's sc cannot send a user control code: a small control program does.
cp "$SEND_CONTROL" "$WINE_C/$INSTALL_DIR_NAME/send_control.exe"

service_process_gone() {
  ! pgrep -f "$INSTALL_DIR_NAME" >/dev/null
}
trap 'service_process_gone || echo "FAIL: the service process outlived the test" >&2; wine_prefix_down' EXIT

# The first wine command after the persistent server starts the service
# manager: it and every service inherit this WINEDEBUG and stderr.
WINEDEBUG=warn+seh wine reg add 'HKLM\System\CurrentControlSet\Control\ZefoFP\OtherSetting' \
  /v LOG_SWITCH /t REG_DWORD /d 1 /f >/dev/null 2>>"$DEBUG_LOG" || fail "reg add"
wine reg add 'HKLM\System\CurrentControlSet\Control\ZefoFP\OtherSetting' \
  /v ServicePollingTime /t REG_DWORD /d 2 /f >/dev/null 2>&1 || fail "reg add"

# The service's own debugger lines, message text only, in order.
debug_messages() {
  sed -n 's/.*OutputDebugStringA "\[[^]]*\] \[ZEFOFPSERVICE\] \[ZEFO Service\] \[ZEFO Service\] \(.*\)\\r\\n".*/\1/p' "$DEBUG_LOG"
}

service_state() {
  wine_run sc query ZEFOTestService | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

wait_for_state() {  # state
  for _ in $(seq 100); do
    [[ "$(service_state)" == "$1" ]] && return 0
    sleep 0.2
  done
  fail "ZEFOTestService did not reach $1 (now: $(service_state))"
}

expect_eq "$(refused_under_wine "$WIN_EXE")" "$(wine_run "$WIN_EXE" -install)" "install refused under Wine"
register_service "$WIN_EXE"

wine_run sc start ZEFOTestService >/dev/null || fail "sc start"
wait_for_state RUNNING

before=$(debug_messages | grep -c "Enter ServiceCtrlHandlerEx" || true)
expect_eq "state 4" "$(wine_run "C:\\$INSTALL_DIR_NAME\\send_control.exe" ZEFOTestService 200)" "user control 200"
for _ in $(seq 50); do
  after=$(debug_messages | grep -c "Enter ServiceCtrlHandlerEx" || true)
  [[ "$after" -gt "$before" ]] && break
  sleep 0.1
done
expect_eq "$((before + 1))" "$after" "handler entry message for user control 200"
expect_eq RUNNING "$(service_state)" "state after user control 200"

wine_run sc stop ZEFOTestService >/dev/null || fail "sc stop"
wait_for_state STOPPED
for _ in $(seq 50); do
  debug_messages | grep -q "Eixt wmain" && break
  sleep 0.1
done
# The monitor's own lines interleave with these; test-monitor.sh checks them.
lifecycle="$(debug_messages | grep -v -e OnStart -e OnStop -e PollingFPStatusThread -e 'Polling FP Status' \
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
wait_for_state RUNNING
removal="$(wine_run "$WIN_EXE" -remove)"
[[ "$removal" =~ ^Stopping\ ZEFOTestService\.\.*$'\n'ZEFOTestService\ is\ stopped\.$'\n'ZEFOTestService\ is\ removed\.$ ]] ||
  fail "removal of a running service printed: $(printf '%q' "$removal")"

for _ in $(seq 50); do
  service_process_gone && break
  sleep 0.1
done
service_process_gone || fail "the service process is still running"
echo "test-service: passed"
