"""WordPiece: against a plain Python model on random vocabularies, the
unknown-token rules, offsets across normalisation, pairs and truncation,
threads, and the vocabulary file's rules."""

import pickle
import random
import threading

import pytest

import wordpiece_model as model
from ondrel_velarin import Encoding, WordPiece
from ondrel_velarin.wordlist import WordListError

SPECIALS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]


def triples(wp, text, **options):
    e = wp.encode(text, add_special_tokens=False, **options)
    return list(zip(e.ids, e.tokens, e.offsets))


def make(tokens, **options):
    vocab = {t: i for i, t in enumerate(SPECIALS + [t for t in tokens if t not in SPECIALS])}
    return vocab, WordPiece(vocab, **options)


def model_triples(text, vocab, max_chars=100, lowercase=True, strip_accents=None, **options):
    return model.tokenize(text, vocab, specials=SPECIALS, max_chars=max_chars, lowercase=lowercase,
                          strip_accents=lowercase if strip_accents is None else strip_accents, **options)


# Letters that normalise to themselves and to others (accents, capitals,
# full-width), CJK, punctuation, spaces, controls and a special token.
TEXT_PIECES = list("aabbbcab") + ["é", "E", "Ａ", "ａ", "中", "文", "﨑", ".", "#", " ", "  ", "\t", "\x00",
                                  "\u200b", "e\u0301", "İ", "[SEP]", "[UNK", "\u3000", "ß"]
TOKEN_LETTERS = "abc中.#éeaｅ"


def random_vocab(rng):
    tokens = set()
    for _ in range(rng.randint(1, 40)):
        token = "".join(rng.choice(TOKEN_LETTERS) for _ in range(rng.randint(1, 7)))
        tokens.add(("##" if rng.random() < 0.5 else "") + token)
    return sorted(tokens)


def random_text(rng, length=None):
    return "".join(rng.choice(TEXT_PIECES) for _ in range(length or rng.randint(0, 40)))


@pytest.mark.parametrize("seed", range(60))
def test_agrees_with_the_model_on_random_vocabularies(seed):
    rng = random.Random(seed)
    lowercase = seed % 2 == 0
    vocab, wp = make(random_vocab(rng), lowercase=lowercase, max_input_chars_per_word=rng.choice((5, 100)))
    max_chars = wp._options["max_input_chars_per_word"]
    for _ in range(30):
        text = random_text(rng)
        assert triples(wp, text) == model_triples(text, vocab, max_chars, lowercase), text


@pytest.mark.parametrize("seed", range(40))
def test_agrees_with_the_model_where_tokens_are_prefixes_of_each_other(seed):
    # Two letters and tokens that overlap in every way: the failure links
    # and their pops decide nearly every word.
    rng = random.Random(1000 + seed)
    tokens = {"a", "##a", "b"}
    for _ in range(rng.randint(1, 25)):
        tokens.add(("##" if rng.random() < 0.6 else "") + "".join(rng.choice("ab") for _ in range(rng.randint(1, 9))))
    vocab, wp = make(sorted(tokens), max_input_chars_per_word=1000)
    for _ in range(40):
        text = " ".join("".join(rng.choice("ab") for _ in range(rng.randint(1, 30))) for _ in range(3))
        assert triples(wp, text) == model_triples(text, vocab, 1000), text


def test_a_word_of_a_million_characters_is_cut_in_one_pass():
    # Every walk goes 999 characters deep for a match of one: naive greedy
    # matching would take a billion steps.
    _, wp = make(["a", "##a", "a" * 999 + "b"], max_input_chars_per_word=2_000_000)
    e = wp.encode("a" * 1_000_000, add_special_tokens=False)
    assert len(e) == 1_000_000
    assert e.tokens[:2] == ["a", "##a"] and e.offsets[-1] == (999_999, 1_000_000)


@pytest.mark.parametrize(
    "text, limit, expected",
    [
        ("a" * 100, 100, ["a"] + ["##a"] * 99),
        ("a" * 101, 100, ["[UNK]"]),
        ("a" * 5, 4, ["[UNK]"]),
        # The limit counts the normalised word: a mark stripped away is not in it.
        ("a" * 100 + "\u0301", 100, ["a"] + ["##a"] * 99),
        ("ab a", 100, ["[UNK]", "a"]),  # no token for "b": the whole word is unknown
        ("", 100, []),
    ],
)
def test_unknown_words(text, limit, expected):
    _, wp = make(["a", "##a"], max_input_chars_per_word=limit)
    assert wp.tokenize(text) == expected


def test_an_unknown_word_covers_the_whole_word():
    _, wp = make(["a"])
    assert triples(wp, " xa\u0301y ") == [(1, "[UNK]", (1, 5))]


