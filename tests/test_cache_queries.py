"""Reading, overwriting and clearing an instance's cache by name, and the
access guard that keeps those operations from being re-entered."""

from collections import Counter

import pytest

from quarrine import QuarrineBase, quarrined


class Invoice(QuarrineBase):
    """price -> subtotal -> total are recorded at run time; rate is never cached."""

    def __init__(self):
        self.runs = Counter()
        self.unit = 5
        self.fail = False

    def ran(self, name):
        self.runs[name] += 1

    @quarrined()
    def price(self):
        self.ran("price")
        return self.unit

    @quarrined(track_runtime_dependencies=True)
    def subtotal(self):
        self.ran("subtotal")
        return self.price() * 2

    @quarrined(track_runtime_dependencies=True)
    def total(self):
        self.ran("total")
        return self.subtotal() + 1

    @quarrined()
    def unrelated(self):
        self.ran("unrelated")
        return 0

    @quarrined()
    def area(self, width, height=2):
        self.ran("area")
        return [width, height]

    @quarrined(use_cache=False)
    def rate(self):
        self.ran("rate")
        return 2

    @quarrined(dependencies=["rate"])
    def taxed(self):
        self.ran("taxed")
        if self.fail:
            raise LookupError("no tax table")
        return self.rate() * 10

    @quarrined(track_runtime_dependencies=True)
    def peek(self):
        self.ran("peek")
        return self.get_cached_value("price")


class SameHash:
    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return isinstance(other, SameHash) and self.tag == other.tag


class BadHash:
    def __hash__(self):
        raise ValueError("no hash today")


AREA_KEY = ("area", (("height", 2), ("width", 3)))


class TestGetCachedValue:
    def test_self_only_method_is_found_by_its_bare_name(self):
        invoice = Invoice()
        invoice.price()
        assert invoice.get_cached_value("price") == 5
        assert invoice.get_cached_value(method_name="price") == 5

    @pytest.mark.parametrize(
        "kwargs, hit",
        [
            ({"width": 3, "height": 2}, True),
            ({"height": 2, "width": 3}, True),
            ({"width": 3.0, "height": 2.0}, True),
            ({"width": 3, "height": 2, "self": "dropped"}, True),
            ({"width": 3}, False),
            ({"width": 3, "height": 2, "depth": 1}, False),
            ({"width": 4, "height": 2}, False),
            ({"width": [3], "height": 2}, False),
            ({"width": BadHash(), "height": 2}, False),
        ],
        ids=["all named", "any order", "equal values", "self dropped", "default not filled in",
             "extra keyword", "other value", "unhashable", "raising hash"],
    )
    def test_lookup_names_every_bound_parameter(self, kwargs, hit):
        invoice = Invoice()
        result = invoice.area(3)
        assert invoice.get_cached_value("area", **kwargs) is (result if hit else None)

    @pytest.mark.parametrize(
        "prepare, lookup",
        [
            (lambda inv: None, lambda inv: inv.get_cached_value("price")),
            (lambda inv: inv.total(), lambda inv: inv.update_cached_value("price", 7)
             or inv.get_cached_value("total")),
            (lambda inv: inv.rate(), lambda inv: inv.get_cached_value("rate")),
            (lambda inv: inv.area(-1), lambda inv: inv.get_cached_value("area", width=-2, height=2)),
            (lambda inv: inv.area(SameHash("a")),
             lambda inv: inv.get_cached_value("area", width=SameHash("b"), height=2)),
        ],
        ids=["never called", "invalid", "permanently invalid", "minus one and minus two",
             "colliding hash"],
    )
    def test_returns_none_for_a_call_it_may_not_serve(self, prepare, lookup):
        invoice = Invoice()
        prepare(invoice)
        assert lookup(invoice) is None

    def test_reading_through_get_cached_value_records_no_dependency(self):
        invoice = Invoice()
        invoice.price()
        assert invoice.peek() == 5
        assert invoice.get_dependency_graph() == {"price": set(), "peek": set()}
        invoice.update_cached_value("price", 7)
        assert invoice.peek() == 5 and invoice.runs["peek"] == 1


