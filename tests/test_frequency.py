"""Segmentation by word frequency: Lexicon.segment(text, method="frequency"
or "hmm"), with_user_dictionary and HMM. Against a plain model of the route
(tests/route_model.py) on random dictionaries, ties included; against jieba
itself, when it is installed, on real lines and on random texts."""

import os
import random
import signal
import threading

import pytest

import corpus
import route_cases
from ondrel_velarin import HMM, Lexicon
from ondrel_velarin.frequency import parse_user_dictionary
from ondrel_velarin.wordlist import WordListError
from route_model import Dictionary, Tables

try:
    import jieba
    import jieba.finalseg
except ImportError:
    jieba = None

needs_jieba = pytest.mark.skipif(jieba is None, reason="jieba is not installed (pip install jieba, or the test extra)")
# Lone surrogates pass through a segmentation as characters of their own.
TEXT_EXTRA = ["\ud800", "\udfff"]


def hmm_of(tables):
    return HMM(tables.start, tables.trans, tables.emit)


def user_lines(rng, alphabet):
    """Random user dictionary lines: words with and without frequencies
    (0 among them) and tags."""
    lines = []
    for _ in range(rng.randint(0, 6)):
        word = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 4)))
        freq = rng.choice([None, None, 0, 1, 2, 50])
        tag = rng.choice([None, "n"])
        lines.append(word + ("" if freq is None else f" {freq}") + ("" if tag is None else f" {tag}"))
    return "\n".join(lines).encode("utf-8")


@pytest.mark.parametrize("seed", range(3))
def test_segmentation_agrees_with_the_model(seed):
    """Random dictionaries (few distinct frequencies, so routes tie; words
    longer than the walks go), a user dictionary on top of some, random
    tables: every text segments as the model segments it, with and without
    the HMM."""
    rng = random.Random(seed)
    tables = route_cases.random_tables(rng)
    hmm = hmm_of(tables)
    for i in range(60):
        long_words = i % 6 == 5
        model, alphabet = route_cases.random_dictionary(rng, long_words=long_words)
        model = Dictionary(model.freq)  # the total a mapping has: the sum of its values
        if not model.total:
            continue
        lexicon = Lexicon(model.freq)
        if i % 2:
            data = user_lines(rng, alphabet)
            model.add_user_words(data)
            lexicon = lexicon.with_user_dictionary(parse_user_dictionary(data, "user.txt"))
            assert dict(lexicon.items()) == model.freq
        for _ in range(10):
            text = route_cases.random_text(rng, model, alphabet, long_words=long_words)
            if rng.random() < 0.2:
                text += rng.choice(TEXT_EXTRA) + text
            assert lexicon.segment(text, method="frequency") == model.segment(text), (text, model.freq)
            assert lexicon.segment(text, method="hmm", hmm=hmm) == model.segment(text, tables), (text, model.freq)


def test_a_block_of_a_million_characters_with_long_words():
    """One block of a million characters, words of up to 40 code points that
    repeat in it, some nested: the same segmentation as the model's, on a
    tenth of it, and on the whole the pieces join to the text."""
    words = {"a": 3, "ab": 2, "b": 2, "ba" * 20: 5, ("ab" * 20)[:33]: 9, "a" * 35: 7, "a" * 34: 1}
    model, lexicon = Dictionary(words), Lexicon(words)
    rng = random.Random(7)
    text = "".join(rng.choice(["a" * 40, "ab" * 20, "ba", "b"]) for _ in range(40_000))[:1_000_000]
    part = text[:100_000]
    assert lexicon.segment(part, method="frequency") == model.segment(part)
    pieces = lexicon.segment(text, method="frequency")
    assert "".join(pieces) == text and max(map(len, pieces)) > 32


def test_threads_segment_one_lexicon_at_once():
    """Long texts (walked without the interpreter lock) from four threads on
    one lexicon: each its own, right, answer."""
    words = {w: i + 1 for i, w in enumerate(["中国", "人民", "中国人", "大学", "大学生", "生前", "前来", "a", "ab"])}
    lexicon, model = Lexicon(words), Dictionary(words)
    rng = random.Random(3)
    texts = ["".join(rng.choice("中国人民大学生前来ab ，") for _ in range(50_000)) for _ in range(4)]
    expected = [model.segment(t) for t in texts]
    results = [None] * 4

    def work(i):
        for _ in range(3):
            results[i] = lexicon.segment(texts[i], method="frequency")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


