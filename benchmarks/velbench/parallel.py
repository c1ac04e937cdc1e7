"""Scaling out: what a worker process costs in memory with jieba's dictionary.

    python -m velbench.parallel memory

Each step runs in a fresh interpreter, so the figures are those of a worker
that receives a handle: resident memory, and how much of it is the process's
own (private) against pages shared with its parent after a fork.
"""

import argparse
import json
import os
import pickle
import subprocess
import sys
import tempfile

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


def main() -> None:
    parser = argparse.ArgumentParser(prog="velbench.parallel", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["memory"])
    parser.parse_args()
    memory()


if __name__ == "__main__":
    main()
