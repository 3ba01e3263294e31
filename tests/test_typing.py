"""The published typing of quarrine: the stub-only package installed with the
wheel agrees with the module, and type checkers accept real use of the API
and report its misuse.

mypy and pyright are installed in the development environment only; the
checks skip elsewhere (for example under the debug interpreter).
"""

import ast
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TYPING_DIR = Path(__file__).parent / "typing"
GOOD = TYPING_DIR / "good_usage.py"
BAD = TYPING_DIR / "bad_usage.py"
CACHED = TYPING_DIR / "cached_methods.py"
EXPECT = re.compile(r"# expect: mypy\[(?P<mypy>[^\]]*)\] pyright\[(?P<pyright>[^\]]*)\]")
REVEAL = re.compile(r"# reveal: (?P<type>.+)$")

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed for this interpreter"
)


def installed_stub():
    for entry in sys.path:
        candidate = Path(entry) / "quarrine-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    pytest.fail("the quarrine-stubs package is not installed beside the module")


def run(command, cwd, env=None):
    return subprocess.run(
        command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


def expected_reports(path, tool):
    """{(line, code)} from the `# expect:` comments of a script."""
    expected = set()
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        match = EXPECT.search(line)
        if match:
            expected |= {(number, code) for code in match[tool].split(",")}
    return expected


def expected_reveals(path):
    """{line: type} from the `# reveal:` comments of a script."""
    return {
        number: match["type"].strip()
        for number, line in enumerate(path.read_text().splitlines(), start=1)
        if (match := REVEAL.search(line))
    }


def run_mypy(script, tmp_path):
    result = run(
        [
            sys.executable, "-m", "mypy",
            "--config-file=", "--strict", "--warn-unreachable",
            "--cache-dir", str(tmp_path / "mypy-cache"),
            "--show-error-codes", "--no-color-output", "--no-error-summary",
            str(script),
        ],
        cwd=tmp_path,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    return result.stdout.splitlines()


def mypy_errors(lines):
    found = set()
    for line in lines:
        match = re.match(r".*?:(\d+): error: .*\[([\w-]+)\]$", line)
        if match:
            found.add((int(match[1]), match[2]))
    return found


def mypy_reveals(lines):
    found = {}
    for line in lines:
        match = re.match(r'.*?:(\d+): note: Revealed type is "(.*)"$', line)
        if match:
            found[int(match[1])] = match[2]
    return found


def pyright_command():
    package = importlib.util.find_spec("pyright")
    if package is None:
        pytest.skip("the pyright package is not installed for this interpreter")
    bundled = Path(next(iter(package.submodule_search_locations))) / "dist" / "index.js"
    if not bundled.is_file():
        pytest.skip("this pyright package bundles no pyright to run")
    node = shutil.which("node")
    if node is None:
        pytest.skip("pyright needs node, and no `node` is on PATH")
    return [node, str(bundled)]


def run_pyright(script, tmp_path):
    # node is not under test: keep a sanitizer runtime preloaded for the
    # module's sake out of it.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = run(
        [*pyright_command(), "--outputjson", "--pythonpath", sys.executable, str(script)],
        cwd=tmp_path,
        env=env,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    return json.loads(result.stdout)["generalDiagnostics"]


def pyright_reveals(diagnostics):
    found = {}
    for item in diagnostics:
        match = re.match(r'Type of ".*" is "(.*)"$', item["message"])
        if item["severity"] == "information" and match:
            found[item["range"]["start"]["line"] + 1] = match[1]
    return found


def pyright_errors(diagnostics):
    return {
        (item["range"]["start"]["line"] + 1, item.get("rule", "?"))
        for item in diagnostics
        if item["severity"] == "error"
    }


def describe(reports):
    return "\n".join(map(str, reports))


class TestStubMatchesTheModule:
    @needs_mypy
    def test_stubtest_finds_no_mismatch(self, tmp_path):
        # The decorator type is created at run time but not bound in the
        # module; the stub names it so that user code can annotate with it.
        allowlist = tmp_path / "allowlist.txt"
        allowlist.write_text("quarrine.QuarrineDecorator\n")
        result = run(
            [sys.executable, "-m", "mypy.stubtest", "quarrine", "--allowlist", str(allowlist)],
            cwd=tmp_path,
        )
        assert result.returncode == 0, result.stdout + result.stderr

    @needs_mypy
    def test_the_decorator_type_matches_its_stub(self, tmp_path):
        # Bind the run-time decorator type in a module of its own, with the
        # installed stub as that module's stub, and compare the two. The
        # decorator is generic only in the stub: a subscripted
        # QuarrineDecorator[...] exists for type checkers alone.
        (tmp_path / "decorator_type.pyi").write_text(installed_stub().read_text())
        (tmp_path / "decorator_type.py").write_text(
            "from quarrine import QuarrineBase, automagically_quarrined, quarrined\n\n"
            "__all__ = ['QuarrineBase', 'quarrined', 'automagically_quarrined']\n"
            "QuarrineDecorator = type(quarrined()(lambda self: None))\n"
        )
        result = run(
            [sys.executable, "-m", "mypy.stubtest", "decorator_type", "--mypy-config-file", ""],
            cwd=tmp_path,
        )
        assert result.returncode == 0, result.stdout + result.stderr

    def test_the_stub_declares_the_module_members(self):
        import quarrine

        tree = ast.parse(installed_stub().read_text())
        declared_all = next(
            ast.literal_eval(node.value)
            for node in tree.body
            if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
        )
        assert declared_all == quarrine.__all__
        # Private classes describe run-time objects of other types (the bound
        # method of a cached method is a types.MethodType).
        classes = {
            node.name for node in tree.body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")
        }
        assert classes == {*quarrine.__all__, "QuarrineDecorator"}


class TestGoodUsage:
    def test_the_typed_script_runs(self, tmp_path):
        result = run([sys.executable, str(GOOD)], cwd=tmp_path)
        assert result.returncode == 0, result.stderr

    @needs_mypy
    def test_mypy_strict_accepts_it_with_the_installed_stub(self, tmp_path):
        lines = run_mypy(GOOD, tmp_path)
        assert mypy_errors(lines) == set(), "\n".join(lines)
        assert not [line for line in lines if "error:" in line], "\n".join(lines)
        # Only the stub knows QuarrineDecorator: the revealed types prove
        # that mypy resolved quarrine to it.
        assert any('Revealed type is "quarrine.automagically_quarrined"' in line for line in lines)
        assert any('Revealed type is "quarrine.QuarrineDecorator[Any, [], int]"' in line for line in lines)

    def test_pyright_accepts_it_with_the_installed_stub(self, tmp_path):
        diagnostics = run_pyright(GOOD, tmp_path)
        problems = [item for item in diagnostics if item["severity"] != "information"]
        assert problems == [], describe(problems)
        revealed = {item["message"] for item in diagnostics}
        assert 'Type of "factory" is "automagically_quarrined"' in revealed
        assert 'Type of "decorator" is "QuarrineDecorator[Any, (), int]"' in revealed


MARKED_SCRIPTS = pytest.mark.parametrize("script", [BAD, CACHED], ids=lambda path: path.stem)


class TestBadUsage:
    @needs_mypy
    @MARKED_SCRIPTS
    def test_mypy_reports_exactly_the_marked_lines(self, script, tmp_path):
        lines = run_mypy(script, tmp_path)
        assert not [line for line in lines if "import-untyped" in line or "import-not-found" in line]
        assert mypy_errors(lines) == expected_reports(script, "mypy"), "\n".join(lines)

    @MARKED_SCRIPTS
    def test_pyright_reports_exactly_the_marked_lines(self, script, tmp_path):
        diagnostics = run_pyright(script, tmp_path)
        rules = {item.get("rule") for item in diagnostics}
        assert not rules & {"reportMissingModuleSource", "reportMissingImports"}, describe(diagnostics)
        assert pyright_errors(diagnostics) == expected_reports(script, "pyright"), describe(diagnostics)

    def test_each_misuse_is_also_refused_at_run_time(self):
        from quarrine import QuarrineBase, quarrined

        ledger = QuarrineBase()
        for misuse in (
            lambda: ledger.get_cached_value(5),
            lambda: ledger.dump_cache(order=3),
            lambda: ledger.load_cache([("balance", 1.0)]),
            lambda: ledger.clear_cache(True),
            lambda: quarrined(use_cache=1),
        ):
            with pytest.raises(TypeError):
                misuse()
        with pytest.raises(TypeError):

            class Memo(quarrined):
                pass


class TestCachedMethods:
    """A cached method keeps its parameters and result for the checkers."""

    def test_the_correct_uses_run(self, tmp_path):
        result = run([sys.executable, str(CACHED)], cwd=tmp_path)
        assert result.returncode == 0, result.stderr

    @needs_mypy
    def test_mypy_reveals_the_method_results(self, tmp_path):
        lines = run_mypy(CACHED, tmp_path)
        assert mypy_reveals(lines) == expected_reveals(CACHED), "\n".join(lines)

    def test_pyright_reveals_the_method_results(self, tmp_path):
        diagnostics = run_pyright(CACHED, tmp_path)
        assert pyright_reveals(diagnostics) == expected_reveals(CACHED), describe(diagnostics)
