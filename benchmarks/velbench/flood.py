"""Hash flooding: word lists made to crowd the code point index's tables,
against random words of the same count.

    python -m velbench.flood [--words N]     (from benchmarks/; or ./dev flood)

The index places the edge that ends a path in the slot its path hash
chooses: h(root) = seed, h(path + c) = (h(path) ^ c) * K mod 2**64, and the
top bits of h pick the slot. A crowding list holds two-character words whose
second edges all have their home in a few thousand slots of a table of 2**19,
so that, laid out as they are, probes run along one long run of occupied
slots. Two are made: one for seed 0 (the hash before it had a seed), and one
for a seed that the test hook VELARIN_TEST_HASH_SEED then fixes, which is as
if an attacker knew the seed. Each case runs in a fresh process; the figures
are the build, the first lookup (which builds the index), lookups of every
word and of a random key, and a segmentation of the words joined.
"""

import argparse
import json
import os
import random
import subprocess
import sys

K = 0x9E3779B97F4A7C15
MASK = (1 << 64) - 1
CJK = range(0x4E00, 0x9FA6)
HOOK_SEED = 0x5EED5EED5EED5EED
# Home slots shared by the crowding words: 4,096 of the near table's 2**19.
WINDOW = 4096


def table_bits(count):
    """log2 of the slots of the index's table for `count` edges."""
    bits = 4
    while (1 << bits) < 2 * count:
        bits += 1
    return bits


def crowding_words(seed, count):
    """`count` distinct two-character CJK words whose second edges have their
    home slot among the first WINDOW of the table, under `seed`."""
    shift = 64 - table_bits(count)
    words = []
    for a in CJK:
        x = (seed ^ a) * K & MASK
        words += [chr(a) + chr(b) for b in CJK if ((x ^ b) * K & MASK) >> shift < WINDOW]
        if len(words) >= count:
            return words[:count]
    raise ValueError("not enough crowding words for %d" % count)


def random_words(count, rng):
    words = set()
    while len(words) < count:
        words.add(chr(rng.choice(CJK)) + chr(rng.choice(CJK)))
    return sorted(words)


CHILD = r"""
import json, random, sys, time
from ondrel_velarin import Velarin, segment
words = json.loads(sys.stdin.read())
rng = random.Random(7)
keys = words + ["".join(chr(rng.randrange(0x4E00, 0x9FA6)) for _ in range(2)) for _ in range(len(words))]
rng.shuffle(keys)
t = time.perf_counter(); v = Velarin(words); build = time.perf_counter() - t
t = time.perf_counter(); v.get_closest_prefix(keys[0]); first = time.perf_counter() - t
f = v.get_closest_prefix
best = float("inf")
for _ in range(3):
    t = time.perf_counter()
    for k in keys:
        f(k)
    best = min(best, (time.perf_counter() - t) / len(keys))
text = "".join(words[::3])
t = time.perf_counter(); segments = segment(v, text); seg = time.perf_counter() - t
assert "".join(segments) == text
print(json.dumps({"build": build, "first": first, "lookup": best, "segment": seg}))
"""


def run_case(words, case_env):
    """Runs CHILD on `words`; the hook's seed is set only where the case sets it."""
    env = {k: v for k, v in os.environ.items() if k != "VELARIN_TEST_HASH_SEED"}
    result = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(words), capture_output=True, text=True,
                            env={**env, **case_env}, timeout=3600, check=True)
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", type=int, default=200_000, help="words in each list (default 200,000)")
    args = parser.parse_args()
    cases = [
        ("random words", random_words(args.words, random.Random(3)), {}),
        ("crowding for seed 0 (the unseeded hash)", crowding_words(0, args.words), {}),
        ("crowding for the hook's fixed seed", crowding_words(HOOK_SEED, args.words),
         {"VELARIN_TEST_HASH_SEED": str(HOOK_SEED)}),
    ]
    results = []
    for name, words, case_env in cases:
        print("flood: %s ..." % name, file=sys.stderr, flush=True)
        results.append((name, run_case(words, case_env)))
    base = results[0][1]
    print("%d two-character CJK words per list; each list in a fresh process.\n" % args.words)
    print("| word list | build ms | first lookup ms | ns/lookup | segment ms | first lookup ÷ random | lookup ÷ random |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, r in results:
        print("| %s | %.0f | %.1f | %.0f | %.1f | %.2f× | %.2f× |" % (
            name, r["build"] * 1e3, r["first"] * 1e3, r["lookup"] * 1e9, r["segment"] * 1e3,
            r["first"] / base["first"], r["lookup"] / base["lookup"]))


if __name__ == "__main__":
    main()
