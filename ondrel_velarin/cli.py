"""The command-line tool: longest-match segmentation of text against a word list."""

import argparse
import codecs
import contextlib
import json
import os
import re
import select
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from itertools import accumulate
from typing import IO, TextIO

from .impl_c import Velarin
from .scan_c import segment
from .wordlist import FORMATS, WordListError, parse_words
from .workers import WorkerError, Workers, every_core

PROG = "ondrel_velarin"
# Word lists of this many words or more show progress while the trie is built.
MANY_WORDS = 1_000_000
# Bytes of text read, decoded and segmented at a time.
BLOCK = 1 << 20
# A line longer than this many characters is segmented in pieces of about
# this size, so memory stays bounded however long the line.
PIECE = 1 << 20
# Exit statuses: 1 for an error the message explains, 2 for a bad command
# line (argparse's own), 130 for Ctrl-C and 141 for a closed output pipe,
# which is what a shell reports for a tool that SIGPIPE ended.
EXIT_ERROR, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 1, 130, 141
LINE_END = re.compile(rb"\r\n|\r|\n")
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


class CliError(Exception):
    """An error the user can act on: reported as one line, no traceback."""


def failed(doing: str, e: OSError) -> CliError:
    """The error for an operating system failure while `doing` something."""
    return CliError(f"{doing}: {e.strerror or e}")


# A named input: its name for messages and a way to open it as bytes.
Source = tuple[str, Callable[[], IO[bytes]]]


def file_source(path: str) -> Source:
    return path, lambda: open(path, "rb", buffering=0)


def stdin_source() -> Source:
    if sys.stdin is None:
        raise CliError("standard input is closed: name the TEXT files to segment")
    # A duplicate descriptor, so finishing the input leaves fd 0 itself open.
    fd = sys.stdin.fileno()
    return "<stdin>", lambda: os.fdopen(os.dup(fd), "rb", buffering=0)


def data_source(name: str) -> Source:
    resource = resources.files(__package__).joinpath("data", name)
    return f"<sample {name}>", lambda: resource.open("rb")


def stat_mode(stream: IO[bytes] | TextIO | None) -> int:
    """The file type bits of an open stream, 0 when it has no descriptor."""
    try:
        return os.fstat(stream.fileno()).st_mode if stream is not None else 0
    except (OSError, ValueError, AttributeError):
        return 0


def is_piped(stream: TextIO | None) -> bool:
    """True when the stream is a pipe, socket or file rather than a terminal or /dev/null."""
    mode = stat_mode(stream)
    return stat.S_ISFIFO(mode) or stat.S_ISREG(mode) or stat.S_ISSOCK(mode)


def isatty(stream: TextIO | IO[bytes] | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError, AttributeError):
        return False


class Progress:
    """One self-overwriting status line on standard error, when it is a terminal.

    Nothing shows before `delay` seconds, so quick jobs stay silent, and the
    line is redrawn at most every `every` seconds to keep the cost small.
    """

    def __init__(self, enabled: bool, delay: float = 0.5, every: float = 0.2) -> None:
        self.enabled = enabled
        self.next = time.monotonic() + delay
        self.every = every
        self.shown = False

    def due(self) -> bool:
        return self.enabled and time.monotonic() >= self.next

    def show(self, text: str) -> None:
        if not self.enabled:
            return
        # Marked first: a Ctrl-C as soon as the line shows must wipe it.
        self.shown = True
        sys.stderr.write(f"\r\x1b[K{PROG}: {text}")
        sys.stderr.flush()
        self.next = time.monotonic() + self.every

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def percent(done: int, total: int | None) -> str:
    return f" ({100 * done // total}%)" if total else ""


def say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr)


def read_source(source: Source) -> bytes:
    name, opener = source
    try:
        with opener() as stream:
            return stream.read()
    except OSError as e:
        raise failed(f"cannot read {name}", e) from None


