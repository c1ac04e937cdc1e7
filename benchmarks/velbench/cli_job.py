"""The segmentation tool's whole job, timed as a user runs it.

    python -m velbench.cli_job [--megabytes N] [--rounds R]

On a Chinese text of about N MB (the fortunes-zh text repeated) and jieba's
own dict.txt (349k words, `word freq tag` lines), it times, each in a fresh
process, best of R rounds:

- the tool: `python -m ondrel_velarin -w dict.txt text > out`, wall time;
- the in-process loop the tool is measured against: read the words, build
  the trie, `segment(trie, line)` for every line (inside one process, from
  the first read to the last segment; the interpreter's start is not in it);
- jieba's own command line tool, `python -m jieba -n text > out` (once: it is
  slow), on the same input.

and prints them with their ratios to the tool.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from . import data, report

LOOP = """
import sys, time
from ondrel_velarin import Velarin, segment
from ondrel_velarin.wordlist import read_words
started = time.perf_counter()
words, _ = read_words(sys.argv[1])
trie = Velarin(words)
with open(sys.argv[2], encoding="utf-8") as f:
    for line in f:
        segment(trie, line.rstrip("\\n"), alnum_runs=True)
print(time.perf_counter() - started)
"""


def jieba_dict() -> str:
    import jieba  # installed into the benchmark's environment by run.sh --cli

    return os.path.join(os.path.dirname(jieba.__file__), "dict.txt")


def make_text(megabytes: int) -> str:
    """The fortunes-zh text repeated to at least `megabytes` MB, made once."""
    path = os.path.join(data.DATA, f"zh_text_{megabytes}mb.txt")
    if not os.path.exists(path):
        one = data.text("zh").encode("utf-8")
        with open(path, "wb") as f:
            f.write(one * -(-megabytes * 1_000_000 // len(one)))
    return path


def wall(command: list[str], output: str) -> float:
    with open(output, "wb") as out:
        started = time.perf_counter()
        subprocess.run(command, stdout=out, stderr=subprocess.DEVNULL, check=True)
        return time.perf_counter() - started


def loop_time(words: str, text: str) -> float:
    result = subprocess.run([sys.executable, "-c", LOOP, words, text], capture_output=True, text=True, check=True)
    return float(result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(prog="velbench.cli_job", description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    words, text = jieba_dict(), make_text(args.megabytes)
    size = os.path.getsize(text)
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "out.txt")
        tool = [sys.executable, "-m", "ondrel_velarin", "-w", words, text]
        ours = min(wall(tool, out) for _ in range(args.rounds))
        lines = sum(1 for _ in open(out, "rb"))
        loop = min(loop_time(words, text) for _ in range(args.rounds))
        jieba = wall([sys.executable, "-m", "jieba", "-n", text], out)
    print(f"Segmenting {size / 1e6:.1f} MB of Chinese text ({lines:,} lines, the fortunes-zh text repeated)")
    print(f"with jieba's dict.txt ({words}), best of {args.rounds} (jieba: one run):\n")
    print("| job | how | seconds | ÷ tool |")
    print("|---|---|---:|---:|")
    rows = [
        ("**ondrel_velarin tool**", "`python -m ondrel_velarin -w dict.txt text > out`, wall time", ours),
        ("in-process loop", "read words, build, `segment(trie, line)` per line, inside one process", loop),
        ("jieba tool", "`python -m jieba -n text > out`, wall time", jieba),
    ]
    for name, how, seconds in rows:
        print(f"| {name} | {how} | {seconds:.2f} | {seconds / ours:.2f}× |")
    print()
    print("\n".join(report.target_table([
        ("the tool's whole job against the in-process loop", "at most 1.3× its time",
         f"{ours:.2f} s vs {loop:.2f} s: {ours / loop:.2f}×", ours / loop <= 1.3)])))
    print(f"jieba's tool ÷ ours: {jieba / ours:.1f}×")


if __name__ == "__main__":
    main()
