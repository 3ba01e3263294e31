"""Incremental computation side by side: quarrine against lru_cache, a hand-written
dirty-flag version and the reactive libraries reaktiv and observ.

Run it with `make bench` (or `.venv/bin/python bench/incremental.py`; add
`--quick` for a smoke run). Every contender first has its values checked
against a plain computation; only then is it timed. All contenders of one
table run in this one process, their repeats interleaved, so the ratios
compare like with like; the absolute times move with the machine.

The workloads:
- the spreadsheet: rows of cells, each the sum of its three neighbours in the
  row above (wrapping around at the edges) modulo a prime; the first row holds
  the inputs. A round changes one input and reads the last row. Trivial cells
  add three numbers; costly cells also make about 200 additions.
- cellx: four sources p1..p4 = 1, 2, 3, 4 and 1 000 layers, each computed
  from the one before; read the four ends, set the sources to 4, 3, 2, 1 and
  read the ends again. Layers are read one by one from the sources down, so
  that no computation nests deeper than one layer.
- the usual reactive shapes: a deep chain, broad heads, a diamond, a triangle
  and an unstable node whose dependencies change with its input's parity. A
  round sets the head and reads the ends.

lru_cache stands for what people do today: cache everything and clear the
whole cache on every change. The peers run as their documentation shows:
reaktiv with a Signal per input and a Computed per cell (read without an
Effect, so computeds are pulled), observ with a reactive dict of inputs and a
`computed` per cell; both with their default settings.
"""

import argparse
import functools
import gc
import importlib.metadata
import os
import platform
import sys
import time

from quarrine import QuarrineBase, quarrined

PRIME = 1_000_003
COSTLY_ADDITIONS = range(200)


def combine_trivial(a, b, c):
    return (a + b + c) % PRIME


def combine_costly(a, b, c):
    x = a + b + c
    for k in COSTLY_ADDITIONS:
        x += k
    return x % PRIME


COMBINE = {"trivial": combine_trivial, "costly": combine_costly}


# ---------------------------------------------------------------------------
# The spreadsheet. Every model offers set_input(col, value) and last_row().
# Row 0 holds the inputs; cell (row, col) for row >= 1 combines the cells
# (row - 1, col - 1), (row - 1, col) and (row - 1, col + 1), columns wrapping.


def initial_inputs(width):
    return [(col * 37 + 11) % PRIME for col in range(width)]


def reference_last_row(inputs, rows, combine):
    width = len(inputs)
    row = list(inputs)
    for _ in range(1, rows):
        row = [combine(row[col - 1], row[col], row[(col + 1) % width]) for col in range(width)]
    return row


class LruSheet:
    """lru_cache on the cell method, the whole cache cleared on every change.

    The cache is the class's (keyed by the instance too), as `lru_cache` on a
    method always is; cache_clear() empties it for every instance.
    """

    def __init__(self, rows, width, combine):
        self.rows = rows
        self.width = width
        self.combine = combine
        self.inputs = initial_inputs(width)

    @functools.lru_cache(maxsize=None)
    def cell(self, row, col):
        width = self.width
        left = (col - 1) % width
        right = (col + 1) % width
        if row == 1:
            inputs = self.inputs
            return self.combine(inputs[left], inputs[col], inputs[right])
        row -= 1
        return self.combine(self.cell(row, left), self.cell(row, col), self.cell(row, right))

    def set_input(self, col, value):
        self.inputs[col] = value
        LruSheet.cell.cache_clear()

    def last_row(self):
        row = self.rows - 1
        return [self.cell(row, col) for col in range(self.width)]


