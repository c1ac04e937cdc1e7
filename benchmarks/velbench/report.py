"""The Markdown report, the JSON beside it, the chart, and the target checks."""

import json
import os

OURS = "velarin"
FLOORS = ("no-op call", "bare loop")
# (text, factor): our call-alone lookups against the fastest right peer, and
# our whole-text segmentation against the fastest peer's equivalent.
LOOKUP_TARGETS = (("zh_man", 3.0), ("en", 2.0))
SEGMENT_TARGETS = (("zh_man", 4.0), ("zh", 4.0), ("en", 3.0))
TEXT_NAMES = {"en": "English fortunes", "zh": "Chinese fortunes",
              "zh_man": "Chinese man pages (dense)"}
LOOP = "velarin get loop"


def _kind(name):
    if name in FLOORS:
        return "floor"
    from .libs import BY_NAME
    return BY_NAME[name].kind if name in BY_NAME else "baseline"


def _ns(x):
    if x is None:
        return "–"
    return "%.0f" % x if x >= 100 else "%.1f" % x


def _ratio(a, b):
    if a is None or b is None or b <= 0:
        return "–"
    r = a / b
    return "%.2f×" % r if r < 100 else "%.0f×" % r


def _mb(b):
    return "–" if b is None else "%.1f" % (b / 1e6)


def _examples(x):
    # Tuples, also when read back from the JSON (which keeps only lists).
    return [tuple(ex) for ex in x["examples"][:1]]


def _rank(entry, key):
    """Sort key of a table row: rows with right answers by time, then the
    rows whose answers differ (timed, but not ranked among the others),
    then those with no time."""
    t = entry.get(key)
    return (t is None, entry.get("status") == "MISMATCH", t or 0)


def _med(entries, name):
    e = entries.get(name) or {}
    return e.get("median")


def target_table(rows):
    """Markdown lines for (workload, target, measured, result) rows; a result
    of None is a target no implementation can reach."""
    verdict = {True: "**met**", False: "**MISSED**", None: "dropped: unreachable"}
    return (["| workload | target | measured | result |", "|---|---|---|---|"]
            + ["| %s | %s | %s | %s |" % (w, g, fig, verdict[ok]) for w, g, fig, ok in rows])


def _fastest_peer(entries, key):
    peers = [(e[key], n) for n, e in entries.items()
             if _kind(n) == "peer" and e.get("status") == "ok" and e.get(key)]
    return min(peers) if peers else (None, None)


def lookup_targets(res):
    """Call-alone lookups against the fastest peer with right answers. A
    target whose time (the peer's over the factor) is below the bare loop,
    which only walks the key list, is one no implementation can reach."""
    out = []
    for text, factor in LOOKUP_TARGETS:
        w = res["lookup"].get("%s short keys, call alone" % text)
        if not w:
            continue
        e = w["libs"]
        work = "lookup, call alone, %s" % TEXT_NAMES[text]
        goal = "≥ %.0f× faster than the fastest peer with right answers" % factor
        ours, bare = _med(e, OURS), _med(e, "bare loop")
        peer, pname = _fastest_peer(e, "median")
        if not ours or not peer:
            out.append((work, goal, "velarin: %s; peers: %s" % (
                (e.get(OURS) or {}).get("status", "missing"), pname or "none with right answers"), False))
        elif bare and peer / factor < bare:
            out.append((work, goal, "%s %.0f ns ÷ %.0f = %.0f ns, below the bare loop's %.0f ns "
                        "(velarin %.0f ns: %.2f×)" % (pname, peer, factor, peer / factor, bare, ours,
                                                     peer / ours), None))
        else:
            out.append((work, goal, "%s %.0f ns vs %.0f ns: %.2f× faster" % (
                pname, peer, ours, peer / ours), peer / ours >= factor))
    return out


def segment_targets(res):
    out = []
    texts = res.get("segment", {}).get("texts", {})
    for text, factor in SEGMENT_TARGETS:
        t = texts.get(text)
        if not t or "segment" not in t:
            continue
        e = t["segment"]
        work = "segmentation, %s" % TEXT_NAMES[text]
        goal = "≥ %.0f× faster than the fastest peer's equivalent" % factor
        ours = e.get(OURS, {})
        peer, pname = _fastest_peer(e, "best")
        if ours.get("status") != "ok" or not peer:
            out.append((work, goal, "velarin: %s; peers: %s" % (
                ours.get("status", "missing"), pname or "none with right answers"), False))
            continue
        f = peer / ours["best"]
        out.append((work, goal, "%s %.1f ms vs %.1f ms: %.2f× faster" % (
            pname, peer / 1e6, ours["best"] / 1e6, f), f >= factor))
    return out


