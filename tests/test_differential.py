"""Differential tests: every answer of a Velarin object against the plain model.

A bounded number of hypothesis examples runs with the suite. The long mode is
this file run as a script, `python -P tests/test_differential.py [CASES]`
(`./dev long`), which draws CASES word lists (default 1,000,000) from the same
alphabets with a seeded random generator, checks each one's iteration order and
a handful of lookups, and prints how many it ran and how many disagreed.
"""

import os
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from model import BytesModel, Model, segment_loop  # noqa: E402
from ondrel_velarin.impl_c import Velarin  # noqa: E402
from ondrel_velarin.scan_c import segment  # noqa: E402

# Small alphabets make words that are prefixes of each other; the wide ones
# push the trie past 64 and towards 256 distinct byte values.
ALPHABETS = {
    "ab": "ab",
    "ascii": "".join(map(chr, range(0x20, 0x7F))),
    "control": "\0\x01\x7f",
    "latin1": "".join(map(chr, range(0xA0, 0x100))),
    "cjk": "中文字图书馆我们读书在一二三",
    "emoji": "\U0001F600\U0001F680\U0001F9E1\U0010FFFF\u200d",
    "bmp_edges": "\u07ff\u0800\uffff\ue000\ud7ff",
    # Letters with the combining marks that runs take in, and marks after others.
    "marks": "ab1 \u0301\u0302\u0628\u064e\u0652中",
}
# Every byte value that valid UTF-8 never holds: words with one never match.
NOT_UTF8 = bytes([0xC0, 0xC1, *range(0xF5, 0x100)])


def check(words, keys, cls=Velarin) -> list[str]:
    """Builds from `words` and returns a description of every wrong answer."""
    v = cls(words)
    model = Model(words)
    wrong = []
    got = list(v)
    if got != model.node_order():
        wrong.append(f"iteration {words!r}: {got!r} != {model.node_order()!r}")
    for key in keys:
        answer = v.get_closest_prefix(key)
        if answer != model.get_closest_prefix(key):
            wrong.append(f"lookup {words!r} {key!r}: {answer!r} != {model.get_closest_prefix(key)!r}")
    return wrong


class Raw:
    def __init__(self, data: bytes):
        self.data = data

    def encode(self, encoding):
        return self.data


def check_raw(raw_words, keys) -> list[str]:
    """The same over stored bytes that need not decode: a match or a walk that
    reaches such a word raises UnicodeDecodeError."""
    v = Velarin([Raw(w) for w in raw_words])
    model = BytesModel(raw_words)
    wrong = []
    expected, error = [], False
    for w in model.node_order_bytes():
        try:
            expected.append(w.decode("utf-8"))
        except UnicodeDecodeError:
            error = True
            break
    got = []
    try:
        got.extend(v)
        raised = False
    except UnicodeDecodeError:
        raised = True
    if (got, raised) != (expected, error):
        wrong.append(f"raw iteration {raw_words!r}: {got!r}/{raised} != {expected!r}/{error}")
    for key in keys:
        match = model.closest_prefix_bytes(key.encode("utf-8"))
        try:
            want = "" if match is None else match.decode("utf-8")
        except UnicodeDecodeError:
            want = UnicodeDecodeError
        try:
            answer = v.get_closest_prefix(key)
        except UnicodeDecodeError:
            answer = UnicodeDecodeError
        if answer != want:
            wrong.append(f"raw lookup {raw_words!r} {key!r}: {answer!r} != {want!r}")
    return wrong


# ---- hypothesis ---------------------------------------------------------------

try:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
except ImportError:  # the long mode needs only the standard library
    st = None