class DirtySheet:
    """Hand-written: a stored value and a dirty flag per cell.

    Changing an input marks the cells that depend on it, row by row; reading
    recomputes the marked cells top-down, each from the row above.
    """

    def __init__(self, rows, width, combine):
        self.rows = rows
        self.width = width
        self.combine = combine
        self.values = [initial_inputs(width)] + [[0] * width for _ in range(rows - 1)]
        self.dirty = [set()] + [set(range(width)) for _ in range(rows - 1)]

    def set_input(self, col, value):
        self.values[0][col] = value
        width = self.width
        marked = {col}
        for dirty in self.dirty[1:]:
            marked = {(c + d) % width for c in marked for d in (-1, 0, 1)}
            dirty |= marked

    def last_row(self):
        combine = self.combine
        width = self.width
        values = self.values
        for row in range(1, self.rows):
            dirty = self.dirty[row]
            if not dirty:
                continue
            above = values[row - 1]
            here = values[row]
            for col in dirty:
                here[col] = combine(above[col - 1], above[col], above[(col + 1) % width])
            dirty.clear()
        return list(values[-1])


class DirtyMethodSheet:
    """Hand-written in quarrine's shape: a method per cell that checks the
    cell's dirty flag and recomputes from the cells above through the same
    method; a change marks the cone of cells below the changed input."""

    def __init__(self, rows, width, combine):
        self.rows = rows
        self.width = width
        self.combine = combine
        self.inputs = initial_inputs(width)
        self.values = {}
        self.dirty = set()

    def cell(self, row, col):
        key = (row, col)
        if key not in self.dirty:
            value = self.values.get(key)
            if value is not None:
                return value
        width = self.width
        left = (col - 1) % width
        right = (col + 1) % width
        if row == 1:
            inputs = self.inputs
            value = self.combine(inputs[left], inputs[col], inputs[right])
        else:
            row -= 1
            value = self.combine(self.cell(row, left), self.cell(row, col), self.cell(row, right))
        self.values[key] = value
        self.dirty.discard(key)
        return value

    def set_input(self, col, value):
        self.inputs[col] = value
        width = self.width
        marked = {col}
        for row in range(1, self.rows):
            marked = {(c + d) % width for c in marked for d in (-1, 0, 1)}
            self.dirty.update((row, c) for c in marked)

    def last_row(self):
        row = self.rows - 1
        return [self.cell(row, col) for col in range(self.width)]


class QuarrineSheet(QuarrineBase):
    """A cached method per cell, (row, col) its arguments; the inputs a cached method too."""

    def __init__(self, rows, width, combine):
        self.rows = rows
        self.width = width
        self.combine = combine
        self.initial = initial_inputs(width)

    @quarrined()
    def input(self, col):
        return self.initial[col]

    @quarrined(track_runtime_dependencies=True)
    def cell(self, row, col):
        width = self.width
        left = (col - 1) % width
        right = (col + 1) % width
        if row == 1:
            return self.combine(self.input(left), self.input(col), self.input(right))
        row -= 1
        return self.combine(self.cell(row, left), self.cell(row, col), self.cell(row, right))

    def set_input(self, col, value):
        self.update_cached_value("input", value, col=col)

    def last_row(self):
        row = self.rows - 1
        return [self.cell(row, col) for col in range(self.width)]


class ReaktivSheet:
    """reaktiv: a Signal per input, a Computed per cell."""

    def __init__(self, rows, width, combine):
        from reaktiv import Computed, Signal

        self.inputs = [Signal(value) for value in initial_inputs(width)]
        above = self.inputs
        for _ in range(1, rows):
            above = [
                Computed(lambda a=above[col - 1], b=above[col], c=above[(col + 1) % width]:
                         combine(a(), b(), c()))
                for col in range(width)
            ]
        self.ends = above

    def set_input(self, col, value):
        self.inputs[col].set(value)

    def last_row(self):
        return [cell() for cell in self.ends]


