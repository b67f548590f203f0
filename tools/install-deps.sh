#!/usr/bin/env bash
# Installs the Debian packages a job needs, when missing: "sim" (the
# simulated machine: cmake, ninja, g++, GoogleTest, RE2 for the scenario
# checker's patterns) or "all" (the Windows build and the Wine runs too:
# mingw-w64 and Wine, about 900 MB more).
set -euo pipefail
packages=(cmake ninja-build g++ googletest libgtest-dev pkg-config libre2-dev)
case "${1:-all}" in
  sim) ;;
  all) packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine) ;;
  *) echo "usage: $0 [sim|all]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi
