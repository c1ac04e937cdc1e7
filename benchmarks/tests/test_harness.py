"""Checks of the benchmark harness itself (nothing here is timed).

    cd benchmarks && .venv/bin/python -m unittest discover -s tests
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from velbench import report  # noqa: E402
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
    def res(rows):
        return {"segment": {"texts": {"zh": {"segment": {
            n: {"status": st, "best": ms * 1e6} for n, (st, ms) in rows.items()}}}}}

    def test_fastest_matching_peer_is_the_bar_and_a_mismatching_one_is_not(self):
        tg = report._segment_targets(self.res({
            "velarin": ("ok", 10), "velarin get loop": ("ok", 200),
            "cyac": ("MISMATCH", 20), "DAWG2": ("ok", 90), "marisa-trie": ("ok", 120)}))
        self.assertEqual([ok for *_, ok in tg], [True, False])
        self.assertIn("DAWG2 90 ms", tg[1][2])

    def test_a_loop_that_disagrees_misses_the_target(self):
        tg = report._segment_targets(self.res({
            "velarin": ("ok", 1), "velarin get loop": ("MISMATCH", 500), "DAWG2": ("ok", 500)}))
        self.assertEqual([ok for *_, ok in tg], [False, True])


if __name__ == "__main__":
    unittest.main()
