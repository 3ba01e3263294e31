"""The cached call protocol: call keys, dependencies, failures, recursion,
re-entrance, object lifetime and threads, seen through a user's classes."""

import gc
import inspect
import threading
import weakref
from collections import Counter

import pytest

from quarrine import QuarrineBase, quarrined


class Counted(QuarrineBase):
    """Base of the scenario classes: `runs` counts how often each method body ran."""

    def __init__(self):
        self.runs = Counter()

    def ran(self, name, result):
        self.runs[name] += 1
        return result


# The raw functions live at module level so that a test can ask `inspect`
# what it makes of a call; each class body decorates them under their names.

def m(self, width, height=2):
    return self.ran("m", [width, height])  # a new list per run: `is` tells a hit from a run


def pos_only(self, a, /, b=0):
    return self.ran("pos_only", [a, b])


def kw_only(self, *, k):
    return self.ran("kw_only", [k])


def var_pos(self, *args):
    return self.ran("var_pos", list(args))


def var_kw(self, **options):
    return self.ran("var_kw", options)


def named_this(this, x):
    return this.ran("named_this", [x])


def self_later(this, self, x):
    return this.ran("self_later", [self, x])


class Area(Counted):
    m = quarrined()(m)


class Kinds(Counted):
    pos_only = quarrined()(pos_only)
    kw_only = quarrined()(kw_only)
    var_pos = quarrined()(var_pos)
    var_kw = quarrined()(var_kw)
    named_this = quarrined()(named_this)
    self_later = quarrined()(self_later)


class UnhashableKinds(Kinds):
    __hash__ = None


class SameHash:
    """Every instance hashes alike; two are equal only when their tags are."""

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return isinstance(other, SameHash) and self.tag == other.tag


SPELLINGS = {
    "positional": lambda o: o.m(3),
    "keyword": lambda o: o.m(width=3),
    "default given": lambda o: o.m(3, 2),
    "keywords reordered": lambda o: o.m(height=2, width=3),
}


class TestCallKeys:
    @pytest.mark.parametrize("first", SPELLINGS)
    def test_every_spelling_of_one_binding_shares_one_entry(self, first):
        area = Area()
        result = SPELLINGS[first](area)
        assert all(call(area) is result for call in SPELLINGS.values())
        assert area.runs["m"] == 1
        assert area.get_cached_values() == {("m", (("height", 2), ("width", 3))): [3, 2]}

    def test_a_different_binding_is_a_different_call(self):
        area = Area()
        assert (area.m(3), area.m(3, 3), area.m(4)) == ([3, 2], [3, 3], [4, 2])
        assert area.runs["m"] == 3

    def test_minus_one_and_minus_two_are_distinct_calls(self):
        area = Area()  # hash(-1) == hash(-2)
        first, second = area.m(-1), area.m(-2)
        assert (first, second) == ([-1, 2], [-2, 2])
        assert area.m(-1) is first and area.m(-2) is second
        assert area.runs["m"] == 2

    def test_colliding_but_unequal_arguments_are_distinct_calls(self):
        area = Area()
        a, b = area.m(SameHash("a")), area.m(SameHash("b"))
        assert (a[0].tag, b[0].tag) == ("a", "b")
        assert area.m(SameHash("a")) is a and area.m(SameHash("b")) is b
        assert area.runs["m"] == 2

    @pytest.mark.parametrize("equal", [1.0, True])
    def test_equal_arguments_of_other_types_share_one_entry(self, equal):
        area = Area()
        result = area.m(1)
        assert area.m(equal) is result
        assert area.runs["m"] == 1


