"""Nothing kept per call: every public operation, on its success path and on
each of its error paths, leaves the reference counts of what it was given
where they were, and neither the interpreter's allocated blocks nor (on a
debug interpreter) its total reference count grow with the number of calls."""

import sys

import pytest

from leak_probe import probe
from world import CASES, build_world, expected, outcome, watched

ROUNDS = 500  # per series: 2000 calls per case, warm-up included


@pytest.fixture
def world(fake, log):
    return build_world(fake)


@pytest.mark.parametrize("case", sorted(CASES))
def test_no_leak(api, fake, world, case):
    wanted, call = CASES[case]
    assert outcome(lambda: call(api, world)) == expected(wanted)

    def run():
        try:
            call(api, world)
        except (KeyError, MemoryError):
            pass
        fake.LOG.clear()

    probe(run, watched(world), ROUNDS).assert_clean()


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_total_refcount_flat_over_every_case(api, fake, world):
    """All cases in turn, as one series: the interpreter's own count of
    references does not move once warmed up."""
    calls = [CASES[case][1] for case in sorted(CASES)]

    def run():
        for call in calls:
            try:
                call(api, world)
            except (KeyError, MemoryError):
                pass
        fake.LOG.clear()

    result = probe(run, watched(world), 200)
    print(f"total refcount delta over 200 rounds of {len(calls)} cases:",
          result.total_refcount_growth)
    result.assert_clean()
    assert abs(result.total_refcount_growth) < 10
