"""Daemon threads inside cached methods while the interpreter exits. The
interpreter ends such threads when they wake up during its finalisation;
the large list makes that finalisation take a while."""

import threading
import time

from quarrine import QuarrineBase, quarrined
from real_programs import heap_to_finalise


class Slow(QuarrineBase):
    @quarrined()
    def wait(self, i):
        time.sleep(0.3)
        return i


slow = Slow()
garbage = heap_to_finalise(3_000_000)
for i in range(4):
    threading.Thread(target=slow.wait, args=(i,), daemon=True).start()
time.sleep(0.25)
