"""The dependency graph and validation state reports: what they list, how they
name calls, that they are the caller's own, and how they meet re-entrance."""

import pytest

from quarrine import QuarrineBase, quarrined


class Order(QuarrineBase):
    """total declares price; whether its body calls price is up to the test."""

    calls_price = True

    @quarrined()
    def price(self):
        return 5

    @quarrined(dependencies=["price"])
    def total(self):
        return self.price() * 2 if self.calls_price else 0

    @quarrined()
    def area(self, width, height=2):
        return width * height

    @quarrined(track_runtime_dependencies=True)
    def scaled(self, k):
        return self.area(k) * 10

    @quarrined(track_runtime_dependencies=True)
    def summary(self):
        return self.price() + self.area(3)

    @quarrined(dependencies=[("area", {"width": -1, "height": 2})])
    def minus_one(self):
        return self.area(-1)

    @quarrined(dependencies=[("area", {"width": -1, "height": 2})])
    def minus_two(self):
        return self.area(-2)

    @quarrined(use_cache=False)
    def rate(self):
        return 2

    @quarrined(dependencies=["rate"])
    def declared_rate(self):
        return self.rate() * 3

    @quarrined(track_runtime_dependencies=True)
    def tracked_rate(self):
        return self.rate() * 4

    @quarrined(track_runtime_dependencies=True)
    def above_rate(self):
        return self.tracked_rate() + 1


def area_key(width, height=2):
    return ("area", (("height", height), ("width", width)))


def scaled_key(k):
    return ("scaled", (("k", k),))


def reports(obj):
    return obj.get_dependency_graph(), obj.get_validation_state()


class TestWhatIsListed:
    def test_fresh_instance_reports_nothing(self):
        assert reports(Order()) == ({}, {})

    @pytest.mark.parametrize("calls", [["price", "total"], ["total"]], ids=["price first", "total calls price"])
    def test_declared_dependency_that_was_called(self, calls):
        order = Order()
        for name in calls:
            getattr(order, name)()
        assert reports(order) == (
            {"price": {"total"}, "total": set()},
            {"price": "valid", "total": "valid"},
        )

    def test_declared_dependency_never_called_is_not_shown(self):
        order = Order()
        order.calls_price = False
        order.total()
        assert reports(order) == ({"total": set()}, {"total": "permanently invalid"})

    def test_runtime_recorded_edges(self):
        order = Order()
        order.summary()
        assert reports(order) == (
            {"price": {"summary"}, area_key(3): {"summary"}, "summary": set()},
            {"price": "valid", area_key(3): "valid", "summary": "valid"},
        )

    def test_each_argument_set_is_its_own_node(self):
        order = Order()
        order.scaled(3), order.scaled(4)
        graph, states = reports(order)
        assert graph == {
            area_key(3): {scaled_key(3)}, area_key(4): {scaled_key(4)},
            scaled_key(3): set(), scaled_key(4): set(),
        }
        assert set(states.values()) == {"valid"} and states.keys() == graph.keys()
        order.update_cached_value("area", 0, width=3, height=2)
        assert order.get_validation_state() == {
            area_key(3): "valid", area_key(4): "valid", scaled_key(3): "invalid", scaled_key(4): "valid",
        }

    def test_declared_dependency_with_arguments_is_that_call_only(self):
        order = Order()
        order.minus_one(), order.minus_two()  # both declare area(-1); hash(-1) == hash(-2)
        assert reports(order) == (
            {area_key(-1): {"minus_one", "minus_two"}, area_key(-2): set(),
             "minus_one": set(), "minus_two": set()},
            {area_key(-1): "valid", area_key(-2): "valid", "minus_one": "valid", "minus_two": "valid"},
        )
        order.update_cached_value("area", 0, width=-2, height=2)
        assert order.get_validation_state()["minus_two"] == "valid"
        order.update_cached_value("area", 0, width=-1, height=2)
        assert order.get_validation_state()["minus_two"] == "invalid"


