"""Counting the interpreter's allocated blocks around a loop."""

import functools
import gc
import os
import sys

# Under the sanitizer (preloaded by `./dev asan`) its allocator takes every
# block and maps regions of its own as it goes.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def block_growth(action, loops: int) -> int:
    """Blocks still allocated after running `action` `loops` times (after a warm-up)."""
    for _ in range(10):
        action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(loops):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before


@functools.cache
def _mallinfo2():
    """glibc's mallinfo2, found once: finding it allocates, and would blur
    each measurement it is part of."""
    import ctypes
    import ctypes.util

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")]

    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        libc.mallinfo2.restype = Mallinfo2
    except (OSError, AttributeError):
        return None
    return libc.mallinfo2


def native_heap_in_use() -> int | None:
    """Bytes the C allocator has handed out and not had back (glibc), or None."""
    mallinfo2 = _mallinfo2()
    if mallinfo2 is None:
        return None
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def address_space() -> int | None:
    """Bytes of the process's mappings (Linux), or None: the large tables are
    mappings of their own, which the C allocator does not count."""
    if SANITIZED:
        return None
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * 4096
    except OSError:
        return None


def growth(action, loops: int) -> tuple[int, int | None, int | None]:
    """(interpreter blocks, native heap bytes, mapped bytes) still in use after
    `loops` runs of `action`."""
    for _ in range(10):
        action()
    # Each reading is taken outside the other's window: reading the heap allocates.
    gc.collect()
    heap, space = native_heap_in_use(), address_space()
    blocks = sys.getallocatedblocks()
    for _ in range(loops):
        action()
    gc.collect()
    blocks = sys.getallocatedblocks() - blocks
    after, space_after = native_heap_in_use(), address_space()
    return blocks, None if heap is None else after - heap, None if space is None else space_after - space
