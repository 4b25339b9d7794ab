#!/usr/bin/env bash
# Checks the Windows modules that ./build.sh leaves in build-win/bin: each exports its format's
# entry points and imports nothing but Windows system DLLs (no MinGW run-time to ship beside it).
set -euo pipefail
cd "$(dirname "$0")/../.."

objdump=x86_64-w64-mingw32-objdump
bin=${KORVANE_WIN_BIN:-build-win/bin}

# DLLs every Windows x86-64 machine has; names compared in lower case.
allowed="kernel32.dll user32.dll gdi32.dll opengl32.dll dwmapi.dll msvcrt.dll advapi32.dll
shell32.dll ole32.dll oleaut32.dll comdlg32.dll comctl32.dll shlwapi.dll uxtheme.dll imm32.dll
version.dll winmm.dll ws2_32.dll bcrypt.dll"

failed=0
fail() { echo "FAIL: $*"; failed=1; }

check() {
  local module=$1; shift
  if [ ! -f "$module" ]; then
    fail "$module is missing (run ./build.sh)"
    return
  fi
  local dump
  dump=$("$objdump" -p "$module")

  local exports
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] //p')
  for symbol in "$@"; do
    grep -qx "$symbol" <<<"$exports" || fail "$module does not export $symbol"
  done

  local dll
  while read -r dll; do
    [ -n "$dll" ] || continue
    grep -qiwF "$(tr '[:upper:]' '[:lower:]' <<<"$dll")" <<<"$allowed" || fail "$module imports $dll"
  done < <(sed -n 's/^\s*DLL Name: //p' <<<"$dump")

  echo "$module: exports $(tr '\n' ' ' <<<"$exports")| imports $(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr '\n' ' ')"
}

check "$bin/Korvane.vst3/Contents/x86_64-win/Korvane.vst3" GetPluginFactory InitDll ExitDll
check "$bin/Korvane.clap" clap_entry

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "Windows modules: exports and imports as expected"