def test_ctrl_c_stops_a_long_segmentation():
    lexicon = Lexicon({"a": 1, "a" * 30: 2})
    text = "a" * 3_000_000

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            for _ in range(100):
                lexicon.segment(text, method="frequency")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert lexicon.segment("aaa", method="frequency") == ["aaa"]


@pytest.mark.parametrize(("words", "message"), [
    (["a", "b"], "needs a frequency"),
    ({"a": "1"}, "needs a frequency"),
    ({"a": 2, "b": -1}, "the frequency of 'b' is -1"),
    ({"a": 0}, "sum to more than 0"),
    ({}, "sum to more than 0"),
])
def test_a_lexicon_without_frequencies_is_refused(words, message):
    lexicon = Lexicon(words)
    for method in ("frequency", "hmm"):
        with pytest.raises(ValueError, match=message):
            lexicon.segment("ab", method=method, hmm=HMM({y: -1.0 for y in "BEMS"}, {y: {} for y in "BEMS"},
                                                        {y: {} for y in "BEMS"}))
    assert lexicon.segment("ab") == ["ab"]  # the longest match needs none


def test_bad_arguments():
    lexicon = Lexicon({"a": 1})
    assert lexicon.segment("a", method="frequency") == ["a"]
    with pytest.raises(ValueError, match="unknown segmentation method 'fast'"):
        lexicon.segment("a", method="fast")
    with pytest.raises(TypeError, match="must be str"):
        lexicon.segment(b"a", method="frequency")
    with pytest.raises(TypeError, match="hmm must be an ondrel_velarin.HMM, not str"):
        lexicon.segment("a", method="hmm", hmm="tables")
    with pytest.raises(TypeError, match="tables must come from ondrel_velarin.HMM"):
        lexicon._segment_by_frequency("a", lexicon._frequencies.model, b"short")
    with pytest.raises(ValueError, match="made for another lexicon"):
        Lexicon({"b": 1})._segment_by_frequency("a", lexicon._frequencies.model, None)


def test_hmm_from_files(tmp_path):
    (tmp_path / "prob_start.py").write_text("P={'B': -0.5, 'E': -3.14e+100, 'M': -3.14e+100, 'S': -1.0}\n")
    (tmp_path / "prob_trans.py").write_text("P={'B': {'E': -0.5, 'M': -1.0}, 'E': {'B': -0.5, 'S': -1.0},\n"
                                            " 'M': {'E': -0.3, 'M': -1.2}, 'S': {'B': -0.7, 'S': -0.6}}\n")
    (tmp_path / "prob_emit.py").write_text("from __future__ import unicode_literals\n\n"
                                           "P={'B': {'\\u4e2d': -1.0}, 'E': {'\\u56fd': -1.0}, 'M': {}, 'S': {}}\n")
    hmm = HMM.from_path(tmp_path)
    assert Lexicon({"x": 1}).segment("中国中", method="hmm", hmm=hmm) == ["中国", "中"]
    assert str(tmp_path) in repr(hmm)
    (tmp_path / "prob_trans.py").write_text("P = [1, 2]\n")
    with pytest.raises(ValueError, match="prob_trans.py: not a table"):
        HMM.from_path(tmp_path)
    (tmp_path / "prob_trans.py").write_text("P={'B': {'E': 'x'}}\n")
    with pytest.raises(ValueError, match="lack a state or hold a value that is not a number"):
        HMM.from_path(tmp_path)
    (tmp_path / "prob_emit.py").unlink()
    with pytest.raises(OSError):
        HMM.from_path(tmp_path)


def test_without_jieba_the_hmm_says_how_to_get_its_tables(monkeypatch):
    from ondrel_velarin import frequency

    monkeypatch.setattr(frequency.importlib.util, "find_spec", lambda name: None)
    frequency._jieba_tables.cache_clear()
    try:
        with pytest.raises(ModuleNotFoundError, match="pip install jieba"):
            Lexicon({"a": 1}).segment("a", method="hmm")
    finally:
        frequency._jieba_tables.cache_clear()


