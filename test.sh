#!/usr/bin/env bash
# Runs every test: the unit and host tests of the release build, the same again built with
# AddressSanitizer and UndefinedBehaviorSanitizer, then the steps in .ci/steps: the official
# CLAP and VST3 validators on the modules (skipped, and said so, when ../shared/tools/validators
# is absent), a bounded fuzz run of the model loader, and the checks of the Windows modules,
# also under wine. Run ./build.sh first on a new machine.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
werror=${KORVANE_WERROR:-OFF}

echo "== release build: unit and host tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKORVANE_WERROR="$werror"
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 900

echo "== ASan+UBSan build: unit and host tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=ON -DKORVANE_WERROR="$werror"
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 1800 -LE no-sanitize

for extra in .ci/steps/*.sh; do
  [ -e "$extra" ] || continue
  echo "== $extra"
  bash "$extra"
done
echo "== all tests passed"
