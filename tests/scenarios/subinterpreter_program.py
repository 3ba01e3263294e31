"""Run inside a subinterpreter by subinterpreter.py: import the module, and
if that succeeds use it through inspect.signature; print how it went."""

import functools

try:
    import quarrine
except ImportError as error:
    print("refused:", error, flush=True)
else:
    def logged(function):
        @functools.wraps(function)
        def wrapper(*args, **kwargs):
            return function(*args, **kwargs)
        return wrapper

    class Shop(quarrine.QuarrineBase):
        @quarrine.quarrined()
        @logged
        def price(self, n):
            return n

    print("imported:", Shop().price(1), flush=True)
