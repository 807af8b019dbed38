#!/usr/bin/env bash
# Runtime benchmarks: each velkan program of bench/vm/ on `vkvm` beside the
# same algorithm in Lua on `lua5.4`, run alternately, best of N, with a check
# that both print the same output, then a table of times and ratios.
#
#   bench/vm/run.sh [--repeat N] [--quick] [--only "fib nbody ..."]
#
# --quick runs small sizes (a smoke test of the programs and the script).
# Environment: BUILD_DIR (default build-release), JOBS (default 2).
# Installs lua5.4 and GNU time with apt-get when they are missing: this
# script is never part of the test suite.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$root/build-release}
[[ $build == /* ]] || build=$PWD/$build  # the programs run from $out
out=$here/out
peers=$here/peers
jobs=${JOBS:-2}

# name, size, quick size, Lua peer, kind, operations per unit of size (for
# the CPU time per operation).
# Kinds: race  - timed on both, counted in the geometric mean;
#        area  - timed on both, shown apart from the geometric mean;
#        check - the peer only prints the expected output (not timed).
# The size replaces the program's `const N`; the peer gets it as argument 1.
benchmarks=(
  "fib          32        20     fib.lua          race  0"
  "loop_sum     100000000 100000 loop_sum.lua     race  0"
  "nbody        1000000   1000   nbody.lua        race  0"
  "matrix_norm  500       100    matrix_norm.lua  race  0"
  "binarytrees  16        6      binarytrees.lua  race  0"
  "fannkuch     9         7      fannkuch.lua     race  0"
  "strings      1000000   10000  strings.lua      race  0"
  "hashmap      1000000   10000  hashmap.lua      race  2"
  "table_unique 1000000   10000  hashmap.lua      area  2"
  "query        100000    2000   query.lua        area  0"
  "actors       250000    1000   actors.lua       check 4"
  "json_decode  75000     100    gen_json.lua     check 0"
)

repeat=3
quick=0
only=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --repeat) repeat=$2; shift ;;
    --quick) quick=1 ;;
    --only) only=" $2 "; shift ;;
    *) echo "usage: bench/vm/run.sh [--repeat N] [--quick] [--only \"fib nbody ...\"]" >&2; exit 2 ;;
  esac
  shift
done

install_missing() {
  local missing=()
  command -v lua5.4 > /dev/null || missing+=(lua5.4)
  [[ -x /usr/bin/time ]] || missing+=(time)
  [[ ${#missing[@]} -eq 0 ]] && return
  echo "== installing ${missing[*]}"
  local sudo=""
  [[ $(id -u) -ne 0 ]] && sudo=sudo
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" > /dev/null
}
install_missing

echo "== build ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVK_BENCH=OFF > /dev/null
cmake --build "$build" -j"$jobs" --target vkc vkvm > /dev/null
vkc=$build/vkc
vkvm=$build/vkvm

mkdir -p "$out"

# timed FILE_PREFIX CMD...: runs CMD in $out with stdout and stderr captured,
# leaves "wall user sys peak_kb" in FILE_PREFIX.time and returns its status.
timed() {
  local prefix=$1
  shift
  local status=0
  (cd "$out" && /usr/bin/time -f "%e %U %S %M" -o "$prefix.time" "$@" > "$prefix.out" 2> "$prefix.err") || status=$?
  return $status
}

# best VAR VALUE: keeps the smaller of two decimal numbers in VAR.
best() {
  local name=$1 value=$2
  if [[ -z ${!name} ]] || awk -v a="$value" -v b="${!name}" 'BEGIN { exit !(a < b) }'; then
    printf -v "$name" '%s' "$value"
  fi
}

printf '%-13s %10s %9s %9s %9s %9s %7s %8s %11s  %s\n' \
  benchmark size "vkvm s" "cpu s" "lua s" "cpu s" ratio "peak MB" "ns/op" output
failures=0
ratios=()
for entry in "${benchmarks[@]}"; do
  read -r name size quick_size peer kind ops <<< "$entry"
  [[ -n $only && $only != *" $name "* ]] && continue
  [[ $quick == 1 ]] && size=$quick_size

  # The program with its size, and for json_decode the document it reads.
  sed "s/^const N = .*/const N = $size/" "$here/$name.vk" > "$out/$name.vk"
  if ! "$vkc" --emit "$out/$name.vk" -o "$out/$name.vkb" > "$out/$name.compile" 2>&1; then
    printf '%-13s %10s  does not compile: %s\n' "$name" "$size" "$(head -n 1 "$out/$name.compile")"
    failures=$((failures + 1))
    continue
  fi
  peer_args=("$size")
  [[ $name == json_decode ]] && peer_args+=(json_doc.json)

  vm_wall="" vm_cpu="" lua_wall="" lua_cpu="" peak=0 vm_ok=1
  if [[ $kind == check ]]; then
    timed "$out/$name.lua" lua5.4 "$peers/$peer" "${peer_args[@]}"
  fi
  for ((i = 0; i < repeat; i++)); do
    if ! timed "$out/$name.vm" "$vkvm" "$name.vkb"; then
      vm_ok=0
      break
    fi
    read -r wall user sys kb < "$out/$name.vm.time"
    best vm_wall "$wall"
    best vm_cpu "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')"
    ((kb > peak)) && peak=$kb
    [[ $i == 0 ]] && cp "$out/$name.vm.out" "$out/$name.vm.first"
    if [[ $kind != check ]]; then
      timed "$out/$name.lua" lua5.4 "$peers/$peer" "${peer_args[@]}"
      read -r wall user sys kb < "$out/$name.lua.time"
      best lua_wall "$wall"
      best lua_cpu "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')"
    fi
  done
  if [[ $vm_ok == 0 ]]; then
    printf '%-13s %10s  vkvm failed: %s\n' "$name" "$size" "$(head -n 1 "$out/$name.vm.err")"
    failures=$((failures + 1))
    continue
  fi

  verdict=same
  if ! cmp -s "$out/$name.vm.first" "$out/$name.lua.out"; then
    verdict=DIFFERS
    failures=$((failures + 1))
  fi
  ratio=-
  if [[ $kind != check ]]; then
    ratio=$(awk -v a="$vm_cpu" -v b="$lua_cpu" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    [[ $kind == race && $ratio != - ]] && ratios+=("$ratio")
  fi
  per_op=-
  if [[ $ops != 0 ]]; then
    per_op=$(awk -v t="$vm_cpu" -v n="$size" -v k="$ops" 'BEGIN { printf "%.0f", t * 1e9 / (n * k) }')
  fi
  printf '%-13s %10s %9s %9s %9s %9s %7s %8.1f %11s  %s\n' "$name" "$size" "$vm_wall" "$vm_cpu" \
    "${lua_wall:--}" "${lua_cpu:--}" "$ratio" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$per_op" "$verdict"
done

if [[ ${#ratios[@]} -gt 0 ]]; then
  printf '%s\n' "${ratios[@]}" | awk '{ s += log($1); n++ } END {
    printf "geometric mean of vkvm/lua5.4 (cpu) over %d programs: %.2f\n", n, exp(s / n) }'
fi
if [[ $failures -gt 0 ]]; then
  echo "$failures benchmark(s) failed or printed something else than their peer (outputs in $out)" >&2
  exit 1
fi
