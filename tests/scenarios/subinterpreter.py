"""A subinterpreter tries the module before the main interpreter has used it,
and again after: it is refused each time with an ImportError, and the main
interpreter's use of the module is never disturbed.

Run as `python subinterpreter.py`; the subinterpreter's program is
subinterpreter_program.py, which prints how its import went.
"""

import functools
from pathlib import Path

PROGRAM = Path(__file__).with_name("subinterpreter_program.py")


def run_in_subinterpreter():
    try:
        import _interpreters as interpreters  # 3.13
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.11, 3.12
    try:
        interp = interpreters.create(isolated=False)  # 3.12: one GIL with the main interpreter, as on 3.11
    except TypeError:
        try:
            interp = interpreters.create("legacy")  # 3.13
        except (TypeError, ValueError):
            interp = interpreters.create()
    source = f"import runpy\nrunpy.run_path({str(PROGRAM)!r})\n"
    try:
        if hasattr(interpreters, "exec"):
            failure = interpreters.exec(interp, source)
            assert failure is None, failure
        else:
            interpreters.run_string(interp, source)
    finally:
        interpreters.destroy(interp)


def logged(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)
    return wrapper


def main():
    run_in_subinterpreter()
    from quarrine import QuarrineBase, quarrined

    class Shop(QuarrineBase):
        @quarrined()
        @logged  # bound through inspect.signature
        def price(self, n):
            return n
    assert Shop().price(2) == 2
    run_in_subinterpreter()
    assert Shop().price(3) == 3
    print("main interpreter: done", flush=True)


if __name__ == "__main__":
    main()
