"""The Python-visible surface of quarrine: module members, type names and
signatures, subclassing rules, the decorator's descriptor behaviour and the
argument errors of every method and factory."""

import importlib.metadata
import importlib.util
import inspect
import pickle
import pydoc
import types

import pytest

import quarrine
from quarrine import QuarrineBase, automagically_quarrined, quarrined
from scenarios.models import Point


class Counted(QuarrineBase):
    """A class with one cached method that counts how often its body runs."""

    def __init__(self):
        self.runs = 0

    @quarrined()
    def double(self, x=1):
        self.runs += 1
        return 2 * x


Decorator = type(Counted.__dict__["double"])

METHODS = {
    "get_cached_value": "($self, method_name, **kwargs)",
    "update_cached_value": "($self, method_name, value, **kwargs)",
    "clear_cache": "($self)",
    "get_cached_values": "($self)",
    "get_dependency_graph": "($self)",
    "get_validation_state": "($self)",
    "dump_cache": "($self, order=None)",
    "load_cache": "($self, data, order=None)",
}


def raised(excinfo):
    """The message and the notes of a caught exception."""
    return str(excinfo.value), getattr(excinfo.value, "__notes__", None)


# --- module -----------------------------------------------------------------


class TestModule:
    def test_all_lists_the_three_types_in_order(self):
        assert quarrine.__all__ == ["QuarrineBase", "quarrined", "automagically_quarrined"]

    def test_members_are_bound_after_all_in_the_same_order(self):
        names = [n for n in vars(quarrine) if not n.startswith("__")]
        assert names == ["QuarrineBase", "quarrined", "automagically_quarrined"]
        assert list(vars(quarrine)).index("__all__") < list(vars(quarrine)).index("QuarrineBase")
        assert quarrine.QuarrineBase is QuarrineBase

    def test_decorator_type_is_not_bound_in_the_module(self):
        assert not hasattr(quarrine, "QuarrineDecorator")
        assert Decorator not in vars(quarrine).values()

    def test_help_says_what_the_module_is_and_where_to_read_more(self):
        text = pydoc.render_doc(quarrine, renderer=pydoc.plaintext)
        assert "quarrine - Per-instance caching of method results, with a dependency graph." in text
        assert "More: the README" in text

    def test_version_is_that_of_the_installed_distribution(self):
        assert quarrine.__version__ == importlib.metadata.version("quarrine")

    def test_second_module_object_binds_the_same_types(self):
        found = importlib.util.spec_from_file_location("quarrine", quarrine.__file__)
        again = importlib.util.module_from_spec(found)
        found.loader.exec_module(again)
        assert again is not quarrine
        assert again.__all__ == quarrine.__all__
        for name in quarrine.__all__:
            assert getattr(again, name) is getattr(quarrine, name)


# --- the four types -----------------------------------------------------------

FACTORY_SIGNATURE = "(use_cache=True, dependencies=None, track_runtime_dependencies={}, serialisable=False)"


