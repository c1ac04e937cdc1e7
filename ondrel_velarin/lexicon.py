"""Lexicon: an immutable mapping from words to values over the package's trie.

Every question is one native call: membership and values at the cost of one
walk, ids both ways, the words a text begins with, the words a prefix begins,
and, over whole texts, segmentation and every occurrence of every word.
"""

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

    __slots__ = ("_origin", "_frequencies")
    # Lexicon[int] at run time, as for the standard containers.
    __class_getitem__ = classmethod(type(list[int]))


    @classmethod
    def from_file(cls, path, format="auto"):
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
        if used == "jieba":
            from .frequency import Frequencies

            # jieba counts a word's every line in the total.
            lexicon._frequencies = Frequencies(sum(values))
        return lexicon

    def segment(self, text, method="longest", *, alnum_runs=True, hmm=None):
        """The segments of text, which join to it.

        method="longest": forward longest match, runs of letters and digits
        kept whole as the package's tool does (alnum_runs=False: every
        unmatched character a segment of its own).
        method="frequency": jieba's segmentation without its HMM
        (jieba.lcut(text, HMM=False)): the route of greatest probability by
        the words' frequencies, the lexicon's values (a jieba dictionary).
        method="hmm": jieba's with its HMM (jieba.lcut(text)): runs of single
        characters of that route decoded by the hidden Markov model whose
        tables `hmm` holds (an ondrel_velarin.HMM; by default the installed
        jieba package's, HMM.from_jieba())."""
        if method == "longest":
            return lexicon_c.Lexicon.segment(self, text, alnum_runs=alnum_runs)
        if method in ("frequency", "hmm"):
            return _frequency().segment(self, text, method, hmm)
        raise ValueError(f"unknown segmentation method {method!r}; one of 'longest', 'frequency', 'hmm'")

    def with_user_dictionary(self, source):
        """A new lexicon: this one, whose values are jieba frequencies, with a
        user dictionary added as jieba.load_userdict adds one. `source` is a
        file of `word [freq] [tag]` lines, or an iterable of (word, freq,
        tag) with None for what a line leaves out. The words are added in
        order: a word without a frequency gets the one jieba suggests from
        the dictionary as it stands then, a word given twice keeps its last,
        and the total grows by each word's frequency as it is added; a word
        given the frequency 0 is no candidate, and the HMM splits it into its
        characters wherever it finds it."""
        return _frequency().with_user_dictionary(self, source)

    def keys(self, prefix=None):
        """A view of the words; with a prefix, the list of words that begin with it."""
        return _Words(self) if prefix is None else self._completions(prefix, 0)

    def values(self, prefix=None):
        """A view of the values in word order; with a prefix, the list of the
        values of the words that begin with it."""
        return _Values(self) if prefix is None else self._completions(prefix, 1)

    def items(self, prefix=None):
        """A view of the (word, value) pairs; with a prefix, the list of the
        pairs whose words begin with it."""
        return _Items(self) if prefix is None else self._completions(prefix, 2)

    def __eq__(self, other):
        if isinstance(other, lexicon_c.Lexicon):
            return len(self) == len(other) and all(a == b for a, b in zip(self._iter_items(), other._iter_items()))
        if isinstance(other, Mapping):
            return len(self) == len(other) and all(k in other and other[k] == v for k, v in self._iter_items())
        return NotImplemented

    __hash__ = None

    def __repr__(self):
        shown = ", ".join(f"{k!r}: {v!r}" for k, v in _first(self, 3))
        more = ", ..." if len(self) > 3 else ""
        origin = getattr(self, "_origin", None)
        source = f" from {origin[0]!r} ({origin[1]} format)" if origin else ""
        words = "word" if len(self) == 1 else "words"
        return f"<Lexicon of {len(self):,} {words}{source}: {{{shown}{more}}}>"

    def __reduce__(self):
        from .handle import lexicon_reduction

        return lexicon_reduction(self)

    # Immutable: a copy is the lexicon itself.
    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def save(self, path):
        """Writes the lexicon to a file that load() reads: its words, values and
        tags, with a header and a checksum. Values must be None, ints or strs
        (pickle the lexicon for others). The file is written beside its place
        and moved there when complete, so a failed save leaves what was there."""
        image, outside = self._image()
        if outside is not None:
            kinds = sorted({type(v).__name__ for v in outside if not isinstance(v, (str, type(None)))})
            raise TypeError(f"save() keeps None, int and str values, not {', '.join(kinds)}: pickle the lexicon instead")
        import tempfile

        path = os.fspath(path)
        folder = os.path.dirname(os.path.abspath(path))
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".lexicon-", suffix=".part")
        try:
            with open(fd, "wb") as f:
                f.write(image)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise

    @classmethod
    def load(cls, path):
        """The lexicon that save() wrote to `path`. A file that cannot be read,
        or is not one that save() wrote whole (corrupt, truncated, of another
        version), raises LexiconFileError naming it."""
        from .wordlist import WordListError, read_word_list

        name = os.fsdecode(path)
        try:
            with open(path, "rb") as f:
                # What is not a lexicon file is told from its first bytes,
                # before anything more is read.
                head = f.read(len(lexicon_c.IMAGE_MAGIC))
                data = head + read_word_list(f, name, LOAD_LIMIT) if head == lexicon_c.IMAGE_MAGIC else head
        except OSError as e:
            raise LexiconFileError(f"cannot read {name}: {e.strerror or e}") from None
        except WordListError as e:
            raise LexiconFileError(str(e)) from None
        try:
            return cls._from_image(data, None)
        except ValueError as e:
            raise LexiconFileError(f"{name}: {e}") from None


def _frequency():
    # Loaded by the first segmentation by frequency: other uses of a lexicon
    # do not pay for its imports.
    from . import frequency

    return frequency


def _first(lexicon, n):
    it = lexicon._iter_items()
    return [item for item, _ in zip(it, range(n))]


# The largest file load() reads.
LOAD_LIMIT = 1 << 30


class LexiconFileError(ValueError):
    """A lexicon file that cannot be read, or is not one that save() wrote
    whole; the message is one line naming the file."""


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
