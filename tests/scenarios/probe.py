"""A call argument that runs a test's code while the module holds an
instance's store: the module hashes an argument and compares it with a stored
key's values with the store held, so a Probe's __hash__ or __eq__ is where
code re-enters the instance, stalls a thread, or waits for another.

Probes that share a Trigger share what it runs: armed for "hash" or "eq", the
first such call signals `entered`, sleeps `delay` seconds, then runs `action`
once and records how it ended in `outcome`: ("returned", value) or
("refused", the RuntimeError's message), re-raising a refusal unless
`swallow`. A Probe equals the Probes of its tag; one without a tag equals
nothing but itself (and __eq__ then says False even for itself: the module
tells the very same object apart without it)."""

import threading
import time


class Trigger:
    def __init__(self, armed="hash", action=None, *, delay=0.0, swallow=False):
        self.armed, self.action, self.delay, self.swallow = armed, action, delay, swallow
        self.outcome = None
        self.entered = threading.Event()

    def fire(self, where):
        if self.armed != where:
            return
        self.armed = None
        self.entered.set()
        if self.delay:
            time.sleep(self.delay)
        action, self.action = self.action, None
        if action is None:
            return
        try:
            self.outcome = ("returned", action())
        except RuntimeError as error:
            self.outcome = ("refused", str(error))
            if not self.swallow:
                raise


class Probe:
    def __init__(self, tag=None, trigger=None):
        self.tag = tag
        self.trigger = trigger if trigger is not None else Trigger(armed=None)

    def __hash__(self):
        self.trigger.fire("hash")
        return 1

    def __eq__(self, other):
        self.trigger.fire("eq")
        return self.tag is not None and isinstance(other, Probe) and self.tag == other.tag
