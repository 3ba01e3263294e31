"""Patterns of real programs that must never crash or hang the interpreter:
exit while threads compute, a caller's keyword dict changed while a call is
identified, a decorator released during its own call, long chains of
instances, Ctrl-C while waiting for another thread's hold on the store,
two threads each holding what the other waits for.

Run as `python real_programs.py <scenario> [<case>]`; a scenario exits 0 and
prints "done" when the module behaved soundly. tests/test_real_programs.py
runs them.
"""

import _thread
import functools
import gc
import os
import random
import signal
import sys
import threading
import time
from collections.abc import Sequence

from quarrine import QuarrineBase, quarrined
from scenarios.probe import Probe


# --- Exit while threads compute

def heap_to_finalise(size):
    """`size` small lists, made with the collector off: the collections that
    their allocation would trigger take a debug interpreter 15 s and change
    nothing at exit, where releasing them keeps finalisation busy."""
    gc.disable()
    try:
        return [[i] for i in range(size)]
    finally:
        gc.enable()


def logged(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)
    return wrapper


class Worker(QuarrineBase):
    @quarrined()
    @logged
    def wrapped(self, i):
        time.sleep(random.uniform(0.2, 0.5))
        return i

    @quarrined()
    def source(self):
        return 1

    @quarrined(dependencies=["source"])
    def varargs(self, *args):
        if self.slow:
            time.sleep(random.uniform(0.2, 0.5))
        return args


def exit_while_computing(method, runner):
    """32 threads inside a cached method when the main thread returns; a large
    heap makes the interpreter's finalisation take a while."""
    global garbage  # released by the interpreter's finalisation
    garbage = heap_to_finalise(2_000_000)
    worker = Worker()
    work = getattr(worker, method)
    if method == "varargs":
        # computed once, then invalidated: the threads recompute them; each
        # *args tuple is too long for the interpreter's tuple free lists
        calls = [(i, *range(30)) for i in range(32)]
        worker.slow = False
        for args in calls:
            work(*args)
        worker.update_cached_value("source", 2)
        worker.slow = True
    else:
        calls = [(i,) for i in range(32)]
    if runner == "daemon threads":
        for args in calls:
            threading.Thread(target=work, args=args, daemon=True).start()
    else:
        from multiprocessing.pool import ThreadPool
        pool = ThreadPool(32)
        pool.starmap_async(work, calls)
    time.sleep(0.19)
    print("done", flush=True)


# --- A caller's keyword dict changed while the call is identified
#
# _thread.start_new_thread hands the keyword dict it was given to the callable
# itself (a call written f(**d) gets a copy), and the code that runs while the
# module identifies the call, an argument's __hash__ or the `order`
# sequence's isinstance check, empties that dict.

def text(tag):
    """A fresh str too large for the small-object allocator: freed, its header is overwritten."""
    return f"{tag}:" + "x" * 900


class Junk:
    """The size of a small plain instance: allocated over what a dict released."""


def allocate_over_released():
    Junk.kept = ([text("junk") for _ in range(64)], [Junk() for _ in range(256)],
                 [{"junk": i} for i in range(256)])


STARTED = threading.Event()  # set by the code that the module runs while it identifies a call


class Mutator:
    """An argument whose __hash__ and __eq__ empty a dict the first time they run while armed."""
    def __init__(self, victim=None):
        self.victim, self.armed = victim, False

    def mutate(self):
        STARTED.set()
        if self.armed:
            self.armed = False
            self.victim.clear()
            allocate_over_released()

    def __hash__(self):
        self.mutate()
        return 1

    def __eq__(self, other):
        self.mutate()
        return self is other


class Names:
    """An `order` sequence whose isinstance check (it reads __class__) empties a dict."""
    def __init__(self, victim):
        self.victim, self.names = victim, ["second", "first"]

    @property
    def __class__(self):
        STARTED.set()
        if self.victim is not None:
            victim, self.victim = self.victim, None
            victim.clear()
        return Names

    def __len__(self):
        allocate_over_released()
        return len(self.names)

    def __getitem__(self, index):
        return self.names[index]


Sequence.register(Names)


class Keyed(QuarrineBase):
    @quarrined()
    def keyed(self, a, b):  # bound in name order: a (the Mutator) is hashed before b
        return "computed"

    @quarrined(serialisable=True)
    def first(self):
        return "first"

    @quarrined(serialisable=True)
    def second(self):
        return "second"


def call_handing_over(function, args, kwargs):
    """Call function(*args, **kwargs) handing it `kwargs` itself; the exceptions it raised."""
    errors = []
    sys.unraisablehook = lambda report: errors.append((type(report.exc_value).__name__, str(report.exc_value)))
    STARTED.clear()
    _thread.start_new_thread(function, args, kwargs)
    assert STARTED.wait(30), "the call never started"
    deadline = time.monotonic() + 30
    while _thread._count() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not _thread._count(), "the call never finished"
    return errors


def handed_over_to_a_cached_call(obj):
    mutator = Mutator()
    kwargs = {"a": mutator, "b": text("b")}  # b is the dict's alone
    mutator.victim, mutator.armed = kwargs, True
    ran = []

    def call(self, a, b):
        ran.append(b[:2])
        return "computed"
    Keyed.call = quarrined()(call)
    errors = call_handing_over(Keyed.call, (obj,), kwargs)
    assert not mutator.armed and kwargs == {}
    # the function ran with the values it was given, or was refused the emptied dict
    assert (ran, errors) == (["b:"], []) or (
        ran == [] and len(errors) == 1 and "missing 2 required positional arguments" in errors[0][1]), (ran, errors)


