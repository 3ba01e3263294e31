"""Reference leaks: every public operation, repeated, leaves the interpreter's
total reference count where it was.

Each operation (hits and misses, every error path of the call protocol, of
every QuarrineBase method and of both factories, the reports, dump and load,
the life of instances and classes, collection of cycles) is warmed up, then
repeated REPEATS times between two readings of sys.gettotalrefcount(). A
reference lost on some path grows the count by at least REPEATS; a small
constant slack absorbs the interpreter's own caches. Only a debug
interpreter counts references, so the file is skipped elsewhere.
"""

import asyncio
import copy
import gc
import inspect
import pickle
import sys

import pytest

from quarrine import QuarrineBase, automagically_quarrined, quarrined

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="reference counts need a debug interpreter"
)

WARMUP, REPEATS, SLACK = 5, 50, 10


class DictShop(dict, QuarrineBase):  # keeps its store in its dict
    @quarrined()
    def price(self):
        return 5


class Shop(QuarrineBase):
    @quarrined()
    def price(self):
        return 5

    @automagically_quarrined()
    def total(self):
        return self.price() * 2

    @quarrined(dependencies=["price", ("area", {"width": 3, "height": 2})])
    def declared(self):
        return self.price() + self.area(3)

    @quarrined()
    def area(self, width, height=2):
        return width * height

    @quarrined()
    def fails(self):
        raise ValueError("refused")

    @quarrined()
    def spread(self, **extra):
        return 0

    @quarrined(use_cache=False)
    def uncached(self):
        return object()

    @quarrined(track_runtime_dependencies=True)
    def changed_while_running(self):
        price = self.price()
        self.update_cached_value("price", 5)
        return price

    @quarrined()
    def haunted(self):
        return Haunt(self)

    @quarrined()
    def me(self):
        return self

    @quarrined()
    def keyed(self, arg):
        return 1

    @quarrined(serialisable=True)
    def saved(self):
        return ["saved"]

    @automagically_quarrined(serialisable=True)
    def also_saved(self):
        return self.price() + 1

    def plain(self):
        return 1


class Haunt:
    """A result whose finaliser re-enters the instance that stored it."""

    def __init__(self, obj):
        self.obj = obj

    def __del__(self):
        self.obj.get_cached_values(), self.obj.update_cached_value("price", 5)


class Reenters:
    """An argument whose __hash__ and __eq__ call back into an instance; equal to
    the Reenters of its tag."""

    def __init__(self, action, tag=None):
        self.action, self.tag = action, tag

    def __hash__(self):
        self.action()
        return 1

    def __eq__(self, other):
        self.action()
        return self is other or (self.tag is not None and self.tag == getattr(other, "tag", None))


def reshaped(self):
    return 1


class Fragile(QuarrineBase):
    reshaped = quarrined(serialisable=True)(reshaped)

    @quarrined(serialisable=True)
    def explodes(self):
        raise KeyError("explodes")


# After decoration the function claims a second parameter: the load's self-only check refuses it.
reshaped.__signature__ = inspect.signature(lambda self, extra: None)


class Unparsable:
    # The string's last line sits at column 0: dedent removes nothing and the
    # line below the decorator stays indented, so the source does not parse.
    @(lambda func: func)
    def banner(self):
        return """
no indentation"""


namespace = {}
exec("def hidden(self):\n    return self.price()\n", namespace)
HIDDEN, NAMELESS, BADLY_NAMED = namespace["hidden"], object(), type("Named", (), {"__name__": 5})()


def good(self):
    return self.price() + self.area(3)


def per_year(self, year):
    return year


def define_class():
    class Base(QuarrineBase):
        def value(self):
            return 1

    class Child(Base):
        @quarrined()
        def value(self):
            return super().value() + 1

        @automagically_quarrined()
        def twice(self):
            return self.value() * 2

    assert Child().twice() == 4


def reenter_while_held(obj):
    """A cached call whose argument meets a stored one (equal hashes): their __eq__ runs with
    the store let go, and its clear_cache is done."""
    if not hasattr(obj, "primed"):
        obj.primed = Reenters(lambda: obj.clear_cache(), tag=1)
        obj.keyed(obj.primed)
    obj.keyed(Reenters(lambda: obj.clear_cache(), tag=1))