class ObservSheet:
    """observ: the inputs in a reactive dict, a computed per cell."""

    def __init__(self, rows, width, combine):
        from observ import computed, reactive

        state = self.state = reactive(dict(enumerate(initial_inputs(width))))
        above = [functools.partial(state.__getitem__, col) for col in range(width)]
        for _ in range(1, rows):
            above = [
                computed(lambda a=above[col - 1], b=above[col], c=above[(col + 1) % width]:
                         combine(a(), b(), c()))
                for col in range(width)
            ]
        self.ends = above

    def set_input(self, col, value):
        self.state[col] = value

    def last_row(self):
        return [cell() for cell in self.ends]


SHEETS = [
    ("functools.lru_cache, cleared", LruSheet),
    ("hand-written dirty flags, row by row", DirtySheet),
    ("hand-written dirty flags, a method per cell", DirtyMethodSheet),
    ("reaktiv", ReaktivSheet),
    ("observ", ObservSheet),
    ("quarrine", QuarrineSheet),
]


def sheet_change(round_number, inputs):
    """The change of one round: (column, new value); never the value it replaces."""
    col = round_number * 7 % len(inputs)
    return col, (inputs[col] + round_number + 1) % PRIME


class SheetRun:
    """One model and the inputs it was given; round() makes the next change and reads."""

    def __init__(self, cls, rows, width, kind):
        self.model = cls(rows, width, COMBINE[kind])
        self.inputs = initial_inputs(width)
        self.rows = rows
        self.kind = kind
        self.round_number = 0

    def rounds(self, count):
        model = self.model
        inputs = self.inputs
        for _ in range(count):
            col, value = sheet_change(self.round_number, inputs)
            self.round_number += 1
            inputs[col] = value
            model.set_input(col, value)
            model.last_row()

    def check(self):
        expected = reference_last_row(self.inputs, self.rows, COMBINE[self.kind])
        got = self.model.last_row()
        if got != expected:
            raise AssertionError(f"{type(self.model).__name__} read a wrong last row after"
                                 f" {self.round_number} rounds")


def checked_sheet(cls, rows, width, kind, rounds=3):
    """A model whose first read and first rounds gave the right values, ready to time."""
    run = SheetRun(cls, rows, width, kind)
    run.check()
    for _ in range(rounds):
        run.rounds(1)
        run.check()
    return run


# ---------------------------------------------------------------------------
# Graphs of named nodes, for cellx and the reactive shapes. A graph is a dict
# of sources (key -> initial value) and a dict of computed nodes (key ->
# (function of a reader `get`, the keys it may read)). Every engine offers
# set(key, value) and get(key).


class LruGraph:
    def __init__(self, sources, nodes):
        values = self.values = dict(sources)
        functions = {key: fn for key, (fn, _) in nodes.items()}

        @functools.lru_cache(maxsize=None)
        def node(key):
            fn = functions.get(key)
            return values[key] if fn is None else fn(node)

        self.get = node

    def set(self, key, value):
        self.values[key] = value
        self.get.cache_clear()


class DirtyGraph:
    """Hand-written: a stored value and a dirty flag per node, static dependants."""

    def __init__(self, sources, nodes):
        self.values = dict(sources)
        self.functions = {key: fn for key, (fn, _) in nodes.items()}
        self.dependants = {key: [] for key in [*sources, *nodes]}
        for key, (_, parents) in nodes.items():
            for parent in parents:
                self.dependants[parent].append(key)
        self.dirty = set(nodes)

    def set(self, key, value):
        self.values[key] = value
        dirty = self.dirty
        dependants = self.dependants
        pending = list(dependants[key])
        while pending:
            key = pending.pop()
            if key not in dirty:
                dirty.add(key)
                pending.extend(dependants[key])

    def get(self, key):
        if key in self.dirty:
            self.values[key] = self.functions[key](self.get)
            self.dirty.discard(key)
        return self.values[key]


class QuarrineGraph(QuarrineBase):
    """One cached method `node(key)`; sources are nodes set with update_cached_value."""

    def __init__(self, sources, nodes):
        self.initial = dict(sources)
        self.functions = {key: fn for key, (fn, _) in nodes.items()}

    @quarrined(track_runtime_dependencies=True)
    def node(self, key):
        fn = self.functions.get(key)
        return self.initial[key] if fn is None else fn(self.node)

    def set(self, key, value):
        self.update_cached_value("node", value, key=key)

    def get(self, key):
        return self.node(key)


