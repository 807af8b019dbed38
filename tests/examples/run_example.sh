#!/bin/sh
# Runs one bundled example on the runtime and compares what it prints with
# the lines its source promises.
#
#   run_example.sh VKC EXAMPLE
#
# VKC is the compiler; the runtime `vkvm` is looked for beside it. EXAMPLE is
# a `.vk` file or a directory program (its promises are in `main.vk`). The
# promises are comment lines of the example itself:
#
#   -- expect: <line>        one line of standard output, in order
#   -- expect-status: <n>    the exit status (0 when absent)
#
# Exit status: 0 when the output and the status match, 1 when they do not,
# 77 (skipped) when there is no runtime or no image emission yet, when an
# example listed as unsupported fails, or when the sanitizers report a fault
# listed below.
set -u

vkc=$1
example=$2
vkvm=$(cd "$(dirname "$vkc")" && pwd)/vkvm
name=$(basename "$example")

# Examples using constructs that vkc cannot lower or vkvm cannot run yet,
# with what they need. Remove an entry as soon as both support it: a listed
# example that runs as promised says so in its output.
unsupported="
"

# Examples that run as promised but on which a sanitizer build of the tools
# reports a memory fault (a leak, a use after free), with the fault seen.
# Each is a fault of vkc's lowering or of vkvm, not of the example: in a
# sanitizer build such an example is skipped with the report shown, anywhere
# else it must pass. Remove an entry once the fault is mended.
sanitizer_faults="
"

reason=$(printf '%s\n' "$unsupported" | sed -n "s/^$name: //p")
fault=$(printf '%s\n' "$sanitizer_faults" | sed -n "s/^$name: //p")

# fail MESSAGE: a listed example is skipped, any other one fails.
fail() {
  echo "$1"
  if [ -n "$reason" ]; then
    echo "skipped: $name needs $reason, not supported yet"
    exit 77
  fi
  exit 1
}

if [ ! -x "$vkvm" ]; then
  echo "skipped: no runtime at $vkvm"
  exit 77
fi

if [ -d "$example" ]; then
  source_file=$example/main.vk
else
  source_file=$example
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sed -n 's/^-- expect: \{0,1\}//p' "$source_file" > "$work/expected"
want_status=$(sed -n 's/^-- expect-status: *//p' "$source_file")
want_status=${want_status:-0}
if [ ! -s "$work/expected" ]; then
  echo "FAIL: $source_file promises no output (no '-- expect:' lines)"
  exit 1
fi

if ! "$vkc" --emit "$example" -o "$work/prog.vkb" > "$work/compile.out" 2>&1; then
  fail "$name does not compile:
$(cat "$work/compile.out")"
fi

# A compiler without its emitter checks the program and writes no image.
if [ ! -s "$work/prog.vkb" ]; then
  echo "skipped: vkc wrote no image for $name (image emission is not built yet)"
  exit 77
fi

# The example runs in an empty directory; a hung example fails after a minute.
(cd "$work" && exec timeout 60 "$vkvm" prog.vkb > stdout 2> stderr)
status=$?

if [ -n "$fault" ] && grep -q "ERROR: [A-Za-z]*Sanitizer" "$work/stderr"; then
  grep -m 1 "ERROR: [A-Za-z]*Sanitizer" "$work/stderr"
  echo "skipped: the sanitizers report a known fault on $name ($fault)"
  exit 77
fi

message=""
if ! cmp -s "$work/expected" "$work/stdout"; then
  message="output of $name differs from its '-- expect:' lines (- promised, + printed):
$(diff -u "$work/expected" "$work/stdout" | tail -n +3)
"
fi
if [ "$status" != "$want_status" ]; then
  message="$message$name exited with status $status, promised $want_status
"
fi
if [ -n "$message" ]; then
  if [ -s "$work/stderr" ]; then
    message="${message}standard error:
$(cat "$work/stderr")"
  fi
  fail "$message"
fi

if [ -n "$reason" ]; then
  echo "ok: $name -- listed as needing $reason, but it runs as promised: remove it from the list in $0"
  exit 0
fi
echo "ok: $name"
