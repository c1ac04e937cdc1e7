"""The segmentation tool never loses data: atomic output, same-file refusal,
write failures, Ctrl-C in every phase, bounded memory on lines without end,
and use in-process and from a source checkout."""

import contextlib
import fcntl
import hashlib
import io
import os
import pty
import random
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
from collections.abc import Callable
from pathlib import Path

import pytest

from ondrel_velarin import Velarin, cli, segment

CLI = [sys.executable, "-m", "ondrel_velarin"]
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
ROOT = Path(__file__).resolve().parent.parent
# An address-space limit cannot work with the sanitizer's shadow memory.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def write(path: Path, data: str) -> str:
    path.write_text(data, "utf-8", newline="")
    return str(path)


def shell(tmp_path: Path, command: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(["bash", "-c", command], cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=60)


def tool(*args: str) -> str:
    return " ".join([*CLI, *args])


@pytest.mark.parametrize(
    "command",
    [
        "{t} -w w.txt t.txt -o t.txt",
        "ln -s t.txt link.txt; {t} -w w.txt t.txt -o link.txt",
        "ln t.txt hard.txt; {t} -w w.txt hard.txt -o t.txt",
        "{t} -w w.txt -o t.txt < t.txt",
        "{t} -w w.txt - < t.txt >> t.txt",
        "{t} -w w.txt other.txt -o w.txt",
    ],
    ids=["same_name", "symlink", "hard_link", "stdin", "stdout", "word_list"],
)
def test_output_that_is_an_input_is_refused(tmp_path: Path, command: str) -> None:
    write(tmp_path / "w.txt", "中文\n")
    write(tmp_path / "t.txt", "中文中文\n")
    write(tmp_path / "other.txt", "中文\n")
    result = shell(tmp_path, command.format(t=tool()))
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and "is also an input" in result.stderr, result.stderr
    assert (tmp_path / "t.txt").read_text() == "中文中文\n"
    assert (tmp_path / "w.txt").read_text() == "中文\n"


@pytest.mark.parametrize("redirect", ["-o /dev/full", "> /dev/full", "--json > /dev/full"])
def test_full_device_is_one_line(tmp_path: Path, redirect: str) -> None:
    write(tmp_path / "w.txt", "中文\n")
    write(tmp_path / "t.txt", "中文x\n" * 1000)
    result = shell(tmp_path, f"{tool('-w w.txt t.txt')} {redirect}")
    assert result.returncode == 1
    assert result.stderr.endswith(": No space left on device\n") and result.stderr.count("\n") == 1, result.stderr


def test_output_file_is_replaced_whole(tmp_path: Path) -> None:
    write(tmp_path / "w.txt", "中文\n")
    write(tmp_path / "t.txt", "中文x\n")
    out = tmp_path / "out.txt"
    write(out, "old\n")
    out.chmod(0o640)
    (tmp_path / "link.txt").symlink_to("out.txt")
    result = shell(tmp_path, tool("-w w.txt t.txt -o link.txt"))
    assert result.returncode == 0, result.stderr
    # Through the link, the file it names is replaced and keeps its mode.
    assert out.read_text() == "中文 x\n" and (tmp_path / "link.txt").is_symlink()
    assert out.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.txt", "out.txt", "t.txt", "w.txt"]


def wait_for(condition: Callable[[], bool], process: subprocess.Popen[bytes]) -> None:
    deadline = time.monotonic() + 60
    while not condition():
        assert process.poll() is None, "the tool ended before the step"
        assert time.monotonic() < deadline, "the step was not reached"
        time.sleep(0.02)


def target(fd: Path) -> str | None:
    """What a descriptor of another process names, or None when that process
    closed it meanwhile (it opens and closes files as it starts)."""
    try:
        return os.readlink(fd)
    except FileNotFoundError:
        return None


def opened(process: subprocess.Popen[bytes], path: Path) -> bool:
    fds = Path(f"/proc/{process.pid}/fd")
    return any(target(fd) == os.path.realpath(path) for fd in fds.iterdir())


def writing_into(process: subprocess.Popen[bytes], folder: Path) -> bool:
    """The process has written into a temporary file in `folder`, named
    (.part) or not (shown as deleted)."""
    for fd in Path(f"/proc/{process.pid}/fd").iterdir():
        name = target(fd) or ""
        if name.startswith(f"{folder}/") and (name.endswith(" (deleted)") or name.endswith(".part")):
            with contextlib.suppress(FileNotFoundError):
                if fd.stat().st_size > 0:
                    return True
    return False


def part_files(folder: Path) -> list[str]:
    return [p.name for p in folder.iterdir() if p.name.endswith(".part")]


def interrupt(process: subprocess.Popen[bytes]) -> int:
    process.send_signal(signal.SIGINT)
    return process.wait(timeout=60)


@pytest.fixture
def fifo(tmp_path: Path):  # type: ignore[no-untyped-def]
    """A named pipe held open for writing, so a reader of it waits."""
    path = tmp_path / "fifo"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)
    yield path, writer
    os.close(writer)


