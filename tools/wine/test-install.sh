#!/usr/bin/env bash
# The real executable under Wine: what it imports, its version record, its
# message table, -install refused (Wine reports every file as owned by the
# prefix's user) and -remove against Wine's service manager and registry in a
# throwaway prefix, with the exact console texts, the event sources it
# deletes, and the format of its debugger lines.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

exe="$WIN64_BUILD/ZefoFpService.exe"
[[ -f "$exe" ]] || fail "$exe not built (cmake --build --preset win64)"

# Static build: at start, nothing but the system's known DLLs, which are
# never looked for in the executable's folder. CFGMGR32.dll, which is not one
# of them, is delay-loaded (test-monitor.sh shows where from).
known_dlls='^(kernel32|advapi32|user32|msvcrt|setupapi)\.dll$'
imports="$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')"
[[ -n "$imports" ]] || fail "no imports found"
while read -r dll; do
  [[ "${dll,,}" =~ $known_dlls ]] || fail "imports a DLL that is not among the system's known DLLs: $dll"
done <<<"$imports"
grep -q 'CFGMGR32\.dll' "$exe" || fail "CFGMGR32.dll is not among the delay-loaded DLLs"

# VS_FIXEDFILEINFO after its signature 0xFEEF04BD: struct version 1.0, then
# file and product version, each as (major<<16|minor, build<<16|revision),
# little-endian: 5.2.12011.20006.
version_record="$(od -An -tx1 -v "$exe" | tr -d ' \n' | grep -o 'bd04effe.\{40\}' || true)"
expect_eq "bd04effe00000100""02000500264eeb2e""02000500264eeb2e" "$version_record" "version record 5.2.12011.20006"

# No symbols in the release build.
if x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.debug_'; then fail "debug sections in $exe"; fi
if [[ -n "$(x86_64-w64-mingw32-objdump -t "$exe" | sed -n '/^\[/p')" ]]; then fail "symbol table in $exe"; fi

wine_prefix_up
settings='HKLM\System\CurrentControlSet\Control\ZefoFP\OtherSetting'
service_key='HKLM\System\CurrentControlSet\Services\ZEFOTestService'
wine reg add "$settings" /v LOG_SWITCH /t REG_DWORD /d 1 /f >/dev/null 2>&1 || fail "reg add LOG_SWITCH"

# A path with a blank, so that only the quotes keep the command path whole.
install_dir="$WINE_C/Program Files/ZEFO"
mkdir -p "$install_dir"
cp "$exe" "$install_dir/"
win_exe='C:\Program Files\ZEFO\ZefoFpService.exe'
debug_log="$WINEPREFIX/debug.log"

# Runs the service executable at a path with the debugger lines on stderr;
# checks its console text exactly (CRLF line ends) and its exit code 0.
run_service_at() {  # windows-path expected-console args...
  local path="$1" expected="$2" console status=0
  shift 2
  console="$(WINEDEBUG=warn+seh timeout 60 wine "$path" "$@" 2>>"$debug_log"; printf x)" || status=$?
  expect_eq 0 "$status" "exit code of $path $*"
  expect_eq "$expected" "${console%x}" "console text of $path $*"
}
run_service() {  # expected-console args...
  run_service_at "$win_exe" "$@"
}

# Wine keeps no descriptor for a file: every file and folder reports the
# prefix's user as owner, with full control. -install refuses Program Files
# and a folder any user may write alike, and registers nothing.
application_log='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
expect_nothing_registered() {
  if wine reg query "$service_key" >/dev/null 2>&1; then fail "$service_key registered"; fi
  for source in 'ZEFO/Service' 'ZEFO / Debug'; do
    if wine reg query "$application_log\\$source" >/dev/null 2>&1; then fail "event source $source registered"; fi
  done
}
run_service "$(refused_under_wine "$win_exe")"$'\r\n' -install
expect_nothing_registered
public_dir="$WINE_C/users/Public/ZEFO"
mkdir -p "$public_dir"
cp "$exe" "$public_dir/"
public_exe='C:\users\Public\ZEFO\ZefoFpService.exe'
run_service_at "$public_exe" "$(refused_under_wine "$public_exe")"$'\r\n' -install
expect_nothing_registered

# -remove of a service registered as -install would: both event sources
# pointing at the executable go with it.
register_service "$win_exe"
for source in 'ZEFO/Service' 'ZEFO / Debug'; do
  wine reg add "$application_log\\$source" /v EventMessageFile /t REG_EXPAND_SZ /d "$win_exe" /f >/dev/null 2>&1 ||
    fail "reg add $source"
done
run_service $'ZEFOTestService is removed.\r\n' -remove
if wine reg query "$service_key" >/dev/null 2>&1; then fail "$service_key left behind"; fi
for source in 'ZEFO/Service' 'ZEFO / Debug'; do
  if wine reg query "$application_log\\$source" >/dev/null 2>&1; then fail "event source $source left behind"; fi
done
wine reg query "$application_log" >/dev/null 2>&1 || fail "$application_log removed with the sources"
run_service $'OpenService failed w/err 0x00000424\r\n' -remove

# Debugger lines: "[MM/DD hh:mm:ss'mmm] [ZEFOFPSERVICE] [ZEFO Service] ...\r\n",
# as Wine's seh channel quotes them.
mapfile -t lines < <(sed -n 's/^.*OutputDebugStringA "\(.*\)"$/\1/p' "$debug_log" | tr -d '\r')
(( ${#lines[@]} > 0 )) || fail "no debugger lines captured"
stamp="\\[[01][0-9]/[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]'[0-9]{3}\\] \\[ZEFOFPSERVICE\\] \\[ZEFO Service\\] "
messages=""
for line in "${lines[@]}"; do
  [[ "$line" =~ ^${stamp}(.*)\\r\\n$ ]] || fail "debugger line format: $line"
  messages+="${BASH_REMATCH[1]}"$'\n'
done
# Each run, after the stamp and the shared log step's own prefix: the settings
# warning (ServicePollingTime is not set), then entry and exit.
run_messages=(
  '[ZEFO Service] ServicePollingTime = 0, Set ServicePollingTime default value = 2'
  '[ZEFO Service] Enter wmain...'
  '[ZEFO Service] Eixt wmain...'
)
expected_messages="$(for _ in 1 2 3 4; do printf '%s\n' "${run_messages[@]}"; done)"
expect_eq "$expected_messages" "${messages%$'\n'}" "debugger messages of four runs"

# The message table, as the event log reads it: ID 14000 exactly (severity,
# customer and facility bits clear) gives the second insertion string.
format_message="$WIN64_BUILD/tools/win32/FormatMessage.exe"
for message in '[ZEFO Service] Enter wmain...' $'[ZEFO Service] Service failed to run w/err 0x00000427\n' '100% [ZEFO Service] %1 %%'; do
  text="$(wine "$format_message" "$win_exe" 14000 'ZEFO/Service' "$message"; printf x)" || fail "FormatMessageW 14000: ${text%x}"
  expect_eq "$message" "${text%x}" "message table entry 14000"
done
for id in 0x400036B0 0xC00036B0 0x200036B0 0x0FFF36B0 13999; do
  text="$(wine_run "$format_message" "$win_exe" "$id" 'ZEFO/Service' 'message' || true)"
  expect_eq "error 317" "$text" "message table entry $id (ERROR_MR_MID_NOT_FOUND)"
done
echo "install and remove under Wine: passed"
