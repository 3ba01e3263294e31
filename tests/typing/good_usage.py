"""A typed user of quarrine: a small portfolio model that uses the whole API.

It must type-check cleanly (mypy --strict, pyright strict) and run.
"""

# pyright: strict

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from types import CodeType
from typing import TYPE_CHECKING, Any

from quarrine import QuarrineBase, automagically_quarrined, quarrined

RATE_TABLE: dict[int, float] = {2024: 0.031, 2025: 0.027}


class Portfolio(QuarrineBase):
    def __init__(self, holdings: dict[str, float], prices: dict[str, float]) -> None:
        self.holdings = holdings
        self.prices = prices

    @quarrined(track_runtime_dependencies=True)
    def position(self, ticker: str) -> float:
        return self.holdings[ticker] * self.prices[ticker]

    @automagically_quarrined(serialisable=True)
    def market_value(self) -> float:
        value: float = sum(self.position(ticker) for ticker in self.holdings)
        return value

    @quarrined(use_cache=True, dependencies=["market_value", ("rate", {"year": 2025})])
    def expected_income(self) -> float:
        value: float = self.market_value()
        rate: float = self.rate(year=2025)
        return value * rate

    @quarrined(True, None, False, False)
    def rate(self, year: int) -> float:
        return RATE_TABLE[year]

    @automagically_quarrined(use_cache=False, track_runtime_dependencies=False)
    def snapshot_label(self) -> str:
        return f"{len(self.holdings)} holdings"

    @automagically_quarrined(dependencies=[], serialisable=True)
    def currency(self) -> str:
        return "EUR"


def restore(blob: str, order: Sequence[str] | None = None) -> Portfolio:
    portfolio = Portfolio({"ACME": 10.0}, {"ACME": 1.0})
    data: dict[str, Any] = json.loads(blob)
    portfolio.load_cache(data, order=order)
    return portfolio


def main() -> None:
    portfolio = Portfolio({"ACME": 10.0, "INIT": 4.0}, {"ACME": 12.5, "INIT": 30.0})
    income: float = portfolio.expected_income()
    label: str = portfolio.snapshot_label()

    cached: Any | None = portfolio.get_cached_value("position", ticker="ACME")
    portfolio.update_cached_value("position", 200.0, ticker="ACME")
    portfolio.update_cached_value(method_name="rate", value=0.03, year=2025)

    everything: dict[Any, Any] = portfolio.get_cached_values()
    graph: dict[Any, set[Any]] = portfolio.get_dependency_graph()
    # The states are literal strings; dict values are invariant, so it takes
    # a Mapping to see them as plain str.
    states: Mapping[Any, str] = portfolio.get_validation_state()

    dump: dict[str, Any] = portfolio.dump_cache()
    first_value: dict[str, Any] = portfolio.dump_cache(order=["market_value"])
    from_tuple: dict[str, Any] = portfolio.dump_cache(("currency", "market_value"))
    restored = restore(json.dumps(dump), order=["currency"])
    restored_value: float = restored.market_value()

    portfolio.clear_cache()
    base = QuarrineBase()
    factory = automagically_quarrined(track_runtime_dependencies=False)

    def standalone(self: Any) -> int:
        return 1

    decorator = factory(func=standalone)
    names: list[str] = [decorator.__name__, decorator.__qualname__, decorator.__module__]
    doc: str | None = Portfolio.rate.__doc__
    wrapped: float = Portfolio.rate.__wrapped__(portfolio, 2024)
    code: CodeType = Portfolio.rate.__code__
    defaults: tuple[Any, ...] | None = Portfolio.rate.__defaults__
    keyword_defaults: dict[str, Any] | None = Portfolio.rate.__kwdefaults__
    annotations: dict[str, Any] = Portfolio.rate.__annotations__

    if TYPE_CHECKING:
        reveal_type(factory)
        reveal_type(decorator)

    print(income, label, cached, everything, graph, states, first_value, from_tuple)
    print(restored_value, base, decorator)
    print(names, doc, wrapped, code, defaults, keyword_defaults, annotations)


if __name__ == "__main__":
    main()
