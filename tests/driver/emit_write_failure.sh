#!/bin/sh
# An image that cannot be written whole (here the file size limit is too
# small for it) is reported as `vkc: OUT: ...` with status 2, and the image
# already under that name stays as it was, with no temporary file left beside it.
#
#   emit_write_failure.sh VKC
set -u
vkc=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# A program whose image is some tens of kilobytes: many distinct texts.
{
  echo 'fn main() -> Int {'
  i=0
  while [ $i -lt 400 ]; do
    echo "  print(\"line number $i of a program whose image is larger than the limit\")"
    i=$((i + 1))
  done
  echo '  return 0'
  echo '}'
} > "$dir/big.vk"
printf 'old image\n' > "$dir/out.vkb"

# Over the limit the write fails with EFBIG instead of killing the process.
(
  trap '' XFSZ
  ulimit -f 8
  exec "$vkc" --emit "$dir/big.vk" -o "$dir/out.vkb"
) > "$dir/stdout" 2> "$dir/stderr"
status=$?

fail() { echo "emit_write_failure: $1"; echo "--- stderr:"; cat "$dir/stderr"; exit 1; }
[ "$status" -eq 2 ] || fail "status $status, expected 2"
grep -q "^vkc: $dir/out.vkb: File too large\$" "$dir/stderr" || fail "no \`vkc: OUT: File too large\` line"
[ "$(cat "$dir/out.vkb")" = "old image" ] || fail "the old image was replaced or damaged"
leftover=$(find "$dir" -name 'out.vkb.tmp*' | head -1)
[ -z "$leftover" ] || fail "temporary file left behind: $leftover"

# Without the limit the same program compiles and replaces the old image.
"$vkc" --emit "$dir/big.vk" -o "$dir/out.vkb" || fail "the unlimited compile failed"
[ "$(head -c 4 "$dir/out.vkb")" = "VKB1" ] || fail "the image was not replaced"
echo "ok"
