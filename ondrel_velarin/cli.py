"""The command-line tool: what every job shares.

A job turns text into output line by line against a dictionary it loads
once: segmentation (the default), and others as subcommands
(`python -m ondrel_velarin JOB ...`). Each job is a small module of
`ondrel_velarin.jobs`; this module runs it. A run reads top to bottom here:
the command line chooses the job and parses its options, the inputs and the
output are checked, the job loads its dictionary, the texts are read in
blocks and their whole lines turned into output (by worker processes with
-j), and the output is put in place.

What a job provides (a `Job` subclass, listed in `ondrel_velarin.jobs`):

- `name`, `summary`, `description`, `epilog`, `verb`, `verbed`: its
  subcommand, its line in the list of jobs, its --help, and the words
  messages use ("segment", "segmented");
- `add_arguments(parser)`: its own options (the shared ones, TEXT, -o, -j,
  -v and --json, are added here); `check(args, parser)` refuses what
  argparse cannot (`parser.error`); `dictionaries(args)`: the files it will
  read, so that an output that is one of them is refused too;
- `json_help`: what one line's --json record holds, or None for a job
  without --json; `sample`: a text shipped in the package and what it shows,
  run when the job is given no arguments and nothing is piped in (or None);
- `prepare(args, report)`: loads the dictionary, once, and returns the
  job's `Lines`. It runs before any worker is forked, so workers share what
  it built (build lazily made indexes here too). Files are read in bounded
  memory (`wordlist.read_word_list`: /dev/zero is refused, not read), and
  failures raised as `CliError`, one line. It reports with `report.note`
  (shown with -v), `report.warn` and `report.status`.

`Lines` turns text into output:

- `block(text)`: whole lines, each ended with "\\n" (line ends already made
  "\\n"), to their output; a pure function of the text, as it runs in a
  worker process, whose result is written in input order.
- `long_line(write)`: a line longer than `PIECE` characters comes in pieces,
  to a `Pieces` object made for that line. Its `piece(text)` writes (through
  `write`) the output of the part of `text` that later text cannot change
  and returns how many characters at the end of `text` are not final: those
  are given again at the start of the next piece. What it carries must stay
  bounded by the dictionary (its longest entry), never by the line: a part
  of the output that keeps growing (a run of letters without end) is
  written as it comes, with the state to continue it kept in the object.
  `end(text)` writes the rest of the line and its "\\n". The output must be
  the output of the whole line at once, wherever the pieces are cut: a
  piece boundary never cuts a match.
- With --json (`args.json`), both write one JSON object per line, as
  `json_help` says; a long line's record may need parts that come after
  the rest of it (offsets): `Spool` keeps them on disk meanwhile.

What this module guarantees every job:

- `-o FILE` is atomic: written to an unnamed temporary file beside FILE,
  linked into place only when the run succeeds (a named one, `.FILE.*.part`,
  where the file system cannot make unnamed ones), so no run, not even one
  killed with SIGKILL, leaves a partial FILE or a temporary file behind;
  FILE keeps its permissions; an output that is one of the inputs or
  dictionaries (same device and inode) is refused before anything is
  written;
- every failure is one line on standard error and status 1 (`CliError`);
  a bad command line is the usage and status 2; a closed output pipe ends
  the run quietly with status 141; nothing is ever written to standard
  output but the output, and with standard error closed, messages are
  dropped;
- memory stays bounded: input is read in blocks of at most `BLOCK` bytes,
  and a line without an end comes to the job in pieces;
- Ctrl-C, SIGTERM and SIGHUP end the run at once with 128 + the signal's
  number (130, 143, 129), the progress line wiped, no worker left and the
  output not put in place; a signal inherited as ignored stays ignored;
- `-j N`: the dictionary is loaded once and N worker processes at most (no
  more than the cores, nor than the blocks of text) are forked to run
  `block`; the output is the one a single process writes, and a worker that
  fails, is killed, or cannot be forked ends the run with one line and
  status 1 (see `workers.py`);
- input from a terminal gets a hint that the tool is reading it, and
  non-blocking input and output are waited for, not taken for errors.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import errno
import io
import os
import re
import secrets
import select
import signal
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from typing import IO, BinaryIO, Protocol, TextIO

from .workers import WorkerError, Workers, every_core

PROG = "ondrel_velarin"
# Bytes of text read, decoded and handed to the job at a time.
BLOCK = 1 << 20
# A line longer than this many characters goes to the job in pieces of about
# this size, so memory stays bounded however long the line.
PIECE = 1 << 20
# Exit statuses: 1 for an error the message explains, 2 for a bad command
# line (argparse's own), 128 + the signal for an interrupted run and 141 for
# a closed output pipe, which is what a shell reports for a tool that
# SIGPIPE ended.
EXIT_ERROR, EXIT_BROKEN_PIPE = 1, 141
LINE_END = re.compile(rb"\r\n|\r|\n")
# The end of every job's --help: what the shared part promises.
PROMISES = """\
Output: -o FILE is written to an unnamed temporary file beside FILE, linked
into place only when the whole run succeeds, so a failed, interrupted or
killed run leaves FILE as it was and no partial file. An output that is the
same file as an input is refused. Output is written block by block as the
input arrives, so results show while the input is still being written.
Ctrl-C, SIGTERM and SIGHUP stop the run and every worker; a worker that
fails, is killed or cannot be started fails the run with one line.

