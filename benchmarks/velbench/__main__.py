"""Run every benchmark and write the report.

    python -m velbench [--quick] [--positions N] [--repeats R] [--libs a,b] [--out NAME]
                       [--segment-only]

(`python -m velbench.memory` runs the memory table alone.)

Lookup timings run here, side by side in one process, repeats interleaved
across libraries so drift hits all of them alike. Builds run in a fresh
process per library and word list so their memory can be read cleanly.
"""

import argparse
import functools
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time

from . import data, memory, report
from .compare import compare, compare_listing, compare_segments, explain, short
from .libs import ALL, BY_NAME, window_segments

pc = time.perf_counter_ns
OURS = "velarin"
WIDTH = 32          # characters in a short key
LONG = data.LONG


# ---------------------------------------------------------------- progress

_started = time.time()


def progress(msg):
    line = "[%4.0fs] %s" % (time.time() - _started, msg)
    if sys.stderr.isatty():
        sys.stderr.write("\r\x1b[K" + line[:150])
    else:
        sys.stderr.write(line + "\n")
    sys.stderr.flush()


def say(msg):
    if sys.stderr.isatty():
        sys.stderr.write("\r\x1b[K")
    print(msg, flush=True)


# ---------------------------------------------------------------- the loops
# One loop shape per key kind; a library's query, the no-op floor and the
# bare loop all go through exactly the same code.

def loop_sliced(f, text, positions):
    t0 = pc()
    for i in positions:
        f(text[i:i + WIDTH])
    return pc() - t0


def loop_sliced_bare(text, positions):
    t0 = pc()
    for i in positions:
        text[i:i + WIDTH]
    return pc() - t0


def loop_keys(f, keys):
    t0 = pc()
    for k in keys:
        f(k)
    return pc() - t0


def loop_keys_bare(keys):
    t0 = pc()
    for k in keys:
        pass
    return pc() - t0


class Sliced:
    """Keys are text[i:i+32] for i in positions, sliced in the timed loop
    (each call gets a new string, as in real use)."""
    kind = "sliced"

    def __init__(self, text, positions, what):
        self.text, self.positions, self.what = text, positions, what
        self.n = len(positions)

    def answers(self, f):
        t = self.text
        return [f(t[i:i + WIDTH]) for i in self.positions]

    def time(self, f):
        return loop_sliced(f, self.text, self.positions)

    def time_bare(self):
        return loop_sliced_bare(self.text, self.positions)


