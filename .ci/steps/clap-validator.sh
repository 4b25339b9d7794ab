#!/usr/bin/env bash
# Runs the CLAP community's clap-validator on the Linux CLAP module. Any failed or crashed test
# fails the step; warnings are printed and left to be read. The validators live beside the
# checkout (../shared/tools/validators); without them the step says so and passes.
set -euo pipefail
cd "$(dirname "$0")/../.."

validators=../shared/tools/validators
validator=$validators/linux/clap-validator
module=${KORVANE_CLAP_MODULE:-build/bin/Korvane.clap}

if [ ! -d "$validators" ]; then
  echo "SKIPPED: clap-validator not run, $validators is absent"
  exit 0
fi
[ -x "$validator" ] || { echo "FAIL: $validator is missing or not executable"; exit 1; }
[ -f "$module" ] || { echo "FAIL: $module is missing (run ./build.sh)"; exit 1; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
rc=0
"$validator" validate "$module" > "$log" 2>&1 || rc=$?
sed 's/\x1b\[[0-9;]*m//g' "$log" > "$log.plain" && mv "$log.plain" "$log"

summary=$(grep -E '^[0-9]+ tests run, ' "$log" | tail -n 1 || true)
if [ -z "$summary" ]; then
  cat "$log"
  echo "FAIL: clap-validator printed no summary (exit status $rc)"
  exit 1
fi

# Each test's verdict closes its block: "└── PASSED ─ 12ms", "└── FAILED ─ ...", "└── CRASHED ..."
bad=$(grep -cE '└── (FAILED|CRASHED)' "$log" || true)
failed=$(sed -nE 's/.* ([0-9]+) failed.*/\1/p' <<<"$summary")
if [ "$rc" -ne 0 ] || [ "$bad" -ne 0 ] || [ "${failed:-1}" -ne 0 ]; then
  cat "$log"
  echo "FAIL: clap-validator on $module: $summary (exit status $rc)"
  exit 1
fi

# Warnings with their reasons, for the log.
awk '/^│ ┌─ /{name=$3; n=0; delete text} /^│ │ │ /{sub(/^│ │ │ /,""); text[n++]=$0}
     /└── WARNING/{printf "warning: %s:", name; for (i = 0; i < n; i++) printf " %s", text[i]; print ""}' "$log"
echo "clap-validator on $module: $summary"
