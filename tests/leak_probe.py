"""Measuring what repeated calls leave behind: reference counts of the
objects handed in, the interpreter's allocated blocks and, on a debug
interpreter, its total reference count."""

import gc
import sys
from typing import NamedTuple

# Blocks that may come and go between two series of calls without a cost per
# call (free lists, caches of the interpreter); a leak of one block per call
# over a series of hundreds is far above it.
BLOCK_SLACK = 48
REFCOUNT_SLACK = 48


def fresh_text(text):
    """An equal text that is not interned: its count is ours alone to watch."""
    return "".join(list(text)) if len(text) > 1 else text


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


class Probe(NamedTuple):
    counts_before: list
    counts_after: list
    block_growth: int
    total_refcount_growth: int  # 0 unless the interpreter is a debug build

    def assert_clean(self):
        assert self.counts_after == self.counts_before, "references of arguments kept"
        assert self.block_growth <= BLOCK_SLACK, f"{self.block_growth} blocks kept"
        assert abs(self.total_refcount_growth) <= REFCOUNT_SLACK, (
            f"total reference count moved by {self.total_refcount_growth}")


def probe(run, objects, rounds):
    """Calls `run` once to warm up, then twice `rounds` times. The objects'
    reference counts are compared over all calls; the allocated blocks and
    the total reference count over the second series alone, since one-time
    caches fill during the first and only a cost per call shows in the second."""
    total = getattr(sys, "gettotalrefcount", lambda: 0)
    run()
    gc.collect()
    before = refcounts(objects)
    for _ in range(rounds):
        run()
    gc.collect()
    blocks, refs = sys.getallocatedblocks(), total()
    for _ in range(rounds):
        run()
    gc.collect()
    growth = sys.getallocatedblocks() - blocks, total() - refs
    return Probe(before, refcounts(objects), *growth)
