"""Segmentation by word frequency, as jieba does it: the HMM's tables and
jieba's user dictionaries.

The segmentation itself is the lexicon's: lex.segment(text, method="frequency")
is jieba.lcut(text, HMM=False), lex.segment(text, method="hmm") is
jieba.lcut(text), with the tables of the hidden Markov model that the
installed jieba package ships (HMM.from_jieba()) or that a folder holds
(HMM.from_path(folder)). The project ships no tables: they are jieba's data.
"""

from __future__ import annotations

import functools
import importlib.util
import math
import os
import re
import struct
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, cast

if TYPE_CHECKING:
    from .lexicon import Lexicon

# A user dictionary's entry: a word, its frequency and its tag, None where
# the line gives none.
UserEntry = tuple[str, int | None, str | None]

STATES = "BEMS"  # the order the engine keeps them in, which ties go by
HAN_FIRST, HAN_LAST = 0x4E00, 0x9FD5
# The log probability of an event the tables do not list.
MISSING = -3.14e100
TABLE_FILES = ("prob_start.py", "prob_trans.py", "prob_emit.py")
TABLE_DOUBLES = len(STATES) + len(STATES) ** 2 + len(STATES) * (HAN_LAST - HAN_FIRST + 1)


class HMM:
    """The tables of jieba's hidden Markov model of words (states B, M, E, S:
    a word's beginning, middle and end, a word of one character): the start,
    transition and emission log probabilities that segmentation with
    method="hmm" decodes runs of single characters with.

    HMM.from_jieba() reads them from the installed jieba package (once per
    process); HMM.from_path(folder) from a folder holding jieba's
    prob_start.py, prob_trans.py and prob_emit.py. The files are read as
    data (Python literals), never run."""

    __slots__ = ("_tables", "source")

    def __init__(self, start: Mapping[str, float], trans: Mapping[str, Mapping[str, float]],
                 emit: Mapping[str, Mapping[str, float]], source: str = "") -> None:
        """From the three tables as dicts: start[state], trans[state][state]
        and emit[state][character], states "B", "E", "M", "S"; an event
        missing from trans or emit has the log probability -3.14e100."""
        values = [float(start[y]) for y in STATES]
        values += [float(trans[a].get(b, MISSING)) for a in STATES for b in STATES]
        for y in STATES:
            row = emit[y]
            values += [float(row.get(chr(c), MISSING)) for c in range(HAN_FIRST, HAN_LAST + 1)]
        self._tables = struct.pack(f"={len(values)}d", *values)
        self.source = source

    @classmethod
    def from_path(cls, folder: str | os.PathLike[str]) -> HMM:
        """The tables in jieba's files in `folder`. A missing file raises
        OSError; one that is not a table of log probabilities, ValueError
        naming it."""
        start, trans, emit = (_read_table(os.path.join(folder, name)) for name in TABLE_FILES)
        try:
            return cls(start, trans, emit, source=os.fspath(folder))
        except (KeyError, TypeError, ValueError, AttributeError) as e:
            raise ValueError(f"{os.fspath(folder)}: the HMM's tables lack a state or hold a value that is "
                             f"not a number ({type(e).__name__}: {e})") from None

    @classmethod
    def from_jieba(cls) -> HMM:
        """The tables the installed jieba package ships (jieba/finalseg),
        read once per process. Without jieba, ModuleNotFoundError says how to
        get them."""
        return _jieba_tables()

    def __repr__(self) -> str:
        return f"<HMM from {self.source!r}>" if self.source else "<HMM>"


def _read_table(path: str) -> dict[str, Any]:
    import ast

    with open(path, encoding="utf-8") as f:
        source = f.read()
    found = re.search(r"^P\s*=", source, re.M)
    try:
        if found is None:
            raise ValueError("no assignment to P")
        table = ast.literal_eval(source[found.end():].strip())
    except (ValueError, SyntaxError) as e:
        raise ValueError(f"{path}: not a table of log probabilities ({e})") from None
    if not isinstance(table, dict):
        raise ValueError(f"{path}: not a table of log probabilities (P is a {type(table).__name__})")
    return table