def segment_markdown(res, with_targets=False):
    seg = res.get("segment") or {}
    if not seg.get("texts"):
        return ""
    lines = ["## Whole-text segmentation", "",
             "Forward longest-match segmentation of a whole text: from each segment's start, the "
             "longest stored word there, or one character when none is. `velarin get loop` is the "
             "Python loop a user would write with velarin's lookup: look up `text[i:i+L]` (L the "
             "longest word's length), `w = get(window) or text[i]`, `i += len(w)`; peers without a "
             "whole-text call run the same loop over their per-key lookup (the Lookup section's "
             "adapters). Every row's segments are checked against `segment`'s. Time: best of up to %d "
             "passes (fewer once a row has spent %.1f s; the count is shown), median beside it; rows "
             "whose one pass would take over %.0f s are skipped. Measured %s." % (
                 seg["repeats"], seg["budget_s"], seg["cap_s"], seg["date"]), ""]

    def table(entries, head, n_chars):
        ours = (entries.get(OURS) or {}).get("best")
        rows = ["| %s | how | best ms | median ms | passes | ns/char | ÷ velarin | %s |" % (head[0], head[1]),
                "|---|---|---:|---:|---:|---:|---:|---|"]
        for n, x in sorted(entries.items(), key=lambda kv: _rank(kv[1], "best")):
            st = x["status"]
            if st == "MISMATCH":
                st = "**MISMATCH** at %d places, first %s" % (x["mismatches"], _examples(x))
            best = x.get("best")
            if best is None:
                rows.append("| %s | %s | – | – | – | – | – | %s |" % (n, x.get("how", ""), st))
                continue
            rows.append("| %s | %s | %.1f | %.1f | %d | %.1f | %s | %s |" % (
                "**%s**" % n if n == OURS else n, x["how"], best / 1e6, x["median"] / 1e6,
                len(x["samples"]), best / n_chars, _ratio(best, ours), st))
        return rows

    for wl, t in seg["texts"].items():
        if "segment" not in t:
            lines += ["### %s text" % wl, "", "Not run: %s." % t.get("status"), ""]
            continue
        lines += ["### %s, %s words" % (TEXT_NAMES.get(wl, wl), t.get("wordlist", wl)), "",
                  "%d characters, %d distinct words (longest %d characters); %d segments%s." % (
                      t["chars"], t["words"], t["longest"], t["segments"],
                      "" if t["joins"] else "; **velarin's segments do not join back to the text**"), ""]
        lines += table(t["segment"], ("segmenter", "segments"), t["chars"]) + [""]
        lines += ["`longest_matches`: the length of the longest stored word at every position.", ""]
        lines += table(t["longest_matches"], ("scan", "answers"), t["chars"]) + [""]
    tg = segment_targets(res) if with_targets else []
    if tg:
        lines += target_table(tg) + [""]
    return "\n".join(lines)


def targets(res):
    return lookup_targets(res) + segment_targets(res)


