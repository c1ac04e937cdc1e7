"""Allocation failures: the interpreter's allocators fail at the n-th call.

For every n across a construction, a re-construction, a lookup and an
iteration, `_testcapi.set_nomemory` makes allocation n fail (once, or every
allocation from n on). The outcome must be success with the right answers or
MemoryError, the object must stay safe to use and release, and repeating any failure
may not leave blocks behind.

Each sweep runs in a child interpreter (this file run as a script) so that a
crash is a failed test, not a lost run; the child prints its figures as JSON.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from model import Model  # noqa: E402

WORDS = ["a", "ab", "abc", "中", "中文", "\U0001F600", "\0", "", "é", "ab", "zz", "中文字"]
WIDE = [chr(c) for c in range(0x20, 0x7F)] + ["é", "ü", "中"]
OLD = ["old", "o", "abc"]
KEYS = ["abcd", "中文字典", "\U0001F600!", "\0\0", "éa", "q", ""]
# Enough bytes that the block of string copies grows while they are copied.
GROWING = WORDS + [f"w{i:02d}" + "中" * 25 for i in range(60)]


class Raw:
    def __init__(self, data):
        self.data = data

    def encode(self, encoding):
        return self.data


class Seq:
    def __len__(self):
        return len(WORDS)

    def __getitem__(self, i):
        return WORDS[i]


def check_answers(v, words):
    model = Model(words)
    for key in KEYS:
        assert v.get_closest_prefix(key) == model.get_closest_prefix(key), key
    assert list(v) == model.node_order()


def released_or_unchanged(v, old):
    """A failed re-construction leaves nothing (it failed inside __init__) or
    the old contents (it failed before __init__ ran)."""
    if list(v):
        check_answers(v, old)
    else:
        assert v.get_closest_prefix("old") == ""


# Each operation: (prepare, run, verify). run() is what the failures hit;
# verify(state, result, failed) checks the outcome with the hooks removed.
def operations():
    from ondrel_velarin.impl_c import Velarin

    def construct(words, argument=None):
        def run(_):
            return Velarin(argument if argument is not None else list(words))

        def verify(_, v, failed):
            if not failed:
                check_answers(v, words)

        return (lambda: None), run, verify

    def rebuild(words):
        def prepare():
            return Velarin(OLD)

        def run(v):
            v.__init__(list(words))
            return v

        def verify(v, _, failed):
            if failed:
                released_or_unchanged(v, OLD)
            else:
                check_answers(v, words)

        return prepare, run, verify

    def lookup():
        def run(v):
            return [v.get_closest_prefix(k) for k in KEYS]

        def verify(v, answers, failed):
            check_answers(v, WORDS)  # a failed lookup leaves nothing half done
            if not failed:
                assert answers == [Model(WORDS).get_closest_prefix(k) for k in KEYS]

        return (lambda: Velarin(WORDS)), run, verify

    def iteration():
        got = []

        def run(v):
            got.clear()
            for word in v:
                got.append(word)
            return got

        def verify(v, _, failed):
            order = Model(WORDS).node_order()
            assert got == order[: len(got)] and (failed or got == order)
            check_answers(v, WORDS)

        return (lambda: Velarin(WORDS)), run, verify

    def segment():
        # More segments than the first block of the segment buffer holds, so it grows.
        text = "中文字 abc\0é\U0001F600q" * 300
        # Imported before any allocation is made to fail: what is swept is
        # the scan, not the import of its module.
        from ondrel_velarin.scan_c import segment as scan

        def run(v):
            return scan(v, text)

        def verify(v, segments, failed):
            check_answers(v, WORDS)
            if not failed:
                assert segments == ["中文字", " ", "abc", "\0", "é", "\U0001F600", "q"] * 300

        return (lambda: Velarin(WORDS)), run, verify

    return {
        "segment": segment(),
        "construct_list": construct(GROWING),
        "construct_tuple": construct(WORDS, tuple(WORDS)),
        "construct_sequence": construct(WORDS, Seq()),
        "construct_encode": construct(WORDS, [Raw(w.encode()) for w in WORDS]),
        "construct_wide": construct(WIDE),
        "rebuild": rebuild(GROWING),
        "lookup": lookup(),
        "iteration": iteration(),
    }


def attempt(prepare, run, verify, start, stop):
    """One run with allocations start..stop failing (stop 0: all from start on); True if it failed."""
    import _testcapi

    state = prepare()
    result, failed = None, False
    _testcapi.set_nomemory(start, stop)
    try:
        result = run(state)
    except MemoryError:
        failed = True
    finally:
        _testcapi.remove_mem_hooks()
    verify(state, result, failed)
    return failed


def sweep(name, prepare, run, verify):
    """Runs one operation under every failure point: every allocation from n
    on failing, until n is past the operation's last allocation, then each
    allocation before that failing alone. Returns (failures injected, allocations)."""
    n = 1
    while attempt(prepare, run, verify, n, 0):
        n += 1
        if n > 20000:
            raise AssertionError(f"{name}: no end to the allocations")
    for k in range(1, n):
        attempt(prepare, run, verify, k, k + 1)
    return 2 * (n - 1), n - 1


def growth(prepare, run, verify, start, stop, repeat):
    import gc

    # The interpreter's caches (its 16 spare MemoryError objects among them)
    # fill up over the first hundred or so failures; warm them up first, or
    # that reads as a leak of one block per failure.
    for _ in range(300):
        attempt(prepare, run, verify, start, stop)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(repeat):
        attempt(prepare, run, verify, start, stop)
    gc.collect()
    return sys.getallocatedblocks() - before


def leaking_points(name, prepare, run, verify, allocations, repeat=16):
    """Failure points at which repeating the failure leaves blocks behind: a
    leak there grows the count by at least one block per repetition more than
    the same operation does with no failure at all (the interpreter's own
    caches grow some operations a little either way). A point past that bound
    is measured again over four times the repetitions and counts only if its
    growth keeps up with them: a cache of the interpreter's that fills once
    grows by a fixed dozen blocks or so, a leak by so many per repetition."""
    baseline = growth(prepare, run, verify, 10**9, 0, repeat)
    longer_baseline = None
    leaks = []
    for start, stop in [(n, 0) for n in range(1, allocations + 1)] + [(n, n + 1) for n in range(1, allocations + 1)]:
        extra = growth(prepare, run, verify, start, stop, repeat) - baseline
        if extra < repeat // 2:
            continue
        if longer_baseline is None:
            longer_baseline = growth(prepare, run, verify, 10**9, 0, 4 * repeat)
        again = growth(prepare, run, verify, start, stop, 4 * repeat) - longer_baseline
        if again >= 2 * repeat:
            leaks.append([start, stop, extra, again])
    return leaks


def child(names):
    ops = operations()
    report = {}
    for name in names:
        injected, allocations = sweep(name, *ops[name])
        leaks = leaking_points(name, *ops[name], allocations)
        report[name] = {"injected": injected, "allocations": allocations, "leaks": leaks}
    print(json.dumps(report))


if __name__ == "__main__":
    child(sys.argv[1:])
    sys.exit(0)


import pytest  # noqa: E402


def has_set_nomemory():
    probe = subprocess.run([sys.executable, "-c", "import _testcapi; _testcapi.set_nomemory"], capture_output=True)
    return probe.returncode == 0


pytestmark = pytest.mark.skipif(not has_set_nomemory(), reason="this interpreter has no _testcapi.set_nomemory")


@pytest.mark.parametrize(
    "name",
    ["construct_list", "construct_tuple", "construct_sequence", "construct_encode", "construct_wide", "rebuild",
     "lookup", "iteration", "segment"],
)
def test_every_allocation_failure_is_survived(name):
    done = subprocess.run(
        [sys.executable, "-P", __file__, name], capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"}
    )
    assert done.returncode == 0, done.stderr[-3000:]
    report = json.loads(done.stdout.splitlines()[-1])[name]
    # Every allocation of the operation (at least the strings' block) was made to fail at least once.
    assert report["allocations"] >= 1
    assert report["leaks"] == [], report
