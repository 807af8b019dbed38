#!/usr/bin/env bash
# Timing run: builds a Release tree, generates the sample programs into
# bench/out/, runs the Google benchmarks, then times whole runs of the driver
# and prints a table.
#
#   bench/run.sh [--no-bench] [--repeat N] [--modes "dump-tokens ..."]
#
# Environment: BUILD_DIR (default build-release), JOBS (default 2).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-release}
out=$here/out
jobs=${JOBS:-2}

# Driver modes to time: name and the vkc arguments before the input path.
# A new mode is one more line here and its name in mode_order.
declare -A mode_args=(
  [dump-tokens]="--dump-tokens"
  [dump-ast]="--dump-ast"
  [check]=""
  [dump-owner]="--dump-owner"
)
mode_order=(dump-tokens dump-ast check dump-owner)

# Inputs of the whole-command runs: name, then path under bench/out/.
inputs=(100k:100k.vk 100k-modules:100k-modules 1m:1m.vk)

run_bench=1
repeat=3
while [[ $# -gt 0 ]]; do
  case $1 in
    --no-bench) run_bench=0 ;;
    --repeat) repeat=$2; shift ;;
    --modes) read -r -a mode_order <<< "$2"; shift ;;
    *) echo "usage: bench/run.sh [--no-bench] [--repeat N] [--modes \"dump-tokens ...\"]" >&2; exit 2 ;;
  esac
  shift
done
for mode in "${mode_order[@]}"; do
  [[ -v mode_args[$mode] ]] || { echo "run.sh: unknown mode '$mode' (known: ${!mode_args[*]})" >&2; exit 2; }
done

echo "== build ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
bench_targets=()
for source in "$here"/*_bench.cpp; do
  [[ -e $source ]] && bench_targets+=("$(basename "$source" .cpp)")
done
if ! grep -q "^build bench/${bench_targets[0]:-none}:" "$build/build.ninja" 2> /dev/null; then
  bench_targets=()  # Google Benchmark not installed: the benchmarks are not configured
fi
cmake --build "$build" -j"$jobs" --target vkc vkgen "${bench_targets[@]}"

echo "== sample programs ($out)"
mkdir -p "$out"
"$build/vkgen" --lines 10000 "$out/10k.vk"
"$build/vkgen" --lines 100000 "$out/100k.vk"
"$build/vkgen" --lines 1000000 "$out/1m.vk"
rm -rf "$out/100k-modules"
"$build/vkgen" --lines 100000 --modules 8 "$out/100k-modules"

if [[ $run_bench == 1 ]]; then
  for target in "${bench_targets[@]}"; do
    echo "== $target"
    "$build/bench/$target" --benchmark_min_time=1
  done
fi

echo "== whole-command runs (best of $repeat)"
# Wall time suffers when other jobs share the machine; user+sys CPU time
# ("cpu s") is the steadier figure then.
printf '%-12s %-13s %9s %7s %8s %8s %8s %8s %6s\n' mode input lines MB "wall s" "cpu s" "MB/s" "peak MB" status
for mode in "${mode_order[@]}"; do
  for entry in "${inputs[@]}"; do
    name=${entry%%:*}
    path=$out/${entry#*:}
    lines=$(find "$path" -name '*.vk' -exec cat {} + | wc -l)
    bytes=$(find "$path" -name '*.vk' -exec cat {} + | wc -c)
    best=""
    best_cpu=""
    peak=0
    status=0
    for ((i = 0; i < repeat; i++)); do
      start=$(date +%s%N)
      # shellcheck disable=SC2086 # mode arguments are words on purpose
      /usr/bin/time -v -o "$out/time.txt" "$build/vkc" ${mode_args[$mode]} "$path" > /dev/null 2> "$out/stderr.txt" || status=$?
      end=$(date +%s%N)
      wall=$(( (end - start) / 1000 ))  # microseconds
      [[ -z $best || $wall -lt $best ]] && best=$wall
      cpu=$(awk -F': ' '/User time|System time/ { sum += $2 } END { printf "%d", sum * 1e6 }' "$out/time.txt")
      [[ -z $best_cpu || $cpu -lt $best_cpu ]] && best_cpu=$cpu
      rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$out/time.txt")
      (( rss > peak )) && peak=$rss
    done
    awk -v mode="$mode" -v input="$name" -v lines="$lines" -v bytes="$bytes" -v us="$best" -v cpu="$best_cpu" \
        -v kb="$peak" -v status="$status" 'BEGIN {
      printf "%-12s %-13s %9d %7.1f %8.3f %8.3f %8.1f %8.1f %6d\n",
             mode, input, lines, bytes / 1e6, us / 1e6, cpu / 1e6, bytes / us, kb / 1024, status
    }'
  done
done
rm -f "$out/time.txt" "$out/stderr.txt"
