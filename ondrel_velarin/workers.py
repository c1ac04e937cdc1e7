"""The tool's worker processes: blocks of whole lines segmented in parallel,
their output written in input order.

The workers are forked after the trie is built, so they share its pages
instead of building or copying it, and the function they run needs no
pickling. A block goes out as text and comes back as the encoded bytes to
write. A bounded number of blocks is out at once, so memory stays flat
however long the input.
"""

import ctypes
import multiprocessing
import os
import signal
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from contextlib import contextmanager
from types import FrameType

# Blocks out per worker: one being segmented, one queued, one coming back.
IN_FLIGHT_PER_WORKER = 3

# What a worker does with a block, and the tool's process; set before the
# workers are forked.
_work: Callable[[str], bytes] | None = None
_tool = 0
# Linux's prctl option that sends the process a signal when its parent ends.
PR_SET_PDEATHSIG = 1


class WorkerError(Exception):
    """A worker failed or ended; the message says how, in one line."""


def ended() -> WorkerError:
    return WorkerError("a worker process ended unexpectedly (killed, or out of memory)")


def every_core() -> int:
    return os.process_cpu_count() or 1


def _start_worker() -> None:
    # Ctrl-C reaches every process of the terminal's process group; the tool
    # stops its workers itself, and a worker must not report it as a failure.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A tool that is killed cannot stop its workers, which would wait for
    # blocks for ever: they end with it.
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != _tool:
        os._exit(1)


def _run(block: str) -> bytes:
    assert _work is not None
    return _work(block)


class Workers:
    """`work` on `jobs` forked processes; its results go to `write` in the
    order the blocks were submitted.

    Ctrl-C never interrupts the pool's own bookkeeping, which it could leave
    half done (a worker started but not recorded, a lock held) so that
    stopping the workers fails or hangs: while the pool is called, an
    interrupt is only noted, and raised as KeyboardInterrupt right after.
    A worker forked meanwhile inherits that state, and then ignores Ctrl-C
    for good. Writing stays interruptible.
    """

    def __init__(self, jobs: int, work: Callable[[str], bytes], write: Callable[[bytes], None]) -> None:
        global _work, _tool
        _work, _tool = work, os.getpid()
        # The processes are forked at the first block, so a run with no text
        # starts none.
        self.pool = ProcessPoolExecutor(
            jobs, mp_context=multiprocessing.get_context("fork"), initializer=_start_worker
        )
        self.window = jobs * IN_FLIGHT_PER_WORKER
        self.write = write
        self.pending: deque[Future[bytes]] = deque()
        self.in_pool = self.interrupted = False
        self.default_interrupt = signal.signal(signal.SIGINT, self.on_interrupt)

    def on_interrupt(self, signum: int, frame: FrameType | None) -> None:
        if not self.in_pool:
            raise KeyboardInterrupt
        self.interrupted = True

    @contextmanager
    def calling_pool(self) -> Iterator[None]:
        self.in_pool = True
        try:
            yield
        finally:
            self.in_pool = False
        if self.interrupted:
            raise KeyboardInterrupt

    def submit(self, block: str) -> None:
        with self.calling_pool():
            try:
                self.pending.append(self.pool.submit(_run, block))
            except BrokenProcessPool:
                raise ended() from None
        while self.pending and (len(self.pending) >= self.window or self.pending[0].done()):
            self.write(self.next_result())

    def drain(self) -> None:
        """Writes every result still out, waiting for them."""
        while self.pending:
            self.write(self.next_result())

    def next_result(self) -> bytes:
        with self.calling_pool():
            try:
                return self.pending.popleft().result()
            except BrokenProcessPool:
                raise ended() from None
            except Exception as e:
                raise WorkerError(f"a worker process failed: {type(e).__name__}: {e}") from None

    def close(self) -> None:
        """Stops the workers: blocks not yet started are dropped, and each
        worker ends after the block it is on. A further Ctrl-C meanwhile is
        ignored: the run is ending anyway."""
        global _work
        self.in_pool = True
        self.pool.shutdown(wait=True, cancel_futures=True)
        signal.signal(signal.SIGINT, self.default_interrupt)
        _work = None
