"""Hostile Python code around a Velarin object: lying sequences, odd encode()
methods, re-entry, objects rebuilt under a running generator, subclasses and
threads. Each case has one defined outcome, and the object stays usable."""

import gc
import random
import sys
import threading

import pytest

from model import Model
from ondrel_velarin.impl_c import Velarin
from store_view import store


def assert_usable(v, words=("re", "reb", "中")):
    """The object answers correctly after whatever happened to it."""
    v.__init__(list(words))
    model = Model(words)
    for key in ["rebuilt", "中文", "x", ""]:
        assert v.get_closest_prefix(key) == model.get_closest_prefix(key)
    assert list(v) == model.node_order()


def assert_empty(v):
    s = store(v)
    assert not s.nodes and not s.bytes_strings and s.num_strings == 0
    assert v.get_closest_prefix("anything") == ""
    assert list(v) == []


class Seq:
    """A sequence whose length and items come from the test."""

    def __init__(self, length, item):
        self.length = length
        self.item = item

    def __len__(self):
        return self.length() if callable(self.length) else self.length

    def __getitem__(self, i):
        return self.item(i)


WORDS = ["a", "ab", "b"]


def boom(exc):
    def raise_it(*args):
        raise exc

    return raise_it


# ---- sequences ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("sequence", "error"),
    [
        (Seq(5, lambda i: WORDS[i]), IndexError),  # claims more than it has
        (Seq(-1, lambda i: "a"), ValueError),
        (Seq(2**63, lambda i: "a"), OverflowError),
        (Seq(boom(RuntimeError("len")), lambda i: "a"), RuntimeError),
        (Seq(lambda: "3", lambda i: "a"), TypeError),
        (Seq(3, boom(LookupError("item"))), LookupError),
        (Seq(3, lambda i: ["x"][i]), IndexError),
    ],
)
def test_a_failing_sequence_leaves_the_store_empty(sequence, error):
    v = Velarin(["old"])
    with pytest.raises(error):
        v.__init__(sequence)
    assert_empty(v)
    assert_usable(v)


def test_a_short_length_reads_only_that_many_items():
    v = Velarin(Seq(2, lambda i: WORDS[i]))
    assert list(v) == ["a", "ab"]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_from_getitem_keep_the_partial_copies(exc):
    v = Velarin(["old"])

    def item(i):
        if i == 2:
            raise exc
        return WORDS[i]

    with pytest.raises(exc):
        v.__init__(Seq(3, item))
    s = store(v)
    assert s.num_strings == 3 and not s.nodes
    assert v.get_closest_prefix("ab") == "" and list(v) == []
    assert_usable(v)


def test_a_list_that_grows_during_construction_is_read_to_its_first_length():
    words = ["x", "y"]

    class Grows:
        def encode(self, encoding):
            words.extend(["late"] * 100)
            return b"g"

    words.insert(1, Grows())
    v = Velarin(words)
    assert sorted(v) == ["g", "x", "y"]


def test_an_item_that_replaces_itself_in_the_list_is_kept_alive():
    words = []

    class Replaces:
        def encode(self, encoding):
            words[0] = "other"
            gc.collect()
            return b"self"

    words.extend([Replaces(), "z"])
    assert sorted(Velarin(words)) == ["self", "z"]


def test_tuple_and_list_subclasses_with_lying_lengths():
    class LongList(list):
        def __len__(self):
            return 4

    class ShortTuple(tuple):
        def __len__(self):
            return 1

    with pytest.raises(IndexError):
        Velarin(LongList(["a", "b"]))
    assert list(Velarin(ShortTuple(("b", "a")))) == ["b"]


def test_getitem_that_calls_back_into_the_object_sees_an_empty_store():
    v = Velarin(["old", "o"])
    seen = []

    def item(i):
        seen.append((v.get_closest_prefix("older"), list(v)))
        return WORDS[i]

    v.__init__(Seq(3, item))
    assert seen == [("", [])] * 3
    assert list(v) == ["a", "b", "ab"]