class TestParameterKinds:
    def test_positional_only_default_is_part_of_the_key(self):
        kinds = Kinds()
        assert kinds.pos_only(1) is kinds.pos_only(1, 0)
        assert kinds.runs["pos_only"] == 1
        assert list(kinds.get_cached_values()) == [("pos_only", (("a", 1), ("b", 0)))]

    def test_keyword_only(self):
        kinds = Kinds()
        assert kinds.kw_only(k=1) is kinds.kw_only(k=1)
        assert kinds.kw_only(k=2) == [2]
        assert kinds.runs["kw_only"] == 2

    def test_var_positional_binds_its_tuple(self):
        kinds = Kinds()
        assert kinds.var_pos(1, 2) is kinds.var_pos(1, 2)
        assert kinds.var_pos(2, 1) == [2, 1] and kinds.var_pos() == []
        assert kinds.runs["var_pos"] == 3
        assert set(kinds.get_cached_values()) == {
            ("var_pos", (("args", (1, 2)),)),
            ("var_pos", (("args", (2, 1)),)),
            ("var_pos", (("args", ()),)),
        }

    @pytest.mark.parametrize("kwargs", [{}, {"a": 1}])
    def test_var_keyword_always_fails_on_its_dict(self, kwargs):
        kinds = Kinds()
        with pytest.raises(TypeError, match=r"^unhashable type: 'dict'"):
            kinds.var_kw(**kwargs)
        assert kinds.runs["var_kw"] == 0
        assert kinds.get_validation_state() == {}

    def test_first_parameter_not_named_self_keys_on_the_instance(self):
        kinds = Kinds()
        assert kinds.named_this(1) is kinds.named_this(x=1)
        assert kinds.get_cached_values() == {("named_this", (("this", kinds), ("x", 1))): [1]}

    def test_unhashable_instance_fails_only_where_it_is_part_of_the_key(self):
        kinds = UnhashableKinds()
        with pytest.raises(TypeError, match=r"^unhashable type: 'UnhashableKinds'"):
            kinds.named_this(1)
        assert kinds.runs["named_this"] == 0
        assert kinds.pos_only(1) == [1, 0]

    def test_parameter_named_self_in_another_position_is_left_out(self):
        kinds = Kinds()
        first = kinds.self_later(5, 1)
        assert kinds.self_later(6, 1) is first
        assert kinds.runs["self_later"] == 1
        assert list(kinds.get_cached_values()) == [("self_later", (("this", kinds), ("x", 1)))]

    @pytest.mark.parametrize("value", [[1], {1: 2}, {1}], ids=["list", "dict", "set"])
    def test_unhashable_argument_fails_before_the_function_runs(self, value):
        area = Area()
        with pytest.raises(TypeError, match=rf"^unhashable type: '{type(value).__name__}'"):
            area.m(value)
        assert area.runs["m"] == 0
        assert area.get_validation_state() == {} and area.get_dependency_graph() == {}

    @pytest.mark.parametrize(
        "cls, func, args, kwargs",
        [
            (Area, m, (), {}),
            (Area, m, (1, 2, 3), {}),
            (Area, m, (1,), {"depth": 3}),
            (Area, m, (1,), {"width": 1}),
            (Kinds, pos_only, (), {"a": 1}),
            (Kinds, kw_only, (1,), {}),
        ],
        ids=["missing", "too many", "unexpected keyword", "twice", "positional-only by keyword",
             "keyword-only by position"],
    )
    def test_binding_errors_are_inspects_own_and_nothing_runs(self, cls, func, args, kwargs):
        obj = cls()
        with pytest.raises(TypeError) as expected:
            inspect.signature(func).bind(obj, *args, **kwargs)
        with pytest.raises(TypeError) as raised:
            getattr(obj, func.__name__)(*args, **kwargs)
        assert str(raised.value) == str(expected.value)
        assert obj.runs == Counter()
        assert obj.get_validation_state() == {}

    def test_calls_through_the_class_need_an_instance(self):
        with pytest.raises(TypeError) as raised:
            Area.m(42)
        assert str(raised.value) == "the decorated method's class must inherit from QuarrineBase"
        with pytest.raises(ValueError) as raised:
            Area.m()
        assert str(raised.value) == "quarrined can only be used as an instance method decorator"


class Shop(Counted):
    def __init__(self, unit=5):
        super().__init__()
        self.unit = unit

    @quarrined()
    def price(self):
        return self.ran("price", self.unit)

    @quarrined(use_cache=False)
    def rate(self):
        return self.ran("rate", 2)

    @quarrined(dependencies=["price"])
    def declared_unused(self):
        return self.ran("declared_unused", 1)

    @quarrined(dependencies=["price"])
    def declared_used(self):
        return self.ran("declared_used", self.price() + 1)

    @quarrined(track_runtime_dependencies=True)
    def tracked(self):
        return self.ran("tracked", self.price() * 10)

    @quarrined()
    def untracked(self):
        return self.ran("untracked", self.price() * 10)

    def helper(self):
        return self.price() * 100

    @quarrined(track_runtime_dependencies=True)
    def through_helper(self):
        return self.ran("through_helper", self.helper())

    @quarrined(track_runtime_dependencies=True)
    def tracked_rate(self):
        return self.ran("tracked_rate", self.rate() * 3)

    @quarrined(dependencies=["rate"])
    def declared_rate(self):
        return self.ran("declared_rate", self.rate() * 4)


