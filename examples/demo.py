"""An invoice whose totals are cached methods that call each other.

Run it with `make demo`. It shows which methods ran and which answers came
from the cache, the dependency graph and the validation states, before and
after a price is changed with update_cached_value, with dependencies both
declared by hand (`quarrined`) and found in the source
(`automagically_quarrined`), and finally a dump of the results to a JSON
file that a new invoice loads without recomputing anything.
"""

from __future__ import annotations

import json
import pprint
import tempfile
from pathlib import Path

from quarrine import QuarrineBase, automagically_quarrined, quarrined

RAN: list[str] = []


def ran(name: str) -> None:
    RAN.append(name)


class Invoice(QuarrineBase):
    """Dependencies declared by hand: each method lists what it uses."""

    def __init__(self, lines: dict[str, tuple[int, float]], tax_rate: float) -> None:
        self.lines = lines
        self.tax_rate = tax_rate

    @quarrined(track_runtime_dependencies=True)
    def unit_price(self, item: str) -> float:
        ran(f"unit_price({item!r})")
        return self.lines[item][1]

    @quarrined(track_runtime_dependencies=True)
    def line_total(self, item: str) -> float:
        ran(f"line_total({item!r})")
        quantity = self.lines[item][0]
        return quantity * self.unit_price(item)

    @quarrined(track_runtime_dependencies=True)
    def subtotal(self) -> float:
        ran("subtotal()")
        return sum(self.line_total(item) for item in self.lines)

    @quarrined(dependencies=["subtotal"])
    def tax(self) -> float:
        ran("tax()")
        return round(self.subtotal() * self.tax_rate, 2)

    @quarrined(dependencies=["subtotal", "tax"])
    def total(self) -> float:
        ran("total()")
        return self.subtotal() + self.tax()


class Quote(QuarrineBase):
    """The same model with the dependencies read from the source."""

    def __init__(self, hours: float, rate: float) -> None:
        self.hours = hours
        self.rate = rate

    @automagically_quarrined(serialisable=True)
    def labour(self) -> float:
        ran("labour()")
        return self.hours * self.rate

    @automagically_quarrined(serialisable=True)
    def materials(self) -> float:
        ran("materials()")
        return 120.0

    @automagically_quarrined(serialisable=True)
    def total(self) -> float:
        ran("total()")
        return self.labour() + self.materials()


def step(title: str, action) -> None:
    RAN.clear()
    value = action()
    served = "served from the cache" if not RAN else "ran: " + ", ".join(RAN)
    print(f"  {title:<42} -> {value!r:<10} {served}")


def show(model: QuarrineBase) -> None:
    print("  dependency graph (value -> what was computed from it):")
    for line in pprint.pformat(model.get_dependency_graph(), width=100).splitlines():
        print("    " + line)
    print("  validation states:")
    for line in pprint.pformat(model.get_validation_state(), width=100).splitlines():
        print("    " + line)


def main() -> None:
    print("Invoice (declared dependencies and run-time recording)")
    invoice = Invoice({"widget": (3, 2.5), "gadget": (1, 10.0)}, tax_rate=0.2)
    step("invoice.total()", invoice.total)
    step("invoice.total() again", invoice.total)
    step("invoice.line_total('widget')", lambda: invoice.line_total("widget"))
    show(invoice)

    print("\n  update_cached_value('unit_price', 3.0, item='widget')")
    invoice.update_cached_value("unit_price", 3.0, item="widget")
    show(invoice)
    step("invoice.total()", invoice.total)
    step("invoice.line_total('gadget')", lambda: invoice.line_total("gadget"))

    print("\nQuote (dependencies found in the source by automagically_quarrined)")
    quote = Quote(hours=4, rate=50.0)
    step("quote.total()", quote.total)
    step("quote.total() again", quote.total)
    quote.update_cached_value("materials", 80.0)
    step("after update_cached_value('materials', 80.0)", quote.total)
    show(quote)

    print("\nDump to JSON and warm start")
    path = Path(tempfile.gettempdir()) / "quarrine-demo-quote.json"
    path.write_text(json.dumps(quote.dump_cache(order=["total"])))
    print(f"  wrote {path}: {path.read_text()}")
    fresh = Quote(hours=4, rate=50.0)
    RAN.clear()
    fresh.load_cache(json.loads(path.read_text()))
    print(f"  load_cache ran each method once to register it: {', '.join(sorted(RAN))}")
    step("fresh.total()", fresh.total)
    step("fresh.materials()", fresh.materials)


if __name__ == "__main__":
    main()
