#!/bin/sh
# `cmake --install` into a fresh prefix; the installed vkc then runs and
# builds a program from another directory, finding the installed runtime on
# its own. With a size limit (bytes, 0 for none) the built executable must
# stay under it.
# Usage: install_and_run.sh <cmake> <build dir> <work dir> <size limit>
set -eu
cmake=$1 build=$2 work=$3 limit=$4
unset VK_RUNTIME
rm -rf "$work"
mkdir -p "$work/elsewhere"
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/vkc bin/vkvm bin/vkdis share/doc/velkan/tour.md share/doc/velkan/reference.md; do
  test -f "$work/prefix/$f" || { echo "not installed: $f"; exit 1; }
done
cd "$work/elsewhere"
printf 'fn main(args: multi Text) -> Int {\n  print("hello from an installed vkc, " .. join(args, " "))\n  return 3\n}\n' >hello.vk
status=0
out=$("$work/prefix/bin/vkc" run hello.vk a b) || status=$?
[ "$out" = "hello from an installed vkc, a b" ] && [ "$status" = 3 ] || { echo "run gave [$out], status $status"; exit 1; }
"$work/prefix/bin/vkc" build hello.vk -o hello
size=$(wc -c <hello)
if [ "$limit" -gt 0 ] && [ "$size" -ge "$limit" ]; then
  echo "the built executable has $size bytes, not under $limit"
  exit 1
fi
status=0
out=$(./hello x) || status=$?
[ "$out" = "hello from an installed vkc, x" ] && [ "$status" = 3 ] || { echo "executable gave [$out], status $status"; exit 1; }
echo "installed, ran, built an executable of $size bytes"