def refused(error, call):
    """An operation that must raise `error`, so that the error path is the one repeated."""

    def run(obj):
        try:
            call(obj)
        except error:
            return
        raise AssertionError(f"did not raise {error.__name__}")

    return run


class Fetcher(QuarrineBase):
    @quarrined()
    async def fetch(self, n):
        await asyncio.sleep(0)
        if n < 0:
            raise LookupError(n)
        return [n]

    @quarrined(track_runtime_dependencies=True)
    async def both(self):
        return await asyncio.gather(self.fetch(1), self.fetch(2))


FETCHER = Fetcher()


def run_async(body):
    """A cached async call, on a loop of its own each time, on one long-lived instance."""

    def run(obj):
        asyncio.run(body(FETCHER))

    return run


async def cancel_every_waiter(fetcher):
    waiters = [asyncio.ensure_future(fetcher.fetch(-2)) for _ in range(2)]
    await asyncio.sleep(0)
    for waiter in waiters:
        waiter.cancel()
    await asyncio.gather(*waiters, return_exceptions=True)


async def fail(fetcher):
    await asyncio.gather(fetcher.fetch(-1), fetcher.fetch(-1), return_exceptions=True)


async def recompute(fetcher):
    fetcher.clear_cache()
    await fetcher.both()


class Overriding(Shop):
    """area overrides Shop.area and calls it through super(), which runs plainly."""

    @quarrined()
    def area(self, width, height=2):
        return super().area(width, height) + 1


