"""Two threads on one instance: thread A stalls inside the user's code that a
step runs (hashing or comparing an argument) while thread B calls and updates
another method; the store is never held while that code runs, so B goes on,
and what A's code does to the instance meanwhile is done too.

Run as `python two_threads.py <scenario> <case>`; tests/test_threads.py
imports the case tables to name its tests.
"""

import os
import sys
import threading
import time

from quarrine import QuarrineBase, quarrined
from scenarios.probe import Probe, Trigger


# Thread A's probes stall where the trigger is armed ('hash' or 'eq'): they
# signal `entered`, wait until thread B is done, then run INNER once.
B_DONE = threading.Event()
INNER = None


def stalled():
    assert B_DONE.wait(60), "thread B never finished"
    return INNER and INNER()


TRIGGER = Trigger(armed=None, action=stalled, swallow=True)


def probe():
    return Probe("k", TRIGGER)


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
        try:
            return (obj.price(), obj.update_cached_value("price", 9), obj.price(),
                    obj.get_validation_state()["price"])
        finally:
            B_DONE.set()

    a = threading.Thread(target=record, args=("a", a_action))
    a.start()
    assert TRIGGER.entered.wait(60), "thread A never reached the stall"
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
    return obj.get_cached_value("keyed", probe=probe())


def update():
    return obj.update_cached_value("keyed", "new", probe=probe())


HELD_STEPS = {  # what thread A does, where it stalls, and whether it gives the stored result (else None)
    "get_cached_value hashing a keyword": ("hash", get, True),
    "update_cached_value hashing a keyword": ("hash", update, False),
    "cached call comparing its key": ("eq", lambda: obj.keyed(probe()), True),
}


def held_step(step):
    TRIGGER.armed, a_action, gives_stored = HELD_STEPS[step]
    answer = stored if gives_stored else None
    a = run_pair(a_action)
    assert a[0] == "returned" and a[1] is answer, a
    assert obj.price() == 9 and obj.keyed(probe()) == (answer or "new")


REENTRANCE = {  # thread A's step, what its stalled code then runs on A's own thread, and how that ends
    "writer inside a reader": (get, lambda: obj.update_cached_value("price", 1), ("returned", None)),
    "reader inside a reader": (get, lambda: obj.get_cached_value("price"), ("returned", 9)),
    "reader inside a writer": (update, lambda: obj.get_cached_value("price"), ("returned", 9)),
}


def reentrance(case):
    global INNER
    outer, INNER, outcome = REENTRANCE[case]
    TRIGGER.armed = "hash"
    assert run_pair(outer)[0] == "returned"
    assert TRIGGER.outcome == outcome, TRIGGER.outcome
    assert obj.price() == (1 if case == "writer inside a reader" else 9)


SCENARIOS = {"held_step": held_step, "reentrance": reentrance}

if __name__ == "__main__":
    obj = Shop()
    obj.price()
    stored = obj.keyed(probe())
    SCENARIOS[sys.argv[1]](*sys.argv[2:])
