"""Lexicon: an immutable mapping from words to values over the package's trie.

Every question is one native call: membership and values at the cost of one
walk, ids both ways, the words a text begins with, the words a prefix begins,
and, over whole texts, segmentation and every occurrence of every word.
"""

from __future__ import annotations

import os
from _collections_abc import ItemsView, KeysView, Mapping, ValuesView

from . import lexicon_c

# collections.abc is these very classes; its own module, and the collections
# package it lives in, would cost more to import than this whole module.


class Lexicon(lexicon_c.Lexicon):
    """An immutable mapping from words (str) to values, in code point order.

    Lexicon(words) takes an iterable of words (each value None), of
    (word, value) pairs, or a mapping; a word given twice keeps its last
    value, as dict(pairs) does. Lexicon.from_file(path) reads the word-list
    formats of the package's tool.

    Each word has an id, its place in code point order: key_id(word) and
    restore_key(id). The trie's questions take a text and an optional start
    (as text[start:], without the copy): longest_prefix, longest_prefix_item,
    prefixes, prefix_items; completions take a prefix: keys(prefix),
    values(prefix), items(prefix), has_keys_with_prefix(prefix).
    """

    __slots__ = ("_origin",)
    # Lexicon[int] at run time, as for the standard containers.
    __class_getitem__ = classmethod(type(list[int]))

    _origin: tuple[str, str, str] | None  # a file's (path, format, sha256)

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], format: str = "auto") -> Lexicon:
        """The lexicon of a word-list file: "lines" (one word per line, values
        None), "jieba" ("word freq [tag]": the frequency as an int, the tag
        kept for tag()), "tsv" ("key<TAB>value...": the text after the tab),
        "vocab" (one token per line: its line number from 0), or "auto", which
        detects "jieba", "tsv" or "lines" as the tool does. A file that cannot
        be read, is not UTF-8 or has a line its format cannot read raises
        WordListError naming it (and the line)."""
        import hashlib

        from . import wordlist

        name = os.path.abspath(os.fsdecode(path))
        data = wordlist.read_word_list(name)
        words, values, tags, used = wordlist.parse_entries(data, name, format)
        lexicon = cls._from_columns(words, values, tags)
        lexicon._origin = (name, used, hashlib.sha256(data).hexdigest())
        return lexicon

    def keys(self, prefix: str | None = None):
        """A view of the words; with a prefix, the list of words that begin with it."""
        return _Words(self) if prefix is None else self._completions(prefix, 0)

    def values(self, prefix: str | None = None):
        """A view of the values in word order; with a prefix, the list of the
        values of the words that begin with it."""
        return _Values(self) if prefix is None else self._completions(prefix, 1)

    def items(self, prefix: str | None = None):
        """A view of the (word, value) pairs; with a prefix, the list of the
        pairs whose words begin with it."""
        return _Items(self) if prefix is None else self._completions(prefix, 2)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, lexicon_c.Lexicon):
            return len(self) == len(other) and all(a == b for a, b in zip(self._iter_items(), other._iter_items()))
        if isinstance(other, Mapping):
            return len(self) == len(other) and all(k in other and other[k] == v for k, v in self._iter_items())
        return NotImplemented

    __hash__ = None

    def __repr__(self) -> str:
        shown = ", ".join(f"{k!r}: {v!r}" for k, v in _first(self, 3))
        more = ", ..." if len(self) > 3 else ""
        origin = getattr(self, "_origin", None)
        source = f" from {origin[0]!r} ({origin[1]} format)" if origin else ""
        words = "word" if len(self) == 1 else "words"
        return f"<Lexicon of {len(self):,} {words}{source}: {{{shown}{more}}}>"

    def __reduce__(self):
        items = list(self._iter_items())
        tags = [self.tag(w) for w, _ in items] if self.tag_names else None
        return (_rebuild, (type(self), [w for w, _ in items], [v for _, v in items], tags))


def _first(lexicon: Lexicon, n: int):
    it = lexicon._iter_items()
    return [item for item, _ in zip(it, range(n))]


def _rebuild(cls, words, values, tags):
    return cls._from_columns(words, values, tags)


class _Words(KeysView):
    __slots__ = ()

    def __iter__(self):
        return iter(self._mapping)


class _Values(ValuesView):
    __slots__ = ()

    def __iter__(self):
        return self._mapping._iter_values()


class _Items(ItemsView):
    __slots__ = ()

    def __iter__(self):
        return self._mapping._iter_items()


Mapping.register(Lexicon)