class TestDependencies:
    def test_declared_dependency_never_called_makes_the_dependant_permanently_invalid(self):
        shop = Shop()
        for _ in range(3):
            assert shop.declared_unused() == 1
        shop.price()
        shop.declared_unused()
        assert shop.runs["declared_unused"] == 4
        assert shop.get_validation_state()["declared_unused"] == "permanently invalid"

    def test_a_declared_dependency_never_computed_is_said_once_per_method(self, run_isolated):
        run_isolated("""
import warnings
from quarrine import QuarrineBase, quarrined

class Report(QuarrineBase):
    @quarrined()
    def data(self):
        return 1

    @quarrined(dependencies=["data"])
    def summary(self):
        return "no data needed today"

with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for _ in range(3):
        Report().summary()
assert [str(w.message) for w in caught] == [
    "'summary' declares a dependency on 'data', which had not been computed when 'summary' "
    "returned, so 'summary' is never cached: call self.data() in its body, or drop 'data' from "
    "its dependencies"], caught
assert caught[0].category is RuntimeWarning
""")

    def test_declared_dependency_that_is_called_is_cached_and_invalidates(self):
        shop = Shop()
        assert shop.declared_used() == shop.declared_used() == 6
        assert shop.runs["declared_used"] == 1
        shop.update_cached_value("price", 7)
        assert shop.declared_used() == 8
        assert shop.runs == Counter(price=1, declared_used=2)

    @pytest.mark.parametrize("method, recomputes", [("tracked", True), ("untracked", False)])
    def test_runtime_recording_follows_the_flag(self, method, recomputes):
        shop = Shop()
        assert getattr(shop, method)() == 50
        shop.update_cached_value("price", 7)
        assert getattr(shop, method)() == (70 if recomputes else 50)
        assert shop.runs[method] == (2 if recomputes else 1)

    def test_recording_happens_when_the_parent_is_a_cache_hit(self):
        shop = Shop()
        shop.price()
        shop.tracked()
        assert shop.runs["price"] == 1
        shop.update_cached_value("price", 7)
        assert shop.tracked() == 70

    def test_a_plain_method_in_between_does_not_hide_the_call(self):
        shop = Shop()
        assert shop.through_helper() == 500
        shop.update_cached_value("price", 7)
        assert shop.through_helper() == 700
        assert shop.runs["through_helper"] == 2

    @pytest.mark.parametrize("dependant", ["tracked_rate", "declared_rate"])
    def test_use_cache_false_runs_every_time_and_so_do_its_dependants(self, dependant):
        shop = Shop()
        for _ in range(3):
            getattr(shop, dependant)()
        assert shop.runs == Counter({"rate": 3, dependant: 3})
        assert shop.get_cached_value(dependant) is None


class Diamond(Counted):
    """top uses left and right, both use base; other stands apart."""

    @quarrined(track_runtime_dependencies=True)
    def base(self):
        return self.ran("base", 1)

    @quarrined(track_runtime_dependencies=True)
    def left(self):
        return self.ran("left", self.base() + 1)

    @quarrined(track_runtime_dependencies=True)
    def right(self):
        return self.ran("right", self.base() * 10)

    @quarrined(track_runtime_dependencies=True)
    def top(self):
        return self.ran("top", self.left() + self.right())

    @quarrined(track_runtime_dependencies=True)
    def other(self):
        return self.ran("other", 0)


class Levels(Counted):
    @quarrined(track_runtime_dependencies=True)
    def level(self, n):
        return self.ran(n, 0 if n == 0 else self.level(n - 1) + 1)


