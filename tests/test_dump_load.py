"""dump_cache and load_cache: the results of serialisable methods as a plain
dict, and that dict loaded into the same or another instance."""

import json
import pickle
from collections import Counter

import pytest

from quarrine import QuarrineBase, automagically_quarrined, quarrined

SERIALISABLE = quarrined(serialisable=True)
TRIALS = 200  # two or more names shuffled each time: all alike by chance with p <= 2 ** -199


class Trio(QuarrineBase):
    """Three independent serialisable methods that log their runs."""

    def __init__(self):
        self.log = []

    @SERIALISABLE
    def a(self):
        self.log.append("a")
        return ["A"]

    @SERIALISABLE
    def b(self):
        self.log.append("b")
        return ["B"]

    @SERIALISABLE
    def c(self):
        self.log.append("c")
        return ["C"]

    @quarrined()
    def scratch(self):
        self.log.append("scratch")
        return "not for export"

    @quarrined(serialisable=True, use_cache=False)
    def ticker(self):
        self.log.append("ticker")
        return len(self.log)


class PricingModel(QuarrineBase):
    """A small pricing model: serialisable building blocks, one quote per size."""

    def __init__(self, unit_cost, margin):
        self.unit_cost = unit_cost
        self.margin = margin
        self.runs = Counter()

    @automagically_quarrined(serialisable=True)
    def cost_basis(self):
        self.runs["cost_basis"] += 1
        return {"unit_cost": self.unit_cost, "overhead": 0.15}

    @automagically_quarrined(serialisable=True)
    def list_price(self):
        self.runs["list_price"] += 1
        basis = self.cost_basis()
        return round(basis["unit_cost"] * (1 + basis["overhead"]) * (1 + self.margin), 2)

    @automagically_quarrined(serialisable=True)
    def volume_breaks(self):
        self.runs["volume_breaks"] += 1
        return [[10, 0.05], [100, 0.12]]

    @automagically_quarrined()
    def quote(self, quantity):
        self.runs["quote"] += 1
        discount = max((rate for size, rate in self.volume_breaks() if quantity >= size), default=0)
        return round(quantity * self.list_price() * (1 - discount), 2)


PRICING_METHODS = {"cost_basis", "list_price", "volume_breaks"}


def orders_seen(produce):
    return {tuple(produce()) for _ in range(TRIALS)}