if st is not None:
    import pytest

    EXAMPLES = int(os.environ.get("VELARIN_HYPOTHESIS_EXAMPLES", "300"))
    relaxed = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])

    def texts_from(alphabet):
        return st.text(alphabet=st.sampled_from(alphabet), max_size=6)

    mixed_text = st.one_of(
        *[texts_from(a) for a in ALPHABETS.values()],
        st.text(st.characters(exclude_categories=("Cs",)), max_size=5),
        st.lists(st.sampled_from(list(ALPHABETS)), min_size=1, max_size=3).flatmap(
            lambda names: texts_from("".join(ALPHABETS[n] for n in names))
        ),
    )

    @st.composite
    def word_lists(draw):
        words = draw(st.lists(mixed_text, max_size=25))
        # Prefixes of stored words, and duplicates.
        for w in draw(st.lists(st.sampled_from(words), max_size=6)) if words else []:
            words.append(w[: draw(st.integers(0, len(w)))])
        if words and draw(st.booleans()):
            words.extend(draw(st.lists(st.sampled_from(words), max_size=4)))
        return words

    @st.composite
    def keys_for(draw, words):
        keys = draw(st.lists(mixed_text, max_size=4))
        for w in draw(st.lists(st.sampled_from(words), max_size=8)) if words else []:
            keys.append(w + draw(mixed_text))
            keys.append(w[: draw(st.integers(0, len(w)))])
        return keys

    @relaxed
    @given(st.data())
    def test_matches_the_model(data):
        words = data.draw(word_lists())
        keys = data.draw(keys_for(words))
        assert check(words, keys) == []

    @relaxed
    @given(st.data())
    def test_wide_alphabets_match_the_model(data):
        # Up to 243 distinct bytes from valid UTF-8: every ASCII byte, every lead byte.
        alphabet = "".join(chr(c) for c in [*range(128), *range(0x80, 0x800, 7), *range(0x800, 0x10000, 4099)])
        alphabet += "".join(chr(c) for c in range(0x10000, 0x110000, 0x10000))
        alphabet = "".join(c for c in alphabet if not 0xD800 <= ord(c) < 0xE000)
        words = data.draw(st.lists(st.text(st.sampled_from(alphabet), max_size=4), min_size=1, max_size=120))
        keys = data.draw(st.lists(st.sampled_from(words), max_size=20))
        keys = [k + data.draw(st.text(st.sampled_from(alphabet), max_size=3)) for k in keys]
        assert check(words, keys) == []

    @relaxed
    @given(st.data())
    def test_any_byte_values_match_the_model(data):
        utf8_words = data.draw(st.lists(mixed_text, max_size=15))
        raw = [w.encode("utf-8") for w in utf8_words]
        # Cut UTF-8 forms mid-character, and words holding bytes UTF-8 never has,
        # so the alphabet can reach all 256 values.
        raw += [w[: data.draw(st.integers(0, len(w)))] for w in raw[:5]]
        raw += data.draw(st.lists(st.binary(max_size=4).map(lambda b: b + bytes([NOT_UTF8[len(b) % len(NOT_UTF8)]])), max_size=6))
        if data.draw(st.booleans()):
            raw += [bytes([b]) for b in range(256)]
        keys = data.draw(st.lists(mixed_text, max_size=4)) + [w + data.draw(mixed_text) for w in utf8_words[:6]]
        assert check_raw(raw, keys) == []

    @relaxed
    @given(st.data())
    def test_segment_matches_the_model(data):
        words = data.draw(word_lists())
        text = "".join(data.draw(st.lists(st.one_of(mixed_text, st.sampled_from(words or [""])), max_size=12)))
        model = Model(words)
        for runs in (False, True):
            assert segment(Velarin(words), text, alnum_runs=runs) == segment_loop(model, text, runs), runs

    @relaxed
    @given(st.data())
    def test_scans_under_reentry_match_the_model(data):
        from ondrel_velarin import longest_matches, segment

        words = data.draw(word_lists())
        text = "".join(data.draw(keys_for(words)))
        v = Velarin(data.draw(word_lists()))

        class Reentrant(str):
            """An item whose encode() scans and looks up the object it is being stored in."""

            def encode(self, encoding):
                segment(v, text), longest_matches(v, text), v.get_closest_prefix(text)
                return str(self).encode(encoding)

        v.__init__([Reentrant(w) if i % 2 else w for i, w in enumerate(words)])
        model = Model(words)
        assert segment(v, text) == segment_loop(model, text, False)
        assert longest_matches(v, text) == [len(model.get_closest_prefix(text[i:])) for i in range(len(text))]

    @pytest.mark.parametrize(
        ("words", "keys"),
        [
            (["", "\0", "\0\0"], ["", "\0", "\0\0\0", "x"]),
            (["a", "ab", "abc", "abcd"], ["abcde", "abx", "a", ""]),
            (["中", "中文", "中文字"], ["中文字典", "中x", "文"]),
            (["é", "e\u0301"], ["é!", "e\u0301!", "e"]),
            (["\U0001F600", "\U0001F600\U0001F680"], ["\U0001F600\U0001F680\U0001F9E1", "\U0001F601"]),
            ([chr(c) for c in range(0x80, 0x100)], [chr(c) + "x" for c in range(0x80, 0x100)]),
        ],
    )
    def test_known_shapes(words, keys):
        assert check(words, keys) == []

    def test_a_wrong_answer_is_reported():
        # The checker itself must see a mismatch: a subclass that answers wrongly.
        class Wrong(Velarin):
            def get_closest_prefix(self, key):
                return "nope"

        assert check(["a", "b"], ["a", "c"], Wrong) == [
            "lookup ['a', 'b'] 'a': 'nope' != 'a'",
            "lookup ['a', 'b'] 'c': 'nope' != ''",
        ]

    def test_long_mode_runs_and_counts():
        lookups, mismatches, shown = long_run(300, seed=7)
        assert (mismatches, shown) == (0, [])
        assert lookups > 300

    def test_answers_are_the_same_with_and_without_the_index():
        # Random mixed word lists of every size up to a few thousand nodes: a
        # small one's table walks bytes, and the same words beside enough
        # others that no key reaches get an index. Both answer alike.
        from test_memory import indexed

        from ondrel_velarin import longest_matches

        # A first character no alphabet here holds; enough nodes to outweigh
        # the ranks of words that begin with U+10FFFF.
        padding = ["\u4e01%05d" % i for i in range(10_000)]
        rng = random.Random(5)
        walked = 0
        for i in range(200):
            pool = "".join(ALPHABETS[rng.choice(list(ALPHABETS))] for _ in range(rng.randint(1, 3)))
            words = ["".join(rng.choice(pool) for _ in range(rng.randint(0, 8))) for _ in range(rng.randint(1, 2 * i + 2))]
            keys = [w + random_text(rng) for w in rng.choices(words, k=10)] + [random_text(rng) for _ in range(5)]
            text = "".join(keys)
            assert "\u4e01" not in text and indexed(words + padding)
            walked += not indexed(words)
            answers = []
            for v in (Velarin(words), Velarin(words + padding)):
                answers.append(([v.get_closest_prefix(k) for k in keys], segment(v, text), longest_matches(v, text)))
            assert answers[0] == answers[1], words
        assert walked > 50


