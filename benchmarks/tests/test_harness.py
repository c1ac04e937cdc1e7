"""Checks of the benchmark harness itself (nothing here is timed).

    cd benchmarks && .venv/bin/python -m unittest discover -s tests
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from velbench.compare import compare, compare_listing, explain  # noqa: E402
from velbench.libs import ALL  # noqa: E402

WORDS = ["a", "ab", "abc", "b", "中", "中文", "ab"]
KEYS = ["abcd", "abx", "a", "", "zz", "中文字", "中", "bab", "文"]
EXPECTED = ["abc", "ab", "a", "", "", "中文", "中", "b", ""]


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


if __name__ == "__main__":
    unittest.main()
