"""Patterns that real programs use: exit while threads compute, a keyword dict
handed over by the caller and changed while the call is identified, a
decorator released during its own call, long chains of instances, Ctrl-C
while waiting for another thread's hold, holds that wait for each other,
subinterpreters, abstract methods, copies and pickles.

Crash-prone cases run scenarios/real_programs.py (and its neighbours) in a
fresh interpreter.
"""

import abc
import copy
import json
import pickle
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import scenarios
from quarrine import QuarrineBase, quarrined
from scenarios.models import Account, Box, Point


def ends_soundly(proc):
    return proc.returncode == 0 and proc.stdout.endswith("done\n")


def report(proc):
    return f"exit {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr[-3000:]}"


# Five runs on the release interpreters, where the race showed; one on a
# debug interpreter, which the leak and assertion checks of the other
# scenarios keep busy enough.
EXIT_RUNS = 1 if hasattr(sys, "gettotalrefcount") else 5


@pytest.mark.parametrize("runner", ["daemon threads", "thread pool"])
@pytest.mark.parametrize("method", ["wrapped", "varargs"], ids=["functools.wraps", "*args recomputed"])
def test_exit_while_threads_compute(method, runner):
    # 32 threads sleep inside the method when the main thread returns. The
    # runs go side by side, each in its own interpreter: a busier machine
    # only draws finalisation out over more of the threads' wake-ups.
    with ThreadPoolExecutor(EXIT_RUNS) as pool:
        procs = list(pool.map(
            lambda _: scenarios.run("real_programs", "exit_while_computing", method, runner, timeout=120),
            range(EXIT_RUNS)))
    for proc in procs:
        assert ends_soundly(proc), report(proc)


@pytest.mark.parametrize("where", ["cached call", "update_cached_value", "dump_cache", "load_cache"])
def test_keyword_dict_changed_while_the_call_is_identified(where):
    proc = scenarios.run("real_programs", "keyword_dict_handed_over", where, timeout=120)
    assert ends_soundly(proc), report(proc)


# Each scenario checks its own outcome and ends by printing "done".
SCENARIOS = {
    "a decorator released during its own call": ("decorator_released_during_its_call", 120),
    "releasing a chain of a million instances": ("chain_of_a_million_instances", 300),
    "an update goes on while another thread's comparison stalls": ("update_while_a_comparison_stalls", 120),
    "comparisons calling into each other's instance both end": ("comparisons_calling_into_each_other", 120),
}


@pytest.mark.parametrize("scenario, timeout", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_scenario_ends_soundly(scenario, timeout):
    proc = scenarios.run("real_programs", scenario, timeout=timeout)
    assert ends_soundly(proc), report(proc)


def test_subinterpreters_are_refused_and_leave_the_main_interpreter_alone():
    if not (_importable("_interpreters") or _importable("_xxsubinterpreters")):
        pytest.skip("this interpreter offers no subinterpreters")
    proc = scenarios.run("subinterpreter", timeout=120)
    lines = proc.stdout.splitlines()
    refusals = [line for line in lines if line.startswith("refused:")]
    assert len(refusals) == 2 and all("main interpreter" in line for line in refusals), report(proc)
    assert proc.returncode == 0 and lines[-1] == "main interpreter: done", report(proc)


def _importable(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


class TestAbstractMethods:
    class Shape(QuarrineBase, metaclass=abc.ABCMeta):
        @quarrined()
        @abc.abstractmethod
        def area(self):
            """The area."""

    def test_the_class_stays_abstract(self):
        class Incomplete(self.Shape):
            pass

        class Square(self.Shape):
            @quarrined()
            def area(self):
                return 4

        assert self.Shape.__abstractmethods__ == frozenset({"area"})
        with pytest.raises(TypeError, match="abstract"):
            Incomplete()
        assert Square().area() == 4

    def test_the_decorator_reports_the_flag_read_only(self):
        decorator = self.Shape.__dict__["area"]
        assert decorator.__isabstractmethod__ is True
        assert quarrined()(lambda self: 1).__isabstractmethod__ is False
        with pytest.raises(AttributeError):
            decorator.__isabstractmethod__ = False


def make_point():
    return Point(3, 4), "norm", 5.0


def make_box():
    return Box(2, 3), "area", 6


def make_account():
    return Account(10), "doubled", 20


def state(obj):
    if isinstance(obj, Box):
        return obj.width, obj.height
    return vars(obj)


WAYS = {"copy": copy.copy, "deepcopy": copy.deepcopy,
        **{f"pickle protocol {protocol}": lambda obj, protocol=protocol: pickle.loads(pickle.dumps(obj, protocol))
           for protocol in range(pickle.HIGHEST_PROTOCOL + 1)}}


def copy_fault(make, way):
    """What is wrong with a copy made this way, or None."""
    original, method, value = make()
    assert getattr(original, method)() == value
    cached = original.get_cached_values()
    try:
        clone = WAYS[way](original)
    except Exception as error:
        return f"{type(error).__name__}: {error}"
    expected = {"balance": 10, "log": ["restored"]} if isinstance(original, Account) else state(original)
    if type(clone) is not type(original) or clone is original or state(clone) != expected:
        return "not a copy of the instance's own state"
    if clone.get_cached_values() or clone.get_dependency_graph() or clone.get_validation_state():
        return "the copy did not start with an empty cache"
    if getattr(clone, method)() != value or clone.get_cached_values() != cached:
        return "the copy does not compute"
    clone.update_cached_value(method, "changed")
    if original.get_cached_values() != cached or getattr(original, method)() != value:
        return "the copy shares the original's store"
    return None


@pytest.mark.parametrize("make", [make_point, make_box, make_account], ids=["frozen dataclass", "slots", "getstate"])
def test_copies_and_pickles_carry_the_state_and_start_with_an_empty_cache(make):
    faults = {way: copy_fault(make, way) for way in WAYS}
    assert {way: fault for way, fault in faults.items() if fault} == {}


def test_an_instance_and_its_bound_cached_method_go_to_process_pool_workers():
    proc = scenarios.run("process_pool", timeout=300)
    assert proc.returncode == 0, report(proc)
    assert json.loads(proc.stdout.splitlines()[-1]) == {
        "arrived with": {}, "norm": 5.0, "after": {"norm": 5.0}, "original": {"norm": 5.0},
        "mapped": [[0, 0], [3, 4], [6, 8], [9, 12]]}
