#!/usr/bin/env bash
# Scale run: times the full check of generated programs (`vkc PATH`) against
# `luac5.4 -o` of the same program written in Lua, alternately, and prints
# three tables (one file, many files in many modules, the syntax-tree dump)
# and the per-pass profile of the largest inputs.
#
#   bench/scale.sh [--repeat N] [--quick] [--no-build]
#
# --quick uses inputs ten times smaller; --no-build takes vkc, vktwin and
# vkpasses as they are in BUILD_DIR.
#
# Environment: BUILD_DIR (default build-release), JOBS (default 2).
# Installs lua5.4 (and GNU time) with apt-get when they are missing.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-release}
out=$here/out/scale
jobs=${JOBS:-2}
repeat=3
quick=0
build_it=1
while [[ $# -gt 0 ]]; do
  case $1 in
    --repeat) repeat=$2; shift ;;
    --quick) quick=1 ;;
    --no-build) build_it=0 ;;
    *) echo "usage: bench/scale.sh [--repeat N] [--quick] [--no-build]" >&2; exit 2 ;;
  esac
  shift
done

if ! command -v luac5.4 > /dev/null || [[ ! -x /usr/bin/time ]]; then
  echo "== installing lua5.4 and time"
  apt-get update -qq > /dev/null && apt-get install -y -qq lua5.4 time > /dev/null
fi

if [[ $build_it == 1 ]]; then
  echo "== build ($build)"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build "$build" -j"$jobs" --target vkc vktwin vkpasses
fi

small=100000
large=1000000
[[ $quick == 1 ]] && small=10000 && large=100000
echo "== programs ($out)"
rm -rf "$out" && mkdir -p "$out"
"$build/vktwin" --lines $small "$out/small.vk" "$out/small.lua"
"$build/vktwin" --lines $large "$out/large.vk" "$out/large.lua"
"$build/vktwin" --lines $large --modules 100 --files 10 "$out/multi-vk" "$out/multi-lua"

# best_of CMD...: best wall seconds, best user+sys seconds and peak MB of
# `repeat` runs, as "wall cpu mb status".
measure() {
  local status=0
  /usr/bin/time -f "%e %U %S %M" -o "$out/time.txt" "$@" > /dev/null 2> "$out/stderr.txt" || status=$?
  awk -v s=$status '{ printf "%s %.3f %.1f %d\n", $1, $2 + $3, $4 / 1024, s }' "$out/time.txt"
}

# compare NAME VK_ARGS -- LUA_ARGS: runs both alternately, prints one row.
compare() {
  local name=$1 vk_args=$2 lua_args=$3
  local vk_best="" lua_best="" vk_row lua_row
  for ((i = 0; i < repeat; i++)); do
    # shellcheck disable=SC2086 # argument lists are words on purpose
    vk_row=$(measure "$build/vkc" $vk_args)
    # shellcheck disable=SC2086
    lua_row=$(measure luac5.4 -o "$out/out.luac" $lua_args)
    vk_best=$(printf '%s\n%s\n' "$vk_row" "$vk_best" | awk 'NF' | sort -k2 -g | head -n1)
    lua_best=$(printf '%s\n%s\n' "$lua_row" "$lua_best" | awk 'NF' | sort -k2 -g | head -n1)
  done
  read -r vw vc vm vs <<< "$vk_best"
  read -r lw lc lm ls <<< "$lua_best"
  awk -v n="$name" -v vw="$vw" -v vc="$vc" -v vm="$vm" -v vs="$vs" -v lw="$lw" -v lc="$lc" -v lm="$lm" -v ls="$ls" \
    'BEGIN { printf "%-22s %7.2f %7.2f %8.1f %4d | %7.2f %7.2f %8.1f %4d | %6.2f %6.2f\n",
             n, vw, vc, vm, vs, lw, lc, lm, ls, (lc > 0 ? vc / lc : 0), (lm > 0 ? vm / lm : 0) }'
}

header() {
  echo
  echo "== $1 (best of $repeat; cpu = user+sys seconds)"
  printf '%-22s %7s %7s %8s %4s | %7s %7s %8s %4s | %6s %6s\n' input "vkc s" "cpu s" "peak MB" rc \
    "luac s" "cpu s" "peak MB" rc "cpu x" "mem x"
}

lines() { find "$1" -name "*.$2" -exec cat {} + | wc -l; }

header "one file: vkc (full check) against luac5.4 -o"
compare "$(lines "$out/small.vk" vk) lines" "$out/small.vk" "$out/small.lua"
compare "$(lines "$out/large.vk" vk) lines" "$out/large.vk" "$out/large.lua"

header "1000 files in 100 modules: vkc (full check) against luac5.4 -o"
# luac5.4 aborts (a double free) when given several files, so the Lua side
# compiles the same files joined into one.
find "$out/multi-lua" -name '*.lua' | sort | xargs cat > "$out/multi.lua"
compare "$(lines "$out/multi-vk" vk) lines" "$out/multi-vk" "$out/multi.lua"

header "syntax-tree dump: vkc --dump-ast against luac5.4 -o"
compare "$(lines "$out/large.vk" vk) lines" "--dump-ast $out/large.vk" "$out/large.lua"

for input in large.vk multi-vk; do
  echo
  echo "== passes of $input"
  "$build/vkpasses" "$out/$input"
done
rm -f "$out/time.txt" "$out/stderr.txt" "$out/out.luac"
