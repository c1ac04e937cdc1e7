"""Deep words: dictionaries of DNA reads, hundreds of letters each, and a
200,000-letter DNA text that follows every read far and matches none, beside
random DNA words of the same count and lengths.

    python -m velbench.deep [--words N,N] [--rounds R]    (from benchmarks/; or ./dev bench --deep)

Every position of such a text begins a walk, and the reads' walks go deep
before they fail. The rows are our segment and longest_matches, and the
automata's scans over the same text: leftmost-longest (the segmentation's
equivalent, gaps as single characters, checked against ours) and
overlapping (every occurrence, which longest_matches' answers follow from).
Rounds alternate between the rows in one process; each figure is the best.
The targets: on the reads, our segmentation at most the fastest automaton's
time, and at most twice our own time on the random words.
"""

import argparse
import sys
import time

from . import data
from .libs import BY_NAME

pc = time.perf_counter_ns


def rows(words, text):
    """name -> (kind, callable over the text) for every scan that builds here."""
    from ondrel_velarin import Velarin, longest_matches, segment
    v = Velarin(words)
    longest_matches(v, text[:1000])
    out = {"velarin segment": ("segment", lambda t: segment(v, t)),
           "velarin longest_matches": ("overlapping", lambda t: longest_matches(v, t))}
    for name in ("pyahocorasick", "ahocorasick-rs", "daachorse"):
        lib = BY_NAME[name]
        if lib.available():
            print("note: %s is not installed" % name, file=sys.stderr)
            continue
        obj = lib.build(words)
        out[name + " leftmost longest"] = ("segment", lib.segmenter(obj, 0))
        out[name + " overlapping"] = ("overlapping", overlapping(name, obj))
    return out


def overlapping(name, obj):
    """Every occurrence of every word: the peer's own overlapping scan."""
    if name == "pyahocorasick":
        return lambda t: list(obj.iter(t))
    if name == "ahocorasick-rs":
        import ahocorasick_rs as a
        automaton = a.AhoCorasick(obj[1], matchkind=a.MatchKind.Standard)
        return lambda t: automaton.find_matches_as_indexes(t, overlapping=True)
    import daachorse as d
    return d.CharwiseDoubleArrayAhoCorasick(obj[1], d.MATCH_KIND_STANDARD).find_overlapping


def measure(words, text, rounds):
    """Best ns of each row, rounds alternating between them; the
    segmentations are checked against ours first."""
    table = rows(words, text)
    reference = table["velarin segment"][1](text)
    for name, (kind, f) in table.items():
        if kind == "segment" and f(text) != reference:
            raise SystemExit("MISMATCH: %s segments the text otherwise than velarin" % name)
    best = {name: float("inf") for name in table}
    for r in range(rounds):
        names = list(table)
        for name in names[r % len(names):] + names[:r % len(names)]:
            t0 = pc()
            table[name][1](text)
            best[name] = min(best[name], pc() - t0)
    return {name: (table[name][0], best[name]) for name in table}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", default="1000,10000", help="dictionary sizes (default 1000,10000)")
    parser.add_argument("--rounds", type=int, default=15, help="rounds per dictionary (default 15)")
    args = parser.parse_args()
    print("DNA text of %d letters; words of 100-1,000 letters; best of %d alternating rounds, ms.\n"
          % (data.DNA_TEXT, args.rounds))
    print("| words | dictionary | scan | ms | ÷ fastest automaton, same scan | ÷ ours on random words |")
    print("|---:|---|---|---:|---:|---:|")
    verdicts = []
    for count in (int(n) for n in args.words.split(",")):
        reads, randoms, text = data.dna_words(count)
        print("dna: %d words ..." % count, file=sys.stderr, flush=True)
        got = {"reads": measure(reads, text, args.rounds), "random": measure(randoms, text, args.rounds)}
        for dictionary, results in got.items():
            fastest = {kind: min(ns for name, (k, ns) in results.items() if k == kind and "velarin" not in name)
                       for kind in ("segment", "overlapping")}
            for name, (kind, ns) in sorted(results.items(), key=lambda item: (item[1][0], item[1][1])):
                ours = "velarin" in name
                print("| %d | %s | %s | %.2f | %.2f× | %s |" % (
                    count, dictionary, name, ns / 1e6, ns / fastest[kind],
                    "%.2f×" % (ns / got["random"][name][1]) if ours else ""))
        for name in ("velarin segment", "velarin longest_matches"):
            kind, ns = got["reads"][name]
            fastest = min(n for k, (kk, n) in got["reads"].items() if kk == kind and "velarin" not in k)
            verdicts.append(("%d reads, %s" % (count, name), "≤ 1× the fastest automaton",
                             "%.2f×" % (ns / fastest), ns <= fastest))
            verdicts.append(("%d reads, %s" % (count, name), "≤ 2× ours on random words",
                             "%.2f×" % (ns / got["random"][name][1]), ns <= 2 * got["random"][name][1]))
    print("\n| workload | target | measured | result |\n|---|---|---|---|")
    for work, goal, measured, met in verdicts:
        print("| %s | %s | %s | %s |" % (work, goal, measured, "**met**" if met else "**MISSED**"))


if __name__ == "__main__":
    main()
