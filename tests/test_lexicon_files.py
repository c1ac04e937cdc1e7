"""Lexicon across processes and files: pickling through the per-process
cache (digests computed where a lexicon arrives), save and load, and what a
corrupt, truncated or foreign file gives."""

import copy
import multiprocessing
import os
import pickle
import random
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import handle_tasks  # noqa: E402
from ondrel_velarin import Lexicon  # noqa: E402
from ondrel_velarin.handle import cache_info, clear_cache  # noqa: E402
from ondrel_velarin.lexicon import LexiconFileError  # noqa: E402
from ondrel_velarin.wordlist import WordListError  # noqa: E402
from test_lexicon import random_lexicon_case  # noqa: E402

KINDS = {
    "none": ["中文", "ab", "", "\0x"],
    "int32": {"中文": 3, "ab": -7, "": 0},
    "int64": {"a" * 300: 2**40, "b": -(2**63)},
    "str": {"中文": "中文字", "ab": "", "x": "\0\U0001F600"},
    "objects": {"a": 1.5, "b": (1, "x"), "c": None, "d": 2**80},
    "empty": [],
}


@pytest.fixture(autouse=True)
def fresh_cache():
    clear_cache()
    yield
    clear_cache()


@pytest.fixture
def jieba_file(tmp_path):
    path = tmp_path / "dict.txt"
    path.write_text("中文 3000 n\n分词 12\n中文字 5 v\n", encoding="utf-8")
    return path


def same(a: Lexicon, b: Lexicon) -> bool:
    return list(a.items()) == list(b.items()) and [a.tag(w) for w in a] == [b.tag(w) for w in b]


@pytest.mark.parametrize("kind", KINDS)
def test_pickles_and_copies_stand_for_the_same_lexicon(kind):
    lex = Lexicon(KINDS[kind])
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        # In the process that pickled it, the copy is the lexicon itself.
        assert pickle.loads(pickle.dumps(lex, protocol)) is lex
    assert copy.copy(lex) is lex and copy.deepcopy(lex) is lex
    sent = pickle.dumps(lex)
    clear_cache()
    again = pickle.loads(sent)
    assert again is not lex and same(again, lex) and type(again) is Lexicon
    assert pickle.loads(sent) is again and cache_info().builds == 1


def test_a_file_lexicon_pickles_as_its_path(jieba_file):
    lex = Lexicon.from_file(jieba_file)
    sent = pickle.dumps(lex)
    assert len(sent) < 300 + len(str(jieba_file))
    clear_cache()
    assert same(pickle.loads(sent), lex) and lex.tag("中文字") == "v"
    clear_cache()
    jieba_file.write_text("中文 1\n", encoding="utf-8")
    with pytest.raises(WordListError, match="changed since it was sent"):
        pickle.loads(sent)
    assert cache_info().builds == 0


def test_spawned_workers_build_once_each(jieba_file):
    lexicons = [Lexicon(KINDS["objects"]), Lexicon.from_file(jieba_file), Lexicon(KINDS["str"])]
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        for lex in lexicons:
            # Each task unpickles its own copy; the worker builds the dictionary once.
            results = [pool.submit(handle_tasks.lexicon_answers, lex, "中文字ab").result() for _ in range(3)]
            assert [r[:2] for r in results] == [(lex.prefixes("中文字ab"), sorted(lex.items()))] * 3
            assert len({r[2] for r in results}) == 1


def test_an_altered_image_is_refused_where_it_arrives():
    lex = Lexicon({"ab": 1, "cd": 2})
    function, (image, outside) = lex.__reduce__()
    clear_cache()
    for altered in (image[:-1], image[:40] + bytes([image[40] ^ 1]) + image[41:], b"x" + image[1:]):
        with pytest.raises(ValueError):
            function(altered, outside)
    assert cache_info().builds == 0 and same(function(image, outside), lex)


@pytest.mark.parametrize("kind", KINDS)
def test_save_and_load(tmp_path, kind):
    lex = Lexicon(KINDS[kind])
    path = tmp_path / "words.lex"
    if kind == "objects":
        with pytest.raises(TypeError, match="keeps None, int and str values, not float, int, tuple"):
            lex.save(path)
        assert not path.exists() and not list(tmp_path.iterdir())
        return
    lex.save(path)
    loaded = Lexicon.load(path)
    assert same(loaded, lex) and loaded.value_kind == lex.value_kind


def test_save_and_load_keep_tags_and_random_lexicons(tmp_path, jieba_file):
    lex = Lexicon.from_file(jieba_file)
    lex.save(tmp_path / "j.lex")
    assert same(Lexicon.load(tmp_path / "j.lex"), lex)
    rng = random.Random(5)
    for i in range(60):
        pairs, _ = random_lexicon_case(rng)
        pairs = [(w, v) for w, v in pairs if v is None or type(v) in (int, str)]
        lex = Lexicon(pairs)
        if lex.value_kind == "object" and not all(isinstance(v, str) for v in lex.values()):
            continue
        lex.save(tmp_path / "r.lex")
        assert same(Lexicon.load(tmp_path / "r.lex"), lex)


def test_a_failed_save_leaves_what_was_there(tmp_path):
    path = tmp_path / "words.lex"
    path.write_bytes(b"old")
    os.chmod(tmp_path, 0o500)
    try:
        if os.access(tmp_path, os.W_OK):
            pytest.skip("this user writes into read-only folders")
        with pytest.raises(PermissionError):
            Lexicon(["a"]).save(path)
    finally:
        os.chmod(tmp_path, 0o700)
    assert path.read_bytes() == b"old"


def good_image() -> bytes:
    return Lexicon({"中文": "x", "ab": "y", "abc": ""})._image()[0]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "not a lexicon file"),
        (b"hello, world\n" * 100, "not a lexicon file"),
        (b"VELARIN LEXICON\n", "truncated"),
        (None, "corrupt"),
    ],
)
def test_a_foreign_or_broken_file_is_one_clear_error(tmp_path, data, message):
    path = tmp_path / "bad.lex"
    path.write_bytes(data if data is not None else good_image()[:-3] + b"xyz")
    with pytest.raises(LexiconFileError) as excinfo:
        Lexicon.load(path)
    assert str(excinfo.value).startswith(f"{path}: ") and message in str(excinfo.value)
    assert "\n" not in str(excinfo.value)


def test_load_refuses_devices_and_missing_files(tmp_path):
    with pytest.raises(LexiconFileError, match="^/dev/zero: not a lexicon file"):
        Lexicon.load("/dev/zero")
    with pytest.raises(LexiconFileError, match="^cannot read"):
        Lexicon.load(tmp_path / "missing.lex")


def test_every_cut_and_every_changed_byte_is_an_error():
    image = good_image()
    for cut in range(len(image)):
        with pytest.raises(ValueError):
            Lexicon._from_image(image[:cut], None)
    rng = random.Random(3)
    for at in range(len(image)):
        changed = bytearray(image)
        changed[at] ^= 1 << rng.randrange(8)
        with pytest.raises(ValueError):
            Lexicon._from_image(bytes(changed), None)
    with pytest.raises(ValueError, match="bytes after its end"):
        Lexicon._from_image(image + b"\0", None)
