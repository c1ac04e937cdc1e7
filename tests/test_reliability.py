"""Hostile use that once crashed or hung the interpreter. Each such case runs in
a child process, so that a crash fails its test instead of ending the run, and
a hang ends at the child's timeout."""

import ctypes
import json
import os
import subprocess
import sys
import textwrap
import traceback

import pytest

from model import Model
from ondrel_velarin import Velarin, longest_matches, segment
from store_view import store
from test_lookup import native_lookup_entry

CHILD_TIMEOUT = 60


def run_child(code, env=None):
    """Runs `code` in a fresh interpreter and returns its standard output;
    a crash, a hang or a failure fails the test."""
    result = subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
        env={**os.environ, **(env or {})},
    )
    assert result.returncode == 0, f"child ended with {result.returncode}:\n{result.stderr[-3000:]}"
    return result.stdout


# A long scan with a timer whose handler the case fills in.
TIMED_SCAN = """
    import gc, signal, sys
    from ondrel_velarin import Velarin, longest_matches, segment
    v = Velarin(["中文", "图书馆", "a"])
    text = "中文字图书馆a" * 300_000
    {setup}
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, {interval}, {interval})
    try:
        {call}
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        # A handler still pending may have armed it again.
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
        signal.setitimer(signal.ITIMER_REAL, 0)
    print("survived")
"""

GC_WALK = """
    def handler(signum, frame):
        for o in gc.get_objects():
            if type(o) is list:
                for item in o:
                    type(item)
        # Armed again only now: a slow walk (under the sanitizers) never nests.
        signal.setitimer(signal.ITIMER_REAL, 0.02)
"""

NESTED_SCANS = """
    sys.setrecursionlimit(100_000)
    def handler(signum, frame):
        longest_matches(v, text) if signum % 2 else segment(v, text)
"""


@pytest.mark.parametrize("scan", ["segment", "longest_matches"])
@pytest.mark.parametrize(
    ("setup", "interval", "outcome"),
    [
        # A handler that reads every tracked list while a result is filled.
        (GC_WALK, 0.02, "pass"),
        # Signals faster than a scan ends, each handler running a scan: the
        # nesting ends in RecursionError (the innermost scan that cannot start).
        (NESTED_SCANS, 0.0002, "except RecursionError: pass"),
    ],
    ids=["gc-walk", "nested"],
)
def test_handlers_inside_a_scan_cannot_crash_it(scan, setup, interval, outcome):
    call = f"{scan}(v, text)" if outcome == "pass" else f"try:\n            {scan}(v, text)\n        {outcome}"
    code = TIMED_SCAN.format(setup=textwrap.indent(textwrap.dedent(setup), "    ").lstrip(), interval=interval, call=call)
    assert run_child(code).strip() == "survived"


def test_a_scan_through_an_unexecuted_module_raises():
    out = run_child("""
        import importlib.util
        from ondrel_velarin import Velarin
        module = importlib.util.module_from_spec(importlib.util.find_spec("ondrel_velarin.scan_c"))
        for name in ("segment", "longest_matches"):
            try:
                getattr(module, name)(Velarin(["a"]), "a")
            except RuntimeError as e:
                print(e)
    """)
    assert out.splitlines() == [
        f"{name}() called through a module object of ondrel_velarin.scan_c that was never executed; "
        "import the module instead"
        for name in ("segment", "longest_matches")
    ]


ENDLESS_REENTRY = """
    v = Velarin(["中文", "ab"])
    out.append((segment(v, "中文ab" * 1000)[:3], longest_matches(v, "中文ab"), v.get_closest_prefix("abc")))
    class Deep:
        def encode(self, encoding):
            v.__init__([Deep()])
            return b"x"
    try:
        v.__init__([Deep()])
    except RecursionError:
        out.append("RecursionError")
    v.__init__(["ab"])
    out.append(v.get_closest_prefix("abc"))
"""


# On the main thread, and on threads with small stacks: the calls do not
# recurse, so they work there, and endless nesting still ends in RecursionError.
@pytest.mark.parametrize("stack_kb", [None, 64, 256])
def test_encode_reentering_construction_ends_in_recursion_error(stack_kb):
    body = textwrap.indent(ENDLESS_REENTRY, " " * 8)
    out = run_child(f"""
        import sys, threading
        from ondrel_velarin import Velarin, longest_matches, segment
        sys.setrecursionlimit({3000 if stack_kb is None else 100_000})
        out = []
        def work():
{body}
        if {stack_kb is None}:
            work()
        else:
            threading.stack_size({stack_kb or 0} * 1024)
            t = threading.Thread(target=work)
            t.start()
            t.join()
        print(out)
    """)
    assert out.strip() == "[(['中文', 'ab', '中文'], [2, 0, 2, 0], 'ab'), 'RecursionError', 'ab']"


