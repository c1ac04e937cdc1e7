"""Lexicon.replace: replacement by longest match in one native call, against
a plain model on random dictionaries, and its errors."""

import random
import signal
import threading

import pytest

import conversion_model
from ondrel_velarin import Lexicon

# Keys and text share a small alphabet, so that keys overlap and begin one
# another: Latin letters and digits (runs), a space, CJK, a Latin-1 letter,
# a combining mark, U+0000 and a character outside the BMP. Values also
# draw on wider characters than the text, so that outputs widen.
KEY_ALPHABET = "ab1A 中文字é\u0301\x00𠀀"
VALUE_ALPHABET = KEY_ALPHABET + "Zз語𝔸"


def random_dictionary(rng: random.Random) -> dict[str, str]:
    keys = {"".join(rng.choices(KEY_ALPHABET, k=rng.randint(1, 4))) for _ in range(rng.randint(0, 30))}
    return {k: "".join(rng.choices(VALUE_ALPHABET, k=rng.choice((0, 1, 1, 2, 3, 6)))) for k in keys}


def random_text(rng: random.Random, alphabet: str = KEY_ALPHABET) -> str:
    return "".join(rng.choices(alphabet, k=rng.randint(0, 60)))


@pytest.mark.parametrize("seed", range(8))
def test_replace_agrees_with_the_model(seed):
    rng = random.Random(seed)
    for _ in range(60):
        mapping = random_dictionary(rng)
        lexicon = Lexicon(mapping)
        # Texts of one byte per character too, whose values may widen them.
        for alphabet in (KEY_ALPHABET, "ab1A é"):
            for _ in range(8):
                text = random_text(rng, alphabet)
                for runs in (False, True):
                    assert lexicon.replace(text, alnum_runs=runs) == conversion_model.replace(mapping, text, runs), (
                        mapping, text, runs)


@pytest.mark.parametrize(
    "mapping, text, expected",
    [
        ({"ab": "X", "abc": "Y"}, "abcab", "YX"),  # the longest key, then on from its end
        ({"ab": "X", "bc": "Y"}, "abc", "Xc"),  # a match is not undone for a later one
        ({"a": ""}, "banana", "bnn"),  # an empty value deletes
        ({"": "X", "a": "b"}, "aca", "bcb"),  # the empty key never matches
        ({"中": "中国人"}, "中文", "中国人文"),  # longer values
        ({"中文": "文"}, "中文中文", "文文"),  # shorter values
        ({"Deb": "X", "12": "Y"}, "Debian 12 Deb", "Debian Y X"),
    ],
)
def test_replace_examples(mapping, text, expected):
    runs = "Deb" in mapping
    assert Lexicon(mapping).replace(text, alnum_runs=runs) == expected


def test_long_texts_widen_where_a_wide_value_first_comes():
    lexicon = Lexicon({"a": "b", "x": "語", "y": "𝔸"})
    text = "a" * 100_000 + "x" + "a" * 100_000 + "y" + "é" * 1000
    assert lexicon.replace(text) == "b" * 100_000 + "語" + "b" * 100_000 + "𝔸" + "é" * 1000
    # A text narrower than its input's kind once replaced is a canonical str.
    narrowed = Lexicon({"𝔸": "a"}).replace("𝔸" * 10)
    assert narrowed == "a" * 10 and narrowed.isascii()


def test_unchanged_text_is_given_back_as_an_exact_str():
    lexicon = Lexicon({"x": "y"})
    text = "abc" * 10
    assert lexicon.replace(text) is text

    class Text(str):
        pass

    result = lexicon.replace(Text("abc"))
    assert type(result) is str and result == "abc"


@pytest.mark.parametrize(
    "lexicon, call, error, message",
    [
        (Lexicon({"a": "b"}), lambda lex: lex.replace(b"a"), TypeError, "must be str"),
        (Lexicon({"a": "b"}), lambda lex: lex.replace("a\ud800"), UnicodeEncodeError, "surrogates not allowed"),
        (Lexicon({"a": "b"}), lambda lex: lex.replace("a", runs=True), TypeError, "unexpected keyword argument 'runs'"),
        (Lexicon({"a": "b"}), lambda lex: lex.replace(), TypeError, "exactly 1 positional argument"),
        (Lexicon(["a"]), lambda lex: lex.replace("xyz"), TypeError, "values are str"),
        (Lexicon({"a": 1}), lambda lex: lex.replace("xyz"), TypeError, "values are str"),
        (Lexicon({"a": "b", "c": 3.5}), lambda lex: lex.replace("abc"), TypeError, "the value of 'c' is float"),
    ],
)
def test_replace_errors(lexicon, call, error, message):
    with pytest.raises(error, match=message):
        call(lexicon)


def test_a_mixed_lexicon_replaces_where_its_str_values_are_matched():
    assert Lexicon({"a": "b", "c": 3.5}).replace("aab") == "bbb"


def stop(lexicon):
    raise KeyboardInterrupt


def rebuild(lexicon):
    lexicon.trie.__init__(["zz"])


@pytest.mark.parametrize("handler, error, message", [(stop, KeyboardInterrupt, None), (rebuild, RuntimeError, "rebuilt")])
def test_signal_handlers_run_during_a_long_replacement(handler, error, message):
    # A handler that raises stops the walks; one that rebuilds the
    # lexicon's trie under them leaves the lexicon refused.
    lexicon = Lexicon({"ab": "x", "b": "yy"})
    text = "ab" * 500_000
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: handler(lexicon))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        with pytest.raises(error, match=message):
            while True:
                lexicon.replace(text)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_threads_replace_as_one_thread_does():
    rng = random.Random(5)
    lexicon = Lexicon(random_dictionary(rng))
    texts = [random_text(rng) * 2000 for _ in range(4)]
    expected = [lexicon.replace(t) for t in texts]
    results = {}

    def work(i):
        results[i] = [lexicon.replace(t) for t in texts]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results.values()) and len(results) == 4
