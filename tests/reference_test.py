#!/usr/bin/env python3
"""Compares the hashes with an independent implementation on random byte strings.

usage: reference_test.py [WRAPPER...] HASH_DUMP_BINARY
"""
import random
import subprocess
import sys

M = 0xFFFFFFFF


def signed(b):
    return (b - 256 if b >= 128 else b) & M


def text_of(data):
    return data.split(b"\0", 1)[0]


def fold(step, data, h=0):
    for b in data:
        h = step(h, signed(b)) & M
    return h


def fnv1a(data):
    return fold(lambda h, b: (h ^ b) * 16777619, data, 0x811C9DC5)


def x31(data):
    return fold(lambda h, b: h * 31 + b, text_of(data))


def ramakrishna(data):
    return fold(lambda h, b: (h << 5) + (h >> 2) + b, text_of(data))


def one_at_a_time(data):
    h = fold(lambda h, b: (lambda h: h ^ (h >> 6))((h + b) * 1025 & M), text_of(data))
    h = h * 9 & M
    h ^= h >> 11
    return h * 32769 & M


def fletcher(data):
    data = text_of(data)
    s1 = s2 = 0xFFFF
    for start in range(0, len(data), 359):
        for b in data[start:start + 359]:
            s1 = (s1 + signed(b)) & M
            s2 = (s2 + s1) & M
        s1, s2 = (s1 & 0xFFFF) + (s1 >> 16), (s2 & 0xFFFF) + (s2 >> 16)
    s1, s2 = (s1 & 0xFFFF) + (s1 >> 16), (s2 & 0xFFFF) + (s2 >> 16)
    return (s2 << 16) | s1


def mix(a, b, c):
    for right_a, left_b, right_c in ((13, 8, 13), (12, 16, 5), (3, 10, 15)):
        a = ((a - b - c) & M) ^ (c >> right_a)
        b = ((b - c - a) & M) ^ ((a << left_b) & M)
        c = ((c - a - b) & M) ^ (b >> right_c)
    return a, b, c


def lookup2(data, initval):
    a = b = 0x9E3779B9
    c = initval
    # A 12-byte key is one block and an empty tail.
    blocks = len(data) // 12
    for k in range(blocks):
        w = [int.from_bytes(data[12 * k + 4 * j:12 * k + 4 * j + 4], "little") for j in range(3)]
        a, b, c = mix((a + w[0]) & M, (b + w[1]) & M, (c + w[2]) & M)
    tail = data[12 * blocks:]
    c = (c + len(data)) & M
    a = (a + int.from_bytes(tail[0:4], "little")) & M
    b = (b + int.from_bytes(tail[4:8], "little")) & M
    c = (c + (int.from_bytes(tail[8:11], "little") << 8)) & M
    return mix(a, b, c)[2]


def random_bytes(rng):
    length = rng.choice([0, 1, 2, 3, 7, 11, 12, 13, 23, 24, 25, 358, 359, 360, 361, 720, rng.randrange(100)])
    alphabet = rng.choice([range(256), range(0x30, 0x3A), [0, 0x41, 0x7F, 0x80, 0xFF]])
    return bytes(rng.choice(alphabet) for _ in range(length))


def main():
    rng = random.Random(20261206)
    cases = [(random_bytes(rng), rng.randrange(1 << 32)) for _ in range(3000)]
    cases += [(b"\x80", 0), (b"a\0b", 0), (bytes(range(256)), 0xFFFFFFFF)]
    request = "".join("%s %d\n" % (data.hex() or "-", seed) for data, seed in cases)
    result = subprocess.run(sys.argv[1:], input=request, capture_output=True, text=True, check=True)
    lines = result.stdout.splitlines()
    failures = 0
    if len(lines) != len(cases):
        sys.exit("FAIL: %d results for %d inputs" % (len(lines), len(cases)))
    for (data, seed), line in zip(cases, lines):
        expected = "%08x %08x %08x %08x %08x %08x" % (
            fnv1a(data), x31(data), ramakrishna(data), one_at_a_time(data), fletcher(data), lookup2(data, seed))
        if line != expected:
            failures += 1
            if failures <= 10:
                print("FAIL: %s seed %d: got %s, expected %s" % (data.hex(), seed, line, expected))
    print("%d of %d byte strings agree" % (len(cases) - failures, len(cases)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
