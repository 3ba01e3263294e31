"""Two threads on one instance: thread A stalls inside a step that holds the
store (hashing or comparing an argument) while thread B calls and updates
another method; B must wait for A's step instead of failing, and re-entrance
on A's own thread is still judged as on one thread.

Run as `python two_threads.py <scenario> <case>`; tests/test_threads.py
imports the case tables to name its tests.
"""

import os
import sys
import threading
import time

from quarrine import QuarrineBase, quarrined


class Slow:
    # Equal to every Slow of its tag. Armed for 'hash' or 'eq', that method signals
    # `entered`, sleeps (the other thread runs meanwhile), then runs `inner` once.
    armed = inner = outcome = None
    entered = threading.Event()

    def __init__(self, tag):
        self.tag = tag

    def stall(self, where):
        if Slow.armed == where:
            Slow.armed = None
            Slow.entered.set()
            time.sleep(0.3)
            try:
                Slow.outcome = ("returned", Slow.inner and Slow.inner())
            except RuntimeError as error:
                Slow.outcome = ("refused", str(error))

    def __hash__(self):
        self.stall("hash")
        return 1

    def __eq__(self, other):
        self.stall("eq")
        return isinstance(other, Slow) and self.tag == other.tag


class Shop(QuarrineBase):
    @quarrined()
    def price(self):
        return 5

    @quarrined()
    def keyed(self, probe):
        return ["stored", probe.tag]


def run_pair(a_action):
    # a_action on thread A; once A is inside the stall, thread B calls and updates price.
    results = {}

    def record(name, action):
        try:
            results[name] = ("returned", action())
        except BaseException as error:
            results[name] = ("raised", repr(error))

    def b_action():
        return (obj.price(), obj.update_cached_value("price", 9), obj.price(), obj.get_validation_state()["price"])

    a = threading.Thread(target=record, args=("a", a_action))
    a.start()
    assert Slow.entered.wait(60), "thread A never reached the stall"
    b = threading.Thread(target=record, args=("b", b_action))
    b.start()
    for thread in (a, b):
        thread.join(60)
        if thread.is_alive():
            print("a thread hangs", results, flush=True)
            os._exit(3)
    assert results["b"] == ("returned", (5, None, 9, "valid")), results["b"]
    return results["a"]


obj = stored = None  # set up by main


def get():
    return obj.get_cached_value("keyed", probe=Slow("k"))


def update():
    return obj.update_cached_value("keyed", "new", probe=Slow("k"))


HELD_STEPS = {  # what thread A does, where it stalls, and whether it gives the stored result (else None)
    "get_cached_value hashing a keyword": ("hash", get, True),
    "update_cached_value hashing a keyword": ("hash", update, False),
    "cached call comparing its key": ("eq", lambda: obj.keyed(Slow("k")), True),
}


def held_step(step):
    Slow.armed, a_action, gives_stored = HELD_STEPS[step]
    answer = stored if gives_stored else None
    a = run_pair(a_action)
    assert a[0] == "returned" and a[1] is answer, a
    assert obj.price() == 9 and obj.keyed(Slow("k")) == (answer or "new")


REENTRANCE = {  # thread A's holder, what it runs on its own thread while B waits, and how that ends
    "writer inside a reader": (get, lambda: obj.update_cached_value("price", 1), ("refused", "Already borrowed")),
    "reader inside a reader": (get, lambda: obj.get_cached_value("price"), ("returned", 5)),
    "reader inside a writer": (update, lambda: obj.get_cached_value("price"), ("refused", "Already mutably borrowed")),
}


def reentrance(case):
    outer, Slow.inner, outcome = REENTRANCE[case]
    Slow.armed = "hash"
    assert run_pair(outer)[0] == "returned"
    assert Slow.outcome == outcome, Slow.outcome


SCENARIOS = {"held_step": held_step, "reentrance": reentrance}

if __name__ == "__main__":
    obj = Shop()
    obj.price()
    stored = obj.keyed(Slow("k"))
    SCENARIOS[sys.argv[1]](*sys.argv[2:])