class TestDump:
    def test_a_dump_holds_the_very_results_and_computes_each_method_once(self):
        trio = Trio()
        dump = trio.dump_cache()
        assert set(dump) == {"a", "b", "c", "ticker"}
        assert sorted(trio.log) == ["a", "b", "c", "ticker"]
        again = trio.dump_cache()
        assert all(again[name] is dump[name] for name in "abc")
        assert trio.a() is dump["a"]
        assert sorted(trio.log) == ["a", "b", "c", "ticker", "ticker"]

    def test_a_dump_serves_an_updated_value_and_recomputes_a_stale_one(self):
        model = PricingModel(unit_cost=10.0, margin=0.2)
        model.list_price()
        model.update_cached_value("cost_basis", {"unit_cost": 20.0, "overhead": 0.0})
        dump = model.dump_cache(order=["list_price"])
        assert dump["cost_basis"] == {"unit_cost": 20.0, "overhead": 0.0}
        assert dump["list_price"] == 24.0
        assert model.runs == Counter(cost_basis=1, list_price=2, volume_breaks=1)

    def test_order_comes_first_then_the_rest(self):
        trio = Trio()
        dump = trio.dump_cache(order=["c", "a"])
        assert list(dump)[:2] == ["c", "a"]
        assert set(list(dump)[2:]) == {"b", "ticker"}
        assert trio.log[:2] == ["c", "a"]

    def test_unknown_and_repeated_names_in_order_are_ignored(self):
        trio = Trio()
        dump = trio.dump_cache(order=["ticker", "x", "ticker", "scratch"])
        assert list(dump)[0] == "ticker"
        assert set(dump) == {"a", "b", "c", "ticker"}
        assert trio.log.count("ticker") == 1
        assert "scratch" not in trio.log

    @pytest.mark.parametrize("order", [None, [], ["x"]], ids=["None", "empty", "unknown-only"])
    def test_the_rest_comes_in_a_random_order(self, order):
        trio = Trio()
        assert len(orders_seen(lambda: list(trio.dump_cache(order)))) >= 2

    def test_with_c_first_the_others_still_vary(self):
        trio = Trio()
        seen = orders_seen(lambda: list(trio.dump_cache(order=["c", "x", "c"])))
        assert {keys[0] for keys in seen} == {"c"}
        assert len({keys[1:] for keys in seen}) >= 2

    def test_order_by_position_or_keyword_and_as_a_tuple(self):
        assert list(Trio().dump_cache(("b",)))[0] == "b"
        assert list(Trio().dump_cache(order=("b", "a")))[:2] == ["b", "a"]

    def test_a_class_without_serialisable_methods_dumps_nothing(self):
        class Plain(QuarrineBase):
            @quarrined()
            def total(self):
                return 1

        assert Plain().dump_cache() == {}
        assert Plain().dump_cache(order=["total"]) == {}

    def test_what_the_class_defines_decides_each_name(self):
        class Base(QuarrineBase):
            @SERIALISABLE
            def kept(self):
                return "base kept"

            @SERIALISABLE
            def shadowed(self):
                return "base"

            @SERIALISABLE
            def demoted(self):
                return "base demoted"

            @SERIALISABLE
            def overridden(self):
                return "base overridden"

        class Child(Base):
            def shadowed(self):
                return "plain"

            @quarrined()
            def demoted(self):
                return "no longer exported"

            @quarrined(serialisable=True, use_cache=False)
            def overridden(self):
                self.calls += 1
                return "child overridden"

        child = Child()
        child.calls = 0
        assert child.dump_cache() == {"kept": "base kept", "overridden": "child overridden"}
        assert child.calls == 1

    def test_names_beginning_with_two_underscores_are_never_dumped(self):
        class Hidden(QuarrineBase):
            @SERIALISABLE
            def __snapshot__(self):
                return "dunder"

            @SERIALISABLE
            def _internal(self):
                return "one underscore"

        def secret(self):
            return "set by name"

        setattr(Hidden, "__y", SERIALISABLE(secret))
        assert Hidden().dump_cache(order=["__snapshot__", "__y"]) == {"_internal": "one underscore"}

    def test_a_failing_method_ends_the_dump_and_keeps_earlier_results(self):
        class Flaky(Trio):
            @SERIALISABLE
            def b(self):
                self.log.append("b")
                raise LookupError("rates unavailable")

        flaky = Flaky()
        with pytest.raises(LookupError, match="^rates unavailable$"):
            flaky.dump_cache(order=["a", "b", "c"])
        assert flaky.log == ["a", "b"]
        assert flaky.get_cached_value("a") == ["A"]
        assert flaky.get_cached_value("c") is None


ORDER_ERRORS = [
    ("ab", "'order' must be a sequence of method names, not a single str"),
    (["a", 1], "'int' object is not an instance of 'str'"),
    (("a", None), "'None' is not an instance of 'str'"),
    (5, "'int' object is not an instance of 'Sequence'"),
    ({"a", "b"}, "'set' object is not an instance of 'Sequence'"),
    ({"a": 1}, "'dict' object is not an instance of 'Sequence'"),
]


@pytest.mark.parametrize(("order", "message"), ORDER_ERRORS, ids=repr)
@pytest.mark.parametrize("operation", ["dump", "load"])
def test_a_bad_order_is_refused_before_anything_runs(operation, order, message):
    trio = Trio()
    with pytest.raises(TypeError) as raised:
        if operation == "dump":
            trio.dump_cache(order=order)
        else:
            trio.load_cache({"a": 1, "b": 2}, order)
    assert str(raised.value) == message
    assert raised.value.__notes__ == ["while processing 'order'"]
    assert trio.log == []
    assert trio.get_cached_values() == {}