# A handler that raises at the third signal of a 5 ms timer: it is called
# during the operation only if the operation checks for signals as it works
# (the timer is stopped as soon as the call returns).
THIRD_SIGNAL = """
    import random, signal
    from ondrel_velarin import Velarin, longest_matches, segment
    {setup}
    fired = []
    def handler(signum, frame):
        fired.append(signum)
        if len(fired) == 3:
            raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    try:
        {call}
        print("not interrupted")
    except KeyboardInterrupt:
        print("interrupted")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    print({after})
"""

# Words whose walks run to the end of a text of "a" * N: one position's walk
# costs N steps, and checks that counted positions came a minute apart. The
# short words keep the table from the automaton that deep words get.
LONG_WALKS = 'N = 60_000\n    v = Velarin(["a" * N + "b", "a"] + [chr(0x4E00 + i) for i in range(3000)])'
# The same words alone are deep: the automaton reads the text once, so the
# text is made long instead.
DEEP_WORDS = 'N = 60_000\n    v = Velarin(["a" * N + "b", "a"])'
# Half a million random two- and three-character words.
MANY_WORDS = (
    "rng = random.Random(5)\n"
    "    words = [''.join(chr(rng.randrange(0x4E00, 0x9FA6)) for _ in range(rng.choice((2, 3)))) for _ in range(500_000)]"
)


@pytest.mark.parametrize(
    ("setup", "call", "after", "expected"),
    [
        (LONG_WALKS, 'segment(v, "a" * N)', 'segment(v, "aab")', "['a', 'a', 'b']"),
        (LONG_WALKS, 'longest_matches(v, "a" * N)', 'longest_matches(v, "aab")', "[1, 1, 0]"),
        (DEEP_WORDS, 'segment(v, "a" * (200 * N))', 'segment(v, "aab")', "['a', 'a', 'b']"),
        (DEEP_WORDS, 'longest_matches(v, "a" * (200 * N))', 'longest_matches(v, "aab")', "[1, 1, 0]"),
        # Construction: copying the items, then laying out the nodes.
        (MANY_WORDS, "v = Velarin(words)", "Velarin(words[:2]).get_closest_prefix(words[1] + 'x') == words[1]", "True"),
        # The first lookup, which builds the code point index.
        (
            MANY_WORDS + "\n    v = Velarin(words)",
            "v.get_closest_prefix(words[0])",
            "v.get_closest_prefix(words[7] + 'x') == words[7]",
            "True",
        ),
    ],
    ids=["segment", "longest_matches", "segment_deep", "longest_matches_deep", "construction", "index"],
)
def test_long_native_work_answers_a_signal(setup, call, after, expected):
    code = THIRD_SIGNAL.format(setup=setup, call=call, after=after)
    assert run_child(code).split("\n")[:2] == ["interrupted", expected]


