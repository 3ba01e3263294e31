"""Picklable QuarrineBase subclasses, importable by name in another process:
a frozen dataclass whose whole state is its fields, a __slots__ class, and a
class with its own __getstate__/__setstate__. Used by
tests/test_real_programs.py and by process_pool.py (whose workers import this
module)."""

import dataclasses

from quarrine import QuarrineBase, quarrined


@dataclasses.dataclass(frozen=True)
class Point(QuarrineBase):
    x: int
    y: int

    @quarrined()
    def norm(self):
        return (self.x ** 2 + self.y ** 2) ** 0.5

    @quarrined()
    def scaled(self, factor):
        return self.x * factor, self.y * factor


class Box(QuarrineBase):
    __slots__ = ("width", "height")

    def __init__(self, width, height):
        self.width, self.height = width, height

    @quarrined()
    def area(self):
        return self.width * self.height


class Account(QuarrineBase):
    """Its state is the balance; the log is rebuilt on restore."""

    def __init__(self, balance):
        self.balance, self.log = balance, ["opened"]

    def __getstate__(self):
        return {"balance": self.balance}

    def __setstate__(self, state):
        self.balance, self.log = state["balance"], ["restored"]

    @quarrined(track_runtime_dependencies=True)
    def doubled(self):
        return self.balance * 2


def compute_in_worker(point):
    """What a worker does with the instance it was sent: report its cache, compute, report again."""
    arrived_with = point.get_cached_values()
    return arrived_with, point.norm(), point.get_cached_values()
