"""Word-list files in the forms people have them, read into a list of words.

Three formats:

- "lines": each line is one word, exactly as written (spaces inside included);
- "jieba": lines "word [freq [tag]]" as in jieba's dict.txt; the word is the
  first space-separated field;
- "tsv": tab-separated columns; the word is the first column.

"auto" picks one from the file's first lines. In every format a UTF-8 byte
order mark at the start is not part of the first word, lines may end in
"\\n", "\\r\\n" or "\\r", and empty words are skipped.
"""

import os
import re

FORMATS = ("auto", "lines", "jieba", "tsv")

# Lines that "auto" looks at, and the share of them that must have a format's
# shape for it to be chosen. A word list in one line per word rarely has a
# number after a space on most of its lines, nor a tab.
SAMPLE_LINES = 1000
MOST = 0.9
JIEBA_LINE = re.compile(r"\S+ [0-9]+(?:\.[0-9]+)?(?: \S+)?")
LINE_END = re.compile(rb"\r\n|\r|\n")


class WordListError(ValueError):
    """A word list that cannot be read or decoded; the message is one line
    naming the file (and the line, where there is one)."""


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
    if format == "lines":
        return [line for line in lines if line]
    separator = " " if format == "jieba" else "\t"
    return [word for word in (line.split(separator, 1)[0] for line in lines) if word]


def parse_words(data: bytes, name: str, format: str = "auto") -> tuple[list[str], str]:
    """The words of a word list held in `data` (named `name` in messages) and
    the format used."""
    if format not in FORMATS:
        raise ValueError(f"unknown word-list format {format!r}; one of {', '.join(FORMATS)}")
    lines = split_lines(decode(data, name))
    if format == "auto":
        format = detect(lines)
    return words_of(lines, format), format


def read_words(path: str | os.PathLike[str], format: str = "auto") -> tuple[list[str], str]:
    """The words of a word-list file and the format used ("lines", "jieba" or "tsv")."""
    name = os.fsdecode(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise WordListError(f"cannot read {name}: {e.strerror or e}") from None
    return parse_words(data, name, format)