class ReaktivGraph:
    def __init__(self, sources, nodes):
        from reaktiv import Computed, Signal

        signals = {key: Signal(value) for key, value in sources.items()}
        cells = dict(signals)

        def get(key):
            return cells[key]()

        for key, (fn, _) in nodes.items():
            cells[key] = Computed(lambda fn=fn: fn(get))
        self.signals = signals
        self.get = get

    def set(self, key, value):
        self.signals[key].set(value)


class ObservGraph:
    def __init__(self, sources, nodes):
        from observ import computed, reactive

        state = self.state = reactive(dict(sources))
        cells = {key: functools.partial(state.__getitem__, key) for key in sources}

        def get(key):
            return cells[key]()

        for key, (fn, _) in nodes.items():
            cells[key] = computed(lambda fn=fn: fn(get))
        self.get = get

    def set(self, key, value):
        self.state[key] = value


GRAPHS = [
    ("functools.lru_cache, cleared", LruGraph),
    ("hand-written dirty flags", DirtyGraph),
    ("reaktiv", ReaktivGraph),
    ("observ", ObservGraph),
    ("quarrine", QuarrineGraph),
]


# cellx ----------------------------------------------------------------------

CELLX_EXPECTED = {1000: ([-3, -6, -2, 2], [-2, -4, 2, 3])}


def cellx_graph(layers):
    sources = {(0, i): i + 1 for i in range(4)}
    nodes = {}
    for layer in range(1, layers + 1):
        m = layer - 1
        nodes[layer, 0] = (lambda get, m=m: get((m, 1))), [(m, 1)]
        nodes[layer, 1] = (lambda get, m=m: get((m, 0)) - get((m, 2))), [(m, 0), (m, 2)]
        nodes[layer, 2] = (lambda get, m=m: get((m, 1)) + get((m, 3))), [(m, 1), (m, 3)]
        nodes[layer, 3] = (lambda get, m=m: get((m, 2))), [(m, 2)]
    return sources, nodes


def cellx_ends(graph, layers):
    get = graph.get
    for layer in range(1, layers):
        for i in range(4):
            get((layer, i))
    return [get((layers, i)) for i in range(4)]


def cellx_run(cls, layers):
    """Build, read the ends, change the sources, read again: (before, after, build s, update s)."""
    start = time.perf_counter()
    graph = cls(*cellx_graph(layers))
    before = cellx_ends(graph, layers)
    middle = time.perf_counter()
    for i, value in enumerate([4, 3, 2, 1]):
        graph.set((0, i), value)
    after = cellx_ends(graph, layers)
    end = time.perf_counter()
    return before, after, middle - start, end - middle


def cellx_expected(layers):
    def ends(p):
        for _ in range(layers):
            p = [p[1], p[0] - p[2], p[1] + p[3], p[2]]
        return p

    return ends([1, 2, 3, 4]), ends([4, 3, 2, 1])


# the reactive shapes ---------------------------------------------------------


def deep_chain(length=50):
    nodes = {}
    for i in range(1, length + 1):
        nodes[i] = (lambda get, p=i - 1: get(p) + 1), [i - 1]
    return {0: 0}, nodes, [length], lambda head: head + length


def broad_heads(width=50):
    nodes = {}
    for i in range(width):
        nodes["a", i] = (lambda get, i=i: get("head") + i), ["head"]
        nodes["b", i] = (lambda get, i=i: get(("a", i)) + 1), [("a", i)]
    ends = [("b", i) for i in range(width)]
    return {"head": 0}, nodes, ends, lambda head: sum(head + i + 1 for i in range(width))


