#!/usr/bin/env bash
# The whole system under Wine: the real executable with a fake fingerprint
# sensor, a stand-in biometric service and a CFGMGR32.dll planted beside it.
# At start the ESS check finds the sensor, cannot read the firmware variable,
# drives SecureFingerprint to 0 and leaves the restart of the biometric
# service to the worker, which runs it once the service runs; the polling
# worker stops gracefully, and the planted DLL was never loaded. Without a
# sensor, a console process signals the driver-attach event and the worker
# searches again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

EXE="$WIN64_BUILD/ZefoFpService.exe"
STAND_IN="$WIN64_BUILD/tools/win32/StandInService.exe"
SIGNAL_EVENT="$WIN64_BUILD/tools/win32/SignalEvent.exe"
require_built "$EXE" "$STAND_IN" "$SIGNAL_EVENT"

wine_prefix_up
install_programs zefo-service-monitor "$EXE" "$STAND_IN" "$SIGNAL_EVENT"
# A CFGMGR32.dll planted beside the executable, whose DllMain leaves a marker.
# A control program that imports CFGMGR32.dll at start must load it (Wine is
# told to prefer a native copy for both programs); the service, which
# delay-loads it after limiting the search to System32, must not. Both are
# built here, never kept.
PLANTED_MARKER="$WINE_C/zefo-planted-cfgmgr32.txt"
mkdir -p "$WINEPREFIX/planted"
cat >"$WINEPREFIX/planted/cfgmgr32.c" <<'EOF'
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    HANDLE marker = CreateFileW(L"C:\\zefo-planted-cfgmgr32.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  return TRUE;
}
__declspec(dllexport) DWORD CM_Get_DevNode_Status(PULONG status, PULONG problem, DWORD devInst, ULONG flags) {
  *status = 0;
  *problem = 0;
  return 0;
}
EOF
cat >"$WINEPREFIX/planted/control.c" <<'EOF'
#include <windows.h>
#include <cfgmgr32.h>
int main(void) {
  ULONG status, problem;
  return (int)CM_Get_DevNode_Status(&status, &problem, 0, 0);
}
EOF
x86_64-w64-mingw32-gcc -shared -o "$INSTALL_DIR/CFGMGR32.dll" "$WINEPREFIX/planted/cfgmgr32.c" ||
  fail "building the planted CFGMGR32.dll"
x86_64-w64-mingw32-gcc -o "$INSTALL_DIR/cfgmgr32_control.exe" "$WINEPREFIX/planted/control.c" -lcfgmgr32 ||
  fail "building the control program"
WIN_EXE="$WIN_DIR\\ZefoFpService.exe"
STAND_IN_LOG="$INSTALL_DIR/StandInService.exe.log"

SETTINGS_KEY='HKLM\System\CurrentControlSet\Control\ZefoFP\OtherSetting'
SENSOR_KEY='HKLM\System\CurrentControlSet\Enum\ROOT\ZEFOTESTSENSOR'
CONFIGURATIONS_KEY="$SENSOR_KEY\\0000\\Device Parameters\\WinBio\\Configurations"
# Prefix of every message that passes through the shared log step.
S='[ZEFO Service] '

zefo_process_gone() {
  ! pgrep -f "$INSTALL_DIR_NAME.ZefoFpService" >/dev/null
}
# On failure the debugger lines show what the service did.
finish() {
  local status=$?
  if ((status != 0)) && [[ -f "$DEBUG_LOG" ]]; then
    echo "--- last debugger lines:" >&2
    tail -n 60 "$DEBUG_LOG" >&2
  fi
  service_process_gone || echo "FAIL: a service process outlived the test" >&2
  wine_prefix_down
}
trap finish EXIT

# Messages written since the line count given.
messages_after() {  # count
  debug_messages | tail -n "+$(($1 + 1))"
}
message_count() {
  debug_messages | wc -l
}
has_message_after() {  # count message
  messages_after "$1" | grep -qxF -- "$2"
}
count_message_after() {  # count message
  messages_after "$1" | grep -cxF -- "$2" || true
}
message_count_is() {  # count message n
  [[ "$(count_message_after "$1" "$2")" == "$3" ]]
}

# Runs "sc <action> <service>"; on failure says what sc traced and where the
# service stands.
sc_control() {  # action service
  local trace
  trace="$(WINEDEBUG=trace+sc timeout 60 wine sc "$1" "$2" 2>&1 >/dev/null)" ||
    fail "sc $1 $2 failed (state now: $(service_state "$2")): $trace"
}
stand_in_log() {
  tr -d '\r' <"$STAND_IN_LOG" 2>/dev/null | paste -sd' ' || true
}
stand_in_log_is() {  # text
  [[ "$(stand_in_log)" == "$1" ]]
}

secure_fingerprint() {
  wine_run reg query "$CONFIGURATIONS_KEY" /v SecureFingerprint |
    sed -n 's/^ *SecureFingerprint *REG_DWORD *\(0x[0-9a-fA-F]*\).*/\1/p'
}

