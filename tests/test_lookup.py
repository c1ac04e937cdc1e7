"""get_closest_prefix: answers, argument binding and type errors."""

import ctypes
import sys

import pytest

from leaks import block_growth
from ondrel_velarin.impl_c import Velarin
from store_view import store


@pytest.mark.parametrize(
    ("words", "key", "expected"),
    [
        (["a", "ab", "abc"], "abcd", "abc"),
        (["a", "ab", "abc"], "abx", "ab"),
        (["a", "ab", "abc"], "ab", "ab"),
        (["a", "ab", "abc"], "a", "a"),
        (["a", "ab", "abc"], "b", ""),
        (["a", "ab", "abc"], "", ""),
        (["abc"], "ab", ""),
        (["abc"], "abcdef", "abc"),
        (["", "x"], "y", ""),
        (["", "x"], "xy", "x"),
        (["", "x"], "", ""),
        (["中", "中文"], "中文字", "中文"),
        (["中", "中文"], "中x", "中"),
        (["中", "中文"], "文", ""),
        (["é"], "éa", "é"),
        (["é"], "e", ""),
        (["ÿ", "ÿa"], "ÿab", "ÿa"),
        (["😀", "😀x"], "😀xy", "😀x"),
        (["😀"], "😁", ""),
        (["a\0b", "a"], "a\0bc", "a\0b"),
        (["\0"], "\0\0", "\0"),
        ([], "abc", ""),
        (["word"], "w" * 100_000, ""),
    ],
)
def test_answers(words, key, expected):
    v = Velarin(words)
    assert v.get_closest_prefix(key) == expected
    assert v.get_closest_prefix(key=key) == expected
    assert Velarin.get_closest_prefix(v, key) == expected


def test_never_constructed_object_answers_empty():
    assert Velarin.__new__(Velarin).get_closest_prefix("abc") == ""