def test_a_pickled_lexicon_keeps_its_total_and_the_words_to_split():
    """A user dictionary's total and its words of frequency 0, which no
    value shows, survive pickling (as to worker processes)."""
    import pickle

    lexicon = Lexicon({"中": 3, "国": 4, "中国": 5}).with_user_dictionary([("中国", 6, None), ("人民", 0, None)])
    copy = pickle.loads(pickle.dumps(lexicon))
    assert (copy._frequencies.total, copy._frequencies.force_split) == (18, {"人民"})
    hmm = HMM({y: -1.0 for y in "BEMS"}, {y: {} for y in "BEMS"}, {"B": {"人": -0.1}, "E": {"民": -0.1}, "M": {}, "S": {}})
    assert copy.segment("人民中国", method="hmm", hmm=hmm) == lexicon.segment("人民中国", method="hmm", hmm=hmm)
    assert lexicon.segment("人民", method="hmm", hmm=hmm) == ["人", "民"]


def test_user_dictionary_files(tmp_path):
    path = tmp_path / "user.txt"
    path.write_bytes("\ufeff云计算 5 n\n\n  创新办 3 i \n\xe9 2\n".encode("utf-8").replace(b"\xc3\xa9 2", b"\xff 2"))
    with pytest.raises(WordListError, match=r"user.txt: line 4 is not UTF-8 \(byte 0xff\)"):
        Lexicon({"a": 1}).with_user_dictionary(path)
    with pytest.raises(WordListError, match="cannot read"):
        Lexicon({"a": 1}).with_user_dictionary(tmp_path / "missing.txt")
    path.write_bytes("\ufeff云计算 5 n\n\n  创新办 3 i \n".encode("utf-8"))
    merged = Lexicon({"云": 2, "计算": 3}).with_user_dictionary(path)
    assert dict(merged.items()) == {"云": 2, "计算": 3, "云计算": 5, "创新办": 3}
    assert merged.tag("云计算") == "n" and merged.segment("云计算", method="frequency") == ["云计算"]


# ---- against jieba itself ---------------------------------------------------


@pytest.fixture(scope="module")
def dict_txt():
    if jieba is None:
        pytest.skip("jieba is not installed (pip install jieba, or the test extra)")
    jieba.setLogLevel(60)
    return os.path.join(os.path.dirname(jieba.__file__), "dict.txt")


@pytest.fixture(scope="module")
def jieba_lexicon(dict_txt):
    return Lexicon.from_file(dict_txt)


def splitting(words):
    """Makes jieba's set of the words its HMM splits, which all its
    tokenizers share, hold `words`."""
    jieba.finalseg.Force_Split_Words.clear()
    jieba.finalseg.Force_Split_Words.update(words)


def fresh_tokenizer(path=None, tmp=None):
    """A jieba tokenizer of its own, and no words for its HMM to split."""
    tokenizer = jieba.Tokenizer(path) if path else jieba.Tokenizer()
    if tmp is not None:
        tokenizer.tmp_dir = str(tmp)
    tokenizer.initialize()
    splitting(())
    return tokenizer


@pytest.fixture(scope="module")
def tokenizer(dict_txt):
    return fresh_tokenizer()


@pytest.fixture(scope="module")
def user_dictionary(dict_txt, tmp_path_factory, jieba_lexicon):
    """jieba's tokenizer and the lexicon, each with the same user dictionary
    of 400 lines added, and the words jieba's HMM must then split."""
    known = list(jieba_lexicon.keys())
    lines = corpus.lines("fortunes-zh", sample=2000) + corpus.lines("manpages-zh", sample=2000)
    path = tmp_path_factory.mktemp("user") / "user.txt"
    path.write_bytes(route_cases.user_dictionary(lines, known, count=400))
    tokenizer = fresh_tokenizer()
    tokenizer.load_userdict(str(path))
    yield tokenizer, jieba_lexicon.with_user_dictionary(path), set(jieba.finalseg.Force_Split_Words)
    splitting(())