class TestStateChanges:
    def test_clear_cache_keeps_the_keys_and_turns_valid_into_invalid(self):
        order = Order()
        order.total(), order.scaled(3), order.tracked_rate()
        graph, states = reports(order)
        order.clear_cache()
        assert order.get_dependency_graph() == graph
        assert order.get_validation_state() == {
            key: "invalid" if state == "valid" else state for key, state in states.items()
        }
        assert "permanently invalid" in states.values() and "valid" in states.values()

    def test_update_validates_the_node_and_invalidates_its_dependants(self):
        order = Order()
        order.total()
        order.update_cached_value("price", 9)
        assert order.get_validation_state() == {"price": "valid", "total": "invalid"}
        assert order.get_dependency_graph() == {"price": {"total"}, "total": set()}

    def test_use_cache_false_and_its_dependants_are_permanently_invalid(self):
        order = Order()
        order.declared_rate(), order.above_rate()
        assert reports(order) == (
            {"rate": {"declared_rate", "tracked_rate"}, "declared_rate": set(),
             "tracked_rate": {"above_rate"}, "above_rate": set()},
            {name: "permanently invalid" for name in ("rate", "declared_rate", "tracked_rate", "above_rate")},
        )


class TestFreshCopies:
    def test_mutating_the_reports_changes_nothing(self):
        order = Order()
        order.total(), order.scaled(3)
        graph, states = reports(order)
        expected = reports(order)
        graph["price"].add("intruder")
        graph[scaled_key(3)].add("intruder")
        del graph["total"]
        graph["new"] = set()
        states["price"] = "invalid"
        states.pop("total")
        assert reports(order) == expected
        assert order.price() == 5 and order.get_cached_value("price") == 5

    def test_every_call_builds_new_objects(self):
        order = Order()
        order.total()
        first, second = order.get_dependency_graph(), order.get_dependency_graph()
        assert first is not second and first["price"] is not second["price"]
        assert order.get_validation_state() is not order.get_validation_state()

    @pytest.mark.parametrize(
        "call, report",
        [(lambda o: o.get_dependency_graph(1), "get_dependency_graph"),
         (lambda o: o.get_validation_state(1), "get_validation_state")],
    )
    def test_no_arguments_are_taken(self, call, report):
        # called as obj.method(...), the interpreter names the defining class
        with pytest.raises(TypeError) as raised:
            call(Order())
        assert str(raised.value) == f"QuarrineBase.{report}() takes no arguments (1 given)"


# While a report is built, adding a call key to the result hashes the user's
# argument values; the probe's __hash__ then calls back into the instance once.
# A report is built from a copy taken with the store held, so the write is
# done, and the report shows the store as it was when it was taken.
REPORT_PREAMBLE = """
from quarrine import QuarrineBase, quarrined
from scenarios.probe import Probe

class Order(QuarrineBase):
    @quarrined()
    def price(self):
        return 5

    @quarrined()
    def keyed(self, probe):
        return "stored"

obj, probe = Order(), Probe()
trigger = probe.trigger
obj.price(), obj.keyed(probe)
before = (obj.get_cached_values(), obj.get_validation_state(), obj.get_dependency_graph())
"""

WRITERS = {
    "update_cached_value": ("obj.update_cached_value('price', 9)", 9),
    "clear_cache": ("obj.clear_cache()", None),
    "cached call": ("obj.price()", 5),
}
REPORTS = ["get_dependency_graph", "get_validation_state"]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("report", REPORTS)
def test_a_writer_reached_from_inside_a_report_is_done(report, writer, run_isolated):
    code, price = WRITERS[writer]
    run_isolated(REPORT_PREAMBLE + f"""
trigger.armed, trigger.action = "hash", lambda: {code}
assert obj.{report}() == before[{2 if report == "get_dependency_graph" else 1}]
assert trigger.outcome[0] == "returned", trigger.outcome
assert obj.get_cached_value("price") == {price!r}
""")


def test_a_finaliser_updating_the_instance_while_reports_are_built_is_not_lost(run_isolated):
    # The collector runs inside allocations, and a report allocates: each
    # finaliser below runs while some report is being built.
    run_isolated("""
import gc, sys
from quarrine import QuarrineBase, quarrined

class Order(QuarrineBase):
    @quarrined()
    def price(self):
        return 0

    @quarrined()
    def line(self, n):
        return n

obj = Order()
for n in range(50):
    obj.line(n)
obj.price()
updates, unraisable = [], []
sys.unraisablehook = lambda report: unraisable.append(report.exc_value)

class Finaliser:
    def __init__(self, n):
        self.n, self.me = n, self  # a cycle: the collector frees it

    def __del__(self):
        obj.update_cached_value("price", self.n)
        updates.append(self.n)

gc.set_threshold(1)
for n in range(1, 21):
    Finaliser(n)
    obj.get_dependency_graph(), obj.get_validation_state(), obj.get_cached_values()
gc.set_threshold(700)
gc.collect()
assert unraisable == [], unraisable[:3]
assert sorted(updates) == list(range(1, 21)) and obj.price() == updates[-1], (updates, obj.price())
""")
