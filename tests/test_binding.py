"""Binding a call to its method's parameters: for every shape of signature the
call key is what `inspect.signature(f).bind(...)` with the defaults applied
gives (sorted by name, `self` left out), and a call that does not fit fails
with `inspect`'s own message. Where `inspect` itself answers differently from
one interpreter version to the next (a positional-only parameter named by
keyword), the test holds the call to what is true on every version. Changes to a
function's defaults, code or signature after decoration are seen by the next
call."""

import functools
import inspect
import types

import pytest
from hypothesis import event, given, settings, strategies as st

from quarrine import QuarrineBase, quarrined

NAMES = ["self", "this", "a", "b", "B", "a1", "ñ", "z"]  # "B" < "a" < "z" < "ñ" in byte order
HASHABLE = st.one_of(st.integers(-3, 3), st.text("xy", max_size=2), st.none(), st.tuples(st.integers(0, 2)))
VALUES = st.integers(0, 9).flatmap(lambda i: st.just([i]) if i == 0 else HASHABLE)  # now and then a list
DEFAULTS = ["0", "'d'", "None", "(1, 2)", "-1", "0.0", "[]"]
ANNOTATIONS = ["", ": int", ": 'Any'", ": list[int]"]


@st.composite
def signatures_and_calls(draw):
    """The source of a `def f(...)` drawn kind by kind, and a call of it as a method
    (the instance fills the first positional slot): mostly one that fits, then
    perhaps spoilt by an extra positional, an extra keyword or a dropped keyword."""
    names = iter(draw(st.permutations(NAMES)))
    positional = [next(names) for _ in range(draw(st.integers(0, 4)))]
    positional_only = draw(st.integers(0, len(positional)))
    first_default = draw(st.integers(0, len(positional)))
    var_positional = next(names) if draw(st.booleans()) else None
    keyword_only = [(next(names), draw(st.booleans())) for _ in range(draw(st.integers(0, 2)))]
    var_keyword = next(names) if draw(st.integers(0, 4)) == 0 else None

    def param(name, default):
        annotation = draw(st.sampled_from(ANNOTATIONS))
        if not default:
            return name + annotation
        return f"{name}{annotation}{' = ' if annotation else '='}{draw(st.sampled_from(DEFAULTS))}"

    params = [param(n, i >= first_default) for i, n in enumerate(positional)]
    if positional_only:
        params.insert(positional_only, "/")
    if var_positional:
        params.append("*" + var_positional + draw(st.sampled_from(ANNOTATIONS)))
    elif keyword_only:
        params.append("*")
    params += [param(n, default) for n, default in keyword_only]
    if var_keyword:
        params.append("**" + var_keyword)
    returns = draw(st.sampled_from(["", " -> object"]))
    source = f"def f({', '.join(params)}){returns}:\n    return sorted(locals().items())\n"

    slots = [(n, i < positional_only, i >= first_default) for i, n in enumerate(positional)][1:]
    by_position = draw(st.integers(0, len(slots)))
    args = [draw(VALUES) for _ in range(by_position)]
    if var_positional and by_position == len(slots):
        args += draw(st.lists(VALUES, max_size=2))
    kwargs = {n: draw(VALUES) for n, only, default in slots[by_position:]
              if not only and (not default or draw(st.booleans()))}
    kwargs.update((n, draw(VALUES)) for n, default in keyword_only if not default or draw(st.booleans()))
    spoil = draw(st.sampled_from([None, None, None, "positional", "keyword", "drop"]))
    if spoil == "positional":
        args.append(draw(VALUES))
    elif spoil == "keyword":
        kwargs[draw(st.sampled_from(NAMES))] = draw(VALUES)
    elif spoil == "drop" and kwargs:
        del kwargs[draw(st.sampled_from(sorted(kwargs)))]
    return source, args, kwargs


def make_class(func):
    return type("Bound", (QuarrineBase,), {func.__name__: quarrined()(func)})


def expected_key(func, name, obj, args, kwargs):
    """The call key of obj.<name>(*args, **kwargs) worked out with inspect (raises as bind does)."""
    bound = inspect.signature(func).bind(obj, *args, **kwargs)
    bound.apply_defaults()
    return (name, tuple(sorted((n, v) for n, v in bound.arguments.items() if n != "self"))), bound


