"""Where a trie's memory lies and what it costs: the records point into a few
large blocks, a release frees each once, and nbytes() tells what a trie holds."""

import ctypes
import gc
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

from leaks import SANITIZED
from ondrel_velarin import Velarin, longest_matches, nbytes, segment
from store_view import store, word_length

WORDS = ["ab", "abc", "abcdef", "b", "中文", "中文字典", "é", "x" * 300, "x" * 300 + "y", ""]


def native_cleanup():
    capsule = Velarin.__dict__["__pyx_vtable__"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = ctypes.cast(get_pointer(capsule, None), ctypes.POINTER(ctypes.c_void_p))
    return ctypes.PYFUNCTYPE(None, ctypes.py_object)(table[0])


def header(length):
    return 1 if length < 255 else 5


def assert_packed(v, words):
    """The string copies lie one after another, each after its length and
    before a 0 byte; a terminal record's word is the first copy of its string;
    every record's children lie in one array of one entry per node below the
    root."""
    s = store(v)
    encoded = [w.encode() for w in words]
    first_copy = {}
    address = ctypes.cast(s.bytes_strings[0], ctypes.c_void_p).value
    for i, data in enumerate(encoded):
        at = ctypes.cast(s.bytes_strings[i], ctypes.c_void_p).value
        assert (s.bytes_lengths[i], at, word_length(at)) == (len(data), address, len(data))
        assert ctypes.string_at(at, len(data) + 1) == data + b"\0"
        first_copy.setdefault(data, at)
        address += len(data) + 1 + (header(len(encoded[i + 1])) if i + 1 < len(encoded) else 0)
    spans, words_seen = [], set()
    for i in range(s.num_nodes):
        n = s.nodes[i]
        assert bin(n.mask).count("1") == n.num_children or s.max_mask_bit > 64
        if n.num_children:
            start = ctypes.cast(n.children_indices, ctypes.c_void_p).value
            spans.append((start, start + 4 * n.num_children))
        if n.word:
            word = ctypes.string_at(n.word, word_length(n.word))
            assert n.word == first_copy[word]
            words_seen.add(word)
    assert words_seen == set(encoded)
    spans.sort()
    assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:])), "children blocks overlap"
    if s.max_mask_bit <= 64:
        assert spans[-1][1] - spans[0][0] == 4 * (s.num_nodes - 1)


@pytest.mark.parametrize("words", [WORDS, ["a", "a", "ab"], [chr(c) * 2 for c in range(0x20, 0x7F)] + ["é", "中"]])
def test_records_point_into_packed_blocks(words):
    v = Velarin(words)
    assert_packed(v, words)
    v.__init__(words[::-1])
    assert_packed(v, words[::-1])
    assert sorted(v) == sorted(set(words))


def test_failed_and_released_stores_hold_nothing():
    class Fails:
        def encode(self, encoding):
            raise ValueError("no")

    v = Velarin(WORDS)
    with pytest.raises(ValueError):
        v.__init__(WORDS + [Fails()])
    s = store(v)
    assert (bool(s.nodes), s.num_nodes, bool(s.bytes_strings), bool(s.bytes_lengths), s.num_strings) == (
        False, 0, False, False, 0)
    v.__init__(WORDS)
    cleanup = native_cleanup()
    cleanup(v)
    s = store(v)
    assert (bool(s.nodes), s.num_nodes, bool(s.bytes_strings), s.num_strings) == (False, 0, False, 0)
    assert v.get_closest_prefix("abc") == "" and list(v) == []
    assert nbytes(v) == nbytes(Velarin.__new__(Velarin))


CLEANUP_TWICE = """
import sys
sys.path.insert(0, {tests!r})
from test_memory import native_cleanup, WORDS
from leaks import native_heap_in_use
from ondrel_velarin import Velarin, segment
cleanup = native_cleanup()


def change(trie):
    # What one more _cleanup changes in the native heap, besides the call's own cost.
    before = native_heap_in_use()
    cleanup(trie)
    return native_heap_in_use() - before


v = Velarin(WORDS * 1000 + [str(i) for i in range(100000)])
assert v.get_closest_prefix("中文字典x") == "中文字典" and segment(v, "abcx")
cleanup(v)
empty = Velarin.__new__(Velarin)
change(empty)
# Nothing freed: the heap in use shrinks no more than around a call that has nothing to free.
print(min(change(v) for _ in range(3)) >= change(empty))
"""