OPERATIONS = {
    "async hit": run_async(lambda f: f.fetch(1)),
    "async computation sharing runs": run_async(recompute),
    "async failure reaching two waiters": run_async(fail),
    "async run cancelled by its waiters": run_async(cancel_every_waiter),
    "hit": lambda o: o.area(3),
    "override calling super()": lambda o: (lambda c: (c.area(3), c.area(3), Shop.area(c, 3)))(Overriding()),
    "copy, deepcopy and pickle": lambda o: (copy.copy(o), copy.deepcopy(o), pickle.loads(pickle.dumps(o))),
    "abstract flag": lambda o: Shop.__dict__["area"].__isabstractmethod__,
    "hit by keyword": lambda o: o.area(height=2, width=3),
    "miss after clear_cache": lambda o: (o.clear_cache(), o.area(3), o.total(), o.declared()),
    "miss after update": lambda o: (o.update_cached_value("price", 5), o.total(), o.declared()),
    "miss on a fresh instance": lambda o: Shop().declared(),
    "uncached method": lambda o: o.uncached(),
    "change lands while a dependant computes": lambda o: o.changed_while_running(),
    "raising method": refused(ValueError, lambda o: o.fails()),
    "missing argument": refused(TypeError, lambda o: o.area()),
    "unknown keyword argument": refused(TypeError, lambda o: o.area(3, depth=1)),
    "unhashable argument": refused(TypeError, lambda o: o.area([3])),
    "var-keyword parameter": refused(TypeError, lambda o: o.spread(x=1)),
    "argument re-entering while its key is compared": reenter_while_held,
    "call through the class without an instance": refused(ValueError, lambda o: Shop.price()),
    "call through the class with a non-instance": refused(TypeError, lambda o: Shop.price(42)),
    "assign through an instance": refused(TypeError, lambda o: setattr(o, "price", 1)),
    "delete through an instance": refused(NotImplementedError, lambda o: delattr(o, "price")),
    "construct the decorator type": refused(TypeError, lambda o: type(Shop.__dict__["price"])()),
    "get_cached_value hit": lambda o: o.get_cached_value("area", width=3, height=2),
    "get_cached_value miss": lambda o: o.get_cached_value("area", width=4),
    "get_cached_value unhashable keyword": lambda o: o.get_cached_value("area", width=[1]),
    "get_cached_value refused inside __hash__": lambda o: o.get_cached_value(
        "area", width=Reenters(lambda: o.update_cached_value("price", 5))),
    "get_cached_value missing name": refused(TypeError, lambda o: o.get_cached_value()),
    "get_cached_value name not a str": refused(TypeError, lambda o: o.get_cached_value(1)),
    "get_cached_value surplus positional": refused(TypeError, lambda o: o.get_cached_value("a", "b")),
    "update_cached_value": lambda o: o.update_cached_value("area", 7, width=3, height=2),
    "update_cached_value never seen": lambda o: o.update_cached_value("area", 7, width=99),
    "update_cached_value unhashable keyword": refused(
        TypeError, lambda o: o.update_cached_value("area", 1, width=[1])),
    "update_cached_value re-entered from __hash__": lambda o: o.update_cached_value(
        "area", 1, width=Reenters(lambda: o.get_cached_value("price"), tag=1)),
    "update_cached_value of a name no cached method has": refused(
        AttributeError, lambda o: o.update_cached_value("aera", 1)),
    "update_cached_value missing value": refused(TypeError, lambda o: o.update_cached_value("a")),
    "update_cached_value value twice": refused(TypeError, lambda o: o.update_cached_value("a", 1, value=2)),
    "update_cached_value name not a str": refused(TypeError, lambda o: o.update_cached_value(b"a", 1)),
    "result whose finaliser re-enters, released": lambda o: (o.haunted(), o.clear_cache()),
    "clear_cache": lambda o: o.clear_cache(),
    "clear_cache with an argument": refused(TypeError, lambda o: o.clear_cache(1)),
    "get_cached_values": lambda o: o.get_cached_values(),
    "get_cached_values with an argument": refused(TypeError, lambda o: o.get_cached_values(1)),
    "unbound method on a non-instance": refused(TypeError, lambda o: QuarrineBase.clear_cache(42)),
    "get_dependency_graph": lambda o: o.get_dependency_graph(),
    "get_dependency_graph with an argument": refused(TypeError, lambda o: o.get_dependency_graph(x=1)),
    "get_validation_state": lambda o: o.get_validation_state(),
    "get_validation_state with an argument": refused(TypeError, lambda o: o.get_validation_state(1)),
    "dump_cache": lambda o: o.dump_cache(),
    "dump_cache with order": lambda o: o.dump_cache(["also_saved", "nothing", "also_saved"]),
    "dump_cache of a fresh instance": lambda o: Shop().dump_cache(),
    "dump_cache order is a str": refused(TypeError, lambda o: o.dump_cache(order="saved")),
    "dump_cache order not a sequence": refused(TypeError, lambda o: o.dump_cache(5)),
    "dump_cache order element not a str": refused(TypeError, lambda o: o.dump_cache(["saved", 1])),
    "dump_cache surplus positional": refused(TypeError, lambda o: o.dump_cache(None, None)),
    "dump_cache unknown keyword": refused(TypeError, lambda o: o.dump_cache(bogus=1)),
    "dump_cache raising method": refused(KeyError, lambda o: Fragile().dump_cache(["explodes"])),
    "load_cache": lambda o: o.load_cache({"saved": ["loaded"], "also_saved": 2}, order=("saved",)),
    "load_cache into a fresh instance": lambda o: Shop().load_cache(o.dump_cache()),
    "load_cache missing data": refused(TypeError, lambda o: o.load_cache()),
    "load_cache data not a dict": refused(TypeError, lambda o: o.load_cache([("saved", 1)])),
    "load_cache order is a str": refused(TypeError, lambda o: o.load_cache({}, "saved")),
    "load_cache order element not a str": refused(TypeError, lambda o: o.load_cache({}, [None])),
    "load_cache key not a str": refused(TypeError, lambda o: o.load_cache({"saved": 1, 2: 3})),
    "load_cache missing attribute": refused(AttributeError, lambda o: o.load_cache({"nothing": 1})),
    "load_cache not decorated": refused(ValueError, lambda o: o.load_cache({"plain": 1})),
    "load_cache not serialisable": refused(ValueError, lambda o: o.load_cache({"price": 1})),
    "load_cache failed self-only check": refused(ValueError, lambda o: Fragile().load_cache({"reshaped": 1})),
    "load_cache raising method": refused(KeyError, lambda o: Fragile().load_cache({"explodes": 1})),
    "empty instance": lambda o: Shop(),
    "instance whose store is in its dict": lambda o: DictShop().price(),
    "populated instance destroyed": lambda o: [Shop().declared(), Shop().dump_cache()],
    "class with cached methods and super()": lambda o: define_class(),
    "cycle through a result": lambda o: Shop().me(),
    "cycle through a call key": lambda o: (lambda shop: shop.keyed(shop))(Shop()),
    "automagically_quarrined: unreadable source": refused(
        OSError, lambda o: automagically_quarrined()(HIDDEN)),
    "automagically_quarrined: unparsable source": refused(
        ValueError, lambda o: automagically_quarrined()(Unparsable.banner)),
    "automagically_quarrined: a given list reads no source": lambda o: automagically_quarrined(
        dependencies=["price"])(HIDDEN),
}
for F in (quarrined, automagically_quarrined):
    OPERATIONS.update({f"{F.__name__}: {name}": operation for name, operation in {
        "construction": lambda o, F=F: F(True, ["price", ("area", {"width": 3})], True, False),
        "decoration": lambda o, F=F: F()(good),
        "decoration with dependencies": lambda o, F=F: F(dependencies=[("area", {"width": 1})])(good),
        "serialisable decoration": lambda o, F=F: F(serialisable=True)(Shop.plain),
        "bad flag": refused(TypeError, lambda o, F=F: F(use_cache=1)),
        "bad positional flag": refused(TypeError, lambda o, F=F: F(True, None, 0)),
        "dependencies not a list": refused(TypeError, lambda o, F=F: F(dependencies=("a",))),
        "dependency of a bad shape": refused(ValueError, lambda o, F=F: F(dependencies=["a", 42])),
        "dependency name not a str": refused(TypeError, lambda o, F=F: F(dependencies=[(42, {})])),
        "dependency keywords not a dict": refused(TypeError, lambda o, F=F: F(dependencies=[("a", [])])),
        "unknown keyword": refused(TypeError, lambda o, F=F: F(bogus=1)),
        "surplus positional": refused(TypeError, lambda o, F=F: F(True, None, True, True, 5)),
        "func missing": refused(TypeError, lambda o, F=F: F()()),
        "func twice": refused(TypeError, lambda o, F=F: F()(good, func=good)),
        "missing __name__": refused(AttributeError, lambda o, F=F: F()(NAMELESS)),
        "__name__ not a str": refused(TypeError, lambda o, F=F: F()(BADLY_NAMED)),
        "unhashable dependency keyword": refused(
            TypeError, lambda o, F=F: F(dependencies=[("a", {"x": []})])(good)),
        "failed self-only check": refused(ValueError, lambda o, F=F: F(serialisable=True)(per_year)),
    }.items()})


@pytest.fixture(autouse=True)
def frozen_heap():
    """What was made before the test is moved out of the collector's sight
    (gc.freeze), so that the collections of a measurement look at what the
    operations made, not at the whole of pytest's heap: those full
    collections took most of a debug interpreter's second per test. A cycle
    that reaches a frozen object stays uncollected and counts as growth."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def growth(operation, obj):
    """How much the total reference count grows over REPEATS runs of a warmed-up operation."""
    for _ in range(WARMUP):
        operation(obj)
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(REPEATS):
        operation(obj)
    gc.collect()
    return sys.gettotalrefcount() - before


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_repeating_an_operation_leaks_no_reference(operation):
    obj = Shop()
    obj.total(), obj.declared(), obj.area(3), obj.dump_cache()
    # A leak grows the count at every measurement, while the interpreter's
    # caches settle: the least growth of three measurements is the one to judge.
    growths = [growth(operation, obj) for _ in range(3)]
    assert min(growths) <= SLACK, f"grew by {growths} over {REPEATS} repetitions"


def test_one_reference_kept_per_repetition_is_caught():
    kept = []
    assert growth(lambda obj: kept.append(object()), None) >= REPEATS