def diamond(width=5):
    nodes = {i: ((lambda get: get("head") + 1), ["head"]) for i in range(width)}
    nodes["sum"] = (lambda get: sum(get(i) for i in range(width))), list(range(width))
    return {"head": 0}, nodes, ["sum"], lambda head: (head + 1) * width


def triangle(width=10):
    nodes = {}
    for i in range(1, width):
        nodes[i] = (lambda get, p=i - 1: get(p) + 1), [i - 1]
    nodes["sum"] = (lambda get: sum(get(i) for i in range(width))), list(range(width))
    return {0: 0}, nodes, ["sum"], lambda head: width * head + width * (width - 1) // 2


def unstable(reads=20):
    def current(get):
        result = 0
        for _ in range(reads):
            result += get("double") if get("head") % 2 else get("inverse")
        return result

    nodes = {
        "double": ((lambda get: get("head") * 2), ["head"]),
        "inverse": ((lambda get: -get("head")), ["head"]),
        "current": (current, ["head", "double", "inverse"]),
    }
    return {"head": 0}, nodes, ["current"], lambda head: reads * (2 * head if head % 2 else -head)


SHAPES = [
    ("deep chain of 50", deep_chain),
    ("50 broad heads", broad_heads),
    ("diamond of 5", diamond),
    ("triangle of 10", triangle),
    ("unstable", unstable),
]


class ShapeRun:
    def __init__(self, cls, shape):
        sources, nodes, self.ends, self.expected = shape()
        (self.head,) = sources
        self.graph = cls(sources, nodes)
        self.value = 0

    def rounds(self, count):
        graph = self.graph
        head = self.head
        ends = self.ends
        for _ in range(count):
            self.value += 1
            graph.set(head, self.value)
            for key in ends:
                graph.get(key)

    def check(self):
        got = sum(self.graph.get(key) for key in self.ends)
        if got != self.expected(self.value):
            raise AssertionError(f"{type(self.graph).__name__} read {got} at head {self.value}")


def checked_shape(cls, shape, rounds=4):
    run = ShapeRun(cls, shape)
    run.check()
    for _ in range(rounds):
        run.rounds(1)
        run.check()
    return run


# ---------------------------------------------------------------------------
# Timing and output.


def measure(trials, repeat):
    """Best seconds per round of each trial over `repeat` interleaved repeats.

    A trial is (run, rounds): run(rounds) makes that many rounds.
    """
    best = dict.fromkeys(trials, float("inf"))
    for _ in range(repeat):
        for name, (run, rounds) in trials.items():
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter()
                run(rounds)
                elapsed = time.perf_counter() - start
            finally:
                gc.enable()
            best[name] = min(best[name], elapsed / rounds)
    return best


def print_table(title, columns, rows, notes=()):
    widths = [max(len(str(r[i])) for r in [columns, *rows]) for i in range(len(columns))]

    def line(cells):
        first = str(cells[0]).ljust(widths[0])
        rest = (str(c).rjust(w) for c, w in zip(cells[1:], widths[1:]))
        return "  " + "   ".join([first, *rest]).rstrip()

    print()
    print(title)
    print(line(columns))
    print(line(["-" * w for w in widths]))
    for cells in rows:
        print(line(cells))
    for note in notes:
        print("  " + note)
    sys.stdout.flush()


def us(seconds):
    value = seconds * 1e6
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def ratio(value):
    return f"{value:.2f} x"


def bench_sheets(settings):
    for rows, width in settings.sheet_sizes:
        for kind in ("trivial", "costly"):
            rounds = settings.sheet_rounds[(rows, width, kind)]
            runs = {cls: checked_sheet(cls, rows, width, kind) for _, cls in SHEETS}
            best = measure({cls: (run.rounds, rounds) for cls, run in runs.items()},
                           settings.repeat)
            for run in runs.values():
                run.check()
            table = []
            for label, cls in SHEETS:
                table.append([label, us(best[cls]), ratio(best[cls] / best[LruSheet]),
                              ratio(best[cls] / best[QuarrineSheet])])
            print_table(
                f"Spreadsheet {rows}x{width} ({rows} rows of {width} cells), {kind} cells:"
                " one input changed per round, the last row read",
                ["way to compute", "us per round", "vs lru_cache", "vs quarrine"],
                table,
            )
            del runs
            gc.collect()


