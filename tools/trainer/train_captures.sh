#!/usr/bin/env bash
# Trains captures one after the other, each into OUT/dist-X.XX.nam, with a time budget each.
#   train_captures.sh DATA OUT MINUTES CAPTURE...
# DATA is what `capture-rig signals` and `capture-rig record` made. NAM_RENDER (optional) is
# the nam-render binary that measures the held-out ESR of each exported file. DEADLINE
# (optional, seconds since the epoch) shortens a capture's budget so that it, its export and
# its evaluation end by then; a capture that would get under five minutes is skipped.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
data="$1"; out="$2"; minutes="$3"; shift 3
positions=(0.20 0.35 0.50 0.70 0.80 1.00)
reserve=3  # minutes for the export and the held-out evaluation
mkdir -p "$out"
for capture in "$@"; do
  budget="$minutes"
  if [ -n "${DEADLINE:-}" ]; then
    left=$(( (DEADLINE - $(date +%s)) / 60 - reserve ))
    [ "$left" -lt "$budget" ] && budget="$left"
    if [ "$budget" -lt 5 ]; then
      echo "capture $capture skipped: ${left} minutes left before the deadline"
      continue
    fi
  fi
  "${PYTHON:-/usr/bin/python3}" "$here/train.py" train --data "$data" --capture "$capture" \
    --out "$out/dist-${positions[$capture]}.nam" --workdir "$out" --minutes "$budget" \
    --steps 100000 --lite-steps 100000 --threads "${THREADS:-2}" \
    ${NAM_RENDER:+--nam-render "$NAM_RENDER"}
done
