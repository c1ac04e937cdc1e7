"""Checks of the benchmark harness itself (nothing here is timed).

    cd benchmarks && .venv/bin/python -m unittest discover -s tests
"""

import os
import sys
import types
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from velbench import data, memory, report  # noqa: E402
from velbench.compare import compare, compare_listing, compare_segments, explain  # noqa: E402
from velbench.libs import ALL  # noqa: E402

WORDS = ["a", "ab", "abc", "b", "中", "中文", "ab"]
KEYS = ["abcd", "abx", "a", "", "zz", "中文字", "中", "bab", "文"]
EXPECTED = ["abc", "ab", "a", "", "", "中文", "中", "b", ""]
# Forward longest match: "abd" backs off to "ab"; unmatched characters stand alone.
TEXT = "xabcdabd中文字中bab"
SEGMENTS = ["x", "abc", "d", "ab", "d", "中文", "字", "中", "b", "ab"]


class CompareTest(unittest.TestCase):
    def test_identical_answers_have_no_mismatch(self):
        self.assertEqual(compare(EXPECTED, list(EXPECTED))["mismatches"], 0)

    def test_planted_mismatch_is_found_with_its_position(self):
        got = list(EXPECTED)
        got[5] = "中"
        r = compare(EXPECTED, got)
        self.assertEqual(r["mismatches"], 1)
        self.assertEqual(r["examples"], [(5, "中文", "中")])

    def test_short_answer_list_is_a_mismatch(self):
        self.assertGreater(compare(EXPECTED, EXPECTED[:-1])["mismatches"], 0)

    def test_nul_explanation_only_when_it_covers_every_difference(self):
        ref = ["a\0b", "ab", "x"]
        self.assertTrue(explain(ref, ["a", "ab", "x"]))
        self.assertEqual(explain(ref, ["a", "a", "x"]), "")      # "ab" vs "a": no NUL
        self.assertEqual(explain(ref, list(ref)), "")

    def test_listing_with_a_duplicate_or_a_missing_word_is_caught(self):
        distinct = set(WORDS)
        self.assertEqual(compare_listing(distinct, sorted(distinct))["mismatches"], 0)
        self.assertEqual(compare_listing(distinct, sorted(distinct) + ["a"])["mismatches"], 1)
        self.assertEqual(compare_listing(distinct, sorted(distinct - {"b"}))["mismatches"], 1)


class AdapterTest(unittest.TestCase):
    """Every installed library's adapter answers the small case correctly, so
    a mismatch in a real run points at the library, not at its adapter."""

    def test_adapters_agree_on_a_small_case(self):
        ran = 0
        for lib in ALL:
            if lib.available():
                continue
            with self.subTest(lib=lib.name):
                obj = lib.build(WORDS)
                f = lib.query(obj)
                self.assertEqual([f(k) for k in KEYS], EXPECTED)
                self.assertEqual(compare_listing(set(WORDS), lib.listing(obj))["mismatches"], 0)
                ran += 1
        self.assertGreaterEqual(ran, 1)      # set+loop needs nothing installed

    def test_segmenters_agree_on_a_small_case(self):
        longest = max(map(len, WORDS))
        ran = 0
        for lib in ALL:
            if lib.available():
                continue
            with self.subTest(lib=lib.name):
                seg = lib.segmenter(lib.build(WORDS), longest)
                self.assertEqual(seg(TEXT), SEGMENTS)
                self.assertEqual(seg("zz"), ["z", "z"])
                self.assertEqual(seg(""), [])
                ran += 1
        self.assertGreaterEqual(ran, 1)


class SegmentCompareTest(unittest.TestCase):
    def test_identical_segments_have_no_mismatch(self):
        self.assertEqual(compare_segments(SEGMENTS, list(SEGMENTS))["mismatches"], 0)

    def test_a_shorter_match_is_found_at_its_offset(self):
        got = ["x", "ab", "c"] + SEGMENTS[2:]
        r = compare_segments(SEGMENTS, got)
        self.assertEqual(r["mismatches"], 1)                 # one extra cut, after "xab"
        self.assertEqual(r["examples"], [(1, "abc", "ab")])

    def test_same_cuts_over_a_different_text_still_differ(self):
        got = list(SEGMENTS)
        got[-1] = "ba"
        self.assertGreater(compare_segments(SEGMENTS, got)["mismatches"], 0)

    def test_a_missing_tail_is_a_mismatch(self):
        r = compare_segments(SEGMENTS, SEGMENTS[:-1])
        self.assertEqual(r["mismatches"], 1)
        self.assertEqual(r["examples"], [(len(TEXT) - 2, "ab", None)])


