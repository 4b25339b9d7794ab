#!/usr/bin/env bash
# Fuzzes the model loader for two minutes from the committed seed documents; any crash,
# leak or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_FUZZ=ON -DKORVANE_TESTS=OFF
jobs=$(nproc); [ "$jobs" -le 4 ] || jobs=4
cmake --build build-fuzz --target nam_fuzz -j "$jobs"

# New inputs go to a scratch corpus so the committed seeds stay as they are.
work=build-fuzz/nam-fuzz-corpus
mkdir -p "$work"
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ./build-fuzz/bin/nam_fuzz -max_total_time=120 -max_len=65536 -timeout=20 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build-fuzz/ "$work" nam/fuzz/corpus
