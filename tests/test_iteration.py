"""Iterating a Velarin object: order, the generator protocol, a changing store."""

import gc

import pytest

from leaks import block_growth
from ondrel_velarin.impl_c import Velarin


@pytest.mark.parametrize(
    ("words", "expected"),
    [
        (["b", "a", "ab", "abc", "ba"], ["a", "b", "ab", "abc", "ba"]),
        (["ba", "abc", "ab", "a", "b"], ["a", "b", "ab", "abc", "ba"]),
        (["abc", "b", "bd"], ["b", "abc", "bd"]),
        (["x", ""], ["", "x"]),
        (["a", "a"], ["a"]),
        (["a\0b", "a\0", "a"], ["a", "a\0", "a\0b"]),
        ([], []),
    ],
)
def test_order(words, expected):
    v = Velarin(words)
    assert list(v) == expected
    assert [w for w in v] == expected
    assert all(w in v for w in expected)
    assert "zzz" not in v


def test_generator_identity():
    g = iter(Velarin(["a"]))
    assert g.__name__ == "__iter__"
    assert g.__qualname__ == "Velarin.__iter__"
    assert g.__module__ == "ondrel_velarin.impl_c"
    assert iter(g) is g


def test_never_constructed_yields_nothing():
    with pytest.raises(StopIteration):
        next(iter(Velarin.__new__(Velarin)))


def test_send_rules():
    g = iter(Velarin(["a", "b"]))
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        g.send(1)
    assert g.send(None) == "a"
    assert g.send("ignored") == "b"
    with pytest.raises(StopIteration):
        g.send(None)
    with pytest.raises(StopIteration):
        next(g)


def test_throw_ends_the_generator():
    g = iter(Velarin(["a", "b"]))
    assert next(g) == "a"
    with pytest.raises(ValueError, match="boom"):
        g.throw(ValueError("boom"))
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(KeyError):
        iter(Velarin(["a"])).throw(KeyError)
    with pytest.raises(TypeError, match="exceptions must be classes or instances"):
        iter(Velarin(["a"])).throw(1)


def test_close():
    g = iter(Velarin(["a", "b"]))
    assert next(g) == "a"
    assert g.close() is None
    with pytest.raises(StopIteration):
        next(g)
    unstarted = iter(Velarin(["a"]))
    unstarted.close()
    assert list(unstarted) == []


def test_independent_generators():
    v = Velarin(["abc", "b", "bd"])
    g1, g2 = iter(v), iter(v)
    out1, out2 = [], []
    for _ in range(3):
        out1.append(next(g1))
        out2.append(next(g2))
    assert out1 == out2 == ["b", "abc", "bd"]


def test_generator_keeps_the_object_alive():
    g = iter(Velarin(["x", "y"]))
    gc.collect()
    assert list(g) == ["x", "y"]


def test_rebuilt_mid_iteration_goes_on_over_the_new_table_within_its_end():
    v = Velarin(["a", "b", "c", "d", "e"])
    g = iter(v)
    assert next(g) == "a"  # node 1
    v.__init__(["x", "y", "z"])
    # The bound read at the first step was 6 nodes; the new table has 4.
    assert list(g) == ["y", "z"]


def test_rebuilt_larger_keeps_the_first_bound():
    v = Velarin(["a"])
    g = iter(v)
    assert next(g) == "a"
    v.__init__(["p", "q", "r"])
    assert list(g) == []


def test_released_store_ends_the_walk():
    v = Velarin(["a", "b", "c"])
    g = iter(v)
    assert next(g) == "a"

    class Fails:
        def encode(self, encoding):
            raise ValueError

    with pytest.raises(ValueError):
        v.__init__([Fails()])
    assert list(g) == []


def test_bound_is_read_at_the_first_step():
    v = Velarin(["a"])
    g = iter(v)
    v.__init__(["a", "b", "c"])
    assert list(g) == ["a", "b", "c"]


def test_iteration_leaves_nothing_behind():
    v = Velarin(["ab", "a", "中"])

    def walk():
        list(v)
        g = iter(v)
        next(g)

    assert block_growth(walk, 5000) < 5


def test_cycle_through_a_subclass_is_collected():
    class S(Velarin):
        pass

    s = S(["a"])
    s.it = iter(s)
    gc.collect()
    count = len(gc.get_objects())
    for _ in range(100):
        s = S(["a"])
        s.it = iter(s)
        del s
    gc.collect()
    assert len(gc.get_objects()) - count < 20
