"""segment and longest_matches: one call per text, agreeing with the Python
loop over get_closest_prefix at every position."""

import random
import signal
import string
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from model import Model, continues_run, is_run_character, segment_loop  # noqa: E402
from ondrel_velarin import Velarin, longest_matches, segment  # noqa: E402
from ondrel_velarin import scan_c  # noqa: E402
from test_differential import ALPHABETS, NOT_UTF8, Raw, random_text  # noqa: E402


def loop_lengths(trie, text):
    return [len(trie.get_closest_prefix(text[i:])) for i in range(len(text))]


def outcome(function, *args):
    """The result, or the type and arguments of what was raised."""
    try:
        return function(*args)
    except (UnicodeDecodeError, UnicodeEncodeError) as e:
        return type(e), e.args


def random_scan_case(rng: random.Random):
    words = [random_text(rng) for _ in range(rng.randint(0, 15))]
    words += [w[: rng.randint(0, len(w))] for w in words[:4]]
    if rng.random() < 0.05:
        words += [chr(c) for c in range(256)]
    pieces = words + [random_text(rng) for _ in range(3)]
    text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 12))) if pieces else ""
    return words, text


def deep_case(rng: random.Random, shape: str):
    """Words of 30-300 letters over ACGT and a text that follows them far:
    reads of a genome that share long prefixes and are prefixes of each
    other ("reads"), the same with one letter changed in each ("mutated",
    so that the text leaves every word deep inside), or random words whose
    text is their pieces run together ("random")."""
    genome = "".join(rng.choices("ACGT", k=3000))
    words = []
    for _ in range(rng.randint(1, 12)):
        start, length = rng.randrange(2000), rng.randint(30, 300)
        read = genome[start : start + length]
        words += [read, read[: rng.randint(1, length)], read[: rng.randint(1, length)]]
    if shape == "mutated":
        words = [w[:i] + rng.choice("ACGT") + w[i + 1 :] for w in words for i in [rng.randrange(len(w))]]
    if shape == "random":
        words = ["".join(rng.choices("ACGT", k=rng.randint(30, 300))) for _ in words]
        genome = "".join(w[: rng.randint(1, len(w))] + rng.choice("ACGT") for w in rng.choices(words, k=30))
    return words, genome


@pytest.mark.parametrize("shape", ["reads", "mutated", "random"])
@pytest.mark.parametrize("seed", range(4))
def test_deep_words_agree_with_the_model(shape, seed):
    words, text = deep_case(random.Random(seed), shape)
    v, model = Velarin(words), Model(words)
    assert segment(v, text) == segment_loop(model, text), (shape, seed)
    assert longest_matches(v, text) == loop_lengths(model, text), (shape, seed)
    keys = [text[i:] for i in range(0, len(text), 97)]
    assert [v.get_closest_prefix(k) for k in keys] == [model.get_closest_prefix(k) for k in keys]


@pytest.mark.parametrize(
    "alphabet", ["ACGT", "ACGTacgtNRYKMSWB", "中文字", "aé\U0001F600", string.ascii_letters, "中文字词典汉语言简繁體"]
)
@pytest.mark.parametrize("seed", range(3))
def test_deep_words_of_any_width_beside_short_ones(alphabet, seed):
    # Deep enough on average for the automaton, with short words and the
    # empty word among them, over texts of many windows: a word found past
    # one window's end must reach the next window's answers. The first
    # alphabets have few enough bytes for a table of moves (the second as
    # many as it may have), the last two not; a dash, in no word, now and
    # then sends the scan back to the root.
    from conversion_model import replace as model_replace

    from ondrel_velarin import Lexicon

    rng = random.Random(seed)
    deep = ["".join(rng.choices(alphabet, k=rng.randint(100, 400))) for _ in range(8)]
    short = ["".join(rng.choices(alphabet, k=rng.randint(1, 3))) for _ in range(6)]
    words = deep + short + [""]
    pieces = [w[rng.randrange(len(w)) :] for w in deep] + deep + short
    text = "".join(rng.choice(pieces) + rng.choice(["", "", "-"]) for _ in range(14))
    v, model = Velarin(words), Model(words)
    assert segment(v, text) == segment_loop(model, text)
    assert longest_matches(v, text) == loop_lengths(model, text)
    lex = Lexicon({w: w.upper() + "|" for w in words if w})
    spans = []
    at = 0
    for piece in segment(Velarin([w for w in words if w]), text):
        if lex.get(piece) is not None:
            spans.append((at, at + len(piece)))
        at += len(piece)
    assert lex.find_longest(text) == spans
    for _ in range(3):  # one replace's room serves the next text
        assert lex.replace(text) == model_replace(dict(lex), text)
        text = text[::-1]


