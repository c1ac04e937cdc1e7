"""The tool on worker processes (--jobs): the output of one process, in
order, and its promises on errors, interrupts and atomic output kept by
every worker."""

import os
import random
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from test_cli_safety import ENV, part_files, wait_for, write

# The tool with its block and piece sizes set, so that small texts cross
# many blocks and a long line is cut into pieces.
TOOL = """
import sys
from ondrel_velarin import cli
cli.BLOCK, cli.PIECE = int(sys.argv[1]), int(sys.argv[2])
sys.exit(cli.main(sys.argv[3:]))
"""
WORDS = "ab\n中文\n图书馆\n我们\nab c\n1中\nx1\n"


def tool(*args: str, block: int = 1 << 20, piece: int = 1 << 20) -> list[str]:
    return [sys.executable, "-c", TOOL, str(block), str(piece), *args]


def run(tmp_path: Path, *args: str, stdin: bytes = b"", **sizes: int) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(tool(*args, **sizes), cwd=tmp_path, env=ENV, input=stdin, capture_output=True, timeout=120)


def mixed_text(rng: random.Random, lines: int) -> str:
    pieces = ["ab", "中文", "图书馆", "我们", " ", "  ", "x1", "Debian", "2024", "é", "\x00", "中", "ab c"]
    ends = ["\n"] * 8 + ["\r\n", "\r"]
    out = ["\ufeff"]
    for _ in range(lines):
        out += rng.choices(pieces, k=rng.choice([0, 0, 1, 5, 30]))
        out.append(rng.choice(ends))
    out.append("我们ab 最后")  # the last line has no end
    return "".join(out)


@pytest.mark.parametrize(
    "options, sizes",
    [
        ([], {}),
        (["--json"], {"block": 97, "piece": 300}),
        (["-d", "|", "--chars"], {"block": 13, "piece": 40}),
        ([], {"block": 64, "piece": 200}),
    ],
)
def test_workers_write_what_one_process_writes(tmp_path: Path, options: list[str], sizes: dict[str, int]) -> None:
    text = mixed_text(random.Random(len(options)), 3000)
    # A line longer than a piece, segmented by the tool itself between blocks of workers.
    text = text.replace("\n", "\n" + "中文x1" * 200 + "\n", 1)
    path = write(tmp_path / "t.txt", text)
    words = write(tmp_path / "w.txt", WORDS)
    one = run(tmp_path, "-w", words, path, *options, **sizes)
    assert one.returncode == 0 and one.stdout.count(b"\n") > 2800, one.stderr
    for jobs in ("2", "3"):
        assert run(tmp_path, "-w", words, path, "-j", jobs, *options, **sizes).stdout == one.stdout
    piped = run(tmp_path, "-w", words, "-j", "2", *options, stdin=text.encode(), **sizes)
    assert (piped.returncode, piped.stdout, piped.stderr) == (0, one.stdout, b"")


@pytest.mark.parametrize(
    "jobs, status, complaint",
    [("0", 0, b""), ("-1", 2, b"not a number of processes"), ("two", 2, b"not a number of processes")],
)
def test_job_counts(tmp_path: Path, jobs: str, status: int, complaint: bytes) -> None:
    result = run(tmp_path, "-w", write(tmp_path / "w.txt", WORDS), "-j", jobs, stdin="我们ab\n".encode())
    assert result.returncode == status and complaint in result.stderr
    assert result.stdout == (b"\xe6\x88\x91\xe4\xbb\xac ab\n" if status == 0 else b"")


def test_lines_show_while_the_input_is_written(tmp_path: Path) -> None:
    process = subprocess.Popen(tool("-w", write(tmp_path / "w.txt", WORDS), "-j", "2"), cwd=tmp_path, env=ENV,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert process.stdin is not None and process.stdout is not None
    for line in ("我们中文图书馆", "中文ab"):
        process.stdin.write(f"{line}\n".encode())
        process.stdin.flush()
        assert select.select([process.stdout], [], [], 60)[0], "no output while the input stays open"
        assert os.read(process.stdout.fileno(), 1000).decode() == {"我们中文图书馆": "我们 中文 图书馆\n",
                                                                   "中文ab": "中文 ab\n"}[line]
    process.stdin.close()
    assert process.wait(timeout=60) == 0


def worker_pids(pid: int) -> list[int]:
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(child) for child in f.read().split()]