@pytest.mark.parametrize(
    "text, options, expected",
    [
        # Accents stripped: a decomposed letter is still one character of the
        # text; a combining mark of its own is in no token.
        ("Café", {}, [("cafe", (0, 4))]),
        ("cafe\u0301s", {}, [("cafe", (0, 4)), ("##s", (5, 6))]),
        # Full-width forms lowercase to full-width forms.
        ("ＡＢ", {}, [("ａｂ", (0, 2))]),
        # Removed control and format characters join what is around them.
        ("ca\x00f\u200be", {}, [("cafe", (0, 6))]),
        ("\x07\ufeffcafe\x7f", {}, [("cafe", (2, 6))]),
        # One character that lowercases to two: both tokens are that character.
        ("İ", {"strip_accents": False}, [("i", (0, 1)), ("##\u0307", (0, 1))]),
        ("xİ", {}, [("x", (0, 1)), ("##i", (1, 2))]),
        # Spaces around ideographs, special tokens in the raw text.
        ("中文", {}, [("中", (0, 1)), ("文", (1, 2))]),
        ("x[SEP]cafe", {}, [("x", (0, 1)), ("[SEP]", (1, 6)), ("cafe", (6, 10))]),
        ("[sep]", {}, [("[", (0, 1)), ("[UNK]", (1, 4)), ("]", (4, 5))]),
        ("Ca", {"lowercase": False}, [("[UNK]", (0, 2))]),
    ],
)
def test_offsets_across_normalisation(text, options, expected):
    vocab, wp = make(["cafe", "##s", "ａｂ", "i", "##i", "##\u0307", "x", "中", "文", "[", "]"], **options)
    assert [(t, o) for _, t, o in triples(wp, text)] == expected
    lowercase = options.get("lowercase", True)
    assert triples(wp, text) == model_triples(text, vocab, lowercase=lowercase,
                                              strip_accents=options.get("strip_accents"))


def test_special_tokens_and_pairs():
    _, wp = make(["a", "b"])
    e = wp.encode("a b", "b")
    assert e.tokens == ["[CLS]", "a", "b", "[SEP]", "b", "[SEP]"]
    assert e.offsets == [(0, 0), (0, 1), (2, 3), (0, 0), (0, 1), (0, 0)]
    assert e.type_ids == [0, 0, 0, 0, 1, 1]
    assert e.special_tokens_mask == [1, 0, 0, 1, 0, 1]
    assert e.ids == [2, 5, 6, 3, 6, 3] and len(e) == 6 and isinstance(e, Encoding)
    assert wp.encode("a", add_special_tokens=False).tokens == ["a"]


@pytest.mark.parametrize("first, second, max_length, kept", [
    (7, None, 6, (4, None)), (4, 5, 6, (1, 2)), (5, 4, 6, (2, 1)), (3, 3, 6, (1, 2)), (1, 7, 6, (1, 2)),
    (7, 1, 6, (2, 1)), (2, 2, 9, (2, 2)), (4, 0, 5, (2, 0)),
])
def test_truncation_takes_from_the_longer_text(first, second, max_length, kept):
    _, wp = make(["a", "b"])
    e = wp.encode(" ".join("a" * first), None if second is None else " ".join("b" * second), max_length=max_length)
    assert e.tokens.count("a") == kept[0]
    assert e.tokens.count("b") == (kept[1] or 0)


def test_max_length_must_leave_room_for_the_added_tokens():
    _, wp = make(["a"])
    with pytest.raises(ValueError, match="no room"):
        wp.encode("a a", "a", max_length=2)
    assert wp.encode("a a a", max_length=2, add_special_tokens=False).tokens == ["a", "a"]


@pytest.mark.parametrize("vocab, message", [
    (["a", "[CLS]", "[SEP]"], "unknown token '\\[UNK\\]' is not in the vocabulary"),
    ("abc", "not a str"),
])
def test_vocabulary_errors(vocab, message):
    with pytest.raises((ValueError, TypeError), match=message):
        WordPiece(vocab)


def test_without_cls_or_sep_only_plain_encodings_work():
    wp = WordPiece(["[UNK]", "a"])
    assert wp.encode("a b", add_special_tokens=False).ids == [1, 0]
    with pytest.raises(ValueError, match="add_special_tokens=False"):
        wp.encode("a")


def write_vocab(tmp_path, data):
    path = tmp_path / "vocab.txt"
    path.write_bytes(data)
    return path


