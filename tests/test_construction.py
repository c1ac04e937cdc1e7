"""Building the store: argument binding, encoding, alphabet and node table."""

import pytest

from leaks import block_growth
from ondrel_velarin.impl_c import Velarin
from store_view import Record, records, store, strings


def rec(mask, children, word=None):
    return Record(mask, children, int(word is not None), None if word is None else word + b"\0")


SEVEN = [
    rec(0x3, [1, 2]),
    rec(0x2, [3]),
    rec(0x1, [6], b"b"),
    rec(0xC, [4, 5]),
    rec(0, [], b"abc"),
    rec(0, [], b"abd"),
    rec(0, [], b"ba"),
]


@pytest.mark.parametrize(
    "words", [["abc", "abd", "b", "ba"], ["ba", "b", "abd", "abc"], ["b", "abc", "ba", "abd", "b", "abc", "ba"]]
)
def test_the_seven_record_example(words):
    assert records(Velarin(words)) == SEVEN


def test_duplicates_keep_their_copies_but_not_their_records():
    v = Velarin(["a", "a", "ab"])
    assert strings(v) == [b"a", b"a", b"ab"]
    assert records(v) == [rec(0x1, [1]), rec(0x2, [2], b"a"), rec(0, [], b"ab")]


@pytest.mark.parametrize(
    ("argument", "expected_strings", "expected_records"),
    [
        ([], [], []),
        ((), [], []),
        ([""], [b""], [rec(0, [], b"")]),
        ("ba", [b"b", b"a"], [rec(0x3, [1, 2]), rec(0, [], b"a"), rec(0, [], b"b")]),
        (("b", "a"), [b"b", b"a"], [rec(0x3, [1, 2]), rec(0, [], b"a"), rec(0, [], b"b")]),
        (["a\0b"], [b"a\0b"], [rec(1 << 1, [1]), rec(1 << 0, [2]), rec(1 << 2, [3]), rec(0, [], b"a\0b")]),
    ],
)
def test_inputs(argument, expected_strings, expected_records):
    v = Velarin(argument)
    assert strings(v) == expected_strings
    assert records(v) == expected_records


def test_empty_input_holds_no_table():
    v = Velarin([])
    s = store(v)
    assert not s.nodes and s.num_nodes == 0 and s.num_strings == 0 and s.max_mask_bit == 0
    assert list(s.byte_to_mask) == [0] * 256


@pytest.mark.parametrize(
    ("words", "bits"),
    [
        (["b", "a"], {0x61: 0, 0x62: 1}),
        (["é", "z"], {0x7A: 0, 0xA9: 1, 0xC3: 2}),
        ([""], {}),
        (["".join(map(chr, range(64)))], {b: b for b in range(64)}),
    ],
)
def test_alphabet_bits_follow_unsigned_byte_order(words, bits):
    v = Velarin(words)
    s = store(v)
    assert s.max_mask_bit == len(bits)
    assert {b: m.bit_length() - 1 for b, m in enumerate(s.byte_to_mask) if m} == bits
    assert all(m & (m - 1) == 0 for m in s.byte_to_mask)


def utf8_words_with_bytes(count):
    """Words whose UTF-8 forms together hold `count` distinct byte values."""
    words = [chr(c) for c in range(min(count, 128))]
    lead = 0xC2
    tails = list(range(0x80, 0xC0))
    while len(set(b"".join(w.encode() for w in words))) < count:
        need = count - len(set(b"".join(w.encode() for w in words)))
        if tails:
            words.append(bytes([lead, tails.pop()]).decode())
        else:
            lead += 1
            words.append(bytes([lead, 0x80]).decode())
        assert need > 0
    return words


@pytest.mark.parametrize("count", [64, 65, 128, 200])
def test_wide_alphabets_are_exact(count):
    words = utf8_words_with_bytes(count)
    v = Velarin(words + [w * 2 for w in words])
    assert store(v).max_mask_bit == count
    for w in words:
        assert v.get_closest_prefix(w + w + w) == w + w
        assert v.get_closest_prefix(w + "\U0010ffff") == w
    assert sorted(v) == sorted(set(words + [w * 2 for w in words]))


def test_all_256_byte_values_through_custom_encode():
    class Raw:
        def __init__(self, data):
            self.data = data

        def encode(self, encoding):
            assert encoding == "utf-8"
            return self.data

    v = Velarin([Raw(bytes([b])) for b in range(256)] + [Raw(b"ab"), Raw(b"\xffa")])
    assert store(v).max_mask_bit == 256
    assert v.get_closest_prefix("abc") == "ab"
    assert v.get_closest_prefix("z") == "z"
    assert v.get_closest_prefix("\x7f") == "\x7f"


