"""Scaling out, with jieba's dictionary: what a worker process costs in
memory, the tool's speed with worker processes, and threads scanning in one
process.

    python -m velbench.parallel memory
    python -m velbench.parallel jobs [--mb 100] [--rounds 2]
    python -m velbench.parallel threads [--rounds 7]

memory: each step runs in a fresh interpreter, so the figures are those of a
worker that receives a handle: resident memory, and how much of it is the
process's own (private) against pages shared with its parent after a fork.

jobs: the tool on a Chinese text of that many MB (the fortunes repeated),
`--jobs 2` against `--jobs 1`, wall time of the whole run (reading the word
list and building included), rounds alternating the two.

threads: segment and longest_matches of the dense Chinese text (the man
pages, 3.5 M characters) in two halves, one thread doing both against two
threads doing one each, rounds alternating the two; the scans release the
interpreter lock while they walk, so the two threads can use two cores.
"""

import argparse
import hashlib
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time

from ondrel_velarin import VelarinHandle

from . import data

WORKER = r"""
import gc, json, os, pickle, sys
from ondrel_velarin import VelarinHandle

def rollup():
    fields = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1]) / 1024
    return {"rss": fields["Rss"],
            "private": fields["Private_Clean"] + fields["Private_Dirty"],
            "shared": fields["Shared_Clean"] + fields["Shared_Dirty"]}

sent_path, text_path = sys.argv[1:]
steps = [("package imported", rollup())]
with open(sent_path, "rb") as f:
    handle = pickle.load(f)
steps.append(("handle unpickled", rollup()))
handle.trie
steps.append(("trie built", rollup()))
with open(text_path, encoding="utf-8") as f:
    text = f.read()
steps.append(("text read", rollup()))
handle(text)
gc.collect()
steps.append(("first text segmented", rollup()))
read, write = os.pipe()
if os.fork() == 0:
    child = [("forked child, before segmenting", rollup())]
    for _ in range(3):
        handle(text)
    gc.collect()
    child.append(("forked child, after three texts", rollup()))
    os.write(write, json.dumps(child).encode())
    os._exit(0)
os.close(write)
with os.fdopen(read) as f:
    steps += json.load(f)
os.wait()
print(json.dumps(steps))
"""


def memory() -> None:
    words_path = os.path.join(data.DATA, "zh_words.txt")
    text_path = os.path.join(data.DATA, "zh_text.txt")
    words = data.words("zh")
    handles = {"file": VelarinHandle.from_file(words_path, "lines"), "words": VelarinHandle(words)}
    print(f"worker memory, {len(words):,} words of jieba's dictionary, the Chinese fortunes as text (MB)")
    print("| handle | step | resident | private | shared |\n|---|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as scratch:
        for form, handle in handles.items():
            sent_path = os.path.join(scratch, form)
            with open(sent_path, "wb") as f:
                pickle.dump(handle, f)
            out = subprocess.run([sys.executable, "-c", WORKER, sent_path, text_path],
                                 capture_output=True, text=True, check=True).stdout
            for step, m in json.loads(out):
                print(f"| {form} | {step} | {m['rss']:.1f} | {m['private']:.1f} | {m['shared']:.1f} |")


def jobs(mb: int, rounds: int) -> None:
    words = os.path.join(data.DATA, "zh_words.txt")
    text = data.text("zh").encode("utf-8")
    with tempfile.TemporaryDirectory() as scratch:
        corpus = os.path.join(scratch, "corpus.txt")
        with open(corpus, "wb") as f:
            for _ in range(-(-mb * 1_000_000 // len(text))):
                f.write(text)
        print(f"the tool on {os.path.getsize(corpus) / 1e6:.0f} MB of Chinese text (the fortunes repeated), "
              f"jieba's {len(data.words('zh')):,} words, {os.process_cpu_count()} cores")
        times: dict[int, list[float]] = {1: [], 2: []}
        digests: dict[int, set[str]] = {1: set(), 2: set()}
        out = os.path.join(scratch, "out.txt")
        for _ in range(rounds):
            for count in times:
                start = time.perf_counter()
                subprocess.run([sys.executable, "-m", "ondrel_velarin", "-w", words, "-f", "lines",
                                "--jobs", str(count), corpus, "-o", out], check=True)
                times[count].append(time.perf_counter() - start)
                with open(out, "rb") as f:
                    digests[count].add(hashlib.file_digest(f, "sha256").hexdigest())
        for count, spent in times.items():
            print(f"--jobs {count}: best {min(spent):.2f} s, median {statistics.median(spent):.2f} s "
                  f"over {rounds} runs")
        same = "identical" if len(digests[1] | digests[2]) == 1 else "DIFFERENT"
        print(f"--jobs 2 is {min(times[1]) / min(times[2]):.2f}x as fast as --jobs 1 (best against best); "
              f"outputs {same}")


THREADS_TARGET = 1.7


def threads(rounds: int) -> None:
    import threading

    from ondrel_velarin import Velarin, longest_matches, segment

    trie = Velarin(data.words("zh"))
    text = data.text("zh_man")
    text = (text * -(-3_500_000 // len(text)))[:3_500_000]
    halves = [text[: len(text) // 2], text[len(text) // 2 :]]
    cores = os.process_cpu_count()
    print(f"{len(text):,} characters of the Chinese man pages in two halves, jieba's {len(data.words('zh')):,} "
          f"words, {cores} cores, load average {os.getloadavg()[0]:.2f} before")
    print("| scan | one thread, both halves (best ms) | two threads, a half each (best ms) | speed-up | target | |")
    print("|---|---:|---:|---:|---:|---|")
    for scan in (segment, longest_matches):
        scan(trie, text[:10_000])

        def one() -> float:
            start = time.perf_counter()
            for half in halves:
                scan(trie, half)
            return time.perf_counter() - start

        def two() -> float:
            workers = [threading.Thread(target=scan, args=(trie, half)) for half in halves]
            start = time.perf_counter()
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
            return time.perf_counter() - start

        ones, twos = [], []
        for _ in range(rounds):
            ones.append(one())
            twos.append(two())
        ratio = min(ones) / min(twos)
        verdict = "met" if ratio >= THREADS_TARGET else "missed"
        print(f"| {scan.__name__} | {min(ones) * 1000:.0f} | {min(twos) * 1000:.0f} | {ratio:.2f}x | "
              f">= {THREADS_TARGET}x | **{verdict}** |")
    print(f"load average {os.getloadavg()[0]:.2f} after (the target needs two idle cores)")


def main() -> None:
    parser = argparse.ArgumentParser(prog="velbench.parallel", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["memory", "jobs", "threads"])
    parser.add_argument("--mb", type=int, default=100, help="size of the text for jobs (default 100)")
    parser.add_argument("--rounds", type=int, help="runs of each (default 2 for jobs, 7 for threads)")
    args = parser.parse_args()
    if args.what == "memory":
        memory()
    elif args.what == "jobs":
        jobs(args.mb, args.rounds or 2)
    else:
        threads(args.rounds or 7)


if __name__ == "__main__":
    main()
