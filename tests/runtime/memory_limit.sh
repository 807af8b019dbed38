#!/bin/sh
# Under an address-space limit, memory the C++ library cannot get inside a
# library builtin or an actor is the program's out-of-memory error (code 5):
# it can be caught, and uncaught it ends the run with status 1 after the
# output printed so far. Nothing aborts.
# Usage: memory_limit.sh VKC VKVM WORKDIR. Sanitizer builds reserve terabytes
# of address space for their shadow memory and cannot run under a limit:
# the test is skipped there (status 77).
vkc=$1 vkvm=$2 work=$3
if grep -qa -e __asan_init -e __tsan_init "$vkvm"; then exit 77; fi
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
fail() { echo "FAIL: $*" >&2; exit 1; }

cat > read_zero.vk <<'VK'
fn main() {
  print("before")
  let got = try len(fs.read_all("/dev/zero", 0)) catch (e) -e.code
  print("caught: ${got}")
  print_int(len(fs.read_all("/dev/zero", 0)))
}
VK
cat > flood.vk <<'VK'
type Chunk {
  text: Text
}

class Sink {
  got: Int

  fn receive(msg: Chunk) -> Int {
    time.sleep(1)
    self.got += len(msg.text)
    return self.got
  }
}

fn main() -> Int {
  print("flooding")
  let s = spawn Sink { got: 0 }
  let big = "0123456789"
  let i = 0
  while i < 16 {
    big = big .. big
    i += 1
  }
  let ok = try flood(s, big) catch (e) -e.code
  print("flood: ${ok}")
  return 0
}

fn flood(s: actor Chunk, big: Text) -> Int {
  let n = 0
  while n < 1000000 {
    send(s, Chunk { text: big .. "" })
    n += 1
  }
  return n
}
VK
"$vkc" --emit read_zero.vk -o read_zero.vkb && "$vkc" --emit flood.vk -o flood.vkb || fail "compile"

(ulimit -v 500000; "$vkvm" read_zero.vkb > out.txt 2> err.txt; echo $? > status.txt)
[ "$(cat status.txt)" = 1 ] || fail "read_all: status $(cat status.txt)"
[ "$(cat out.txt)" = "$(printf 'before\ncaught: -5')" ] || fail "read_all: output $(cat out.txt)"
[ "$(cat err.txt)" = "$(printf 'vkvm: out of memory\n  at main (line 5)')" ] || fail "read_all: $(cat err.txt)"

# The sender runs out first; the actor, unpacking at the edge of the limit,
# may too: it reports each failed message and goes on.
(ulimit -v 500000; timeout 120 "$vkvm" flood.vkb > out.txt 2> err.txt; echo $? > status.txt)
[ "$(cat status.txt)" = 0 ] || fail "flood: status $(cat status.txt): $(head -5 err.txt)"
[ "$(cat out.txt)" = "$(printf 'flooding\nflood: -5')" ] || fail "flood: output $(cat out.txt)"
if grep -v -e '^vkvm: actor `Sink`: out of memory$' -e '^  at Sink.receive (line ' err.txt; then
  fail "flood: unexpected messages"
fi
echo "ok"