def native_builders():
    """_build_trie and _build_node from the native method table."""
    capsule = Velarin.__dict__["__pyx_vtable__"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = ctypes.cast(get_pointer(capsule, None), ctypes.POINTER(ctypes.c_void_p))
    build_trie = ctypes.PYFUNCTYPE(None, ctypes.py_object)(table[1])
    build_node = ctypes.PYFUNCTYPE(
        None,
        ctypes.py_object,
        ctypes.c_int32,
        ctypes.POINTER(ctypes.c_char_p),
        ctypes.POINTER(ctypes.c_int32),
        ctypes.c_int32,
        ctypes.c_int32,
    )(table[2])
    return build_trie, build_node


def test_lookups_follow_a_table_a_native_caller_lays_out_again():
    build_trie, build_node = native_builders()
    v = Velarin(["abc", "abcd", "b"])
    assert v.get_closest_prefix("abcd") == "abcd" and segment(v, "abcdb") == ["abcd", "b"]
    # The root laid out again from strings of the caller's own.
    words = [b"abc", b"b"]
    strings = (ctypes.c_char_p * 2)(*words)
    lengths = (ctypes.c_int32 * 2)(*map(len, words))
    build_node(v, 0, strings, lengths, 2, 0)
    assert v.get_closest_prefix("abcd") == "abc" and v.get_closest_prefix("bb") == "b"
    assert segment(v, "abcdb") == ["abc", "d", "b"] and longest_matches(v, "abcd") == [3, 1, 0, 0]
    # The whole table again, from the object's own copies changed in place.
    ctypes.memmove(store(v).bytes_strings[1], b"abca", 4)
    build_trie(v)
    assert v.get_closest_prefix("abcd") == "abc" and v.get_closest_prefix("abcab") == "abca"
    assert sorted(v) == ["abc", "abca", "b"] and segment(v, "abcab") == ["abca", "b"]


def entries_of(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


class Raising(Velarin):
    def get_closest_prefix(self, key):
        raise LookupError("override")


class Wrong(Velarin):
    def get_closest_prefix(self, key):
        return 42


@pytest.mark.parametrize(
    ("cls", "key", "skip_dispatch", "error"),
    [
        (Velarin, None, 1, AttributeError),
        (Velarin, "\ud800", 1, UnicodeEncodeError),
        (Wrong, "a", 0, TypeError),
        (Raising, "a", 0, LookupError),
    ],
)
def test_failures_of_the_native_entry_carry_its_traceback_entry(cls, key, skip_dispatch, error):
    with pytest.raises(error) as caught:
        native_lookup_entry()(cls(["ab"]), key, skip_dispatch)
    assert "ondrel_velarin.impl_c.Velarin.get_closest_prefix" in entries_of(caught.value)


@pytest.mark.parametrize("function", ["__reduce__", "segment"])
def test_a_keyword_name_that_is_not_a_str_is_refused(function):
    import _testcapi

    from ondrel_velarin import segment

    v = Velarin(["a"])
    call, args = (v.__reduce__, ()) if function == "__reduce__" else (segment, (v, "ab"))
    for name in (1, b"x", None):
        with pytest.raises(TypeError, match=rf"^{function}\(\) keywords must be strings$"):
            _testcapi.pyobject_vectorcall(call, (*args, True), (name,))


def test_a_crowding_word_list_under_a_known_seed_still_answers_right():
    # Two-character words whose second edges all have their home in the first
    # 32 of the 8,192 slots of their table, under the seed the test hook fixes:
    # the index must be laid out under another seed, or not be used.
    out = run_child(
        """
        import json
        K, M, seed, bits = 0x9E3779B97F4A7C15, (1 << 64) - 1, 12345, 13
        words = []
        for a in range(0x4E00, 0x9FA6):
            x = (seed ^ a) * K & M
            words += [chr(a) + chr(b) for b in range(0x4E00, 0x9FA6) if ((x ^ b) * K & M) >> (64 - bits) < 32]
            if len(words) >= 3000:
                break
        from ondrel_velarin import Velarin, longest_matches, segment
        v = Velarin(words[:3000])
        text = "".join(words[::7]) + "".join(w[::-1] for w in words[:50])
        print(json.dumps([words[:3000], text, [v.get_closest_prefix(text[i:]) for i in range(len(text))],
                          segment(v, text), longest_matches(v, text)]))
        """,
        env={"VELARIN_TEST_HASH_SEED": "12345"},
    )
    words, text, answers, segments, lengths = json.loads(out)
    model = Model(words)
    assert answers == [model.get_closest_prefix(text[i:]) for i in range(len(text))]
    assert lengths == [len(a) for a in answers]
    assert "".join(segments) == text and segments[:3] == words[:15:7]


def real_generator():
    yield "a"


@pytest.mark.parametrize("make", [lambda: iter(Velarin(["a", "b"])), real_generator], ids=["velarin", "interpreter"])
def test_the_generator_behaves_as_the_interpreters_own(make):
    import inspect

    states = []
    g = make()
    states.append(inspect.getgeneratorstate(g))
    next(g)
    states.append(inspect.getgeneratorstate(g))
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as caught:
        g.throw(StopIteration)
    assert type(caught.value.__cause__) is StopIteration
    states.append(inspect.getgeneratorstate(g))
    assert states == ["GEN_CREATED", "GEN_SUSPENDED", "GEN_CLOSED"]
    # Not yet started, or finished: the exception comes out as given.
    for g in (make(), g):
        with pytest.raises(StopIteration):
            g.throw(StopIteration)
    messages = []
    for args in [(), (ValueError, None, None, None)]:
        with pytest.raises(TypeError) as caught:
            make().throw(*args)
        messages.append(str(caught.value))
    assert messages == ["throw expected at least 1 argument, got 0", "throw expected at most 3 arguments, got 4"]
    with pytest.warns(DeprecationWarning, match=r"signature of throw\(\) is deprecated"), pytest.raises(ValueError):
        make().throw(ValueError, ValueError(1))


# A scan over words longer than a window's walks (cut, then walked again in
# full at segment starts) and short ones (their cache slots taken first),
# with a timer whose handler changes what the scan reads.
CHANGED_MID_SCAN = """
    import signal, sys
    sys.path.insert(0, {tests!r})
    from test_reliability import native_builders
    from ondrel_velarin import Velarin, longest_matches, segment
    import ctypes
    build_trie, build_node = native_builders()
    long_word = "a" * 40
    v = Velarin([long_word, "b", "c"])
    text = ("c" + long_word + "b") * 20000
    own = [b"c", b"b"]
    strings = (ctypes.c_char_p * 2)(*own)
    lengths = (ctypes.c_int32 * 2)(*map(len, own))
    def change():
        {change}
    def handler(signum, frame):
        change()
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    try:
        results = [{scan}(v, text) for _ in range(5)]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
    if "{scan}" == "segment":
        for segments in results:
            assert "".join(segments) == text
            assert set(segments) <= {{long_word, "b", "c", "a"}}, set(segments)
    else:
        for lengths in results:
            assert len(lengths) == len(text) and set(lengths) <= {{0, 1, 40}}, set(lengths)
    print("survived")
"""


@pytest.mark.parametrize("scan", ["segment", "longest_matches"])
@pytest.mark.parametrize(
    "change",
    [
        "build_node(v, 0, None, None, 0, 0)",  # lays out nothing
        "build_node(v, 10**6, strings, lengths, 2, 0)",  # no such record
        "build_node(v, 0, strings, lengths, 2, 0)",  # the root again, from the caller's strings
        "build_trie(v)",
        "v.get_closest_prefix('c')",  # makes the word cache if it is not there
        "v.__init__([long_word, 'b', 'c'])",
        "v.__init__([])",
    ],
    ids=["nothing", "out-of-range", "root", "build_trie", "lookup", "rebuild", "empty"],
)
def test_every_change_mid_scan_is_seen_by_the_scan(scan, change):
    code = CHANGED_MID_SCAN.format(tests=os.path.dirname(__file__), change=change, scan=scan)
    assert run_child(code).strip() == "survived"


def test_lookups_and_scans_inside_a_layout_read_it_safely():
    # A handler that looks words up and scans while the nodes are laid out
    # sees a table still being filled in: it must neither index it nor cache
    # its words by rank (later records would take other words' slots, or
    # slots past the cache's end). A word that ends inside a code point keeps
    # the trie from being indexed at all, so its walks go by bytes and find
    # the records laid out since the last signal.
    out = run_child("""
        import random, signal
        from ondrel_velarin import Velarin, longest_matches, segment
        class Cut:
            def encode(self, encoding):
                return "中".encode()[:2]
        rng = random.Random(3)
        words = sorted({"".join(rng.choices("abcdefgh", k=rng.randint(1, 9))) for _ in range(300_000)})
        probes = words[::997]
        answers = []
        v = Velarin.__new__(Velarin)
        def handler(signum, frame):
            answers.append([v.get_closest_prefix(w) for w in probes])
            segment(v, " ".join(probes[:50]))
            longest_matches(v, probes[0])
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            v.__init__(words + [Cut()])
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert all(a == w or w.startswith(a) for seen in answers for a, w in zip(seen, probes))
        assert [v.get_closest_prefix(w) for w in probes] == probes
        assert segment(v, probes[5]) == [probes[5]]
        print(len(answers) > 0)
    """)
    assert out.split() == ["True"]



@pytest.mark.parametrize("stage", ["copying", "layout"])
def test_an_interrupted_construction_keeps_what_it_built(stage):
    # A KeyboardInterrupt is not an Exception: the object keeps the strings
    # copied and, once they are its own, the nodes laid out; the partial
    # table answers safely, and a construction afterwards replaces it.
    out = run_child(f"""
        import json, random, signal, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from store_view import store, strings
        from ondrel_velarin import Velarin, longest_matches, segment
        rng = random.Random(8)
        words = list({{"".join(rng.choices("abcdefghé中", k=rng.randint(1, 12))) for _ in range(400_000)}})
        v = Velarin.__new__(Velarin)
        def handler(signum, frame):
            if bool(store(v).nodes) == {stage == "layout"}:
                signal.signal(signal.SIGALRM, signal.SIG_IGN)
                raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            v.__init__(words)
        except KeyboardInterrupt:
            pass
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        s = store(v)
        copied = strings(v)
        assert s.num_strings == len(words) and bool(s.nodes) == {stage == "layout"}
        probes = words[::1009]
        answers = [v.get_closest_prefix(w + "x") for w in probes]
        text = "".join(probes)
        print(json.dumps([copied[:4000] == [w.encode() for w in words[:4000]],
                          answers, probes, sorted(v), segment(v, text), longest_matches(v, text), text, words]))
        v.__init__(words)
        assert [v.get_closest_prefix(w + "x") for w in probes] == probes
    """)
    same_copies, answers, probes, listed, segments, lengths, text, words = json.loads(out)
    assert same_copies
    assert all(a == "" or p.startswith(a) for a, p in zip(answers, probes))
    assert "".join(segments) == text and len(lengths) == len(text)
    # The words laid out so far, each once.
    assert len(set(listed)) == len(listed) and set(listed) <= set(words)
    if stage == "copying":
        assert listed == [] and answers == [""] * len(probes)
