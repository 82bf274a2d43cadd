"""Measuring what repeated calls leave behind: reference counts of the
objects handed in, the interpreter's allocated blocks and, on a debug
interpreter, its total reference count."""

import gc
import sys
from typing import NamedTuple

SERIES = 3  # measured series after the warm-up


def fresh_text(text):
    """An equal text that is not interned: its count is ours alone to watch."""
    return "".join(list(text)) if len(text) > 1 else text


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


class Probe(NamedTuple):
    rounds: int
    counts_before: list
    counts_after: list
    block_growth: int  # the least growth of one series
    total_refcount_growth: int  # likewise; 0 unless the interpreter is a debug build

    def assert_clean(self, leaking_calls=None, blocks=True):
        """`leaking_calls`: how many calls of a series would each leave
        something behind if the path under test leaked (default: all). Such a
        leak shows in every series; the interpreter's own caches move fewer
        blocks, and not in every series. `blocks=False` leaves the block
        count out where those caches are not small beside `leaking_calls`."""
        limit = max(8, (leaking_calls or self.rounds) // 2)
        assert self.counts_after == self.counts_before, "references of arguments kept"
        if blocks:
            assert self.block_growth < limit, f"{self.block_growth} blocks kept per series"
        assert abs(self.total_refcount_growth) < limit, (
            f"total reference count moved by {self.total_refcount_growth} per series")


def probe(run, objects, rounds, warmup=None):
    """Calls `run` `warmup` times (default `rounds`), then in SERIES measured
    series of `rounds` calls each. The objects' reference counts are compared
    over all series; block and total reference growth is the least of the
    measured series, as caches and free lists fill during the warm-up and
    only a cost per call shows in every series."""
    total = getattr(sys, "gettotalrefcount", lambda: 0)

    def series(calls=rounds):
        for _ in range(calls):
            run()
        gc.collect()

    # Garbage cycles (an error's traceback and its frames) are collected
    # only at the end of a series, not whenever the collector happens to run.
    enabled = gc.isenabled()
    gc.disable()
    try:
        series(warmup or rounds)
        before = refcounts(objects)
        blocks, refs = [], []
        for _ in range(SERIES):
            start_blocks, start_refs = sys.getallocatedblocks(), total()
            series()
            blocks.append(sys.getallocatedblocks() - start_blocks)
            refs.append(total() - start_refs)
    finally:
        if enabled:
            gc.enable()
    return Probe(rounds, before, refcounts(objects), min(blocks), min(refs, key=abs))
