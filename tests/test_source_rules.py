"""House rules of the native sources that a reader could miss in review."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).parent.parent / "src"
SOURCES = sorted(SRC.rglob("*.[ch]pp"))

# These touch reference counts behind a debug interpreter's back, which would
# make the leak tests' totals meaningless; Py_IncRef and Py_DecRef do not.
BANNED = re.compile(
    r"\bPy_(X?INCREF|X?DECREF|CLEAR|X?NewRef|SETREF|XSETREF|RETURN_NONE|RETURN_TRUE|RETURN_FALSE)\b"
)


@pytest.mark.parametrize("source", SOURCES, ids=lambda path: str(path.relative_to(SRC)))
def test_reference_counts_change_only_through_the_functions(source):
    hits = [
        f"{source.relative_to(SRC)}:{number}: {line.strip()}"
        for number, line in enumerate(source.read_text().splitlines(), 1)
        if BANNED.search(line)
    ]
    assert hits == []



def first_include(path):
    return next((line.split()[1] for line in path.read_text().splitlines()
                 if line.startswith("#include")), None)


# The units of plain C++, which include no Python.h and bring standard headers.
PLAIN_CPP = {"dependency_graph", "address_table"}


@pytest.mark.parametrize("source", [s for s in SOURCES if s.stem not in PLAIN_CPP],
                         ids=lambda path: str(path.relative_to(SRC)))
def test_python_h_comes_before_every_standard_header(source):
    # Python.h must be the first header a unit sees (it defines the feature
    # macros); each file's first include is a project header that brings it.
    include = first_include(source)
    assert include in (None, "<Python.h>") or (
        include.startswith('"') and not any(unit in include for unit in PLAIN_CPP)), include