def markdown(res, stem):
    m = res["machine"]
    s = res["settings"]
    lines = ["# ondrel_velarin benchmarks", "",
             "Run %s on `%s`; %s, %s RAM; Python %s. %s." % (
                 m["date"], m["uname"], m["cpu"], m["memory"], m["python"].split()[0],
                 "Quick smoke run" if s["quick"] else "Full run"),
             "", "![chart](%s.png)" % stem, "", "## Targets", ""]
    lines += target_table(targets(res))

    lines += ["", "## Lookup", "",
              "Nanoseconds per call: the median of %d rounds, with the fastest and slowest round. "
              "Every library answers the same keys in the same loop; `no-op call` is a native "
              "METH_O method that returns its argument, `bare loop` is the loop (and the slicing, "
              "where keys are sliced in the timed loop) with no call at all. `short keys` slice "
              "each key inside the timed loop, as real use does; `short keys, call alone` slice "
              "the same keys into a list first (fresh for every library and round) and time the "
              "calls alone. The last column is each row's time over velarin's. Answers are "
              "checked against set+loop for every key; daachorse and ahocorasick-rs are "
              "whole-text scanners and appear under segmentation only." % s["repeats"], ""]
    for name, w in res["lookup"].items():
        e = w["libs"]
        ours, noop, bare = _med(e, OURS), _med(e, "no-op call"), _med(e, "bare loop")
        lines += ["### %s" % name, "", "Keys: %s." % w["what"], "",
                  "| library | ns/call | min–max | × no-op call | × bare loop | ÷ velarin | answers |",
                  "|---|---:|---:|---:|---:|---:|---|"]
        rows = sorted(e.items(), key=lambda kv: _rank(kv[1], "median"))
        for n, x in rows:
            med = x.get("median")
            ans = x["status"]
            if ans == "MISMATCH":
                ans = "**MISMATCH** at %d keys, e.g. %s%s" % (
                    x["mismatches"], _examples(x), "; " + x["why"] if x.get("why") else "")
            elif ans == "floor":
                ans = ""
            lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
                "**%s**" % n if n == OURS else n, _ns(med),
                "%s–%s" % (_ns(x.get("min")), _ns(x.get("max"))) if med else "–",
                _ratio(med, noop), _ratio(med, bare), _ratio(med, ours), ans))
        lines.append("")

    sm = segment_markdown(res)
    if sm:
        lines += sm.split("\n")
    lines += ["## Build", "",
              "Each library builds each word list in a fresh process. Time: median of up to %d "
              "builds (fewer when one build is slow; the count is shown). Peak: growth of the "
              "process's peak RSS during the first build, over the RSS with the word list loaded. "
              "Finished: RSS held once the word list is freed, over the RSS before it was loaded "
              "(malloc_trim first). Python peak: tracemalloc's peak during a build, which sees only "
              "Python-heap allocations." % s["build_repeats"], ""]
    for wl, b in res["build"].items():
        any_ok = next((x for x in b.values() if x.get("status") == "ok"), None)
        head = ("%d words, %d distinct" % (any_ok["n_words"], any_ok["n_distinct"])) if any_ok else ""
        lines += ["### %s word list (%s)" % (wl, head), "",
                  "| library | build ms | min–max (n) | ÷ velarin | peak MB | finished MB | bytes/word | peak ÷ finished | Python peak MB |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        ours = (b.get(OURS) or {}).get("median_ns")
        for n, x in sorted(b.items(), key=lambda kv: kv[1].get("median_ns") or 1e30):
            if x.get("status") != "ok":
                lines.append("| %s | %s | | | | | | | |" % (n, x.get("status")))
                continue
            t = x["times_ns"]
            lines.append("| %s | %.1f | %.1f–%.1f (%d) | %s | %s | %s | %.0f | %s | %s |" % (
                "**%s**" % n if n == OURS else n, x["median_ns"] / 1e6, min(t) / 1e6, max(t) / 1e6,
                len(t), _ratio(x["median_ns"], ours), _mb(x["peak_bytes"]), _mb(x["finished_bytes"]),
                x["finished_bytes"] / x["n_distinct"],
                _ratio(x["peak_bytes"], x["finished_bytes"]), _mb(x["py_peak_bytes"])))
        lines.append("")
    lines += ["The set's finished size includes the str objects it keeps alive "
              "(a trie holds its own copy of the bytes, so the list can go).", ""]

    if res.get("memory"):
        from . import memory
        mem = res["memory"]
        lines += memory.markdown(mem["table"], "The table took %.0f s, each row in a process of its own."
                                 % mem["elapsed_s"]).split("\n")
        lines.append("")

    lines += ["## Iteration", "",
              "Nanoseconds per stored string to list all distinct stored strings "
              "(median of %d); listings are checked to hold each distinct string once." % s["repeats"], ""]
    wls = list(res["iteration"])
    lines += ["| library | " + " | ".join(wls) + " |", "|---|" + "---:|" * len(wls)]
    names = sorted({n for w in res["iteration"].values() for n in w["libs"]})
    for n in names:
        cells = []
        for wl in wls:
            x = res["iteration"][wl]["libs"].get(n)
            if not x:
                cells.append("–")
            elif x.get("status") == "ok":
                cells.append(_ns(x["median"]))
            else:
                cells.append("%s %s" % (_ns(x.get("median")), x["status"]))
        lines.append("| %s | %s |" % ("**%s**" % n if n == OURS else n, " | ".join(cells)))

    lines += ["", "## Setup", "",
              "- Short keys: %d characters, sliced in the timed loop, and again sliced "
              "beforehand (the call alone). Rest-of-text keys: %d keys "
              "sliced before the timed loop (slicing the rest of a 1-2 MB text costs O(n) per key, "
              "and for every position O(n²) in all), so only the calls are timed. "
              "Timed rounds: %d, interleaved across libraries." % (s["width"], s["rest_keys"], s["repeats"]),
              "- Interpreter: `%s`" % m["python"]]
    lines.append("- Libraries: " + ", ".join("%s %s" % (k, v) for k, v in m["versions"].items()))
    for k, v in m["data"].items():
        lines.append("- Data %s: %s" % (k, v))
    lines.append("- Whole run: %.0f s." % res.get("elapsed_s", 0))
    return "\n".join(lines) + "\n"


def chart(res, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(15, 11))

    def bars(ax, groups, title, unit):
        # groups: {series label: {library: value}}
        names = []
        for g in groups.values():
            for n in g:
                if n not in names:
                    names.append(n)
        names.sort(key=lambda n: min((g.get(n) or 1e30) for g in groups.values()), reverse=True)
        h = 0.8 / max(1, len(groups))
        for k, (label, g) in enumerate(groups.items()):
            ys = [i + k * h for i in range(len(names))]
            vals = [g.get(n) or 0 for n in names]
            colors = ["#d62728" if n == OURS else ("#7f7f7f" if n in FLOORS else None) for n in names]
            bb = ax.barh(ys, vals, height=h, label=label, alpha=0.9 if k == 0 else 0.55)
            for b_, c in zip(bb, colors):
                if c:
                    b_.set_edgecolor(c)
                    b_.set_linewidth(2)
            for y, v in zip(ys, vals):
                if v:
                    ax.text(v, y, " " + (_ns(v) if unit == "ns" else "%.3g" % v),
                            va="center", fontsize=7)
        ax.set_yticks([i + h * (len(groups) - 1) / 2 for i in range(len(names))])
        ax.set_yticklabels(names)
        for t in ax.get_yticklabels():
            if t.get_text() == OURS:
                t.set_fontweight("bold")
        ax.set_xscale("log")
        ax.set_title(title)
        ax.set_xlabel(unit + " (log scale)")
        ax.legend(loc="upper right", fontsize=8)
        lo, hi = ax.get_xlim()
        ax.set_xlim(lo, hi * 3)      # room for the value labels

    L = res["lookup"]

    def med(w):
        return {n: e.get("median") for n, e in L[w]["libs"].items() if e.get("median")} if w in L else {}

    bars(axes[0][0], {TEXT_NAMES[t]: med("%s short keys, call alone" % t) for t in TEXT_NAMES},
         "Lookup, 32-character keys sliced before timing (the call alone)", "ns")
    bars(axes[0][1], {"English": med("en rest-of-text keys"), "Chinese": med("zh rest-of-text keys")},
         "Lookup, whole-rest-of-text keys", "ns")
    B = res["build"]

    def bmed(wl, f):
        return {n: f(x) for n, x in B.get(wl, {}).items() if x.get("status") == "ok"}

    bars(axes[1][0], {"English words": bmed("en", lambda x: x["median_ns"] / 1e6),
                      "Chinese words": bmed("zh", lambda x: x["median_ns"] / 1e6)},
         "Build time", "ms")
    mem = (res.get("memory") or {}).get("table")
    if mem:
        from .memory import LISTS, PER_TRIE
        bars(axes[1][1], {LISTS[wl][0]: {n: x["resident"] / x["words"] for n, x in row.items()
                                         if x.get("status") == "ok" and x["resident"] > 0}
                          for wl, row in mem.items() if wl not in PER_TRIE},
             "Resident memory of the finished object, words kept alive", "bytes per word")
    else:
        bars(axes[1][1], {"English words": bmed("en", lambda x: x["finished_bytes"] / x["n_distinct"]),
                          "Chinese words": bmed("zh", lambda x: x["finished_bytes"] / x["n_distinct"])},
             "Memory of the finished object", "bytes per stored word")
    m = res["machine"]
    fig.suptitle("ondrel_velarin vs peers — %s — %s — Python %s" % (
        m["date"], m["cpu"], m["python"].split()[0]), fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=90)
    plt.close(fig)


# The tracked results (the README's figures), and the ignored folder that
# every run writes into unless it is asked to save.
RESULTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "results")
LOCAL_RESULTS = os.path.join(RESULTS, "local")


def results_dir(save):
    """Where a run writes its results: the tracked folder only with --save."""
    out_dir = RESULTS if save else LOCAL_RESULTS
    os.makedirs(out_dir, exist_ok=True)
    return out_dir


SAVE_HELP = "write the results into benchmarks/results/ (tracked) instead of benchmarks/results/local/"


def write(res, out_dir, stem):
    # The figures first: a fault in the Markdown must not lose a run.
    with open(os.path.join(out_dir, stem + ".json"), "w") as f:
        json.dump(res, f, indent=1, default=str)
    md = markdown(res, stem)
    with open(os.path.join(out_dir, stem + ".md"), "w") as f:
        f.write(md)
    chart(res, os.path.join(out_dir, stem + ".png"))
    return md
