"""Speed and memory of quarrine, side by side with what Python users have today.

Run it with `make bench` (or `.venv/bin/python bench/bench.py`; add `--quick`
for a smoke run with smaller sizes). Everything runs in this one process, so
the ratios compare like with like even on a busy machine; the absolute
nanoseconds move with the machine and its load.

Every timing is the best of several repeats of a loop `for x in args: <call>`
with the garbage collector paused, as `timeit` does; the figure is that
loop's time divided by the number of calls, loop included. A "hit" repeats a
call whose result is stored; a "miss" makes a new call (a new argument) on
every iteration of a method with a trivial body.

The script prints information, not a verdict: it ends with the project's
speed goals and whether each held in this run, and it exits 0 either way.
"""

import argparse
import ctypes
import functools
import gc
import importlib.metadata
import math
import os
import platform
import random
import sys
import time
import tracemalloc
from contextlib import contextmanager
from dataclasses import dataclass, field

import cachetools

from quarrine import QuarrineBase, quarrined


@dataclass(frozen=True)
class Settings:
    repeat: int  # timed repeats per figure; the best one is kept
    hit_calls: int  # calls per timed repeat of a hit
    miss_calls: int  # calls per timed repeat of a miss
    scaling_sizes: tuple[int, ...]  # distinct calls held by one instance
    scaling_hits: int  # hits per repeat, spread over the stored calls
    scaling_misses: int  # fresh calls per repeat
    chain_lengths: tuple[int, int]  # the second is ten times the first
    chain_builds: int  # chains built per length; the best first invalidation is kept
    chain_repeat: int  # invalidations of an already invalid chain
    memory_entries: int  # distinct calls for the memory figures


FULL = Settings(
    repeat=9,
    hit_calls=200_000,
    miss_calls=20_000,
    scaling_sizes=(1_000, 100_000, 1_000_000),
    scaling_hits=100_000,
    scaling_misses=10_000,
    chain_lengths=(100_000, 1_000_000),
    chain_builds=3,
    chain_repeat=5,
    memory_entries=100_000,
)

QUICK = Settings(
    repeat=5,
    hit_calls=20_000,
    miss_calls=4_000,
    scaling_sizes=(1_000, 10_000, 100_000),
    scaling_hits=20_000,
    scaling_misses=2_000,
    chain_lengths=(10_000, 100_000),
    chain_builds=2,
    chain_repeat=3,
    memory_entries=20_000,
)

HIT_ARGUMENT = 3
FRESH_ARGUMENTS_START = 1_000  # above the interpreter's small-int cache


# ---------------------------------------------------------------------------
# The contenders. Each class answers the same calls in its own way; fresh()
# gives an instance with nothing stored.


class Plain:
    """No cache at all: the cost of the call itself."""

    @classmethod
    def fresh(cls):
        return cls()

    def area(self, width, height=2):
        return width * height

    def total(self):
        return 42

    def base(self):
        return 40

    def rate(self):
        return 2

    def report(self, n):
        return self.base() + self.rate() + n

    def one(self, x):
        return x


class LruCached:
    """`functools.lru_cache(maxsize=None)` on each method: unbounded, like quarrine."""

    @classmethod
    def fresh(cls):
        for method in (cls.area, cls.total, cls.base, cls.rate, cls.report, cls.one):
            method.cache_clear()
        return cls()

    @functools.lru_cache(maxsize=None)
    def area(self, width, height=2):
        return width * height

    @functools.lru_cache(maxsize=None)
    def total(self):
        return 42

    @functools.lru_cache(maxsize=None)
    def base(self):
        return 40

    @functools.lru_cache(maxsize=None)
    def rate(self):
        return 2

    @functools.lru_cache(maxsize=None)
    def report(self, n):
        return self.base() + self.rate() + n

    @functools.lru_cache(maxsize=None)
    def one(self, x):
        return x


class CachetoolsCached:
    """`cachetools.cachedmethod` over a plain per-instance dict, its fastest cache."""

    def __init__(self):
        self.cache = {}

    @classmethod
    def fresh(cls):
        return cls()

    @cachetools.cachedmethod(lambda self: self.cache)
    def area(self, width, height=2):
        return width * height

    @cachetools.cachedmethod(lambda self: self.cache)
    def total(self):
        return 42


class CachetoolsLruCached(CachetoolsCached):
    """The same over `cachetools.LRUCache`, the cache that cachetools is used with most."""

    def __init__(self):
        self.cache = cachetools.LRUCache(maxsize=math.inf)


