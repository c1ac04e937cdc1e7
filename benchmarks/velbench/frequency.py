"""Segmentation by word frequency against jieba and rjieba, in one process.

    python -m velbench.frequency [--megabytes N] [--rounds R] [--save]

On the mixed corpus (data.mixed_lines: N MB, default 20, of lines of
fortunes-zh and manpages-zh, one in ten from the English fortunes, some of
them slices of several lines joined) and jieba 0.42.1's own dict.txt, each
library segments the whole text in one call, without and with the HMM:

- ondrel_velarin: Lexicon.from_file(dict.txt).segment(text, method="frequency" | "hmm");
- jieba: jieba.lcut(text, HMM=False) and jieba.lcut(text), once each (it is slow);
- rjieba: rjieba.cut(text, hmm=False) and rjieba.cut(text, hmm=True).

ondrel_velarin and rjieba alternate, best of R rounds. Then ondrel_velarin
alone on adversarial input, one block of 250,000 to 1,000,000 characters
each: random Han characters of the dictionary, and the dictionary with very
long words added (a character repeated 2 to 200 times, and 10,000 and
1,000,000 times) over a text of that character alone, where every position
begins every one of them that fits; the time per character should not grow
with the length. Every result is
checked against jieba's, line by line; a library whose results differ is
listed as a wrong-answers row and no target is measured against it. The
targets: without the HMM at least 20x faster than jieba and 2x faster than
rjieba, with it at least 10x faster than jieba. The report goes to
results/local/frequency.md, or results/frequency.md with --save.
"""

import argparse
import os
import platform
import sys
import time

from . import data

TARGETS = [  # (method, peer, factor)
    ("frequency", "jieba", 20.0),
    ("frequency", "rjieba", 2.0),
    ("hmm", "jieba", 10.0),
]


def corpus(megabytes: int) -> str:
    def lines(name):
        return [line for line in data.text(name).splitlines() if line.strip()]

    return "\n".join(data.mixed_lines(lines("zh") + lines("zh_man"), lines("en"), megabytes)) + "\n"


def by_line(segments: list[str]) -> list[tuple[str, ...]]:
    """The segments of each line (a line ends at a "\\n" segment)."""
    out, line = [], []
    for s in segments:
        if s == "\n":
            out.append(tuple(line))
            line = []
        else:
            line.append(s)
    out.append(tuple(line))
    return out


def timed(f) -> tuple[float, list[str]]:
    started = time.perf_counter()
    result = f()
    return time.perf_counter() - started, result


def adversarial(lexicon, rounds: int) -> list[str]:
    """Rows of ns per character on single blocks of growing length."""
    import random

    from ondrel_velarin import Lexicon

    rng = random.Random(29)
    han = [w for w in lexicon.keys() if len(w) == 1 and "\u4e00" <= w <= "\u9fd5"]
    long_words = dict(lexicon.items())
    for n in (10_000, 1_000_000):
        long_words["的" * n] = 5
    for n in range(2, 201):
        long_words["的" * n] = 1 + n % 7
    cases = [("random Han characters, dict.txt", lexicon, lambda n: "".join(rng.choices(han, k=n))),
             ("one character repeated, dict.txt with 201 long words of it", Lexicon(long_words),
              lambda n: "的" * n)]
    rows = ["", "Adversarial input: one block of n characters, ondrel_velarin alone, best of "
            f"{rounds} (ns per character; linear time keeps each row level):", "",
            "| input | method | 250,000 | 500,000 | 1,000,000 |", "|---|---|---:|---:|---:|"]
    for name, lex, make in cases:
        texts = [make(n) for n in (250_000, 500_000, 1_000_000)]
        for method in ("frequency", "hmm"):
            lex.segment(texts[0][:1000], method=method)
            cells = []
            for text in texts:
                best = min(timed(lambda: lex.segment(text, method=method))[0] for _ in range(rounds))
                cells.append(f"{best * 1e9 / len(text):.0f}")
            rows.append(f"| {name} | {method} | " + " | ".join(cells) + " |")
    return rows


