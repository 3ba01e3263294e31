"""Dependencies that automagically_quarrined finds by reading a method's source.

Only `self.<name>()` without arguments counts. The declared dependencies are
observed through behaviour: with run-time tracking off, a declared dependency
shows as an edge in get_dependency_graph once both calls were made, and a
declared dependency that was never called leaves the dependant permanently
invalid.
"""

import ast
import asyncio
import functools
import importlib.util
import inspect
import subprocess
import sys
import textwrap
from collections import Counter

import pytest

from quarrine import QuarrineBase, automagically_quarrined, quarrined

UNTRACKED = automagically_quarrined(track_runtime_dependencies=False)

SUBJECT_TEMPLATE = '''\
from quarrine import QuarrineBase, automagically_quarrined, quarrined


class Subject(QuarrineBase):
    @automagically_quarrined(track_runtime_dependencies=False)
    def t(self):
        return 0
{dead_code}

    @quarrined()
    def a(self):
        return "a"

    @quarrined()
    def b(self):
        return "b"

    def helper(self):
        return "plain"
'''


def import_module_file(path, source):
    """Write `source` to `path` and import it, so that inspect can read it."""
    path.write_text(source)
    loader_info = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(loader_info)
    loader_info.loader.exec_module(module)
    return module


def declared_by(dead_code, tmp_path):
    """Which of a and b the method `t` declares, and the state `t` settles in.

    `dead_code` follows a `return`, so it never runs; a and b are called
    before t, so t is valid unless it declares a name other than a or b.
    """
    source = SUBJECT_TEMPLATE.format(dead_code=textwrap.indent(dead_code, " " * 8))
    subject = import_module_file(tmp_path / "subject.py", source).Subject()
    subject.a()
    subject.b()
    subject.t()
    graph = subject.get_dependency_graph()
    return {name for name in ("a", "b") if "t" in graph[name]}, subject.get_validation_state()["t"]


@pytest.mark.parametrize(
    ("dead_code", "expected"),
    [
        ("return self.a() + self.b() * self.a()", {"a", "b"}),
        ("self.a()\nself.a()\nself.a()", {"a"}),
        ("self.a(1)", set()),
        ("self.a(x=1)", set()),
        ("self.a(*xs)", set()),
        ("self.a(**kw)", set()),
        ("self.a", set()),
        ("other.a()", set()),
        ("cls.a()", set()),
        ("Self.a()", set()),
        ("super().a()", set()),
        ("self.a.b()", set()),
        ("self.self.a()", set()),
        ("self.a(self.b())", {"b"}),
        ("self.a().b()", {"a"}),
        ("self.a()()", {"a"}),
        ("log(self.b())", {"b"}),
        ("f'{self.a()}'", {"a"}),
        ("def inner():\n    return self.a()", {"a"}),
        ("async def inner():\n    await self.b()", {"b"}),
        ("def inner(x=self.a()):\n    pass", {"a"}),
        ("@self.b()\ndef inner():\n    pass", {"b"}),
        ("handler = lambda: self.a()", {"a"}),
        ("[self.a() for _ in range(3)]", {"a"}),
        ("{k: self.b() for k in ()}", {"b"}),
        ("class Inner:\n    x = self.a()", {"a"}),
        ("if False:\n    self.b()", {"b"}),
        ("while False:\n    self.a()\nelse:\n    self.b()", {"a", "b"}),
        ("with self.a():\n    pass", {"a"}),
    ],
    ids=repr,
)
def test_only_argument_free_calls_on_self_are_declared(dead_code, expected, tmp_path):
    assert declared_by(dead_code, tmp_path) == (expected, "valid")


@pytest.mark.parametrize(
    ("dead_code", "state"),
    [
        # a plain method has no stored result, and a missing one none either
        ("self.helper()", "valid"),
        ("self.does_not_exist()", "valid"),
        # its own parent, still invalid whenever it settles
        ("self.t()", "invalid"),
    ],
)
def test_only_names_of_cached_methods_of_the_class_are_dependencies(dead_code, state, tmp_path):
    assert declared_by(dead_code, tmp_path) == (set(), state)