class HandWritten:
    """A per-instance dict keyed by method name and bound arguments, written out by hand."""

    def __init__(self):
        self.cache = {}

    @classmethod
    def fresh(cls):
        return cls()

    def area(self, width, height=2):
        key = ("area", width, height)
        try:
            return self.cache[key]
        except KeyError:
            result = self.cache[key] = width * height
            return result

    def total(self):
        try:
            return self.cache["total"]
        except KeyError:
            result = self.cache["total"] = 42
            return result

    def one(self, x):
        key = ("one", x)
        try:
            return self.cache[key]
        except KeyError:
            result = self.cache[key] = x
            return result


class CachedProperty:
    """`functools.cached_property`: after the first read, a plain attribute."""

    @classmethod
    def fresh(cls):
        return cls()

    @functools.cached_property
    def total(self):
        return 42


class Quarrined(QuarrineBase):
    @classmethod
    def fresh(cls):
        return cls()

    @quarrined()
    def area(self, width, height=2):
        return width * height

    @quarrined()
    def total(self):
        return 42

    @quarrined()
    def base(self):
        return 40

    @quarrined()
    def rate(self):
        return 2

    @quarrined(track_runtime_dependencies=True)
    def report(self, n):
        return self.base() + self.rate() + n

    @quarrined()
    def one(self, x):
        return x


class QuarrinedUntracked(Quarrined):
    """The same, except that report() does not record what it calls."""

    @quarrined()
    def report(self, n):
        return self.base() + self.rate() + n


class Chain(QuarrineBase):
    """link(i) is computed from link(i - 1): invalidating link(0) reaches them all."""

    @quarrined(track_runtime_dependencies=True)
    def link(self, i):
        return 0 if i == 0 else self.link(i - 1) + 1


# ---------------------------------------------------------------------------
# Timing.


def compile_loop(statement):
    """A function `loop(obj, args)` running `statement` once per item x of args.

    Compiled from source, as timeit does, so that the statement is exactly
    what a user writes (`obj.area(x)` includes the attribute lookup).
    """
    source = f"def loop(obj, args):\n    for x in args:\n        {statement}\n"
    namespace = {}
    exec(source, namespace)
    return namespace["loop"]


@contextmanager
def gc_paused():
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def measure(trials, repeat):
    """Best ns per call of each trial, from `repeat` rounds.

    A trial is a function that sets up one timed run and returns (run,
    calls). Every round runs each trial once, so a burst of load from
    elsewhere on the machine slows a round of all of them rather than every
    repeat of one, and the ratios between trials stay fair.
    """
    best = dict.fromkeys(trials, float("inf"))
    for _ in range(repeat):
        for name, prepare in trials.items():
            run, calls = prepare()
            with gc_paused():
                start = time.perf_counter_ns()
                run()
                elapsed = time.perf_counter_ns() - start
            best[name] = min(best[name], elapsed / calls)
            del run
    return best


def hit_trial(cls, statement, calls):
    """The same call, `calls` times, on one instance that has its result stored."""
    loop = compile_loop(statement)
    obj = cls.fresh()
    args = [HIT_ARGUMENT] * calls

    def prepare():
        loop(obj, args[:1])  # stores the result, again if another trial cleared it
        return (lambda: loop(obj, args)), len(args)

    return prepare


def miss_trial(cls, statement, calls):
    """`calls` calls with a new argument each, on an instance that starts empty."""
    loop = compile_loop(statement)
    args = list(range(FRESH_ARGUMENTS_START, FRESH_ARGUMENTS_START + calls))

    def prepare():
        obj = cls.fresh()
        return (lambda: loop(obj, args)), len(args)

    return prepare


# ---------------------------------------------------------------------------
# Output.