def jieba_folder() -> str:
    """The folder of the installed jieba package, found without importing it."""
    spec = importlib.util.find_spec("jieba")
    if spec is None or not spec.submodule_search_locations:
        raise ModuleNotFoundError(
            "the HMM's tables come from the jieba package, which is not installed: `pip install jieba`, "
            "or give the folder of jieba's prob_*.py files to HMM.from_path", name="jieba")
    return spec.submodule_search_locations[0]


@functools.cache
def _jieba_tables() -> HMM:
    return HMM.from_path(os.path.join(jieba_folder(), "finalseg"))


# A line of a user dictionary: the word, then a frequency and a tag, each
# optional and after one space; the word takes whatever they leave.
USER_LINE = re.compile("^(.+?)( [0-9]+)?( [a-z]+)?$")


class Frequencies:
    """What segmentation by frequency keeps with a lexicon: the total of
    the frequencies as the dictionary counts it (a main dictionary's
    repeated lines each time, a user dictionary's words as they were added),
    the words that the HMM must split into characters, and the model made
    from them on first use."""

    __slots__ = ("total", "force_split", "model")

    def __init__(self, total: int | None = None, force_split: frozenset[str] = frozenset()) -> None:
        self.total = total
        self.force_split = force_split
        self.model: object | None = None


def frequencies(lexicon: Lexicon[Any]) -> Frequencies:
    """The lexicon's record, its total counted (the sum of its values when
    nothing else counted it); ValueError for a lexicon whose values are not
    frequencies."""
    record = getattr(lexicon, "_frequencies", None)
    if record is None:
        record = lexicon._frequencies = Frequencies()
    if record.total is None:
        if lexicon.value_kind not in ("int32", "int64") and len(lexicon):
            raise ValueError("segmentation by frequency needs a frequency (an int) for every word, and this "
                             "lexicon's values are not all ints; read a jieba dictionary (`word freq [tag]` lines)")
        record.total = sum(lexicon.values())
    return record


def total(lexicon: Lexicon[Any]) -> int:
    """The total of the lexicon's frequencies."""
    counted = frequencies(lexicon).total
    assert counted is not None
    return counted


def model(lexicon: Lexicon[Any]) -> object:
    """The lexicon's frequency model, made on first use."""
    record = frequencies(lexicon)
    if record.model is None:
        if total(lexicon) <= 0:
            raise ValueError("segmentation by frequency needs frequencies that sum to more than 0 "
                             f"(they sum to {total(lexicon)})")
        record.model = lexicon._frequency_model(math.log(total(lexicon)), record.force_split)
    return record.model


def segment(lexicon: Lexicon[Any], text: str, method: str, hmm: HMM | None) -> list[str]:
    """lexicon.segment(text, method=method, hmm=hmm) for the frequency methods."""
    if method == "frequency":
        tables = None
    elif hmm is None:
        tables = HMM.from_jieba()._tables
    elif isinstance(hmm, HMM):
        tables = hmm._tables
    else:
        raise TypeError(f"hmm must be an ondrel_velarin.HMM, not {type(hmm).__name__}")
    return lexicon._segment_by_frequency(text, model(lexicon), tables)


def parse_user_dictionary(data: bytes, name: str) -> list[UserEntry]:
    """The entries of a user dictionary held in `data` (named `name` in
    messages), as jieba.load_userdict reads a file: lines split at "\\n",
    ASCII whitespace stripped from both ends, byte order marks from the
    start; empty lines skipped; `word [freq] [tag]`, where the frequency is
    digits and the tag lower-case letters, each after one space, and the word
    whatever they leave (spaces included). A line that is not UTF-8 is a
    WordListError naming the file and the line."""
    from .wordlist import WordListError

    entries: list[UserEntry] = []
    for number, raw in enumerate(data.split(b"\n"), 1):
        raw = raw.strip()
        try:
            line = raw.decode("utf-8").lstrip("\ufeff")
        except UnicodeDecodeError as e:
            raise WordListError(f"{name}: line {number} is not UTF-8 (byte 0x{raw[e.start]:02x})") from None
        found = USER_LINE.match(line)
        if found is not None:  # every line but the empty one
            word, freq, tag = found.groups()
            entries.append((word, int(freq) if freq else None, tag[1:] if tag else None))
    return entries