@pytest.mark.parametrize("seed", range(8))
def test_agrees_with_the_loop_and_the_model(seed):
    rng = random.Random(seed)
    for _ in range(400):
        words, text = random_scan_case(rng)
        v = Velarin(words)
        model = Model(words)
        assert segment(v, text) == segment_loop(v, text) == segment_loop(model, text), (words, text)
        assert segment(v, text, alnum_runs=True) == segment_loop(model, text, alnum_runs=True), (words, text)
        assert longest_matches(v, text) == loop_lengths(v, text) == loop_lengths(model, text), (words, text)
        assert "".join(segment(v, text)) == text


@pytest.mark.parametrize("seed", range(4))
def test_agrees_with_the_loop_on_words_that_do_not_decode(seed):
    # A match that ends inside a character cannot be decoded: both raise the
    # same UnicodeDecodeError at the same position.
    rng = random.Random(100 + seed)
    for _ in range(300):
        words, text = random_scan_case(rng)
        raw = [w.encode() for w in words]
        raw += [w[: rng.randint(0, len(w))] for w in raw[:4]]
        raw += [rng.randbytes(rng.randint(0, 2)) + bytes([rng.choice(NOT_UTF8)]) for _ in range(2)]
        v = Velarin([Raw(w) for w in raw])
        assert outcome(segment, v, text) == outcome(segment_loop, v, text), (raw, text)
        assert outcome(longest_matches, v, text) == outcome(loop_lengths, v, text), (raw, text)


@pytest.mark.parametrize(
    "words, text, segments, lengths",
    [
        (["中国", "中国人", "人民"], "中国人民", ["中国人", "民"], [3, 0, 2, 0]),
        # "" stored matches everywhere, yet a segment is never empty.
        ([""], "ab", ["a", "b"], [0, 0]),
        (["\0", "\0\0a"], "\0\0a\0", ["\0\0a", "\0"], [3, 1, 0, 1]),
        (["\U0001F600", "a\U0001F600"], "a\U0001F600\U0001F600", ["a\U0001F600", "\U0001F600"], [2, 1, 1]),
        (["abc"], "", [], []),
        (["ab"], "xyz", ["x", "y", "z"], [0, 0, 0]),
    ],
)
def test_examples(words, text, segments, lengths):
    v = Velarin(words)
    assert (segment(v, text), longest_matches(v, text)) == (segments, lengths)


@pytest.mark.parametrize(
    "words, text, segments",
    [
        # Runs no word covers stay whole; a word ending inside one is not taken.
        (["Deb", "中文"], "Debian 2024中文http", ["Debian", " ", "2024", "中文", "http"]),
        (["Debian"], "Debian2 Debian", ["Debian2", " ", "Debian"]),
        (["http", "://"], "http://x", ["http", "://", "x"]),
        # A word from a character outside runs that ends inside one.
        (["中a"], "中ab中a", ["中", "ab", "中a"]),
        (["a中"], "xa中", ["xa", "中"]),
        # Letters and digits of any script that spaces words; not "_".
        ([], "Москва١٢٣ ２０２４年 a_b", ["Москва١٢٣", " ", "２０２４", "年", " ", "a", "_", "b"]),
        # The combining marks after a run's letters are the run's: vowelled
        # Arabic, Devanagari's vowel signs, a decomposed accent. A mark after
        # anything else is a character of its own.
        ([], "بِسْمِ اللَّهِ", ["بِسْمِ", " ", "اللَّهِ"]),
        ([], "नमस्ते दुनिया", ["नमस्ते", " ", "दुनिया"]),
        ([], "e\u0301x \u0301a 中\u0301", ["e\u0301x", " ", "\u0301", "a", " ", "中", "\u0301"]),
        # A word that ends before a mark of its run is not taken; one that
        # ends with the mark, before a space, is.
        (["ب", "بِ"], "بِسْمِ بِ", ["بِسْمِ", " ", "بِ"]),
        (["e\u0301", "1\u0301"], "e\u0301 e\u0301x 1\u0301\u0302", ["e\u0301", " ", "e\u0301x", " ", "1\u0301\u0302"]),
        (["中\u0301"], "中\u0301a", ["中\u0301", "a"]),
        # Scripts written without spaces go by the word list alone.
        ([], "カタカナสวัส", list("カタカナสวัส")),
        (["カタ"], "カタカ", ["カタ", "カ"]),
        ([], "", []),
    ],
)
def test_runs_examples(words, text, segments):
    assert segment(Velarin(words), text, alnum_runs=True) == segments == segment_loop(Model(words), text, alnum_runs=True)
    assert segment(Velarin(words), text, alnum_runs=False) == segment_loop(Model(words), text)


