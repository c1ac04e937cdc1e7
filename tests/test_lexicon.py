"""Lexicon: every question against a plain model (a dict and a sorted list),
construction from each form and its refusals, the mapping protocol, ids."""

import random
import sys
from collections.abc import Mapping
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from model import LexiconModel  # noqa: E402
from ondrel_velarin import Lexicon, Velarin, segment  # noqa: E402
from test_differential import random_text  # noqa: E402

VALUE_SHAPES = ["none", "int32", "int64", "object", "mixed"]


def values_for(rng: random.Random, shape: str, n: int) -> list[object]:
    if shape == "none":
        return [None] * n
    if shape == "int32":
        return [rng.randint(-(2**31), 2**31 - 1) for _ in range(n)]
    if shape == "int64":
        return [rng.randint(-(2**63), 2**63 - 1) for _ in range(n)]
    if shape == "object":
        return [rng.choice(["x", ("t", 1), 2**70, 1.5, True, None]) for _ in range(n)]
    return [rng.choice([None, 3, -7]) for _ in range(n)]


def random_lexicon_case(rng: random.Random):
    words = [random_text(rng) for _ in range(rng.choice([0, 1, rng.randint(2, 30)]))]
    words += [w[: rng.randint(0, len(w))] for w in words[:5]]  # prefixes of each other
    words += rng.choices(words, k=rng.randint(0, 3)) if words else []  # given twice
    if rng.random() < 0.2:
        words.append("\0" + random_text(rng) + "\0")
    if rng.random() < 0.2:
        words.append(random_text(rng) * 4)  # long enough for a tail of the index
    pairs = list(zip(words, values_for(rng, rng.choice(VALUE_SHAPES), len(words))))
    keys = [random_text(rng) for _ in range(4)]
    keys += [w + random_text(rng) for w in rng.choices(words, k=4)] if words else []
    keys += [w[: rng.randint(0, len(w))] for w in rng.choices(words, k=3)] if words else []
    return pairs, keys


def check_against_model(lex: Lexicon, model: LexiconModel, keys: list[str]) -> None:
    assert len(lex) == len(model.words)
    assert list(lex) == list(lex.keys()) == model.words
    assert list(lex.values()) == [model.values[w] for w in model.words]
    assert list(lex.items()) == [(w, model.values[w]) for w in model.words]
    for i, w in enumerate(model.words):
        assert w in lex and lex[w] == model.values[w] and lex.get(w, "none") == model.values[w]
        assert lex.key_id(w) == i and lex.restore_key(i) == w
    for key in keys:
        for start in (0, 1, -2):
            assert lex.prefixes(key, start) == model.prefixes(key, start), (key, start)
            assert lex.prefix_items(key, start=start) == [(w, model.values[w]) for w in model.prefixes(key, start)]
            want = model.longest_prefix(key, start)
            assert lex.longest_prefix(key, start) == want
            assert lex.longest_prefix_item(key, start) == (None if want is None else (want, model.values[want]))
        assert (key in lex) == (key in model.values)
        assert lex.get(key, "absent") == model.values.get(key, "absent")
        completions = model.keys(key)
        assert lex.keys(key) == completions, key
        assert lex.values(key) == [model.values[w] for w in completions]
        assert lex.items(key) == [(w, model.values[w]) for w in completions]
        assert lex.has_keys_with_prefix(key) == bool(completions)


@pytest.mark.parametrize("seed", range(6))
def test_agrees_with_the_model(seed):
    rng = random.Random(seed)
    for _ in range(150):
        pairs, keys = random_lexicon_case(rng)
        lex = Lexicon(pairs)
        check_against_model(lex, LexiconModel(pairs), keys)


@pytest.mark.parametrize("alphabet", ["ab", "abc", "中文字", "aé中😀"])
def test_membership_of_words_that_branch_far_down(alphabet):
    # A word wanted whole has the probes of many code points ahead in flight
    # at once: families of words sharing long stems, branching 20 to 70 code
    # points down, walk through more of them than the probes in flight.
    rng = random.Random(alphabet)
    for _ in range(40):
        stems = ["".join(rng.choices(alphabet, k=rng.randint(0, 40))) for _ in range(rng.randint(1, 6))]
        words = sorted({s + "".join(rng.choices(alphabet, k=rng.randint(0, 30))) for s in stems for _ in range(15)})
        lex, ids = Lexicon(words), {w: i for i, w in enumerate(words)}
        keys = words + [w[:-1] for w in words] + [w + rng.choice(alphabet) for w in words]
        for key in keys:
            assert (key in lex) == (key in ids), key
            assert lex.get(key, -1) == (None if key in ids else -1), key
            if key in ids:
                assert lex.key_id(key) == ids[key]
            else:
                with pytest.raises(KeyError):
                    lex.key_id(key)

