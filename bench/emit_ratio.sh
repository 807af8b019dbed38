#!/usr/bin/env bash
# Image compilation against the check: times `vkc PATH` and
# `vkc --emit PATH -o IMAGE` of generated programs alternately and prints,
# per input, the best and median CPU seconds (user+sys) of each, their
# ratios, the ratio of the median user seconds alone (the system time of an
# image compile includes writing the image and replacing the old one), peak
# resident memory and the image size.
#
#   bench/emit_ratio.sh [--repeat N] [--lines "100000 600000"] [--no-build]
#
# Each sample is ten runs in a row (the clock counts hundredths of a second);
# the figures are per run. Alternating the two kinds of sample and reading the
# best and the median keeps a busy machine from favouring either side.
# Environment: BUILD_DIR (default build-release), JOBS (default 2).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-release}
out=$here/out/emit_ratio
jobs=${JOBS:-2}
repeat=5
lines=(100000 600000)
build_it=1
while [[ $# -gt 0 ]]; do
  case $1 in
    --repeat) repeat=$2; shift ;;
    --lines) read -r -a lines <<< "$2"; shift ;;
    --no-build) build_it=0 ;;
    *) echo "usage: bench/emit_ratio.sh [--repeat N] [--lines \"N ...\"] [--no-build]" >&2; exit 2 ;;
  esac
  shift
done

if [[ ! -x /usr/bin/time ]]; then
  apt-get update -qq > /dev/null && apt-get install -y -qq time > /dev/null
fi
if [[ $build_it == 1 ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build "$build" -j "$jobs" --target vkc vkgen > /dev/null
fi
mkdir -p "$out"

# One sample of ten runs: prints "cpu_seconds_per_run peak_mb user_seconds_per_run".
measure() {
  /usr/bin/time -f "%U %S %M" -o "$out/time.txt" \
    sh -c 'for i in 1 2 3 4 5 6 7 8 9 10; do "$@" > /dev/null 2> /dev/null; done' sh "$@"
  awk '{ printf "%.4f %.1f %.4f\n", ($1 + $2) / 10, $3 / 1024, $1 / 10 }' "$out/time.txt"
}

# Median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf "%-10s %-22s %-22s %-14s %-10s %-10s\n" "lines" "check best/median" "--emit best/median" "ratio best/med" "user ratio" "image"
for n in "${lines[@]}"; do
  src=$out/gen$n.vk
  [[ -f $src ]] || "$build/vkgen" --lines "$n" "$src"
  : > "$out/check.txt"
  : > "$out/emit.txt"
  for ((i = 0; i < repeat; ++i)); do
    measure "$build/vkc" "$src" >> "$out/check.txt"
    measure "$build/vkc" --emit "$src" -o "$out/gen$n.vkb" >> "$out/emit.txt"
  done
  cb=$(cut -d' ' -f1 "$out/check.txt" | sort -n | head -1)
  cm=$(cut -d' ' -f1 "$out/check.txt" | median)
  eb=$(cut -d' ' -f1 "$out/emit.txt" | sort -n | head -1)
  em=$(cut -d' ' -f1 "$out/emit.txt" | median)
  cmem=$(cut -d' ' -f2 "$out/check.txt" | sort -n | tail -1)
  emem=$(cut -d' ' -f2 "$out/emit.txt" | sort -n | tail -1)
  cu=$(cut -d' ' -f3 "$out/check.txt" | median)
  eu=$(cut -d' ' -f3 "$out/emit.txt" | median)
  size=$(stat -c %s "$out/gen$n.vkb")
  printf "%-10s %-22s %-22s %-14s %-10s %-10s\n" "$n" "$cb/$cm s ${cmem} MB" "$eb/$em s ${emem} MB" \
    "$(awk -v a="$eb" -v b="$cb" -v c="$em" -v d="$cm" 'BEGIN { printf "%.2f/%.2f", a / b, c / d }')" \
    "$(awk -v a="$eu" -v b="$cu" 'BEGIN { printf "%.2f", a / b }')" \
    "$(awk -v s="$size" 'BEGIN { printf "%.2f MB", s / 1048576 }')"
done
