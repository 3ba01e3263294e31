"""Construction of the decorator factories and decoration of functions: flags,
declared dependencies, the check on serialisable methods and the method name."""

import functools

import pytest

from quarrine import QuarrineBase, automagically_quarrined, quarrined

FACTORIES = [quarrined, automagically_quarrined]
FLAGS = ["use_cache", "track_runtime_dependencies", "serialisable"]


class Base(QuarrineBase):
    """Cached methods that the decorated methods of the tests depend on."""

    @quarrined()
    def a(self, x):
        return x

    @quarrined()
    def b(self):
        return "b"

    @quarrined()
    def rate(self, year=2020):
        return year


Decorator = type(Base.__dict__["b"])


def instance_with(**methods):
    """An instance of a fresh subclass of Base holding the given class attributes."""
    return type("Derived", (Base,), methods)()


def message_and_notes(excinfo):
    return str(excinfo.value), getattr(excinfo.value, "__notes__", None)


def exec_function(source):
    """A function whose source inspect.getsource cannot find."""
    namespace = {}
    exec(source, namespace)
    (func,) = [v for k, v in namespace.items() if k != "__builtins__"]
    return func


def counting(name="total"):
    """A method body that counts its runs on the instance."""

    def method(self):
        self.runs = getattr(self, "runs", 0) + 1
        return self.b()

    method.__name__ = name
    return method


# --- flags ------------------------------------------------------------------------