def test_interrupted_while_reading_words(tmp_path: Path, fifo) -> None:  # type: ignore[no-untyped-def]
    path, _ = fifo
    out = tmp_path / "out.txt"
    write(out, "old\n")
    master, slave = pty.openpty()
    process = subprocess.Popen([*CLI, "-w", str(path), "-o", str(out)], cwd=tmp_path, env=ENV,
                               stdin=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    wait_for(lambda: opened(process, path), process)
    assert interrupt(process) == 130
    shown = read_pty(master)
    # The ^C the terminal echoed gets its line finished; no traceback.
    assert shown == b"\r\n", shown
    assert out.read_text() == "old\n" and part_files(tmp_path) == []


def read_pty(master: int) -> bytes:
    shown = b""
    while select.select([master], [], [], 0.2)[0]:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    return shown


def test_interrupted_while_building(tmp_path: Path, fifo) -> None:  # type: ignore[no-untyped-def]
    path, _ = fifo
    words = tmp_path / "many.txt"
    words.write_text("".join(f"w{i}\n" for i in range(1_100_000)))
    out = tmp_path / "out.txt"
    write(out, "old\n")
    master, slave = pty.openpty()
    process = subprocess.Popen([*CLI, "-w", str(words), str(path), "-o", str(out)], cwd=tmp_path, env=ENV, stderr=slave)
    os.close(slave)
    shown = b""
    while b"building from" not in shown:
        assert select.select([master], [], [], 60)[0], "no progress line"
        shown += os.read(master, 4096)
    assert interrupt(process) == 130
    shown += read_pty(master)
    assert shown.endswith(b"\r\x1b[K") and b"Traceback" not in shown, shown
    assert out.read_text() == "old\n" and part_files(tmp_path) == []


def interrupt_while_writing_a_file(tmp_path: Path, args: list[str], lines: str) -> None:
    """Runs the tool with `args` and -o into an existing file, feeds it
    `lines` through a pipe, and interrupts it once output has begun: status
    130, no message, the file as it was and no temporary copy left."""
    out = tmp_path / "out.txt"
    write(out, "old\n")
    process = subprocess.Popen([*CLI, *args, "-o", str(out)], cwd=tmp_path, env=ENV,
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdin is not None and process.stderr is not None
    process.stdin.write(lines.encode() * 1000)
    process.stdin.flush()
    # Input from a pipe is written out block by block, into the temporary copy.
    wait_for(lambda: writing_into(process, tmp_path), process)
    assert interrupt(process) == 130
    assert process.stderr.read() == b""
    process.stdin.close()
    assert out.read_text() == "old\n" and part_files(tmp_path) == []


def test_interrupted_while_segmenting(tmp_path: Path) -> None:
    interrupt_while_writing_a_file(tmp_path, ["-w", write(tmp_path / "w.txt", "中文\n")], "中文x\n")


def test_interrupted_while_writing(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "中文\n")
    text = write(tmp_path / "t.txt", "中文x\n" * 400_000)
    process = subprocess.Popen([*CLI, "-w", words, text], cwd=tmp_path, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout is not None and process.stderr is not None
    # Output starts; the pipe, no longer read, then fills and the write waits.
    assert process.stdout.read(1000)
    time.sleep(0.3)
    assert interrupt(process) == 130
    assert process.stderr.read() == b""
    process.stdout.close()


def limit_address_space(megabytes: int) -> Callable[[], None]:
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, megabytes << 20))

    return limit


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs terabytes of address space")
@pytest.mark.parametrize("unit, count", [("中文x", 16_000_000 // 3), ("a", 48_000_000)], ids=["words", "one_run"])
def test_a_line_without_end_in_bounded_memory(tmp_path: Path, unit: str, count: int) -> None:
    # 48 MB without a line end; all of it at once would need several times
    # that (the text, its str and a list of segments), more than the limit.
    words = write(tmp_path / "w.txt", "中文\n")
    out = tmp_path / "out.txt"
    feed = f"import sys\nfor _ in range({count // 100_000}): sys.stdout.buffer.write({unit!r}.encode() * 100_000)"
    gen = subprocess.Popen([sys.executable, "-c", feed], stdout=subprocess.PIPE)
    result = subprocess.run([*CLI, "-w", words, "-o", str(out)], cwd=tmp_path, env=ENV, stdin=gen.stdout,
                            capture_output=True, timeout=120, preexec_fn=limit_address_space(150))
    assert gen.stdout is not None
    gen.stdout.close()
    gen.wait(timeout=60)
    assert result.returncode == 0, result.stderr
    segments = " ".join(segment(Velarin(["中文"]), unit, alnum_runs=True))
    repeats = count // 100_000 * 100_000
    expected = hashlib.sha256()
    if unit == "a":
        expected.update(b"a" * repeats + b"\n")
    else:
        expected.update(((segments + " ") * repeats)[:-1].encode() + b"\n")
    assert hashlib.sha256(out.read_bytes()).hexdigest() == expected.hexdigest()


def run_in_process(args: list[str]) -> tuple[int, str]:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = cli.main(args)
    return status, out.getvalue()


@pytest.mark.parametrize("seed", range(3))
def test_pieces_give_the_whole_lines_result(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, seed: int) -> None:
    # In-process, with standard output a text stream, and with blocks and
    # pieces of a few characters, so that every boundary falls everywhere.
    rng = random.Random(seed)
    alphabet = "aab1b中文 x\u0301" * 4 + "\r\n"
    words = write(tmp_path / "w.txt", "ab\n中文\nabab\na b\nx1\n文ab\naaaaab\n1中\nb1b1b1b1\n")
    for _ in range(40):
        text = ("\ufeff" if rng.random() < 0.3 else "") + "".join(rng.choices(alphabet, k=rng.randint(0, 300)))
        path = write(tmp_path / "t.txt", text)
        for options in ([], ["--json"], ["--chars"], ["-d", "|"], ["--json", "--chars"]):
            args = ["-f", "lines", "-w", words, path, *options]
            monkeypatch.setattr(cli, "PIECE", 1 << 20)
            monkeypatch.setattr(cli, "BLOCK", 1 << 20)
            whole = run_in_process(args)
            monkeypatch.setattr(cli, "PIECE", rng.randint(1, 9))
            monkeypatch.setattr(cli, "BLOCK", rng.randint(1, 9))
            assert run_in_process(args) == whole, (text, options)
            assert whole[0] == 0


def test_main_with_a_text_stream_as_standard_output(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "中文\n")
    assert run_in_process(["-w", words, write(tmp_path / "t.txt", "中文Debian\n")]) == (0, "中文 Debian\n")


def test_import_from_the_checkout_root() -> None:
    # The source folder comes first on sys.path there and holds no built modules.
    code = "import ondrel_velarin as m; print(m.segment(m.Velarin(['ab']), 'ab-abc', alnum_runs=True))"
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=ENV, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "['ab', '-', 'abc']\n"), result.stderr
    result = subprocess.run([*CLI, "-w", os.devnull], cwd=ROOT, env=ENV, input="", capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (1, "ondrel_velarin: no words in /dev/null (empty lines are skipped)\n")


def test_unbuilt_source_folder_says_what_to_run(tmp_path: Path) -> None:
    shutil.copytree(ROOT / "ondrel_velarin", tmp_path / "ondrel_velarin", ignore=shutil.ignore_patterns("*.so"))
    # -S: no site-packages, so no installed copy to fall back on.
    result = subprocess.run([sys.executable, "-S", "-c", "import ondrel_velarin"], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 1
    last = result.stderr.splitlines()[-1]
    assert last.startswith("ImportError: ondrel_velarin is not built in ") and "pip install ." in last


@pytest.mark.parametrize(
    "args, status, out",
    [
        (["-w", "missing.txt"], 1, ""),
        (["--no-such-option"], 2, ""),
        (["-v", "-w", "w.txt", "t.txt"], 0, "中文 x\n"),
        (["-v", "-j", "2", "-w", "w.txt", "t.txt"], 0, "中文 x\n"),
    ],
    ids=["error", "usage", "verbose", "verbose_workers"],
)
def test_closed_standard_error_drops_messages(tmp_path: Path, args: list[str], status: int, out: str) -> None:
    write(tmp_path / "w.txt", "中文\n")
    write(tmp_path / "t.txt", "中文x\n")
    result = shell(tmp_path, tool(*args) + " 2>&-")
    assert (result.returncode, result.stdout) == (status, out)


class Writing:
    """The tool writing -o out.txt (which holds "old") from text piped in, input still open."""

    def __init__(self, tmp_path: Path, *options: str, **popen: object) -> None:
        self.out = tmp_path / "out.txt"
        write(self.out, "old\n")
        words = write(tmp_path / "w.txt", "中文\n")
        self.process = subprocess.Popen([*CLI, "-w", words, "-o", str(self.out), *options], cwd=tmp_path, env=ENV,
                                        stdin=subprocess.PIPE, stderr=subprocess.PIPE, **popen)  # type: ignore[call-overload]
        assert self.process.stdin is not None
        self.process.stdin.write("中文x\n".encode() * 100_000)
        self.process.stdin.flush()
        wait_for(lambda: writing_into(self.process, tmp_path), self.process)

    def finish(self) -> tuple[int, bytes]:
        assert self.process.stdin is not None and self.process.stderr is not None
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.close()
        return self.process.wait(timeout=60), self.process.stderr.read()


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def test_termination_ends_the_run_as_ctrl_c_does(tmp_path: Path, signum: int, jobs: str) -> None:
    run = Writing(tmp_path, "-j", jobs)
    run.process.send_signal(signum)
    assert run.finish() == (128 + signum, b"")
    assert run.out.read_text() == "old\n" and part_files(tmp_path) == []


def test_killed_run_leaves_no_partial_file(tmp_path: Path) -> None:
    run = Writing(tmp_path)
    run.process.kill()
    assert run.finish()[0] == -signal.SIGKILL
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.txt", "w.txt"]
    assert run.out.read_text() == "old\n"


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_ignored_from_the_start_stays_ignored(tmp_path: Path, jobs: str) -> None:
    # As in a background job of a shell script, or under `trap '' INT`.
    run = Writing(tmp_path, "-j", jobs, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    run.process.send_signal(signal.SIGINT)
    assert run.finish() == (0, b"")
    assert run.out.read_text() == "中文 x\n" * 100_000


def test_named_temporary_file_where_unnamed_ones_cannot_be_made(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(cli, "O_TMPFILE", 0)
    out = tmp_path / "out.txt"
    words = write(tmp_path / "w.txt", "中文\n")
    assert run_in_process(["-w", words, write(tmp_path / "t.txt", "中文x\n"), "-o", str(out)]) == (0, "")
    assert out.read_text() == "中文 x\n" and part_files(tmp_path) == []


@pytest.mark.parametrize("end", ["stdin", "stdout"])
def test_non_blocking_standard_streams(tmp_path: Path, end: str) -> None:
    words = write(tmp_path / "w.txt", "中文\n")
    read, written = os.pipe()
    # The flag is the open pipe's, so the tool sees it on its own end.
    os.set_blocking(read if end == "stdin" else written, False)
    # Through stdin, less than the pipes hold, as the test writes it all before reading.
    count = 2000 if end == "stdin" else 200_000
    lines = "中文x\n".encode() * count
    if end == "stdin":
        process = subprocess.Popen([*CLI, "-w", words], cwd=tmp_path, env=ENV, stdin=read, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        os.close(read)
        # The tool finds the pipe empty: it has made its own descriptor of
        # standard input to read, and waits (or has failed).
        wait_for(lambda: reading_stdin(process), process)
        time.sleep(0.2)
        with os.fdopen(written, "wb") as feed:
            feed.write(lines)
    else:
        source = tmp_path / "t.txt"
        source.write_bytes(lines)
        process = subprocess.Popen([*CLI, "-w", words, str(source)], cwd=tmp_path, env=ENV, stdout=written,
                                   stderr=subprocess.PIPE)
        os.close(written)
        # The pipe fills, so the tool's next write finds it full.
        capacity = fcntl.fcntl(read, fcntl.F_GETPIPE_SZ)
        wait_for(lambda: held(read) >= capacity, process)
        process.stdout = os.fdopen(read, "rb")
    out, errors = process.communicate(timeout=60)
    assert (process.returncode, errors) == (0, b"")
    assert out == "中文 x\n".encode() * count


def held(pipe: int) -> int:
    """The bytes waiting in a pipe."""
    return struct.unpack("i", fcntl.ioctl(pipe, termios.FIONREAD, b"\0" * 4))[0]


def reading_stdin(process: subprocess.Popen[bytes]) -> bool:
    fds = Path(f"/proc/{process.pid}/fd")
    stdin = os.readlink(fds / "0")
    return sum(1 for fd in fds.iterdir() if target(fd) == stdin) > 1



def test_terminal_input_gets_a_hint(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "中文\n")
    master, slave = pty.openpty()
    process = subprocess.Popen([*CLI, "-w", words], cwd=tmp_path, env=ENV, stdin=slave, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    os.close(slave)
    assert process.stderr is not None
    assert select.select([process.stderr], [], [], 60)[0], "no hint"
    assert process.stderr.readline() == (b"ondrel_velarin: reading text from the terminal: "
                                         b"type it and end it with Ctrl-D, or name TEXT files\n")
    os.write(master, "中文x\n\x04".encode())
    out, _ = process.communicate(timeout=60)
    os.close(master)
    assert (process.returncode, out) == (0, "中文 x\n".encode())
