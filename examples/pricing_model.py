"""Price a fixed-rate bond off a zero curve, then ask "what if?".

The market inputs (zero rates quoted at a few tenors), the discount factors
interpolated from them, the price and the risk figures are cached methods
that call each other, so every result knows what it was computed from.
A what-if bumps one market quote with update_cached_value: only the results
that used that quote are recomputed, and restoring the quote brings every
figure back. get_validation_state shows what a change made stale, and
clear_cache drops everything.

Run it with `python examples/pricing_model.py`.
"""

from __future__ import annotations

import math
import textwrap
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from quarrine import QuarrineBase, automagically_quarrined, quarrined


def label(report_key: Any) -> str:
    """'price' or ('discount_factor', (('t', 4.5),)) -> 'discount_factor(t=4.5)'."""
    if isinstance(report_key, str):
        return report_key
    name, items = report_key
    return f"{name}({', '.join(f'{k}={v!r}' for k, v in items)})"


class BondPricer(QuarrineBase):
    """A bullet bond paying `coupon` (per year, in % of face) every half year."""

    def __init__(self, quotes: dict[float, float], coupon: float, maturity: float) -> None:
        self.quotes = quotes            # tenor in years -> continuously compounded zero rate
        self.coupon = coupon
        self.maturity = maturity
        self.ran: list[str] = []        # which cached methods actually ran, in order

    # Inputs and curve: these take arguments, so their dependencies are recorded
    # at run time (each call made while a method runs becomes one of its parents).
    @quarrined(track_runtime_dependencies=True)
    def market_rate(self, tenor: float) -> float:
        self.ran.append(f"market_rate(tenor={tenor!r})")
        return self.quotes[tenor]

    @quarrined(track_runtime_dependencies=True)
    def discount_factor(self, t: float) -> float:
        self.ran.append(f"discount_factor(t={t!r})")
        tenors = sorted(self.quotes)
        # Linear interpolation between the two quotes around t (flat outside):
        # the factor depends on those two quotes only.
        lo = max([x for x in tenors if x <= t], default=tenors[0])
        hi = min([x for x in tenors if x >= t], default=tenors[-1])
        r_lo, r_hi = self.market_rate(lo), self.market_rate(hi)
        rate = r_lo if hi == lo else r_lo + (r_hi - r_lo) * (t - lo) / (hi - lo)
        return math.exp(-rate * t)

    # Derived figures: automagically_quarrined finds self.cashflows(), self.price()
    # and self.duration() in the source and records the discount factors at run time.
    @automagically_quarrined()
    def cashflows(self) -> list[tuple[float, float]]:
        self.ran.append("cashflows")
        times = [0.5 * i for i in range(1, int(self.maturity * 2) + 1)]
        return [(t, self.coupon / 2 + (100.0 if t == self.maturity else 0.0)) for t in times]

    @automagically_quarrined()
    def price(self) -> float:
        self.ran.append("price")
        return sum(cf * self.discount_factor(t) for t, cf in self.cashflows())

    @automagically_quarrined()
    def duration(self) -> float:
        self.ran.append("duration")
        pv_times = sum(t * cf * self.discount_factor(t) for t, cf in self.cashflows())
        return pv_times / self.price()

    @automagically_quarrined()
    def dv01(self) -> float:
        """Price change for a one basis point parallel fall in rates."""
        self.ran.append("dv01")
        return self.price() * self.duration() / 10_000


def say(text: str) -> None:
    print(textwrap.fill(text, width=100, initial_indent="  ", subsequent_indent="      "))


def report(model: BondPricer, title: str) -> None:
    """Print the price and risk, and which cached methods had to run for them."""
    model.ran.clear()
    figures = f"price={model.price():.4f}  duration={model.duration():.3f}  dv01={model.dv01():.5f}"
    print(f"{title}: {figures}")
    say(f"recomputed ({len(model.ran)}): {', '.join(model.ran) or 'nothing'}")


@contextmanager
def what_if(model: QuarrineBase, method: str, value: Any, **kwargs: Any) -> Iterator[None]:
    """Replace one cached result for the duration of a with-block, then put it back.

    The input must have been computed already: get_cached_value answers None
    for a call that has no valid stored result, and there is nothing to restore.
    """
    original = model.get_cached_value(method, **kwargs)
    if original is None:
        raise LookupError(f"{method}{kwargs} has no valid result to bump; call it first")
    model.update_cached_value(method, value, **kwargs)
    try:
        yield
    finally:
        model.update_cached_value(method, original, **kwargs)


def stale(model: QuarrineBase) -> list[str]:
    return sorted(label(k) for k, state in model.get_validation_state().items() if state != "valid")


def main() -> None:
    curve = {1.0: 0.030, 2.0: 0.033, 3.0: 0.035, 5.0: 0.038, 7.0: 0.040}
    bond = BondPricer(curve, coupon=4.5, maturity=5.0)
    report(bond, "Base case")
    report(bond, "Asked again")
    base_price = bond.price()

    bumped = bond.market_rate(5.0) + 0.0001  # served from the cache
    print(f"\nWhat if the 5y rate rises 1bp? update_cached_value('market_rate', {bumped:.4f}, tenor=5.0)")
    with what_if(bond, "market_rate", bumped, tenor=5.0):
        say(f"stale now: {', '.join(stale(bond))}")
        report(bond, "5y +1bp")
        print(f"  P&L of the bump: {bond.price() - base_price:+.4f}")

    print("\nQuote restored")
    report(bond, "Restored")
    print(f"  price back to base: {'yes' if bond.price() == base_price else 'NO'}")

    print("\nclear_cache()")
    bond.clear_cache()
    states = set(bond.get_validation_state().values())
    print(f"  stored results: {len(bond.get_cached_values())}, states: {', '.join(sorted(states))}")
    report(bond, "After clear_cache")


if __name__ == "__main__":
    main()