def test_cleanup_twice_frees_nothing_twice():
    # The allocator aborts on most blocks freed twice; the heap must not shrink either.
    code = CLEANUP_TWICE.format(tests=str(Path(__file__).parent))
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          env={**os.environ, "MALLOC_CHECK_": "3"}, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "True"), done.stderr[-2000:]


TAIL_WORDS = ["a", "a" * 1000, "a" * 100_000, "b" * 5000 + "c", "tail", "tailgate", "tailgates", "tally",
              "中华", "中华人民共和国", "中华人民共和国万岁", "end of a phrase", "end of a phrase and more"]


@pytest.mark.parametrize(
    "key",
    ["a" * 100_001, "a" * 99_999, "a" * 1000 + "b", "a" * 1001, "b" * 5000 + "c!", "b" * 5000, "tailgatesx",
     "tailgat", "tailg", "tails", "中华人民共和", "中华人民共和国万", "中华人民共和国万岁！", "end of a phrase and mor",
     "end of a phrase and more.", "end of a phras", "\U0010ffff", ""],
)
def test_tails_are_compared_to_the_end(key):
    v = Velarin(TAIL_WORDS)
    assert v.get_closest_prefix(key) == key[:longest_word_at(set(TAIL_WORDS), key, 0)]


def longest_word_at(words, text, i):
    """The length of the longest word that text has at i; with few distinct
    word lengths, only those are tried (a plain model would slice every length)."""
    lengths = sorted({len(w) for w in words}, reverse=True)
    return next((n for n in lengths if i + n <= len(text) and text[i:i + n] in words), 0)


def longest_at_each_position(words, text):
    """What longest_matches should give."""
    return [longest_word_at(words, text, i) for i in range(len(text))]


def test_scans_match_inside_tails():
    v = Velarin(TAIL_WORDS)
    text = "xtailgates中华人民共和国万岁end of a phrase and mortailgatetallyz" + "a" * 1500 + "b" * 5000 + "c"
    assert longest_matches(v, text) == longest_at_each_position(set(TAIL_WORDS), text)
    assert "".join(segment(v, text)) == text
    assert segment(v, "tailgatesa" + "a" * 1000) == ["tailgates", "a" * 1000, "a"]


def random_words(count, seed):
    r = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyzäöü中文字典词语"
    return ["".join(r.choice(letters) for _ in range(r.randint(1, 12))) for _ in range(count)]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs Linux's /proc")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's heap fills its blocks")
def test_nbytes_agrees_with_the_memory_a_trie_takes():
    words = random_words(300_000, 7)
    gc.collect()
    # Pages that earlier tests freed would otherwise hold part of the trie
    # without the process growing.
    ctypes.CDLL(None).malloc_trim(0)
    before = resident_bytes()
    v = Velarin(words)
    assert v.get_closest_prefix(words[0] + "x") == words[0]
    grown = resident_bytes() - before
    held = nbytes(v)
    assert 0.8 * grown < held < 1.25 * grown, (held, grown)


def test_nbytes_counts_what_lookups_add():
    v = Velarin(random_words(5000, 3))
    empty = nbytes(Velarin([]))
    built = nbytes(v)
    v.get_closest_prefix("abc")
    looked_up = nbytes(v)
    assert empty < built < looked_up
    with pytest.raises(TypeError, match="argument 1 must be ondrel_velarin.impl_c.Velarin, not list"):
        nbytes([])


# A table whose code point index would rank first code points (eight bytes
# for every 32 of them, up to the largest that begins a word) in more bytes
# than its node records take (32 bytes each) gets no index: it walks bytes
# (IndexTables in ondrel_velarin/trie/char_index.hpp).
MIXED_TEN = ["apple", "香蕉", "cat", "馆", "dog", "书", "egg", "馥", "fig", "中文"]


