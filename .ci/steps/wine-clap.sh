#!/usr/bin/env bash
# Loads the Windows CLAP module under wine through the Windows build of the project's CLAP host,
# as a Windows DAW would, and renders a second of audio: the module must load, report its
# identity and latency, and produce finite dual-mono sound. Then the state goes through streams
# that take and hand over 1, 7, 100 and 511 bytes per call and must bring back all six values.
set -euo pipefail
cd "$(dirname "$0")/../.."

bin=${KORVANE_WIN_BIN:-build-win/bin}
wine=$(command -v wine64 || true)
if [ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
fi
[ -n "$wine" ] || { echo "FAIL: wine64 is not installed (packages.txt lists it)"; exit 1; }
for f in "$bin/clap-host.exe" "$bin/Korvane.clap"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing (run ./build.sh)"; exit 1; }
done

# Work beside the binaries, in relative paths: wine resolves them through its drive mapping.
work="$bin/../wine-clap"
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX
WINEPREFIX="$(cd "$work" && pwd)/prefix"
export WINEDEBUG=-all

python3 - "$work/in.f32" <<'PY'
import array, math, sys
rate = 44100
x = array.array('f')
for i in range(rate):
    t = i / rate
    x.append(0.4 * math.sin(2 * math.pi * 55 * t) + 0.1 * math.sin(2 * math.pi * 165 * t))
    x.append(0.3 * math.sin(2 * math.pi * 55 * t))
with open(sys.argv[1], 'wb') as f:
    x.tofile(f)
PY

start=$(date +%s)
"$wine" "$bin/clap-host.exe" "$bin/Korvane.clap" --rate 44100 --block 512 --set 0=0.5 \
  --render "$work/in.f32" "$work/out.f32" > "$work/log.crlf" 2>&1 || { cat "$work/log.crlf"; echo "FAIL: clap-host.exe failed"; exit 1; }
tr -d '\r' < "$work/log.crlf" > "$work/log"
cat "$work/log"
grep -q '^name        Korvane$' "$work/log" || { echo "FAIL: wrong plug-in name"; exit 1; }
grep -q '^latency     27 at 44100 Hz$' "$work/log" || { echo "FAIL: latency at 44100 Hz is not 27"; exit 1; }

python3 - "$work/in.f32" "$work/out.f32" <<'PY'
import array, math, sys
a = array.array('f'); b = array.array('f')
with open(sys.argv[1], 'rb') as f: a.frombytes(f.read())
with open(sys.argv[2], 'rb') as f: b.frombytes(f.read())
assert len(a) == len(b), "output length %d, input %d" % (len(b), len(a))
assert all(math.isfinite(v) for v in b), "output is not finite"
assert all(b[i] == b[i + 1] for i in range(0, len(b), 2)), "output is not dual-mono"
rms = math.sqrt(sum(v * v for v in b[0::2]) / (len(b) / 2))
assert rms > 1e-4, "output is silent (rms %g)" % rms
print("wine: %d frames rendered, rms %.4f" % (len(b) // 2, rms))
PY

for chunk in 1 7 100 511; do
  "$wine" "$bin/clap-host.exe" "$bin/Korvane.clap" --set 0=0.6 --set 1=0.3 --set 2=7.5 --set 3=0.7 \
    --set 4=1 --set 5=-45.5 --state-chunk "$chunk" > "$work/state.crlf" 2>&1 \
    || { tr -d '\r' < "$work/state.crlf"; echo "FAIL: state round trip in $chunk-byte pieces"; exit 1; }
  line=$(tr -d '\r' < "$work/state.crlf" | grep '^state ' || true)
  grep -q "in $chunk-byte pieces: 6 values restored$" <<<"$line" \
    || { tr -d '\r' < "$work/state.crlf"; echo "FAIL: no state round trip in $chunk-byte pieces"; exit 1; }
  echo "wine: $line"
done
echo "Windows CLAP module under wine: loaded, processed and its state restored in $(( $(date +%s) - start )) s"
rm -rf "$work"