class SegmentTargetTest(unittest.TestCase):
    @staticmethod
    def res(rows, text="zh"):
        return {"segment": {"texts": {text: {"segment": {
            n: {"status": st, "best": ms * 1e6} for n, (st, ms) in rows.items()}}}}}

    def test_fastest_matching_peer_is_the_bar_and_a_mismatching_one_is_not(self):
        tg = report.segment_targets(self.res({
            "velarin": ("ok", 10), "velarin get loop": ("ok", 20),
            "cyac": ("MISMATCH", 20), "DAWG2": ("ok", 90), "marisa-trie": ("ok", 120)}))
        self.assertEqual([ok for *_, ok in tg], [True])
        self.assertIn("DAWG2 90.0 ms", tg[0][2])

    def test_our_own_loop_is_not_a_peer(self):
        tg = report.segment_targets(self.res({
            "velarin": ("ok", 10), "velarin get loop": ("ok", 11), "daachorse": ("ok", 30)}))
        self.assertIn("daachorse", tg[0][2])
        self.assertFalse(tg[0][3])                           # 3× short of 4×

    def test_each_text_has_its_own_factor(self):
        rows = {"velarin": ("ok", 10), "cyac": ("ok", 35)}
        (_, goal, _, ok), = report.segment_targets(self.res(rows, "en"))
        self.assertIn("3×", goal)
        self.assertTrue(ok)

    def test_no_peer_with_right_answers_misses(self):
        tg = report.segment_targets(self.res({"velarin": ("ok", 1), "cyac": ("MISMATCH", 50)}))
        self.assertEqual(tg[0][3], False)


class LookupTargetTest(unittest.TestCase):
    @staticmethod
    def res(rows, text="zh_man"):
        return {"lookup": {"%s short keys, call alone" % text: {"libs": {
            n: {"status": st, "median": ns} for n, (st, ns) in rows.items()}}}}

    def test_met_missed_and_the_wrong_peer_left_out(self):
        rows = {"velarin": ("ok", 100), "bare loop": ("floor", 10),
                "datrie": ("MISMATCH", 150), "DAWG2": ("ok", 320)}
        (_, _, fig, ok), = report.lookup_targets(self.res(rows))
        self.assertTrue(ok)
        self.assertIn("DAWG2 320 ns", fig)
        rows["DAWG2"] = ("ok", 250)
        self.assertFalse(report.lookup_targets(self.res(rows))[0][3])

    def test_a_target_below_the_bare_loop_is_dropped(self):
        # 2× of 60 ns is 30 ns, under the 40 ns that walking the key list costs.
        rows = {"velarin": ("ok", 50), "bare loop": ("floor", 40), "datrie": ("ok", 60)}
        (_, _, fig, ok), = report.lookup_targets(self.res(rows, "en"))
        self.assertIsNone(ok)
        self.assertIn("below the bare loop", fig)
        self.assertIn("dropped", report.target_table([("w", "g", fig, ok)])[-1])


class RankTest(unittest.TestCase):
    def test_a_wrong_library_comes_after_every_right_one_however_fast(self):
        rows = {"slow": {"status": "ok", "median": 900}, "wrong": {"status": "MISMATCH", "median": 1},
                "fast": {"status": "ok", "median": 5}, "none": {"status": "cannot build"}}
        order = sorted(rows, key=lambda n: report._rank(rows[n], "median"))
        self.assertEqual(order, ["fast", "slow", "wrong", "none"])