class Busy:
    """The tool on two workers, fed text without end, writing to out.txt."""

    def __init__(self, tmp_path: Path) -> None:
        self.out = tmp_path / "out.txt"
        write(self.out, "old\n")
        words = write(tmp_path / "w.txt", WORDS)
        self.process = subprocess.Popen(tool("-w", words, "-j", "2", "-o", str(self.out)), cwd=tmp_path, env=ENV,
                                        stdin=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        self.feeder = threading.Thread(target=self.feed, daemon=True)
        self.feeder.start()
        wait_for(lambda: len(worker_pids(self.process.pid)) == 2, self.process)
        self.workers = worker_pids(self.process.pid)

    def feed(self) -> None:
        assert self.process.stdin is not None
        block = mixed_text(random.Random(1), 2000).encode()
        try:
            while True:
                self.process.stdin.write(block)
        except (BrokenPipeError, ValueError):
            pass

    def finish(self) -> tuple[int, bytes]:
        status = self.process.wait(timeout=60)
        self.feeder.join(timeout=60)  # its pipe is broken now; a thread left would make later forks unsafe
        assert self.process.stderr is not None
        return status, self.process.stderr.read()

    def workers_alive(self) -> list[int]:
        return [pid for pid in self.workers if running(pid)]


def running(pid: int) -> bool:
    """The process exists and is not a zombie waiting to be reaped."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("group", [True, False], ids=["terminal_ctrl_c", "tool_alone"])
def test_interrupt_stops_every_worker(tmp_path: Path, group: bool) -> None:
    busy = Busy(tmp_path)
    if group:
        os.killpg(busy.process.pid, signal.SIGINT)  # as a terminal's Ctrl-C: every process of the group
    else:
        busy.process.send_signal(signal.SIGINT)
    assert busy.finish() == (130, b"")
    assert busy.workers_alive() == []
    assert busy.out.read_text() == "old\n" and part_files(tmp_path) == []


# The tool whose workers, once forked, sit in an at-fork hook for a second
# (as the interpreter's own hooks do for a moment: random's reseeding),
# after saying so in a file named by the first argument.
SLOW_FORK = """
import os, sys, time
ready = sys.argv.pop(1)
def slow():
    open(ready, "a").close()
    time.sleep(1)
os.register_at_fork(after_in_child=slow)
""" + TOOL


def test_ctrl_c_while_a_worker_is_forked_ends_quietly(tmp_path: Path) -> None:
    ready, out = tmp_path / "forking", tmp_path / "out.txt"
    write(out, "old\n")
    command = [sys.executable, "-c", SLOW_FORK, str(ready), str(1 << 20), str(1 << 20),
               "-w", write(tmp_path / "w.txt", WORDS), "-j", "2", "-o", str(out)]
    process = subprocess.Popen(command, cwd=tmp_path, env=ENV, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    assert process.stdin is not None and process.stderr is not None
    block = mixed_text(random.Random(2), 2000).encode()

    def feed() -> None:
        try:
            while True:
                process.stdin.write(block)
        except (BrokenPipeError, ValueError):
            pass

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    wait_for(ready.exists, process)
    os.killpg(process.pid, signal.SIGINT)  # a terminal's Ctrl-C, while the new worker is in the hook
    assert process.wait(timeout=60) == 130
    feeder.join(timeout=60)
    assert process.stderr.read() == b""
    assert out.read_text() == "old\n" and part_files(tmp_path) == []


def test_a_worker_that_dies_fails_the_run(tmp_path: Path) -> None:
    busy = Busy(tmp_path)
    os.kill(busy.workers[0], signal.SIGKILL)
    status, errors = busy.finish()
    assert status == 1
    assert errors == b"ondrel_velarin: a worker process ended unexpectedly (killed, or out of memory)\n"
    assert busy.workers_alive() == []
    assert busy.out.read_text() == "old\n" and part_files(tmp_path) == []


def test_workers_end_when_the_tool_is_killed(tmp_path: Path) -> None:
    busy = Busy(tmp_path)
    busy.process.kill()
    assert busy.process.wait(timeout=60) == -signal.SIGKILL
    deadline = time.monotonic() + 30
    try:
        while busy.workers_alive() and time.monotonic() < deadline:
            time.sleep(0.02)
        assert busy.workers_alive() == [], "workers outlived the tool"
    finally:
        for pid in busy.workers_alive():
            os.kill(pid, signal.SIGKILL)
        busy.finish()


# The write system call's number, by machine: what a process blocked in
# write() shows first in /proc/PID/syscall.
WRITE_CALL = {"x86_64": "1", "aarch64": "64"}.get(os.uname().machine)


def blocked_writing(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/syscall") as f:
            return f.read().split()[0] == WRITE_CALL
    except (FileNotFoundError, IndexError):
        return False


@pytest.mark.skipif(WRITE_CALL is None, reason="the write system call's number on this machine is not known here")
@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM], ids=["SIGKILL", "SIGTERM"])
def test_a_worker_killed_while_sending_its_result_fails_the_run(tmp_path: Path, signum: int) -> None:
    # Blocks whose output is larger than a pipe holds (1 MB at most); the
    # tool's own output is not read, so it stops reading its workers and
    # they stop part-way through sending a result.
    text = write(tmp_path / "t.txt", mixed_text(random.Random(2), 40_000) * 12)
    process = subprocess.Popen(tool("-w", write(tmp_path / "w.txt", WORDS), "-j", "2", text, block=3_000_000),
                               cwd=tmp_path, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout is not None and process.stderr is not None
    wait_for(lambda: any(blocked_writing(pid) for pid in worker_pids(process.pid)), process)
    workers = worker_pids(process.pid)
    os.kill(next(pid for pid in workers if blocked_writing(pid)), signum)
    try:
        _, errors = process.communicate(timeout=60)
    finally:
        for pid in [process.pid, *workers]:
            if running(pid):
                os.kill(pid, signal.SIGKILL)
        process.wait()
    assert process.returncode == 1
    assert errors == b"ondrel_velarin: a worker process ended unexpectedly (killed, or out of memory)\n"
    assert [pid for pid in workers if running(pid)] == []


# Runs a command as a subreaper: a worker that the tool leaves behind becomes
# this process's child, alive or not, and is reported.
SUBREAPER = """
import ctypes, os, subprocess, sys
ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER
result = subprocess.run(sys.argv[1:], capture_output=True)
try:
    left = os.waitpid(-1, os.WNOHANG)[0] != 0 or "running"
except ChildProcessError:
    left = False
sys.stderr.buffer.write(result.stderr)
print(result.returncode, left)
"""
# The tool as a user of its own (root is exempt from limits on processes),
# allowed to read and write what the test made, with at most N processes of
# that user: the tool itself and N - 1 workers.
AS_LIMITED_USER = ["setpriv", "--reuid=64999", "--regid=64999", "--clear-groups",
                   "--inh-caps=+dac_override,+dac_read_search", "--ambient-caps=+dac_override,+dac_read_search"]


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None or shutil.which("prlimit") is None,
                    reason="runs the tool as another user with a process limit: needs root, setpriv and prlimit")
@pytest.mark.parametrize("processes", [1, 2], ids=["first_worker", "second_worker"])
def test_a_worker_that_cannot_be_forked_fails_the_run(tmp_path: Path, processes: int) -> None:
    out = tmp_path / "out.txt"
    write(out, "old\n")
    text = write(tmp_path / "t.txt", mixed_text(random.Random(3), 3000))
    command = [*AS_LIMITED_USER, "prlimit", f"--nproc={processes}", "--",
               *tool("-w", write(tmp_path / "w.txt", WORDS), "-j", "2", text, "-o", str(out), block=97)]
    result = subprocess.run([sys.executable, "-c", SUBREAPER, *command], cwd=tmp_path, env=ENV, capture_output=True,
                            timeout=120)
    assert result.stdout == b"1 False\n", result.stderr
    assert result.stderr == b"ondrel_velarin: cannot start a worker process: Resource temporarily unavailable\n"
    assert out.read_text() == "old\n" and part_files(tmp_path) == []


def test_workers_are_no_more_than_the_blocks_and_the_cores(tmp_path: Path) -> None:
    process = subprocess.Popen(tool("-w", write(tmp_path / "w.txt", WORDS), "-j", "1000", "-v"), cwd=tmp_path, env=ENV,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdin is not None and process.stdout is not None and process.stderr is not None
    process.stdin.write("我们中文\n".encode())
    process.stdin.flush()
    assert process.stdout.readline().decode() == "我们 中文\n"
    # One block so far: one worker.
    assert len(worker_pids(process.pid)) == 1
    process.stdin.close()
    assert process.wait(timeout=60) == 0
    cores = os.process_cpu_count()
    assert f"up to {cores} worker processes ({cores} cores)" in process.stderr.read().decode()


def test_a_worker_that_dies_while_the_input_waits_fails_the_run_at_once(tmp_path: Path) -> None:
    process = subprocess.Popen(tool("-w", write(tmp_path / "w.txt", WORDS), "-j", "2"), cwd=tmp_path, env=ENV,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdin is not None and process.stdout is not None and process.stderr is not None
    process.stdin.write("我们中文\n".encode())
    process.stdin.flush()
    assert process.stdout.readline().decode() == "我们 中文\n"
    (worker,) = worker_pids(process.pid)
    os.kill(worker, signal.SIGKILL)
    try:
        # The input stays open: the tool must not wait for more of it.
        assert process.wait(timeout=60) == 1
    finally:
        process.kill()
        process.stdin.close()
    assert process.stderr.read() == b"ondrel_velarin: a worker process ended unexpectedly (killed, or out of memory)\n"