def bench_cellx(settings):
    layers = settings.cellx_layers
    expected = cellx_expected(layers)
    known = CELLX_EXPECTED.get(layers)
    if known is not None and tuple(expected) != known:
        raise AssertionError("the plain cellx computation disagrees with the published values")
    best = {}
    old_limit = sys.getrecursionlimit()
    for _ in range(settings.repeat):
        for label, cls in GRAPHS:
            gc.collect()
            gc.disable()
            try:
                before, after, build, update = cellx_run(cls, layers)
            finally:
                gc.enable()
            if (before, after) != expected:
                raise AssertionError(f"{label} read {before} and {after} in cellx")
            if sys.getrecursionlimit() != old_limit:
                raise AssertionError(f"{label} changed the recursion limit")
            previous = best.get(cls, (float("inf"), float("inf")))
            best[cls] = (min(previous[0], build), min(previous[1], update))
    lru = best[LruGraph]
    rows = []
    for label, cls in GRAPHS:
        build, update = best[cls]
        rows.append([label, f"{build * 1e3:.1f}", ratio(build / lru[0]),
                     f"{update * 1e3:.1f}", ratio(update / lru[1])])
    print_table(
        f"cellx, {layers} layers of four cells: build and read the ends; set the four sources"
        " and read again",
        ["way to compute", "build + read ms", "vs lru_cache", "set + read ms", "vs lru_cache"],
        rows,
        [f"ends read {expected[0]} before and {expected[1]} after, by every contender"],
    )


def bench_shapes(settings):
    rows = []
    for shape_label, shape in SHAPES:
        runs = {cls: checked_shape(cls, shape) for _, cls in GRAPHS}
        best = measure({cls: (run.rounds, settings.shape_rounds) for cls, run in runs.items()},
                       settings.repeat)
        for run in runs.values():
            run.check()
        row = [shape_label]
        for _, cls in GRAPHS:
            row.append(us(best[cls]))
        row.append(ratio(best[QuarrineGraph] / best[LruGraph]))
        rows.append(row)
    print_table(
        "Reactive shapes: us per round (set the head, read the ends)",
        ["shape", *(label.split(",")[0] for label, _ in GRAPHS), "quarrine vs lru_cache"],
        rows,
        ["lru_cache is cleared on every change; the dirty flags are hand-written per node"],
    )


class Settings:
    def __init__(self, quick):
        self.repeat = 3 if quick else 5
        self.sheet_sizes = [(30, 40)] if quick else [(30, 40), (100, 100)]
        self.sheet_rounds = {
            (30, 40, "trivial"): 10 if quick else 40,
            (30, 40, "costly"): 2 if quick else 8,
            (100, 100, "trivial"): 2,
            (100, 100, "costly"): 1,
        }
        self.cellx_layers = 1000
        self.shape_rounds = 50 if quick else 300


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and rounds")
    settings = Settings(parser.parse_args().quick)
    versions = ", ".join(
        f"{name} {importlib.metadata.version(name)}" for name in ("quarrine", "reaktiv", "observ"))
    print(f"{versions}, {platform.python_implementation()} {platform.python_version()}"
          f" on {platform.machine()}, {os.cpu_count()} CPUs{' (--quick)' if settings.repeat == 3 else ''}")
    print(f"best of {settings.repeat} interleaved repeats; every contender's values checked"
          " before and after it is timed")
    started = time.perf_counter()
    bench_sheets(settings)
    bench_cellx(settings)
    bench_shapes(settings)
    print(f"\n(ran in {time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