@pytest.mark.parametrize("seed", range(3))
def test_each_form_gives_the_same_lexicon(seed):
    rng = random.Random(100 + seed)
    for _ in range(100):
        pairs, _ = random_lexicon_case(rng)
        expected = list(dict(pairs).items())
        mapping = dict(pairs)
        forms = [pairs, iter(pairs), [list(p) for p in pairs], mapping, _ReadOnly(mapping), Lexicon(pairs)]
        for form in forms:
            assert sorted(Lexicon(form).items()) == sorted(expected)
        words = [w for w, _ in pairs]
        for form in (words, tuple(words), set(words), iter(words), mapping.keys(), (w for w in words)):
            assert list(Lexicon(form).items()) == [(w, None) for w in sorted(set(words))]


class _ReadOnly(Mapping):
    """A mapping that is not a dict: read through keys() and [] as dict() reads it."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


def test_a_word_given_twice_keeps_its_last_value():
    lex = Lexicon([("a", 1), "b", ("a", 2), ("b", 3), ("a", None), ("c", 4), ("c", 5)])
    assert dict(lex.items()) == {"a": None, "b": 3, "c": 5} == dict([("a", 1), ("b", None), ("a", 2), ("b", 3), ("a", None), ("c", 4), ("c", 5)])


@pytest.mark.parametrize(
    "values, kind",
    [
        ([None, None], "none"),
        ([1, -(2**31)], "int32"),
        ([1, 2**31], "int64"),
        ([1, -(2**63)], "int64"),
        ([1, 2**63], "object"),
        ([1, None], "object"),
        ([1, True], "object"),
        ([1, 1.0], "object"),
        (["x", "y"], "object"),
    ],
)
def test_values_are_kept_in_the_narrowest_form(values, kind):
    lex = Lexicon(zip(["a", "b"], values))
    assert lex.value_kind == kind
    assert [type(v) for v in lex.values()] == [type(v) for v in values]
    assert list(lex.values()) == values


@pytest.mark.parametrize(
    "argument, message",
    [
        ("abc", "not a str: pass a list"),
        (b"abc", "not bytes: pass a list of str"),
        (["a", 3], "item 1 is int, not a str or a (word, value) pair"),
        (["a", ("b", 1, 2)], "item 1 is tuple, not a str or a (word, value) pair"),
        ([("a", 1), (2, 1)], "word 1 is int, not str"),
        ({"a": 1, 3: 2}, "word 1 is int, not str"),
        ([b"a"], "item 0 is bytes"),
        (5, "'int' object is not iterable"),
    ],
)
def test_what_is_not_words_is_refused(argument, message):
    with pytest.raises(TypeError) as excinfo:
        Lexicon(argument)
    assert message in str(excinfo.value)


def test_refusals_of_the_constructor_itself():
    with pytest.raises(TypeError, match="no keyword arguments"):
        Lexicon(words=["a"])
    with pytest.raises(TypeError, match="at most 1 argument"):
        Lexicon(["a"], ["b"])
    with pytest.raises(UnicodeEncodeError):
        Lexicon(["a", "\ud800"])


def test_errors_raised_while_reading_pass_through():
    def words():
        yield "a"
        raise LookupError("from the generator")

    with pytest.raises(LookupError, match="from the generator"):
        Lexicon(words())


@pytest.mark.parametrize("words", [[], [""], ["\0"], ["中文"], ["a", "ab", "abc"]])
def test_small_lexicons(words):
    lex = Lexicon(words)
    model = LexiconModel((w, None) for w in words)
    check_against_model(lex, model, ["", "a", "abcd", "中文字", "\0\0", "x"])
    assert lex.prefixes("zzz") == ([""] if "" in words else [])
    assert lex.longest_prefix("zzz") == ("" if "" in words else None)


def test_the_mapping_protocol():
    lex = Lexicon({"中": 1, "中文": 2, "ab": 3})
    assert isinstance(lex, Mapping)
    assert lex == {"ab": 3, "中": 1, "中文": 2} == Lexicon([("中文", 2), ("ab", 3), ("中", 1)])
    assert lex != {"ab": 3, "中": 1} and lex != {"ab": 3, "中": 1, "中文": 3} and lex != Lexicon(["ab"])
    assert lex != ["ab"]
    assert "ab" in lex.keys() and ("ab", 3) in lex.items() and ("ab", 4) not in lex.items() and 2 in lex.values()
    assert lex.keys() == {"ab", "中", "中文"} and len(lex.items()) == 3
    assert dict(lex) == {"ab": 3, "中": 1, "中文": 2}
    for absent in ("a", 1, None, ("ab",)):
        assert absent not in lex
        assert lex.get(absent) is None
        with pytest.raises(KeyError) as excinfo:
            lex[absent]
        assert excinfo.value.args == (absent,)
    with pytest.raises(TypeError):
        hash(lex)
    it = iter(lex)
    assert it.__length_hint__() == 3 and next(it) == "ab" and it.__length_hint__() == 2


def test_ids_refuse_what_is_out_of_range():
    lex = Lexicon(["b", "a"])
    for bad in (2, -1, 2**80):
        with pytest.raises(IndexError, match="out of range for a Lexicon of 2 words"):
            lex.restore_key(bad)
    with pytest.raises(TypeError):
        lex.restore_key("0")
    with pytest.raises(KeyError):
        lex.key_id("c")


def test_text_questions_take_start_as_a_slice_does():
    lex = Lexicon(["ab", "b", "bc"])
    text = "xabc"
    for start in range(-6, 7):
        assert lex.prefixes(text, start) == LexiconModel((w, None) for w in lex).prefixes(text, start)
    assert lex.longest_prefix(text, start=2) == "bc" and lex.longest_prefix(text, 2**70) is None
    with pytest.raises(TypeError):
        lex.prefixes(b"ab")
    with pytest.raises(TypeError):
        lex.prefixes("ab", "1")
    with pytest.raises(TypeError):
        lex.prefixes("ab", begin=1)


def test_a_lone_surrogate_matches_no_word():
    lex = Lexicon(["a", "ab"])
    assert "a\ud800" not in lex and lex.get("\ud800") is None
    assert lex.prefixes("a\ud800b") == ["a"] and lex.longest_prefix("\ud800") is None
    assert lex.keys("\ud800") == [] and not lex.has_keys_with_prefix("a\ud800")


# Code points at the edges of each str width and of each UTF-8 length.
WIDTH_EDGES = ["\0", "\x7f", "\x80", "\xff", "\u0100", "\u07ff", "\u0800", "\uffff", "\U00010000", "\U0010ffff"]


@pytest.mark.parametrize("edge", WIDTH_EDGES)
def test_words_made_from_the_trie_are_the_strs_given(edge, tmp_path):
    # Each as one character, beside ASCII and beside a wider one: a str of
    # the wrong width compares unequal and hashes apart from the same text.
    words = sorted({edge, "a" + edge, edge + "a" * 9, edge + "\u4e2d", "\u4e2d" + edge + "\U0001f600", "b" * 20 + edge})
    lex = Lexicon({w: w for w in words})
    lex.save(tmp_path / "lex")
    loaded = Lexicon.load(tmp_path / "lex")
    listed = [list(lex.keys(w[0])) for w in words] + [list(lex), [lex.restore_key(i) for i in range(len(lex))]]
    listed.append(list(loaded.values()))
    for answer in listed:
        for w in answer:
            assert w in words and sys.getsizeof(w) == sys.getsizeof(w[:1] + w[1:]) and hash(w) == hash(w[:1] + w[1:])
    assert list(lex) == words and loaded == lex


def test_words_and_answers_are_the_tries_cached_strs():
    lex = Lexicon(["中文", "ab"])
    first = lex.longest_prefix("中文字")
    assert lex.prefixes("中文字")[0] is first and lex.longest_prefix_item("中文")[0] is first
    assert lex.trie.get_closest_prefix("中文") is first
    assert next(iter(lex.items("中")))[0] is first


def test_a_rebuilt_trie_ends_the_lexicon():
    lex = Lexicon({"ab": 1, "c": 2})
    it = iter(lex)
    next(it)
    assert isinstance(lex.trie, Velarin)
    lex.trie.__init__(["zz"])
    for question in (
        lambda: "ab" in lex,
        lambda: lex["ab"],
        lambda: lex.get("ab"),
        lambda: lex.key_id("ab"),
        lambda: lex.restore_key(0),
        lambda: lex.prefixes("ab"),
        lambda: lex.longest_prefix("ab"),
        lambda: lex.keys("a"),
        lambda: list(lex.items()),
        lambda: next(it),
    ):
        with pytest.raises(RuntimeError, match="rebuilt or released"):
            question()
    assert len(lex) == 2


@pytest.mark.parametrize("call", ["find_all", "find_longest"])
def test_a_trie_rebuilt_by_a_finalizer_while_spans_are_made_ends_the_call(call):
    import gc

    lex = Lexicon(["a", "ab", "b"])

    class Rebuilds:
        def __del__(self):
            lex.trie.__init__(["zz"])

    find, text = getattr(lex, call), "ab" * 100_000
    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(50)
    try:
        with pytest.raises(RuntimeError, match="rebuilt or released"):
            # Left in a cycle just before the call: the collection that the
            # spans' allocations ask for runs where the walk stops for the
            # signal handlers, with much of the text still to walk.
            trap = Rebuilds()
            trap.cycle = trap
            del trap
            find(text)
    finally:
        gc.set_threshold(*threshold)
    assert lex.trie.get_closest_prefix("zzz") == "zz"


@pytest.mark.parametrize("call", ["prefix_items", "longest_prefix_item"])
def test_a_trie_rebuilt_by_a_finalizer_while_pairs_are_made_ends_the_call(call):
    import gc

    words = ["a" * i for i in range(1, 400)]
    lex = Lexicon({w: 1000 + len(w) for w in words})

    class Rebuilds:
        def __del__(self):
            lex.trie.__init__(["zz"])

    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1)
    try:
        with pytest.raises(RuntimeError, match="rebuilt or released"):
            for _ in range(100):
                trap = Rebuilds()
                trap.cycle = trap
                del trap
                getattr(lex, call)("a" * 400)
    finally:
        gc.set_threshold(*threshold)
    assert lex.trie.get_closest_prefix("zzz") == "zz"


@pytest.mark.parametrize("asked", [False, True])
def test_values_in_a_cycle_are_collected(asked):
    import gc
    import weakref

    class Value:
        pass

    value = Value()
    lex = Lexicon({"a": value})
    value.back = lex
    if asked:
        # The pair handed out is kept by the lexicon: the cycle runs through it too.
        assert lex.longest_prefix_item("ab") == ("a", value) and lex.prefix_items("a")[0] is lex.longest_prefix_item("a")
    alive = weakref.ref(value)
    del value, lex
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "content, format, used, items, tags",
    [
        ("b\na b\n\na\n", "auto", "lines", [("a", None), ("a b", None), ("b", None)], None),
        ("中文 3000 n\n分词 12\n中文 5 v\n", "auto", "jieba", [("中文", 5), ("分词", 12)], {"中文": "v", "分词": None}),
        ("a\tA\tx\n#comment\nb\t\n\tz\n" + "c\tC\n" * 20, "auto", "tsv", [("a", "A\tx"), ("b", ""), ("c", "C")], None),
        ("[PAD]\nthe\n\n##s\nthe\n", "vocab", "vocab", [("##s", 3), ("[PAD]", 0), ("the", 4)], None),
        ("\ufeffx 1\r\ny 2\r\n", "jieba", "jieba", [("x", 1), ("y", 2)], None),
    ],
)
def test_from_file_reads_each_format(tmp_path, content, format, used, items, tags):
    path = tmp_path / "words.txt"
    path.write_text(content, encoding="utf-8")
    lex = Lexicon.from_file(path, format)
    assert list(lex.items()) == items
    assert f"from {str(path)!r} ({used} format)" in repr(lex)
    for word, tag in (tags or {}).items():
        assert lex.tag(word) == tag
    if tags is None:
        assert lex.tag_names == () and all(lex.tag(w) is None for w in lex)


@pytest.mark.parametrize(
    "content, format, message",
    [
        ("a 1\nb x\n", "jieba", "line 2 is not a jieba 'word frequency [tag]' line: 'b x'"),
        ("a 1\nb 2 n extra\n", "jieba", "line 2 is not a jieba"),
        ("a 1\nb 1.5\n", "jieba", "line 2 is not a jieba"),
        ("a\tb\nno tab here\n", "tsv", "line 2 is not a tab-separated 'key<TAB>value' line: 'no tab here'"),
        ("a\n\xff", "lines", "line 2 is not UTF-8"),
    ],
)
def test_from_file_names_the_line_it_cannot_read(tmp_path, content, format, message):
    from ondrel_velarin.wordlist import WordListError

    path = tmp_path / "words.txt"
    path.write_bytes(content.encode("utf-8", "surrogateescape") if "\xff" not in content else content[:-1].encode() + b"\xff")
    with pytest.raises(WordListError) as excinfo:
        Lexicon.from_file(path, format)
    assert str(excinfo.value).startswith(f"{path}: ") and message in str(excinfo.value)


@pytest.mark.parametrize("seed", range(6))
def test_whole_texts_agree_with_the_model(seed):
    from model import segment_loop

    rng = random.Random(200 + seed)
    for _ in range(120):
        pairs, keys = random_lexicon_case(rng)
        lex = Lexicon(pairs)
        model = LexiconModel(pairs)
        text = "".join(rng.choice(keys + [w for w, _ in pairs] or ["x"]) for _ in range(rng.randint(0, 10)))
        assert lex.find_all(text) == model.find_all(text), (pairs, text)
        assert lex.find_longest(text) == model.find_longest(text), (pairs, text)
        for runs in (True, False):
            segments = lex.segment(text, alnum_runs=runs)
            assert segments == segment_loop(model, text, alnum_runs=runs) == segment(lex.trie, text, alnum_runs=runs)
            starts = [sum(map(len, segments[:i])) for i in range(len(segments))]
            assert lex.tokenize(text, alnum_runs=runs) == [(s, a, a + len(s)) for s, a in zip(segments, starts)]


def test_whole_texts_on_a_long_one():
    lex = Lexicon(["中国", "中国人", "人民", "a", "ab", "b" * 40, "ab" * 30])
    text = ("中国人民" + "ab" * 31 + "b" * 45 + " Debian ") * 200
    model = LexiconModel((w, None) for w in lex)
    assert lex.find_all(text) == model.find_all(text)
    assert lex.find_longest(text) == model.find_longest(text)
    # Offsets past the ints kept for the last positions.
    segments = lex.segment(text)
    starts = [0]
    for s in segments:
        starts.append(starts[-1] + len(s))
    assert lex.tokenize(text) == list(zip(segments, starts, starts[1:]))
    # The tool's defaults: runs of letters and digits stay whole.
    assert lex.segment("中国人 Debian abx") == ["中国人", " ", "Debian", " ", "abx"]
    assert lex.segment("中国人 Debian abx", alnum_runs=False)[:6] == ["中国人", " ", "D", "e", "b", "i"]


def test_whole_texts_refuse_what_the_scans_refuse():
    lex = Lexicon(["a"])
    for call in (lex.find_all, lex.find_longest, lex.segment, lex.tokenize):
        with pytest.raises(UnicodeEncodeError):
            call("a\ud800")
        with pytest.raises(TypeError):
            call(b"a")
    with pytest.raises(TypeError):
        lex.segment("a", runs=True)
    assert lex.find_all("") == lex.find_longest("") == lex.segment("") == lex.tokenize("") == []


def test_sorted_input_build_keeps_last_value_and_odd_words():
    # Words already in code point order take the build's path without a sort.
    pairs = [("", 0), ("a", 1), ("a", 2), ("a\x00", 3), ("a\x00b", 4), ("ab", 5), ("b", 6), ("b", 7)]
    lex = Lexicon(pairs)
    assert dict(lex.items()) == dict(pairs)
    assert list(lex) == sorted(dict(pairs))
    assert lex["a"] == 2 and lex["b"] == 7 and lex[""] == 0 and lex["a\x00"] == 3
    shuffled = Lexicon(list(reversed(pairs[::2])) + pairs[1::2])
    assert dict(shuffled.items()) == dict(list(reversed(pairs[::2])) + pairs[1::2])
    words = sorted({chr(c) * n for c in (0, 65, 0x4E00, 0x10FFFF) for n in (1, 2, 3)})
    assert list(Lexicon(words)) == words