def test_a_method_calling_a_plain_helper_is_cached():
    class Order(QuarrineBase):
        runs = 0

        def _fee(self):
            return 5

        @automagically_quarrined()
        def total(self):
            Order.runs += 1
            return 10 + self._fee()

    order = Order()
    assert order.total() == order.total() == 15
    assert Order.runs == 1


class Checkout(QuarrineBase):
    def __init__(self, discounted):
        self.discounted = discounted
        self.runs = Counter()

    @UNTRACKED
    def base_price(self):
        self.runs["base_price"] += 1
        return 100

    @UNTRACKED
    def discount_price(self):
        self.runs["discount_price"] += 1
        return 80

    @UNTRACKED
    def total(self):
        self.runs["total"] += 1
        if self.discounted:
            return self.discount_price()
        return self.base_price()


class TestObservedThroughBehaviour:
    def test_a_discovered_dependency_never_called_keeps_the_method_uncached(self):
        checkout = Checkout(discounted=False)
        assert [checkout.total() for _ in range(3)] == [100, 100, 100]
        assert checkout.runs["total"] == 3
        assert checkout.get_validation_state()["total"] == "permanently invalid"

    def test_a_discovered_dependency_shows_as_an_edge_once_both_are_called(self):
        checkout = Checkout(discounted=True)
        checkout.base_price()
        assert checkout.total() == 80
        assert checkout.total() == 80
        assert checkout.runs["total"] == 1
        assert checkout.get_dependency_graph() == {
            "base_price": {"total"},
            "discount_price": {"total"},
            "total": set(),
        }
        assert set(checkout.get_validation_state().values()) == {"valid"}

    def test_a_method_calling_itself_declares_itself_and_is_never_stored(self):
        runs = []

        class Countdown(QuarrineBase):
            @UNTRACKED
            def steps(self):
                runs.append("steps")
                if len(runs) > 100:
                    return self.steps()
                return 0

        countdown = Countdown()
        assert countdown.steps() == 0
        assert countdown.steps() == 0
        assert runs == ["steps", "steps"]
        assert countdown.get_dependency_graph() == {"steps": {"steps"}}
        assert countdown.get_validation_state() == {"steps": "invalid"}

    def test_async_def_is_read_like_def(self):
        class Feed(QuarrineBase):
            @quarrined()
            def url(self):
                return "https://example.invalid/feed"

            @UNTRACKED
            async def fetch(self):
                return self.url()

        feed = Feed()
        feed.url()
        assert asyncio.run(feed.fetch()) == "https://example.invalid/feed"
        assert feed.get_dependency_graph() == {"url": {"fetch"}, "fetch": set()}
        assert feed.get_validation_state()["fetch"] == "valid"


class Probe:
    """Stands in for `self` in a class body, where decorator lines and
    parameter defaults are evaluated."""

    def factory(self):
        return automagically_quarrined(track_runtime_dependencies=False)

    def default(self):
        return 3

    def annotation(self):
        return int


def test_decorator_line_defaults_and_annotations_are_not_walked():
    self = Probe()

    class Subject(QuarrineBase):
        @self.factory()
        def area(self, side=self.default()) -> self.annotation():
            return side * side

    subject = Subject()
    assert subject.area() == 9
    assert subject.get_validation_state() == {("area", (("side", 3),)): "valid"}


def test_a_lambda_on_a_line_of_its_own_declares_nothing():
    class Subject(QuarrineBase):
        @quarrined()
        def a(self):
            return 1

        t = UNTRACKED(
            lambda self: self.a() + 1
        )

    subject = Subject()
    assert subject.t() == 2
    assert subject.get_dependency_graph() == {"<lambda>": set(), "a": set()}
    assert subject.get_validation_state()["<lambda>"] == "valid"


def exec_function(source):
    namespace = {}
    exec(textwrap.dedent(source), namespace)
    return next(value for key, value in namespace.items() if key != "__builtins__")


