"""The Lexicon against the peers that answer the same questions, in one
process, the libraries timed in alternation round after round; ratios and
the issue's targets, each said met or missed.

    python -m velbench.lexicon [--rounds R] [--keys N] [--chars N] [--save]

Word lists: jieba's dict.txt with its frequencies (the values), and the
English list with each word's line number. Every library's answers are
compared with the Lexicon's on the same keys; one that differs is marked
and never the peer a target is measured against.
"""

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import time

from . import data

from ondrel_velarin import Lexicon, Velarin

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def say(text):
    print(text, flush=True)


def jieba_entries():
    """jieba's words with their frequencies, as dict.txt has them (the last of a word given twice)."""
    path = data.jieba_dict_path()
    entries = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 2:
                entries[fields[0]] = int(fields[1])
    return path, entries


def english_entries():
    return {w: i for i, w in enumerate(data.words("en"))}


def timed(call, items):
    """ns per item of `call` over items, once."""
    start = time.perf_counter_ns()
    call(items)
    return (time.perf_counter_ns() - start) / max(len(items), 1)


def alternate(contenders, items, rounds):
    """Median ns per item for each contender, timed in turn, the order
    shuffled every round so that none is always first after a collection."""
    times = {name: [] for name in contenders}
    rng = random.Random(7)
    for _ in range(rounds):
        order = list(contenders)
        rng.shuffle(order)
        for name in order:
            gc.collect()
            times[name].append(timed(contenders[name], items))
    return {name: statistics.median(t) for name, t in times.items()}


def loop(f):
    """A loop calling f on each item, as a user's code would."""
    def run(items):
        for x in items:
            f(x)
    return run


def contains_loop(container):
    def run(items):
        for x in items:
            x in container  # noqa: B015
    return run


class Table:
    def __init__(self, title):
        self.title, self.rows, self.targets = title, [], []

    def show(self, results, ours, answers):
        say(f"\n### {self.title}\n")
        say("| library | ns/call | ÷ ours | answers |")
        say("|---|---:|---:|---|")
        for name, ns in sorted(results.items(), key=lambda kv: kv[1]):
            mark = "**" if name == ours else ""
            say(f"| {mark}{name}{mark} | {ns:,.0f} | {ns / results[ours]:.2f}× | {answers.get(name, 'ok')} |")
        self.rows.append({"results": results, "answers": answers})


TARGETS = []


def target(what, ours_ns, peers, factor, better=True, unit="ns"):
    """Records a target: ours at least `factor` times faster than the fastest
    peer with right answers (better), or within `factor` of it (not better)."""
    if not peers:
        TARGETS.append((what, "no peer with right answers", "–"))
        return
    peer, peer_ns = min(peers.items(), key=lambda kv: kv[1])
    ratio = peer_ns / ours_ns
    met = ratio >= factor if better else ours_ns <= factor * peer_ns
    goal = f"≥ {factor}× faster than {peer}" if better else f"within {factor}× of {peer}"
    TARGETS.append((what, f"{goal}: {peer} {peer_ns:,.0f} {unit} vs {ours_ns:,.0f} {unit} (÷ {ratio:.2f})", "met" if met else "missed"))


def peers_of(results, answers, ours, names):
    return {n: results[n] for n in names if n in results and answers.get(n, "ok") == "ok" and n != ours}


def optional(name):
    try:
        return __import__(name)
    except ImportError:
        say(f"note: {name} is not installed; its rows are left out")
        return None


