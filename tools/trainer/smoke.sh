#!/usr/bin/env bash
# End to end in well under a minute: rig signals, a quick recording of the Dist 1.0 capture,
# a few training steps of both networks, export through the model writer, and the exported
# file run through nam-render, which must agree with the trainer's own forward pass.
#   smoke.sh CAPTURE_RIG NAM_RENDER WORKDIR
set -euo pipefail
rig="$1"; render="$2"; work="$3"
here="$(cd "$(dirname "$0")" && pwd)"
python="${PYTHON:-/usr/bin/python3}"
rm -rf "$work"; mkdir -p "$work"
"$rig" signals "$work" > /dev/null
"$rig" record "$work" --quick 5
"$python" "$here/train.py" train --data "$work" --capture 5 --input-set smoke \
  --out "$work/smoke.nam" --steps 3 --lite-steps 2 --segment 2048 --batch 2 --no-eval
"$python" "$here/train.py" check --model "$work/smoke.nam" --input "$work/smoke-in.f64" --nam-render "$render"
"$python" "$here/train.py" esr --model "$work/smoke.nam" --input "$work/smoke-in.f64" \
  --target "$work/capture-5-smoke.f64" --nam-render "$render"