def load_words(sources: Sequence[Source], format: str, verbose: bool, progress: Progress) -> tuple[Velarin, int]:
    """The trie of the words of every list, and the length of the longest word."""
    words: list[str] = []
    for source in sources:
        try:
            found, used = parse_words(read_source(source), source[0], format)
        except WordListError as e:
            raise CliError(str(e)) from None
        if verbose:
            say(f"{source[0]}: {len(found):,} words, {used} format")
        words += found
    if not words:
        names = ", ".join(name for name, _ in sources)
        raise CliError(f"no words in {names} (empty lines are skipped)")
    if len(words) >= MANY_WORDS:
        progress.show(f"building from {len(words):,} words")
    started = time.monotonic()
    trie = Velarin(words)
    progress.clear()
    if verbose:
        say(f"built a trie of {len(words):,} words in {time.monotonic() - started:.2f} s")
    return trie, max(map(len, words))


class Output:
    """Where segmented text goes: standard output, or a file.

    Text is written straight to the descriptor, so nothing waits in a buffer
    when a run ends early. A regular file is written as a temporary file
    beside it, put in place by `commit` only; anything else (a device, a
    pipe) is written directly. A standard output without a descriptor (a
    text stream, as in a notebook) is written as text.
    """

    def __init__(self, path: str | None) -> None:
        self.path = path
        self.name = path if path is not None else "standard output"
        self.fd: int | None = None
        self.text: TextIO | None = None
        self.temp: str | None = None  # the temporary copy while it is written
        self.target = ""  # the file it then replaces
        if path is None:
            if sys.stdout is None:
                raise CliError("standard output is closed: write to a file with -o FILE")
            try:
                self.fd = sys.stdout.fileno()
            except (OSError, ValueError, AttributeError):
                self.text = sys.stdout
            # What was printed before goes first.
            self.flush(sys.stdout)
            return
        try:
            if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
                self.fd = os.open(path, os.O_WRONLY | os.O_TRUNC)
                return
            self.target = os.path.realpath(path)
            self.fd, self.temp = tempfile.mkstemp(
                prefix=f".{os.path.basename(self.target)}.", suffix=".part", dir=os.path.dirname(self.target)
            )
        except OSError as e:
            raise failed(f"cannot write {path}", e) from None

    def write(self, text: str | bytes) -> None:
        """Writes text, or text already encoded as UTF-8 (as workers return it)."""
        try:
            if self.fd is None:
                assert self.text is not None
                self.text.write(text if isinstance(text, str) else text.decode("utf-8"))
                return
            data = memoryview(text.encode("utf-8") if isinstance(text, str) else text)
            while data:
                data = data[os.write(self.fd, data) :]
        except BrokenPipeError:
            raise
        except OSError as e:
            raise failed(f"cannot write {self.name}", e) from None

    def flush(self, stream: TextIO | None = None) -> None:
        """Passes on what a text stream holds; descriptors hold nothing."""
        stream = stream or self.text
        try:
            if stream is not None:
                stream.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise failed(f"cannot write {self.name}", e) from None

    def stat_mode(self) -> int:
        try:
            return os.fstat(self.fd).st_mode if self.fd is not None else 0
        except OSError:
            return 0

    def commit(self) -> None:
        """Finishes the output; a file's temporary copy takes its place."""
        if self.path is None:
            self.flush()
            return
        assert self.fd is not None
        try:
            if self.temp is not None:
                os.fsync(self.fd)
            fd, self.fd = self.fd, None
            os.close(fd)
            if self.temp is not None:
                os.chmod(self.temp, file_mode(self.target))
                os.replace(self.temp, self.target)
                self.temp = None
        except OSError as e:
            raise failed(f"cannot write {self.name}", e) from None

    def discard(self) -> None:
        """Closes a file that was not committed and drops its temporary copy."""
        if self.path is not None and self.fd is not None:
            fd, self.fd = self.fd, None
            with contextlib.suppress(OSError):
                os.close(fd)
        if self.temp is not None:
            with contextlib.suppress(OSError):
                os.unlink(self.temp)
            self.temp = None


def file_mode(path: str) -> int:
    """The permissions for the output: those of the file it replaces, else
    what a new file gets under the umask."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def file_id(path: str) -> tuple[int, int] | None:
    """Device and inode of a regular file (links followed), else None."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return (info.st_dev, info.st_ino) if stat.S_ISREG(info.st_mode) else None


def stream_id(stream: IO[bytes] | TextIO | None) -> tuple[int, int] | None:
    try:
        info = os.fstat(stream.fileno()) if stream is not None else None
    except (OSError, ValueError, AttributeError):
        return None
    return (info.st_dev, info.st_ino) if info is not None and stat.S_ISREG(info.st_mode) else None