def load_average() -> str:
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def main() -> None:
    parser = argparse.ArgumentParser(prog="velbench.frequency", description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=int, default=data.MIXED_MEGABYTES)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--save", action="store_true", help="write results/frequency.md instead of results/local/")
    args = parser.parse_args()

    import jieba
    import rjieba

    from ondrel_velarin import HMM, Lexicon

    jieba.setLogLevel(60)
    dict_txt = os.path.join(os.path.dirname(jieba.__file__), "dict.txt")
    text = corpus(args.megabytes)
    load_before = load_average()
    print(f"corpus: {len(text.encode('utf-8')) / 1e6:.1f} MB, {len(text):,} characters, {text.count(chr(10)):,} lines",
          file=sys.stderr)
    lexicon = Lexicon.from_file(dict_txt)
    hmm = HMM.from_jieba()
    jieba.initialize()
    ours = {m: (lambda m=m: lexicon.segment(text, method=m, hmm=hmm)) for m in ("frequency", "hmm")}
    peers = {"frequency": lambda: rjieba.cut(text, hmm=False), "hmm": lambda: rjieba.cut(text, hmm=True)}
    reference, times, results = {}, {}, {}
    for method, use_hmm in (("frequency", False), ("hmm", True)):
        print(f"jieba, {method}...", file=sys.stderr)
        times[("jieba", method)], reference[method] = timed(lambda: jieba.lcut(text, HMM=use_hmm))
        results[("jieba", method)] = reference[method]
        for name, f in (("ondrel_velarin", ours[method]), ("rjieba", peers[method])):
            f()  # warm: the model, the index, the peer's own dictionary
        for _ in range(args.rounds):
            for name, f in (("ondrel_velarin", ours[method]), ("rjieba", peers[method])):
                seconds, result = timed(f)
                key = (name, method)
                times[key] = min(times.get(key, seconds), seconds)
                results[key] = result
    load_after = load_average()

    lines_of = {m: by_line(reference[m]) for m in reference}
    rows, right = [], {}
    for (name, method), result in results.items():
        got = by_line(result)
        same = sum(a == b for a, b in zip(got, lines_of[method])) if len(got) == len(lines_of[method]) else 0
        right[(name, method)] = result == reference[method]
        rows.append((method, name, times[(name, method)], same, len(lines_of[method])))
    rows.sort(key=lambda r: (r[0], not right[(r[1], r[0])], r[2]))

    out = [f"# Segmentation by word frequency: ondrel_velarin, jieba {jieba.__version__}, rjieba", "",
           f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {platform.platform()}, "
           f"Python {platform.python_version()}, load average {load_before} before and {load_after} after.", "",
           f"Text: the mixed corpus, {len(text.encode('utf-8')) / 1e6:.1f} MB, {len(text):,} characters, "
           f"{len(lines_of['frequency']):,} lines; dictionary: jieba's dict.txt ({len(lexicon):,} words). "
           f"One call over the whole text each; ondrel_velarin and rjieba best of {args.rounds} alternating rounds, "
           "jieba once.", "",
           "| method | library | seconds | ns/char | lines as jieba's | answers |", "|---|---|---:|---:|---:|---|"]
    for method, name, seconds, same, total in rows:
        answers = "reference" if name == "jieba" else "ok" if right[(name, method)] else "**WRONG**"
        out.append(f"| {method} | {name} | {seconds:.3f} | {seconds * 1e9 / len(text):.1f} | {same:,} of {total:,} "
                   f"| {answers} |")
    out += ["", "| target | measured | result |", "|---|---|---|"]
    for method, peer, factor in TARGETS:
        if not right[("ondrel_velarin", method)]:
            out.append(f"| {method}: ≥ {factor:g}× faster than {peer} | ondrel_velarin's answers differ | **missed** |")
            continue
        if not right[(peer, method)]:
            out.append(f"| {method}: ≥ {factor:g}× faster than {peer} | {peer}'s answers differ | no measure |")
            continue
        ratio = times[(peer, method)] / times[("ondrel_velarin", method)]
        verdict = "met" if ratio >= factor else "missed"
        out.append(f"| {method}: ≥ {factor:g}× faster than {peer} | {peer} {times[(peer, method)]:.3f} s vs "
                   f"{times[('ondrel_velarin', method)]:.3f} s: {ratio:.2f}× | **{verdict}** |")
    out += adversarial(lexicon, args.rounds)
    out += ["", f"Load average at the end: {load_average()}."]
    report = "\n".join(out) + "\n"
    print(report)
    folder = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "results")
    if not args.save:
        folder = os.path.join(folder, "local")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "frequency.md"), "w", encoding="utf-8") as f:
        f.write(report)


if __name__ == "__main__":
    main()
