"""A small data pipeline whose results survive the process, kept in SQLite.

load -> clean -> features -> summary are serialisable cached methods. The
cold run computes them, dumps the results with dump_cache and writes them to
one SQLite table (method name -> JSON text). It then starts this program
again as a new process with --warm, which reads the table back into a fresh
pipeline with load_cache, and shows that afterwards nothing recomputes and
that the dependency graph came back with the results.

Run it with `python examples/pipeline_warm_start.py [DATABASE]`; without a
path the database lives in a temporary directory for the length of the run.
"""

from __future__ import annotations

import csv
import io
import json
import sqlite3
import subprocess
import sys
import tempfile
from contextlib import closing
from pathlib import Path
from typing import Any

from quarrine import QuarrineBase, automagically_quarrined

RAW_CSV = """order_id,region,amount
1,north,120.50
2,South,80.00
3,north,
4,east,200.25
5,south,45.75
6,EAST,99.99
7,north,15.00
"""


class SalesPipeline(QuarrineBase):
    """Each step names the one before it as self.<step>(), which
    automagically_quarrined reads from the source as its dependency."""

    def __init__(self, raw_csv: str) -> None:
        self.raw_csv = raw_csv
        self.ran: list[str] = []

    @automagically_quarrined(serialisable=True)
    def load(self) -> list[dict[str, str]]:
        self.ran.append("load")
        return list(csv.DictReader(io.StringIO(self.raw_csv)))

    @automagically_quarrined(serialisable=True)
    def clean(self) -> list[dict[str, Any]]:
        self.ran.append("clean")
        return [
            {"region": row["region"].strip().lower(), "amount": float(row["amount"])}
            for row in self.load()
            if row["amount"].strip()  # drop orders without an amount
        ]

    @automagically_quarrined(serialisable=True)
    def features(self) -> dict[str, dict[str, float]]:
        self.ran.append("features")
        by_region: dict[str, dict[str, float]] = {}
        for row in self.clean():
            stats = by_region.setdefault(row["region"], {"orders": 0, "revenue": 0.0})
            stats["orders"] += 1
            stats["revenue"] = round(stats["revenue"] + row["amount"], 2)
        return by_region

    @automagically_quarrined(serialisable=True)
    def summary(self) -> dict[str, Any]:
        self.ran.append("summary")
        features = self.features()
        return {
            "revenue": round(sum(f["revenue"] for f in features.values()), 2),
            "top_region": max(features, key=lambda region: features[region]["revenue"]),
        }


# The store: one table, method name -> JSON text of its result.
def save(db: Path, dump: dict[str, Any]) -> None:
    with closing(sqlite3.connect(db)) as conn, conn:  # the inner `conn` commits
        conn.execute("CREATE TABLE IF NOT EXISTS cache (method TEXT PRIMARY KEY, value TEXT NOT NULL)")
        conn.executemany(
            "INSERT OR REPLACE INTO cache (method, value) VALUES (?, ?)",
            [(name, json.dumps(value)) for name, value in dump.items()],
        )


def read(db: Path) -> dict[str, Any]:
    with closing(sqlite3.connect(db)) as conn:
        return {name: json.loads(value) for name, value in conn.execute("SELECT method, value FROM cache")}


def cold(db: Path) -> int:
    pipeline = SalesPipeline(RAW_CSV)
    print(f"cold run: summary() = {pipeline.summary()}")
    print(f"  computed: {', '.join(pipeline.ran)}")
    save(db, pipeline.dump_cache())
    print(f"  dump_cache() -> {len(read(db))} rows in table 'cache' of {db}")
    sys.stdout.flush()  # keep our lines ahead of the child's
    # A warm start in a new process, which knows nothing but the database.
    return subprocess.run([sys.executable, __file__, "--warm", str(db)]).returncode


def warm(db: Path) -> int:
    stored = read(db)
    pipeline = SalesPipeline(RAW_CSV)
    # load_cache calls each method once to register its call (and its
    # dependencies) in the new instance, then replaces the result with the
    # stored value. On a fresh instance each method therefore runs once here;
    # what the store brings back is the results as they were dumped.
    pipeline.load_cache(stored)
    print(f"warm run (new process): load_cache ran each method once: {', '.join(sorted(pipeline.ran))}")

    pipeline.ran.clear()
    summary = pipeline.summary()
    print(f"  summary() = {summary}")
    print(f"  after load_cache: recomputed {', '.join(pipeline.ran) or 'nothing'}")
    print(f"  summary() is the object read from the database: {summary is stored['summary']}")
    states = pipeline.get_validation_state()
    print(f"  states: {', '.join(f'{name}={state}' for name, state in sorted(states.items()))}")

    # The graph came back too: a late correction to the raw data invalidates
    # everything downstream of it.
    edges = sorted(f"{p} -> {c}" for p, children in pipeline.get_dependency_graph().items() for c in children)
    print(f"  dependency graph: {', '.join(edges)}")
    late = pipeline.load() + [{"order_id": "8", "region": "south", "amount": "300.00"}]
    pipeline.update_cached_value("load", late)
    pipeline.ran.clear()
    print(f"  late order added with update_cached_value('load', ...): summary() = {pipeline.summary()}")
    print(f"  recomputed: {', '.join(pipeline.ran)}")
    return 0


def main(argv: list[str]) -> int:
    if argv[:1] == ["--warm"]:
        return warm(Path(argv[1]))
    if argv:
        return cold(Path(argv[0]))
    with tempfile.TemporaryDirectory() as tmp:
        return cold(Path(tmp) / "pipeline-cache.sqlite")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