class TestUpdateCachedValue:
    def test_stored_value_is_served_without_running(self):
        invoice, value = Invoice(), object()
        invoice.price()
        assert invoice.update_cached_value("price", value) is None
        assert invoice.get_cached_value("price") is value
        assert invoice.price() is value and invoice.runs["price"] == 1
        invoice.update_cached_value(method_name="price", value=9)
        assert invoice.price() == 9

    def test_valid_dependants_are_invalidated_transitively(self):
        invoice = Invoice()
        invoice.total(), invoice.unrelated()
        invoice.update_cached_value("price", 7)
        assert invoice.get_validation_state() == {
            "price": "valid", "subtotal": "invalid", "total": "invalid", "unrelated": "valid",
        }
        assert invoice.total() == 15 and invoice.unrelated() == 0
        assert invoice.runs == Counter(price=1, subtotal=2, total=2, unrelated=1)

    def test_an_invalid_node_is_validated(self):
        invoice = Invoice()
        invoice.total()
        invoice.clear_cache()
        invoice.update_cached_value("subtotal", 40)
        assert invoice.get_validation_state() == {"price": "invalid", "subtotal": "valid", "total": "invalid"}
        assert invoice.total() == 41
        assert invoice.runs == Counter(price=1, subtotal=1, total=2)

    def test_permanently_invalid_node_stays_so_but_invalidates_its_dependants(self):
        invoice = Invoice()
        invoice.rate()
        invoice.fail = True
        with pytest.raises(LookupError):
            invoice.taxed()  # registered below rate, still invalid
        invoice.update_cached_value("taxed", 40)
        assert invoice.get_cached_value("taxed") == 40
        invoice.update_cached_value("rate", 3)
        assert invoice.get_validation_state() == {"rate": "permanently invalid", "taxed": "invalid"}
        assert invoice.get_cached_value("rate") is None and invoice.get_cached_value("taxed") is None
        assert invoice.get_cached_values() == {"rate": 3, "taxed": 40}
        assert invoice.rate() == 2 and invoice.runs["rate"] == 2

    def test_a_value_set_before_the_first_call_is_served_by_it(self):
        invoice = Invoice()
        invoice.update_cached_value("area", "preset", width=3, height=2)
        assert invoice.get_cached_value("area", width=3, height=2) == "preset"
        assert invoice.area(3) == "preset" and invoice.runs["area"] == 0
        assert invoice.get_cached_values() == {AREA_KEY: "preset"}


class TestNames:
    """A name that is no cached method of the instance's class is a mistake, not a miss."""

    @pytest.mark.parametrize("query", [
        lambda inv: inv.get_cached_value("aera", width=3, height=2),
        lambda inv: inv.update_cached_value("aera", 1, width=3, height=2),
    ], ids=["get_cached_value", "update_cached_value"])
    def test_a_mistyped_name_raises_and_names_the_nearest_cached_method(self, query):
        invoice = Invoice()
        with pytest.raises(AttributeError) as raised:
            query(invoice)
        assert str(raised.value) == "'Invoice' has no cached method 'aera'; did you mean 'area'?"
        assert invoice.get_cached_values() == {}

    def test_a_method_cached_under_another_attribute_is_found_by_its_name(self):
        def compute(self):
            return 1

        class Model(QuarrineBase):
            total = quarrined()(compute)

        model = Model()
        model.update_cached_value("compute", 5)
        assert model.total() == 5
        with pytest.raises(AttributeError, match="holds as 'total' is named after its function, 'compute'"):
            model.get_cached_value("total")

    @pytest.mark.parametrize(
        "kwargs",
        [{"width": 3.0, "height": 2}, {"self": None, "width": 3, "height": 2}],
        ids=["equal values", "self dropped"],
    )
    def test_keywords_name_the_call_as_a_lookup_would(self, kwargs):
        invoice = Invoice()
        invoice.area(3)
        invoice.update_cached_value("area", "new", **kwargs)
        assert invoice.area(3) == "new" and invoice.runs["area"] == 1

    def test_minus_one_and_minus_two_are_updated_apart(self):
        invoice = Invoice()
        first = invoice.area(-1)
        invoice.area(-2)
        invoice.update_cached_value("area", "new", width=-2, height=2)
        assert invoice.area(-1) is first and invoice.area(-2) == "new"

    @pytest.mark.parametrize(
        "bad, error, message",
        [([1], TypeError, "unhashable type: 'list'"), (BadHash(), ValueError, "no hash today")],
        ids=["unhashable", "raising hash"],
    )
    def test_a_call_that_cannot_be_identified_raises_and_changes_nothing(self, bad, error, message):
        invoice = Invoice()
        invoice.total(), invoice.area(3)
        before = (invoice.get_cached_values(), invoice.get_validation_state())
        with pytest.raises(error) as raised:
            invoice.update_cached_value("area", "new", width=bad, height=2)
        assert str(raised.value) == message
        assert (invoice.get_cached_values(), invoice.get_validation_state()) == before

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda inv: inv.update_cached_value("m", 1, value=2),
             "QuarrineBase.update_cached_value() got multiple values for argument 'value'"),
            (lambda inv: inv.update_cached_value("m", 1, method_name="n"),
             "QuarrineBase.update_cached_value() got multiple values for argument 'method_name'"),
            (lambda inv: inv.update_cached_value("m"),
             "QuarrineBase.update_cached_value() missing 1 required positional argument: 'value'"),
            (lambda inv: inv.update_cached_value("m", 1, 2),
             "QuarrineBase.update_cached_value() takes 3 positional arguments but 4 were given"),
            (lambda inv: inv.get_cached_value(),
             "QuarrineBase.get_cached_value() missing 1 required positional argument: 'method_name'"),
            (lambda inv: inv.get_cached_value("m", method_name="n"),
             "QuarrineBase.get_cached_value() got multiple values for argument 'method_name'"),
            (lambda inv: inv.clear_cache(1), "QuarrineBase.clear_cache() takes no arguments (1 given)"),
            (lambda inv: inv.get_cached_values(1),
             "QuarrineBase.get_cached_values() takes no arguments (1 given)"),
        ],
    )
    def test_argument_errors(self, call, message):
        invoice = Invoice()
        with pytest.raises(TypeError) as raised:
            call(invoice)
        assert str(raised.value) == message

    @pytest.mark.parametrize("method", ["get_cached_value", "update_cached_value"])
    @pytest.mark.parametrize("name, shown", [(1, "'int' object"), (None, "'None'")])
    def test_method_name_must_be_a_str(self, method, name, shown):
        invoice = Invoice()
        with pytest.raises(TypeError) as raised:
            getattr(invoice, method)(name, *([0] if method == "update_cached_value" else []))
        assert str(raised.value) == f"{shown} is not an instance of 'str'"
        assert raised.value.__notes__ == ["while processing 'method_name'"]