def test_ten_megabyte_word_builds_without_recursion():
    word = "ab" * 5_000_000
    v = Velarin([word, "a"])
    assert store(v).num_nodes == len(word) + 1
    assert v.get_closest_prefix(word + "c") == word
    assert v.get_closest_prefix(word[:-1]) == "a"
    assert list(v) == ["a", word]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Velarin(), "__init__() takes exactly 1 positional argument (0 given)"),
        (lambda: Velarin([], []), "__init__() takes exactly 1 positional argument (2 given)"),
        (lambda: Velarin(other=[]), "__init__() takes exactly 1 positional argument (0 given)"),
        (lambda: Velarin([], [], strings=[]), "__init__() takes exactly 1 positional argument (2 given)"),
        (lambda: Velarin([], strings=[]), "__init__() got multiple values for keyword argument 'strings'"),
        (lambda: Velarin(strings=[], x=1), "__init__() got an unexpected keyword argument 'x'"),
        (lambda: Velarin([], x=1), "__init__() got an unexpected keyword argument 'x'"),
        (lambda: Velarin.__init__(Velarin.__new__(Velarin), **{"strings": [], 1: 2}), "__init__() keywords must be strings"),
    ],
)
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_strings_by_keyword():
    assert Velarin(strings=["ab"]).get_closest_prefix("abc") == "ab"


class Encodes:
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        return self.result


class Bytes(bytes):
    pass


@pytest.mark.parametrize(
    ("items", "error", "message"),
    [
        ([b"ab"], AttributeError, "'bytes' object has no attribute 'encode'"),
        ([1], AttributeError, "'int' object has no attribute 'encode'"),
        ([Encodes(None)], TypeError, "expected bytes, NoneType found"),
        ([Encodes("s")], TypeError, "Expected bytes, got str"),
        ([Encodes(Bytes(b"s"))], TypeError, "Expected bytes, got Bytes"),
        (["ok", "\ud800"], UnicodeEncodeError, "surrogates not allowed"),
        (None, TypeError, "has no len()"),
        (iter(["a"]), TypeError, "has no len()"),
    ],
)
def test_bad_items_fail_and_leave_the_store_empty(items, error, message):
    v = Velarin(["old"])
    with pytest.raises(error, match=message):
        v.__init__(items)
    s = store(v)
    assert not s.nodes and not s.bytes_strings and not s.bytes_lengths and s.num_strings == 0
    assert v.get_closest_prefix("old") == ""


def test_the_same_exception_object_is_raised_again():
    raised = ValueError("mine")

    class Fails:
        def encode(self, encoding):
            raise raised

    with pytest.raises(ValueError) as excinfo:
        Velarin(["a", Fails()])
    assert excinfo.value is raised


def test_a_list_shortened_during_construction():
    words = ["a", "b", "c"]

    class Shortens:
        def encode(self, encoding):
            del words[1:]
            return b"x"

    words[0] = Shortens()
    with pytest.raises(IndexError):
        Velarin(words)


def test_keyboard_interrupt_leaves_the_copies_for_release():
    class Interrupts:
        def encode(self, encoding):
            raise KeyboardInterrupt

    v = Velarin.__new__(Velarin)
    with pytest.raises(KeyboardInterrupt):
        v.__init__(["a", "bc", Interrupts(), "d"])
    s = store(v)
    assert s.num_strings == 4 and not s.nodes
    assert [s.bytes_strings[i] is not None for i in range(4)] == [True, True, False, False]
    assert v.get_closest_prefix("a") == ""


def test_other_sequences_use_the_item_protocol():
    class Seq:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            return ["x", "xy", "中"][i]

    assert sorted(Velarin(Seq())) == ["x", "xy", "中"]
    assert sorted(Velarin({0: "a", 1: "b"})) == ["a", "b"]


def test_str_subclass_items_use_their_own_encode():
    class Upper(str):
        def encode(self, encoding):
            return str.encode(self.upper(), encoding)

    assert list(Velarin([Upper("ab")])) == ["AB"]


def test_too_many_strings_is_refused_before_allocating():
    class Huge:
        def __len__(self):
            return 2**31

        def __getitem__(self, i):
            raise AssertionError("not reached")

    with pytest.raises(OverflowError):
        Velarin(Huge())


def test_constructing_again_replaces_and_releases():
    v = Velarin(["first", "f"])
    v.__init__(["second"])
    assert list(v) == ["second"]
    assert v.get_closest_prefix("first") == ""
    words = ["w%d" % i for i in range(50)]

    def rebuild():
        v.__init__(words)
        v.get_closest_prefix("w1x")

    assert block_growth(rebuild, 300) < 5


def test_reentry_from_encode():
    v = Velarin.__new__(Velarin)
    seen = []

    class Reenters:
        def encode(self, encoding):
            v.__init__(["inner", "in"])
            seen.append((v.get_closest_prefix("inner!"), list(v)))
            return b"outer"

    v.__init__(["o", Reenters()])
    assert seen == [("inner", ["in", "inner"])]
    assert sorted(v) == ["o", "outer"]
    assert v.get_closest_prefix("outer!") == "outer"
    assert sorted(strings(v)) == [b"o", b"outer"]


def test_reentry_that_fails_leaves_the_outer_result():
    v = Velarin.__new__(Velarin)

    class Reenters:
        def encode(self, encoding):
            with pytest.raises(AttributeError):
                v.__init__([1.5])
            return b"z"

    v.__init__(["y", Reenters()])
    assert sorted(v) == ["y", "z"]
