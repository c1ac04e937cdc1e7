"""Dictionaries that travel to worker processes, and the cache that builds
each one once per process.

A `Lexicon` pickles as its image (its words, values and tags in one block,
as `save` writes it), or, made by `Lexicon.from_file`, as the file's path,
format and content digest. A `VelarinHandle` stands in for a `Velarin`, which
refuses to be pickled: it pickles as its words (or as a word-list file's path,
format and content digest), and the first time it is used in a process it
builds its dictionary there.

Whatever arrives, the process computes the digest of what it was given
itself, and that digest, never one that came with it, keys a small
per-process cache of lexicons: every later task in that process, whichever
copy it received, finds the dictionary there. A handle whose pickled digest
does not match its words is refused. A forked child inherits the parent's
cache, built dictionaries included, so building before forking costs the
memory once.
"""

from __future__ import annotations

import hashlib
import os
import pickle
import threading
from array import array
from collections.abc import Iterable
from itertools import accumulate, pairwise
from typing import TYPE_CHECKING, Any, Callable, NamedTuple

from .lexicon import Lexicon
from .scan_c import longest_matches, segment
from .wordlist import FORMATS, WordListError, parse_words, read_word_list

if TYPE_CHECKING:
    from .impl_c import Velarin

# How many dictionaries one process keeps. A long-lived worker that is sent
# many would otherwise keep every one: past this the least recently
# requested one leaves the cache (objects still holding it keep it alive
# until they go). Assign to change it.
CACHE_LIMIT = 4


class CacheInfo(NamedTuple):
    """This process's cache: dictionaries found there, built, held, the limit."""

    hits: int
    builds: int
    size: int
    limit: int


class _Cache:
    def __init__(self) -> None:
        # Insertion order is the order of last request: the oldest goes first.
        self.entries: dict[str, Lexicon[Any]] = {}
        self.hits = self.builds = 0
        # Held while a dictionary is built, so threads of one worker build it once.
        self.lock = threading.Lock()


_cache = _Cache()


def _reset_lock_in_child() -> None:
    # A fork while another thread held the lock would leave it held forever.
    _cache.lock = threading.Lock()


os.register_at_fork(after_in_child=_reset_lock_in_child)


def cache_info() -> CacheInfo:
    """How this process's cache has been used; `builds` counts dictionaries built here."""
    return CacheInfo(_cache.hits, _cache.builds, len(_cache.entries), CACHE_LIMIT)


def clear_cache() -> None:
    """Drops this process's cached dictionaries (objects that hold one keep it) and zeroes the counts."""
    with _cache.lock:
        _cache.entries.clear()
        _cache.hits = _cache.builds = 0


def _keep(key: str, lexicon: Lexicon[Any]) -> None:
    """Puts a dictionary in the cache as the most recent; the lock is held."""
    _cache.entries.pop(key, None)
    _cache.entries[key] = lexicon
    while len(_cache.entries) > max(CACHE_LIMIT, 0):
        del _cache.entries[next(iter(_cache.entries))]


def _once(key: str, build: Callable[[], Lexicon[Any]]) -> Lexicon[Any]:
    """The cached dictionary under `key`, built by `build` if there is none."""
    with _cache.lock:
        found = _cache.entries.get(key)
        if found is not None:
            _cache.hits += 1
            _keep(key, found)
            return found
        made = build()
        _cache.builds += 1
        _keep(key, made)
        return made


def _image_key(image: bytes, outside: bytes) -> str:
    digest = hashlib.sha256(image)
    digest.update(outside)
    return "image:" + digest.hexdigest()


def lexicon_reduction(lexicon: Lexicon[Any]) -> tuple[Callable[..., Lexicon[Any]], tuple[Any, ...]]:
    """How a Lexicon pickles: its file's path, format and digest, or its image
    and what the image leaves out (values of other types, and the frequency
    record that a user dictionary's words were counted into), pickled apart.
    It is also put in this process's cache under that digest, so that copies
    made here, and in children forked from here, find it."""
    origin = getattr(lexicon, "_origin", None)
    if origin is not None:
        return _lexicon_from_file, origin
    image, outside = lexicon._image()
    record = getattr(lexicon, "_frequencies", None)
    counted = None if record is None or record.total is None else (record.total, sorted(record.force_split))
    extra = b"" if outside is None and counted is None else pickle.dumps((outside, counted), protocol=pickle.HIGHEST_PROTOCOL)
    with _cache.lock:
        _cache.entries.setdefault(_image_key(image, extra), lexicon)
    return _lexicon_from_image, (image, extra)


