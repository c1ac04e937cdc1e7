"""What each library's finished object holds in memory, on every word list.

    python -m velbench.memory [--lists jieba,de,th,de1m,tries10,mixed10] [--libs a,b]
                              [--timeout SECONDS] [--out NAME]

Each (library, word list) runs in a fresh interpreter (`--child`): it loads
the words and keeps them alive, so that their own strings do not count, then
builds the object and makes its first lookup (some libraries build an index
on that first call). Figures, all from /proc/self:

- resident growth: RSS after the first lookup (garbage collected, malloc
  trimmed) over the RSS before the build;
- peak: VmHWM growth from the build's start to the end of the first lookup,
  over the same starting RSS, and its ratio to the resident growth;
- time: the build, and the first lookup, once each (a cold process).

A child that crashes, fails or runs past the timeout gives a row that says so.
For ondrel_velarin, `ondrel_velarin.nbytes(trie)` is printed beside the
resident growth when the installed package has that function.
"""

import argparse
import json
import os
import subprocess
import sys
import time

from . import data, report
from .buildprobe import hwm, reset_hwm, rss, settle
from .libs import ALL, BY_NAME, VALUED, VALUED_BY_NAME

OURS = "velarin"
# Word list name: (label, loader, key of the first lookup, timeout factor).
LISTS = {
    "jieba": ("jieba dict", lambda: data.words("zh"), "中华人民共和国成立", 1),
    "de": ("German (wngerman)", lambda: data.words("de"), "Donaudampfschifffahrt", 1),
    "th": ("Thai (hunspell-th)", lambda: data.words("th"), "ภาษาไทยเป็นภาษา", 1),
    "de1m": ("1M German words and two-word phrases", data.german_phrases,
             "Haus Donaudampfschifffahrt", 2),
    "tries10": ("10,000 tries of 10 English words", data.small_tries, "undergraduate", 1),
    "mixed10": ("10,000 tries of 5 English and 5 Chinese words", data.mixed_small_tries, "中文", 1),
    # (word, frequency) pairs, for the libraries that keep a value a word.
    "jieba_freq": ("jieba dict with frequencies", lambda: data.jieba_pairs(), "中华人民共和国成立", 1),
}
# The lists of (word, value) pairs and the libraries that build from them.
VALUED_LISTS = {"jieba_freq"}
# The lists of many small tries, measured per trie.
PER_TRIE = {"tries10", "mixed10"}
# A Lexicon of jieba's words with frequencies holds at most this much more
# than the same words' Velarin, bytes a word.
LEXICON_EXTRA = 10
# Resident growth the engine aims at, bytes (per trie for the small tries).
TARGETS = {"jieba": 65e6, "de": 60e6, "de1m": 1e9, "tries10": 4e3, "mixed10": 6e3}


# ---------------------------------------------------------------- the child

def measure(lib, wordlist):
    """Build one library from one word list in this process; the figures."""
    lib._import()
    _label, load, key, _ = LISTS[wordlist]
    many = wordlist in PER_TRIE
    return measure_words(lib, load(), key, per_list=many)


def measure_words(lib, words, key, per_list=False):
    """Build `words` (a list of word lists when `per_list`: an object each)
    and look up `key` (after each list's first word, for many objects)."""
    lists = words if per_list else [words]
    longest = max(len(w if isinstance(w, str) else w[0]) for ws in lists for w in ws)
    # Every lookup key is made now: the measured growth is the objects' alone.
    keys = [ws[0] + key for ws in lists] if per_list else [key]
    nbytes = getattr(sys.modules.get("ondrel_velarin"), "nbytes", None) if lib.name == OURS else None
    settle()
    reset_hwm()
    before = rss()
    objs = []
    t0 = time.perf_counter()
    for ws in lists:
        objs.append(lib.build(ws))
    t1 = time.perf_counter()
    for obj, k in zip(objs, keys):
        lib.first_use(obj, k, longest)
    t2 = time.perf_counter()
    peak = hwm() - before
    settle()
    grown = rss() - before
    out = {"lib": lib.name, "objects": len(objs),
           "words": sum(map(len, lists)), "distinct": sum(len(set(ws)) for ws in lists),
           "resident": grown, "peak": peak, "build_s": t1 - t0, "first_s": t2 - t1}
    if nbytes is not None:
        out["nbytes"] = sum(nbytes(obj) for obj in objs)
    del objs
    return out


