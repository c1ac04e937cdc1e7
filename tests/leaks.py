"""Counting the interpreter's allocated blocks around a loop."""

import gc
import sys


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
