"""The tool's worker processes: blocks of whole lines turned into output in
parallel, the output written in input order.

The workers are forked after the job loaded its dictionary, so they share
its pages instead of loading or copying it, and the function they run needs
no pickling. Each worker has a pipe of its own for blocks and one for what
it sends back: a worker that ends, even part-way through sending, closes the
only writer of its result pipe, so the tool reads the end of it and fails
the run instead of waiting for the rest. The tool has no threads: it waits
on the pipes with poll, writing blocks and reading results as each pipe
allows, so neither side can block the other.

A worker is forked only when a block finds every worker busy, so a short
text starts one; at most `jobs`. Workers run in a process group of their
own: the terminal's Ctrl-C and hangup reach the tool alone, which stops
them itself; a signal sent to a worker by its pid ends it, and the run.
A bounded number of blocks is out at once, so memory stays flat however
long the input.
"""

import contextlib
import fcntl
import os
import select
import signal
import struct
from collections import deque
from collections.abc import Callable

# Blocks out per worker: one being worked on, one queued, one coming back.
IN_FLIGHT_PER_WORKER = 3
# A message: its length, then (results only) whether it is an error.
LENGTH = struct.Struct("<Q")
RESULT, FAILURE = b"r", b"f"
# The pipes' size, where the system allows it (1 MB is what any user may ask).
PIPE_SIZE = 1 << 20
SET_PIPE_SIZE = getattr(fcntl, "F_SETPIPE_SZ", None)  # Linux's
# The signals that end a run, in the tool as in its workers.
ENDING_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


class WorkerError(Exception):
    """A worker failed, ended or could not start; the message says how, in one line."""


def ended() -> WorkerError:
    return WorkerError("a worker process ended unexpectedly (killed, or out of memory)")


def every_core() -> int:
    return os.process_cpu_count() or 1


class Worker:
    """One forked process, seen from the tool: its pipes and what is in them."""

    def __init__(self, pid: int, blocks: int, results: int) -> None:
        self.pid = pid
        self.blocks = blocks  # the tool writes blocks here
        self.results = results  # and reads their output here
        self.outbox: deque[memoryview] = deque()  # what is not yet written into the pipe
        self.inbox = bytearray()  # a result arriving
        self.done: deque[bytes] = deque()  # results that arrived
        self.assigned = 0  # blocks given, results not yet taken