def with_user_dictionary(lexicon: Lexicon[Any], source: str | os.PathLike[str] | Iterable[UserEntry]) -> Lexicon[int]:
    """lexicon.with_user_dictionary(source): see Lexicon."""
    from . import wordlist
    from .lexicon import Lexicon

    if isinstance(source, (str, os.PathLike)):
        name = os.fsdecode(source)
        entries = parse_user_dictionary(wordlist.read_word_list(name), name)
    else:
        entries = [(word, freq, tag) for word, freq, tag in source]
    model(lexicon)  # refuses a lexicon without frequencies
    record = frequencies(lexicon)
    user = _UserWords(lexicon, total(lexicon))
    force_split = set(record.force_split)
    tags: dict[str, str] = {}
    for word, freq, tag in entries:
        if freq is None:
            freq = user.suggested_frequency(word)
        user.add(word, freq)
        if freq == 0:
            force_split.add(word)
        if tag:
            tags[word] = tag
    items = [(w, v) for w, v in lexicon._iter_items() if w not in user.added] + list(user.added.items())
    words = [w for w, _ in items]
    word_tags: list[str | None] | None = None
    if lexicon.tag_names or tags:
        # A word's tag stays where the user gives none.
        word_tags = [tags.get(w) or (lexicon.tag(w) if lexicon.tag_names and w in lexicon else None) for w in words]
    merged = cast("Lexicon[int]", Lexicon._from_columns(words, [v for _, v in items], word_tags))
    merged._frequencies = Frequencies(user.total, frozenset(force_split))
    return merged


class _UserWords:
    """The words of a user dictionary added so far on top of a lexicon,
    and the total with theirs: the state that suggests the next word's
    frequency."""

    def __init__(self, lexicon: Lexicon[Any], total: int) -> None:
        self.lexicon = lexicon
        self.total = total
        self.added: dict[str, int] = {}
        self.prefixes: set[str] = set()

    def add(self, word: str, freq: int) -> None:
        self.added[word] = freq
        self.total += freq
        self.prefixes.update(word[:i] for i in range(1, len(word) + 1))

    def frequency(self, word: str, unknown: int) -> int:
        """The word's frequency now; 0 for a known prefix of words, and
        `unknown` for anything else."""
        if word in self.added:
            return self.added[word]
        value = self.lexicon.get(word)
        if value is not None:
            return int(value)
        return 0 if word in self.prefixes or self.lexicon.has_keys_with_prefix(word) else unknown

    def suggested_frequency(self, word: str) -> int:
        """jieba's for a word given without one: what makes the word win over
        its own segmentation, p(piece) the product of its pieces' shares of
        the total: max(int(p * total) + 1, the word's frequency now)."""
        p = 1.0
        for piece in self.segments(word):
            p *= self.frequency(piece, 1) / float(self.total)
        return max(int(p * self.total) + 1, self.frequency(word, 1))

    def segments(self, word: str) -> list[str]:
        """The word segmented by frequency, without the HMM, as the
        dictionary stands: by a lexicon of the candidates inside it."""
        from .lexicon import Lexicon

        candidates: dict[str, int] = {}
        for start in range(len(word)):
            for w, v in self.lexicon.prefix_items(word, start):
                if w not in self.added and v > 0:
                    candidates[w] = v
            for end in range(start + 1, len(word) + 1):
                if self.added.get(word[start:end], 0) > 0:
                    candidates[word[start:end]] = self.added[word[start:end]]
        inside = Lexicon(candidates)
        inside._frequencies = Frequencies(self.total)
        return segment(inside, word, "frequency", None)