def test_getitem_that_rebuilds_the_object_loses_to_the_outer_build():
    v = Velarin.__new__(Velarin)

    def item(i):
        v.__init__(["inner"])
        return WORDS[i]

    v.__init__(Seq(3, item))
    assert list(v) == ["a", "b", "ab"]
    assert v.get_closest_prefix("inner") == ""


def test_endless_reentry_ends_in_recursion_error():
    v = Velarin.__new__(Velarin)
    endless = Seq(1, lambda i: v.__init__(endless))
    with pytest.raises(RecursionError):
        v.__init__(endless)
    assert_empty(v)
    assert_usable(v)


def test_an_object_built_from_itself_ends_empty():
    class Self(Velarin):
        def __len__(self):
            return len(list(Velarin.__iter__(self)))

        def __getitem__(self, i):
            return list(Velarin.__iter__(self))[i]

    s = Self(["a", "b"])
    s.__init__(s)  # the store is released before its length is read
    assert_empty(s)


# ---- encode() -----------------------------------------------------------------------


class Encodes:
    def __init__(self, encode):
        self.encode = encode


@pytest.mark.parametrize(
    ("encode", "error"),
    [
        (lambda e: bytearray(b"x"), TypeError),
        (lambda e: memoryview(b"x"), TypeError),
        (lambda e: 7, TypeError),
        (lambda e: [b"x"], TypeError),
        (lambda: b"x", TypeError),  # takes no encoding
        ("not callable", TypeError),
        (boom(UnicodeError("custom")), UnicodeError),
        (boom(MemoryError()), MemoryError),
    ],
)
def test_odd_encode_results_fail_and_leave_the_store_empty(encode, error):
    v = Velarin(["old"])
    with pytest.raises(error):
        v.__init__(["a", Encodes(encode), "b"])
    assert_empty(v)
    assert_usable(v)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_from_encode_leave_an_object_that_can_be_released(exc):
    v = Velarin(["old"])
    g = iter(v)
    assert next(g) == "old"
    with pytest.raises(exc):
        v.__init__(["a", Encodes(boom(exc)), "b"])
    assert v.get_closest_prefix("a") == "" and list(g) == [] and list(v) == []
    assert_usable(v)
    del v
    gc.collect()


def test_encode_that_reenters_init_with_a_failing_list():
    v = Velarin.__new__(Velarin)

    def encode(e):
        with pytest.raises(KeyboardInterrupt):
            v.__init__(["p", Encodes(boom(KeyboardInterrupt))])
        return b"q"

    v.__init__(["a", Encodes(encode)])
    assert sorted(v) == ["a", "q"]
    assert len(store(v).bytes_strings[:2]) == 2 and store(v).num_strings == 2


def test_encode_that_steps_a_suspended_generator():
    v = Velarin(["a", "b", "c"])
    g = iter(v)
    assert next(g) == "a"
    stepped = []

    def encode(e):
        stepped.append(list(g))  # the store is empty while copying: the walk ends
        return b"z"

    v.__init__([Encodes(encode)])
    assert stepped == [[]]
    assert list(g) == [] and list(v) == ["z"]


# ---- generators over a changing object -------------------------------------------------------


def expected_after_rebuild(first, second, yielded):
    """What a generator yields after `yielded` steps over `first`, once the
    object is rebuilt from `second`: the words of the new table from the
    index after the last yielded one, below the first table's size."""
    paths = Model(first).node_paths()
    words = set(w.encode() for w in first)
    terminal = [i for i, p in enumerate(paths) if p in words]
    last = terminal[yielded - 1] if yielded else -1
    new_paths = Model(second).node_paths()
    new_words = set(w.encode() for w in second)
    stop = min(len(paths), len(new_paths))
    return [p.decode() for p in new_paths[last + 1 : stop] if p in new_words]


@pytest.mark.parametrize("seed", range(40))
def test_rebuilt_mid_iteration_continues_at_the_next_index(seed):
    rng = random.Random(seed)
    alphabet = rng.choice(["ab", "abc中", "xyz\0é"])

    def words():
        return ["".join(rng.choices(alphabet, k=rng.randint(0, 4))) for _ in range(rng.randint(1, 10))]

    first, second = words(), words()
    v = Velarin(first)
    g = iter(v)
    order = Model(first).node_order()
    yielded = rng.randint(1, len(order))
    assert [next(g) for _ in range(yielded)] == order[:yielded]
    v.__init__(second)
    assert list(g) == expected_after_rebuild(first, second, yielded)