class Prebuilt:
    """Long keys made in batches before each timed loop, fresh for every
    library and repeat (no library sees a key another has already touched)."""
    kind = "prebuilt"

    def __init__(self, make, n, batch, what, mean_len=None):
        self.make, self.n, self.batch, self.what = make, n, batch, what
        self.mean_len = mean_len

    def _batches(self):
        for start in range(0, self.n, self.batch):
            yield self.make(range(start, min(self.n, start + self.batch)))

    def estimate(self, f):
        """Seconds one pass would take, extrapolated from calls on a few of
        the keys cut to 10,000 and 100,000 characters (some libraries' cost
        grows faster than the key's length, and a 1 MB key would take minutes)."""
        sample = self.make(sorted({0, self.n // 4, self.n // 2, 3 * self.n // 4}))
        times = [1e-7, 1e-7]
        for key in sample:
            for j, n in enumerate((10_000, 100_000)):
                k = (key[:n] + ".")[:-1]
                t0 = time.perf_counter()
                f(k)
                times[j] = max(times[j], time.perf_counter() - t0)
        longest = max(map(len, sample))
        if longest <= 10_000:
            return times[0] * self.n, 1.0
        grow = min(3.0, max(1.0, math.log10(times[1] / times[0])))
        mean = self.mean_len or longest
        per_call = times[1] * (mean / 100_000) ** grow if mean > 100_000 else times[1]
        return per_call * self.n, grow

    def answers(self, f):
        out = []
        for keys in self._batches():
            out += [f(k) for k in keys]
        return out

    def time(self, f):
        total = 0
        for keys in self._batches():
            total += loop_keys(f, keys)
        return total

    def time_bare(self):
        total = 0
        for keys in self._batches():
            total += loop_keys_bare(keys)
        return total


class Presliced(Prebuilt):
    """Keys are text[i:i+32] for i in positions, sliced into a list before
    each timed loop (fresh for every library and round): the call alone."""
    kind = "presliced"

    def __init__(self, text, positions, what, batch=50_000):
        def make(idx, t=text, p=positions):
            return [t[p[j]:p[j] + WIDTH] for j in idx]
        super().__init__(make, len(positions), batch, what)


# ---------------------------------------------------------------- lookups

def run_lookup(name, keys, built, floor, repeats, results, budget=60.0):
    """Check every library's answers against the set+loop baseline, then time
    them all, `repeats` rounds, each round visiting every library once."""
    progress("%s: checking answers" % name)
    ref = keys.answers(built["set+loop"][1])
    entries = {}
    for lib, (status, f) in built.items():
        if not BY_NAME[lib].lookups:
            continue
        if f is None:
            entries[lib] = {"status": status}
            continue
        if keys.kind == "prebuilt":
            progress("%s: probing %s on long keys" % (name, lib))
            est, grow = keys.estimate(f)
            if est * (repeats + 1) > budget:
                entries[lib] = {"status": ("answers are the reference; timing " if lib == "set+loop" else "")
                                + "skipped: too slow on long keys (one pass est. %.0f s; "
                                "cost grows as length^%.1f)" % (est, grow)}
                say("note: %s: %s %s" % (name, lib, entries[lib]["status"]))
                continue
        progress("%s: answers of %s" % (name, lib))
        try:
            got = ref if lib == "set+loop" else keys.answers(f)
        except Exception as e:
            entries[lib] = {"status": "error while querying: %s: %s" % (type(e).__name__, str(e)[:80])}
            continue
        c = compare(ref, got)
        entries[lib] = {"status": "ok" if not c["mismatches"] else "MISMATCH",
                        "mismatches": c["mismatches"], "why": explain(ref, got),
                        "examples": [(i, short(a), short(b)) for i, a, b in c["examples"]],
                        "samples": []}
        del got
        if c["mismatches"]:
            say("!!! MISMATCH in %s: %s differs from set+loop at %d of %d keys, e.g. %s%s"
                % (name, lib, c["mismatches"], keys.n, entries[lib]["examples"][:2],
                   " (%s)" % entries[lib]["why"] if entries[lib]["why"] else ""))
    del ref
    gc.collect()

    timed = [lib for lib, e in entries.items() if "samples" in e]
    floors = {"no-op call": floor, "bare loop": None}
    for e in floors:
        entries[e] = {"status": "floor", "samples": []}
    order = list(floors) + timed
    for r in range(repeats):
        # Rotate the order each round so no library always runs first.
        rot = order[r % len(order):] + order[:r % len(order)]
        for lib in rot:
            progress("%s: round %d/%d, %s" % (name, r + 1, repeats, lib))
            if lib == "bare loop":
                ns = keys.time_bare()
            elif lib == "no-op call":
                ns = keys.time(floor)
            else:
                ns = keys.time(built[lib][1])
            entries[lib]["samples"].append(ns / keys.n)
    for e in entries.values():
        if e.get("samples"):
            s = sorted(e["samples"])
            e["median"] = statistics.median(s)
            e["min"], e["max"] = s[0], s[-1]
    results["lookup"][name] = {"what": keys.what, "n": keys.n, "kind": keys.kind,
                               "libs": entries}
    say("%s done (%d keys, %d rounds)" % (name, keys.n, repeats))


# The texts each word list is looked up in: its own fortunes first.
TEXTS = {"en": ("en",), "zh": ("zh", "zh_man")}


def short_keys(tname, text, positions, built, floor, repeats, results, budget):
    """32-character keys at the first `positions` positions: sliced inside
    the timed loop, as real use does, and sliced beforehand (the call alone)."""
    n = min(positions, len(text) - 1)
    where = "for every position i of the first %d of %d characters" % (n, len(text))
    run_lookup("%s short keys" % tname, Sliced(
        text, range(n), "text[i:i+%d] %s, sliced in the timed loop" % (WIDTH, where)),
        built, floor, repeats, results, budget)
    run_lookup("%s short keys, call alone" % tname, Presliced(
        text, range(n), "text[i:i+%d] %s, sliced into a list before the timed loop"
        % (WIDTH, where)), built, floor, repeats, results, budget)


def build_all(libs, words, wordlist, probes):
    """Build every library here for the lookups, except those whose build
    failed, crashed or timed out in its own process (`probes`)."""
    built, objs = {}, {}
    for lib in libs:
        progress("building %s from %s" % (lib.name, wordlist))
        status = probes.get(lib.name, {}).get("status", "not probed")
        if status != "ok":
            built[lib.name] = (status, None)
            continue
        try:
            obj = lib.build(words)
        except Exception as e:
            built[lib.name] = ("cannot build: %s: %s" % (type(e).__name__, str(e)[:100]), None)
            say("note: %s cannot build the %s words here: %s" % (lib.name, wordlist, built[lib.name][0]))
            continue
        objs[lib.name] = obj
        built[lib.name] = ("ok", lib.query(obj))
    return built, objs


def run_iteration(wordlist, words, objs, repeats, results, budget):
    distinct = set(words)
    out = {}
    for name, obj in objs.items():
        lib = BY_NAME[name]
        progress("iterating %s (%s)" % (name, wordlist))
        try:
            listed = lib.listing(obj)
        except Exception as e:
            out[name] = {"status": "error: %s" % e}
            continue
        c = compare_listing(distinct, listed)
        del listed
        samples = []
        start = time.perf_counter()
        while len(samples) < repeats and (not samples or time.perf_counter() - start < budget):
            t0 = pc()
            lib.listing(obj)
            samples.append(pc() - t0)
        samples.sort()
        out[name] = {"status": "ok" if not c["mismatches"] else "MISMATCH",
                     "mismatches": c["mismatches"], "examples": c["examples"],
                     "rounds": len(samples),
                     "median": statistics.median(samples) / len(distinct),
                     "min": samples[0] / len(distinct), "max": samples[-1] / len(distinct)}
        if c["mismatches"]:
            say("!!! MISMATCH listing %s from %s: %s" % (name, wordlist, c["examples"]))
    results["iteration"][wordlist] = {"n": len(distinct), "libs": out}


# ---------------------------------------------------------------- whole texts

def window_lengths(f, longest):
    return lambda text: [len(f(text[i:i + longest])) for i in range(len(text))]


def run_passes(what, rows, text, ref, cmp, repeats, budget, cap):
    """Time whole-text passes of each row's callable: best of up to `repeats`
    passes, fewer once a row has spent `budget` seconds. A row whose pass
    would take over `cap` seconds (judged on a twentieth of the text) is
    skipped. The first full pass is also checked against `ref`."""
    entries = {}
    for name, (how, f) in rows.items():
        progress("%s: checking %s" % (what, name))
        try:
            t0 = time.perf_counter()
            f(text[:len(text) // 20])
            est = (time.perf_counter() - t0) * 20
            if est > cap:
                entries[name] = {"how": how, "status": "skipped: too slow (one pass est. %.1f s, cap %.0f s)"
                                 % (est, cap)}
                say("note: %s: %s %s" % (what, name, entries[name]["status"]))
                continue
            t0 = pc()
            got = f(text)
            ns = pc() - t0
        except Exception as e:
            entries[name] = {"how": how, "status": "error: %s: %s" % (type(e).__name__, str(e)[:80])}
            say("note: %s: %s %s" % (what, name, entries[name]["status"]))
            continue
        c = cmp(ref, got)
        del got
        entries[name] = {"how": how, "status": "ok" if not c["mismatches"] else "MISMATCH",
                         "mismatches": c["mismatches"],
                         "examples": [tuple(short(x) if isinstance(x, str) else x for x in ex)
                                      for ex in c["examples"]],
                         "samples": [ns]}
        if c["mismatches"]:
            say("!!! MISMATCH in %s: %s differs from ours at %d places, e.g. %s"
                % (what, name, c["mismatches"], entries[name]["examples"][:1]))
    timed = [n for n, e in entries.items() if "samples" in e]
    for r in range(1, repeats if timed else 1):
        for name in timed[r % len(timed):] + timed[:r % len(timed)]:
            e = entries[name]
            if sum(e["samples"]) >= budget * 1e9:
                continue
            progress("%s: round %d/%d, %s" % (what, r + 1, repeats, name))
            t0 = pc()
            got = rows[name][1](text)
            e["samples"].append(pc() - t0)
            del got
    for e in entries.values():
        if e.get("samples"):
            e["best"], e["median"] = min(e["samples"]), statistics.median(e["samples"])
    gc.collect()
    return entries


def run_segment(wl, words, text, built, objs, repeats, budget, cap, results, tname=None):
    """Whole-text forward longest-match segmentation, and the longest match
    at every position, with the objects built for the lookups; the results
    go under the text's name `tname` (the word list's by default)."""
    tname = tname or wl
    try:
        from ondrel_velarin import longest_matches, segment
    except ImportError as e:
        results["segment"]["texts"][tname] = {"status": "cannot import: %s" % e}
        say("note: no whole-text scans in the installed ondrel_velarin: %s" % e)
        return
    if OURS not in objs:
        results["segment"]["texts"][tname] = {"status": built[OURS][0]}
        return
    v = objs[OURS]
    longest = max(map(len, words))
    get = v.get_closest_prefix
    rows = {OURS: (BY_NAME[OURS].seg_how, BY_NAME[OURS].segmenter(v, longest)),
            "velarin get loop": ("window loop over `get_closest_prefix`",
                                 window_segments(get, longest))}
    skipped = {}
    for name, (status, _f) in built.items():
        lib = BY_NAME[name]
        if lib.kind != "peer":
            continue
        if name not in objs:
            skipped[name] = {"how": lib.seg_how, "status": status}
            continue
        try:
            rows[name] = (lib.seg_how, lib.segmenter(objs[name], longest))
        except Exception as e:
            skipped[name] = {"how": lib.seg_how, "status": "error: %s: %s" % (type(e).__name__, e)}
    ref = segment(v, text)
    joins = "".join(ref) == text
    if not joins:
        say("!!! %s: velarin's segments do not join back to the text" % tname)
    seg = run_passes("%s segmentation" % tname, rows, text, ref, compare_segments, repeats, budget, cap)
    seg.update(skipped)
    n_segments = len(ref)
    del ref
    lm_rows = {OURS: ("`longest_matches(v, text)`", functools.partial(longest_matches, v)),
               "velarin get loop": ("`[len(get(text[i:i+L])) for i in range(len(text))]`",
                                    window_lengths(get, longest))}
    ref = longest_matches(v, text)
    lm = run_passes("%s longest matches" % tname, lm_rows, text, ref, compare, repeats, budget, cap)
    del ref
    results["segment"]["texts"][tname] = {
        "wordlist": wl, "chars": len(text), "words": len(set(words)), "longest": longest,
        "segments": n_segments, "joins": joins, "segment": seg, "longest_matches": lm}
    say("%s whole-text segmentation done" % tname)


# ---------------------------------------------------------------- builds

def run_builds(libs, wordlists, repeats, budget, timeout, results):
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for wl in wordlists:
        out = {}
        for lib in libs:
            why = lib.available()
            if why:
                out[lib.name] = {"status": "not installed: " + why}
                continue
            if not lib.lookups and wl not in TEXTS:
                out[lib.name] = {"status": "not run: a whole-text scanner, timed on the texts only"}
                continue
            progress("build probe: %s from %s words" % (lib.name, wl))
            cmd = [sys.executable, "-m", "velbench.buildprobe", lib.name, wl, str(repeats), str(budget)]
            try:
                p = subprocess.run(cmd, cwd=here, capture_output=True, text=True,
                                   timeout=timeout)
            except subprocess.TimeoutExpired:
                out[lib.name] = {"status": "build timed out (> %.0f s)" % timeout}
                continue
            if p.returncode != 0:
                last = (p.stderr.strip().splitlines() or ["(no message)"])[-1]
                how = ("process killed by signal %d" % -p.returncode if p.returncode < 0
                       else "exit %d" % p.returncode)
                out[lib.name] = {"status": "cannot build (%s): %s" % (how, last[:120])}
                say("note: %s cannot build the %s words: %s" % (lib.name, wl, out[lib.name]["status"]))
                continue
            r = json.loads(p.stdout.strip().splitlines()[-1])
            r["status"] = "ok"
            out[lib.name] = r
        results["build"][wl] = out


# ---------------------------------------------------------------- machine

def machine():
    def sh(cmd):
        try:
            return subprocess.run(cmd, shell=True, capture_output=True, text=True).stdout.strip()
        except OSError:
            return ""
    model = sh("lscpu | sed -n 's/^Model name: *//p'")
    return {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
            "uname": " ".join(platform.uname()),
            "cpu": "%s, %s cores" % (model, os.cpu_count()),
            "memory": sh("free -h | awk '/Mem:/ {print $2}'"),
            "python": sys.version.replace("\n", " "),
            "versions": {lib.name: (lib.version() if not lib.available() else "not installed")
                         for lib in ALL},
            "data": data.provenance()}


# ---------------------------------------------------------------- main

def segment_only(libs, results, build_timeout, budget, cap, stem, save):
    """The whole-text section alone, put into the report already written
    under `stem` (the rest of it is left as it was)."""
    repeats = results["settings"]["repeats"]
    # One build per library in its own process, only to leave out those that crash.
    run_builds(libs, ["zh", "en"], 1, 0.0, build_timeout, results)
    for wl in ("zh", "en"):
        words = data.words(wl)
        built, objs = build_all(libs, words, wl, results["build"][wl])
        for tname in TEXTS[wl]:
            run_segment(wl, words, data.text(tname), built, objs, repeats, budget, cap, results, tname)
        del built, objs
        gc.collect()
    out_dir = report.results_dir(save)
    # Into this folder's report, else a copy of the tracked one.
    for path in (os.path.join(out_dir, stem + ".json"), os.path.join(report.RESULTS, stem + ".json")):
        if os.path.exists(path):
            with open(path) as f:
                old = json.load(f)
            old["segment"] = results["segment"]
            results = old
            break
    report.write(results, out_dir, stem)
    say("")
    print(report.segment_markdown(results, with_targets=True))
    say("written into: %s/%s.md, .json (%.0f s)" % (out_dir, stem, time.time() - _started))


def main():
    ap = argparse.ArgumentParser(prog="velbench")
    ap.add_argument("--quick", action="store_true", help="a 1-2 minute smoke run")
    ap.add_argument("--positions", type=int, help="text positions per short-key lookup run")
    ap.add_argument("--repeats", type=int, help="timed rounds per measurement")
    ap.add_argument("--libs", help="comma-separated subset of libraries")
    ap.add_argument("--out", help="results file stem under results/ (or results/local/)")
    ap.add_argument("--save", action="store_true", help=report.SAVE_HELP)
    ap.add_argument("--segment-only", action="store_true",
                    help="run only the whole-text segmentation and put it into the existing report")
    a = ap.parse_args()
    positions = a.positions or (20_000 if a.quick else 120_000)
    repeats = a.repeats or (3 if a.quick else 7)
    rest_n = 24 if a.quick else 160
    # Per build: repeats, seconds of repeats at most, timeout of the process.
    # A build slower than the timeout is reported as timed out (its lookups
    # would be skipped anyway); more builds would only steady a build time.
    build_repeats, build_budget, build_timeout = (3, 3.0, 20) if a.quick else (5, 4.0, 20)
    # Seconds one library may spend on a long-key lookup run or a listing.
    slow_budget, list_budget = (15.0, 2.0) if a.quick else (60.0, 10.0)
    # Whole-text passes: seconds of passes per row, and the longest one pass may take.
    seg_budget, seg_cap = (0.5, 3.0) if a.quick else (1.0, 5.0)
    stem = a.out or ("quick" if a.quick else "latest")

    libs = ALL if not a.libs else [BY_NAME[n] for n in ["velarin", "set+loop"] + [
        n for n in a.libs.split(",") if n not in ("velarin", "set+loop")]]
    for must in ("velarin", "set+loop"):
        why = BY_NAME[must].available()
        if why:
            raise SystemExit("cannot import %s: %s" % (must, why))
    import velbench_floor
    floor = velbench_floor.Noop().noop

    results = {"machine": machine(), "lookup": {}, "build": {}, "iteration": {},
               "segment": {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                           "repeats": repeats, "budget_s": seg_budget, "cap_s": seg_cap,
                           "texts": {}},
               "settings": {"positions": positions, "repeats": repeats, "rest_keys": rest_n,
                            "width": WIDTH, "build_repeats": build_repeats,
                            "build_budget_s": build_budget, "quick": a.quick}}
    for lib in ALL:
        why = lib.available()
        if why:
            say("note: %s is not installed (%s); reported as such" % (lib.name, why))

    if a.segment_only:
        return segment_only(libs, results, build_timeout, seg_budget, seg_cap, stem, a.save)

    # Builds first, each in its own process: a library that crashes or hangs
    # on a word list is found there and left out of that list's lookups.
    run_builds(libs, ["en", "zh", "longwords", "bytes256"], build_repeats, build_budget,
               build_timeout, results)
    B = results["build"]

    for wl in ("en", "zh"):
        words = data.words(wl)
        built, objs = build_all(libs, words, wl, B[wl])
        text = data.text(wl)
        short_keys(wl, text, positions, built, floor, repeats, results, slow_budget)
        # Whole-rest-of-text keys: slicing text[i:] is O(len) per key, so the
        # keys are made before the timed loop, at evenly spread positions.
        step = len(text) // rest_n
        run_lookup("%s rest-of-text keys" % wl, Prebuilt(
            lambda idx, t=text, s=step: [t[1 + j * s:] for j in idx], rest_n, 8,
            "text[i:] at %d positions i spread evenly over %d characters (mean key %d characters)"
            % (rest_n, len(text), (len(text) - step * (rest_n - 1) / 2)),
            mean_len=len(text) - step * (rest_n - 1) / 2),
            built, floor, repeats, results, slow_budget)
        if wl == "en":
            m = (len(text) - LONG) // rest_n
            run_lookup("adversarial: 100 KB keys, short match", Prebuilt(
                lambda idx, t=text, s=m: [t[1 + j * s:1 + j * s + LONG] for j in idx],
                rest_n, 16, "%d keys of %d characters of English text (English word list)"
                % (rest_n, LONG)), built, floor, repeats, results, slow_budget)
        run_iteration(wl, words, objs, repeats, results, list_budget)
        run_segment(wl, words, text, built, objs, repeats, seg_budget, seg_cap, results)
        for tname in TEXTS[wl][1:]:
            text = data.text(tname)
            short_keys(tname, text, positions, built, floor, repeats, results, slow_budget)
            run_segment(wl, words, text, built, objs, repeats, seg_budget, seg_cap, results, tname)
        del built, objs, text
        gc.collect()

    ws, keys = data.adversarial_long_words()
    built, objs = build_all(libs, ws, "longwords", B["longwords"])
    run_lookup("adversarial: 100 KB words", Prebuilt(
        lambda idx, ks=keys: [(ks[j] + ".")[:-1] for j in idx], len(keys), 16,
        "%d stored words of 25-100 KB; %d keys whose match is 50 KB or 100 KB" % (len(ws), len(keys))),
        built, floor, repeats, results, slow_budget)
    run_iteration("longwords", ws, objs, repeats, results, list_budget)
    del built, objs

    ws, keys = data.adversarial_bytes256()
    built, objs = build_all(libs, ws, "bytes256", B["bytes256"])
    joined = "".join(keys)
    run_lookup("adversarial: all 256 byte values", Sliced(
        joined, range(0, len(joined), WIDTH),
        "%d random words of 1-12 code points 0-255 (NUL included); %d keys of %d" % (
            len(ws), len(keys), WIDTH)), built, floor, repeats, results, slow_budget)
    run_iteration("bytes256", ws, objs, repeats, results, list_budget)
    del built, objs
    gc.collect()

    # The memory table last, each row in its own process, with nothing of
    # this process's tries left to crowd the machine.
    mem_lists = ["th"] if a.quick else list(memory.LISTS)
    t0 = time.time()
    # Seconds per child (twice this for the 1M list): the slowest builds of
    # the 1M list do not fit and show as timed out; `--memory` alone waits.
    results["memory"] = {"table": memory.run(libs, mem_lists, 10.0, progress),
                         "elapsed_s": None}
    results["memory"]["elapsed_s"] = time.time() - t0

    results["elapsed_s"] = time.time() - _started
    out_dir = report.results_dir(a.save)
    md = report.write(results, out_dir, stem)
    say("")
    print(md)
    say("written: %s/%s.md, .json, .png (%.0f s)" % (out_dir, stem, results["elapsed_s"]))


if __name__ == "__main__":
    main()