# ---- long mode ----------------------------------------------------------------


def random_text(rng: random.Random) -> str:
    pool = ALPHABETS[rng.choice(list(ALPHABETS))]
    if rng.random() < 0.3:
        pool += ALPHABETS[rng.choice(list(ALPHABETS))]
    return "".join(rng.choice(pool) for _ in range(rng.randint(0, 6)))


def random_case(rng: random.Random):
    words = [random_text(rng) for _ in range(rng.randint(0, 12))]
    if words:
        for w in rng.choices(words, k=rng.randint(0, 4)):
            words.append(w[: rng.randint(0, len(w))])
        words += rng.choices(words, k=rng.randint(0, 2))
    keys = [random_text(rng) for _ in range(2)]
    for w in rng.choices(words, k=3) if words else []:
        keys.append(w + random_text(rng))
        keys.append(w[: rng.randint(0, len(w))])
    return words, keys


def random_raw_case(rng: random.Random):
    words, keys = random_case(rng)
    raw = [w.encode("utf-8") for w in words]
    raw += [w[: rng.randint(0, len(w))] for w in raw[:3]]
    raw += [rng.randbytes(rng.randint(0, 3)) + bytes([rng.choice(NOT_UTF8)]) for _ in range(rng.randint(0, 3))]
    if rng.random() < 0.02:
        raw += [bytes([b]) for b in range(256)]
    return raw, keys


def long_run(cases: int, seed: int) -> tuple[int, int, list[str]]:
    rng = random.Random(seed)
    lookups = mismatches = 0
    shown: list[str] = []
    for i in range(cases):
        if i % 10 == 9:
            raw, keys = random_raw_case(rng)
            wrong = check_raw(raw, keys)
        else:
            words, keys = random_case(rng)
            wrong = check(words, keys)
        lookups += len(keys)
        mismatches += len(wrong)
        shown.extend(wrong[: max(0, 20 - len(shown))])
    return lookups, mismatches, shown


def main(argv: list[str]) -> int:
    cases = int(argv[1]) if len(argv) > 1 else 1_000_000
    seed = int(argv[2]) if len(argv) > 2 else 20240601
    lookups, mismatches, shown = long_run(cases, seed)
    for line in shown:
        print(line)
    print(f"differential: {cases} cases (word lists, each with its iteration order), {lookups} lookups, "
          f"{mismatches} mismatches, seed {seed}")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