class Workers:
    """`work` on up to `jobs` forked processes; its results go to `write` in
    the order the blocks were submitted."""

    def __init__(self, jobs: int, work: Callable[[str], bytes], write: Callable[[bytes], None]) -> None:
        self.jobs = jobs
        self.work = work
        self.write = write
        self.window = jobs * IN_FLIGHT_PER_WORKER
        self.workers: list[Worker] = []
        self.order: deque[Worker] = deque()  # the worker of each block out, in input order

    def submit(self, block: str) -> None:
        worker = self.worker_for_block()
        data = block.encode("utf-8")
        worker.outbox += (memoryview(LENGTH.pack(len(data))), memoryview(data))
        worker.assigned += 1
        self.order.append(worker)
        self.pump(wait=False)
        while self.order and (len(self.order) >= self.window or self.order[0].done):
            self.write(self.next_result())

    def drain(self) -> None:
        """Writes every result still out, waiting for them."""
        while self.order:
            self.write(self.next_result())

    def wait_for_input(self, fd: int) -> None:
        """Waits until `fd` has input, with every result written: a worker
        that ends meanwhile ends the run then, not at the next block."""
        self.drain()
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        by_fd = {worker.results: worker for worker in self.workers}
        for results in by_fd:
            poller.register(results, select.POLLIN)
        while True:
            events = poller.poll()
            if any(ready == fd for ready, _ in events):
                return
            for ready, _ in events:
                receive(by_fd[ready])

    def next_result(self) -> bytes:
        worker = self.order[0]
        while not worker.done:
            self.pump(wait=True)
        self.order.popleft()
        worker.assigned -= 1
        return worker.done.popleft()

    def worker_for_block(self) -> Worker:
        idle = [w for w in self.workers if w.assigned == 0]
        if idle:
            return idle[0]
        if len(self.workers) < self.jobs:
            return self.fork()
        return min(self.workers, key=lambda w: w.assigned)

    def fork(self) -> Worker:
        blocks_read, blocks_write = os.pipe()
        results_read, results_write = os.pipe()
        # Held back until each side is ready for them: in the child, a Ctrl-C
        # that lands while fork() runs the interpreter's at-fork hooks
        # (random's reseeding) would print a traceback from inside them; in
        # the tool, one that lands before the worker is counted would leave
        # it behind.
        held = signal.pthread_sigmask(signal.SIG_BLOCK, ENDING_SIGNALS)
        try:
            pid = os.fork()
        except OSError as e:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
            for fd in (blocks_read, blocks_write, results_read, results_write):
                os.close(fd)
            raise WorkerError(f"cannot start a worker process: {e.strerror or e}") from None
        if pid == 0:
            # Nothing of the tool's own code runs in the worker past here.
            try:
                for other in self.workers:
                    os.close(other.blocks)
                    os.close(other.results)
                os.close(blocks_write)
                os.close(results_read)
                serve(self.work, blocks_read, results_write, held)
            finally:
                os._exit(1)
        try:
            os.close(blocks_read)
            os.close(results_write)
            worker = Worker(pid, blocks_write, results_read)
            self.workers.append(worker)
            for fd in (blocks_write, results_read):
                os.set_blocking(fd, False)
                # A block in one piece where the system allows it: fewer turns.
                if SET_PIPE_SIZE is not None:
                    with contextlib.suppress(OSError):
                        fcntl.fcntl(fd, SET_PIPE_SIZE, PIPE_SIZE)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
        return worker

    def pump(self, wait: bool) -> None:
        """Moves blocks into the pipes and results out of them, as far as
        the pipes allow; with `wait`, waits until one of them moves."""
        poller = select.poll()
        by_fd = {}
        for worker in self.workers:
            poller.register(worker.results, select.POLLIN)
            by_fd[worker.results] = worker
            if worker.outbox:
                poller.register(worker.blocks, select.POLLOUT)
                by_fd[worker.blocks] = worker
        for fd, _ in poller.poll(-1 if wait else 0):
            worker = by_fd[fd]
            if fd == worker.results:
                receive(worker)
            else:
                send(worker)

    def close(self) -> None:
        """Ends the workers. After a complete run each ends when its pipe
        of blocks closes; otherwise (an error, Ctrl-C) they are killed. No
        worker is left running or unreaped either way."""
        finished = not self.order
        for worker in self.workers:
            if not finished:
                try:
                    os.kill(worker.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            os.close(worker.blocks)
            os.close(worker.results)
        for worker in self.workers:
            os.waitpid(worker.pid, 0)
        self.workers.clear()
        self.order.clear()


def send(worker: Worker) -> None:
    while worker.outbox:
        try:
            sent = os.write(worker.blocks, worker.outbox[0])
        except BlockingIOError:
            return
        except OSError:
            # The worker closed its end: it ended.
            raise ended() from None
        rest = worker.outbox[0][sent:]
        if rest:
            worker.outbox[0] = rest
        else:
            worker.outbox.popleft()


def receive(worker: Worker) -> None:
    while True:
        try:
            data = os.read(worker.results, 1 << 20)
        except BlockingIOError:
            return
        if not data:
            # Its only writer closed: the worker ended, maybe part-way through a result.
            raise ended()
        worker.inbox += data
        while len(worker.inbox) >= LENGTH.size + 1:
            (size,) = LENGTH.unpack_from(worker.inbox)
            end = LENGTH.size + 1 + size
            if len(worker.inbox) < end:
                break
            kind, message = worker.inbox[LENGTH.size : LENGTH.size + 1], bytes(worker.inbox[LENGTH.size + 1 : end])
            del worker.inbox[:end]
            if kind == FAILURE:
                raise WorkerError(f"a worker process failed: {message.decode('utf-8', 'replace')}")
            worker.done.append(message)


def serve(work: Callable[[str], bytes], blocks: int, results: int, mask: set[int | signal.Signals]) -> None:
    """A worker's life: a block in, its output out, until the pipe of blocks
    closes (the run is done, or the tool ended). The ending signals, held
    back over the fork, are let through again (`mask`) once their handlers
    are the worker's."""
    os.setpgid(0, 0)
    for signum in ENDING_SIGNALS:
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, mask)
    while True:
        header = read_exactly(blocks, LENGTH.size)
        if not header:
            os._exit(0)
        block = read_exactly(blocks, LENGTH.unpack(header)[0]).decode("utf-8")
        try:
            kind, output = RESULT, work(block)
        except Exception as e:
            kind, output = FAILURE, f"{type(e).__name__}: {e}".encode("utf-8")
        write_all(results, LENGTH.pack(len(output)) + kind + output)


def read_exactly(fd: int, size: int) -> bytes:
    """`size` bytes, or b"" at the end of the pipe before any."""
    parts, left = [], size
    while left:
        part = os.read(fd, min(left, 1 << 20))
        if not part:
            if left == size:
                return b""
            os._exit(1)
        parts.append(part)
        left -= len(part)
    return b"".join(parts)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]
