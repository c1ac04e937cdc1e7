"""Segmentation, the tool's default job: each line split into the longest
words of a word list, left to right."""

import argparse
import json
import re
import time
from collections.abc import Callable, Sequence
from itertools import accumulate

from ..cli import PROG, CliError, Job, Report, Source, Spool, check_delimiter, data_source, file_source, read_source
from ..impl_c import Velarin
from ..scan_c import segment
from ..wordlist import FORMATS, WordListError, parse_words

# Word lists of this many words or more show progress while the trie is built.
MANY_WORDS = 1_000_000
WHITESPACE = re.compile(r"\s")
# A block of lines is segmented in one call, its segments joined with this
# mark (when the block holds none), and the result finished with a few
# whole-string replacements: no Python work per line or per segment. No word
# holds a line end, so each "\n" is a segment of its own, between marks.
MARK = "\0"
# A segment of whitespace other than a line end, with the mark before it.
SPACE_SEGMENT = re.compile("\0[^\\S\n]+(?=\0)")

EPILOG = f"""\
Segmentation: at each position the longest word of the list that the text
there begins with is emitted, and the scan goes on right after it. Where no
word is taken, a run of letters and digits (Latin, Greek, Cyrillic, Arabic,
Hangul, digits, ...) is one segment, so "Debian", "2024" and "http" stay
whole; a word that would end inside such a run is not taken. Characters of
scripts written without spaces (Chinese, Japanese kana, Thai, ...) never form
runs: the word list alone segments them, one character where no word
matches. --chars turns runs off: every unmatched character is a segment.

Each input line gives one output line; lines end in "\\n", "\\r\\n" or "\\r",
and a UTF-8 byte order mark at the start of a file is not text. With a
delimiter that is whitespace (the default, a space), segments that are all
whitespace are left out, so a space in the text never looks like a
delimiter; with any other delimiter, and with --json, every segment is kept.

Word lists (UTF-8), with --format:
  lines   one word per line, exactly as written (a word may hold spaces)
  jieba   "word [freq [tag]]" lines, as jieba's dict.txt: the first field
  tsv     tab-separated columns: the first column
  auto    (default) jieba or tsv when most of the first lines look like it,
          else lines; --verbose shows what was chosen
Empty lines and empty words are skipped.

Without arguments, and with nothing piped in, the tool segments a sample text
shipped with the package against its sample word list (English and Chinese).

examples:
  {PROG}                                    # the built-in sample
  {PROG} --words words.txt text.txt         # segments separated by spaces
  {PROG} -w dict.txt -v text.txt            # jieba's dict.txt as it is
  {PROG} -w a.txt -w b.txt -d '|' t.txt     # two word lists, '|' between segments
  {PROG} -w words.txt --json text.txt       # {{"segments": [..], "offsets": [..]}}
  {PROG} -w words.txt big.txt -o out.txt    # to a file, progress on the terminal
  {PROG} -w dict.txt -j 0 big.txt -o out.txt  # on every core
  echo 我们在图书馆读书 | {PROG} -w zh.txt  # from standard input

jieba's dictionary is at jieba/dict.txt in the jieba package, e.g.
  {PROG} -w "$(python -c 'import jieba, os; print(os.path.dirname(jieba.__file__))')/dict.txt" text.txt

Output: -o FILE is written to a temporary file beside FILE and renamed into
place only when the whole run succeeds, so a failed or interrupted run
leaves FILE as it was. An output that is the same file as an input is
refused. Output is written block by block as the input arrives, so results
show while the input is still being written. Memory stays bounded however long a line is: a line
without an end is segmented in pieces, with the same result. A progress line
appears on standard error, when that is a terminal, while a trie of over
{MANY_WORDS:,} words is built and for long runs whose output goes to a file.

Workers: with -j N the word list is read and the trie built once, then N
worker processes are forked that share it (each costs a few MB, not another
trie). The input is cut into blocks of whole lines that the workers segment
while the tool writes their output in the input's order, with a few blocks
per worker in flight at most; the output is the one a single process writes.
A line of over a million characters is segmented by the tool itself. Ctrl-C
stops every worker, and a worker that fails or is killed fails the run with
one line, leaving -o FILE as it was.

exit status: 0 done, 1 an error (one line on standard error says which),
2 a bad command line, 130 interrupted, 141 the output pipe was closed early
(as by `| head`); the tool then stops quietly."""