class TestFlags:
    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("flag", FLAGS)
    @pytest.mark.parametrize(
        "value, message",
        [
            (1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (1.0, "'float' object is not an instance of 'bool'"),
            ("True", "'str' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
        ],
    )
    def test_only_bool_is_a_flag(self, factory, flag, value, message):
        with pytest.raises(TypeError) as excinfo:
            factory(**{flag: value})
        assert message_and_notes(excinfo) == (message, [f"while processing '{flag}'"])

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("position, flag", [(0, "use_cache"), (2, "track_runtime_dependencies"), (3, "serialisable")])
    def test_positional_flag_is_named_in_the_note(self, factory, position, flag):
        args = [True, None, True, False]
        args[position] = 1
        with pytest.raises(TypeError) as excinfo:
            factory(*args)
        assert message_and_notes(excinfo) == ("'int' object is not an instance of 'bool'", [f"while processing '{flag}'"])

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("bad_dependencies", [5, "a", [42]])
    def test_bad_flag_is_reported_before_bad_dependencies(self, factory, bad_dependencies):
        with pytest.raises(TypeError) as excinfo:
            factory(dependencies=bad_dependencies, serialisable=1)
        assert message_and_notes(excinfo) == ("'int' object is not an instance of 'bool'", ["while processing 'serialisable'"])

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("use_cache, runs", [(True, 1), (False, 3)])
    def test_use_cache_decides_whether_results_are_served(self, factory, use_cache, runs):
        obj = instance_with(total=factory(use_cache, [])(counting()))
        assert [obj.total() for _ in range(3)] == ["b"] * 3
        assert obj.runs == runs

    @pytest.mark.parametrize(
        "factory, kwargs, tracked",
        [
            (quarrined, {}, False),
            (quarrined, {"track_runtime_dependencies": True}, True),
            (automagically_quarrined, {"dependencies": []}, True),
            (automagically_quarrined, {"dependencies": [], "track_runtime_dependencies": False}, False),
        ],
    )
    def test_run_time_tracking_defaults(self, factory, kwargs, tracked):
        obj = instance_with(total=factory(**kwargs)(counting()))
        obj.total()
        assert obj.get_dependency_graph() == {"b": {"total"} if tracked else set(), "total": set()}

    def test_positional_flags_land_in_their_parameters(self):
        obj = instance_with(total=quarrined(False, None, True, False)(counting()))
        obj.total(), obj.total()
        assert obj.runs == 2
        assert obj.get_dependency_graph()["b"] == {"total"}

    def test_numpy_bools_are_accepted_through_their_truth_value(self):
        np = pytest.importorskip("numpy")
        obj = instance_with(total=quarrined(np.False_, None, np.True_, np.False_)(counting()))
        obj.total(), obj.total()
        assert obj.runs == 2
        assert obj.get_dependency_graph()["b"] == {"total"}

        def two(self, x):
            pass

        assert isinstance(quarrined(serialisable=np.False_)(two), Decorator)
        with pytest.raises(ValueError, match="exactly one parameter"):
            quarrined(serialisable=np.True_)(two)
        with pytest.raises(TypeError) as excinfo:
            quarrined(use_cache=np.int64(1))
        assert message_and_notes(excinfo) == ("'int64' object is not an instance of 'bool'", ["while processing 'use_cache'"])


# --- dependencies -------------------------------------------------------------------


class Holder:
    class NotAList:
        pass


class TestParseDependencies:
    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize(
        "dependencies, error, message",
        [
            ("a", TypeError, "'str' object is not an instance of 'list'"),
            (("a",), TypeError, "'tuple' object is not an instance of 'list'"),
            ({"a": {}}, TypeError, "'dict' object is not an instance of 'list'"),
            (Holder.NotAList(), TypeError, "'Holder.NotAList' object is not an instance of 'list'"),
            ([("a",)], ValueError, "Dependency must be a tuple (str, dict) or a str"),
            ([("a", {}, 1)], ValueError, "Dependency must be a tuple (str, dict) or a str"),
            ([()], ValueError, "Dependency must be a tuple (str, dict) or a str"),
            ([42], ValueError, "Dependency must be a tuple (str, dict) or a str"),
            ([["a", {}]], ValueError, "Dependency must be a tuple (str, dict) or a str"),
            (["a", None], ValueError, "Dependency must be a tuple (str, dict) or a str"),
            ([(42, {})], TypeError, "'int' object is not an instance of 'str'"),
            ([(None, {})], TypeError, "'None' is not an instance of 'str'"),
            ([("a", [])], TypeError, "'list' object is not an instance of 'dict'"),
            ([("a", None)], TypeError, "'None' is not an instance of 'dict'"),
            (["ok", ("a", {"x": 1}), ("b", ())], TypeError, "'tuple' object is not an instance of 'dict'"),
        ],
    )
    def test_refused_shapes_carry_no_note(self, factory, dependencies, error, message):
        with pytest.raises(error) as excinfo:
            factory(dependencies=dependencies)
        assert message_and_notes(excinfo) == (message, None)

    @pytest.mark.parametrize("factory", FACTORIES)
    def test_subclasses_of_list_tuple_str_and_dict_are_accepted(self, factory):
        class List(list):
            pass

        class Tuple(tuple):
            pass

        class Str(str):
            pass

        class Dict(dict):
            pass

        dependencies = List([Str("b"), Tuple((Str("a"), Dict(x=1)))])
        obj = instance_with(total=factory(dependencies=dependencies, track_runtime_dependencies=False)(counting()))
        obj.a(1), obj.total()
        assert obj.get_dependency_graph() == {("a", (("x", 1),)): {"total"}, "b": {"total"}, "total": set()}

    def test_keyword_dependency_links_only_the_matching_call(self):
        obj = instance_with(total=quarrined(dependencies=[("a", {"x": 1})])(counting()))
        obj.a(1), obj.a(x=2), obj.total()
        assert obj.get_dependency_graph() == {
            ("a", (("x", 1),)): {"total"},
            ("a", (("x", 2),)): set(),
            "b": set(),
            "total": set(),
        }
        obj.update_cached_value("a", 20, x=2)
        assert obj.get_validation_state()["total"] == "valid"
        obj.update_cached_value("a", 10, x=1)
        assert obj.get_validation_state()["total"] == "invalid"

    def test_bare_name_means_the_call_without_arguments(self):
        obj = instance_with(
            bare=quarrined(dependencies=["rate"])(counting("bare")),
            full=quarrined(dependencies=[("rate", {"year": 2020})])(counting("full")),
        )
        obj.rate(), obj.bare(), obj.full()
        assert obj.get_dependency_graph()[("rate", (("year", 2020),))] == {"full"}
        assert obj.get_validation_state()["bare"] == "permanently invalid"

    def test_names_and_tuples_mix_in_one_list(self):
        obj = instance_with(total=quarrined(dependencies=["b", ("a", {"x": 3}), "b"])(counting()))
        obj.a(3), obj.total()
        graph = obj.get_dependency_graph()
        assert graph["b"] == {"total"} and graph[("a", (("x", 3),))] == {"total"}
        assert obj.get_validation_state()["total"] == "valid"

    def test_dict_mutated_after_construction_is_seen_by_later_decorations(self):
        keywords = {"x": 1}
        factory = quarrined(dependencies=[("a", keywords)])
        first = factory(counting("first"))
        keywords["x"] = 2
        obj = instance_with(first=first, second=factory(counting("second")))
        obj.a(1), obj.a(2), obj.first(), obj.second()
        graph = obj.get_dependency_graph()
        assert graph[("a", (("x", 1),))] == {"first"}
        assert graph[("a", (("x", 2),))] == {"second"}

    def test_unhashable_keyword_value_fails_the_decoration_not_the_construction(self):
        keywords = {"x": []}
        factory = quarrined(dependencies=[("a", keywords)])
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            factory(counting())
        keywords["x"] = 5
        assert isinstance(factory(counting()), Decorator)

    @pytest.mark.parametrize("dependencies", [[], None])
    def test_empty_list_equals_none_for_quarrined(self, dependencies):
        def total(self):
            return self.b()

        obj = instance_with(total=quarrined(dependencies=dependencies)(total))
        obj.total()
        assert obj.get_dependency_graph() == {"b": set(), "total": set()}
        assert obj.get_validation_state()["total"] == "valid"

    def test_automagic_empty_list_declares_nothing_while_none_reads_the_source(self):
        def total(self):
            return self.b()

        declared = {}
        for dependencies in ([], None):
            obj = instance_with(total=automagically_quarrined(dependencies=dependencies, track_runtime_dependencies=False)(total))
            obj.total()
            declared[repr(dependencies)] = obj.get_dependency_graph()["b"]
        assert declared == {"[]": set(), "None": {"total"}}

    def test_automagic_given_list_declares_only_its_names(self):
        def total(self):
            return self.b()

        obj = instance_with(total=automagically_quarrined(dependencies=["rate"], track_runtime_dependencies=False)(total))
        obj.b(), obj.total()
        assert obj.get_dependency_graph() == {"b": set(), "total": set()}
        assert obj.get_validation_state()["total"] == "permanently invalid"

    def test_automagic_with_a_list_reads_no_source(self):
        total = exec_function("def total(self):\n    return self.b()\n")
        with pytest.raises(OSError):
            automagically_quarrined()(total)
        nothing = automagically_quarrined(dependencies=[], track_runtime_dependencies=False)(total)
        only_b = automagically_quarrined(dependencies=["b"], track_runtime_dependencies=False)(total)
        for decorator, children in [(nothing, set()), (only_b, {"total"})]:
            obj = instance_with(total=decorator)
            assert obj.total() == "b"
            assert obj.get_dependency_graph() == {"b": children, "total": set()}


# --- serialisable methods -------------------------------------------------------------

SELF_ONLY = "Serialisable method must have exactly one parameter named 'self', got: "


def _self(self): pass
def _star_self(*self): pass
def _self_default(self=None): pass
def _none(): pass
def _me(me): pass
def _self_x(self, x=1): pass
def _self_args(self, *args): pass
def _self_kw(self, **kw): pass
def _three(self, a, b): pass
def _capital(Self): pass
def _kw_self(*, self): pass


class TestSerialisableCheck:
    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("func", [_self, _star_self, _self_default, _kw_self])
    def test_single_parameter_named_self_passes(self, factory, func):
        assert isinstance(factory(dependencies=[], serialisable=True)(func), Decorator)

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize(
        "func, names",
        [
            (_none, "[]"),
            (_me, '["me"]'),
            (_self_x, '["self", "x"]'),
            (_self_args, '["self", "args"]'),
            (_self_kw, '["self", "kw"]'),
            (_three, '["self", "a", "b"]'),
            (_capital, '["Self"]'),
        ],
    )
    def test_other_signatures_fail_with_the_parameter_list(self, factory, func, names):
        decorate = factory(dependencies=[], serialisable=True)
        with pytest.raises(ValueError) as excinfo:
            decorate(func)
        assert message_and_notes(excinfo) == (SELF_ONLY + names, None)
        assert isinstance(decorate(_self), Decorator)

    @pytest.mark.parametrize("factory", FACTORIES)
    def test_without_the_flag_no_check_is_made(self, factory):
        assert isinstance(factory(dependencies=[])(_three), Decorator)

    def test_non_callable_with_a_name_is_accepted_unless_serialisable(self):
        class Named:
            __name__ = "named"

        assert isinstance(quarrined()(Named()), Decorator)
        with pytest.raises(TypeError):
            quarrined(serialisable=True)(Named())

    def test_class_definition_fails_for_a_serialisable_method_with_arguments(self):
        with pytest.raises(ValueError) as excinfo:

            class Report(QuarrineBase):
                @quarrined(serialisable=True)
                def total(self, year):
                    return year

        assert str(excinfo.value) == SELF_ONLY + '["self", "year"]'

    def test_source_problem_is_reported_before_the_serialisable_check(self):
        func = exec_function("def f(self, x):\n    return x\n")
        with pytest.raises(OSError):
            automagically_quarrined(serialisable=True)(func)
        with pytest.raises(ValueError, match="exactly one parameter"):
            automagically_quarrined(dependencies=[], serialisable=True)(func)


# --- the method name --------------------------------------------------------------------


class TestMethodName:
    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize("serialisable", [False, True])
    def test_missing_name_is_reported_first(self, factory, serialisable):
        nameless = functools.partial(_three, None)
        with pytest.raises(AttributeError) as excinfo:
            factory(serialisable=serialisable)(nameless)
        assert str(excinfo.value) == "'functools.partial' object has no attribute '__name__'"

    @pytest.mark.parametrize("factory", FACTORIES)
    @pytest.mark.parametrize(
        "name, message",
        [
            (5, "'int' object is not an instance of 'str'"),
            (None, "'None' is not an instance of 'str'"),
            (b"f", "'bytes' object is not an instance of 'str'"),
        ],
    )
    def test_non_str_name_is_refused(self, factory, name, message):
        class Callable:
            __name__ = name

            def __call__(self, owner):
                pass

        with pytest.raises(TypeError) as excinfo:
            factory(dependencies=[])(Callable())
        assert message_and_notes(excinfo) == (message, None)

    def test_name_is_read_at_decoration_time(self):
        def total(self):
            return 7

        decorator = quarrined()(total)
        total.__name__ = "renamed"
        total.__qualname__ = "Other.renamed"
        obj = instance_with(something_else=decorator)
        assert obj.something_else() == 7
        assert obj.get_cached_values() == {"total": 7}

    def test_factory_in_a_variable_decorates_two_functions(self):
        depends_on_b = quarrined(dependencies=["b"])

        def first(self):
            return 1

        def second(self):
            return 2

        obj = instance_with(first=depends_on_b(first), second=depends_on_b(second))
        obj.b(), obj.first(), obj.second()
        assert obj.get_cached_values() == {"b": "b", "first": 1, "second": 2}
        assert obj.get_dependency_graph() == {"b": {"first", "second"}, "first": set(), "second": set()}
        obj.update_cached_value("b", "new")
        assert obj.get_validation_state() == {"b": "valid", "first": "invalid", "second": "invalid"}