def child(name, wordlist):
    if name == OURS:
        import ondrel_velarin  # noqa: F401  (nbytes lives in the package)
    libs = VALUED_BY_NAME if wordlist in VALUED_LISTS else BY_NAME
    print(json.dumps(measure(libs[name], wordlist)))


# ---------------------------------------------------------------- the parent

def run_one(lib, wordlist, timeout):
    why = lib.available()
    if why:
        return {"status": "not installed: " + why}
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    cmd = [sys.executable, "-m", "velbench.memory", "--child", lib.name, wordlist]
    limit = timeout * LISTS[wordlist][3]
    try:
        p = subprocess.run(cmd, cwd=here, capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return {"status": "timed out (> %.0f s)" % limit}
    if p.returncode != 0:
        last = (p.stderr.strip().splitlines() or ["(no message)"])[-1]
        how = ("crashed (signal %d)" % -p.returncode if p.returncode < 0
               else "failed (exit %d)" % p.returncode)
        return {"status": "%s: %s" % (how, last[:100])}
    r = json.loads(p.stdout.strip().splitlines()[-1])
    r["status"] = "ok"
    return r


def run(libs, lists, timeout, progress=None):
    """Every (list, library) pair, in this order; the table's data."""
    table = {}
    for wl in lists:
        table[wl] = {}
        for lib in (VALUED if wl in VALUED_LISTS else libs):
            if progress:
                progress("memory: %s on the %s list" % (lib.name, wl))
            table[wl][lib.name] = run_one(lib, wl, timeout)
    return table


def _size(b, per):
    if per == "trie":
        return "%.1f KB" % (b / 1e3)
    return "%.1f MB" % (b / 1e6) if b >= 1e5 else "%.2f MB" % (b / 1e6)


def _cell(x, per):
    """One library's cell: resident growth (per trie for the small tries) and per word."""
    if x.get("status") != "ok":
        return x.get("status", "–")
    k = x["objects"] if per == "trie" else 1
    return "%s (%.0f B/word)" % (_size(x["resident"] / k, per), x["resident"] / x["words"])


def markdown(table, meta=None):
    """The memory table (a row per library, a column per word list), then a
    table per word list with times, peak and ondrel_velarin's own count."""
    libs = []
    for row in table.values():
        for n in row:
            if n not in libs:
                libs.append(n)
    lines = ["## Memory", ""]
    if meta:
        lines += [meta, ""]
    lines += ["Resident memory added by the finished object after its first lookup, with the "
              "words kept alive (their own strings do not count), each in a fresh process; per "
              "word, or per trie for the small tries. `set+loop` is a plain `set` of the words.", ""]
    heads = []
    for wl, row in table.items():
        some = next((x for x in row.values() if x.get("status") == "ok"), None)
        heads.append(LISTS[wl][0] + (", {:,} words".format(some["distinct"])
                                     if some and wl not in PER_TRIE else ""))
    lines += ["| library | " + " | ".join(heads) + " |", "|---|" + "---:|" * len(heads)]
    for n in libs:
        cells = [_cell(row.get(n, {}), "trie" if wl in PER_TRIE else "word")
                 for wl, row in table.items()]
        lines.append("| %s | %s |" % ("**%s**" % n if n == OURS else n, " | ".join(cells)))
    lines.append("")
    for wl, row in table.items():
        per = "trie" if wl in PER_TRIE else "word"
        lines += ["### %s" % LISTS[wl][0], "",
                  "| library | resident | bytes/word | build s | first lookup ms | peak | peak ÷ resident | nbytes |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|"]
        for n, x in sorted(row.items(), key=lambda kv: kv[1].get("resident", 1e30)):
            name = "**%s**" % n if n == OURS else n
            if x.get("status") != "ok":
                lines.append("| %s | %s | | | | | | |" % (name, x.get("status")))
                continue
            k = x["objects"] if per == "trie" else 1
            nb = x.get("nbytes")
            lines.append("| %s | %s%s | %.0f | %.3f | %.1f | %s | %s | %s |" % (
                name, _size(x["resident"] / k, per), " per trie" if per == "trie" else "",
                x["resident"] / x["words"], x["build_s"], x["first_s"] * 1e3, _size(x["peak"] / k, per),
                "%.2f×" % (x["peak"] / x["resident"]) if x["resident"] > 0 else "–",
                "–" if nb is None else _size(nb / k, per)))
        lines.append("")
    tg = targets(table)
    if tg:
        lines += ["Memory targets of ondrel_velarin (resident growth):", ""]
        lines += report.target_table(tg) + [""]
    return "\n".join(lines)


def targets(table):
    out = []
    for wl, goal in TARGETS.items():
        x = table.get(wl, {}).get(OURS)
        if not x or x.get("status") != "ok":
            continue
        per = "trie" if wl in PER_TRIE else "word"
        got = x["resident"] / (x["objects"] if per == "trie" else 1)
        out.append((LISTS[wl][0], "≤ %s%s" % (_size(goal, per), " per trie" if per == "trie" else ""),
                    _size(got, per), got <= goal))
    for wl in VALUED_LISTS & set(table):
        lexicon, trie = table[wl].get("velarin Lexicon", {}), table[wl].get(OURS, {})
        if lexicon.get("status") == "ok" and trie.get("status") == "ok":
            extra = (lexicon["resident"] - trie["resident"]) / lexicon["words"]
            out.append((LISTS[wl][0], "a Lexicon at most %d B a word above the same words' Velarin" % LEXICON_EXTRA,
                        "%.1f B a word" % extra, extra <= LEXICON_EXTRA))
    for wl, row in table.items():
        x = row.get(OURS)
        if x and x.get("status") == "ok" and x["resident"] > 0:
            r = x["peak"] / x["resident"]
            out.append((LISTS[wl][0], "peak during build and first lookup < 1.3× the finished object",
                        "%.2f×" % r, r < 1.3))
    return out


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        return child(sys.argv[2], sys.argv[3])
    ap = argparse.ArgumentParser(prog="velbench.memory")
    ap.add_argument("--lists", default=",".join(LISTS), help="comma-separated: " + ", ".join(LISTS))
    ap.add_argument("--libs", help="comma-separated subset of libraries (default: all)")
    ap.add_argument("--timeout", type=float, default=90.0,
                    help="seconds per child (twice that for the 1M list)")
    ap.add_argument("--out", default="memory", help="results file stem under results/ (or results/local/)")
    ap.add_argument("--save", action="store_true", help=report.SAVE_HELP)
    a = ap.parse_args()
    lists = [wl for wl in a.lists.split(",") if wl]
    for wl in lists:
        if wl not in LISTS:
            raise SystemExit("unknown word list %r (have: %s)" % (wl, ", ".join(LISTS)))
    libs = ALL if not a.libs else [BY_NAME[n] for n in a.libs.split(",")]
    started = time.time()

    def progress(msg):
        sys.stderr.write("[%4.0fs] %s\n" % (time.time() - started, msg))
        sys.stderr.flush()
    table = run(libs, lists, a.timeout, progress)
    meta = "Run %s, Python %s, %.0f s." % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                                          sys.version.split()[0], time.time() - started)
    md = markdown(table, meta)
    out_dir = report.results_dir(a.save)
    with open(os.path.join(out_dir, a.out + ".json"), "w") as f:
        json.dump(table, f, indent=1)
    with open(os.path.join(out_dir, a.out + ".md"), "w") as f:
        f.write(md + "\n")
    print(md)
    print("written: %s/%s.md, .json" % (out_dir, a.out))


if __name__ == "__main__":
    main()