class Segmentation(Job):
    name = "segment"
    summary = "split text into the longest words of a word list (the default job)"
    description = "Split text into the longest words of a word list, left to right."
    epilog = EPILOG
    verb, verbed = "segment", "segmented"
    json_help = (
        'write one JSON object per line: {"segments": [...], "offsets": [...]}, '
        "offsets counted in code points from the line's start; every segment is kept"
    )
    sample = ("sample.txt", "segmenting the sample text against the sample word list")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument(
            "-w",
            "--words",
            action="append",
            metavar="FILE",
            help="UTF-8 word list; give it several times to join lists "
            "(default: the small sample list shipped with the package)",
        )
        parser.add_argument(
            "-f",
            "--format",
            choices=FORMATS,
            default="auto",
            help="how the word lists are written: one word per line, jieba's 'word freq tag' lines, "
            "or tab-separated columns (default: auto, detected from each file)",
        )
        parser.add_argument(
            "-d",
            "--delimiter",
            default=" ",
            metavar="STR",
            help="what to put between segments (default: a space); e.g. -d '|' or -d $'\\t'",
        )
        parser.add_argument(
            "--chars",
            action="store_true",
            help="no runs: where no word matches, every character is a segment of its own",
        )

    def check(self, args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
        check_delimiter(args, parser)

    def dictionaries(self, args: argparse.Namespace) -> list[str]:
        return args.words or []

    def prepare(self, args: argparse.Namespace, report: Report) -> "Segmenter":
        sources = [file_source(w) for w in args.words] if args.words else [data_source("words.txt")]
        trie, longest = load_words(sources, args.format, report)
        # The scan builds its index at the first segmentation: built here,
        # before workers are forked, they share it instead of each making one.
        segment(trie, "x")
        return Segmenter(trie, longest, args)


def load_words(sources: Sequence[Source], format: str, report: Report) -> tuple[Velarin, int]:
    """The trie of the words of every list, and the length of the longest word."""
    words: list[str] = []
    for source in sources:
        try:
            found, used = parse_words(read_source(source), source[0], format)
        except WordListError as e:
            raise CliError(str(e)) from None
        report.note(f"{source[0]}: {len(found):,} words, {used} format")
        words += found
    if not words:
        names = ", ".join(name for name, _ in sources)
        raise CliError(f"no words in {names} (empty lines are skipped)")
    if len(words) >= MANY_WORDS:
        report.status(f"building from {len(words):,} words")
    started = time.monotonic()
    trie = Velarin(words)
    report.clear()
    report.note(f"built a trie of {len(words):,} words in {time.monotonic() - started:.2f} s")
    return trie, max(map(len, words))


class Segmenter:
    """Segments lines and formats them for output."""

    def __init__(self, trie: Velarin, longest: int, args: argparse.Namespace) -> None:
        self.trie = trie
        self.longest = longest
        self.runs = not args.chars
        self.delimiter: str = args.delimiter
        self.json: bool = args.json
        # A whitespace delimiter would be confused with the text's own spaces.
        self.drop_spaces = self.delimiter.isspace() and not self.json

    def without_spaces(self, text: str) -> list[str]:
        segments = segment(self.trie, text, alnum_runs=self.runs)
        return not_whitespace(segments) if WHITESPACE.search(text) else segments

    def block(self, text: str) -> str:
        """The output of `text`, whole lines each ended with "\\n"."""
        if self.json or MARK in text:
            return self.lines(text.split("\n")[:-1])
        joined = MARK + MARK.join(segment(self.trie, text, alnum_runs=self.runs))
        if self.drop_spaces:
            joined = SPACE_SEGMENT.sub("", joined)
        joined = joined.replace(MARK + "\n", "\n").replace("\n" + MARK, "\n").removeprefix(MARK)
        return joined.replace(MARK, self.delimiter)

    def lines(self, lines: list[str]) -> str:
        """The output lines of `lines`, each ended with a newline."""
        if self.json:
            formatted = [json_line(segment(self.trie, line, alnum_runs=self.runs)) for line in lines]
        elif self.drop_spaces:
            formatted = [self.delimiter.join(self.without_spaces(line)) for line in lines]
        else:
            join, trie, runs = self.delimiter.join, self.trie, self.runs
            formatted = [join(segment(trie, line, alnum_runs=runs)) for line in lines]
        formatted.append("")
        return "\n".join(formatted)

    def long_line(self, write: Callable[[str], None]) -> "LongLineSegments":
        return LongLineSegments(self, write)


def not_whitespace(segments: list[str]) -> list[str]:
    return [s for s in segments if not s.isspace()]


def json_line(segments: list[str]) -> str:
    offsets = list(accumulate(map(len, segments[:-1]), initial=0)) if segments else []
    return json.dumps({"segments": segments, "offsets": offsets}, ensure_ascii=False)


def json_string(text: str) -> str:
    """`text` as the inside of a JSON string, as json.dumps writes it."""
    return json.dumps(text, ensure_ascii=False)[1:-1]


class LongLineSegments:
    """A line segmented piece by piece, with the output a whole line would give.

    Only the segments that later text cannot change are written: those that
    start far enough from the piece's end that the longest word (and the
    character after it) fits. The rest is carried into the next piece. A run
    of letters and digits longer than that is written as it arrives.
    """

    def __init__(self, segmenter: Segmenter, write: Callable[[str], None]) -> None:
        self.segmenter = segmenter
        self.write = write
        self.in_run = False
        self.started = False  # a segment was written
        self.offset = 0  # characters written, for the offsets of --json
        self.offsets: Spool | None = None
        if segmenter.json:
            self.offsets = Spool()
            write('{"segments": [')

    def piece(self, text: str) -> int:
        text = self.continue_run(text)
        if not text:
            return 0
        segments = segment(self.segmenter.trie, text, alnum_runs=self.segmenter.runs)
        # Segments from the last one back, until one starts where the rest
        # of the line can no longer change it.
        reach = self.segmenter.longest + 1
        start, final = len(text), len(segments)
        while final > 0 and (final == len(segments) or start + reach > len(text)):
            final -= 1
            start -= len(segments[final])
        self.write_segments(segments[:final])
        if self.segmenter.runs and final == len(segments) - 1 and start + reach <= len(text):
            # The last segment is a run that more text may lengthen.
            self.write_run_part(segments[-1], first=True)
            self.in_run = True
            return 0
        return len(text) - start

    def end(self, text: str) -> None:
        text = self.continue_run(text)
        if self.in_run:
            self.end_run()
        self.write_segments(segment(self.segmenter.trie, text, alnum_runs=self.segmenter.runs))
        if self.offsets is not None:
            self.write('], "offsets": [')
            self.offsets.write_to(self.write)
            self.write("]}")
        self.write("\n")

    def continue_run(self, text: str) -> str:
        """Writes the part of `text` that continues a run being written; the rest."""
        if not self.in_run:
            return text
        length = run_length(text)
        self.write_run_part(text[:length])
        if length < len(text):
            self.end_run()
        return text[length:]

    def write_segments(self, segments: list[str]) -> None:
        if not segments:
            return
        if self.offsets is not None:
            offsets = list(accumulate(map(len, segments), initial=self.offset))
            self.offset = offsets.pop()
            separator = ", " if self.started else ""
            self.write(separator + ", ".join(json.dumps(s, ensure_ascii=False) for s in segments))
            self.offsets.add(separator + ", ".join(map(str, offsets)))
            self.started = True
            return
        if self.segmenter.drop_spaces:
            segments = not_whitespace(segments)
        if segments:
            self.write((self.segmenter.delimiter if self.started else "") + self.segmenter.delimiter.join(segments))
            self.started = True

    def write_run_part(self, text: str, first: bool = False) -> None:
        if first:
            separator = (", " if self.segmenter.json else self.segmenter.delimiter) if self.started else ""
            if self.offsets is not None:
                self.offsets.add(separator + str(self.offset))
            self.write(separator + ('"' if self.segmenter.json else ""))
            self.started = True
        self.write(json_string(text) if self.segmenter.json else text)
        self.offset += len(text)

    def end_run(self) -> None:
        self.in_run = False
        if self.segmenter.json:
            self.write('"')


# Runs of letters and digits alone, as segment finds them without words.
NO_WORDS = Velarin([])


def run_length(text: str) -> int:
    """The length of the part of `text` that continues a run before it (its
    letters and digits, and the marks after them), 0 for none."""
    return len(segment(NO_WORDS, "a" + text, alnum_runs=True)[0]) - 1


SEGMENT = Segmentation()