@pytest.mark.parametrize(
    "cls, name",
    [
        (QuarrineBase, "QuarrineBase"),
        (quarrined, "quarrined"),
        (automagically_quarrined, "automagically_quarrined"),
        (Decorator, "QuarrineDecorator"),
    ],
)
def test_type_names_module_and_repr(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    # A decorator's __doc__ is its function's: on the (immutable) type, that
    # attribute's descriptor stands where a docstring would.
    assert not cls.__doc__ or cls.__doc__ is cls.__dict__["__doc__"] is Decorator.__dict__["__doc__"]


@pytest.mark.parametrize(
    "cls, text_signature",
    [
        (QuarrineBase, "()"),
        (quarrined, FACTORY_SIGNATURE.format(False)),
        (automagically_quarrined, FACTORY_SIGNATURE.format(True)),
    ],
)
def test_type_docstring_is_empty_and_signature_is_published(cls, text_signature):
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == text_signature
    assert str(inspect.signature(cls)) == text_signature


@pytest.mark.parametrize("factory, tracks", [(quarrined, False), (automagically_quarrined, True)])
def test_factory_signature_parameters_and_defaults(factory, tracks):
    params = inspect.signature(factory).parameters
    assert list(params) == ["use_cache", "dependencies", "track_runtime_dependencies", "serialisable"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert [p.default for p in params.values()] == [True, None, tracks, False]


def test_method_table_order():
    # model_config tells pydantic, which merges a model's bases' configs,
    # that cached methods are no fields.
    defined = [n for n in vars(QuarrineBase) if not n.startswith("__") and n != "model_config"]
    assert defined == list(METHODS)


@pytest.mark.parametrize("name, text_signature", METHODS.items())
def test_method_docstring_and_signature(name, text_signature):
    method = getattr(QuarrineBase, name)
    assert not method.__doc__
    assert method.__text_signature__ == text_signature
    expected = text_signature.replace("$self", "self, /")
    assert str(inspect.signature(method)) == expected
    assert repr(method) == f"<method '{name}' of 'builtins.QuarrineBase' objects>"
    bound = inspect.signature(getattr(QuarrineBase(), name))
    assert "self" not in bound.parameters


def test_factories_and_decorators_are_objects_of_their_types():
    def f(self):
        pass

    assert type(quarrined()) is quarrined
    assert type(automagically_quarrined()) is automagically_quarrined
    assert type(quarrined()(f)) is type(automagically_quarrined(dependencies=[])(f)) is Decorator


# --- subclassing and construction ----------------------------------------------


class TestSubclassing:
    def test_quarrine_base_is_subclassable_at_any_depth(self):
        class Child(QuarrineBase):
            pass

        class GrandChild(Child):
            pass

        obj = GrandChild()
        assert isinstance(obj, QuarrineBase)
        assert obj.get_cached_values() == {}

    @pytest.mark.parametrize("final", [quarrined, automagically_quarrined, Decorator])
    def test_factories_and_decorator_type_are_final(self, final):
        with pytest.raises(TypeError) as excinfo:
            type("Sub", (final,), {})
        assert str(excinfo.value) == f"type 'builtins.{final.__name__}' is not an acceptable base type"

    def test_class_statement_on_a_factory_fails(self):
        with pytest.raises(TypeError, match="is not an acceptable base type"):

            class D(quarrined):
                pass

    @pytest.mark.parametrize("args, kwargs", [((), {}), ((1, "x", None), {}), ((), {"a": 1, "b": [2]})])
    def test_decorator_type_cannot_be_constructed(self, args, kwargs):
        with pytest.raises(TypeError) as excinfo:
            Decorator(*args, **kwargs)
        assert str(excinfo.value) == "cannot create 'builtins.QuarrineDecorator' instances"

    def test_quarrine_base_is_constructed_as_a_plain_class(self):
        # No constructor of its own: the arguments go to the class's __init__.
        class Child(QuarrineBase):
            def __init__(self, *args, **kwargs):
                self.args, self.kwargs = args, kwargs

        obj = Child(1, "two", key=4)
        assert (obj.args, obj.kwargs) == ((1, "two"), {"key": 4})
        assert obj.get_cached_values() == {} and obj.get_validation_state() == {}
        for cls in (QuarrineBase, type("Bare", (QuarrineBase,), {})):
            with pytest.raises(TypeError, match="takes no arguments"):
                cls(1)


# --- descriptor behaviour ---------------------------------------------------------


class TestDescriptor:
    def test_reading_through_the_class_gives_the_decorator(self):
        assert Counted.double is Counted.__dict__["double"]
        assert isinstance(Counted.double, Decorator)

    def test_reading_through_an_instance_gives_a_new_bound_method(self):
        obj = Counted()
        first, second = obj.double, obj.double
        assert type(first) is types.MethodType
        assert first is not second and first == second
        assert first.__func__ is Counted.__dict__["double"]
        assert first.__self__ is obj

    def test_calling_through_the_class_equals_calling_through_the_instance(self):
        obj = Counted()
        assert Counted.double(obj, 5) == 10
        assert obj.double(5) == 10
        assert obj.double(x=5) == 10
        assert obj.runs == 1

    def test_assignment_through_an_instance_is_refused(self):
        obj = Counted()
        obj.double(3)
        with pytest.raises(TypeError) as excinfo:
            obj.double = 5
        assert str(excinfo.value) == "cannot assign to decorated method"
        assert obj.double(3) == 6 and obj.runs == 1
        assert "double" not in vars(obj)

    def test_deletion_through_an_instance_is_refused(self):
        obj = Counted()
        with pytest.raises(NotImplementedError) as excinfo:
            del obj.double
        assert str(excinfo.value) == "can't delete descriptor"
        assert obj.double(4) == 8
        assert Counted.__dict__["double"] is Counted.double

    def test_an_instance_dict_entry_is_what_a_method_call_finds(self, run_isolated):
        # As for a plain method: `obj.area(3)` looks in the instance's dict
        # before it calls the method, while reading `obj.area` goes through
        # the decorator. Run as a plain script: pytest's assertion rewriting
        # turns `obj.area(3)` into a read and a call.
        run_isolated("""
from quarrine import QuarrineBase, quarrined

class Shape(QuarrineBase):
    @quarrined()
    def area(self, width):
        return width * 2

shape = Shape()
shape.__dict__["area"] = lambda width: "shadow"
called = shape.area(3)
read = shape.area
if (called, read(3), read.__self__ is shape) != ("shadow", 6, True):
    raise SystemExit(f"got {called!r}, {read(3)!r}")
""")

    def test_assigning_on_the_class_replaces_the_decorator(self):
        class Local(Counted):
            pass

        Local.double = staticmethod(lambda x=1: "plain")
        assert Local().double() == "plain"
        del Local.double
        assert Local().double(3) == 6

    def test_non_quarrine_base_instance_can_read_but_not_call(self):
        class Plain:
            double = Counted.__dict__["double"]

        bound = Plain().double
        assert type(bound) is types.MethodType
        for call in (bound, lambda: Counted.double(5)):
            with pytest.raises(TypeError) as excinfo:
                call()
            assert str(excinfo.value) == "the decorated method's class must inherit from QuarrineBase"

    @pytest.mark.parametrize("kwargs", [{}, {"x": 3}])
    def test_calling_through_the_class_without_an_instance(self, kwargs):
        with pytest.raises(ValueError) as excinfo:
            Counted.double(**kwargs)
        assert str(excinfo.value) == "quarrined can only be used as an instance method decorator"

    def test_alias_caches_under_the_function_name(self):
        class Aliased(QuarrineBase):
            def answer(self):
                return 42

            alias = quarrined()(answer)

        obj = Aliased()
        assert obj.alias() == 42
        assert obj.get_cached_values() == {"answer": 42}
        assert obj.get_cached_value("answer") == 42

    def test_the_decorator_presents_its_function_read_only(self):
        def area(self, width: int, height: int = 2, *, unit: str = "m") -> int:
            """Width times height."""

        decorator = quarrined()(area)
        area.__doc__, area.__defaults__ = "changed", (3,)
        presented = {
            # as they were at decoration
            "__name__": "area", "__qualname__": area.__qualname__, "__module__": __name__,
            "__doc__": "Width times height.", "__wrapped__": area,
            # as they are now
            "__code__": area.__code__, "__defaults__": (3,), "__kwdefaults__": {"unit": "m"},
            "__annotations__": {"width": int, "height": int, "unit": str, "return": int},
        }
        for name, value in presented.items():
            with pytest.raises(AttributeError):
                setattr(decorator, name, value)
            assert getattr(decorator, name) == value, name
        assert not hasattr(decorator, "__dict__")
        assert (Decorator.__name__, Decorator.__module__) == ("QuarrineDecorator", "builtins")

    def test_inspect_pydoc_and_pickle_see_the_function(self):
        class Shape(QuarrineBase):
            @quarrined()
            def area(self, width: int, height: int = 2) -> int:
                """Width times height."""
                return width * height

        shape = Shape()
        assert str(inspect.signature(shape.area)) == "(width: int, height: int = 2) -> int"
        assert str(inspect.signature(Shape.area)) == "(self, width: int, height: int = 2) -> int"
        assert repr(shape.area) == f"<bound method {Shape.__qualname__}.area of {shape!r}>"
        assert inspect.getdoc(Shape.area) == "Width times height."
        assert "area\n |      Width times height." in pydoc.render_doc(Shape, renderer=pydoc.plaintext)
        assert not inspect.iscoroutinefunction(Shape.area) and not inspect.iscoroutinefunction(shape.area)
        assert pickle.loads(pickle.dumps(Point(3, 4).scaled))(2) == (6, 8)


# --- argument errors ------------------------------------------------------------

ARGUMENT_ERRORS = [
    # get_cached_value
    (lambda o: o.get_cached_value(), "QuarrineBase.get_cached_value() missing 1 required positional argument: 'method_name'"),
    (lambda o: o.get_cached_value(x=1), "QuarrineBase.get_cached_value() missing 1 required positional argument: 'method_name'"),
    (lambda o: o.get_cached_value("a", "b"), "QuarrineBase.get_cached_value() takes 2 positional arguments but 3 were given"),
    (lambda o: o.get_cached_value("a", method_name="b"), "QuarrineBase.get_cached_value() got multiple values for argument 'method_name'"),
    # update_cached_value
    (lambda o: o.update_cached_value(), "QuarrineBase.update_cached_value() missing 2 required positional arguments: 'method_name' and 'value'"),
    (lambda o: o.update_cached_value("a"), "QuarrineBase.update_cached_value() missing 1 required positional argument: 'value'"),
    (lambda o: o.update_cached_value(value=1), "QuarrineBase.update_cached_value() missing 1 required positional argument: 'method_name'"),
    (lambda o: o.update_cached_value("a", 1, 2), "QuarrineBase.update_cached_value() takes 3 positional arguments but 4 were given"),
    (lambda o: o.update_cached_value("a", 1, value=2), "QuarrineBase.update_cached_value() got multiple values for argument 'value'"),
    (lambda o: o.update_cached_value("a", 1, method_name="b"), "QuarrineBase.update_cached_value() got multiple values for argument 'method_name'"),
    # the four methods without arguments
    (lambda o: o.clear_cache(1), "QuarrineBase.clear_cache() takes no arguments (1 given)"),
    (lambda o: o.get_cached_values(1), "QuarrineBase.get_cached_values() takes no arguments (1 given)"),
    (lambda o: o.get_dependency_graph(1), "QuarrineBase.get_dependency_graph() takes no arguments (1 given)"),
    (lambda o: o.get_validation_state(1, 2), "QuarrineBase.get_validation_state() takes no arguments (2 given)"),
    (lambda o: o.clear_cache(x=1), "QuarrineBase.clear_cache() takes no keyword arguments"),
    (lambda o: o.get_validation_state(x=1), "QuarrineBase.get_validation_state() takes no keyword arguments"),
    # dump_cache
    (lambda o: o.dump_cache(None, None), "QuarrineBase.dump_cache() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda o: o.dump_cache(None, order=None), "QuarrineBase.dump_cache() got multiple values for argument 'order'"),
    (lambda o: o.dump_cache(bad=1), "QuarrineBase.dump_cache() got an unexpected keyword argument 'bad'"),
    (lambda o: o.dump_cache(self=1), "QuarrineBase.dump_cache() got an unexpected keyword argument 'self'"),
    # load_cache
    (lambda o: o.load_cache(), "QuarrineBase.load_cache() missing 1 required positional argument: 'data'"),
    (lambda o: o.load_cache(order=None), "QuarrineBase.load_cache() missing 1 required positional argument: 'data'"),
    (lambda o: o.load_cache({}, None, None), "QuarrineBase.load_cache() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda o: o.load_cache({}, data={}), "QuarrineBase.load_cache() got multiple values for argument 'data'"),
    (lambda o: o.load_cache({}, bad=1), "QuarrineBase.load_cache() got an unexpected keyword argument 'bad'"),
]

FACTORY_ARGUMENT_ERRORS = [
    (lambda F: F(True, None, False, False, True), "{}.__new__() takes from 1 to 5 positional arguments but 6 were given"),
    (lambda F: F(bad=1), "{}.__new__() got an unexpected keyword argument 'bad'"),
    (lambda F: F(cls=1), "{}.__new__() got an unexpected keyword argument 'cls'"),
    (lambda F: F(True, use_cache=True), "{}.__new__() got multiple values for argument 'use_cache'"),
    (lambda F: F(True, None, False, track_runtime_dependencies=True), "{}.__new__() got multiple values for argument 'track_runtime_dependencies'"),
    (lambda F: F()(), "{}.__call__() missing 1 required positional argument: 'func'"),
    (lambda F: F()(len, len), "{}.__call__() takes 2 positional arguments but 3 were given"),
    (lambda F: F()(fun=len), "{}.__call__() got an unexpected keyword argument 'fun'"),
    (lambda F: F()(len, func=len), "{}.__call__() got multiple values for argument 'func'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_method_argument_errors(call, message):
    obj = Counted()
    obj.double()
    with pytest.raises(TypeError) as excinfo:
        call(obj)
    assert raised(excinfo) == (message, None)
    assert obj.get_cached_values() == {("double", (("x", 1),)): 2}


@pytest.mark.parametrize("factory", [quarrined, automagically_quarrined])
@pytest.mark.parametrize("call, message", FACTORY_ARGUMENT_ERRORS)
def test_factory_argument_errors(factory, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(factory)
    assert raised(excinfo) == (message.format(factory.__name__), None)


class Outer:
    class Inner:
        pass


WRONG_TYPES = [
    (lambda o: o.get_cached_value(1), "'int' object is not an instance of 'str'", "method_name"),
    (lambda o: o.get_cached_value(None), "'None' is not an instance of 'str'", "method_name"),
    (lambda o: o.get_cached_value(method_name=b"a"), "'bytes' object is not an instance of 'str'", "method_name"),
    (lambda o: o.update_cached_value(1.5, 0), "'float' object is not an instance of 'str'", "method_name"),
    (lambda o: o.dump_cache("double"), "'order' must be a sequence of method names, not a single str", "order"),
    (lambda o: o.dump_cache(5), "'int' object is not an instance of 'Sequence'", "order"),
    (lambda o: o.dump_cache(order=[1]), "'int' object is not an instance of 'str'", "order"),
    (lambda o: o.load_cache([]), "'list' object is not an instance of 'dict'", "data"),
    (lambda o: o.load_cache(None), "'None' is not an instance of 'dict'", "data"),
    (lambda o: o.load_cache(Outer.Inner()), "'Outer.Inner' object is not an instance of 'dict'", "data"),
    (lambda o: o.load_cache({}, "ab"), "'order' must be a sequence of method names, not a single str", "order"),
    (lambda o: o.load_cache({}, order=3), "'int' object is not an instance of 'Sequence'", "order"),
    (lambda o: o.load_cache({}, [None]), "'None' is not an instance of 'str'", "order"),
    (lambda o: quarrined(1), "'int' object is not an instance of 'bool'", "use_cache"),
    (lambda o: quarrined(track_runtime_dependencies=None), "'None' is not an instance of 'bool'", "track_runtime_dependencies"),
    (lambda o: automagically_quarrined(serialisable="yes"), "'str' object is not an instance of 'bool'", "serialisable"),
]


@pytest.mark.parametrize("call, message, param", WRONG_TYPES)
def test_wrong_type_errors_name_the_parameter(call, message, param):
    obj = Counted()
    obj.double()
    with pytest.raises(TypeError) as excinfo:
        call(obj)
    assert raised(excinfo) == (message, [f"while processing '{param}'"])
    assert obj.get_cached_values() == {("double", (("x", 1),)): 2}
    assert obj.runs == 1


def test_str_subclass_is_accepted_as_a_method_name():
    class Name(str):
        pass

    obj = Counted()
    obj.double()
    assert obj.get_cached_value(Name("double"), x=1) == 2
