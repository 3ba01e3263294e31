"""A typed user of cached methods: type checkers see each decorated method
with its own parameters and result, through the instance and through the
class.

The correct uses must pass. Each misuse ends with a comment naming the
error code (mypy) and the rule (pyright) expected on its line, and each
`# reveal:` comment gives the type that both checkers must reveal on its
line; no other line may be reported. Run as a script, it makes the correct
calls.
"""

# pyright: strict

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Literal

from quarrine import QuarrineBase, automagically_quarrined, quarrined

State = Literal["valid", "invalid", "permanently invalid"]
ReportKey = str | tuple[str, tuple[tuple[str, Any], ...]]


class Order(QuarrineBase):
    def __init__(self, prices: dict[str, float]) -> None:
        self.prices = prices

    @quarrined()
    def line(self, sku: str, quantity: int = 1, *, discount: float = 0.0) -> float:
        return self.prices[sku] * quantity * (1.0 - discount)

    @automagically_quarrined()
    def total(self) -> float:
        return self.line("apple", 2) + self.line("pear", discount=0.1)

    @quarrined(dependencies=["total"])
    def summary(self, currency: str = "EUR", *, digits: int) -> str:
        return f"{self.total():.{digits}f} {currency}"

    @quarrined(serialisable=True)
    def skus(self) -> Sequence[str]:
        return tuple(sorted(self.prices))


class RushOrder(Order):
    # An override of the same shape, with a narrower result.
    @quarrined()
    def skus(self) -> list[str]:
        return ["rush", *sorted(self.prices)]


def correct_uses(order: Order, rush: RushOrder) -> list[object]:
    by_position: float = order.line("apple", 3)
    by_keyword: float = order.line(sku="pear", quantity=2, discount=0.5)
    keyword_only: str = order.summary(digits=2)
    all_given: str = order.summary("USD", digits=0)
    through_class: float = Order.line(order, "apple", discount=0.2)
    subclass_instance: float = rush.line("pear")
    subclass_through_base: float = Order.line(rush, "pear", 2)
    overridden: list[str] = rush.skus()
    bound = order.line
    later: float = bound("apple", quantity=4)
    values: dict[ReportKey, Any] = order.get_cached_values()
    graph: dict[ReportKey, set[ReportKey]] = order.get_dependency_graph()
    states: Mapping[ReportKey, str] = order.get_validation_state()
    exact_states: dict[ReportKey, State] = order.get_validation_state()
    stale = [key for key, state in exact_states.items() if state == "invalid"]
    names = [key if isinstance(key, str) else key[0] for key in values]
    dump: dict[str, Any] = order.dump_cache()
    return [by_position, by_keyword, keyword_only, all_given, through_class,
            subclass_instance, subclass_through_base, overridden, later,
            graph, states, stale, names, dump]


def revealed(order: Order, rush: RushOrder) -> None:
    reveal_type(order.line("apple"))  # reveal: float
    reveal_type(Order.summary(order, digits=1))  # reveal: str
    reveal_type(rush.skus())  # reveal: list[str]


def misuses(order: Order) -> None:
    order.line(42)  # expect: mypy[arg-type] pyright[reportArgumentType]
    order.line("apple", discount="10%")  # expect: mypy[arg-type] pyright[reportArgumentType]
    order.line("apple", colour="red")  # expect: mypy[call-arg] pyright[reportCallIssue]
    order.line("apple", 1, 0.5)  # expect: mypy[call-arg] pyright[reportCallIssue]
    order.line()  # expect: mypy[call-arg] pyright[reportCallIssue]
    order.summary("EUR")  # expect: mypy[call-arg] pyright[reportCallIssue]
    order.total(1)  # expect: mypy[call-arg] pyright[reportCallIssue]
    label: str = order.line("apple")  # expect: mypy[assignment] pyright[reportAssignmentType]
    order.total().upper()  # expect: mypy[attr-defined] pyright[reportAttributeAccessIssue,reportUnknownMemberType]
    Order.line(order, 42)  # expect: mypy[arg-type] pyright[reportArgumentType]
    Order.line("apple")  # expect: mypy[call-arg,arg-type] pyright[reportCallIssue]
    Order.total(QuarrineBase())  # expect: mypy[arg-type] pyright[reportArgumentType]
    names: dict[str, Any] = order.get_cached_values()  # expect: mypy[assignment] pyright[reportAssignmentType]
    if order.get_validation_state()["total"] == "stale":  # expect: mypy[comparison-overlap] pyright[reportUnnecessaryComparison]
        print(label, names)


class NotCacheable:
    @quarrined()  # expect: mypy[type-var] pyright[reportArgumentType]
    def value(self) -> int:
        return 1


if __name__ == "__main__":
    prices = {"apple": 1.5, "pear": 2.0}
    print(correct_uses(Order(prices), RushOrder(prices)))
