"""A model-based test: random classes of cached methods over three inputs, with
dependencies declared, found in the source or recorded at run time and with
`use_cache` on or off, driven through random calls, input changes that the
cache is told about, dumps and loads. Whatever the sequence, every value the
cache serves equals an uncached evaluation, and the reports list exactly the
calls made."""

from collections import Counter

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from quarrine import QuarrineBase, automagically_quarrined, quarrined

# The method bodies live at module level, so that automagically_quarrined can
# read their source, and each test class decorates them its own way.

def b0(self):
    return self.ran("b0", self.x[0])


def b1(self):
    return self.ran("b1", self.x[1])


def b2(self, k=1):
    return self.ran("b2", self.x[2] * k)


def s(self):
    return self.ran("s", self.b0() + self.b1())


def t(self):
    return self.ran("t", self.s() * 2 + self.b1())


def u(self, k):
    return self.ran("u", self.t() - self.b2(k))


def w(self):
    return self.ran("w", self.u(2) + self.b0())


BODIES = {f.__name__: f for f in (b0, b1, b2, s, t, u, w)}
CALLEES = {  # what each body calls, as (method, k); k is None for a method without parameters
    "b0": lambda k: [], "b1": lambda k: [], "b2": lambda k: [],
    "s": lambda k: [("b0", None), ("b1", None)],
    "t": lambda k: [("s", None), ("b1", None)],
    "u": lambda k: [("t", None), ("b2", k)],
    "w": lambda k: [("u", 2), ("b0", None)],
}
DECLARED = {"s": ["b0", "b1"], "t": ["s", "b1"], "w": [("u", {"k": 2}), "b0"]}
# Each way of knowing the dependencies must see all of them: the source shows
# only calls without arguments, so u and w (which call b2(k) and u(2)) also record at run time.
WAYS = {"b0": ["declared", "source"], "b1": ["declared", "source"], "b2": ["declared", "source"],
        "s": ["declared", "source", "runtime", "both"], "t": ["declared", "source", "runtime", "both"],
        "u": ["runtime", "both"], "w": ["declared", "runtime", "both"]}
SELF_ONLY = ["b0", "b1", "s", "t", "w"]


def decorate(name, way, use_cache, serialisable):
    options = {"use_cache": use_cache, "serialisable": serialisable}
    factory = {
        "declared": lambda: quarrined(dependencies=DECLARED.get(name, []), **options),
        "source": lambda: automagically_quarrined(track_runtime_dependencies=False, **options),
        "runtime": lambda: quarrined(track_runtime_dependencies=True, **options),
        "both": lambda: automagically_quarrined(**options),
    }[way]()
    return factory(BODIES[name])


class Inputs:
    def __init__(self, x):
        self.x, self.runs = list(x), Counter()

    def ran(self, name, value):
        self.runs[name] += 1
        return value


Uncached = type("Uncached", (Inputs,), dict(BODIES))
SHAPES = st.fixed_dictionaries({
    name: st.tuples(st.sampled_from(ways), st.sampled_from([True, True, True, False]),
                    st.booleans() if name in SELF_ONLY else st.just(False))
    for name, ways in WAYS.items()
})
CALLS = st.one_of(st.sampled_from([(n, None) for n in SELF_ONLY]),
                  st.tuples(st.sampled_from(["b2", "u"]), st.integers(1, 3)))


def report_key(name, k):
    return name if k is None else (name, (("k", k),))


def call(obj, name, k, spelling="positional"):
    method = getattr(obj, name)
    if k is None:
        return method()
    if spelling == "keyword":
        return method(k=k)
    return method() if spelling == "default" and name == "b2" and k == 1 else method(k)


class CacheModel(RuleBasedStateMachine):
    @initialize(shape=SHAPES)
    def build(self, shape):
        self.shape = shape
        self.cls = type("Model", (QuarrineBase, Inputs),
                        {name: decorate(name, *options) for name, options in shape.items()})
        self.obj, self.called = self.cls([1, 2, 3]), set()

    def expected(self, name, k):
        return call(Uncached(self.obj.x), name, k)

    def closure(self, name, k):
        return {report_key(name, k)}.union(*(self.closure(*c) for c in CALLEES[name](k)))

    def cacheable(self, name, k):
        return self.shape[name][1] and all(self.cacheable(*c) for c in CALLEES[name](k))

    @rule(the_call=CALLS, spelling=st.sampled_from(["positional", "keyword", "default"]))
    def call_a_method(self, the_call, spelling):
        name, k = the_call
        assert call(self.obj, name, k, spelling) == self.expected(name, k)
        self.called |= self.closure(name, k)
        state = self.obj.get_validation_state()[report_key(name, k)]
        assert state == ("valid" if self.cacheable(name, k) else "permanently invalid")
        runs = Counter(self.obj.runs)
        assert call(self.obj, name, k) == self.expected(name, k)
        if self.cacheable(name, k):
            assert self.obj.runs == runs  # served: nothing ran
        else:
            assert self.obj.runs[name] == runs[name] + 1

    @rule(index=st.integers(0, 2), value=st.integers(-5, 5), tell=st.sampled_from(["update", "clear"]))
    def change_an_input_and_tell_the_cache(self, index, value, tell):
        self.obj.x[index] = value
        if tell == "clear":
            self.obj.clear_cache()
            assert "valid" not in self.obj.get_validation_state().values()
        elif index < 2:
            self.obj.update_cached_value(f"b{index}", value)
            self.called.add(f"b{index}")  # an update registers a call not made yet
        else:
            for k in (1, 2, 3):  # every call that reads the input, called or not
                self.obj.update_cached_value("b2", value * k, k=k)
                self.called.add(report_key("b2", k))

    @rule(name=st.sampled_from(["s", "t", "w"]))
    def update_a_derived_method_with_its_own_value(self, name):
        if name in self.called:  # (a value set before the first call is served as it stands)
            self.obj.update_cached_value(name, self.expected(name, None))

    @rule()
    def dump_and_load_into_a_second_instance(self):
        serialisable = [name for name in SELF_ONLY if self.shape[name][2]]
        data = self.obj.dump_cache()
        assert data == {name: self.expected(name, None) for name in serialisable}
        self.called = self.called.union(*(self.closure(name, None) for name in serialisable))
        assert set(self.obj.get_validation_state()) == self.called
        other = self.cls(self.obj.x)
        other.load_cache(data)
        self.obj, self.called = other, set().union(*(self.closure(name, None) for name in serialisable))

    @invariant()
    def every_served_value_is_fresh_and_the_reports_list_the_calls_made(self):
        states = self.obj.get_validation_state()
        assert set(states) == set(self.obj.get_dependency_graph()) == self.called
        for key, state in states.items():
            name, k = (key, None) if isinstance(key, str) else (key[0], key[1][0][1])
            served = self.obj.get_cached_value(name, **({} if k is None else {"k": k}))
            assert served == (self.expected(name, k) if state == "valid" else None)
            assert (state == "permanently invalid") == (not self.cacheable(name, k))


CacheModel.TestCase.settings = settings(max_examples=200, stateful_step_count=40, deadline=None)
TestCacheModel = CacheModel.TestCase
