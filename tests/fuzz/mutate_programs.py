#!/usr/bin/env python3
"""Mutation fuzzing of the whole checking pipeline.

Takes the example programs and golden inputs, damages them line-wise (drops,
duplicates, byte edits, lines from other programs, shuffled words) and runs
`vkc --dump-owner`, `--dump-gc`, `--dump-ast` and `--dump-bc` on each. Any
status other than 0 or 1, any sanitizer report, or a run over 20 s is a
failure; the input is kept under /tmp/vk-mutant-*.vk. Best run against the sanitizer build:

    tests/fuzz/mutate_programs.py --vkc build-asan/vkc --count 2000 --seed 1
"""
import argparse
import glob
import os
import random
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Areas whose inputs are whole programs (the driver area holds symlink cycles).
AREAS = ("typing", "types", "owner", "gc", "modules", "ast", "builtins", "bc_tables")
NOISE = b'{}()[]:,.=?-+*nil"`$'


def corpus():
    files = glob.glob(os.path.join(ROOT, "examples", "**", "*.vk"), recursive=True)
    for area in AREAS:
        files += glob.glob(os.path.join(ROOT, "tests", "golden", area, "*", "in", "**", "*.vk"), recursive=True)
    return [open(f, "rb").read() for f in files if os.path.getsize(f) < 20000]


def mutate(rng, sources):
    lines = rng.choice(sources).split(b"\n")
    for _ in range(rng.randint(1, 6)):
        if not lines:
            break
        j = rng.randrange(len(lines))
        op = rng.randint(0, 5)
        if op == 0:
            del lines[j]
        elif op == 1:
            lines.insert(j, rng.choice(lines))
        elif op == 2 and lines[j]:
            k = rng.randrange(len(lines[j]))
            lines[j] = lines[j][:k] + lines[j][k + 1:]
        elif op == 3:
            lines.insert(j, rng.choice(rng.choice(sources).split(b"\n")))
        elif op == 4 and lines[j]:
            k = rng.randrange(len(lines[j]))
            lines[j] = lines[j][:k] + bytes([rng.choice(NOISE)]) + lines[j][k:]
        elif op == 5:
            words = lines[j].split(b" ")
            rng.shuffle(words)
            lines[j] = b" ".join(words)
    return b"\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vkc", default=os.path.join(ROOT, "build-asan", "vkc"))
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    sources = corpus()
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0:abort_on_error=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    work = tempfile.mkdtemp()
    path = os.path.join(work, "m.vk")
    failures = 0
    for i in range(args.count):
        program = mutate(rng, sources)
        with open(path, "wb") as f:
            f.write(program)
        for mode in ("--dump-owner", "--dump-gc", "--dump-ast", "--dump-bc"):
            try:
                r = subprocess.run([args.vkc, mode, path], capture_output=True, env=env, timeout=20)
                ok = r.returncode in (0, 1) and b"Sanitizer" not in r.stderr and b"runtime error" not in r.stderr
                detail = r.stderr[-400:].decode(errors="replace")
            except subprocess.TimeoutExpired:
                ok, detail = False, "timed out"
            if not ok:
                failures += 1
                keep = f"/tmp/vk-mutant-{args.seed}-{i}{mode}.vk"
                with open(keep, "wb") as f:
                    f.write(program)
                print("FAIL", keep, detail, flush=True)
    print(f"{args.count} programs, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
