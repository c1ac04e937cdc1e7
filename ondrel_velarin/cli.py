"""The command-line tool: longest-match segmentation of text against a word list."""

import argparse
import contextlib
import json
import os
import stat
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from itertools import accumulate
from typing import IO, TextIO

from .impl_c import Velarin
from .scan_c import segment

PROG = "ondrel_velarin"
# Word lists longer than this show progress: below it a build is quick.
MANY_WORDS = 1_000_000
# Exit statuses: 1 for an error the message explains, 2 for a bad command
# line (argparse's own), 130 for Ctrl-C and 141 for a closed output pipe,
# which is what a shell reports for a tool that SIGPIPE ended.
EXIT_ERROR, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 1, 130, 141

EPILOG = f"""\
Segmentation: at each position the longest word of the list that the text
there begins with is emitted, or the single character there when no word
matches, and the scan goes on right after it. Each input line gives one
output line; the trailing newline ("\\n" or "\\r\\n") of every input line and
word line is dropped. Empty lines in a word list are skipped.

Without arguments, and with nothing piped in, the tool segments a sample text
shipped with the package against its sample word list (English and Chinese).

examples:
  {PROG}                                    # the built-in sample
  {PROG} --words words.txt text.txt         # segments separated by spaces
  {PROG} -w a.txt -w b.txt -d '|' t.txt     # two word lists, '|' between segments
  {PROG} -w words.txt --json text.txt       # {{"segments": [..], "offsets": [..]}}
  {PROG} -w words.txt big.txt -o out.txt    # to a file, progress on the terminal
  echo 我们在图书馆读书 | {PROG} -w zh.txt  # from standard input

Output is flushed line by line when it goes to a terminal or the input comes
from a pipe or terminal, so results show up while the input is still being
written. A progress line appears on standard error, when that is a terminal,
for word lists of over {MANY_WORDS:,} lines and for long runs whose output
goes to a file.

exit status: 0 done, 1 an error (one line on standard error says which),
2 a bad command line, 130 interrupted, 141 the output pipe was closed early
(as by `| head`); the tool then stops quietly."""


class CliError(Exception):
    """An error the user can act on: reported as one line, no traceback."""


# A named input: its name for messages and a way to open it as bytes.
Source = tuple[str, Callable[[], IO[bytes]]]


def file_source(path: str) -> Source:
    return path, lambda: open(path, "rb")


def stdin_source() -> Source:
    if sys.stdin is None:
        raise CliError("standard input is closed: name the TEXT files to segment")
    # A duplicate descriptor, so finishing the input leaves fd 0 itself open.
    fd = sys.stdin.fileno()
    return "<stdin>", lambda: os.fdopen(os.dup(fd), "rb")


def data_source(name: str) -> Source:
    resource = resources.files(__package__).joinpath("data", name)
    return f"<sample {name}>", lambda: resource.open("rb")


def stat_mode(stream: IO[bytes] | TextIO | None) -> int:
    """The file type bits of an open stream, 0 when it has no descriptor."""
    try:
        return os.fstat(stream.fileno()).st_mode if stream is not None else 0
    except (OSError, ValueError):
        return 0


def is_piped(stream: TextIO | None) -> bool:
    """True when the stream is a pipe, socket or file rather than a terminal or /dev/null."""
    mode = stat_mode(stream)
    return stat.S_ISFIFO(mode) or stat.S_ISREG(mode) or stat.S_ISSOCK(mode)


