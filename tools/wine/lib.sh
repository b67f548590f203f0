# Shared steps of the Wine runs: a throwaway 64-bit prefix whose server stays
# alive for the whole run, and is stopped and removed at the end; the
# programs copied into a folder of their own; the service's debugger lines;
# polling for a state. Source it, then call wine_prefix_up.

WINE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
WIN64_BUILD="$WINE_ROOT/build/win64"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

expect_eq() {  # expected actual what
  if [[ "$1" != "$2" ]]; then
    printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$3" "$1" "$2" >&2
    exit 1
  fi
}

require_built() {  # programs...
  local program
  for program in "$@"; do
    [[ -f "$program" ]] || fail "build the win64 preset first: $program is missing"
  done
}

# Polls a condition (a command) for up to about 20 s.
wait_until() {  # what command...
  local what="$1"
  shift
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.1
  done
  fail "timed out waiting for $what"
}

wine_prefix_down() {
  if [[ -n "${WINEPREFIX:-}" && -d "$WINEPREFIX" ]]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
}

# Creates the prefix and starts a persistent server: Debian's wrapper would
# otherwise end the server, and every service process, about a second after
# the last ordinary wine process exits.
wine_prefix_up() {
  export WINEARCH=win64
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY
  mkdir -p "$WINE_ROOT/build"
  WINEPREFIX="$(mktemp -d "$WINE_ROOT/build/wine-XXXXXX")"
  export WINEPREFIX
  trap wine_prefix_down EXIT
  wine wineboot -i >/dev/null 2>&1 || fail "wineboot"
  # The server wineboot started must end before a persistent one can start.
  wineserver -w
  wineserver -p || fail "wineserver -p"
  WINE_C="$WINEPREFIX/drive_c"
}

# Runs a Windows program with a time limit; its stdout with CRLF folded.
wine_run() {
  timeout 60 wine "$@" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# Copies programs into C:\NAME, a folder of the run's own: its name tells the
# run's service processes apart. Sets INSTALL_DIR_NAME, INSTALL_DIR (Unix
# path), WIN_DIR (Windows path) and DEBUG_LOG (where the service's debugger
# lines go once start_service_manager has run).
install_programs() {  # name programs...
  INSTALL_DIR_NAME="$1"
  shift
  INSTALL_DIR="$WINE_C/$INSTALL_DIR_NAME"
  WIN_DIR="C:\\$INSTALL_DIR_NAME"
  DEBUG_LOG="$WINEPREFIX/debug.log"
  mkdir -p "$INSTALL_DIR"
  cp "$@" "$INSTALL_DIR/"
}

service_process_gone() {
  ! pgrep -f "$INSTALL_DIR_NAME" >/dev/null
}

# The first wine command after the persistent server starts the service
# manager: it and every service inherit its WINEDEBUG and stderr, so the
# services' debugger lines (warn+seh) go to DEBUG_LOG from then on.
start_service_manager() {  # wine arguments...
  WINEDEBUG=warn+seh wine "$@" >/dev/null 2>>"$DEBUG_LOG" || fail "wine $*"
}

# The service's debugger lines after the component tag, in order; messages
# of the shared log step carry its own "[ZEFO Service] " prefix as well.
debug_messages() {
  sed -n 's/.*OutputDebugStringA "\[[^]]*\] \[ZEFOFPSERVICE\] \(.*\)\\r\\n".*/\1/p' "$DEBUG_LOG"
}

service_state() {  # service
  wine_run sc query "$1" | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}
in_state() {  # service state
  [[ "$(service_state "$1")" == "$2" ]]
}

# Under Wine, -install refuses every folder: Wine reports every file as owned
# by the prefix's user, with full control for that user (it keeps no file
# descriptors; it makes them from Unix modes). The runs that need the service
# registered register it as -install does, through Wine's sc.
register_service() {  # windows path of the executable
  wine_run sc create ZEFOTestService binPath= "\"$1\"" start= auto DisplayName= ZEFO_Test_Service >/dev/null ||
    fail "sc create ZEFOTestService"
}

# What -install prints under Wine, for the executable at this Windows path.
refused_under_wine() {  # windows path of the executable
  printf '%s' "ZEFOTestService is not installed: $1 is owned by S-1-5-21-0-0-0-1000." \
    " Copy ZefoFpService.exe into a folder under Program Files, which only administrators may change," \
    " and run -install from there."
}
