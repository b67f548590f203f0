#!/usr/bin/env bash
# The release package the win64 build makes (cmake --build --preset win64
# --target package): exactly the executable, the trace message format file
# and the install text, the executable being the one the Wine runs test.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

name=ZefoFpService-5.2.12011.20006-win64
zip="build/win64/$name.zip"
tmf=60c4d1e7-d069-acde-9109-2609356fa609.tmf
[[ -f "$zip" ]] || fail "$zip not built (cmake --build --preset win64 --target package)"

listing="$(cmake -E tar tf "$zip" | sort)"
expected="$(printf '%s\n' "$name/$tmf" "$name/INSTALL.txt" "$name/ZefoFpService.exe")"
[[ "$listing" == "$expected" ]] || fail "$zip holds"$'\n'"$listing"$'\n'"instead of"$'\n'"$expected"

unpacked="$(mktemp -d build/win64/package-check-XXXXXX)"
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "../$name.zip")
cmp -s "$unpacked/$name/ZefoFpService.exe" build/win64/ZefoFpService.exe || fail "packaged executable is not build/win64's"
cmp -s "$unpacked/$name/$tmf" "diag/$tmf" || fail "packaged $tmf differs from diag/$tmf"
install_text="$unpacked/$name/INSTALL.txt"
grep -q '^ZEFO fingerprint sensor service 5\.2\.12011\.20006, 64-bit Windows'$'\r''$' "$install_text" ||
  fail "INSTALL.txt lacks its versioned first line with a CRLF line end"
for step in '-install' 'sc query ZEFOTestService' 'sc start ZEFOTestService' 'Program Files' 'ServicePollingTime' \
  'DisabledDevices' 'reg delete' 'Event Viewer' 'tracelog -start' 'tracefmt' 'logman start' 'tracerpt' '-remove'; do
  grep -qF -- "$step" "$install_text" || fail "INSTALL.txt says nothing of $step"
done

exe_size=$(stat -c %s build/win64/ZefoFpService.exe)
zip_size=$(stat -c %s "$zip")
(( exe_size < 400 * 1024 )) || fail "ZefoFpService.exe is $exe_size bytes, over 400 KB"
echo "release package $zip: $zip_size bytes; ZefoFpService.exe $exe_size bytes: passed"