class TestClearCache:
    def test_every_method_runs_again_once(self):
        invoice = Invoice()
        invoice.total(), invoice.area(3), invoice.unrelated()
        assert invoice.clear_cache() is None
        assert invoice.get_cached_values() == {}
        for _ in range(2):
            assert (invoice.total(), invoice.area(3), invoice.unrelated()) == (11, [3, 2], 0)
        assert invoice.runs == Counter(price=2, subtotal=2, total=2, area=2, unrelated=2)

    def test_edges_and_permanently_invalid_states_are_kept(self):
        invoice = Invoice()
        invoice.total(), invoice.rate()
        graph = invoice.get_dependency_graph()
        invoice.clear_cache()
        assert invoice.get_dependency_graph() == graph
        assert invoice.get_validation_state() == {
            "price": "invalid", "subtotal": "invalid", "total": "invalid", "rate": "permanently invalid",
        }
        invoice.price()
        invoice.update_cached_value("price", 7)  # the kept edges still carry the change
        assert invoice.total() == 15

    def test_an_empty_store_is_fine(self):
        invoice = Invoice()
        assert invoice.clear_cache() is None
        assert (invoice.get_cached_values(), invoice.get_validation_state()) == ({}, {})


class TestGetCachedValues:
    def test_bare_names_for_self_only_methods_call_keys_otherwise(self):
        invoice = Invoice()
        area = invoice.area(3)
        invoice.total()
        values = invoice.get_cached_values()
        assert values == {"price": 5, "subtotal": 10, "total": 11, AREA_KEY: [3, 2]}
        assert values[AREA_KEY] is area

    def test_stale_results_are_listed(self):
        invoice = Invoice()
        invoice.total()
        invoice.update_cached_value("price", 7)
        assert invoice.get_cached_values() == {"price": 7, "subtotal": 10, "total": 11}
        assert invoice.get_cached_value("total") is None

    def test_the_dict_is_the_callers_own(self):
        invoice = Invoice()
        invoice.total()
        values = invoice.get_cached_values()
        values.clear()
        values["price"] = 99
        assert invoice.get_cached_values() == {"price": 5, "subtotal": 10, "total": 11}


# Re-entrance through an argument's __hash__: the probe below is the keyword
# value of the lookup; while armed, its __hash__ calls back into the same
# instance once. Keys are hashed with the store let go, so whatever it does
# is done and not lost, and the lookup or update then goes on.
GUARD_PREAMBLE = """
from quarrine import QuarrineBase, quarrined
from scenarios.probe import Probe

class Invoice(QuarrineBase):
    @quarrined()
    def price(self):
        return 5

    @quarrined()
    def keyed(self, probe):
        return "stored"

obj, probe = Invoice(), Probe()
trigger = probe.trigger
obj.price(), obj.keyed(probe)
"""

INNER_CALLS = {
    "get_cached_value": ("obj.get_cached_value('price')", 5),
    "get_cached_values": ("obj.get_cached_values()['price']", 5),
    "update_cached_value": ("obj.update_cached_value('price', 9)", None),
    "clear_cache": ("obj.clear_cache()", None),
    "cached call": ("obj.price()", 5),
}


@pytest.mark.parametrize("inner", INNER_CALLS)
@pytest.mark.parametrize("outer", ["get_cached_value('keyed', probe=probe)",
                                   "update_cached_value('keyed', 'new', probe=probe)"])
def test_a_hash_reentering_a_query_is_done_and_not_lost(outer, inner, run_isolated):
    code, returns = INNER_CALLS[inner]
    run_isolated(GUARD_PREAMBLE + f"""
trigger.armed, trigger.action = "hash", lambda: {code}
result = obj.{outer}
assert trigger.outcome == ("returned", {returns!r}), trigger.outcome
cleared = {inner == "clear_cache"}
assert result == (None if "update" in {outer!r} or cleared else "stored"), result
assert obj.price() == (9 if {inner == "update_cached_value"} else 5)
assert obj.keyed(probe) == ("new" if "update" in {outer!r} else "stored")
""")
