"""Word-list files in the forms people have them, read into a list of words
(the tool's need) or into words with their values (a Lexicon's).

The formats:

- "lines": each line is one word, exactly as written (spaces inside included);
  no values;
- "jieba": lines "word freq [tag]" as in jieba's dict.txt; the word is the
  first space-separated field, its value the frequency (an int), its tag kept
  beside it;
- "tsv": tab-separated lines "key<TAB>value..." as conversion dictionaries
  have them; the word is the first column, its value the text after the first
  tab; lines starting with "#" are comments;
- "vocab": a vocabulary, one token per line; a token's value is its line's
  number, from 0.

"auto" picks "jieba", "tsv" or "lines" from the file's first lines ("vocab"
is only taken when asked for: it looks like "lines"). In every format a UTF-8
byte order mark at the start is not part of the first word, lines may end in
"\\n", "\\r\\n" or "\\r", and empty lines and empty words are skipped.
Words alone (for the tool) ask nothing of the rest of a line; with values, a
line the format cannot read is an error naming it.
"""

from __future__ import annotations

import os
import re
import select
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing is not loaded at run time: importing it costs more than this module
    from typing import BinaryIO

FORMATS = ("auto", "lines", "jieba", "tsv", "vocab")

# Lines that "auto" looks at, and the share of them that must have a format's
# shape for it to be chosen. A word list in one line per word rarely has a
# number after a space on most of its lines, nor a tab.
SAMPLE_LINES = 1000
MOST = 0.9
JIEBA_LINE = re.compile(r"\S+ [0-9]+(?:\.[0-9]+)?(?: \S+)?")
# A jieba entry with its value: the word, the frequency (an integer) and the
# tag, matched over the whole text at once.
JIEBA_ENTRY = re.compile(r"^([^ \n]+) ([0-9]+)(?: ([^ \n]+))?$", re.MULTILINE)
LINE_END = re.compile(rb"\r\n|\r|\n")


# The most bytes a word list may hold: fifty times jieba's dict.txt, ten
# times the largest list the benchmarks build. A larger source (a mistaken
# path, /dev/zero, a stream that never ends) is refused once this much has
# been read, instead of filling memory: its words would take several times
# the file's size as Python objects.
WORD_LIST_LIMIT = 256 * 1024 * 1024
# What one read asks for where the size is not known beforehand.
READ_CHUNK = 1024 * 1024


class WordListError(ValueError):
    """A word list that cannot be read or decoded; the message is one line
    naming the file (and the line, where there is one)."""


def read_word_list(source: str | os.PathLike[str] | BinaryIO, name: str | None = None, limit: int = WORD_LIST_LIMIT) -> bytes:
    """The bytes of a word list, read a chunk at a time: `source` is a path,
    or a binary stream read to its end (and left open). `name` is what
    messages call it (default: the path, or the stream's name). Raises
    WordListError, one line naming it, when it cannot be read or holds more
    than `limit` bytes; a regular file known to be larger is refused before
    any read. Devices, pipes and files that grow are read as far as they go,
    up to the limit; a non-blocking stream is waited on."""
    if name is None:
        name = os.fsdecode(source) if isinstance(source, (str, os.PathLike)) else str(getattr(source, "name", "<stream>"))
    try:
        if isinstance(source, (str, os.PathLike)):
            with open(source, "rb", buffering=0) as stream:
                return _read_limited(stream, name, limit)
        return _read_limited(source, name, limit)
    except OSError as e:
        raise WordListError(f"cannot read {name}: {e.strerror or e}") from None


def _read_limited(stream: BinaryIO, name: str, limit: int) -> bytes:
    size = _regular_size(stream)
    if size is not None and size > limit:
        raise _too_large(name, limit)
    chunks: list[bytes] = []
    total = 0
    # A regular file's size is the first read's request: one read, one block.
    ask = size + 1 if size is not None else READ_CHUNK
    while True:
        chunk = stream.read(min(ask, limit + 1 - total))
        if chunk is None:  # a non-blocking stream with nothing yet
            select.select([stream], [], [])
            continue
        if not chunk:
            break
        chunks.append(chunk)
        total += len(chunk)
        if total > limit:
            raise _too_large(name, limit)
        ask = READ_CHUNK
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def _regular_size(stream: BinaryIO) -> int | None:
    """The size of a regular file's stream, from where it stands; None for anything else."""
    try:
        st = os.fstat(stream.fileno())
        if not stat.S_ISREG(st.st_mode):
            return None
        return max(st.st_size - stream.tell(), 0)
    except (OSError, AttributeError, ValueError):
        return None


def _too_large(name: str, limit: int) -> WordListError:
    return WordListError(f"{name}: larger than {_size_text(limit)}, the most a word list may hold")


def _size_text(limit: int) -> str:
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if limit >= size and limit % size == 0:
            return f"{limit // size} {unit}"
    return f"{limit:,} bytes"