def test_key_with_a_long_tail_past_every_word():
    v = Velarin(["中文", "ab"])
    assert v.get_closest_prefix("中文" + "字" * 1_000_000) == "中文"
    assert v.get_closest_prefix("ab" + "c" * 1_000_000) == "ab"


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda v: v.get_closest_prefix(), TypeError, "get_closest_prefix() takes exactly 1 positional argument (0 given)"),
        (lambda v: v.get_closest_prefix("a", "b"), TypeError, "get_closest_prefix() takes exactly 1 positional argument (2 given)"),
        (lambda v: v.get_closest_prefix(x="a"), TypeError, "get_closest_prefix() takes exactly 1 positional argument (0 given)"),
        (lambda v: v.get_closest_prefix(key="a", x=1), TypeError, "get_closest_prefix() got an unexpected keyword argument 'x'"),
        (lambda v: v.get_closest_prefix("a", key="a"), TypeError, "get_closest_prefix() got multiple values for keyword argument 'key'"),
        (lambda v: v.get_closest_prefix(b"a"), TypeError, "Argument 'key' has incorrect type (expected str, got bytes)"),
        (lambda v: v.get_closest_prefix(1), TypeError, "Argument 'key' has incorrect type (expected str, got int)"),
        (lambda v: v.get_closest_prefix(StrSub("a")), TypeError, "Argument 'key' has incorrect type (expected str, got StrSub)"),
        (lambda v: v.get_closest_prefix(None), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (lambda v: Velarin.get_closest_prefix(42, "a"), TypeError, "Argument 'self' has incorrect type (expected ondrel_velarin.impl_c.Velarin, got int)"),
        (lambda v: Velarin.get_closest_prefix(), TypeError, "unbound method Velarin.get_closest_prefix() needs an argument"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as excinfo:
        call(Velarin(["a"]))
    assert str(excinfo.value) == message


class StrSub(str):
    pass


@pytest.mark.parametrize("key", ["\ud800", "abc\udfff", "中\ud800", "😀" + "x" * 1000 + "\udc00", "a" * 10 + "\ud83d"])
@pytest.mark.parametrize("words", [[], ["a"], ["中"]])
def test_lone_surrogates_raise_the_interpreters_error(words, key):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        Velarin(words).get_closest_prefix(key)
    with pytest.raises(UnicodeEncodeError) as expected:
        key.encode("utf-8")
    assert str(excinfo.value) == str(expected.value)


@pytest.mark.parametrize("fill", ["中", "😀"])
def test_a_surrogate_is_found_at_every_place_of_keys_of_every_length(fill):
    # Keys of one to a few blocks of the scan, of both wide kinds; the
    # neighbours of the surrogate range (and U+1D800 in the widest kind) pass.
    v = Velarin([fill, fill * 2])
    neighbours = "\ud7ff\ue000" + ("\U0001d800" if fill == "😀" else "")
    for n in range(1, 100):
        plain = fill + (neighbours * n)[: n - 1]
        assert v.get_closest_prefix(plain) == fill
        for at in range(n):
            key = plain[:at] + "\udc00" + plain[at + 1:]
            with pytest.raises(UnicodeEncodeError):
                v.get_closest_prefix(key)


def test_lookup_does_not_fill_the_keys_utf8_cache():
    v = Velarin(["中"])
    key = "中文" * 10_000
    before = sys.getsizeof(key)
    assert v.get_closest_prefix(key) == "中"
    assert sys.getsizeof(key) == before


def test_results_are_shared_and_reference_counts_balance():
    v = Velarin(["ab", "中文"])
    first = v.get_closest_prefix("abc")
    assert v.get_closest_prefix("abd") is first
    count = sys.getrefcount(first)
    for _ in range(1000):
        v.get_closest_prefix("abc")
        v.get_closest_prefix("中文字")
        v.get_closest_prefix("zz")
    assert sys.getrefcount(first) == count


def test_lookup_loop_allocates_nothing_lasting():
    v = Velarin(["ab", "中文", "é"])
    keys = ["abc", "中文字", "éé", "x", ""]

    def look():
        for k in keys:
            v.get_closest_prefix(k)

    assert block_growth(look, 20_000) < 5


def test_subclass_override_is_used():
    class Shout(Velarin):
        def get_closest_prefix(self, key):
            return super().get_closest_prefix(key).upper()

    assert Shout(["ab"]).get_closest_prefix("abc") == "AB"


def test_rebuild_drops_the_cached_words():
    v = Velarin(["ab"])
    assert v.get_closest_prefix("abc") == "ab"
    v.__init__(["a"])
    assert v.get_closest_prefix("abc") == "a"
    assert store(v).num_nodes == 2


def native_lookup_entry():
    """The fourth entry of the native method table, as other native modules reach it."""
    capsule = Velarin.__dict__["__pyx_vtable__"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = ctypes.cast(get_pointer(capsule, None), ctypes.POINTER(ctypes.c_void_p))
    entry = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)
    return entry(table[3])


class Override(Velarin):
    def get_closest_prefix(self, key):
        return "override:" + key


class BadOverride(Velarin):
    def get_closest_prefix(self, key):
        return 42


class Plain(Velarin):
    pass


@pytest.mark.parametrize(
    ("cls", "skip_dispatch", "expected"),
    [
        (Velarin, 0, "ab"),
        (Velarin, 1, "ab"),
        (Plain, 0, "ab"),
        (Override, 0, "override:abc"),
        (Override, 1, "ab"),
        (BadOverride, 1, "ab"),
    ],
)
def test_native_entry_dispatch(cls, skip_dispatch, expected):
    assert native_lookup_entry()(cls(["ab"]), "abc", skip_dispatch) == expected


def test_native_entry_checks_an_overrides_result():
    with pytest.raises(TypeError, match="Expected unicode, got int"):
        native_lookup_entry()(BadOverride(["ab"]), "abc", 0)
