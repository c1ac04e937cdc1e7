"""VelarinHandle: pickles as its words, builds its trie once per process,
and runs in process pools and on a Dask cluster with worker processes."""

import copy
import logging
import multiprocessing
import pickle
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import handle_tasks  # noqa: E402
from ondrel_velarin import Velarin, VelarinHandle, longest_matches, segment  # noqa: E402
from ondrel_velarin import handle as handle_module  # noqa: E402
from ondrel_velarin.handle import cache_info, clear_cache  # noqa: E402
from ondrel_velarin.wordlist import WordListError  # noqa: E402

WORDS = ["图书", "图书馆", "我们", "读书", "在", "ab", "abc", "\x00x", "é"]
TEXTS = ["我们在图书馆读书", "", "abcab\x00x", "éab图书馆里", "zz", "我们" * 50]


@pytest.fixture
def word_file(tmp_path):
    path = tmp_path / "words.txt"
    path.write_text("".join(w + "\n" for w in WORDS), encoding="utf-8")
    return path


@pytest.fixture(params=["words", "file"])
def any_handle(request, word_file):
    return VelarinHandle(WORDS) if request.param == "words" else VelarinHandle.from_file(word_file, "lines")


@pytest.fixture(autouse=True)
def fresh_cache():
    clear_cache()
    yield
    clear_cache()


def test_answers_as_the_trie_does():
    h = VelarinHandle(iter(WORDS))
    v = Velarin(WORDS)
    for text in TEXTS:
        assert h(text) == h.segment(text) == segment(v, text)
        assert h.longest_matches(text) == longest_matches(v, text)
        assert h.get_closest_prefix(text) == v.get_closest_prefix(text)
    assert sorted(h.trie) == sorted(set(WORDS))


@pytest.mark.parametrize("text", ["abc2024 图书馆x9", "Debian在图书馆", "ab12"])
def test_segment_options_reach_the_scan(text):
    h, v = VelarinHandle(WORDS), Velarin(WORDS)
    assert h.segment(text, alnum_runs=True) == segment(v, text, alnum_runs=True) != segment(v, text)
    with pytest.raises(TypeError):
        h.segment(text, runs=True)


@pytest.mark.parametrize(
    "copier",
    [copy.copy, copy.deepcopy] + [
        lambda h, p=p: pickle.loads(pickle.dumps(h, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)
    ],
)
def test_copies_stand_for_the_same_words(copier, any_handle):
    h = any_handle
    h("ab")  # a built trie must not stop it from pickling, nor travel with it
    again = copier(h)
    assert again.digest == h.digest and repr(again) == repr(h)
    assert [again(t) for t in TEXTS] == [h(t) for t in TEXTS]
    assert again.trie is h.trie  # same process: found in the cache
    assert cache_info().builds == 1


def test_pickle_carries_words_not_the_trie():
    words = [f"word{i}" for i in range(2000)]
    h = VelarinHandle(words)
    h("word1")
    assert len(pickle.dumps(h)) < len(pickle.dumps(words))


@pytest.mark.parametrize(
    "words, other",
    [
        (["ab", "c"], ["a", "bc"]),  # the same bytes, cut differently
        (["ab", "c"], ["ab", "c", "d"]),
        (["x"], ["x", ""]),
    ],
)
def test_different_words_are_different_dictionaries(words, other):
    first, second = VelarinHandle(words), VelarinHandle(other)
    assert first.digest != second.digest
    assert first.trie is not second.trie
    assert cache_info().builds == 2


@pytest.mark.parametrize(
    "words, error",
    [
        (["a", b"b"], TypeError),
        (["a", None], TypeError),
        (["\ud800"], UnicodeEncodeError),
    ],
)
def test_bad_words_fail_when_made(words, error):
    with pytest.raises(error):
        VelarinHandle(words)


def test_cache_keeps_the_most_recent_tries(monkeypatch):
    monkeypatch.setattr(handle_module, "CACHE_LIMIT", 2)
    first, second, third = (VelarinHandle([w]) for w in ("a", "b", "c"))
    kept = first.trie
    second.trie, third.trie
    info = cache_info()
    assert (info.builds, info.size, info.limit) == (3, 2, 2)
    # The first handle keeps its own trie; a new copy must build it again.
    assert first.trie is kept
    assert copy.copy(first).trie is not kept
    assert cache_info().builds == 4


def test_forked_children_use_the_parents_trie():
    h = VelarinHandle(WORDS)
    h("")
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as pool:
        results = list(pool.map(handle_tasks.segment_and_count, [copy.copy(h)] * len(TEXTS), TEXTS))
    assert results == [(h(t), 1) for t in TEXTS]


def test_spawned_worker_builds_once(any_handle):
    h = any_handle
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        # Each task unpickles its own copy of the handle.
        results = [pool.submit(handle_tasks.segment_and_count, h, t).result() for t in TEXTS]
    assert results == [(segment(Velarin(WORDS), t), 1) for t in TEXTS]
    assert cache_info().builds == 0


@pytest.mark.parametrize(
    "content, format",
    [
        ("".join(w + "\n" for w in WORDS), "lines"),
        ("\ufeff" + "".join(f"{w} {i} n\r\n" for i, w in enumerate(WORDS)), "auto"),
        ("".join(f"{w} 3\n" for w in WORDS), "jieba"),
        ("".join(f"{w}\t0.5\n" for w in WORDS), "tsv"),
    ],
)
def test_file_in_each_format(tmp_path, content, format):
    path = tmp_path / "dict.txt"
    path.write_text(content, encoding="utf-8")
    h = pickle.loads(pickle.dumps(VelarinHandle.from_file(path, format)))
    assert sorted(h.trie) == sorted(set(WORDS))
    assert len(pickle.dumps(h)) < 300 + len(str(path))  # the path, not the words


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "cannot read"),
        (b"", "no words in"),
        (b"\n\r\n", "no words in"),
        (b"ab\n\xff\n", "line 2 is not UTF-8"),
    ],
)
def test_bad_file_fails_when_made(tmp_path, content, message):
    path = tmp_path / "dict.txt"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(WordListError, match=message):
        VelarinHandle.from_file(path)