def split_lines(text: str) -> list[str]:
    """The lines of `text` at "\\n", "\\r\\n" and "\\r", without their ends; a
    last line end does not start another line."""
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return lines


def decode(data: bytes, name: str) -> str:
    """`data` as UTF-8 without a leading byte order mark; WordListError names
    the line of the first invalid byte."""
    start = 3 if data.startswith(b"\xef\xbb\xbf") else 0
    try:
        return str(data[start:], "utf-8") if start else data.decode("utf-8")
    except UnicodeDecodeError as e:
        at = start + e.start
        line = len(LINE_END.findall(data, 0, at)) + 1
        raise WordListError(f"{name}: line {line} is not UTF-8 (byte 0x{data[at]:02x})") from None


def detect(lines: list[str]) -> str:
    """The format the first non-empty lines have: "jieba", "tsv" or "lines"."""
    sample = [line for line in lines[: 2 * SAMPLE_LINES] if line][:SAMPLE_LINES]
    if not sample:
        return "lines"
    if sum(1 for line in sample if JIEBA_LINE.fullmatch(line)) >= MOST * len(sample):
        return "jieba"
    if sum(1 for line in sample if "\t" in line) >= MOST * len(sample):
        return "tsv"
    return "lines"


def words_of(lines: list[str], format: str) -> list[str]:
    """The non-empty words of `lines` in a known format."""
    if format in ("lines", "vocab"):
        return [line for line in lines if line]
    if format == "tsv":
        lines = [line for line in lines if not line.startswith("#")]
    separator = " " if format == "jieba" else "\t"
    return [word for word in (line.split(separator, 1)[0] for line in lines) if word]


def lines_of(data: bytes, name: str, format: str) -> tuple[list[str], str]:
    """The lines of a word list held in `data` (named `name` in messages) and
    the format they are in: `format`, or the one detected for "auto"."""
    if format not in FORMATS:
        raise ValueError(f"unknown word-list format {format!r}; one of {', '.join(FORMATS)}")
    lines = split_lines(decode(data, name))
    return lines, detect(lines) if format == "auto" else format


def parse_words(data: bytes, name: str, format: str = "auto") -> tuple[list[str], str]:
    """The words of a word list held in `data` (named `name` in messages) and
    the format used."""
    lines, format = lines_of(data, name, format)
    return words_of(lines, format), format


# A word list's words, their values (None where the format has none) and
# tags (None where no word has one), and the format it was read in.
Entries = tuple[list[str], list[object] | None, list[str | None] | None, str]


def parse_entries(data: bytes, name: str, format: str = "auto") -> Entries:
    """The entries of a word list held in `data` (named `name` in messages):
    each word with its value as its format gives one. A line the format cannot
    read is a WordListError naming the file and the line."""
    lines, format = lines_of(data, name, format)
    if format == "lines":
        return words_of(lines, format), None, None, format
    if format == "vocab":
        numbered = [(line, i) for i, line in enumerate(lines) if line]
        return [w for w, _ in numbered], [i for _, i in numbered], None, format
    if format == "tsv":
        return _tsv_entries(lines, name)
    return _jieba_entries(lines, name)


def _tsv_entries(lines: list[str], name: str) -> Entries:
    words: list[str] = []
    values: list[object] = []
    for number, line in enumerate(lines, 1):
        if not line or line.startswith("#"):
            continue
        word, tab, value = line.partition("\t")
        if not tab:
            raise _malformed(name, number, line, "a tab-separated 'key<TAB>value' line")
        if word:
            words.append(word)
            values.append(value)
    return words, values, None, "tsv"


def _jieba_entries(lines: list[str], name: str) -> Entries:
    # One match over the whole text; only when some line does not match are
    # the lines looked at one by one, to name the first such.
    found = JIEBA_ENTRY.findall("\n".join(lines))
    if len(found) != len(lines) - lines.count(""):
        for number, line in enumerate(lines, 1):
            if line and not JIEBA_ENTRY.fullmatch(line):
                raise _malformed(name, number, line, "a jieba 'word frequency [tag]' line")
    tags: list[str | None] = [tag or None for _, _, tag in found]
    return (
        [word for word, _, _ in found],
        list(map(int, (freq for _, freq, _ in found))),
        tags if any(tags) else None,
        "jieba",
    )


def _malformed(name: str, number: int, line: str, expected: str) -> WordListError:
    shown = line if len(line) <= 60 else line[:57] + "..."
    return WordListError(f"{name}: line {number} is not {expected}: {shown!r}")


def read_words(path: str | os.PathLike[str], format: str = "auto") -> tuple[list[str], str]:
    """The words of a word-list file and the format used ("lines", "jieba" or "tsv")."""
    name = os.fsdecode(path)
    return parse_words(read_word_list(path, name), name, format)


