#!/bin/sh
# Builds one bundled project example in a copy under the build tree, so the
# sources never get a target/ or .vk-deps/, and runs the executable it makes
# against the `-- expect:` lines of its main.vk.
#
#   build_project.sh VKC PROJECT WORK
#
# The runtime is the `vkvm` beside VKC (the default runtime of a build).
# Exit status: 0 when it builds and runs as promised, 1 otherwise.
set -u

vkc=$1
project=$2
work=$3

rm -rf "$work" && mkdir -p "$work" && cp -R "$project/." "$work/" || exit 1
"$vkc" "$work" || exit 1

name=$(sed -n 's/^name *= *"\(.*\)" *$/\1/p' "$work/vk.toml" | tail -n 1)
exe=$work/target/$name
if [ ! -x "$exe" ]; then
  echo "FAIL: the build made no executable at $exe"
  exit 1
fi

sed -n 's/^-- expect: \{0,1\}//p' "$work/main.vk" > "$work/expected"
(cd "$work" && exec timeout 60 "$exe" > "$work/stdout" 2> "$work/stderr")
status=$?
if [ "$status" != 0 ] || ! cmp -s "$work/expected" "$work/stdout"; then
  echo "FAIL: $exe exited with status $status; output (- promised, + printed):"
  diff -u "$work/expected" "$work/stdout" | tail -n +3
  cat "$work/stderr"
  exit 1
fi
echo "ok: $name"
