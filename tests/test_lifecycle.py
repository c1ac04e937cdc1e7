"""Allocation, release and the refusal to be pickled or copied."""

import copy
import pickle
from pathlib import Path

import pytest

from leaks import SANITIZED, block_growth
from ondrel_velarin import segment
from ondrel_velarin.impl_c import Velarin

REFUSAL = "self.bytes_lengths,self.bytes_strings,self.nodes cannot be converted to a Python object for pickling"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_is_refused_at_every_protocol(protocol):
    with pytest.raises(TypeError) as excinfo:
        pickle.dumps(Velarin(["a"]), protocol=protocol)
    assert excinfo.value.args == (REFUSAL,)


@pytest.mark.parametrize("action", [copy.copy, copy.deepcopy, lambda v: v.__reduce__(), lambda v: v.__setstate__(None)])
def test_copying_is_refused(action):
    with pytest.raises(TypeError) as excinfo:
        action(Velarin(["a"]))
    assert excinfo.value.args == (REFUSAL,)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda v: v.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
        (lambda v: v.__reduce__(x=1), "__reduce__() got an unexpected keyword argument 'x'"),
        (lambda v: v.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
        (lambda v: v.__setstate__(1, 2), "__setstate__() takes exactly 1 positional argument (2 given)"),
        (lambda v: v.__setstate__(x=1), "__setstate__() takes exactly 1 positional argument (0 given)"),
        (lambda v: v.__setstate__(1, state=1), "__setstate__() got multiple values for keyword argument 'state'"),
        (lambda v: v.__setstate__(state=1, x=2), "__setstate__() got an unexpected keyword argument 'x'"),
        (lambda v: v.__setstate__(state=1), REFUSAL),
    ],
)
def test_pickling_method_binding(call, message):
    with pytest.raises(TypeError) as excinfo:
        call(Velarin(["a"]))
    assert str(excinfo.value) == message


class Picklable(Velarin):
    def __init__(self, words):
        super().__init__(words)
        self.words = list(words)

    def __reduce__(self):
        return (Picklable, (self.words,))


def test_subclass_may_define_its_own_reduce():
    again = pickle.loads(pickle.dumps(Picklable(["ab", "a"])))
    assert again.get_closest_prefix("abc") == "ab"


def test_release_while_an_exception_propagates_leaves_it_untouched():
    def fail():
        v = Velarin(["a", "b"])  # noqa: F841 - released while the error below unwinds
        raise ValueError("kept")

    with pytest.raises(ValueError) as excinfo:
        fail()
    assert excinfo.value.args == ("kept",)
    assert excinfo.value.__context__ is None


@pytest.mark.parametrize(
    "make",
    [
        lambda: Velarin.__new__(Velarin),
        lambda: Velarin([]),
        lambda: Velarin(["x", "xy", "中文"] * 3),
    ],
)
def test_release_returns_every_block(make):
    assert block_growth(make, 500) < 5


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs Linux's /proc")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's heap fills its blocks")
@pytest.mark.parametrize("words", [["ab", "abc", "b"], ["中", "中文", "文字"], ["a", "é", "中", "😀x"]])
def test_small_tries_in_use_take_little_memory(words):
    # The code point index has a table of a fixed size for all code points;
    # only the parts a trie's words reach may take memory.
    kept = []
    before = resident_bytes()
    for _ in range(400):
        v = Velarin(words)
        assert v.get_closest_prefix(words[1] + "z") == words[1]
        assert segment(v, "".join(words)) == words
        kept.append(v)
    assert (resident_bytes() - before) / len(kept) < 48 * 1024