@needs_jieba
@pytest.mark.oracle
@pytest.mark.parametrize("text", ["fortunes-zh", "manpages-zh"])
@pytest.mark.parametrize("with_user_dictionary", [False, True], ids=["dict.txt", "with a user dictionary"])
def test_real_lines_as_jieba_segments_them(jieba_lexicon, tokenizer, user_dictionary, text, with_user_dictionary):
    tokenizer, lexicon, split = user_dictionary if with_user_dictionary else (tokenizer, jieba_lexicon, ())
    splitting(split)
    for line in corpus.lines(text, sample=400, seed=29):
        assert lexicon.segment(line, method="frequency") == tokenizer.lcut(line, HMM=False), line
        assert lexicon.segment(line, method="hmm") == tokenizer.lcut(line), line


@needs_jieba
def test_user_dictionary_as_jieba_adds_it(user_dictionary):
    tokenizer, lexicon, split = user_dictionary
    assert lexicon._frequencies.total == tokenizer.total
    assert all(tokenizer.FREQ[w] == v for w, v in lexicon.items())
    assert lexicon._frequencies.force_split == split and split


@needs_jieba
@pytest.mark.parametrize("seed", range(2))
def test_random_texts_as_jieba_segments_them(jieba_lexicon, tokenizer, seed):
    """Texts of the dictionary's characters, ASCII letters, digits, the block
    punctuation and other characters, spaces of every kind among them."""
    rng = random.Random(seed)
    characters = list({c for w in rng.sample(list(jieba_lexicon.keys()), 3000) for c in w})
    others = list("abcXY019+#&._%- \t\r\n，。") + ["\r\n", "\u3000", "\xa0", "\u9fd6", "\U0001f600"] + TEXT_EXTRA
    splitting(())
    for _ in range(200):
        text = "".join(rng.choice(characters) if rng.random() < 0.8 else rng.choice(others)
                       for _ in range(rng.randint(0, 60)))
        assert jieba_lexicon.segment(text, method="frequency") == tokenizer.lcut(text, HMM=False), text
        assert jieba_lexicon.segment(text, method="hmm") == tokenizer.lcut(text), text


@needs_jieba
@pytest.mark.parametrize("lines", [
    ["云计算 5", "云计算 5 n", "云计算", "云计算 nz"],
    ["云计算 5 N", "hello world 10", "hello world", "云计算 1.5", "云计算 -3"],
    ["  云计算 5  ", "云计算\t5", "\ufeff\ufeff云计算 5", "云计算  5", "\ufeff x 3", "\ufeff"],
    ["中国 5", "中国 0", "中国", "中国 0\n中国", "x 5 nz extra", "云计算 05", "a\rb 5", "x 5\xa0"],
    ["大学 0", "大学生", "生前 7\n生前", "Python3", "C++", "3.5G 2", "Wi-Fi"],
])
def test_user_dictionary_lines_as_jieba_reads_them(tmp_path, lines):
    """Odd lines, in a small main dictionary, so that the frequencies jieba
    suggests depend on each word added before."""
    main = tmp_path / "dict.txt"
    main.write_text("中国 5\n中 3\n国 4\n大学 3\n学生 8\n大 2\n生 1\n前 2\n云 2\n计算 3\nPython 2\n", encoding="utf-8")
    user = tmp_path / "user.txt"
    user.write_bytes("\n".join(lines).encode("utf-8"))
    tokenizer = fresh_tokenizer(str(main), tmp_path)
    tokenizer.load_userdict(str(user))
    lexicon = Lexicon.from_file(main).with_user_dictionary(user)
    assert lexicon._frequencies.total == tokenizer.total
    assert {w: tokenizer.FREQ[w] for w in lexicon} == dict(lexicon.items())
    assert all(f == 0 or w in lexicon for w, f in tokenizer.FREQ.items())
    assert lexicon._frequencies.force_split == jieba.finalseg.Force_Split_Words
    for text in ["中国大学生前来云计算", "大学生", "云计算 Python3 C++ 3.5G", "中国中国 hello world"]:
        assert lexicon.segment(text, method="frequency") == tokenizer.lcut(text, HMM=False)
        assert lexicon.segment(text, method="hmm") == tokenizer.lcut(text)
    splitting(())


@needs_jieba
def test_the_tables_are_jiebas(dict_txt):
    """HMM.from_jieba() holds what jieba's files say, as the model reads them."""
    folder = os.path.join(os.path.dirname(dict_txt), "finalseg")
    tables = Tables.read(folder)
    assert HMM.from_jieba()._tables == HMM(tables.start, tables.trans, tables.emit)._tables
