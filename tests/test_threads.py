"""Threads sharing one instance: a thread goes on while another thread's step
runs the user's code (the store is not held then), what that code does to
the instance is done, and a change that lands while a call computes is never
hidden by that call's result."""

import json
import threading
from collections import Counter

import pytest

from quarrine import QuarrineBase, quarrined
from scenarios import two_threads


@pytest.mark.parametrize("step", two_threads.HELD_STEPS)
def test_another_thread_goes_on_while_a_step_runs_python_code(step, run_scenario):
    run_scenario("two_threads", "held_step", step)


@pytest.mark.parametrize("case", two_threads.REENTRANCE)
def test_code_that_a_stalled_step_runs_reenters_while_another_thread_works(case, run_scenario):
    run_scenario("two_threads", "reentrance", case)


class Race(QuarrineBase):
    """dependant is computed from base; `hooks` run once at a named point of a body."""

    def __init__(self):
        self.x, self.runs, self.hooks = 1, Counter(), {}

    def pause(self, name):
        self.hooks.pop(name, lambda: None)()

    @quarrined()
    def base(self):
        self.runs["base"] += 1
        x = self.x
        self.pause("base")
        return x

    @quarrined(track_runtime_dependencies=True)
    def dependant(self):
        self.runs["dependant"] += 1
        value = self.base() * 10
        self.pause("dependant")
        return value


CHANGES = {  # the input changes, the cache is told, and base is valid again before the computation ends
    "update_cached_value": lambda o: (setattr(o, "x", 2), o.update_cached_value("base", 2), o.base()),
    "clear_cache": lambda o: (setattr(o, "x", 2), o.clear_cache(), o.base()),
}


def compute_while_changed(obj, where, change, source):
    """Call `where`; the change lands at its pause, made by its own body or by another thread."""
    if source == "inside the computation":
        obj.hooks[where] = lambda: CHANGES[change](obj)
        return getattr(obj, where)()
    entered, proceed = threading.Event(), threading.Event()
    obj.hooks[where] = lambda: (entered.set(), proceed.wait(timeout=60))

    def other():
        try:
            assert entered.wait(timeout=60)
            CHANGES[change](obj)
        finally:
            proceed.set()

    thread = threading.Thread(target=other)
    thread.start()
    result = getattr(obj, where)()
    thread.join(timeout=60)
    assert not thread.is_alive()
    return result


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("source", ["another thread", "inside the computation"])
class TestChangeDuringComputation:
    def test_the_dependant_settles_invalid_and_recomputes(self, change, source):
        obj = Race()
        assert compute_while_changed(obj, "dependant", change, source) == 10  # from the value it started with
        assert obj.get_validation_state()["dependant"] == "invalid"
        assert obj.get_cached_value("dependant") is None
        assert obj.dependant() == 20 and obj.runs["dependant"] == 2
        assert obj.dependant() == 20 and obj.runs["dependant"] == 2

    def test_the_changed_call_itself_does_not_store_its_old_result(self, change, source):
        obj = Race()
        assert compute_while_changed(obj, "base", change, source) == 1
        assert obj.get_cached_value("base") in (None, 2)
        assert obj.base() == 2 and obj.get_cached_value("base") == 2


def test_eight_threads_share_one_instance_and_every_value_is_fresh(run_scenario):
    stats = json.loads(run_scenario("stress").splitlines()[-1])
    assert stats["errors"] == [], stats["errors"][:3]
    assert stats["stale"] == [], stats["stale"][:5]
    assert stats["fresh at the end"]
    assert all(stats["ops"].get(kind, 0) > 0 for kind in stats["kinds"]), stats["ops"]
    assert stats["checked"] > 0 and stats["writes"] > 0


def test_daemon_threads_inside_cached_methods_do_not_crash_the_exit(run_scenario):
    run_scenario("daemon_exit")


def test_cached_calls_work_while_an_earlier_exit_callback_lets_the_gil_go(run_isolated):
    # Exit callbacks run last-registered first: one registered before the
    # import runs after the module's own, while daemon threads still run.
    seen = run_isolated("""
        import atexit, threading, time
        outcomes = set()

        def slow_flush():
            time.sleep(0.3)  # lets the GIL go, as a log handler's flush can
            print(sorted(outcomes))

        atexit.register(slow_flush)
        from quarrine import QuarrineBase, quarrined

        class Worker(QuarrineBase):
            @quarrined()
            def double(self, i):
                return 2 * i

            @quarrined()
            def fails(self):
                raise KeyError("its own")

        worker, exiting = Worker(), threading.Event()
        atexit.register(exiting.set)  # runs first

        def loop():
            for i in range(10**9):
                try:
                    outcome = "result" if worker.double(i) == 2 * i else "wrong"
                except Exception as error:
                    outcome = repr(error)
                try:
                    worker.fails()
                except KeyError:
                    outcome += ", own error"
                except Exception as error:
                    outcome += f", {error!r}"
                if exiting.is_set():
                    outcomes.add(outcome)
                time.sleep(0)

        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.1)
    """)
    assert seen.strip() == "['result, own error']"
