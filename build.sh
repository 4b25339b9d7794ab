#!/usr/bin/env bash
# Installs what is missing (Debian 12, needs root or sudo) and builds both plug-in modules
# for Linux into build/bin, and for Windows into build-win/bin.
set -euo pipefail
cd "$(dirname "$0")"

mapfile -t pkgs < <(grep -v -E '^\s*(#|$)' packages.txt)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The host tests restore saved sessions under a comma-decimal locale, as a German host would.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE\.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen > /dev/null
  $sudo locale-gen
fi

jobs=$(nproc)
werror=${KORVANE_WERROR:-OFF}   # CI sets ON: warnings in the project's own code fail the build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKORVANE_WERROR="$werror"
cmake --build build -j "$jobs"

cmake -S . -B build-win -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF -DKORVANE_WERROR="$werror" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
cmake --build build-win -j "$jobs"
