"""Run a model's what-if scenarios in parallel, one worker process each.

A QuarrineBase instance pickles like any other object: the copy carries the
instance's own attributes and starts with an empty cache of its own. So
concurrent.futures.ProcessPoolExecutor can ship the model to worker
processes, where each scenario overrides a few inputs with
update_cached_value and reads the results; only what depends on an
overridden input is recomputed there. Any engine that pickles objects to
send them to workers (multiprocessing, dask, ray) works the same way.

Run it with `python examples/parallel_what_if.py`.
"""

from __future__ import annotations

import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor
from typing import Any

from quarrine import QuarrineBase, quarrined

tracked = quarrined(track_runtime_dependencies=True)


class Plant(QuarrineBase):
    """A year of a production plant: demand and prices in, margin out."""

    def __init__(self, demand: float, price: float, unit_cost: float, fixed_cost: float) -> None:
        self.inputs = {"demand": demand, "price": price, "unit_cost": unit_cost,
                       "fixed_cost": fixed_cost}
        self.ran: list[str] = []  # which cached methods ran, in this process

    def _ran(self, name: str, value: float) -> float:
        self.ran.append(name)
        return value

    @tracked
    def demand(self) -> float:
        return self._ran("demand", self.inputs["demand"])

    @tracked
    def price(self) -> float:
        return self._ran("price", self.inputs["price"])

    @tracked
    def unit_cost(self) -> float:
        return self._ran("unit_cost", self.inputs["unit_cost"])

    @tracked
    def fixed_cost(self) -> float:
        return self._ran("fixed_cost", self.inputs["fixed_cost"])

    @tracked
    def revenue(self) -> float:
        return self._ran("revenue", self.demand() * self.price())

    @tracked
    def cost(self) -> float:
        return self._ran("cost", self.demand() * self.unit_cost() + self.fixed_cost())

    @tracked
    def margin(self) -> float:
        return self._ran("margin", self.revenue() - self.cost())


SCENARIOS: dict[str, dict[str, float]] = {
    "base": {},
    "price -5%": {"price": 19.0},
    "demand +10%": {"demand": 11_000.0},
    "cheaper parts": {"unit_cost": 11.0},
    "new lease": {"fixed_cost": 90_000.0},
}


def run_scenario(plant: Plant, overrides: dict[str, float]) -> dict[str, Any]:
    """In a worker: the base margin, then the margin with the scenario's inputs."""
    arrived_empty = plant.get_cached_values() == {}
    base = plant.margin()
    plant.ran.clear()
    for method, value in overrides.items():
        plant.update_cached_value(method, value)
    return {"pid": os.getpid(), "arrived_empty": arrived_empty, "base": base,
            "margin": plant.margin(), "recomputed": list(plant.ran)}


def main() -> None:
    plant = Plant(demand=10_000.0, price=20.0, unit_cost=12.0, fixed_cost=60_000.0)
    print(f"margin here: {plant.margin():,.0f}, cached here: {len(plant.get_cached_values())} results")
    # spawn: each worker is a fresh interpreter that receives the model by pickle
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        futures = {name: pool.submit(run_scenario, plant, overrides)
                   for name, overrides in SCENARIOS.items()}
        results = {name: future.result() for name, future in futures.items()}
    for name, result in results.items():
        recomputed = ", ".join(result["recomputed"]) or "nothing"
        print(f"{name:<14} margin {result['margin']:>9,.0f}   recomputed: {recomputed}")
    workers = {result["pid"] for result in results.values()} - {os.getpid()}
    print(f"ran in {len(workers)} worker process(es); every copy arrived with an empty cache: "
          f"{all(result['arrived_empty'] for result in results.values())}")
    print(f"the model here kept its cache: {len(plant.get_cached_values())} results")


if __name__ == "__main__":
    main()
