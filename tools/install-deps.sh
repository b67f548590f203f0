#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ googletest libgtest-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine)
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
