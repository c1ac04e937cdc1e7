"""VelarinHandle: pickles as its words, builds its trie once per process,
and runs in process pools and on a Dask cluster with worker processes."""

import copy
import logging
import multiprocessing
import os
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

WORDS = ["图书", "图书馆", "我们", "读书", "在", "ab", "abc", "\x00x", "é"]
TEXTS = ["我们在图书馆读书", "", "abcab\x00x", "éab图书馆里", "zz", "我们" * 50]


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


@pytest.mark.parametrize(
    "copier",
    [copy.copy, copy.deepcopy] + [
        lambda h, p=p: pickle.loads(pickle.dumps(h, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)
    ],
)
def test_copies_stand_for_the_same_words(copier):
    h = VelarinHandle(WORDS)
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


def test_spawned_worker_builds_once():
    h = VelarinHandle(WORDS)
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        # Each task unpickles its own copy of the handle.
        results = [pool.submit(handle_tasks.segment_and_count, h, t).result() for t in TEXTS]
    assert results == [(segment(Velarin(WORDS), t), 1) for t in TEXTS]
    assert cache_info().builds == 0


def under_sanitizer() -> bool:
    return "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.ERROR
    ) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.skipif(under_sanitizer(), reason="worker processes start slowly under the sanitizer")
def test_dask_bag_on_worker_processes(dask_client):
    import dask.bag

    h = VelarinHandle(WORDS)
    texts = [t + str(i) for i in range(40) for t in TEXTS]
    bag = dask.bag.from_sequence(texts, npartitions=8)
    assert dask_client.compute(bag.map(h)).result(timeout=60) == [segment(Velarin(WORDS), t) for t in texts]
    builds = dask_client.run(handle_tasks.builds)
    assert len(builds) == 2 and all(n <= 1 for n in builds.values())
