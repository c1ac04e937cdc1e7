"""Segmentation, the tool's default job: each line split into the longest
words of a word list, left to right, or (--method frequency, hmm) as jieba
splits it, by the words' frequencies."""

import argparse
import json
import re
import time
from collections.abc import Callable, Sequence
from itertools import accumulate
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ..frequency import HMM
    from ..lexicon import Lexicon

from ..cli import PROG, CliError, Job, Report, Source, Spool, check_delimiter, data_source, failed, file_source
from ..impl_c import Velarin
from ..scan_c import segment
from ..wordlist import FORMATS, WordListError, detect, parse_words, read_word_list

# What each format's lines look like, for a warning when -f lines is given
# a list in another format.
LOOKS = {"jieba": "'word freq tag' lines, as jieba's dict.txt", "tsv": "tab-separated columns"}

METHODS = ("longest", "frequency", "hmm")

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
# A run of block characters: those the frequency methods route together.
BLOCK_RUN = re.compile("[\u4e00-\u9fd5a-zA-Z0-9+#&._%\\-]*")

EPILOG = f"""\
Segmentation: at each position the longest word of the list that the text
there begins with is emitted, and the scan goes on right after it. Where no
word is taken, a run of letters and digits (Latin, Greek, Cyrillic, Arabic,
Hangul, digits, ...) is one segment, so "Debian", "2024" and "http" stay
whole; a word that would end inside such a run is not taken. Characters of
scripts written without spaces (Chinese, Japanese kana, Thai, ...) never form
runs: the word list alone segments them, one character where no word
matches. --chars turns runs off: every unmatched character is a segment.

--method frequency segments as jieba does without its HMM
(jieba.lcut(line, HMM=False)): in each run of Han characters, ASCII letters
and digits and + # & . _ % -, the route of words whose frequencies make it
the most probable; single ASCII letters and digits it leaves are joined.
--method hmm is jieba.lcut(line): runs of single characters on that route
are decoded by jieba's hidden Markov model, whose tables come from the
installed jieba package (or --hmm-tables DIR). Both need a dictionary with
frequencies: the first -w is jieba's format ("word freq [tag]", such as its
dict.txt), and each later -w is a user dictionary, added as
jieba.load_userdict adds one ("word [freq] [tag]" lines, a missing
frequency suggested). A run of block characters is segmented whole, so a
line longer than a million characters is held until such a run ends.

Each input line gives one output line; lines end in "\\n", "\\r\\n" or "\\r",
and a UTF-8 byte order mark at the start of a file is not text. With a
delimiter that is whitespace (the default, a space), segments that are all
whitespace are left out, so a space in the text never looks like a
delimiter; with any other delimiter, and with --json, every segment is kept.

Word lists (UTF-8), with --format:
  lines   one word per line, exactly as written (a word may hold spaces)
  jieba   "word [freq [tag]]" lines, as jieba's dict.txt: the first field
  tsv     tab-separated columns: the first column
  vocab   a vocabulary, one token per line: each line, as with lines
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
  {PROG} -m hmm -w .../jieba/dict.txt -w user.txt text.txt   # jieba's results, a user dictionary added

Memory stays bounded however long a line is: a line without an end is
segmented in pieces, with the same result. A word list larger than 256 MiB
(a wrong path, /dev/zero) is refused. A progress line appears on standard
error, when that is a terminal, while a trie of over {MANY_WORDS:,} words is
built and for long runs whose output goes to a file.

Workers: with -j N the word list is read and the trie built once, then up to
N worker processes (no more than the cores) are forked that share it (each
costs a few MB, not another trie). The input is cut into blocks of whole
lines that the workers segment while the tool writes their output in the
input's order, with a few blocks per worker in flight at most; the output is
the one a single process writes. A line of over a million characters is
segmented by the tool itself."""


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
            help="no runs: where no word matches, every character is a segment of its own (--method longest)",
        )
        parser.add_argument(
            "-m",
            "--method",
            choices=METHODS,
            default="longest",
            help="longest: the longest word at each position (default); frequency: jieba's segmentation by "
            "word frequency, without its HMM; hmm: with it (see below)",
        )
        parser.add_argument(
            "--hmm-tables",
            metavar="DIR",
            help="the folder of jieba's prob_start.py, prob_trans.py and prob_emit.py, for --method hmm "
            "(default: the installed jieba package's)",
        )

    def check(self, args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
        check_delimiter(args, parser)
        if args.chars and args.method != "longest":
            parser.error("--chars is for --method longest: the frequency methods join ASCII letters as jieba does")
        if args.hmm_tables is not None and args.method != "hmm":
            parser.error("--hmm-tables is for --method hmm")

    def dictionaries(self, args: argparse.Namespace) -> list[str]:
        return args.words or []

    def prepare(self, args: argparse.Namespace, report: Report) -> "Segmenter":
        sources = [file_source(w) for w in args.words] if args.words else [data_source("words.txt")]
        if args.method != "longest":
            lexicon, hmm = load_frequencies(sources, args, report)
            # The model, the tables and the code point index are made by the
            # first segmentation: made here, before workers are forked, they
            # are shared instead of each making its own.
            lexicon.segment("x", method=args.method, hmm=hmm)
            return RouteSegmenter(lexicon, hmm, args)
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
            found, used = parse_words(read_list(source), source[0], format)
        except WordListError as e:
            raise CliError(str(e)) from None
        report.note(f"{source[0]}: {len(found):,} words, {used} format")
        if format == "lines" and (looks := detect(found)) != "lines":
            # Each whole line a word: probably not what was meant.
            report.warn(f"{source[0]} looks like {LOOKS[looks]} (-f {looks}), but -f lines takes each whole line as a word")
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


def read_list(source: Source) -> bytes:
    """A word list's bytes, read in bounded memory: one that holds more than
    a word list may is refused (/dev/zero, a wrong path)."""
    name, opener = source
    try:
        with opener() as stream:
            return read_word_list(stream, name)
    except OSError as e:
        raise failed(f"cannot read {name}", e) from None

def load_frequencies(sources: Sequence[Source], args: argparse.Namespace, report: Report) -> "tuple[Lexicon[int], HMM | None]":
    """The lexicon of the first list, a jieba dictionary, with every later
    list added as a user dictionary; and the HMM's tables for --method hmm
    (None for the installed jieba's, which the lexicon loads)."""
    from ..frequency import HMM
    from ..lexicon import Lexicon

    (name, _), *users = sources
    needs = f"--method {args.method} needs a dictionary with frequencies (jieba's 'word freq [tag]' lines)"
    if not args.words:  # the sample word list has none
        raise CliError(f"{needs}: give it with -w, e.g. jieba's dict.txt")
    started = time.monotonic()
    try:
        lexicon: Lexicon[int] = Lexicon.from_file(name, args.format)
        assert lexicon._origin is not None
        used = lexicon._origin[1]
        if used != "jieba":
            raise CliError(f"{needs}; {name} is in {used} format")
        report.note(f"{name}: {len(lexicon):,} words, jieba format")
        for user, _ in users:
            lexicon = lexicon.with_user_dictionary(user)
            report.note(f"{user}: added as a user dictionary, {len(lexicon):,} words now")
    except WordListError as e:
        raise CliError(str(e)) from None
    hmm: HMM | None = None
    try:
        if args.hmm_tables is not None:
            hmm = HMM.from_path(args.hmm_tables)
        elif args.method == "hmm":
            hmm = HMM.from_jieba()
    except (OSError, ValueError) as e:
        raise CliError(f"cannot read the HMM's tables: {e}") from None
    except ModuleNotFoundError as e:
        raise CliError(f"{e}; or give their folder with --hmm-tables DIR") from None
    report.note(f"read the dictionaries in {time.monotonic() - started:.2f} s")
    return lexicon, hmm


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

    def segments(self, text: str) -> list[str]:
        return segment(self.trie, text, alnum_runs=self.runs)

    def without_spaces(self, text: str) -> list[str]:
        segments = self.segments(text)
        return not_whitespace(segments) if WHITESPACE.search(text) else segments

    def block(self, text: str) -> str:
        """The output of `text`, whole lines each ended with "\\n"."""
        if self.json or MARK in text:
            return self.lines(text.split("\n")[:-1])
        joined = MARK + MARK.join(self.segments(text))
        if self.drop_spaces:
            joined = SPACE_SEGMENT.sub("", joined)
        joined = joined.replace(MARK + "\n", "\n").replace("\n" + MARK, "\n").removeprefix(MARK)
        return joined.replace(MARK, self.delimiter)

    def lines(self, lines: list[str]) -> str:
        """The output lines of `lines`, each ended with a newline."""
        if self.json:
            formatted = [json_line(self.segments(line)) for line in lines]
        elif self.drop_spaces:
            formatted = [self.delimiter.join(self.without_spaces(line)) for line in lines]
        else:
            join, segments = self.delimiter.join, self.segments
            formatted = [join(segments(line)) for line in lines]
        formatted.append("")
        return "\n".join(formatted)

    def long_line(self, write: Callable[[str], None]) -> "LongLineSegments":
        return LongLineSegments(self, write)


class RouteSegmenter(Segmenter):
    """Segments lines by word frequency, as jieba does."""

    def __init__(self, lexicon: "Lexicon[int]", hmm: "HMM | None", args: argparse.Namespace) -> None:
        super().__init__(lexicon.trie, 0, args)
        self.lexicon = lexicon
        self.method = args.method
        self.hmm = hmm

    def segments(self, text: str) -> list[str]:
        return self.lexicon.segment(text, method=self.method, hmm=self.hmm)

    def long_line(self, write: Callable[[str], None]) -> "LongLineSegments":
        return RouteLongLine(self, write)


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
        segments = self.segmenter.segments(text)
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
        self.write_segments(self.segmenter.segments(text))
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


class RouteLongLine(LongLineSegments):
    """A long line segmented by frequency: a route depends on its whole run
    of block characters, so what is final is all up to the last character
    outside such a run (a piece of its own)."""

    def piece(self, text: str) -> int:
        # The run the text ends with, found from its end.
        run = BLOCK_RUN.match(text[::-1])
        final = len(text) - (run.end() if run else 0)
        self.write_segments(self.segmenter.segments(text[:final]))
        return len(text) - final


# Runs of letters and digits alone, as segment finds them without words.
NO_WORDS = Velarin([])


def run_length(text: str) -> int:
    """The length of the part of `text` that continues a run before it (its
    letters and digits, and the marks after them), 0 for none."""
    return len(segment(NO_WORDS, "a" + text, alnum_runs=True)[0]) - 1


SEGMENT = Segmentation()