class TestUnreadableSource:
    def test_a_function_made_by_exec_fails_with_the_error_of_getsource_and_a_way_out(self):
        total = exec_function("def total(self):\n    return self.price()\n")
        with pytest.raises(OSError) as expected:
            inspect.getsource(total)
        with pytest.raises(OSError) as raised:
            automagically_quarrined()(total)
        assert type(raised.value) is type(expected.value)
        assert str(raised.value) == str(expected.value)
        assert raised.value.__notes__ == [
            "automagically_quarrined reads the source of 'total' to find its dependencies; "
            "where there is no source, give them as dependencies=[...]"]

    @pytest.mark.parametrize("dependencies", [["price"], []])
    def test_a_given_list_reads_no_source(self, dependencies):
        price = exec_function("def price(self):\n    return 7\n")
        total = exec_function("def total(self):\n    return self.price() * 2\n")
        Shop = type(
            "Shop",
            (QuarrineBase,),
            {
                "price": quarrined()(price),
                "total": automagically_quarrined(
                    dependencies=dependencies, track_runtime_dependencies=False
                )(total),
            },
        )
        shop = Shop()
        assert shop.total() == 14
        graph = shop.get_dependency_graph()
        assert ("total" in graph["price"]) == (dependencies == ["price"])

    def test_a_failed_decoration_leaves_the_factory_usable(self):
        factory = automagically_quarrined()
        with pytest.raises(OSError):
            factory(exec_function("def broken(self):\n    return 1\n"))

        class Subject(QuarrineBase):
            @factory
            def fine(self):
                return 1

        assert Subject().fine() == 1

    def test_source_that_no_longer_parses_after_dedent(self):
        # The string's continuation line sits at column 0, so dedent removes
        # nothing and the lines below the decorator keep their indentation.
        with pytest.raises(ValueError) as raised:

            class Report(QuarrineBase):
                @automagically_quarrined()
                def banner(self):
                    return """
no indentation here"""

        assert str(raised.value) == (
            "failed to parse source: IndentationError: unexpected indent (<unknown>, line 2)"
        )

    def test_source_with_a_syntax_error(self, monkeypatch):
        source = "def t(self):\n    return (self.a()\n"
        with pytest.raises(SyntaxError) as parse_error:
            ast.parse(source)
        monkeypatch.setattr(inspect, "getsource", lambda func: source)
        with pytest.raises(ValueError) as raised:
            automagically_quarrined()(lambda self: None)
        assert str(raised.value) == f"failed to parse source: SyntaxError: {parse_error.value}"

    def test_getsource_returning_no_str(self, monkeypatch):
        monkeypatch.setattr(inspect, "getsource", lambda func: b"def t(self): pass")
        with pytest.raises(TypeError, match=r"^'bytes' object is not an instance of 'str'$"):
            automagically_quarrined()(lambda self: None)


class TestErrorOrder:
    def test_a_missing_name_comes_before_the_source(self):
        nameless = functools.partial(exec_function("def f(self):\n    return 1\n"))
        with pytest.raises(AttributeError):
            automagically_quarrined()(nameless)

    def test_the_source_comes_before_the_serialisable_check(self):
        per_year = exec_function("def per_year(self, year):\n    return year\n")
        with pytest.raises(OSError):
            automagically_quarrined(serialisable=True)(per_year)

    def test_a_parse_failure_comes_before_the_serialisable_check(self, monkeypatch):
        monkeypatch.setattr(inspect, "getsource", lambda func: "def per_year(self, year:\n")
        with pytest.raises(ValueError, match=r"^failed to parse source: SyntaxError: "):
            automagically_quarrined(serialisable=True)(lambda self, year: year)

    def test_the_serialisable_check_runs_once_the_source_is_read(self):
        with pytest.raises(ValueError, match=r"got: \[\"self\", \"year\"\]$"):

            @automagically_quarrined(serialisable=True)
            def per_year(self, year):
                return self.rate() * year


DEEP_SCRIPT = """
import sys
sys.setrecursionlimit({limit})
path = {path!r}
with open(path, "w") as out:
    out.write("def t(self):\\n    return " + {expression} + "\\n")
# The function object is compiled from a short body but carries the deep
# file's name, so inspect reads the deep source from that file.
namespace = {{}}
exec(compile("def t(self):\\n    return 0\\n", path, "exec"), namespace)
{action}
"""