def test_changed_file_is_an_error_where_it_is_read(word_file):
    h = VelarinHandle.from_file(word_file)
    h("")
    sent = pickle.dumps(h)
    word_file.write_text("ab\n", encoding="utf-8")
    # Where the trie was built from the old content, it is still that dictionary.
    assert pickle.loads(sent)("图书馆") == ["图书馆"]
    clear_cache()
    fresh = pickle.loads(sent)
    with pytest.raises(WordListError, match="changed since the handle was made"):
        fresh("图书馆")
    word_file.unlink()
    with pytest.raises(WordListError, match="cannot read"):
        fresh("图书馆")
    assert cache_info().builds == 0
    word_file.write_text("".join(w + "\n" for w in WORDS), encoding="utf-8")
    assert fresh("图书馆") == ["图书馆"]


def test_relative_path_is_kept_absolute(word_file, tmp_path, monkeypatch):
    monkeypatch.chdir(word_file.parent)
    h = VelarinHandle.from_file(word_file.name)
    monkeypatch.chdir(tmp_path.parent)
    assert h("我们在图书馆") == ["我们", "在", "图书馆"]


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.ERROR
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def test_dask_bag_on_worker_processes(dask_client, any_handle):
    import dask.bag

    h = any_handle
    texts = [t + str(i) for i in range(40) for t in TEXTS]
    bag = dask.bag.from_sequence(texts, npartitions=8)
    assert dask_client.compute(bag.map(h)).result(timeout=60) == [segment(Velarin(WORDS), t) for t in texts]
    # Each worker built the trie at most once for all its tasks.
    builds = dask_client.run(handle_tasks.builds)
    assert len(builds) == 2 and all(n <= 1 for n in builds.values())
    dask_client.run(clear_cache)


def test_spark_map_partitions(any_handle):
    pytest.importorskip("pyspark")
    from pyspark.sql import SparkSession

    spark = SparkSession.builder.master("local[2]").getOrCreate()
    try:
        h = any_handle
        lines = spark.sparkContext.parallelize(TEXTS * 4, 4)
        segmented = lines.mapPartitions(lambda texts: (" ".join(h(t)) for t in texts)).collect()
    finally:
        spark.stop()
    assert segmented == [" ".join(segment(Velarin(WORDS), t)) for t in TEXTS * 4]


def altered_states():
    """Pickled states that do not stand for what they say: lengths that do not
    cut the text, A's digest with B's words, a file's digest changed, and
    things that are no handle's state at all."""
    a, b = VelarinHandle(["图书", "馆"]), VelarinHandle(["图书馆"])
    words_a, key_a = a.__getstate__()
    words_b, _ = b.__getstate__()
    lengths = type(words_a.lengths)("B", [2, 2])
    file_source = handle_module._File("/no/such/file", "lines", "0" * 64)
    return {
        "lengths past the text": (handle_module._Words(words_a.text, lengths), key_a),
        "A's digest, B's words": (words_b, key_a),
        "the text cut differently": (handle_module._Words("图书馆", type(words_a.lengths)("B", [1, 2])), key_a),
        "a file's digest changed": (file_source, "file:lines:" + "1" * 64),
        "a file with a bad format": (handle_module._File("/x", "csv", "0" * 64), "file:csv:" + "0" * 64),
        "no handle's state": ("words", key_a),
        "a digest that is not a str": (words_a, 5),
    }, a


@pytest.mark.parametrize("name", list(altered_states()[0]))
def test_an_altered_pickle_is_refused_and_never_cached(name):
    states, genuine = altered_states()
    sent = pickle.dumps(genuine)
    handle = VelarinHandle.__new__(VelarinHandle)
    with pytest.raises(ValueError, match="VelarinHandle"):
        handle.__setstate__(states[name])
    assert cache_info().builds == 0
    # A genuine copy of A, after the refusal, is A's dictionary.
    assert pickle.loads(sent)("图书馆") == ["图书", "馆"]


def test_a_forged_pickle_stream_is_refused():
    a, b = VelarinHandle(["图书", "馆"]), VelarinHandle(["图书馆"])
    # B's words under A's digest, as a stream would carry them.
    forged = pickle.dumps(b).replace(b.digest.encode(), a.digest.encode())
    with pytest.raises(ValueError, match="is not the digest of what came with it"):
        pickle.loads(forged)
    assert a("图书馆") == ["图书", "馆"] and cache_info().builds == 1


def test_a_handle_and_its_lexicon_are_one_dictionary(word_file):
    h = VelarinHandle(WORDS)
    assert h.trie is h.lexicon.trie and sorted(h.lexicon) == sorted(set(WORDS))
    assert copy.copy(h).lexicon is h.lexicon and cache_info().builds == 1
    f = VelarinHandle.from_file(word_file, "lines")
    assert f.lexicon is not h.lexicon and list(f.lexicon) == list(h.lexicon)