def node_count(words):
    """The nodes of a trie of `words`: the root and one a distinct byte prefix."""
    return 1 + len({w.encode()[:i] for w in words for i in range(1, len(w.encode()) + 1)})


def indexed(words):
    """Whether a trie of `words` gets a code point index."""
    runs = max(ord(w[0]) for w in words if w) // 32 + 1
    return 8 * runs <= 32 * node_count(words)


def words_with_nodes(count, seed):
    """Random words of Latin letters and Chinese characters (馥, U+99A5, the
    largest) making a trie of exactly `count` nodes: the last ones are single
    ASCII characters, a node each."""
    r = random.Random(seed)
    pool = "abcdefghij中文字图书馆香蕉"
    words = ["馥"]
    while True:
        w = "".join(r.choice(pool) for _ in range(r.randint(1, 8)))
        if node_count(words + [w]) > count - 20:
            break
        words.append(w)
    fill = iter("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&()*+,-./:;<=>?@[]^_{|}~")
    while node_count(words) < count:
        words.append(next(fill))
    r.shuffle(words)
    return words


def test_ten_mixed_words_cost_what_their_words_need():
    # A word beginning with U+99A5 would have the code point index rank first
    # code points up to it, about 10 KB: a table this small walks bytes instead.
    v = Velarin(MIXED_TEN)
    assert v.get_closest_prefix("馥x") == "馥"
    assert segment(v, "香蕉apple中文馆x") == ["香蕉", "apple", "中文", "馆", "x"]
    assert longest_matches(v, "书馥") == [1, 1]
    assert nbytes(v) <= 6000, nbytes(v)
    r = random.Random(4)
    chinese = ["".join(r.choice("中文字典词语图书馆香蕉馥龘") for _ in range(r.randint(1, 4))) for _ in range(30)]
    for _ in range(20):
        words = r.sample([w for w in random_words(200, r.random()) if w.isascii()], 5) + r.sample(chinese, 5)
        v = Velarin(words)
        v.get_closest_prefix(words[0] + "x")
        segment(v, "".join(words))
        assert nbytes(v) <= 6000, words


def test_small_latin_tries_keep_their_index():
    # Their first code points are ranked in a few bytes: the index stays.
    words = ["apple", "cat", "dog", "egg", "fig", "grape", "kiwi", "lemon", "mango", "pear"]
    v = Velarin(words)
    built = nbytes(v)
    v.get_closest_prefix("catx")
    assert nbytes(v) - built > 400


# The fewest nodes for a table whose largest first code point is U+99A5: its
# ranks take 8 * (0x99A5 // 32 + 1) = 9840 bytes, 32 * 308 = 9856 records.
FIRST_INDEXED = 308


@pytest.mark.parametrize("count", [FIRST_INDEXED - 1, FIRST_INDEXED, FIRST_INDEXED + 1])
def test_tables_at_the_threshold_answer_alike_with_and_without_the_index(count):
    # Just below the threshold a table walks bytes and a lookup adds no index;
    # from it on, the lookup builds one (about 10 KB of ranks alone). Every
    # answer is the model's either way.
    from model import Model, segment_loop

    for seed in range(3):
        words = words_with_nodes(count, seed)
        assert node_count(words) == count and indexed(words) == (count >= FIRST_INDEXED)
        v = Velarin(words)
        built = nbytes(v)
        model = Model(words)
        keys = [w + "馥a" for w in words] + [w[:-1] for w in words] + ["", "z", "馥"]
        assert [v.get_closest_prefix(k) for k in keys] == [model.get_closest_prefix(k) for k in keys]
        added = nbytes(v) - built
        assert (added > 9840) == indexed(words), added
        text = "".join(keys)
        assert segment(v, text) == segment_loop(model, text, False)
        assert longest_matches(v, text) == [len(model.get_closest_prefix(text[i:])) for i in range(len(text))]