def refuse_same_file(output: str | None, inputs: Sequence[str]) -> None:
    """Refuses an output that is one of the inputs ('-' is standard input)."""
    written = file_id(output) if output is not None else stream_id(sys.stdout)
    if written is None:
        return
    for name in inputs:
        if (stream_id(sys.stdin) if name == "-" else file_id(name)) == written:
            shown = "standard input" if name == "-" else name
            raise CliError(f"{output or 'standard output'} is also an input ({shown}): write the output to another file")


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

    def encoded(self, text: str) -> bytes:
        """`block`, encoded: what a worker sends back."""
        return self.block(text).encode("utf-8")


def not_whitespace(segments: list[str]) -> list[str]:
    return [s for s in segments if not s.isspace()]


def json_line(segments: list[str]) -> str:
    offsets = list(accumulate(map(len, segments[:-1]), initial=0)) if segments else []
    return json.dumps({"segments": segments, "offsets": offsets}, ensure_ascii=False)


def json_string(text: str) -> str:
    """`text` as the inside of a JSON string, as json.dumps writes it."""
    return json.dumps(text, ensure_ascii=False)[1:-1]


class LongLine:
    """A line segmented piece by piece as it arrives, with the output a whole
    line would give.

    Only the segments that later text cannot change are written: those that
    start far enough from the text's end that the longest word (and the
    character after it) fits. The rest is carried into the next piece. A run
    of letters and digits longer than that is written as it arrives.
    """

    def __init__(self, segmenter: Segmenter, out: Output) -> None:
        self.segmenter = segmenter
        self.out = out
        self.carry = ""
        self.in_run = False
        self.started = False  # a segment was written
        self.offset = 0  # characters written, for the offsets of --json
        self.offsets: IO[str] | None = None
        if segmenter.json:
            self.offsets = tempfile.TemporaryFile("w+", encoding="ascii")
            out.write('{"segments": [')

    def feed(self, text: str) -> None:
        if self.in_run:
            length = run_length(text)
            self.write_run_part(text[:length])
            if length == len(text):
                return
            self.end_run()
            text = text[length:]
        self.carry += text
        if len(self.carry) >= PIECE:
            self.segment_carry()

    def segment_carry(self) -> None:
        text = self.carry
        segments = segment(self.segmenter.trie, text, alnum_runs=self.segmenter.runs)
        # Segments from the last one back, until one starts where the rest
        # of the line can no longer change it.
        start, final = len(text), len(segments)
        while final > 0 and (final == len(segments) or start + self.segmenter.longest + 1 > len(text)):
            final -= 1
            start -= len(segments[final])
        self.write_segments(segments[:final])
        last = segments[-1]
        if self.segmenter.runs and final == len(segments) - 1 and start + self.segmenter.longest + 1 <= len(text):
            # The last segment is a run that more text may lengthen.
            self.write_run_part(last, first=True)
            self.in_run = True
            self.carry = ""
        else:
            self.carry = text[start:]

    def write_segments(self, segments: list[str]) -> None:
        if not segments:
            return
        if self.offsets is not None:
            offsets = list(accumulate(map(len, segments), initial=self.offset))
            self.offset = offsets.pop()
            separator = ", " if self.started else ""
            self.out.write(separator + ", ".join(json.dumps(s, ensure_ascii=False) for s in segments))
            self.offsets.write(separator + ", ".join(map(str, offsets)))
            self.started = True
            return
        if self.segmenter.drop_spaces:
            segments = not_whitespace(segments)
        if segments:
            self.out.write((self.segmenter.delimiter if self.started else "") + self.segmenter.delimiter.join(segments))
            self.started = True

    def write_run_part(self, text: str, first: bool = False) -> None:
        if first:
            separator = (", " if self.segmenter.json else self.segmenter.delimiter) if self.started else ""
            if self.offsets is not None:
                self.offsets.write(separator + str(self.offset))
            self.out.write(separator + ('"' if self.segmenter.json else ""))
            self.started = True
        self.out.write(json_string(text) if self.segmenter.json else text)
        self.offset += len(text)

    def end_run(self) -> None:
        self.in_run = False
        if self.segmenter.json:
            self.out.write('"')

    def finish(self, text: str) -> None:
        """The line's last part: writes the rest and the line's end."""
        self.feed(text)
        if self.in_run:
            self.end_run()
        self.write_segments(segment(self.segmenter.trie, self.carry, alnum_runs=self.segmenter.runs))
        self.carry = ""
        if self.offsets is not None:
            self.out.write('], "offsets": [')
            self.offsets.seek(0)
            while spooled := self.offsets.read(BLOCK):
                self.out.write(spooled)
            self.offsets.close()
            self.out.write("]}")
        self.out.write("\n")