exit status: 0 done, 1 an error (one line on standard error says which),
2 a bad command line, 130 interrupted (Ctrl-C; 143 SIGTERM, 129 SIGHUP),
141 the output pipe was closed early (as by `| head`); the tool then stops
quietly."""
# Unnamed temporary files, where the platform has them.
O_TMPFILE = getattr(os, "O_TMPFILE", 0)


class Job:
    """One job of the tool; see the module's comment for what each part does."""

    name = ""
    summary = ""
    description = ""
    epilog = ""
    verb, verbed = "process", "processed"
    json_help: str | None = None
    # A text of the package's data and the words that say what it shows.
    sample: tuple[str, str] | None = None

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        pass

    def check(self, args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
        pass

    def dictionaries(self, args: argparse.Namespace) -> list[str]:
        return []

    def prepare(self, args: argparse.Namespace, report: "Report") -> "Lines":
        raise NotImplementedError


class Pieces(Protocol):
    def piece(self, text: str) -> int: ...

    def end(self, text: str) -> None: ...


class Lines(Protocol):
    def block(self, text: str) -> str: ...

    def long_line(self, write: Callable[[str], None]) -> Pieces: ...


class CliError(Exception):
    """An error the user can act on: reported as one line, no traceback."""


class Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP: the run ends as it does on Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

def failed(doing: str, e: OSError) -> CliError:
    """The error for an operating system failure while `doing` something."""
    return CliError(f"{doing}: {e.strerror or e}")


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    with standard_streams(), stopping_signals():
        report = Report()
        try:
            run(argv, report)
        except CliError as e:
            report.clear()
            report.say(str(e))
            return EXIT_ERROR
        except BrokenPipeError:
            # The reader went away (`| head`): stop quietly.
            return EXIT_BROKEN_PIPE
        except KeyboardInterrupt as e:
            report.interrupted(echoed=not isinstance(e, Stopped))
            return 128 + (e.signum if isinstance(e, Stopped) else signal.SIGINT)
    return 0


def run(argv: list[str], report: Report) -> None:
    job, args = parse_command_line(argv)
    report.verbose = args.verbose
    sample = job.sample is not None and not args.given and not is_piped(sys.stdin)
    if sample:
        assert job.sample is not None
        name, shows = job.sample
        report.say(f"no input given, so {shows}; see {PROG} --help for your own")
        texts = [data_source(name)]
    else:
        texts = [stdin_source(job.verb, report) if t == "-" else file_source(t) for t in args.texts or ["-"]]
    refuse_same_file(args.output, [*(args.texts or ["-"] if not sample else []), *job.dictionaries(args)])

    out = Output(args.output)
    try:
        lines = job.prepare(args, report)
        # Progress only for output to a file: on a terminal or through a pipe
        # to a pager the progress line would garble what is shown.
        report.progress = report.progress and stat.S_ISREG(out.stat_mode())
        started = time.monotonic()
        reader = Reader(job, lines, out, report, total_size(args.texts), workers_for(args.jobs, lines, out, report))
        try:
            for source in texts:
                reader.run(source)
            reader.drain()
        except WorkerError as e:
            raise CliError(str(e)) from None
        finally:
            reader.close()
        report.clear()
        out.commit()
        report.note(f"{job.verbed} {reader.lines:,} lines, {reader.done / 1e6:.1f} MB in {time.monotonic() - started:.2f} s")
    finally:
        out.discard()


# The command line: the job's name first (none: the default job), then its options.


def parse_command_line(argv: list[str]) -> tuple[Job, argparse.Namespace]:
    from .jobs import JOBS

    default = JOBS[0]
    named = {job.name: job for job in JOBS}
    job = named.get(argv[0]) if argv else None
    rest = argv[1:] if job is not None else argv
    job = job or default
    parser = build_parser(job, JOBS, default)
    args = parser.parse_args(rest)
    job.check(args, parser)
    args.given = bool(rest)
    return job, args


def build_parser(job: Job, jobs: Sequence[Job], default: Job) -> argparse.ArgumentParser:
    listing = "\n".join(f"  {j.name:<10} {j.summary}" for j in jobs)
    parser = argparse.ArgumentParser(
        prog=PROG if job is default else f"{PROG} {job.name}",
        description=f"{job.description}\n\njobs ({PROG} JOB --help for each; {default.name} when none is named):\n{listing}",
        epilog=f"{job.epilog}\n\n{PROMISES}" if job.epilog else PROMISES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "texts",
        nargs="*",
        metavar="TEXT",
        help=f"UTF-8 text files to {job.verb}, line by line; '-' or none: standard input",
    )
    job.add_arguments(parser)
    if job.json_help is not None:
        parser.add_argument("--json", action="store_true", help=job.json_help)
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
        help=f"{job.verb} on N worker processes, forked once the dictionary is loaded so that they share it "
        "(0: one per core, and never more than the cores; default 1: no workers); the output is the same, "
        "in the same order",
    )
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="say on standard error what was loaded (words, format) and how long steps took",
    )
    return parser