PARSE_ONLY = "import ast; ast.parse(open(path).read()); print('parsed')"
DECORATE = """
from quarrine import automagically_quarrined
try:
    automagically_quarrined()(namespace["t"])
except ValueError as error:
    assert str(error).startswith("failed to parse source: "), error
    print("refused:", str(error)[:80])
except RecursionError as error:
    print("refused:", error)
else:
    print("decorated")
"""


def run_deep(tmp_path, expression, limit, action):
    script = DEEP_SCRIPT.format(
        limit=limit, path=str(tmp_path / "deep.py"), expression=expression, action=action
    )
    return subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=300
    )


@pytest.mark.parametrize(
    ("expression", "limit"),
    [
        ('"self.a()" + " + 1" * 100_000', 1000),
        ('"self.a()" + " + 1" * 100_000', 1_000_000),
        ('"self.a()" + ".x" * 100_000', 1_000_000),
        ('"(" * 199 + "self.a()" + ")" * 199', 1000),
        ('"[" * 199 + "self.a()" + "]" * 199', 1000),
        ('"-" * 2900 + "self.a()"', 1000),
    ],
    ids=["long-chain", "long-chain-raised-limit", "attribute-chain-raised-limit",
         "parentheses", "lists", "unary"],
)
def test_deeply_nested_source_never_crashes_the_interpreter(tmp_path, expression, limit):
    control = run_deep(tmp_path, expression, limit, PARSE_ONLY)
    if control.returncode < 0:
        pytest.skip(f"the interpreter's own parser crashes on this input ({control.returncode})")
    result = run_deep(tmp_path, expression, limit, DECORATE)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(("decorated", "refused:")), result.stdout


def make_basket(decorate):
    """A basket whose dependencies are all found in the source."""

    class Basket(QuarrineBase):
        def __init__(self):
            self.runs = Counter()

        @decorate
        def unit_price(self):
            self.runs["unit_price"] += 1
            return 4.0

        @decorate
        def quantity(self):
            self.runs["quantity"] += 1
            return 3

        @decorate
        def shipping(self):
            self.runs["shipping"] += 1
            return 5.0

        @decorate
        def subtotal(self):
            self.runs["subtotal"] += 1
            return self.unit_price() * self.quantity()

        @decorate
        def tax(self):
            self.runs["tax"] += 1
            return self.subtotal() / 4

        @decorate
        def total(self):
            self.runs["total"] += 1
            return self.subtotal() + self.tax() + self.shipping()

        @decorate
        def label(self):
            self.runs["label"] += 1
            return f"{self.quantity()} items"

    return Basket


@pytest.mark.parametrize(
    "decorate",
    [automagically_quarrined(), UNTRACKED],
    ids=["tracked", "source-only"],
)
@pytest.mark.parametrize(
    ("updated", "value", "stale", "total", "label"),
    [
        ("unit_price", 6.0, {"subtotal", "tax", "total"}, 27.5, "3 items"),
        ("quantity", 1, {"subtotal", "tax", "total", "label"}, 10.0, "1 items"),
        ("shipping", 0.0, {"total"}, 15.0, "3 items"),
        ("subtotal", 40.0, {"tax", "total"}, 55.0, "3 items"),
        ("total", 1.0, set(), 1.0, "3 items"),
        ("label", "many", set(), 20.0, "many"),
    ],
)
def test_an_update_recomputes_exactly_what_it_makes_stale(
    decorate, updated, value, stale, total, label
):
    basket = make_basket(decorate)()
    assert (basket.total(), basket.label()) == (20.0, "3 items")
    assert basket.runs == Counter(
        ["unit_price", "quantity", "shipping", "subtotal", "tax", "total", "label"]
    )
    basket.runs.clear()

    basket.update_cached_value(updated, value)
    assert (basket.total(), basket.label()) == (total, label)
    assert basket.runs == Counter(stale)
    assert set(basket.get_validation_state().values()) == {"valid"}