# Runs of letters and digits alone, as segment finds them without words.
NO_WORDS = Velarin([])


def run_length(text: str) -> int:
    """The length of the part of `text` that continues a run before it (its
    letters and digits, and the marks after them), 0 for none."""
    return len(segment(NO_WORDS, "a" + text, alnum_runs=True)[0]) - 1


def first_line_end(text: str) -> tuple[int, int]:
    """Where the first line end of `text` starts and ends, or (-1, -1)."""
    ends = [i for i in (text.find("\n"), text.find("\r")) if i >= 0]
    if not ends:
        return -1, -1
    at = min(ends)
    return at, at + (2 if text.startswith("\r\n", at) else 1)


def readable(stream: IO[bytes]) -> bool:
    """False when reading `stream` would wait (a pipe or terminal with nothing in it yet)."""
    try:
        return bool(select.select([stream], [], [], 0)[0])
    except (OSError, ValueError, TypeError):
        return True


class Job:
    """Segments the text inputs, in blocks, to one output; with workers, the
    blocks of whole lines are segmented by them."""

    def __init__(
        self, segmenter: Segmenter, out: Output, progress: Progress, total: int | None, workers: Workers | None
    ) -> None:
        self.segmenter = segmenter
        self.out = out
        self.progress = progress
        self.total = total
        self.workers = workers
        self.done = self.lines = 0

    def emit(self, text: str) -> None:
        """Segments whole lines, each ended with "\\n", and writes them in order."""
        if self.workers is None:
            self.out.write(self.segmenter.block(text))
        else:
            self.workers.submit(text)
        self.lines += text.count("\n")

    def drain(self) -> None:
        """Writes what the workers still hold, before anything is written directly."""
        if self.workers is not None:
            self.workers.drain()

    def run(self, source: Source) -> None:
        name, opener = source
        try:
            stream = opener()
        except OSError as e:
            raise failed(f"cannot read {name}", e) from None
        with stream:
            self.segment_stream(name, stream)

    def blocks(self, name: str, stream: IO[bytes]) -> Iterator[bytes]:
        read = getattr(stream, "read1", stream.read)
        while True:
            if self.workers is not None and not readable(stream):
                # Input is still being written: show what is done meanwhile.
                self.workers.drain()
            try:
                data = read(BLOCK)
            except OSError as e:
                raise failed(f"cannot read {name} (after line {self.lines:,})", e) from None
            yield data
            if not data:
                return
            self.done += len(data)

    def segment_stream(self, name: str, stream: IO[bytes]) -> None:
        decoder = codecs.getincrementaldecoder("utf-8")()
        pending, after_cr, first = "", False, True
        long_line: LongLine | None = None
        lines_before = self.lines
        for data in self.blocks(name, stream):
            try:
                text = decoder.decode(data, final=not data)
            except UnicodeDecodeError as e:
                before = e.object[: e.start]
                number = self.lines - lines_before + len(LINE_END.findall(before)) + 1 - (after_cr and before.startswith(b"\n"))
                raise CliError(f"{name}: line {number} is not UTF-8 (byte 0x{e.object[e.start]:02x})") from None
            if first and text:
                first = False
                text = text.removeprefix("\ufeff")
            if after_cr and text.startswith("\n"):
                text = text[1:]
            after_cr = text.endswith("\r")
            if not text:
                continue
            if long_line is not None:
                start, end = first_line_end(text)
                if start < 0:
                    long_line.feed(text)
                    continue
                long_line.finish(text[:start])
                self.lines += 1
                long_line = None
                text = text[end:]
            last = max(text.rfind("\n"), text.rfind("\r"))
            if last >= 0:
                lines = pending + text[: last + 1]
                if "\r" in lines:
                    lines = lines.replace("\r\n", "\n").replace("\r", "\n")
                self.emit(lines)
                pending = text[last + 1 :]
            else:
                pending += text
            if len(pending) > PIECE:
                self.drain()
                long_line = LongLine(self.segmenter, self.out)
                long_line.feed(pending)
                pending = ""
            self.tick()
        if long_line is not None:
            long_line.finish("")
            self.lines += 1
        elif pending:
            self.emit(pending + "\n")

    def tick(self) -> None:
        self.out.flush()
        if self.progress.due():
            self.progress.show(f"segmented {self.lines:,} lines, {self.done / 1e6:.1f} MB{percent(self.done, self.total)}")