class TestTransitiveInvalidation:
    def test_diamond_recomputes_exactly_what_is_stale(self):
        d = Diamond()
        assert (d.top(), d.other()) == (12, 0)
        d.update_cached_value("base", 2)
        assert d.top() == 23
        assert d.runs == Counter(base=1, left=2, right=2, top=2, other=1)
        d.update_cached_value("left", 50)
        assert (d.top(), d.left(), d.right()) == (70, 50, 20)
        assert d.runs == Counter(base=1, left=2, right=2, top=3, other=1)
        d.top(), d.other()
        assert d.runs == Counter(base=1, left=2, right=2, top=3, other=1)

    def test_chain_recomputes_only_above_the_change(self):
        chain = Levels()
        assert chain.level(5) == 5
        chain.update_cached_value("level", 100, n=2)
        assert chain.level(5) == 103
        assert chain.runs == Counter({0: 1, 1: 1, 2: 1, 3: 2, 4: 2, 5: 2})
        assert (chain.level(1), chain.level(2)) == (1, 100)
        assert chain.runs[1] == 1 and chain.runs[2] == 1


class Abort(BaseException):
    pass


class Flaky(Counted):
    def __init__(self):
        super().__init__()
        self.error = None

    @quarrined(track_runtime_dependencies=True)
    def risky(self):
        self.runs["risky"] += 1
        if self.error is not None:
            raise self.error
        return []

    @quarrined()
    def price(self):
        return 5


class TestRaisingMethods:
    @pytest.mark.parametrize("error", [KeyError("boom"), Abort()], ids=["KeyError", "BaseException"])
    def test_exception_passes_unchanged_and_nothing_is_stored(self, error):
        flaky = Flaky()
        flaky.error = error
        for runs in (1, 2):
            with pytest.raises(type(error)) as raised:
                flaky.risky()
            assert raised.value is error
            assert flaky.runs["risky"] == runs
        assert flaky.get_cached_values() == {}
        assert flaky.get_validation_state() == {"risky": "invalid"}
        flaky.price()  # the failed call's entry is off the stack: nothing records price
        assert flaky.get_dependency_graph() == {"risky": set(), "price": set()}
        flaky.error = None
        assert flaky.risky() is flaky.risky()
        assert flaky.runs["risky"] == 3


class Fib(Counted):
    @quarrined(track_runtime_dependencies=True)
    def fib(self, n):
        return self.ran(n, n if n < 2 else self.fib(n - 1) + self.fib(n - 2))


class Selfish(Counted):
    def __init__(self):
        super().__init__()
        self.recurse = True

    @quarrined(track_runtime_dependencies=True)
    def again(self):
        self.runs["again"] += 1
        if self.recurse:
            self.recurse = False
            self.again()
        return self.runs["again"]


class TestRecursion:
    def test_recursion_with_other_arguments_computes_each_call_once(self):
        fib = Fib()
        assert fib.fib(15) == 610
        assert fib.runs == Counter({n: 1 for n in range(16)})
        fib.update_cached_value("fib", 100, n=1)
        fib.fib(15)
        assert fib.runs == Counter({0: 1, 1: 1, **{n: 2 for n in range(2, 16)}})

    def test_a_run_that_calls_itself_with_the_same_arguments_does_not_store(self):
        selfish = Selfish()
        assert selfish.again() == 2
        assert selfish.get_cached_values() == {}
        assert selfish.get_validation_state() == {"again": "invalid"}
        # A later run that does not call itself settles on what it used: the
        # edge stays in the graph, but no longer holds the result back.
        assert selfish.again() == 3 and selfish.again() == 3
        assert selfish.get_validation_state() == {"again": "valid"}
        assert selfish.get_dependency_graph() == {"again": {"again"}}


class Reentrant(Counted):
    action = None

    @quarrined(serialisable=True)
    def price(self):
        return self.ran("price", 5)

    @quarrined()
    def probe(self):
        return self.action()

    @quarrined(track_runtime_dependencies=True)
    def doubled(self):
        price = self.price()
        self.action()
        return self.ran("doubled", price * 2)


REENTRANT_CASES = [
    pytest.param(lambda o: o.get_cached_value("price"), 5, None, id="get_cached_value"),
    pytest.param(lambda o: o.get_cached_values(), {"price": 5}, None, id="get_cached_values"),
    pytest.param(lambda o: o.get_dependency_graph(), {"price": set(), "probe": set()}, None,
                 id="get_dependency_graph"),
    pytest.param(lambda o: o.get_validation_state(), {"price": "valid", "probe": "invalid"}, None,
                 id="get_validation_state"),
    pytest.param(lambda o: o.dump_cache(), {"price": 5}, None, id="dump_cache"),
    pytest.param(lambda o: o.update_cached_value("price", 9), None, (9, 1), id="update_cached_value"),
    pytest.param(lambda o: o.load_cache({"price": 7}), None, (7, 1), id="load_cache"),
    pytest.param(lambda o: o.clear_cache(), None, (5, 2), id="clear_cache"),
]


