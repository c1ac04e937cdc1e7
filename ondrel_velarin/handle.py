"""A picklable stand-in for a trie, for worker processes and cluster engines.

A `Velarin` lives in native memory and refuses to be pickled, so it cannot be
sent to a process pool or a cluster's tasks. A `VelarinHandle` travels
instead: it pickles as its words (or as a word-list file's path, format and
content digest), and the first time it is used in a process it builds the
trie there, once, into a small per-process cache keyed by that digest. Every
later task in that process, whichever copy of the handle it received, finds
the trie in the cache. A forked child inherits the parent's cache, built trie
pages included, so building before forking costs the memory once.
"""

import hashlib
import os
import threading
from array import array
from collections import OrderedDict
from collections.abc import Iterable
from itertools import accumulate, pairwise
from typing import Any, NamedTuple

from .impl_c import Velarin
from .scan_c import longest_matches, segment
from .wordlist import WordListError, parse_words, read_word_list

# How many tries one process keeps for handles that want them. A long-lived
# worker that is sent many dictionaries would otherwise keep every one: past
# this the least recently requested trie leaves the cache (handles still
# holding it keep it alive until they go). Assign to change it.
CACHE_LIMIT = 4


class CacheInfo(NamedTuple):
    """This process's cache: tries found there, tries built, tries held, the limit."""

    hits: int
    builds: int
    size: int
    limit: int


class _Cache:
    def __init__(self) -> None:
        self.tries: OrderedDict[str, Velarin] = OrderedDict()
        self.hits = self.builds = 0
        # Held while a trie is built, so threads of one worker build it once.
        self.lock = threading.Lock()


_cache = _Cache()


def _reset_lock_in_child() -> None:
    # A fork while another thread held the lock would leave it held forever.
    _cache.lock = threading.Lock()


os.register_at_fork(after_in_child=_reset_lock_in_child)


def cache_info() -> CacheInfo:
    """How this process's trie cache has been used; `builds` counts tries built here."""
    return CacheInfo(_cache.hits, _cache.builds, len(_cache.tries), CACHE_LIMIT)


def clear_cache() -> None:
    """Drops this process's cached tries (handles that hold one keep it) and zeroes the counts."""
    with _cache.lock:
        _cache.tries.clear()
        _cache.hits = _cache.builds = 0


class _Words(NamedTuple):
    """A word sequence packed as one string and each word's length in code
    points: a few bytes a word to keep and to pickle, against some sixty for
    a tuple of separate strings."""

    text: str
    lengths: array[int]

    @classmethod
    def pack(cls, words: Iterable[str]) -> "_Words":
        kept = list(words)
        for i, word in enumerate(kept):
            if not isinstance(word, str):
                raise TypeError(f"word {i} is {type(word).__name__}, not str")
        lengths = array("I", map(len, kept))
        # One byte a length where every word allows it, as in natural word lists.
        return cls("".join(kept), array("B", lengths) if max(lengths, default=0) < 256 else lengths)

    def digest(self) -> str:
        # Strict UTF-8: a word the trie could not store fails here, at once.
        h = hashlib.sha256(self.lengths.tobytes())
        h.update(self.text.encode("utf-8"))
        return "words:" + h.hexdigest()

    def read(self) -> list[str]:
        ends = accumulate(self.lengths, initial=0)
        return [self.text[start:end] for start, end in pairwise(ends)]

    def describe(self) -> str:
        return f"{len(self.lengths):,} words"


class _File(NamedTuple):
    """A word-list file, its format, and the sha256 of the content it had."""

    path: str
    format: str
    sha256: str

    @classmethod
    def load(cls, path: str | os.PathLike[str], format: str) -> tuple["_File", list[str]]:
        """The file as it is now, and its words: both from one read."""
        name = os.path.abspath(os.fsdecode(path))
        data = read_word_list(name)
        words, used = parse_words(data, name, format)
        if not words:
            raise WordListError(f"no words in {name} (read as {used})")
        return cls(name, format, hashlib.sha256(data).hexdigest()), words

    def digest(self) -> str:
        return f"file:{self.format}:{self.sha256}"

    def read(self) -> list[str]:
        now, words = _File.load(self.path, self.format)
        if now.sha256 != self.sha256:
            raise WordListError(
                f"{self.path} changed since the handle was made from it (sha256 {self.sha256[:12]}..., "
                f"now {now.sha256[:12]}...): make a new handle to use the new words"
            )
        return words

    def describe(self) -> str:
        return repr(self.path)


class VelarinHandle:
    """A word list that pickles cheaply and becomes a `Velarin` once per process.

    `VelarinHandle(words)` keeps the words; `VelarinHandle.from_file(path)`
    keeps the file's path and a digest of its content, and every process
    reads the file itself. Calling the handle segments a text, so it can be
    passed straight to `map`.
    """

    __slots__ = ("_source", "_key", "_trie")

    _source: _Words | _File
    _key: str
    _trie: Velarin | None

    def __init__(self, words: Iterable[str]) -> None:
        source = _Words.pack(words)
        self._set(source, source.digest())

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], format: str = "auto") -> "VelarinHandle":
        """A handle for a word-list file in a format the command-line tool reads
        ("auto", "lines", "jieba" or "tsv"). The file is read now, to report a
        bad one at once; every process that uses the handle reads it again, and
        raises WordListError if its content is no longer what it was here."""
        source, _ = _File.load(path, format)
        handle = cls.__new__(cls)
        handle._set(source, source.digest())
        return handle

    def _set(self, source: _Words | _File, key: str) -> None:
        self._source, self._key, self._trie = source, key, None

    def __getstate__(self) -> tuple[_Words | _File, str]:
        return self._source, self._key

    def __setstate__(self, state: tuple[_Words | _File, str]) -> None:
        self._set(*state)

    def __repr__(self) -> str:
        return f"<VelarinHandle {self._source.describe()} {self._key.rsplit(':', 1)[1][:12]}>"

    @property
    def digest(self) -> str:
        """What identifies the dictionary: the cache key every process uses."""
        return self._key

    @property
    def trie(self) -> Velarin:
        """This process's `Velarin` for the handle, built on first use."""
        if self._trie is None:
            self._trie = self._lookup()
        return self._trie

    def _lookup(self) -> Velarin:
        with _cache.lock:
            trie = _cache.tries.get(self._key)
            if trie is not None:
                _cache.hits += 1
                _cache.tries.move_to_end(self._key)
                return trie
            trie = Velarin(self._source.read())
            _cache.builds += 1
            _cache.tries[self._key] = trie
            while len(_cache.tries) > max(CACHE_LIMIT, 0):
                _cache.tries.popitem(last=False)
            return trie

    def segment(self, text: str, **options: Any) -> list[str]:
        """`ondrel_velarin.segment` of the text with this handle's trie."""
        return segment(self.trie, text, **options)

    def __call__(self, text: str) -> list[str]:
        """The text's segments, as `segment(text)` gives them."""
        return segment(self.trie, text)

    def longest_matches(self, text: str) -> list[int]:
        """`ondrel_velarin.longest_matches` of the text with this handle's trie."""
        return longest_matches(self.trie, text)

    def get_closest_prefix(self, key: str) -> str:
        """The longest stored word that is a prefix of `key`, or ""."""
        return self.trie.get_closest_prefix(key)