class DataTest(unittest.TestCase):
    def test_hunspell_flags_are_dropped_and_an_escaped_slash_kept(self):
        lines = ["4", "กก", "บ/ช", "a\\/b/XY", "word\tpo:noun"]
        self.assertEqual(data.hunspell_words(lines), ["กก", "บ", "a/b", "word"])

    def test_roff_requests_escapes_and_comments(self):
        src = "\n".join([
            '.\\" a comment', ".TH AB 1", '.SH "描述 DESCRIPTION"', ".B ab",
            "是一个\\fB测试\\fR工具\\(em 用于 \\-c 选项\\&.", ".PP", "plain \\e text",
            ".de Sh", ".br", "..", "文本\\s+2大\\s0字 \\*(lq引\\*(rq"])
        self.assertEqual(data.roff_text(src), [
            "描述 DESCRIPTION", "ab", "是一个测试工具— 用于 -c 选项.", "plain \\ text",
            "文本大字 引"])

    def test_mostly_chinese(self):
        self.assertTrue(data.mostly_chinese("是一个测试 http 工具，"))
        self.assertFalse(data.mostly_chinese("ab \\- Apache HTTP 服务器"))
        self.assertFalse(data.mostly_chinese("   "))

    def test_generated_lists_are_fixed_and_distinct(self):
        words = ["Haus", "Boot", "Tür", "Haus"]
        old, data.words = data.words, lambda name: words
        try:
            a, b = data.german_phrases(10), data.german_phrases(10)
            tries = data.small_tries(5, 3)
            mixed, again = data.mixed_small_tries(5, 4), data.mixed_small_tries(5, 4)
        finally:
            data.words = old
        self.assertEqual(a, b)
        self.assertEqual(len(set(a)), 10)
        self.assertEqual(a[:3], ["Haus", "Boot", "Tür"])          # the words first, once each
        self.assertTrue(all(len(p.split(" ")) == 2 for p in a[3:]))
        self.assertEqual([len(t) for t in tries], [3] * 5)
        self.assertEqual(mixed, again)
        self.assertEqual([len(t) for t in mixed], [4] * 5)


class MemoryTableTest(unittest.TestCase):
    ROW = {"status": "ok", "objects": 1, "words": 1000, "distinct": 1000, "resident": 2_000_000,
           "peak": 2_400_000, "build_s": 0.5, "first_s": 0.01}

    def test_crash_and_timeout_keep_their_rows_and_nbytes_is_optional(self):
        table = {"jieba": {"velarin": dict(self.ROW, nbytes=1_900_000),
                           "datrie": {"status": "crashed (signal 11): "},
                           "set+loop": dict(self.ROW, resident=500_000)},
                 "de1m": {"velarin": dict(self.ROW), "datrie": {"status": "timed out (> 120 s)"}}}
        md = memory.markdown(table)
        self.assertIn("crashed (signal 11)", md)
        self.assertIn("timed out (> 120 s)", md)
        self.assertIn("| 1.9 MB |", md)                          # nbytes beside resident growth
        self.assertIn("2000 B/word", md)
        self.assertIn("1.20×", md)                               # peak over resident

    def test_small_tries_are_per_trie(self):
        row = dict(self.ROW, objects=10_000, words=100_000, resident=40_000_000, peak=40_000_000)
        md = memory.markdown({"tries10": {"velarin": row}})
        self.assertIn("4.0 KB per trie", md)
        self.assertIn("≤ 4.0 KB per trie | 4.0 KB | **met**", md)

    def test_mixed_small_tries_are_per_trie_with_their_target(self):
        row = dict(self.ROW, objects=10_000, words=100_000, resident=70_000_000, peak=70_000_000)
        md = memory.markdown({"mixed10": {"velarin": row}})
        self.assertIn("7.0 KB per trie", md)
        self.assertIn("≤ 6.0 KB per trie | 7.0 KB | **MISSED**", md)

    def test_nbytes_is_summed_when_the_package_has_it_and_absent_otherwise(self):
        lib = next(lib for lib in ALL if lib.name == "velarin")
        if lib.available():  # the reason it cannot be imported
            self.skipTest("ondrel_velarin is not installed here")
        # The package as the harness finds it, with and without the function
        # (the real one brings its names back when first asked for them).
        with_function = types.SimpleNamespace(nbytes=lambda trie: 1000 + len(list(trie)))
        with mock.patch.dict(sys.modules, {"ondrel_velarin": with_function}):
            with_it = memory.measure_words(lib, [["a", "ab"], ["b"]], "c", per_list=True)
        with mock.patch.dict(sys.modules, {"ondrel_velarin": types.SimpleNamespace()}):
            without = memory.measure_words(lib, [["a", "ab"], ["b"]], "c", per_list=True)
        self.assertEqual(with_it["nbytes"], 1002 + 1001)
        self.assertNotIn("nbytes", without)

    def test_a_child_measures_a_real_object(self):
        r = memory.measure_words(ALL[1], [["a", "ab", "b"]] * 50, "ab", per_list=True)
        self.assertEqual((r["objects"], r["words"], r["distinct"]), (50, 150, 150))
        self.assertGreaterEqual(r["peak"], 0)


if __name__ == "__main__":
    unittest.main()