def bench_list(label, entries, keys_count, rounds, texts, has_datrie):
    words = list(entries)
    rng = random.Random(11)
    lex = Lexicon(entries)
    mapping = dict(entries)
    present = rng.sample(words, min(keys_count, len(words)))
    present = [w.encode().decode() for w in present]  # fresh strs, none the containers hold
    dawg, marisa, datrie, darts = optional("dawg"), optional("marisa_trie"), optional("datrie") if has_datrie else None, optional("dartsclone")
    peers = {}
    if dawg:
        peers["DAWG2 IntDAWG"] = dawg.IntDAWG(entries.items())
        peers["DAWG2 CompletionDAWG"] = dawg.CompletionDAWG(words)
    if marisa:
        peers["marisa-trie Trie"] = marisa.Trie(words)
        peers["marisa-trie RecordTrie"] = marisa.RecordTrie("<i", ((w, (v,)) for w, v in entries.items()))
    if datrie:
        t = datrie.Trie("".join(sorted(set("".join(words)))))
        for w, v in entries.items():
            t[w] = v
        peers["datrie"] = t
    if darts:
        ordered = sorted(words, key=str.encode)
        d = darts.DoubleArray()
        d.build([w.encode() for w in ordered], values=[entries[w] for w in ordered])
        peers["dartsclone"] = d

    # Membership and values.
    contenders = {"Lexicon": contains_loop(lex), "set": contains_loop(set(words))}
    if dawg:
        contenders["DAWG2 IntDAWG"] = contains_loop(peers["DAWG2 IntDAWG"])
    if marisa:
        contenders["marisa-trie Trie"] = contains_loop(peers["marisa-trie Trie"])
    if datrie:
        contenders["datrie"] = contains_loop(peers["datrie"])
    results = alternate(contenders, present, rounds)
    Table(f"{label}: `w in x`, {len(present):,} words present").show(results, "Lexicon", {})
    target(f"{label}: `w in lex` against DAWG2", results["Lexicon"], peers_of(results, {}, "Lexicon", ["DAWG2 IntDAWG"]), 1.5)
    target(f"{label}: `w in lex` against a set", results["Lexicon"], peers_of(results, {}, "Lexicon", ["set"]), 2, better=False)

    answers = {}
    contenders = {"Lexicon": loop(lex.__getitem__), "dict": loop(mapping.__getitem__)}
    want = [mapping[w] for w in present]
    if dawg:
        contenders["DAWG2 IntDAWG"] = loop(peers["DAWG2 IntDAWG"].__getitem__)
        answers["DAWG2 IntDAWG"] = "ok" if [peers["DAWG2 IntDAWG"][w] for w in present] == want else "MISMATCH"
    if marisa:
        rt = peers["marisa-trie RecordTrie"]
        contenders["marisa-trie RecordTrie"] = loop(rt.__getitem__)
        answers["marisa-trie RecordTrie"] = "ok" if [rt[w][0][0] for w in present] == want else "MISMATCH"
    if datrie:
        contenders["datrie"] = loop(peers["datrie"].__getitem__)
    if darts:
        ems = peers["dartsclone"].exact_match_search
        contenders["dartsclone"] = loop(lambda w: ems(w.encode()))
    assert [lex[w] for w in present] == want
    results = alternate(contenders, present, rounds)
    Table(f"{label}: `x[w]`, the value of a word present").show(results, "Lexicon", answers)
    target(f"{label}: `lex[w]` against DAWG2", results["Lexicon"], peers_of(results, answers, "Lexicon", ["DAWG2 IntDAWG"]), 1.5)
    target(f"{label}: `lex[w]` against a dict", results["Lexicon"], peers_of(results, answers, "Lexicon", ["dict"]), 2, better=False)

    # Every stored prefix of a text's keys, sliced before timing.
    for text_label, text in texts:
        keys = [text[i:i + 32] for i in range(0, min(len(text) - 1, 3 * keys_count))]
        keys = [k for k in keys if k][:keys_count]
        want = [lex.prefixes(k) for k in keys]
        contenders, answers = {"Lexicon": loop(lex.prefixes)}, {}
        for name, obj in peers.items():
            if name in ("DAWG2 CompletionDAWG", "marisa-trie Trie", "datrie"):
                contenders[name] = loop(obj.prefixes)
                answers[name] = "ok" if [sorted(obj.prefixes(k), key=len) for k in keys] == want else "MISMATCH"
        if darts:
            cps = peers["dartsclone"].common_prefix_search
            contenders["dartsclone"] = loop(lambda k: [k.encode()[:n].decode() for _v, n in cps(k.encode())])
            answers["dartsclone"] = "ok" if [[k.encode()[:n].decode() for _v, n in cps(k.encode())] for k in keys] == want else "MISMATCH"
        results = alternate(contenders, keys, rounds)
        Table(f"{label}: `prefixes(key)`, 32-character keys of {text_label}").show(results, "Lexicon", answers)
        target(f"{label}: `prefixes` on {text_label}", results["Lexicon"],
               peers_of(results, answers, "Lexicon", ["datrie", "DAWG2 CompletionDAWG", "marisa-trie Trie", "dartsclone"]), 2)

        contenders = {"Lexicon longest_prefix_item": loop(lex.longest_prefix_item),
                      "Velarin get_closest_prefix": loop(lex.trie.get_closest_prefix)}
        results = alternate(contenders, keys, rounds)
        Table(f"{label}: the longest word of 32-character keys of {text_label}").show(results, "Lexicon longest_prefix_item", {})
        target(f"{label}: `longest_prefix_item` on {text_label}", results["Lexicon longest_prefix_item"],
               {"get_closest_prefix": results["Velarin get_closest_prefix"]}, 1.2, better=False)

    # Completions of short prefixes: the first one or two characters of words.
    prefixes = [w[: rng.choice((1, 2))] for w in rng.sample(words, min(2000, len(words)))]
    want = [lex.keys(p) for p in prefixes]
    contenders, answers = {"Lexicon": loop(lex.keys)}, {}
    for name in ("DAWG2 CompletionDAWG", "marisa-trie Trie"):
        if name in peers:
            obj = peers[name]
            contenders[name] = loop(obj.keys)
            answers[name] = "ok" if [sorted(obj.keys(p)) for p in prefixes] == want else "MISMATCH"
    results = alternate(contenders, prefixes, rounds)
    mean = statistics.mean(map(len, want))
    Table(f"{label}: `keys(prefix)`, {len(prefixes):,} prefixes of 1–2 characters ({mean:.0f} words each on average)").show(
        results, "Lexicon", answers)
    target(f"{label}: `keys(prefix)` against DAWG2", results["Lexicon"],
           peers_of(results, answers, "Lexicon", ["DAWG2 CompletionDAWG"]), 2)
    return lex