def test_vocabulary_files(tmp_path):
    # Ids are line numbers; line ends and trailing spaces are not part of a
    # token; a token given twice keeps its last line; a byte order mark is
    # not text.
    path = write_vocab(tmp_path, b"\xef\xbb\xbf[UNK]\r\n[CLS]\n[SEP]\nab  \n\ncd\n##e\ncd\n")
    wp = WordPiece.from_vocab(path)
    assert wp.get_vocab() == {"[UNK]": 0, "[CLS]": 1, "[SEP]": 2, "ab": 3, "": 4, "cd": 7, "##e": 6}
    assert wp.encode("ab cde").ids == [1, 3, 7, 6, 2]
    assert wp.token_to_id("cd") == 7 and wp.id_to_token(6) == "##e" and wp.id_to_token(5) is None


@pytest.mark.parametrize("data, error, message", [
    (b"[UNK]\nab\n\xff\n", WordListError, "line 3 is not UTF-8"),
    (b"[CLS]\n[SEP]\n", ValueError, "vocab.txt: the unknown token"),
])
def test_bad_vocabulary_files(tmp_path, data, error, message):
    with pytest.raises(error, match=message):
        WordPiece.from_vocab(write_vocab(tmp_path, data))


def test_bad_texts():
    _, wp = make(["a"])
    with pytest.raises(TypeError, match="must be str"):
        wp.encode(b"a")
    with pytest.raises(UnicodeEncodeError):
        wp.tokenize("a\ud800")
    with pytest.raises(TypeError, match="pair of texts"):
        wp.encode_batch([("a", "b", "c")])


def test_encode_batch_is_encode_of_each_text_on_every_thread():
    rng = random.Random(7)
    vocab, wp = make(random_vocab(rng))
    texts = [random_text(rng, 200) for _ in range(2000)]  # enough characters for worker threads
    items = texts[:1000] + [(a, b) for a, b in zip(texts[1000::2], texts[1001::2])]
    batch = wp.encode_batch(items, max_length=40)
    single = [wp.encode(*(item if isinstance(item, tuple) else (item,)), max_length=40) for item in items]
    assert [(e.ids, e.offsets, e.type_ids) for e in batch] == [(e.ids, e.offsets, e.type_ids) for e in single]


def test_threads_share_one_tokenizer():
    rng = random.Random(3)
    vocab, wp = make(random_vocab(rng))
    texts = [random_text(rng, 5000) for _ in range(8)]
    expected = [triples(wp, t) for t in texts]
    results = [None] * len(texts)

    def work(k):
        for _ in range(5):
            results[k] = triples(wp, texts[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


def test_pickles_as_its_vocabulary_and_options():
    vocab, wp = make(["a", "##b"], lowercase=False)
    again = pickle.loads(pickle.dumps(wp))
    assert again.get_vocab() == vocab and again.tokenize("ab A") == wp.tokenize("ab A") == ["a", "##b", "[UNK]"]


class Stop(Exception):
    pass


@pytest.mark.parametrize("call", ["encode", "encode_batch"])
def test_a_signal_handler_stops_a_long_call(call):
    # The call runs without the interpreter lock; it takes it back now and
    # then for the handlers, so the handler's exception ends the call.
    import signal

    _, wp = make(["a", "##a"])
    text = "a a " * 10_000_000

    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Stop):
            wp.encode(text) if call == "encode" else wp.encode_batch([text, text])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_a_rebuilt_trie_is_refused_not_read():
    # The lexicons are the tokenizer's own, but the collector hands them out:
    # rebuilding one's trie must make calls fail, never read the new table
    # through the old links.
    import gc

    from ondrel_velarin import Lexicon

    _, wp = make(["ab", "##c"])
    lexicons = [o for o in gc.get_referents(wp) if isinstance(o, Lexicon)]
    assert len(lexicons) == 2
    lexicons[0].trie.__init__(["zz"])
    for call in (lambda: wp.encode("abc"), lambda: wp.tokenize("abc " * 5000), lambda: wp.encode_batch(["abc"])):
        with pytest.raises(RuntimeError, match="rebuilt"):
            call()


def test_a_rebuild_from_another_thread_waits_for_a_long_call():
    import gc

    from ondrel_velarin import Lexicon

    _, wp = make(["a", "##a"])
    lexicon = next(o for o in gc.get_referents(wp) if isinstance(o, Lexicon))
    text = "a a " * 3_000_000
    outcome = []

    def encode():
        try:
            outcome.append(len(wp.encode(text)))
        except RuntimeError as e:
            outcome.append(str(e))

    worker = threading.Thread(target=encode)
    worker.start()
    lexicon.trie.__init__(["b"])
    worker.join()
    # Either the call finished before the rebuild, or it saw it and said so.
    assert outcome == [6_000_002] or "rebuilt" in outcome[0] or "changed" in outcome[0]