def handed_over_to_update_cached_value(obj):
    a, b = Mutator(), text("b")
    obj.keyed(a, b)
    kwargs = {"method_name": "keyed", "value": text("updated"), "a": a, "b": b}  # the value is the dict's alone
    a.victim, a.armed = kwargs, True
    errors = call_handing_over(obj.update_cached_value, (), kwargs)
    assert not a.armed and kwargs == {}
    stored = obj.get_cached_value("keyed", a=a, b=b)
    assert errors == [] and stored[:8] == "updated:", (errors, stored[:8])


def handed_over_to_dump_cache(obj):
    kwargs = {"order": None}
    kwargs["order"] = Names(kwargs)  # the order is the dict's alone
    errors = call_handing_over(obj.dump_cache, (), kwargs)
    assert kwargs == {}
    assert errors == [] and obj.get_cached_values() == {"first": "first", "second": "second"}, errors


def handed_over_to_load_cache(obj):
    kwargs = {"data": {"first": text("loaded"), "second": "loaded"}}  # the data is the dict's alone
    kwargs["order"] = order = Names(kwargs)  # the order is also kept here
    errors = call_handing_over(obj.load_cache, (), kwargs)
    assert kwargs == {}
    values = {name: value[:7] for name, value in obj.get_cached_values().items()}
    assert errors == [] and values == {"first": "loaded:", "second": "loaded"}, (errors, values)


HANDED_OVER = {
    "cached call": handed_over_to_a_cached_call,
    "update_cached_value": handed_over_to_update_cached_value,
    "dump_cache": handed_over_to_dump_cache,
    "load_cache": handed_over_to_load_cache,
}


def keyword_dict_handed_over(where):
    obj = Keyed()
    HANDED_OVER[where](obj)
    obj.clear_cache()
    assert obj.first() == "first" and obj.get_cached_values() == {"first": "first"}
    print("done")


# --- A decorator released during its own call

def decorator_released_during_its_call():
    def replacement(self):
        return "replaced"

    class Holder(QuarrineBase):
        def getter(self):
            # the property's only reference to the decorator goes
            Holder.__dict__["p"].__init__(replacement)
            # allocate over the freed decorator: zeros where its record was
            Holder.junk = [bytes(80 + i % 16) for i in range(4000)]
            return "computed"
        p = property(quarrined()(getter))

    obj = Holder()
    assert obj.p == "computed"
    assert obj.get_validation_state() == {"getter": "valid"}, obj.get_validation_state()
    assert obj.get_cached_values() == {"getter": "computed"} and obj.p == "replaced"
    print("done")


# --- Long chains of instances

class Link(QuarrineBase):
    @quarrined()
    def next(self):
        return None


def chain_of_a_million_instances():
    gc.disable()  # as in heap_to_finalise: the collections would only cost time
    head = Link()
    for _ in range(1_000_000):
        link = Link()
        link.update_cached_value("next", head)
        head = link
    del link
    gc.enable()
    del head  # released from the head: each instance releases the next
    print("done")


# --- Threads meet while a key comparison runs the user's code

class Shop(QuarrineBase):
    @quarrined()
    def price(self):
        return 5

    @quarrined()
    def keyed(self, probe):
        return "keyed"


def update_while_a_comparison_stalls():
    """A thread's call stalls in __eq__ until the main thread's update is done."""
    obj, stored = Shop(), Probe()
    obj.price()
    obj.keyed(stored)
    updated = threading.Event()
    stored.trigger.armed, stored.trigger.action = "eq", lambda: updated.wait(60)
    stalled = threading.Thread(target=lambda: obj.keyed(Probe()))
    stalled.start()
    assert stored.trigger.entered.wait(30)
    obj.update_cached_value("price", 9)  # the comparison holds nothing: no wait
    updated.set()
    stalled.join(60)
    assert not stalled.is_alive() and stored.trigger.outcome == ("returned", True)
    assert obj.price() == 9 and obj.get_validation_state()["price"] == "valid"
    print("done")


def comparisons_calling_into_each_other():
    """Thread 1 compares keys of X and calls into Y meanwhile; thread 2 the other way round."""
    x, y = Shop(), Shop()
    both_inside = threading.Barrier(2, timeout=30)
    results = {}

    def compare(name, mine, other):
        stored = Probe()
        mine.keyed(stored)
        stored.trigger.armed = "eq"
        stored.trigger.action = lambda: (both_inside.wait(), other.price())
        results[name] = mine.keyed(Probe())

    threads = [threading.Thread(target=compare, args=("1", x, y), daemon=True),
               threading.Thread(target=compare, args=("2", y, x), daemon=True)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    if any(thread.is_alive() for thread in threads):
        print("deadlock: the threads still wait for each other", flush=True)
        os._exit(3)
    assert results == {"1": "keyed", "2": "keyed"}, results
    assert x.price() == y.price() == 5
    print("done")


SCENARIOS = {
    "exit_while_computing": exit_while_computing,
    "keyword_dict_handed_over": keyword_dict_handed_over,
    "decorator_released_during_its_call": decorator_released_during_its_call,
    "chain_of_a_million_instances": chain_of_a_million_instances,
    "update_while_a_comparison_stalls": update_while_a_comparison_stalls,
    "comparisons_calling_into_each_other": comparisons_calling_into_each_other,
}

if __name__ == "__main__":
    SCENARIOS[sys.argv[1]](*sys.argv[2:])