def names_positional_only_by_keyword(func, args, kwargs):
    """Whether the call names, as a keyword, a positional-only parameter that its
    positional arguments leave unfilled, and gets past the checks of the positional
    arguments (too many, or one given twice), which every version makes alike.
    `inspect` answers such a call differently from version to version: 3.11 and
    3.12 refuse it, 3.13.0 binds the keyword into `**kwargs` or even accepts it
    for the parameter itself, where the function then refuses it."""
    params = list(inspect.signature(func).parameters.values())
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    filled = 1 + len(args)  # the instance, then the positional arguments
    if filled > len(positional) or any(
            p.kind is p.POSITIONAL_OR_KEYWORD and p.name in kwargs for p in positional[:filled]):
        return False
    return any(p.kind is p.POSITIONAL_ONLY and p.name in kwargs for p in positional[filled:])


def report_key(key):
    return key[0] if key[1] == () else key


@settings(max_examples=1200, deadline=None)
@given(case=st.one_of(signatures_and_calls(), st.tuples(
    signatures_and_calls().map(lambda case: case[0]), st.lists(VALUES, max_size=5),
    st.dictionaries(st.sampled_from(NAMES), VALUES, max_size=3))))
def test_the_call_key_is_inspects_binding(case):
    source, args, kwargs = case
    namespace = {}
    exec(source, namespace)  # quarrined reads no source, so an exec'd function serves
    func = namespace["f"]
    obj = make_class(func)()
    if names_positional_only_by_keyword(func, args, kwargs):
        # On every version the call fails (where the interpreter would accept it,
        # the keyword lands in **kwargs, a dict, which cannot be hashed) and
        # stores nothing; where this version's inspect refuses it, with its message.
        event("positional-only by keyword")
        with pytest.raises(TypeError) as raised:
            obj.f(*args, **kwargs)
        assert obj.get_cached_values() == {}
        try:
            expected_key(func, "f", obj, args, kwargs)
        except TypeError as error:
            assert str(raised.value) == str(error)
        return
    try:
        key, bound = expected_key(func, "f", obj, args, kwargs)
        hash(key)
    except TypeError as error:  # does not fit, or a value (a list, the **kwargs dict) cannot be hashed
        event("unhashable" if str(error).startswith("unhashable") else "does not fit")
        with pytest.raises(TypeError) as raised:
            obj.f(*args, **kwargs)
        assert str(raised.value) == str(error)
        assert obj.get_validation_state() == {}
        return
    event("fits")
    result = obj.f(*args, **kwargs)
    assert result == sorted(bound.arguments.items())  # the function got the arguments as given
    assert list(obj.get_cached_values()) == [report_key(key)]
    assert obj.f(*bound.args[1:], **bound.kwargs) is result  # every default spelled out: the same call
    assert obj.get_cached_value("f", **dict(key[1])) is result


def area(self, width, height=2, *, depth=1):
    return [width, height, depth]  # a new list per run: `is` tells a hit from a run