def test_rebuilt_inside_the_loop_body_every_step():
    v = Velarin(["a", "b", "c", "d"])
    seen = []
    for word in v:
        seen.append(word)
        v.__init__(["a", "b", "c", "d"])
    assert seen == ["a", "b", "c", "d"]


@pytest.mark.parametrize(
    "release",
    [
        lambda v: v.__init__([]),
        lambda v: pytest.raises(AttributeError, v.__init__, [1]),
        lambda v: pytest.raises(KeyboardInterrupt, v.__init__, ["a", Encodes(boom(KeyboardInterrupt))]),
    ],
)
def test_released_mid_iteration_ends_the_walk(release):
    v = Velarin(["a", "b", "c"])
    g = iter(v)
    assert next(g) == "a"
    release(v)
    assert list(g) == []
    v.__init__(["a", "b", "c"])
    assert list(g) == []  # finished stays finished


def test_generator_outlives_every_other_reference():
    v = Velarin(["x", "xy"])
    g = iter(v)
    assert next(g) == "x"
    del v
    gc.collect()
    assert list(g) == ["xy"]


# ---- subclasses ----------------------------------------------------------------------------


def test_override_of_lookup_and_iteration_is_used_by_python_calls_only():
    class Loud(Velarin):
        def get_closest_prefix(self, key):
            return super().get_closest_prefix(key).upper()

        def __iter__(self):
            return iter(sorted(super().__iter__(), reverse=True))

    s = Loud(["ab", "a"])
    assert s.get_closest_prefix("abc") == "AB"
    assert Velarin.get_closest_prefix(s, "abc") == "ab"
    assert list(s) == ["ab", "a"]
    assert list(Velarin.__iter__(s)) == ["a", "ab"]


def test_subclass_init_that_skips_the_base_holds_nothing():
    class Lazy(Velarin):
        def __init__(self, words):
            self.words = words

    s = Lazy(["a"])
    assert s.get_closest_prefix("a") == "" and list(s) == []
    Velarin.__init__(s, s.words)
    assert list(s) == ["a"]


def test_del_that_uses_the_object_while_it_goes():
    seen = []

    class Finalised(Velarin):
        def __del__(self):
            seen.append((self.get_closest_prefix("abc"), list(self)))
            self.__init__(["late"])

    s = Finalised(["ab"])
    del s
    gc.collect()
    assert seen == [("ab", ["ab"])]


def test_subclass_with_a_cycle_through_its_generator_is_collected():
    class Holder(Velarin):
        pass

    before = len(gc.get_objects())
    for _ in range(200):
        h = Holder(["a", "b"])
        h.g = iter(h)
        next(h.g)
        h.self = h
        del h
    gc.collect()
    assert len(gc.get_objects()) - before < 20


# ---- threads ---------------------------------------------------------------------------------


def test_many_threads_on_one_object_while_it_is_rebuilt():
    lists = [["a", "ab", "abc", "中", "中文"], ["b", "ba", "\0", "é", "\U0001F600"], []]
    models = [Model(words) for words in lists]
    stored = set().union(*map(set, lists))
    v = Velarin(lists[0])
    keys = ["abcd", "中文字", "bad", "\0x", "é!", "\U0001F600\U0001F600", "zz", ""]
    errors = []
    stop = threading.Event()

    def reader():
        try:
            while not stop.is_set():
                for key in keys:
                    answer = v.get_closest_prefix(key)
                    assert answer in {m.get_closest_prefix(key) for m in models}, (key, answer)
                for word in v:
                    assert word in stored, word
        except BaseException as e:  # noqa: BLE001 - handed to the main thread
            errors.append(e)

    def rebuilder():
        try:
            for i in range(3000):
                v.__init__(lists[i % 3])
        except BaseException as e:  # noqa: BLE001
            errors.append(e)
        finally:
            stop.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=reader) for _ in range(6)] + [threading.Thread(target=rebuilder)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert list(v) == Model(lists[2999 % 3]).node_order()