def bench_find_all(label, lex, text, rounds):
    words = list(lex)
    pyaho, aho_rs, daac = optional("ahocorasick"), optional("ahocorasick_rs"), optional("daachorse")
    want = lex.find_all(text)
    expected = sorted(want)
    contenders, answers = {"Lexicon find_all": lambda texts: [lex.find_all(t) for t in texts]}, {}
    nonempty = [w for w in words if w]
    if pyaho:
        a = pyaho.Automaton()
        for w in nonempty:
            a.add_word(w, len(w))
        a.make_automaton()
        contenders["pyahocorasick iter"] = lambda texts: [list(a.iter(t)) for t in texts]
        got = sorted((end - n + 1, end + 1) for end, n in a.iter(text))
        answers["pyahocorasick iter"] = "ok" if got == expected else "MISMATCH"
    if aho_rs:
        r = aho_rs.AhoCorasick(nonempty)
        contenders["ahocorasick-rs overlapping"] = lambda texts: [r.find_matches_as_indexes(t, overlapping=True) for t in texts]
        got = sorted((s, e) for _i, s, e in r.find_matches_as_indexes(text, overlapping=True))
        answers["ahocorasick-rs overlapping"] = "ok" if got == expected else "MISMATCH"
    if daac:
        d = daac.CharwiseDoubleArrayAhoCorasick(nonempty)
        contenders["daachorse find_overlapping"] = lambda texts: [d.find_overlapping(t) for t in texts]
        got = sorted((s, e) for s, e, _i in d.find_overlapping(text))
        answers["daachorse find_overlapping"] = "ok" if got == expected else "MISMATCH"
    results = alternate(contenders, [text], rounds)
    per_char = {k: v / len(text) for k, v in results.items()}
    Table(f"{label}: every overlapping occurrence in {len(text):,} characters ({len(want):,} occurrences), ns per character").show(
        per_char, "Lexicon find_all", answers)
    for name in ("pyahocorasick iter", "ahocorasick-rs overlapping", "daachorse find_overlapping"):
        target(f"{label}: `find_all` against {name}", per_char["Lexicon find_all"],
               peers_of(per_char, answers, "Lexicon find_all", [name]), 2)


