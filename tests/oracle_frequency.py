"""Segmentation by frequency against jieba over whole texts (./dev oracle frequency).

Every line of fortunes-zh, of the Chinese man pages and of the 20 MB mixed
corpus (tests/corpus.py), segmented by Lexicon.segment(line, method=...) and
by jieba.lcut(line, HMM=...), without and with the HMM, with jieba's dict.txt
and with a user dictionary of 600 lines added (route_cases.user_dictionary:
new and known words, with and without frequencies, frequencies of 0) to
both; prints how many lines come out identical, and the first that do not.
"""

import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import corpus  # noqa: E402
import jieba  # noqa: E402
import jieba.finalseg  # noqa: E402
import route_cases  # noqa: E402

from ondrel_velarin import Lexicon  # noqa: E402


def texts():
    yield "fortunes-zh", corpus.lines("fortunes-zh")
    yield "manpages-zh", corpus.lines("manpages-zh")
    yield "mixed corpus", corpus.mixed()


def compare(name, lines, lexicon, tokenizer, split):
    for method, hmm in (("frequency", False), ("hmm", True)):
        jieba.finalseg.Force_Split_Words.clear()
        jieba.finalseg.Force_Split_Words.update(split)
        started = time.monotonic()
        differ = [line for line in lines if lexicon.segment(line, method=method) != tokenizer.lcut(line, HMM=hmm)]
        print(f"{name}, method={method}: {len(lines) - len(differ):,} of {len(lines):,} lines identical "
              f"({time.monotonic() - started:.0f} s)", flush=True)
        for line in differ[:3]:
            print(f"    differs: {line!r}")


def main():
    jieba.setLogLevel(60)
    dict_txt = os.path.join(os.path.dirname(jieba.__file__), "dict.txt")
    lexicon = Lexicon.from_file(dict_txt)
    tokenizer = jieba.Tokenizer()
    tokenizer.initialize()
    all_texts = list(texts())
    for name, lines in all_texts:
        print(f"{name}: {len(lines):,} lines, {sum(len(line.encode()) + 1 for line in lines) / 1e6:.1f} MB")
    for name, lines in all_texts:
        compare(f"{name}, dict.txt", lines, lexicon, tokenizer, ())
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "user.txt")
        sample = corpus.lines("fortunes-zh", sample=2000) + corpus.lines("manpages-zh", sample=2000)
        with open(path, "wb") as f:
            f.write(route_cases.user_dictionary(sample, list(lexicon.keys()), count=600))
        users = jieba.Tokenizer()
        users.initialize()
        jieba.finalseg.Force_Split_Words.clear()
        users.load_userdict(path)
        split = set(jieba.finalseg.Force_Split_Words)
        merged = lexicon.with_user_dictionary(path)
    same = merged._frequencies.total == users.total and all(users.FREQ[w] == v for w, v in merged.items())
    print(f"user dictionary of 600 lines: {len(merged) - len(lexicon):,} new words, {len(split)} to split; "
          f"total and every frequency as jieba's: {same}")
    for name, lines in all_texts:
        compare(f"{name}, dict.txt + user dictionary", lines, merged, users, split)


if __name__ == "__main__":
    main()
