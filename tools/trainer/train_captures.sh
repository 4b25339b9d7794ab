#!/usr/bin/env bash
# Trains captures one after the other, each into OUT/dist-X.XX.nam, with a time budget each.
#   train_captures.sh DATA OUT MINUTES CAPTURE...
# DATA is what `capture-rig signals` and `capture-rig record` made; NAM_RENDER (optional) is
# the nam-render binary that measures the held-out ESR of each exported file.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
data="$1"; out="$2"; minutes="$3"; shift 3
positions=(0.20 0.35 0.50 0.70 0.80 1.00)
mkdir -p "$out"
for capture in "$@"; do
  /usr/bin/python3 "$here/train.py" train --data "$data" --capture "$capture" \
    --out "$out/dist-${positions[$capture]}.nam" --workdir "$out" --minutes "$minutes" \
    --steps 100000 --lite-steps 100000 --threads "${THREADS:-2}" \
    ${NAM_RENDER:+--nam-render "$NAM_RENDER"}
done
