"""Whole-text scans release the interpreter lock while they walk a long text:
other threads run meanwhile, and a thread that rebuilds or releases the trie
waits until the walks have paused. Each case runs in a child process, so that
a crash fails its test and a hang meets the child's timeout."""

import os

import pytest

from test_reliability import run_child

TESTS = os.path.dirname(__file__)


# Threads scanning long texts, others rebuilding, releasing and laying out
# the trie in a loop, through the class and through the native method table.
REBUILT_IN_A_LOOP = """
    import ctypes, sys, threading
    sys.path.insert(0, {tests!r})
    from test_reliability import native_builders
    from ondrel_velarin import Velarin, longest_matches, segment
    build_trie, build_node = native_builders()
    capsule = Velarin.__dict__["__pyx_vtable__"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    cleanup = ctypes.PYFUNCTYPE(None, ctypes.py_object)(ctypes.cast(get_pointer(capsule, None), ctypes.POINTER(ctypes.c_void_p))[0])
    lists = [["中文", "图书馆", "a", "a" * 40], ["文字", "书", "馆a", "中"], [], ["中文字图书馆a" * 3]]
    stored = set().union(*map(set, lists))
    text = ("中文字图书馆a" + "a" * 41) * 3000
    own = [b"\\xe4\\xb8\\xad", "书".encode()]
    strings = (ctypes.c_char_p * 2)(*own)
    lengths = (ctypes.c_int32 * 2)(*map(len, own))
    v = Velarin(lists[0])
    errors, stop = [], threading.Event()
    def scanner(scan):
        try:
            while not stop.is_set():
                result = scan(v, text)
                if scan is segment:
                    assert "".join(result) == text and set(result) <= stored | set(text), set(result) - stored
                else:
                    assert len(result) == len(text) and set(result) <= {{0, 1, 2, 3, 40, 21}}, set(result)
        except BaseException as e:
            errors.append(e)
    def changer(k):
        try:
            for i in range({rounds}):
                step = (i + k) % 5
                if step == 0:
                    v.__init__(lists[i % len(lists)])
                elif step == 1:
                    build_trie(v)
                elif step == 2:
                    build_node(v, 0, strings, lengths, 2, 0)
                elif step == 3:
                    cleanup(v)
                else:
                    v.get_closest_prefix("中文字")
        except BaseException as e:
            errors.append(e)
    scanners = [threading.Thread(target=scanner, args=(s,)) for s in (segment, longest_matches, segment)]
    changers = [threading.Thread(target=changer, args=(k,)) for k in range(2)]
    for t in scanners + changers:
        t.start()
    for t in changers:
        t.join()
    stop.set()
    for t in scanners:
        t.join()
    assert errors == [], errors
    v.__init__(lists[1])
    print(segment(v, "中文字图书馆a"), longest_matches(v, "中文字"))
"""


def test_threads_that_rebuild_in_a_loop_while_others_scan_without_the_lock():
    from leaks import SANITIZED

    out = run_child(REBUILT_IN_A_LOOP.format(tests=TESTS, rounds=60 if SANITIZED else 300))
    assert out.split("\n")[0] == "['中', '文字', '图', '书', '馆a'] [1, 2, 0]"


@pytest.mark.parametrize("scan", ["segment", "longest_matches"])
def test_another_thread_rebuilds_the_trie_while_a_long_scan_walks(scan):
    # The scan's only signal handler wakes a thread that rebuilds the trie.
    # It runs while the scan walks without the lock (a scan that held the
    # lock throughout would let it in only once it has returned); its
    # __init__ waits until the walks pause, and the scan then goes on
    # against the new words: what it had found before stands.
    out = run_child(f"""
        import signal, threading
        from ondrel_velarin import Velarin, longest_matches, segment
        v = Velarin(["ab"])
        text = "ab" * 2_000_000
        woken, rebuilt = threading.Event(), threading.Event()
        def rebuilder():
            woken.wait()
            v.__init__(["b", "a"])
            rebuilt.set()
        def handler(signum, frame):
            woken.set()
        thread = threading.Thread(target=rebuilder)
        thread.start()
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        result = {scan}(v, text)
        thread.join()
        new = "a" if {scan == "segment"} else 1
        first = result.index(new) if new in result else len(result)
        print(rebuilt.is_set(), first > 0, sorted(set(result[:first])), sorted(set(result[first:])))
        if {scan == "segment"}:
            assert "".join(result) == text
    """)
    expected = "['ab'] ['a', 'b']" if scan == "segment" else "[0, 2] [1]"
    assert out.split("\n")[0] == f"True True {expected}"