class TestLoad:
    def test_a_dump_loads_into_another_instance_as_the_very_objects(self):
        source = Trio()
        dump = source.dump_cache()
        target = Trio()
        assert target.load_cache(dump) is None
        assert sorted(target.log) == ["a", "b", "c", "ticker"]
        for name in "abc":
            assert getattr(target, name)() is getattr(source, name)()
        assert sorted(target.log) == ["a", "b", "c", "ticker"]

    def test_loading_an_empty_dict_does_nothing(self):
        trio = Trio()
        assert trio.load_cache({}) is None
        assert trio.load_cache({}, order=["a"]) is None
        assert trio.log == [] and trio.get_cached_values() == {}

    def test_order_comes_first_each_name_once_then_the_rest(self):
        trio = Trio()
        trio.load_cache({"a": 1, "b": 2, "c": 3, "ticker": 4}, order=["ticker", "b", "ticker"])
        assert trio.log[:2] == ["ticker", "b"]
        assert trio.log.count("ticker") == 1
        assert (trio.a(), trio.b(), trio.c()) == (1, 2, 3)

    def test_names_of_order_missing_from_the_data_are_ignored(self):
        trio = Trio()
        trio.load_cache({"a": 5}, order=["missing", "scratch", "b"])
        assert trio.log == ["a"]
        assert trio.a() == 5

    @pytest.mark.parametrize("order", [None, [], ["x"]], ids=["None", "empty", "unknown-only"])
    def test_the_rest_loads_in_a_random_order(self, order):
        def load_order():
            trio = Trio()
            trio.load_cache({"a": 1, "b": 2, "c": 3}, order)
            return trio.log

        assert len(orders_seen(load_order)) >= 2

    def test_data_and_order_by_keyword(self):
        trio = Trio()
        trio.load_cache(order=["b"], data={"a": 1, "b": 2})
        assert trio.log[0] == "b"
        assert trio.get_cached_values() == {"a": 1, "b": 2}

    @pytest.mark.parametrize(
        ("name", "error", "message"),
        [
            ("scratch", ValueError, "Method 'scratch' is not marked as serialisable"),
            ("__init__", ValueError, "Method '__init__' is not decorated with @quarrined"),
            ("helper", ValueError, "Method 'helper' is not decorated with @quarrined"),
            ("rate", ValueError, "Method 'rate' is not decorated with @quarrined"),
            ("currency", ValueError, "Method 'currency' is not decorated with @quarrined"),
            ("nowhere", AttributeError, "type object 'Shop' has no attribute 'nowhere'"),
        ],
    )
    def test_a_bad_name_fails_after_the_names_before_it_were_loaded(self, name, error, message):
        class Shop(Trio):
            currency = "EUR"

            def helper(self):
                return 1

            @property
            def rate(self):
                return 2

        shop = Shop()
        with pytest.raises(error) as raised:
            shop.load_cache({"a": 1, name: 2, "c": 3}, order=["a", name, "c"])
        assert str(raised.value) == message
        assert shop.log == ["a"]
        assert shop.get_cached_values() == {"a": 1}

    def test_an_instance_attribute_does_not_count_as_a_method(self):
        trio = Trio()
        trio.note = "instance only"
        with pytest.raises(AttributeError):
            trio.load_cache({"note": 1})

    def test_a_failing_method_ends_the_load_and_keeps_earlier_entries(self):
        class Flaky(Trio):
            @SERIALISABLE
            def b(self):
                self.log.append("b")
                raise LookupError("rates unavailable")

        flaky = Flaky()
        with pytest.raises(LookupError, match="^rates unavailable$"):
            flaky.load_cache({"a": 1, "b": 2, "c": 3}, order=["a", "b", "c"])
        assert flaky.log == ["a", "b"]
        assert flaky.a() == 1
        assert flaky.get_cached_values() == {"a": 1}

    def test_a_key_that_is_not_a_str_fails_before_anything_loads(self):
        trio = Trio()
        with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'str'$"):
            trio.load_cache({"a": 1, 2: "two"}, order=["a"])
        assert trio.log == [] and trio.get_cached_values() == {}

    @pytest.mark.parametrize(
        ("data", "message"),
        [
            (None, "'None' is not an instance of 'dict'"),
            ([("a", 1)], "'list' object is not an instance of 'dict'"),
            (vars(Trio), "'mappingproxy' object is not an instance of 'dict'"),
        ],
        ids=["None", "pairs", "mappingproxy"],
    )
    def test_data_must_be_a_dict(self, data, message):
        with pytest.raises(TypeError) as raised:
            Trio().load_cache(data)
        assert str(raised.value) == message
        assert raised.value.__notes__ == ["while processing 'data'"]

    def test_a_dict_subclass_is_read_as_a_plain_dict(self):
        class Shouting(dict):
            def __getitem__(self, key):
                return "LOUD"

        trio = Trio()
        trio.load_cache(Shouting(a="quiet"))
        assert trio.a() == "quiet"

    def test_a_load_invalidates_what_was_computed_from_the_old_value(self):
        model = PricingModel(unit_cost=10.0, margin=0.2)
        assert model.list_price() == 13.8
        model.load_cache({"cost_basis": {"unit_cost": 99.0, "overhead": 0.0}})
        assert model.cost_basis() == {"unit_cost": 99.0, "overhead": 0.0}
        assert model.list_price() == pytest.approx(118.8)
        assert model.runs == Counter(cost_basis=1, list_price=2)

    @pytest.mark.parametrize("order", [["list_price", "cost_basis"], ["cost_basis", "list_price"]])
    def test_values_loaded_together_stay_valid_together(self, order):
        source = PricingModel(unit_cost=10.0, margin=0.2)
        data = {"cost_basis": source.cost_basis(), "list_price": 99.5}
        model = PricingModel(unit_cost=1.0, margin=0.0)
        model.load_cache(data, order=order)
        assert (model.cost_basis(), model.list_price()) == (data["cost_basis"], 99.5)
        assert set(model.get_validation_state().values()) == {"valid"}

    def test_a_loaded_uncached_method_is_stored_and_never_served(self):
        trio = Trio()
        trio.load_cache({"ticker": "loaded"})
        assert trio.get_cached_values() == {"ticker": "loaded"}
        assert trio.get_cached_value("ticker") is None
        assert trio.ticker() == 2
        assert trio.ticker() == 3
        assert trio.get_validation_state() == {"ticker": "permanently invalid"}