def test_runs_agree_with_the_model_on_every_code_point():
    # Each code point twice, then a space: a run character gives one segment of two.
    chars = [chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000]
    got = segment(Velarin([]), "".join(c + c + " " for c in chars), alnum_runs=True)
    runs = {s[0] for s in got if len(s) == 2}
    assert runs == {c for c in chars if is_run_character(c)}
    assert len(got) == 2 * len(chars) + len(chars) - len(runs)
    # After a letter, each code point that continues a run.
    got = segment(Velarin([]), "".join(" a" + c for c in chars), alnum_runs=True)
    assert {s[1] for s in got if len(s) == 2 and s[0] == "a"} == {c for c in chars if continues_run(c)} - {" "}


def failed_construction():
    v = Velarin(["ab"])
    with pytest.raises(AttributeError):
        v.__init__(["a", 1])
    return v


@pytest.mark.parametrize(
    "make",
    [lambda: Velarin.__new__(Velarin), lambda: Velarin([]), failed_construction],
    ids=["never_constructed", "empty", "failed_construction"],
)
def test_objects_without_words(make):
    v = make()
    text = "中a\U0001F600"
    assert segment(v, text) == segment_loop(v, text)
    assert longest_matches(v, text) == loop_lengths(v, text)


def test_subclass_instances_are_read_directly():
    class Shouting(Velarin):
        def get_closest_prefix(self, key):
            return "!"

    v = Shouting(["ab"])
    assert segment(v, "abab") == ["ab", "ab"]
    assert longest_matches(v, "xab") == [0, 2, 0]


def test_str_subclass_text_and_shared_results():
    class Text(str):
        pass

    v = Velarin(["中文"])
    got = segment(v, Text("中文中文"))
    assert got == ["中文", "中文"] and got[0] is got[1] is v.get_closest_prefix("中文")


@pytest.mark.parametrize("length", [0, 1, 1023, 1024, 1025, 5000])
def test_segments_come_back_as_an_ordinary_list(length):
    text = ("中文x" * length)[:length]
    got = segment(Velarin(["中文"]), text)
    assert type(got) is list and "".join(got) == text
    expected = segment_loop(Velarin(["中文"]), text)
    got.append("end")
    got.extend(["a"] * 3000)
    del got[len(expected):]
    assert got == expected
    got.insert(0, "start")
    assert got.pop(0) == "start" and got == expected
    del got[:]
    assert got == []


def test_many_distinct_unmatched_characters():
    # More distinct single characters than a per-call cache keeps, in an
    # order that makes them displace each other, Latin-1 ones among them.
    rng = random.Random(5)
    chars = [chr(c) for c in range(0x20, 0x3000, 3)] + ["\U0001F600", "\xe9", "\0"]
    text = "".join(rng.choice(chars) for _ in range(20_000))
    got = segment(Velarin(["\u4e2d\u6587"]), text)
    del chars
    assert got == list(text)
    assert all(type(s) is str and len(s) == 1 for s in got)


@pytest.mark.parametrize("function", [segment, longest_matches])
@pytest.mark.parametrize(
    "args, message",
    [
        ((["ab"], "ab"), "{}() argument 1 must be ondrel_velarin.impl_c.Velarin, not list"),
        ((None, "ab"), "{}() argument 1 must be ondrel_velarin.impl_c.Velarin, not NoneType"),
        ((Velarin(["a"]), b"ab"), "{}() argument 2 must be str, not bytes"),
        ((Velarin(["a"]), None), "{}() argument 2 must be str, not NoneType"),
        ((Velarin(["a"]),), "{} expected 2 arguments, got 1"),
        ((Velarin(["a"]), "a", "b"), "{} expected 2 arguments, got 3"),
    ],
)
def test_argument_errors(function, args, message):
    with pytest.raises(TypeError) as excinfo:
        function(*args)
    assert str(excinfo.value) == message.format(function.__name__)


