#!/usr/bin/env bash
# Hunts runtime faults with generated programs.
#
#   hunt.sh --bin-dir DIR [--seed S] [--count N] [--avoid NAME,...] [--keep DIR] [--vkc PATH] [--quiet]
#
# For each seed S, S+1, ..., S+N-1 the generator (DIR/tests/gen/vkhunt)
# writes a program and the output it must print; DIR/vkc compiles it and
# DIR/vkvm runs it twice, plainly and with the collector stressed
# (VKVM_GC_STRESS=1). A run is a fault when, in this order:
#   refused    vkc does not accept the program (a generator bug or a checker fault)
#   sanitizer  a sanitizer report (LeakSanitizer's is `leak`)
#   crash      a signal, or no end within 60 seconds (`hang`)
#   error      a run-time error the program did not ask for
#   disagree   the plain and the stressed run differ
#   wrong      the output differs from the expected output
# Each fault's files go to KEEP/<seed>/ (default ./hunt-faults) with a file
# `fault` naming it. Exit status: 0 when no program hit a fault, 1 otherwise.
# --avoid keeps features out of the programs (vkhunt's part names, and the
# names of features held back while a fault they hit is open). --vkc compiles
# with another vkc (a plain one is much faster than a sanitizer build's, for
# long hunts of the runtime).
set -u

bin=""
seed=1
count=100
avoid=""
keep=./hunt-faults
quiet=0
vkc=""
while [ $# -gt 0 ]; do
  case $1 in
    --bin-dir) bin=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --avoid) avoid=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --vkc) vkc=$2; shift 2 ;;
    --quiet) quiet=1; shift ;;
    *) echo "usage: $0 --bin-dir DIR [--seed S] [--count N] [--avoid NAME,...] [--keep DIR] [--vkc PATH] [--quiet]" >&2; exit 2 ;;
  esac
done
if [ -z "$bin" ] || [ ! -x "$bin/vkc" ] || [ ! -x "$bin/vkvm" ] || [ ! -x "$bin/tests/gen/vkhunt" ]; then
  echo "hunt.sh: --bin-dir must hold vkc, vkvm and tests/gen/vkhunt" >&2
  exit 2
fi
bin=$(cd "$bin" && pwd)
if [ -z "$vkc" ]; then vkc=$bin/vkc; else vkc=$(cd "$(dirname "$vkc")" && pwd)/$(basename "$vkc"); fi

# Leaks are reported (the sanitizer build frees everything the runtime owns
# at exit); a report ends the process with status 1 like any error would, so
# faults are told by the report's text.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# classify STATUS ERRFILE: the kind of fault a run shows, or nothing.
classify() {
  if grep -q "ERROR: LeakSanitizer" "$2"; then echo leak; return; fi
  if grep -q -E "ERROR: [A-Za-z]*Sanitizer|runtime error:" "$2"; then echo sanitizer; return; fi
  if [ "$1" = 124 ] || [ "$1" = 137 ]; then echo hang; return; fi
  if [ "$1" -ge 128 ]; then echo crash; return; fi
  if [ "$1" != 0 ] || [ -s "$2" ]; then echo error; return; fi
}

faults=0
declare -A kinds=()
start=$(date +%s)
i=0
while [ "$i" -lt "$count" ]; do
  s=$((seed + i))
  i=$((i + 1))
  rm -rf "$work"/*
  "$bin/tests/gen/vkhunt" --seed "$s" ${avoid:+--avoid "$avoid"} "$work/prog.vk" "$work/expected"
  kind=""
  if ! (cd "$work" && exec timeout 60 "$vkc" --emit prog.vk -o prog.vkb > compile.out 2>&1); then
    if grep -q -E "ERROR: [A-Za-z]*Sanitizer|runtime error:" "$work/compile.out"; then kind=sanitizer; else kind=refused; fi
  else
    (cd "$work" && exec timeout 60 "$bin/vkvm" prog.vkb > plain.out 2> plain.err)
    plain=$?
    (cd "$work" && VKVM_GC_STRESS=1 exec timeout 60 "$bin/vkvm" prog.vkb > stress.out 2> stress.err)
    stress=$?
    kind=$(classify "$plain" "$work/plain.err")
    [ -n "$kind" ] || kind=$(classify "$stress" "$work/stress.err")
    if [ -z "$kind" ] && ! cmp -s "$work/plain.out" "$work/stress.out"; then kind=disagree; fi
    if [ -z "$kind" ] && ! cmp -s "$work/expected" "$work/plain.out"; then kind=wrong; fi
  fi
  if [ -n "$kind" ]; then
    faults=$((faults + 1))
    kinds[$kind]=$(( ${kinds[$kind]:-0} + 1 ))
    mkdir -p "$keep/$s"
    cp "$work"/* "$keep/$s/"
    echo "$kind" > "$keep/$s/fault"
    echo "FAULT seed $s: $kind (files in $keep/$s)"
  elif [ "$quiet" = 0 ]; then
    echo "ok seed $s"
  fi
  if [ "$quiet" = 1 ] && [ $((i % 500)) = 0 ] && [ "$i" -lt "$count" ]; then
    echo "hunt: $i programs, $faults with a fault, $(( $(date +%s) - start ))s"
  fi
done
summary=""
for k in "${!kinds[@]}"; do summary="$summary $k=${kinds[$k]}"; done
echo "hunt: $count programs from seed $seed, $faults with a fault${summary:+ (}${summary# }${summary:+)}, $(( $(date +%s) - start ))s"
[ "$faults" = 0 ]