@pytest.mark.parametrize("action, returned, price_after", REENTRANT_CASES)
def test_every_cache_method_works_while_a_cached_method_runs(action, returned, price_after):
    obj = Reentrant()
    obj.price()
    obj.action = lambda: action(obj)
    assert obj.probe() == returned
    if price_after is not None:
        assert (obj.price(), obj.runs["price"]) == price_after


@pytest.mark.parametrize(
    "change, recomputed",
    [(lambda o: o.update_cached_value("price", 9), 18), (lambda o: o.clear_cache(), 10)],
    ids=["update_cached_value", "clear_cache"],
)
def test_a_change_that_lands_while_a_dependant_computes_leaves_it_unstored(change, recomputed):
    obj = Reentrant()
    obj.action = lambda: change(obj)
    assert obj.doubled() == 10
    assert obj.get_cached_value("doubled") is None
    obj.action = lambda: None
    assert obj.doubled() == obj.doubled() == recomputed
    assert obj.runs["doubled"] == 2


def test_two_instances_share_nothing():
    a, b = Shop(), Shop(unit=6)
    assert a.tracked() == 50
    assert b.get_cached_values() == {} and b.get_validation_state() == {}
    assert b.tracked() == 60
    a.update_cached_value("price", 1)
    assert (a.tracked(), b.tracked()) == (10, 60)
    assert b.runs == Counter(price=1, tracked=1)


class Holder:
    def __init__(self, obj):
        self.obj = obj


class Cyclic(QuarrineBase):
    @quarrined()
    def me(self):
        return self

    @quarrined()
    def boxed(self):
        return Holder(self)

    @quarrined()
    def keyed(self, holder):
        return 1


class TestCollection:
    @pytest.mark.parametrize(
        "make_cycle",
        [lambda o: o.me(), lambda o: o.boxed(), lambda o: o.keyed(Holder(o))],
        ids=["returns self", "result refers to the instance", "argument refers to the instance"],
    )
    def test_instance_in_a_cycle_through_its_store_is_collected(self, make_cycle):
        obj = Cyclic()
        make_cycle(obj)
        assert len(obj.get_cached_values()) == 1
        ref = weakref.ref(obj)
        del obj
        gc.collect()
        assert ref() is None

    def test_class_whose_cached_method_uses_super_is_collected(self):
        def define():
            class Base(QuarrineBase):
                def value(self):
                    return 1

            class Child(Base):
                @quarrined()
                def value(self):
                    return super().value() + 1

            child = Child()
            assert child.value() == 2
            return weakref.ref(Child), weakref.ref(child)

        class_ref, instance_ref = define()
        gc.collect()
        assert class_ref() is None and instance_ref() is None


class Worker(Counted):
    def __init__(self):
        super().__init__()
        self.entered, self.release = threading.Event(), threading.Event()

    @quarrined()
    def a_input(self):
        return 1

    @quarrined()
    def a_later(self):
        return 2

    @quarrined()
    def b_input(self):
        return 3

    @quarrined(track_runtime_dependencies=True)
    def b_work(self):
        return self.b_input() + 1

    @quarrined(track_runtime_dependencies=True)
    def slow(self):
        self.runs["slow"] += 1
        first = self.a_input()
        self.entered.set()
        if not self.release.wait(timeout=60):
            raise RuntimeError("never released")
        return first + self.a_later()


def test_runtime_dependencies_are_recorded_per_thread():
    worker, results = Worker(), {}
    thread_a = threading.Thread(target=lambda: results.setdefault("a", worker.slow()))
    thread_a.start()
    try:
        assert worker.entered.wait(timeout=60)
        assert worker.b_work() == 4  # thread B, while A is blocked inside slow()
        assert worker.b_input() == 3
    finally:
        worker.release.set()
        thread_a.join(timeout=60)
    assert not thread_a.is_alive() and results == {"a": 3}
    assert worker.get_dependency_graph() == {
        "a_input": {"slow"}, "a_later": {"slow"}, "slow": set(),
        "b_input": {"b_work"}, "b_work": set(),
    }
    worker.update_cached_value("b_input", 30)
    assert worker.slow() == 3 and worker.runs["slow"] == 1
    worker.update_cached_value("a_input", 10)
    assert worker.slow() == 12 and worker.runs["slow"] == 2