def total_size(names: Sequence[str]) -> int | None:
    """The sum of the inputs' sizes when all are regular files, else None."""
    total = 0
    for name in names:
        try:
            info = os.stat(name)
        except OSError:
            return None
        if not stat.S_ISREG(info.st_mode):
            return None
        total += info.st_size
    return total


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Split text into the longest words of a word list, left to right.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "texts",
        nargs="*",
        metavar="TEXT",
        help="UTF-8 text files to segment, line by line; '-' or none: standard input",
    )
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
    parser.add_argument(
        "--json",
        action="store_true",
        help='write one JSON object per line: {"segments": [...], "offsets": [...]}, '
        "offsets counted in code points from the line's start; every segment is kept",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write to FILE (put in place when the run succeeds) instead of standard output",
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=job_count,
        default=1,
        metavar="N",
        help="segment on N worker processes, which share the trie built once (0: one per core; "
        "default 1: no workers); the output is the same, in the same order",
    )
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="say on standard error what each word list gave (words, format) and how long steps took",
    )
    return parser


def job_count(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        jobs = -1
    if jobs < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of processes (0 for one per core)")
    return jobs or every_core()


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.delimiter.encode("utf-8")
    except UnicodeEncodeError:
        parser.error("argument -d/--delimiter: not valid UTF-8 text")
    return args


def segment_texts(
    segmenter: Segmenter, texts: Sequence[Source], out: Output, progress: Progress, args: argparse.Namespace
) -> Job:
    """Segments every text to `out`, on worker processes with --jobs."""
    workers = None
    if args.jobs > 1:
        # The scan builds its index at the first segmentation: built here,
        # before the fork, the workers share it instead of each making one.
        segment(segmenter.trie, "x")
        workers = Workers(args.jobs, segmenter.encoded, out.write)
    job = Job(segmenter, out, progress, total_size(args.texts), workers)
    try:
        for source in texts:
            job.run(source)
        job.drain()
    except WorkerError as e:
        raise CliError(str(e)) from None
    finally:
        if workers is not None:
            workers.close()
    return job


def run(argv: Sequence[str], progress: Progress) -> None:
    args = parse_args(argv)
    sample = not argv and not is_piped(sys.stdin)
    if sample:
        say(f"no input given, so segmenting the sample text against the sample word list; see {PROG} --help for your own")
        texts = [data_source("sample.txt")]
    else:
        texts = [stdin_source() if t == "-" else file_source(t) for t in args.texts or ["-"]]
    word_sources = [file_source(w) for w in args.words] if args.words else [data_source("words.txt")]
    refuse_same_file(args.output, [*(args.texts or ["-"] if not sample else []), *(args.words or [])])

    out = Output(args.output)
    try:
        trie, longest = load_words(word_sources, args.format, args.verbose, progress)
        # Progress only for output to a file: on a terminal or through a pipe
        # to a pager the progress line would garble what is shown.
        progress.enabled = progress.enabled and stat.S_ISREG(out.stat_mode())
        started = time.monotonic()
        job = segment_texts(Segmenter(trie, longest, args), texts, out, progress, args)
        progress.clear()
        out.commit()
        if args.verbose:
            say(f"segmented {job.lines:,} lines, {job.done / 1e6:.1f} MB in {time.monotonic() - started:.2f} s")
    finally:
        out.discard()


def main(argv: Sequence[str] | None = None) -> int:
    progress = Progress(isatty(sys.stderr))
    try:
        run(sys.argv[1:] if argv is None else argv, progress)
    except CliError as e:
        progress.clear()
        say(str(e))
        return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly.
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        # Finish the terminal's line: wipe the status line, or end the one
        # that the echoed ^C is on.
        if progress.shown:
            progress.clear()
        elif isatty(sys.stderr):
            sys.stderr.write("\n")
        return EXIT_INTERRUPTED
    return 0
