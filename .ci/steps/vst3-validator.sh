#!/usr/bin/env bash
# Runs Steinberg's VST3 validator (extended suite) on the Linux VST3 module, and its Windows build
# under wine on the Windows module. Any failed test fails the step, and so does anything the
# plug-in prints on stderr during the Linux run other than the rate adapter's and resampler's own
# warning lines. The validators live beside the checkout (../shared/tools/validators); without
# them the step says so and passes.
set -euo pipefail
cd "$(dirname "$0")/../.."

validators=../shared/tools/validators
module=${KORVANE_VST3_MODULE:-build/bin/Korvane.vst3}
bin=${KORVANE_WIN_BIN:-build-win/bin}

if [ ! -d "$validators" ]; then
  echo "SKIPPED: vst3-validator not run, $validators is absent"
  exit 0
fi

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# "Result: N tests passed, M tests failed" with M = 0 and N > 0.
passed() { grep -qE '^Result: [1-9][0-9]* tests passed, 0 tests failed$' <<<"$1"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- Linux

linux=$validators/linux/vst3-validator
if [ ! -x "$linux" ]; then
  fail "$linux is missing or not executable"
elif [ ! -d "$module" ]; then
  fail "$module is missing (run ./build.sh)"
else
  rc=0
  "$linux" -e "$module" > "$work/linux.out" 2> "$work/linux.err" || rc=$?
  result=$(grep -E '^Result: ' "$work/linux.out" | tail -n 1 || true)
  if [ "$rc" -ne 0 ] || ! passed "$result"; then
    grep -B 30 -F '[XXXXXXX Failed]' "$work/linux.out" || tail -n 40 "$work/linux.out"
    fail "vst3-validator on $module: ${result:-no Result line} (exit status $rc)"
  else
    echo "vst3-validator on $module: $result"
  fi

  # Warnings the engine prescribes: a host rate with a fractional part (resampler), and a
  # block the rate adapter could not fill (it holds its last sample).
  sed 's/\x1b\[[0-9;]*m//g' "$work/linux.err" |
    grep -vE '^Expected long-like sample rate; got .* instead! Truncating\.\.\.$' |
    grep -vE '^Did not yield enough samples \([0-9]+\) to provide the required output buffer \(expected[0-9]+\)! Filling with last sample\.\.\.$' \
    > "$work/linux.other" || true
  if [ -s "$work/linux.other" ]; then
    echo "stderr during the run, other than the prescribed warnings (count, line):"
    sort "$work/linux.other" | uniq -c | sort -rn | head -n 20
    fail "the plug-in printed $(wc -l < "$work/linux.other") other line(s) on stderr during the Linux run"
  else
    echo "stderr during the Linux run: $(wc -l < "$work/linux.err") line(s), all prescribed warnings"
  fi
fi

# --- Windows, under wine

windows=$validators/windows/vst3-validator.exe
wine=$(command -v wine64 || true)
if [ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
fi
if [ ! -f "$windows" ]; then
  fail "$windows is missing"
elif [ -z "$wine" ]; then
  fail "wine64 is not installed (packages.txt lists it)"
elif [ ! -f "$bin/Korvane.vst3/Contents/x86_64-win/Korvane.vst3" ]; then
  fail "$bin/Korvane.vst3 is missing (run ./build.sh)"
else
  # The prefix is kept beside the binaries: its first start takes a minute or two.
  export WINEPREFIX WINEDEBUG=-all
  mkdir -p "$bin/../wine-vst3-validator"
  WINEPREFIX="$(cd "$bin/../wine-vst3-validator" && pwd)/prefix"
  [ -d "$WINEPREFIX" ] || "$wine" wineboot -i > /dev/null 2>&1 || true
  # Windows path of the bundle; wine maps a relative one through the current directory.
  target="${bin//\//\\}\\Korvane.vst3"
  start=$(date +%s)
  # Under wine the exit status is not reliable: the Result line is the verdict.
  "$wine" "$windows" -e "$target" 2> "$work/windows.err" | tr -d '\r' > "$work/windows.out" || true
  result=$(grep -E '^Result: ' "$work/windows.out" | tail -n 1 || true)
  if ! passed "$result"; then
    grep -B 30 -F '[XXXXXXX Failed]' "$work/windows.out" || tail -n 40 "$work/windows.out"
    tr -d '\r' < "$work/windows.err" | tail -n 20
    fail "vst3-validator.exe on $target under wine: ${result:-no Result line}"
  else
    echo "vst3-validator.exe on $target under wine: $result ($(( $(date +%s) - start )) s)"
  fi
fi

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "VST3 validators: no test failed"