def _lexicon_from_image(image: bytes, extra: bytes) -> Lexicon[Any]:
    """Unpickles a Lexicon sent as its image, keyed by the digest of what came."""
    def build() -> Lexicon[Any]:
        outside, counted = pickle.loads(extra) if extra else (None, None)
        lexicon: Lexicon[Any] = Lexicon._from_image(image, outside)
        if counted is not None:
            from .frequency import Frequencies

            total, force_split = counted
            lexicon._frequencies = Frequencies(total, frozenset(force_split))
        return lexicon

    return _once(_image_key(image, extra), build)


def _lexicon_from_file(path: str, format: str, sha256: str) -> Lexicon[Any]:
    """Unpickles a Lexicon sent as its file. The cache keeps only lexicons read
    from content with the digest they are kept under: a file whose content
    changed since is an error here, never another dictionary."""
    def build() -> Lexicon[Any]:
        lexicon = Lexicon.from_file(path, format)
        assert lexicon._origin is not None
        if lexicon._origin[2] != sha256:
            raise _changed(path, sha256, lexicon._origin[2])
        return lexicon

    return _once(f"lexicon-file:{format}:{sha256}", build)


def _changed(path: str, was: str, now: str) -> WordListError:
    return WordListError(
        f"{path} changed since it was sent (sha256 {was[:12]}..., now {now[:12]}...): "
        "make the dictionary again to use the new words"
    )


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


def _checked(state: object) -> tuple[_Words | _File, str]:
    """A pickled handle's words or file and its digest, refused (ValueError)
    unless the digest is the one of what came with it."""
    if not (isinstance(state, tuple) and len(state) == 2 and isinstance(state[1], str)):
        raise ValueError("not the pickled state of a VelarinHandle")
    source, key = state
    if isinstance(source, _Words):
        sound = (
            isinstance(source.text, str)
            and isinstance(source.lengths, array)
            and source.lengths.typecode in ("B", "I")
            and sum(source.lengths) == len(source.text)
        )
    elif isinstance(source, _File):
        sound = (
            isinstance(source.path, str)
            and source.format in FORMATS
            and isinstance(source.sha256, str)
            and len(source.sha256) == 64
            and all(c in "0123456789abcdef" for c in source.sha256)
        )
    else:
        sound = False
    if not sound:
        raise ValueError("a pickled VelarinHandle whose words or file are not what a handle holds: refused")
    actual = source.digest()
    if key != actual:
        raise ValueError(
            f"a pickled VelarinHandle whose digest ({key[:24]}...) is not the digest of what came with it "
            f"({actual[:24]}...): refused"
        )
    return source, key


class VelarinHandle:
    """A word list that pickles cheaply and becomes a `Velarin` once per process.

    `VelarinHandle(words)` keeps the words; `VelarinHandle.from_file(path)`
    keeps the file's path and a digest of its content, and every process
    reads the file itself. Calling the handle segments a text, so it can be
    passed straight to `map`. A `Lexicon` does all this and more; a handle's
    dictionary is one (`handle.lexicon`).
    """

    __slots__ = ("_source", "_key", "_lexicon")

    _source: _Words | _File
    _key: str
    _lexicon: Lexicon[None] | None

    def __init__(self, words: Iterable[str]) -> None:
        source = _Words.pack(words)
        self._set(source, source.digest())

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], format: str = "auto") -> "VelarinHandle":
        """A handle for a word-list file in a format the command-line tool reads
        ("auto", "lines", "jieba", "tsv" or "vocab"). The file is read now, to
        report a bad one at once; every process that uses the handle reads it
        again, and raises WordListError if its content is no longer what it
        was here."""
        source, _ = _File.load(path, format)
        handle = cls.__new__(cls)
        handle._set(source, source.digest())
        return handle

    def _set(self, source: _Words | _File, key: str) -> None:
        self._source, self._key, self._lexicon = source, key, None

    def __getstate__(self) -> tuple[_Words | _File, str]:
        return self._source, self._key

    def __setstate__(self, state: tuple[_Words | _File, str]) -> None:
        self._set(*_checked(state))

    def __repr__(self) -> str:
        return f"<VelarinHandle {self._source.describe()} {self._key.rsplit(':', 1)[1][:12]}>"

    @property
    def digest(self) -> str:
        """What identifies the dictionary: the cache key every process uses."""
        return self._key

    @property
    def lexicon(self) -> Lexicon[None]:
        """This process's dictionary for the handle (its words, values None), built on first use."""
        if self._lexicon is None:
            source = self._source
            self._lexicon = _once(self._key, lambda: Lexicon(source.read()))
        return self._lexicon

    @property
    def trie(self) -> Velarin:
        """This process's `Velarin` for the handle, built on first use."""
        return self.lexicon.trie

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