def tile_area(width):
    return width * 2


class Tiles(QuarrineBase):
    @staticmethod
    @quarrined()
    def area(width):
        return width * 2

    @classmethod
    @quarrined()
    def make(cls, width):
        return cls()


class Mixin:
    @quarrined()
    def area(self):
        return 1


class PlainTiles(Mixin):
    pass


class MixedTiles(Mixin, QuarrineBase):
    pass


MUST_INHERIT = "the decorated method's class must inherit from QuarrineBase"
NEEDS_INSTANCE = "must be called on an instance of a QuarrineBase subclass"
LIKELY_CAUSE = "wrapped around the cached method is the likely cause"
STACKS = {
    "quarrined over staticmethod": (
        lambda: quarrined()(staticmethod(tile_area)), TypeError,
        "cannot cache 'tile_area': a per-instance cache needs an instance method, not a staticmethod", None),
    "quarrined over classmethod": (
        lambda: quarrined()(classmethod(tile_area)), TypeError,
        "cannot cache 'tile_area': a per-instance cache needs an instance method, not a classmethod", None),
    "staticmethod over quarrined": (
        lambda: Tiles().area(3), TypeError, MUST_INHERIT,
        [f"Tiles.area was called with an object of type 'int' first; 'area' {NEEDS_INSTANCE}; a staticmethod {LIKELY_CAUSE}"]),
    "staticmethod over quarrined, no argument": (
        lambda: Tiles().area(), ValueError, "quarrined can only be used as an instance method decorator",
        [f"'area' {NEEDS_INSTANCE}; a staticmethod {LIKELY_CAUSE}"]),
    "staticmethod over quarrined, given an instance": (
        lambda: Tiles.area(Tiles(), 3), TypeError, "too many positional arguments",
        ["Tiles.area fits its arguments without the 'Tiles' instance given first: a cached method needs a first "
         f"parameter for the instance; a staticmethod {LIKELY_CAUSE}"]),
    "classmethod over quarrined": (
        lambda: Tiles.make(3), TypeError, MUST_INHERIT,
        [f"Tiles.make was called with the class 'Tiles' first; 'make' {NEEDS_INSTANCE}; a classmethod {LIKELY_CAUSE}"]),
    "a mixin's cached method on a class without QuarrineBase": (
        lambda: PlainTiles().area(), TypeError, MUST_INHERIT,
        ["Mixin.area was called with an object of type 'PlainTiles' first; 'PlainTiles' holds the cached "
         "method but does not inherit from QuarrineBase"]),
}


class TestMistakesSayWhatWentWrong:
    """Common mistakes keep their exception and message and gain a note."""

    @pytest.mark.parametrize("name", ["quarrined", "automagically_quarrined"])
    def test_a_factory_used_without_parentheses(self, name):
        import quarrine

        factory = getattr(quarrine, name)
        with pytest.raises(TypeError, match="'function' object is not an instance of 'bool'") as raised:
            factory(lambda self: 1)
        assert f"write @{name}() with parentheses" in raised.value.__notes__[-1]

    @pytest.mark.parametrize("call, note", [
        (lambda o: o.line([1]), "while hashing argument 'items' of Order.line()"),
        (lambda o: o.line(items={}, count=2), "while hashing argument 'items' of Order.line()"),
        (lambda o: o.line(o), "while hashing argument 'items' of Order.line()"),
        (lambda o: o.area(3), "while hashing argument 'this' of Order.area(): the instance is part of the "
                              "call key because the first parameter is not named 'self'"),
    ], ids=["list", "dict by keyword", "the instance as an argument", "the instance as this"])
    def test_an_unhashable_argument_names_the_parameter_and_the_method(self, call, note):
        class Order(QuarrineBase):
            __hash__ = None

            @quarrined()
            def line(self, items, count=1):
                return count

            @quarrined()
            def area(this, width):
                return width

        with pytest.raises(TypeError, match="unhashable type") as raised:
            call(Order())
        assert raised.value.__notes__ == [note]

    @pytest.mark.parametrize("make, error, message, note", STACKS.values(), ids=STACKS)
    def test_a_stack_that_cannot_work_says_why(self, make, error, message, note):
        with pytest.raises(error) as raised:
            make()
        assert (str(raised.value), getattr(raised.value, "__notes__", None)) == (message, note)
        assert MixedTiles().area() == 1
