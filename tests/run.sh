#!/usr/bin/env bash
# Builds the compiler twice (plain, and with AddressSanitizer + UBSan) and
# runs every test in both builds, then runs the actor cases under
# ThreadSanitizer and on a cluster of vkvm nodes.
# Usage: tests/run.sh [plain|sanitize|threads|cluster]
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
# Generated programs hunting runtime faults, a few hundred per build, each
# run plainly and with the collector stressed. The seeds are fixed, so a
# fault reported here is reproduced by `tests/gen/hunt.sh --seed N --count 1`.
hunt_generated() {  # <build dir> <count>
  local avoid
  avoid=$(sed -n 's/^\([a-z0-9-]*\):.*/\1/p' tests/gen/held_back.txt | paste -sd, -)
  tests/gen/hunt.sh --bin-dir "$1" --seed 1 --count "$2" --avoid "$avoid" --keep "$1/hunt-faults" --quiet
}
if [[ $which == all || $which == plain ]]; then
  echo "== generated programs (plain build)"
  hunt_generated build 400
fi
if [[ $which == all || $which == sanitize ]]; then
  echo "== generated programs (sanitizer build)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    hunt_generated build-asan 250
fi

if [[ $which == all || $which == threads ]]; then
  # Actors run on worker threads: their cases and examples under ThreadSanitizer.
  echo "== thread sanitizer build (actors)"
  cmake -S . -B build-tsan -G Ninja -DVK_TSAN=ON -DVK_BENCH=OFF >/dev/null
  cmake --build build-tsan -j"$jobs" --target vkc vkvm golden_runner
  export TSAN_OPTIONS=halt_on_error=1:exitcode=66
  build-tsan/tests/golden_runner --bin-dir build-tsan --root tests/golden vmlib/actor_pipeline bc_tables/run_variants
  for example in bank_actors.vk typing_orders.vk modules_chat; do
    sh tests/examples/run_example.sh build-tsan/vkc "examples/$example"
  done
fi
if [[ $which == all || $which == cluster ]]; then
  # Actors spread over vkvm nodes through a local nats-server.
  echo "== cluster build (actors across nodes)"
  cmake -S . -B build-cluster -G Ninja -DVK_CLUSTER=ON -DVK_BENCH=OFF >/dev/null
  cmake --build build-cluster -j"$jobs" --target vkc vkvm
  tests/cluster/run.sh build-cluster
fi