def check_delimiter(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Refuses a --delimiter that cannot be written as UTF-8 (undecodable bytes of the command line)."""
    try:
        args.delimiter.encode("utf-8")
    except UnicodeEncodeError:
        parser.error("argument -d/--delimiter: not valid UTF-8 text")


def job_count(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        jobs = -1
    if jobs < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of processes (0 for one per core)")
    # More workers than cores only wait for each other.
    return min(jobs or every_core(), every_core())


def workers_for(jobs: int, lines: Lines, out: "Output", report: "Report") -> Workers | None:
    if jobs < 2:
        return None
    report.note(f"up to {jobs} worker processes ({every_core()} cores)")
    return Workers(jobs, lambda text: lines.block(text).encode("utf-8"), out.write)


# Inputs: a name for messages and a way to open the input as bytes.
Source = tuple[str, Callable[[], BinaryIO]]


def file_source(path: str) -> Source:
    return path, lambda: open(path, "rb", buffering=0)


def stdin_source(verb: str, report: Report) -> Source:
    if sys.stdin is None:
        raise CliError(f"standard input is closed: name the TEXT files to {verb}")
    # A duplicate descriptor, so finishing the input leaves fd 0 itself open.
    fd = sys.stdin.fileno()

    def opener() -> BinaryIO:
        if isatty(sys.stdin):
            report.say("reading text from the terminal: type it and end it with Ctrl-D, or name TEXT files")
        return os.fdopen(os.dup(fd), "rb", buffering=0)

    return "<stdin>", opener


def data_source(name: str) -> Source:
    resource = resources.files(__package__).joinpath("data", name)
    # Small files of the package: read at once.
    return f"<sample {name}>", lambda: io.BytesIO(resource.read_bytes())


def refuse_same_file(output: str | None, inputs: Sequence[str]) -> None:
    """Refuses an output that is one of the inputs ('-' is standard input)."""
    written = file_id(output) if output is not None else stream_id(sys.stdout)
    if written is None:
        return
    for name in inputs:
        if (stream_id(sys.stdin) if name == "-" else file_id(name)) == written:
            shown = "standard input" if name == "-" else name
            raise CliError(f"{output or 'standard output'} is also an input ({shown}): write the output to another file")


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


# Reading: blocks of bytes, decoded; whole lines to the job (or its workers),
# a line longer than a piece to the job piece by piece.


class Reader:
    """Reads the texts, in blocks, and writes the job's output of their lines."""

    def __init__(
        self, job: Job, lines: Lines, out: "Output", report: "Report", total: int | None, workers: Workers | None
    ) -> None:
        self.job = job
        self.lines_of = lines
        self.out = out
        self.report = report
        self.total = total
        self.workers = workers
        self.done = self.lines = 0

    def run(self, source: Source) -> None:
        name, opener = source
        try:
            stream = opener()
        except OSError as e:
            raise failed(f"cannot read {name}", e) from None
        with stream:
            self.read_lines(name, stream)

    def read_lines(self, name: str, stream: IO[bytes]) -> None:
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
                long_line = LongLine(self.lines_of.long_line(self.out.write))
                long_line.feed(pending)
                pending = ""
            self.tick()
        if long_line is not None:
            long_line.finish("")
            self.lines += 1
        elif pending:
            self.emit(pending + "\n")

    def blocks(self, name: str, stream: IO[bytes]) -> Iterator[bytes]:
        read = getattr(stream, "read1", stream.read)
        while True:
            if self.workers is not None and not readable(stream):
                # Input is still being written: show what is done meanwhile.
                self.workers.wait_for_input(stream.fileno())
            try:
                data = read(BLOCK)
            except OSError as e:
                raise failed(f"cannot read {name} (after line {self.lines:,})", e) from None
            if data is None:
                # A non-blocking input with nothing in it yet.
                wait_until_ready(stream.fileno(), select.POLLIN)
                continue
            yield data
            if not data:
                return
            self.done += len(data)

    def emit(self, text: str) -> None:
        """Whole lines, each ended with "\\n", to the job; output in order."""
        if self.workers is None:
            self.out.write(self.lines_of.block(text))
        else:
            self.workers.submit(text)
        self.lines += text.count("\n")

    def drain(self) -> None:
        """Writes what the workers still hold, before anything is written directly."""
        if self.workers is not None:
            self.workers.drain()

    def close(self) -> None:
        if self.workers is not None:
            self.workers.close()

    def tick(self) -> None:
        self.out.flush()
        if self.report.due():
            self.report.status(
                f"{self.job.verbed} {self.lines:,} lines, {self.done / 1e6:.1f} MB{percent(self.done, self.total)}"
            )


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


def wait_until_ready(fd: int, events: int) -> None:
    """Waits until a non-blocking descriptor can be read or written."""
    poller = select.poll()
    poller.register(fd, events)
    poller.poll()


def percent(done: int, total: int | None) -> str:
    return f" ({100 * done // total}%)" if total else ""


class LongLine:
    """A line longer than a piece, given to the job's `Pieces` in pieces of
    at least `PIECE` characters, each starting with what the one before
    left unfinished."""

    def __init__(self, pieces: Pieces) -> None:
        self.pieces = pieces
        self.carry = ""

    def feed(self, text: str) -> None:
        self.carry += text
        if len(self.carry) >= PIECE:
            kept = self.pieces.piece(self.carry)
            self.carry = self.carry[len(self.carry) - kept :] if kept else ""

    def finish(self, text: str) -> None:
        """The line's last part: the job writes the rest and the line's end."""
        carry, self.carry = self.carry + text, ""
        self.pieces.end(carry)


class Spool:
    """Output of a long line that must come after the rest of it (the offsets
    of a --json record), kept in a temporary file meanwhile, not in memory."""

    def __init__(self) -> None:
        self.file = tempfile.TemporaryFile("w+", encoding="utf-8")

    def add(self, text: str) -> None:
        self.file.write(text)

    def write_to(self, write: Callable[[str], None]) -> None:
        self.file.seek(0)
        while spooled := self.file.read(BLOCK):
            write(spooled)
        self.file.close()


# Output: straight to the descriptor; a file through a temporary one.


class Output:
    """Where the output goes: standard output, or a file.

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
        self.unnamed = False  # the temporary file has no name until commit
        self.temp: str | None = None  # the temporary file's name, while it has one
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
            self.fd = open_unnamed(os.path.dirname(self.target))
            self.unnamed = self.fd is not None
            if self.fd is None:
                self.fd, self.temp = tempfile.mkstemp(prefix=self.temp_prefix(), suffix=".part", dir=os.path.dirname(self.target))
        except OSError as e:
            raise failed(f"cannot write {path}", e) from None

    def temp_prefix(self) -> str:
        return f".{os.path.basename(self.target)}."

    def write(self, text: str | bytes) -> None:
        """Writes text, or text already encoded as UTF-8 (as workers return it)."""
        try:
            if self.fd is None:
                assert self.text is not None
                self.text.write(text if isinstance(text, str) else text.decode("utf-8"))
                return
            data = memoryview(text.encode("utf-8") if isinstance(text, str) else text)
            while data:
                try:
                    data = data[os.write(self.fd, data) :]
                except BlockingIOError:
                    # A non-blocking output that is full for now.
                    wait_until_ready(self.fd, select.POLLOUT)
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
            if self.unnamed or self.temp is not None:
                os.fsync(self.fd)
                os.fchmod(self.fd, file_mode(self.target))
            if self.unnamed:
                self.temp = self.link_unnamed()
            fd, self.fd = self.fd, None
            os.close(fd)
            if self.temp is not None:
                os.replace(self.temp, self.target)
                self.temp = None
        except OSError as e:
            raise failed(f"cannot write {self.name}", e) from None

    def link_unnamed(self) -> str:
        """Gives the unnamed temporary file a name beside its target; it is
        renamed over the target at once (a file cannot be linked over another)."""
        assert self.fd is not None
        # Through a directory descriptor, as only linkat() follows the
        # descriptor's link in /proc to the file.
        descriptors = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY)
        try:
            while True:
                name = os.path.join(os.path.dirname(self.target), f"{self.temp_prefix()}{secrets.token_hex(4)}.part")
                try:
                    os.link(str(self.fd), name, src_dir_fd=descriptors, follow_symlinks=True)
                    return name
                except FileExistsError:
                    continue
        finally:
            os.close(descriptors)

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


def open_unnamed(folder: str) -> int | None:
    """An unnamed file in `folder` for writing, or None where the file
    system cannot make one (or /proc, which links it into place, is missing)."""
    if not O_TMPFILE or not os.path.isdir("/proc/self/fd"):
        return None
    try:
        return os.open(folder, O_TMPFILE | os.O_WRONLY, 0o600)
    except OSError as e:
        # Unsupported: by the file system, or by a kernel that takes the
        # flag for O_DIRECTORY.
        if e.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
            return None
        raise


def file_mode(path: str) -> int:
    """The permissions for the output: those of the file it replaces, else
    what a new file gets under the umask."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


# Messages, progress, and the process state a run needs.


class Report:
    """Messages on standard error: errors and warnings, notes with -v, and a
    self-overwriting progress line when standard error is a terminal.

    A progress line shows only after `delay` seconds, so quick runs stay
    silent, and is redrawn at most every `every` seconds to keep the cost
    small. Writing to standard error never fails a run.
    """

    def __init__(self, delay: float = 0.5, every: float = 0.2) -> None:
        self.verbose = False
        self.progress = isatty(sys.stderr)
        self.next = time.monotonic() + delay
        self.every = every
        self.shown = False

    def say(self, text: str) -> None:
        self.write(f"{PROG}: {text}\n")

    def warn(self, text: str) -> None:
        self.say(f"warning: {text}")

    def note(self, text: str) -> None:
        if self.verbose:
            self.say(text)

    def due(self) -> bool:
        return self.progress and time.monotonic() >= self.next

    def status(self, text: str) -> None:
        if not self.progress:
            return
        # Marked first: a Ctrl-C as soon as the line shows must wipe it.
        self.shown = True
        self.write(f"\r\x1b[K{PROG}: {text}")
        self.next = time.monotonic() + self.every

    def clear(self) -> None:
        if self.shown:
            self.shown = False
            self.write("\r\x1b[K")

    def interrupted(self, echoed: bool) -> None:
        """Finishes the terminal's line: wipes the progress line, or ends the
        one that the echoed ^C is on."""
        if self.shown:
            self.clear()
        elif echoed and isatty(sys.stderr):
            self.write("\n")

    def write(self, text: str) -> None:
        with contextlib.suppress(OSError, ValueError):
            sys.stderr.write(text)
            sys.stderr.flush()


@contextlib.contextmanager
def standard_streams() -> Iterator[None]:
    """Descriptors 0 to 2 open, and standard error a stream, while the tool runs.

    A descriptor closed at start (`2>&-`) is opened on /dev/null, so that no
    file the run opens later takes its number and receives what is meant
    for it; with standard error closed, messages go to /dev/null as well
    (Python would print them to standard output otherwise).
    """
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)
    saved = sys.stderr
    with open(os.devnull, "w") if saved is None else contextlib.nullcontext(saved) as stderr:
        sys.stderr = stderr
        try:
            yield
        finally:
            sys.stderr = saved


@contextlib.contextmanager
def stopping_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP end the run as Ctrl-C does, unless ignored from the start."""
    saved = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        with contextlib.suppress(ValueError):  # not the main thread: left as they are
            if signal.getsignal(signum) != signal.SIG_IGN:
                saved[signum] = signal.signal(signum, stop)
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def stop(signum: int, frame: object) -> None:
    raise Stopped(signum)
