#!/usr/bin/env bash
# Builds the compiler twice (plain, and with AddressSanitizer + UBSan) and
# runs every test in both builds. Usage: tests/run.sh [plain|sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

run_build() {  # <dir> <cmake args...>
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

which=${1:-all}
if [[ $which == all || $which == plain ]]; then
  echo "== plain build"
  run_build build
fi
if [[ $which == all || $which == sanitize ]]; then
  echo "== sanitizer build (address, undefined)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_build build-asan -DVK_SANITIZE=ON -DVK_BENCH=OFF
fi