class TestChangesAfterDecoration:
    """The test keeps the function it decorated and changes it between calls."""

    @pytest.fixture
    def func(self):  # a private copy of area
        func = types.FunctionType(area.__code__, area.__globals__, "area", area.__defaults__)
        func.__kwdefaults__ = {"depth": 1}
        return func

    def test_new_defaults_are_seen(self, func):
        obj = make_class(func)()
        first = obj.area(3)
        func.__defaults__ = (5,)
        assert obj.area(3) == [3, 5, 1]
        func.__kwdefaults__ = {"depth": 10}
        assert obj.area(3) == [3, 5, 10]
        func.__defaults__, func.__kwdefaults__ = (2,), {"depth": 1}
        assert obj.area(3) is first
        assert set(obj.get_cached_values()) == {
            ("area", (("depth", d), ("height", h), ("width", 3))) for d, h in [(1, 2), (1, 5), (10, 5)]}

    def test_new_defaults_are_seen_by_calls_by_position(self):
        def side(self, width, height=2):
            return [width, height]

        class Replacing:
            """A default whose hashing replaces the defaults, dropping the tuple that holds it."""

            def __hash__(self):
                side.__defaults__ = (2,)
                return 7

        obj = make_class(side)()
        first = obj.side(3)
        side.__defaults__ = (5,)
        assert obj.side(3) == [3, 5]
        side.__defaults__ = (Replacing(),)
        assert obj.side(3) == [3, 2]  # the function runs with the defaults of its call
        assert any(isinstance(dict(items)["height"], Replacing) for _, items in obj.get_cached_values())
        assert obj.side(3) is first
        side.__defaults__ = None
        with pytest.raises(TypeError, match="missing a required argument: 'height'"):
            obj.side(3)

    def test_new_code_is_seen(self, func):
        obj = make_class(func)()
        obj.area(3)
        func.__code__ = (lambda self, size, scale=7: [size, scale]).__code__
        func.__defaults__ = (7,)
        assert obj.area(3) == [3, 7]
        assert obj.area(size=3) is obj.area(3, 7)
        assert ("area", (("scale", 7), ("size", 3))) in obj.get_cached_values()
        with pytest.raises(TypeError) as expected:
            inspect.signature(func).bind(obj, width=3)
        with pytest.raises(TypeError) as raised:
            obj.area(width=3)
        assert str(raised.value) == str(expected.value)

    def test_a_signature_set_later_is_what_binds(self, func):
        obj = make_class(func)()
        obj.area(3)
        params = inspect.signature(func).parameters
        func.__signature__ = inspect.Signature(
            [params["self"], params["width"], params["height"].replace(default=100)])
        assert obj.area(3) == [3, 2, 1]  # the function itself still has its own defaults
        assert set(obj.get_cached_values()) == {
            ("area", (("depth", 1), ("height", 2), ("width", 3))), ("area", (("height", 100), ("width", 3)))}
        with pytest.raises(TypeError, match=r"^got an unexpected keyword argument 'depth'$"):
            obj.area(3, depth=2)
        del func.__signature__
        assert obj.area(3) == [3, 2, 1] and len(obj.get_cached_values()) == 2


class Scaler:
    """A callable object with a __name__; its first parameter is not self."""

    __name__ = "scale"

    def __call__(self, instance, factor, offset=4):
        return [factor, offset]


def named(partial, name):
    partial.__name__ = name
    return partial


@pytest.mark.parametrize("callable_, call, key", [
    (named(functools.partial(area, depth=3), "area"), lambda o: o.area(2),
     (("depth", 3), ("height", 2), ("width", 2))),
    (named(functools.partial(area, height=5), "area"), lambda o: o.area(width=2),
     (("depth", 1), ("height", 5), ("width", 2))),
    (Scaler(), lambda o: o.scale(2), "instance"),
], ids=["partial fixing a keyword-only", "partial fixing a default", "callable object"])
def test_other_callables_bind_through_inspect(callable_, call, key):
    name = callable_.__name__
    obj = make_class(callable_)()
    first = call(obj)
    if key == "instance":
        key = (("factor", 2), ("instance", obj), ("offset", 4))
    assert call(obj) is first
    assert list(obj.get_cached_values()) == [(name, key)]
    with pytest.raises(TypeError) as expected_error:
        inspect.signature(callable_).bind(obj, 1, 2, 3, 4)
    with pytest.raises(TypeError) as raised:
        getattr(obj, name)(1, 2, 3, 4)
    assert str(raised.value) == str(expected_error.value)


@pytest.mark.parametrize("count", [2, 3, 6, 7, 8, 9, 16, 17])
def test_every_spelling_of_a_wide_call_meets_one_entry(count):
    """Counts on both sides of each inline limit of the binder and of the key:
    items, kept keyword values and parameter slots move to the heap there."""
    names = [f"p{i:02d}" for i in range(count)]
    namespace = {}
    exec(f"def wide(self, {', '.join(f'{n}={i}' for i, n in enumerate(names))}):\n"
         "    return object()\n", namespace)
    Wide = type("Wide", (QuarrineBase,), {"wide": quarrined()(namespace["wide"])})
    obj = Wide()

    defaults = obj.wide()
    assert obj.wide(*range(count)) is defaults
    assert obj.wide(**{name: i for i, name in enumerate(names)}) is defaults
    assert obj.get_cached_value("wide", **{name: i for i, name in enumerate(names)}) is defaults

    # Equal values that are other objects: the stored key's values are compared.
    values = [("v", i) for i in range(count)]
    first = obj.wide(*values)
    assert first is not defaults
    assert obj.wide(values[0], **{name: ("v", i) for i, name in enumerate(names) if i}) is first
    assert obj.wide(*values[:-1], ("v", -1)) is not first
    assert obj.get_cached_values()[("wide", tuple(zip(names, values)))] is first