def spot(self):
    self.runs += 1
    return 1.5


class Desk(QuarrineBase):
    runs = 0
    alias = SERIALISABLE(spot)  # cached under "spot", dumped under "alias"


def test_an_aliased_method_dumps_under_its_alias_and_loads_into_the_entry_its_calls_read():
    desk = Desk()
    assert desk.dump_cache() == {"alias": 1.5}
    assert desk.get_cached_values() == {"spot": 1.5}

    other = Desk()
    other.load_cache({"alias": 42.0})
    assert other.runs == 1
    assert other.alias() == 42.0
    assert other.get_cached_value("spot") == 42.0
    assert other.get_cached_values() == {"spot": 42.0}


@pytest.mark.parametrize(
    ("encode", "decode"),
    [(pickle.dumps, pickle.loads), (json.dumps, json.loads)],
    ids=["pickle", "json"],
)
def test_a_pricing_model_round_trips_through_storage(encode, decode):
    priced = PricingModel(unit_cost=10.0, margin=0.2)
    assert priced.quote(50) == 655.5
    stored = encode(priced.dump_cache(order=["list_price"]))

    # Other inputs: whatever it answers below comes from the loaded values.
    restored = PricingModel(unit_cost=1.0, margin=0.0)
    restored.load_cache(decode(stored))
    assert restored.runs == Counter(dict.fromkeys(PRICING_METHODS, 1))
    for name in PRICING_METHODS:
        assert getattr(restored, name)() == getattr(priced, name)()
    assert restored.quote(50) == 655.5
    assert restored.quote(50) == 655.5
    assert restored.runs == Counter({**dict.fromkeys(PRICING_METHODS, 1), "quote": 1})
    assert set(restored.get_validation_state().values()) == {"valid"}