def isatty(stream: TextIO | IO[bytes] | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
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
        sys.stderr.write(f"\r\x1b[K{PROG}: {text}")
        sys.stderr.flush()
        self.shown = True
        self.next = time.monotonic() + self.every

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def percent(done: int, total: int | None) -> str:
    return f" ({100 * done // total}%)" if total else ""


def read_lines(source: Source) -> Iterator[tuple[int, str, int]]:
    """Yields (line number, decoded line without its newline, raw byte length)."""
    name, opener = source
    try:
        stream = opener()
    except OSError as e:
        raise CliError(f"cannot read {name}: {e.strerror or e}") from None
    with stream:
        number = 0
        try:
            for number, raw in enumerate(stream, 1):
                size = len(raw)
                if raw.endswith(b"\n"):
                    raw = raw[:-2] if raw.endswith(b"\r\n") else raw[:-1]
                try:
                    line = raw.decode("utf-8")
                except UnicodeDecodeError as e:
                    raise CliError(
                        f"{name}: line {number} is not UTF-8 "
                        f"(byte 0x{raw[e.start]:02x} at byte {e.start + 1} of the line)"
                    ) from None
                yield number, line, size
        except OSError as e:
            raise CliError(f"cannot read {name} (after line {number}): {e.strerror or e}") from None


def total_size(sources: Sequence[Source]) -> int | None:
    """The sum of the inputs' sizes when all are regular files, else None."""
    total = 0
    for name, _ in sources:
        try:
            info = os.stat(name)
        except OSError:
            return None
        if not stat.S_ISREG(info.st_mode):
            return None
        total += info.st_size
    return total


def load_words(sources: Sequence[Source], progress: Progress) -> Velarin:
    words: list[str] = []
    total = total_size(sources)
    done = 0
    for source in sources:
        for number, line, size in read_lines(source):
            done += size
            if line:
                words.append(line)
            if number >= MANY_WORDS and progress.due():
                progress.show(f"reading {source[0]}: {number:,} lines{percent(done, total)}")
    if not words:
        names = ", ".join(name for name, _ in sources)
        raise CliError(f"no words in {names} (empty lines are skipped)")
    if len(words) >= MANY_WORDS:
        progress.show(f"building from {len(words):,} words")
    trie = Velarin(words)
    progress.clear()
    return trie


def format_line(segments: list[str], delimiter: str, as_json: bool) -> str:
    if as_json:
        offsets = list(accumulate(map(len, segments[:-1]), initial=0)) if segments else []
        return json.dumps({"segments": segments, "offsets": offsets}, ensure_ascii=False)
    return delimiter.join(segments)


def segment_inputs(
    trie: Velarin,
    sources: Sequence[Source],
    out: IO[bytes],
    args: argparse.Namespace,
    line_flush: bool,
    progress: Progress,
) -> None:
    total = total_size(sources)
    done = lines = 0
    for source in sources:
        for _, line, size in read_lines(source):
            out.write(format_line(segment(trie, line), args.delimiter, args.json).encode("utf-8") + b"\n")
            if line_flush:
                out.flush()
            done += size
            lines += 1
            if progress.due():
                progress.show(f"segmented {lines:,} lines, {done / 1e6:.1f} MB{percent(done, total)}")
    progress.clear()


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
        help="UTF-8 word list, one word per line; give it several times to join lists "
        "(default: the small sample list shipped with the package)",
    )
    parser.add_argument(
        "-d",
        "--delimiter",
        default=" ",
        metavar="STR",
        help="what to put between segments (default: a space); e.g. -d '|' or -d $'\\t'",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help='write one JSON object per line: {"segments": [...], "offsets": [...]}, '
        "offsets counted in code points from the line's start",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write to FILE instead of standard output",
    )
    return parser


def run(argv: Sequence[str]) -> None:
    args = build_parser().parse_args(argv)
    sample = not argv and not is_piped(sys.stdin)
    if sample:
        print(
            f"{PROG}: no input given, so segmenting the sample text against the sample "
            f"word list; see {PROG} --help for your own",
            file=sys.stderr,
        )
        texts = [data_source("sample.txt")]
    else:
        texts = [stdin_source() if t == "-" else file_source(t) for t in args.texts or ["-"]]
    word_sources = [file_source(w) for w in args.words] if args.words else [data_source("words.txt")]

    trie = load_words(word_sources, Progress(isatty(sys.stderr)))

    # Flushing each line lets results show while a pipe or a person is still
    # writing the input; for files, the buffer is kept for speed.
    interactive_input = any(name == "<stdin>" for name, _ in texts) and not stat.S_ISREG(stat_mode(sys.stdin))
    if args.output is None:
        if sys.stdout is None:
            raise CliError("standard output is closed: write to a file with -o FILE")
        out: IO[bytes] = sys.stdout.buffer
    else:
        try:
            out = open(args.output, "wb")
        except OSError as e:
            raise CliError(f"cannot write {args.output}: {e.strerror or e}") from None
    with out if args.output is not None else contextlib.nullcontext(out):
        # Only output to a file: on a terminal or through a pipe to a pager
        # the progress line would garble what is shown.
        progress = Progress(isatty(sys.stderr) and stat.S_ISREG(stat_mode(out)))
        segment_inputs(trie, texts, out, args, isatty(out) or interactive_input, progress)
        out.flush()


def main(argv: Sequence[str] | None = None) -> int:
    try:
        run(sys.argv[1:] if argv is None else argv)
    except CliError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (`| head`): point stdout at /dev/null so the
        # interpreter's final flush does not fail again, and stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    return 0