def test_keywords_are_refused():
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        longest_matches(Velarin(["a"]), text="a")
    with pytest.raises(TypeError, match="^segment\\(\\) got an unexpected keyword argument 'text'$"):
        segment(Velarin(["a"]), "a", text="a")
    with pytest.raises(TypeError, match="^segment expected 2 arguments, got 3$"):
        segment(Velarin(["a"]), "a", True)


def test_alnum_runs_takes_a_truth_value():
    class Raises:
        def __bool__(self):
            raise ZeroDivisionError

    assert segment(Velarin([]), "ab", alnum_runs=1) == ["ab"]
    assert segment(Velarin([]), "ab", alnum_runs=[]) == ["a", "b"]
    with pytest.raises(ZeroDivisionError):
        segment(Velarin([]), "ab", alnum_runs=Raises())


@pytest.mark.parametrize("text", ["\ud800", "ab\udfff", "中" * 1000 + "\udc00", "\U0001F600" * 70 + "\ud83d"])
@pytest.mark.parametrize("function", [segment, longest_matches])
def test_lone_surrogates_raise_the_interpreters_error(function, text):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        function(Velarin(["a", "中"]), text)
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    assert excinfo.value.args == expected.value.args


def test_long_text_with_a_match_past_a_word_boundary():
    # The walk from each position stops where the trie does: a long text that
    # never matches costs one step per position.
    v = Velarin(["ab", "abc" * 3])
    text = "abcabcabcx" * 20_000
    assert segment(v, text) == segment_loop(v, text[:10]) * 20_000
    assert longest_matches(v, text)[:10] == [9, 0, 0, 2, 0, 0, 2, 0, 0, 0]


@pytest.mark.parametrize("length", [31, 32, 33, 100])
@pytest.mark.parametrize("char", ["x", "中", "\U0001F600"])
def test_words_longer_than_a_window_walk(char, length):
    # Runs of one-character segments widen the windows; a long word after them
    # must still be found whole, and its covered positions skipped.
    words = [char * length, char * (length // 2), "y"]
    text = ("y" * 300 + char * (2 * length + 3)) * 3 + char * (length - 1)
    v = Velarin(words)
    expected = segment_loop(Model(words), text)
    assert segment(v, text) == segment_loop(v, text) == expected
    assert segment(v, text, alnum_runs=True) == segment_loop(Model(words), text, alnum_runs=True)
    assert longest_matches(v, text) == loop_lengths(v, text)


class Alarm(Exception):
    pass


def scan_under_timer(handler, call):
    """Runs `call` with a 1 ms repeating timer whose signal runs `handler`."""
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        return call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# Long enough to take many milliseconds, so the timer fires inside the call.
LONG_TEXT = "中文字图书馆" * 400_000


@pytest.mark.parametrize("function", [segment, longest_matches])
def test_a_signal_handler_can_interrupt_a_long_scan(function):
    fired = []

    # Raising only at the third signal shows the handlers ran during the call:
    # the timer is stopped as soon as it returns.
    def handler(signum, frame):
        fired.append(signum)
        if len(fired) == 3:
            raise Alarm

    with pytest.raises(Alarm):
        scan_under_timer(handler, lambda: function(Velarin(["中文", "图书馆"]), LONG_TEXT))


@pytest.mark.parametrize("function", [segment, longest_matches])
def test_a_handler_that_rebuilds_or_empties_the_trie_mid_scan(function):
    v = Velarin(["中文", "图书馆"])
    changes = [lambda: v.__init__(["字图", "书"]), lambda: v.__init__([]), lambda: v.__init__(["中文字图书馆"])]

    def handler(signum, frame):
        if changes:
            changes.pop(0)()

    result = scan_under_timer(handler, lambda: function(v, LONG_TEXT))
    assert not changes
    # The scan goes on against whatever the trie holds at each position.
    if function is segment:
        assert "".join(result) == LONG_TEXT
        assert set(result) <= {"中文", "图书馆", "字图", "书", "中文字图书馆", *LONG_TEXT}
    else:
        assert len(result) == len(LONG_TEXT) and set(result) <= {0, 1, 2, 3, 6}


def test_the_module_keeps_to_its_functions():
    public = {name for name in vars(scan_c) if not name.startswith("__")}
    assert public == {"segment", "longest_matches", "nbytes"}
    assert scan_c.segment.__text_signature__ == "($module, trie, text, /, *, alnum_runs=False)"
