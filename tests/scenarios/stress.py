"""Eight threads share one instance for a few seconds, each reading cached
calls, writing inputs (and telling the cache), dumping and loading, clearing
and reporting at random. Every value read must come from the inputs as they
were at the start of the read or later, and everything must be fresh at the
end. Prints one JSON line of findings for tests/test_threads.py.
"""

import dataclasses
import json
import random
import sys
import threading
import time
import traceback
from collections import Counter

from quarrine import QuarrineBase, quarrined

sys.setswitchinterval(1e-5)  # switch threads often, inside the module's steps too
SECONDS, THREADS = 3.0, 8


@dataclasses.dataclass(frozen=True)  # its __hash__ and __eq__ are Python code
class Key:
    index: int
    label: str

KEYS = [Key(i, label) for i in range(3) for label in "ab"]


def copy(key):  # equal, not identical: call keys get compared
    return Key(key.index, key.label)


class Model(QuarrineBase):
    # Every value is a tuple of input values, each item traceable to the input it was read from.
    def __init__(self):
        self.inputs = [0, 0, 0]

    @quarrined()
    def base(self, key):
        return self.inputs[key.index]

    @quarrined(track_runtime_dependencies=True)
    def pair(self, left, right):
        return (self.base(left), self.base(right))

    @quarrined(track_runtime_dependencies=True)
    def top(self):
        return (*self.pair(Key(0, "a"), Key(1, "b")), self.base(Key(2, "a")))

    @quarrined(serialisable=True, track_runtime_dependencies=True)
    def summary(self):
        return self.top()


obj, history, write_lock = Model(), [(0, 0, 0)], threading.Lock()  # history: inputs after each write
ops, errors, records = Counter(), [], []
READS = {  # name: two keys drawn at random -> (input index of each item, value or None)
    "base": lambda l, r: ([l.index], (obj.base(copy(l)),)),
    "pair": lambda l, r: ([l.index, r.index], obj.pair(copy(l), right=copy(r))),
    "get_cached_value": lambda l, r: ([l.index, r.index], obj.get_cached_value("pair", left=l, right=r)),
    "top": lambda l, r: ([0, 1, 2], obj.top()),
    "summary": lambda l, r: ([0, 1, 2], obj.summary()),
    "dump_cache": lambda l, r: ([0, 1, 2], obj.dump_cache()["summary"]),
}


def write():  # change an input, then tell the cache about every call that reads it
    with write_lock:
        index, new = random.randrange(3), len(history)
        obj.inputs[index] = new
        for label in "ab":
            obj.update_cached_value("base", new, key=Key(index, label))
        history.append(tuple(obj.inputs))


def dump_and_load():  # under the write lock, so that what is loaded back is current
    with write_lock:
        start, data = len(history) - 1, obj.dump_cache(order=["summary"])
        records.append((start, [0, 1, 2], data["summary"], start))
        obj.load_cache(data)


OTHERS = {"write": write, "dump_and_load": dump_and_load, "clear_cache": obj.clear_cache,
          "get_cached_values": obj.get_cached_values, "get_dependency_graph": obj.get_dependency_graph,
          "get_validation_state": obj.get_validation_state}


def worker(deadline):
    try:
        while time.monotonic() < deadline:
            if random.random() < 0.6:
                kind, start = random.choice(list(READS)), len(history) - 1
                indices, value = READS[kind](random.choice(KEYS), random.choice(KEYS))
                if value is not None:
                    records.append((start, indices, value, len(history) - 1))
            else:
                kind = random.choice(list(OTHERS))
                OTHERS[kind]()
            ops[kind] += 1
    except BaseException:
        errors.append(traceback.format_exc())


threads = [threading.Thread(target=worker, args=(time.monotonic() + SECONDS,)) for _ in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

stale = []
for start, indices, value, end in records:  # every input read at its state at the start or later
    seen = history[start:end + 2]  # end + 1: a write whose update was still running at the end
    if len(value) != len(indices) or any(v not in {h[i] for h in seen} for i, v in zip(indices, value)):
        stale.append([start, indices, list(value), end, seen])
x = obj.inputs
fresh = (obj.top() == obj.summary() == tuple(x) and all(obj.base(k) == x[k.index] for k in KEYS)
         and all(obj.pair(a, b) == (x[a.index], x[b.index]) for a in KEYS for b in KEYS)
         and "permanently invalid" not in obj.get_validation_state().values())
print(json.dumps({"errors": errors, "stale": stale[:20], "fresh at the end": fresh, "ops": ops,
                  "kinds": [*READS, *OTHERS], "checked": len(records), "writes": len(history) - 1}))
