"""The segmentation tool never loses data: atomic output, same-file refusal,
write failures, Ctrl-C in every phase, bounded memory on lines without end,
and use in-process and from a source checkout."""

import contextlib
import hashlib
import io
import os
import pty
import random
import resource
import select
import shutil
import signal
import subprocess
import sys
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


def opened(process: subprocess.Popen[bytes], path: Path) -> bool:
    fds = Path(f"/proc/{process.pid}/fd")
    return any(os.path.realpath(fd) == str(path) for fd in fds.iterdir() if fd.is_symlink())


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


def test_interrupted_while_segmenting(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "中文\n")
    out = tmp_path / "out.txt"
    write(out, "old\n")
    process = subprocess.Popen([*CLI, "-w", words, "-o", str(out)], cwd=tmp_path, env=ENV,
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdin is not None and process.stderr is not None
    process.stdin.write("中文x\n".encode() * 1000)
    process.stdin.flush()
    # Input from a pipe is written out block by block, into the temporary copy.
    wait_for(lambda: any((tmp_path / p).stat().st_size > 0 for p in part_files(tmp_path)), process)
    assert interrupt(process) == 130
    assert process.stderr.read() == b""
    process.stdin.close()
    assert out.read_text() == "old\n" and part_files(tmp_path) == []


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