@dataclass
class Table:
    title: str
    columns: list[str]
    rows: list[list[str]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def print_table(table):
    """The first column left-aligned, every other right-aligned, notes below."""
    widths = [
        max(len(cells[i]) for cells in [table.columns, *table.rows])
        for i in range(len(table.columns))
    ]

    def line(cells):
        first = cells[0].ljust(widths[0])
        rest = (cell.rjust(width) for cell, width in zip(cells[1:], widths[1:]))
        return "  " + "   ".join([first, *rest]).rstrip()

    print()
    print(table.title)
    print(line(table.columns))
    print(line(["-" * width for width in widths]))
    for cells in table.rows:
        print(line(cells))
    for note in table.notes:
        print("  " + note)
    sys.stdout.flush()


def ns(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def ratio(value):
    return f"{value:.2f} x"


def count(value):
    return f"{value:,}".replace(",", " ")


# ---------------------------------------------------------------------------
# The benchmarks. Each returns a table and records in `results` the figures
# that the speed goals are checked against.

AREA_WAYS = [
    ("plain method call, no cache", Plain),
    ("hand-written per-instance dict", HandWritten),
    ("functools.lru_cache", LruCached),
    ("cachetools.cachedmethod, dict", CachetoolsCached),
    ("cachetools.cachedmethod, LRUCache", CachetoolsLruCached),
    ("quarrine", Quarrined),
]
AREA_FORMS = ["obj.area(x)", "obj.area(width=x)"]


def bench_hits(settings, results):
    trials = {
        (cls, form): hit_trial(cls, form, settings.hit_calls)
        for _, cls in AREA_WAYS
        for form in AREA_FORMS
    }
    best = measure(trials, settings.repeat)
    table = Table(
        "Hit: `def area(self, width, height=2)` called again with a stored result",
        ["way to answer the call", "area(3) ns", "vs lru_cache", "area(width=3) ns", "vs lru_cache"],
    )
    for label, cls in AREA_WAYS:
        cells = [label]
        for form in AREA_FORMS:
            cells += [ns(best[cls, form]), ratio(best[cls, form] / best[LruCached, form])]
        table.rows.append(cells)
    results["hit"] = best[Quarrined, AREA_FORMS[0]]
    results["hit_lru"] = best[LruCached, AREA_FORMS[0]]
    results["hit_cachetools"] = best[CachetoolsCached, AREA_FORMS[0]]
    results["hit_cachetools_lru"] = best[CachetoolsLruCached, AREA_FORMS[0]]
    return table


def bench_misses(settings, results):
    trials = {
        (cls, form): miss_trial(cls, form, settings.miss_calls)
        for _, cls in AREA_WAYS
        for form in AREA_FORMS
    }
    best = measure(trials, settings.repeat)
    table = Table(
        "Miss: `area` called with a new width every time (the body is one multiplication)",
        ["way to answer the call", "area(i) ns", "over plain", "area(width=i) ns", "over plain"],
    )
    for label, cls in AREA_WAYS:
        cells = [label]
        for form in AREA_FORMS:
            over = best[cls, form] - best[Plain, form]
            cells += [ns(best[cls, form]), "-" if cls is Plain else ns(over)]
        table.rows.append(cells)
    overhead_ratios = []
    for form, shown in zip(AREA_FORMS, ["area(i)", "area(width=i)"]):
        quarrine_over = best[Quarrined, form] - best[Plain, form]
        lru_over = best[LruCached, form] - best[Plain, form]
        overhead_ratios.append(quarrine_over / lru_over)
        table.notes.append(
            f"{shown}: quarrine's overhead over a plain call is {ratio(quarrine_over / lru_over)}"
            f" lru_cache's ({ns(quarrine_over)} ns against {ns(lru_over)} ns)"
        )
    results["miss_overhead_ratio"] = overhead_ratios[0]
    return table


def bench_zero_argument(settings, results):
    ways = [
        ("plain method call, no cache", Plain, "obj.total()"),
        ("functools.cached_property (an attribute read)", CachedProperty, "obj.total"),
        ("hand-written per-instance dict", HandWritten, "obj.total()"),
        ("functools.lru_cache", LruCached, "obj.total()"),
        ("cachetools.cachedmethod, dict", CachetoolsCached, "obj.total()"),
        ("cachetools.cachedmethod, LRUCache", CachetoolsLruCached, "obj.total()"),
        ("quarrine", Quarrined, "obj.total()"),
    ]
    trials = {cls: hit_trial(cls, statement, settings.hit_calls) for _, cls, statement in ways}
    best = measure(trials, settings.repeat)
    table = Table(
        "Hit of a method without arguments: `def total(self)`",
        ["way to answer the call", "total() ns", "vs lru_cache"],
    )
    for label, cls, _ in ways:
        table.rows.append([label, ns(best[cls]), ratio(best[cls] / best[LruCached])])
    return table


def bench_two_cached_calls(settings, results):
    ways = [
        ("plain methods, no cache", Plain),
        ("functools.lru_cache on all three", LruCached),
        ("quarrine, no run-time tracking", QuarrinedUntracked),
        ("quarrine, track_runtime_dependencies=True", Quarrined),
    ]
    trials = {}
    for _, cls in ways:
        trials["hit", cls] = hit_trial(cls, "obj.report(x)", settings.hit_calls)
        trials["miss", cls] = miss_trial(cls, "obj.report(x)", settings.miss_calls)
    best = measure(trials, settings.repeat)
    table = Table(
        "A method calling two cached methods: `report(n)` returns `base() + rate() + n`",
        ["way to answer the call", "hit ns", "vs lru_cache", "miss ns", "over plain", "vs lru_cache's"],
    )
    lru_over = best["miss", LruCached] - best["miss", Plain]
    for label, cls in ways:
        over = best["miss", cls] - best["miss", Plain]
        table.rows.append([
            label,
            ns(best["hit", cls]),
            ratio(best["hit", cls] / best["hit", LruCached]),
            ns(best["miss", cls]),
            "-" if cls is Plain else ns(over),
            "-" if cls is Plain else ratio(over / lru_over),
        ])
    table.notes.append(
        "a miss is report(n) with a new n: its body runs and meets base() and rate() as hits,"
        " which the tracking version records as its parents"
    )
    return table


def scaling_trials(cls, size, settings):
    """Trials of hits and of misses of one(x) on instances holding `size` distinct calls.

    Hits are spread at random over the stored calls of one instance. Misses
    come in batches of at most a fiftieth of `size` per instance, over as
    many instances as it takes to reach `scaling_misses` calls per run, so
    that every instance still holds about `size` calls at the last repeat.
    """
    loop = compile_loop("obj.one(x)")
    per_instance = max(1, min(settings.scaling_misses, size // 50))
    objs = [cls.fresh() for _ in range(-(-settings.scaling_misses // per_instance))]
    stored = list(range(size))
    with gc_paused():
        for obj in objs:
            loop(obj, stored)
    del stored

    generator = random.Random(size)
    hit_keys = [generator.randrange(size) for _ in range(settings.scaling_hits)]
    start = generator.randrange(size)
    ordered_keys = [(start + i) % size for i in range(settings.scaling_hits)]

    def prepare_hits():
        return (lambda: loop(objs[0], hit_keys)), len(hit_keys)

    def prepare_ordered_hits():
        return (lambda: loop(objs[0], ordered_keys)), len(ordered_keys)

    batch_starts = iter(range(size, size + per_instance * settings.repeat, per_instance))

    def prepare_misses():
        start = next(batch_starts)
        fresh = list(range(start, start + per_instance))

        def run():
            for obj in objs:
                loop(obj, fresh)

        return run, per_instance * len(objs)

    return prepare_hits, prepare_ordered_hits, prepare_misses


def bench_scaling(settings, results):
    sizes = settings.scaling_sizes
    ways = [Quarrined, HandWritten]
    figures = {}
    for size in sizes:
        trials = {}
        for cls in ways:
            trials["hit", cls], trials["ordered", cls], trials["miss", cls] = scaling_trials(
                cls, size, settings)
        best = measure(trials, settings.repeat)
        figures[size] = [best[kind, cls] for cls in ways for kind in ("hit", "ordered", "miss")]
        del trials
        gc.collect()
    table = Table(
        "Scaling: `def one(self, x)` on one instance that already holds N distinct calls",
        ["distinct calls N", "quarrine hit ns", "in order", "quarrine miss ns",
         "dict hit ns", "in order", "dict miss ns"],
    )
    for size in sizes:
        table.rows.append([count(size), *(ns(value) for value in figures[size])])
    growth = [last / first for first, last in zip(figures[sizes[0]], figures[sizes[-1]])]
    table.rows.append([f"{count(sizes[-1])} vs {count(sizes[0])}", *(ratio(value) for value in growth)])
    table.notes.append(
        "dict = the hand-written per-instance dict cache, for what the hardware alone costs"
        " (hits spread over a large table miss the CPU caches)"
    )
    table.notes.append(
        "hits are spread at random over the N stored calls ('in order': consecutive stored calls,"
        " the cache's own work without the memory stalls); misses at small N are spread over"
        " several such instances, so that each still holds about N calls"
    )
    results["scaling_sizes"] = (sizes[0], sizes[-1])
    results["scaling_growth"] = dict(zip(
        ["hit", "ordered hit", "miss", "dict hit", "dict ordered hit", "dict miss"], growth))
    return table


def chain_figures(length, settings):
    """Build chains of `length` links and time update_cached_value on the root.

    The links are called in increasing order, so each call finds the link
    before it stored and the nesting never goes deeper than one level. Each
    of `chain_builds` new chains is invalidated once with every link valid;
    the last one is then invalidated `chain_repeat` times more, walking links
    that are already invalid. Returns the best build cost per link (ns), the
    best first invalidation and the best repeated one (ms), and whether the
    invalidation reached the far end of the chain.
    """
    loop = compile_loop("obj.link(x)")
    build = first = again = float("inf")
    chain = None
    for _ in range(settings.chain_builds):
        chain = None
        gc.collect()
        chain = Chain()
        with gc_paused():
            start = time.perf_counter_ns()
            loop(chain, range(length))
            build = min(build, (time.perf_counter_ns() - start) / length)
            start = time.perf_counter_ns()
            chain.update_cached_value("link", 0, i=0)
            first = min(first, time.perf_counter_ns() - start)
    with gc_paused():
        for _ in range(settings.chain_repeat):
            start = time.perf_counter_ns()
            chain.update_cached_value("link", 0, i=0)
            again = min(again, time.perf_counter_ns() - start)
    reached_end = chain.get_cached_value("link", i=length - 1) is None
    del chain
    gc.collect()
    return build, first / 1e6, again / 1e6, reached_end


def bench_chain_invalidation(settings, results):
    short, long = settings.chain_lengths
    figures = {length: chain_figures(length, settings) for length in (short, long)}
    table = Table(
        "Invalidation: `update_cached_value('link', 0, i=0)` on a chain link(i) <- link(i - 1)",
        [
            "chain length",
            "build ns per link",
            f"invalidate ms (best of {settings.chain_builds})",
            f"again ms (best of {settings.chain_repeat})",
        ],
    )
    for length in (short, long):
        build, first, again, _ = figures[length]
        table.rows.append([count(length), ns(build), f"{first:.2f}", f"{again:.2f}"])
    table.rows.append([
        f"{count(long)} vs {count(short)}",
        *(ratio(last / first) for first, last in zip(figures[short][:3], figures[long][:3])),
    ])
    table.notes.append(
        "invalidate = the first update of a new chain, every link valid; again = the same walk"
        " over links that are already invalid"
    )
    for length in (short, long):
        if not figures[length][3]:
            table.notes.append(f"WARNING: the last link of the {count(length)}-link chain stayed valid")
    results["chain_lengths"] = (short, long)
    results["chain_short_seconds"] = figures[short][1] / 1e3
    results["chain_growth"] = figures[long][1] / figures[short][1]
    return table


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                     "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


def malloc_in_use_reader():
    """A function giving the bytes glibc's malloc has handed out, or None elsewhere."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd  # heap chunks + chunks mapped on their own

    return in_use


def resident_bytes():
    """The process's resident set size (Linux)."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGESIZE")


# Python's own allocator serves requests up to this size from its arenas,
# which are mapped directly and unseen by malloc; larger blocks are malloc's.
PYTHON_SMALL_REQUEST_LIMIT = 512


def memory_per_entry(settings):
    """Bytes per stored call of one(x) for quarrine and lru_cache.

    Returns, per class, (bytes seen by tracemalloc, bytes of all memory).
    The second adds to the first what malloc handed out without tracemalloc
    seeing it: malloc's growth, measured in a pass without tracing, less the
    traced blocks too large for Python's own allocator (those came from
    malloc too). Without mallinfo2 the second figure is the growth of the
    resident set instead, which also counts allocator slack.

    The argument objects are made beforehand, so neither figure counts them,
    and every filled instance of the first pass stays alive until the pass
    ends, so that no instance is built in memory that another gave back.
    """
    entries = settings.memory_entries
    arguments = list(range(FRESH_ARGUMENTS_START, FRESH_ARGUMENTS_START + entries))
    ways = [Quarrined, LruCached]
    fill = compile_loop("obj.one(x)")
    malloc_in_use = malloc_in_use_reader()
    native_reader = malloc_in_use or resident_bytes

    native = {}
    kept = []
    for cls in ways:
        obj = cls.fresh()
        gc.collect()
        before = native_reader()
        fill(obj, arguments)
        gc.collect()
        native[cls] = native_reader() - before
        kept.append(obj)
    del kept, obj
    LruCached.fresh()
    gc.collect()

    figures = {}
    tracemalloc.start()
    try:
        for cls in ways:
            obj = cls.fresh()
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            fill(obj, arguments)
            gc.collect()
            traced = tracemalloc.get_traced_memory()[0] - before
            if malloc_in_use is None:
                total = native[cls]
            else:
                large = sum(
                    trace.size
                    for trace in tracemalloc.take_snapshot().traces
                    if trace.size > PYTHON_SMALL_REQUEST_LIMIT
                )
                total = traced + native[cls] - large
            figures[cls] = (traced / entries, total / entries)
            del obj
            LruCached.fresh()
    finally:
        tracemalloc.stop()
    gc.collect()
    return figures, "malloc" if malloc_in_use else "RSS"


def memory_table(settings, measured, results):
    figures, source = measured
    table = Table(
        f"Memory per stored call of `def one(self, x)`, {count(settings.memory_entries)} distinct int arguments",
        ["way to answer the call", "tracemalloc B/entry", "with native memory B/entry"],
    )
    for label, cls in [("functools.lru_cache", LruCached), ("quarrine", Quarrined)]:
        table.rows.append([label, *(ns(value) for value in figures[cls])])
    ratios = [mine / theirs for mine, theirs in zip(figures[Quarrined], figures[LruCached])]
    table.rows.append(["quarrine vs lru_cache", *(ratio(value) for value in ratios)])
    added = "malloc's growth (mallinfo2)" if source == "malloc" else "the growth of the resident set"
    table.notes.append(
        "tracemalloc sees only Python's allocators, not quarrine's call keys, graph and tables,"
        f" which are C++ memory from malloc; the second figure adds {added}"
    )
    results["memory_ratio"] = ratios[1]
    return table


# ---------------------------------------------------------------------------
# The project's speed goals, checked against this run's figures.


def goals_table(results):
    table = Table("Speed goals, as ratios measured in this run", ["goal", "measured", "holds"])

    def goal(text, measured, holds):
        table.rows.append([text, measured, "yes" if holds else "NO"])

    hit_ratio = results["hit"] / results["hit_lru"]
    goal(
        "hit area(3) <= 3 x lru_cache's hit (aim: 2 x)",
        ratio(hit_ratio) + (" (aim met)" if hit_ratio <= 2 else " (aim not met)"),
        hit_ratio <= 3,
    )
    faster = results["hit_cachetools"] / results["hit"]
    faster_lru = results["hit_cachetools_lru"] / results["hit"]
    goal(
        "hit area(3) >= 3 x faster than cachetools.cachedmethod (dict)",
        f"{faster:.2f} x (LRUCache: {faster_lru:.2f} x)",
        faster >= 3,
    )
    miss = results["miss_overhead_ratio"]
    goal("miss overhead over a plain call <= 6 x lru_cache's", ratio(miss), miss <= 6)
    small, large = (count(size) for size in results["scaling_sizes"])
    growth = results["scaling_growth"]
    for kind in ("hit", "ordered hit", "miss"):
        goal(
            f"{kind} cost at {large} distinct calls <= 1.5 x at {small}",
            f"{ratio(growth[kind])} (dict: {ratio(growth['dict ' + kind])})",
            growth[kind] <= 1.5,
        )
    short, long = (count(length) for length in results["chain_lengths"])
    seconds = results["chain_short_seconds"]
    goal(f"invalidating a {short}-link chain well under a second (< 0.1 s)", f"{seconds:.4f} s", seconds < 0.1)
    chain = results["chain_growth"]
    goal(f"a {long}-link chain about 10 x that time (<= 15 x)", ratio(chain), chain <= 15)
    memory = results["memory_ratio"]
    goal(
        "memory per entry, with native memory, <= 2.5 x lru_cache's",
        ratio(memory),
        memory <= 2.5,
    )
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    settings = QUICK if parser.parse_args().quick else FULL

    print(
        f"quarrine {importlib.metadata.version('quarrine')}, cachetools {cachetools.__version__},"
        f" {platform.python_implementation()} {platform.python_version()} on {platform.machine()},"
        f" {os.cpu_count()} CPUs{' (--quick)' if settings is QUICK else ''}"
    )
    print(
        f"ns per call: best of {settings.repeat} repeats of `for x in args: <call>`, loop included,"
        " garbage collector paused"
    )
    print("functools.lru_cache is lru_cache(maxsize=None), unbounded like the others")
    started = time.perf_counter()
    results = {}

    # Memory first, while the heap holds nothing that a later benchmark gave back.
    memory = memory_per_entry(settings)
    for bench in (bench_hits, bench_misses, bench_zero_argument, bench_two_cached_calls,
                  bench_scaling, bench_chain_invalidation):
        print_table(bench(settings, results))
    print_table(memory_table(settings, memory, results))
    print_table(goals_table(results))
    print(f"\n(ran in {time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