# REG_MULTI_SZ data for a REGEDIT4 file: 8-bit characters, each string
# ended by a NUL, the list by another.
multi_sz_hex() {  # strings...
  { printf '%s\0' "$@"; printf '\0'; } | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//; s/,$//'
}

# Every line of the first block appears in the second, in the same order;
# other lines may stand between them.
expect_in_order() {  # expected actual what
  local -a seen
  local line i=0
  mapfile -t seen <<<"$2"
  while IFS= read -r line; do
    while ((i < ${#seen[@]})) && [[ "${seen[i]}" != "$line" ]]; do i=$((i + 1)); done
    if ((i == ${#seen[@]})); then
      printf 'FAIL: %s: missing or out of order: %q\n--- lines seen:\n%s\n' "$3" "$line" "$2" >&2
      exit 1
    fi
    i=$((i + 1))
  done <<<"$1"
}

# The settings, and a fake sensor: a biometric-class device whose first
# hardware id carries product code 0A20 and whose configuration asks for
# SecureFingerprint = 1. One import keeps the run fast.
cat >"$INSTALL_DIR/setup.reg" <<EOF
REGEDIT4

[${SETTINGS_KEY/HKLM/HKEY_LOCAL_MACHINE}]
"LOG_SWITCH"=dword:00000001
"ServicePollingTime"=dword:00000002

[${SENSOR_KEY/HKLM/HKEY_LOCAL_MACHINE}\0000]
"ClassGUID"="{53D29EF7-377C-4D14-864B-EB3A85769359}"
"DeviceDesc"="ZEFO Test Fingerprint Sensor"
"HardwareID"=hex(7):$(multi_sz_hex 'USB\VID_1234&PID_0A20&REV_0001' 'USB\VID_1234&PID_0A20')

[${CONFIGURATIONS_KEY/HKLM/HKEY_LOCAL_MACHINE}]
"SecureFingerprint"=dword:00000001

[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\ZefoFpService.exe\\DllOverrides]
"cfgmgr32"="native,builtin"

[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\cfgmgr32_control.exe\\DllOverrides]
"cfgmgr32"="native,builtin"
EOF
start_service_manager reg import "$WIN_DIR\\setup.reg"

# The stand-in biometric service, running, so that a restart shows as a stop
# and a start in its log.
wine_run sc create WbioSrvc binPath= "$WIN_DIR\\StandInService.exe WbioSrvc" >/dev/null || fail "sc create WbioSrvc"
sc_control start WbioSrvc
wait_until "the stand-in WbioSrvc to run" in_state WbioSrvc RUNNING
expect_eq "start" "$(stand_in_log)" "stand-in log before the service starts"

timeout 60 wine "$WIN_DIR\\cfgmgr32_control.exe" >/dev/null 2>&1 || true
[[ -f "$PLANTED_MARKER" ]] || fail "the control program did not load the planted CFGMGR32.dll: the probe proves nothing"
rm -f "$PLANTED_MARKER"

expect_eq "$(refused_under_wine "$WIN_EXE")" "$(wine_run "$WIN_EXE" -install)" "install refused under Wine"
register_service "$WIN_EXE"

# First run: the sensor is there.
sc_control start ZEFOTestService
wait_until "ZEFOTestService to run" in_state ZEFOTestService RUNNING
wait_until "the polling worker to start" has_message_after 0 "${S}[ZEFO Service] Enter PollingFPStatusThread"
wait_until "the stand-in to be restarted" stand_in_log_is "start stop start"
expect_eq 0x0 "$(secure_fingerprint)" "SecureFingerprint after the start"

first_run="$(debug_messages)"
# OnStart runs the ESS check before the worker exists: this block is exact.
expect_eq "${S}[ZEFO Service] Enter CServiceBase::OnStart...
${S}[ZEFO Service] Create PollingFPStatusThread...
${S}[ZEFO Service][CheckEssUEFIValue] SDEDI_Result = 1, index = 0!!
${S}[ZEFO Service][CheckEssUEFIValue] Find ZEFO MOC FPR device (FRP PID = 0A20)!!!
${S}[ZEFO Service] dwVarLen = 0
[ZEFO] Nothing return, error code =  0x1
${S}[ZEFO Service] Open Key success!!
${S}[ZEFO Service] Get SecireFingerprint value, SecireFingerprint = 1!!
${S}[ZEFO Service] SecireFingerprint value should be modified, modifinf reg vlaue and reset WbSrv!!
${S}[ZEFO Service] RegSetValue success
${S}[ZEFO Service] Reset WbSrv once the service is running
${S}[ZEFO CheckEssUEFIValue Finish, result = 0!!!" \
  "$(sed -n '/Enter CServiceBase::OnStart\.\.\./,/CheckEssUEFIValue Finish/p' <<<"$first_run")" \
  "OnStart and the ESS check with the sensor"
# The worker's first lines and the end of OnStart may interleave.
expect_in_order "${S}[ZEFO Service] Create PollingFPStatusThread Success!!!
${S}[ZEFO Service] ZFDService OnStart Finish" "$first_run" "end of OnStart"
expect_in_order "${S}[ZEFO Service] Enter PollingFPStatusThread
${S}[ZEFO Service] Polling FP Status(wait for 120 s)
${S}[ZEFO Service] SERVICE_VERSION =  ZEFO MOC Service v5.2.12011.20006 (2024.06.11)" "$first_run" "worker start"
! grep -q "WBF Driver not found" <<<"$first_run" || fail "the sensor was not found at start"

before_stop="$(message_count)"
sc_control stop ZEFOTestService
wait_until "ZEFOTestService to stop" in_state ZEFOTestService STOPPED
wait_until "the process to end" has_message_after "$before_stop" "${S}[ZEFO Service] Eixt wmain..."
first_stop="$(messages_after "$before_stop")"
expect_in_order "${S}[ZEFO Service] Enter CServiceBase::OnStop ...
${S}[ZEFO Service] Wait Thread to be terminated...
${S}[ZEFO Service] Event trigger!!!
${S}[ZEFO Service] Thread termination gracefully completed for PollingFPStatusThread!!!
${S}[ZEFO Service] Destroying FpMainThread complete.!!!
${S}[ZEFO Service] ZFDService in OnStop Finish" "$first_stop" "graceful stop"
expect_in_order "${S}[ZEFO Service] OnServiceStopEvent trigger, exit the PollingFPStatusThread!!!
${S}[ZEFO Service] Exit PollingFPStatusThread" "$first_stop" "worker end"
! grep -q "Terminate the PollingFPStatusThread" <<<"$first_stop" || fail "the worker was terminated"
wait_until "the first service process to end" zefo_process_gone
# The worker checked the sensor's device node (CM_Get_DevNode_Status) before it stopped.
[[ ! -f "$PLANTED_MARKER" ]] || fail "the service loaded the CFGMGR32.dll planted beside it"

# Second run: no sensor. The start finds none; a console process can still
# open the driver-attach event with wait and signal rights and set it, and the
# worker searches again.
wine reg delete "$SENSOR_KEY" /f >/dev/null 2>&1 || fail "reg delete the sensor"
before_second="$(message_count)"
sc_control start ZEFOTestService
wait_until "ZEFOTestService to run again" in_state ZEFOTestService RUNNING
wait_until "the polling worker to start again" \
  has_message_after "$before_second" "${S}[ZEFO Service] SERVICE_VERSION =  ZEFO MOC Service v5.2.12011.20006 (2024.06.11)"
expect_eq 1 "$(count_message_after "$before_second" "${S}[ZEFO Service][CheckEssUEFIValue] WBF Driver not found!!")" \
  "searches at the second start"
# The worker creates the event after its start lines: retry until it exists.
signal_driver_attach() {
  timeout 60 wine "$WIN_DIR\\SignalEvent.exe" 'Global\DriverAttach' >/dev/null 2>&1
}
wait_until "a console process to set Global\\DriverAttach" signal_driver_attach
NOT_FOUND="${S}[ZEFO Service][CheckEssUEFIValue] WBF Driver not found!!"
wait_until "a second search" message_count_is "$before_second" "$NOT_FOUND" 2
wait_until "the second search to end" message_count_is "$before_second" "${S}[ZEFO CheckEssUEFIValue Finish, result = 0!!!" 2
second_run="$(messages_after "$before_second")"
expect_in_order "${S}[ZEFO Service] Create PollingFPStatusThread...
$NOT_FOUND
${S}[ZEFO CheckEssUEFIValue Finish, result = 0!!!
${S}[ZEFO Service] DriverExistEvent trigger, Run CheckEssUEFIValue... 
$NOT_FOUND
${S}[ZEFO CheckEssUEFIValue Finish, result = 0!!!" "$second_run" "second run without a sensor"
! grep -q "Find ZEFO MOC FPR device\|SecireFingerprint" <<<"$second_run" || fail "a sensor was found without one"
expect_eq "start stop start" "$(stand_in_log)" "stand-in log after the second start"

before_second_stop="$(message_count)"
sc_control stop ZEFOTestService
wait_until "ZEFOTestService to stop again" in_state ZEFOTestService STOPPED
wait_until "the second process to end" has_message_after "$before_second_stop" "${S}[ZEFO Service] Eixt wmain..."
has_message_after "$before_second_stop" \
  "${S}[ZEFO Service] Thread termination gracefully completed for PollingFPStatusThread!!!" ||
  fail "the second stop was not graceful"
removal="$(wine_run "$WIN_EXE" -remove)"
[[ "$removal" == *"ZEFOTestService is removed." ]] || fail "removal printed: $(printf '%q' "$removal")"

sc_control stop WbioSrvc
wait_until "the stand-in to stop" in_state WbioSrvc STOPPED
sc_control delete WbioSrvc
expect_eq "start stop start stop" "$(stand_in_log)" "stand-in log at the end"

wait_until "every service process to end" service_process_gone
echo "test-monitor: passed"
