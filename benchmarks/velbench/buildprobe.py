"""Build one library from one word list in a fresh process and print JSON:
the build time (median over repeats), the peak and finished memory (RSS, and
tracemalloc for Python-side allocations).

    python -m velbench.buildprobe LIB WORDLIST REPEATS BUDGET_SECONDS
"""

import ctypes
import gc
import json
import statistics
import sys
import time
import tracemalloc

from . import data
from .libs import BY_NAME

PAGE = 4096


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def reset_hwm():
    # Writing 5 to clear_refs resets the peak RSS to the current RSS.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


_libc = ctypes.CDLL("libc.so.6")


def settle():
    gc.collect()
    _libc.malloc_trim(0)


def main():
    name, wordlist, repeats, budget = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    lib = BY_NAME[name]
    lib._import()
    out = {"lib": name, "words": wordlist}

    settle()
    before = rss()
    words = data.words(wordlist)
    distinct = len(set(words))
    out["n_words"], out["n_distinct"] = len(words), distinct
    settle()
    loaded = rss()
    reset_hwm()
    t0 = time.perf_counter_ns()
    obj = lib.build(words)
    first = time.perf_counter_ns() - t0
    out["peak_bytes"] = hwm() - loaded           # growth during the build
    del words                                    # the object alone is left
    settle()
    out["finished_bytes"] = rss() - before
    if name == "set+loop":
        # A set only points at the caller's strings; they stay alive for it,
        # and the RSS measurement above counts them (the list is gone).
        out["note"] = "includes the str objects the set keeps alive"
    del obj
    settle()

    words = data.words(wordlist)
    times = [first]
    start = time.perf_counter()
    while len(times) < repeats and time.perf_counter() - start < budget:
        t0 = time.perf_counter_ns()
        obj = lib.build(words)
        times.append(time.perf_counter_ns() - t0)
        del obj
        gc.collect()
    out["times_ns"] = times
    out["median_ns"] = statistics.median(times)

    gc.collect()
    tracemalloc.start()
    obj = lib.build(words)
    cur, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    out["py_peak_bytes"], out["py_finished_bytes"] = peak, cur
    print(json.dumps(out))


if __name__ == "__main__":
    main()