def bench_builds(label, path, entries, rounds):
    words = list(entries)
    image = os.path.join(HERE, "results", "local", "bench.lex")
    os.makedirs(os.path.dirname(image), exist_ok=True)
    Lexicon.from_file(path).save(image)
    contenders = {
        "Lexicon(mapping)": lambda _: Lexicon(entries),
        "Lexicon(words)": lambda _: Lexicon(words),
        "Velarin(words)": lambda _: Velarin(words),
        "Lexicon.from_file": lambda _: Lexicon.from_file(path),
        "Lexicon.load": lambda _: Lexicon.load(image),
    }
    results = alternate(contenders, [None], max(3, rounds // 2))
    ms = {k: v / 1e6 for k, v in results.items()}
    say(f"\n### {label}: building, ms (median of {max(3, rounds // 2)})\n")
    for k, v in sorted(ms.items(), key=lambda kv: kv[1]):
        say(f"- {k}: {v:,.1f} ms")
    target(f"{label}: building from a mapping against from the words (Lexicon)", ms["Lexicon(mapping)"],
           {"Lexicon(words)": ms["Lexicon(words)"]}, 1.5, better=False, unit="ms")
    target(f"{label}: building from a mapping against a Velarin of the words", ms["Lexicon(mapping)"],
           {"Velarin(words)": ms["Velarin(words)"]}, 1.5, better=False, unit="ms")
    target(f"{label}: `Lexicon.load` against building from the text file", ms["Lexicon.load"],
           {"Lexicon.from_file": ms["Lexicon.from_file"]}, 3, unit="ms")


def bench_import(rounds):
    """The package's own import time, from the interpreter's -X importtime
    (its cumulative figure: everything that import loads), in fresh processes."""
    def cumulative(statement, module):
        done = subprocess.run([sys.executable, "-X", "importtime", "-c", statement], capture_output=True, text=True, check=True)
        for line in done.stderr.splitlines():
            fields = [f.strip() for f in line.split("|")]
            if len(fields) == 3 and fields[2] == module:
                return int(fields[1]) / 1000
        raise RuntimeError(f"no import time for {module}")

    runs = max(rounds, 15)
    extra = statistics.median(cumulative("import ondrel_velarin", "ondrel_velarin") for _ in range(runs))
    lexicon = statistics.median(cumulative("import ondrel_velarin.lexicon", "ondrel_velarin.lexicon") for _ in range(runs))
    say(f"\n### import ondrel_velarin: {extra:.2f} ms beyond the interpreter's start; the Lexicon's modules "
        f"{lexicon:.2f} ms more (medians of {runs}, -X importtime)")
    TARGETS.append(("`import ondrel_velarin` beyond the interpreter's start", f"≤ 5 ms: {extra:.2f} ms",
                    "met" if extra <= 5 else "missed"))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="velbench.lexicon")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--keys", type=int, default=50_000)
    parser.add_argument("--chars", type=int, default=300_000)
    parser.add_argument("--save", action="store_true", help="write benchmarks/results/lexicon.md instead of results/local/")
    args = parser.parse_args(argv)
    say(f"# Lexicon benchmark: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, load average "
        f"{' '.join('%.2f' % x for x in os.getloadavg())}")
    path, zh = jieba_entries()
    zh_text, en_text, man_text = data.text("zh")[: args.chars], data.text("en")[: args.chars], data.text("zh_man")[: args.chars]
    lex = bench_list("jieba with frequencies", zh, args.keys, args.rounds,
                     [("the Chinese man pages", man_text), ("the Chinese fortunes", zh_text)], False)
    bench_find_all("jieba", lex, man_text, args.rounds)
    en = english_entries()
    en_lex = bench_list("English words", en, args.keys, args.rounds, [("the English fortunes", en_text)], True)
    bench_find_all("English", en_lex, en_text, args.rounds)
    bench_builds("jieba", path, zh, args.rounds)
    bench_import(args.rounds)
    say("\n### Targets\n")
    say("| target | measured | result |")
    say("|---|---|---|")
    for what, measured, result in TARGETS:
        say(f"| {what} | {measured} | **{result}** |")
    out = os.path.join(HERE, "results", "lexicon.json" if args.save else "local/lexicon.json")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w") as f:
        json.dump({"targets": TARGETS}, f, indent=1)


if __name__ == "__main__":
    main()
