"""Draw a model's dependency graph with Graphviz, coloured by validation state.

A renovation estimate is computed, one input is then changed by hand, and
the graph (get_dependency_graph) and the states (get_validation_state) are
written as a DOT file: an arrow runs from a result to each result computed
from it, which is also the way an invalidation travels. Where Graphviz's
`dot` program is installed a PNG is rendered next to the DOT file.

Run it with `python examples/graph_to_dot.py [OUTPUT.dot]`; without a path
the files go to a new temporary directory.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

from quarrine import QuarrineBase, automagically_quarrined, quarrined

COLOURS = {"valid": "#b7e4c7", "invalid": "#ffe08a", "permanently invalid": "#f4a6a6"}


class Renovation(QuarrineBase):
    rooms = {"kitchen": (3, 2), "living room": (5, 4), "bedroom": (4, 3)}  # width, height in metres

    @quarrined(track_runtime_dependencies=True)
    def area(self, width: float, height: float) -> float:
        return width * height

    @quarrined(track_runtime_dependencies=True)
    def floor_area(self) -> float:
        return sum(self.area(width, height) for width, height in self.rooms.values())

    @quarrined()
    def tile_price(self) -> float:  # per square metre
        return 24.0

    @quarrined(use_cache=False)
    def labour_rate(self) -> float:
        # A live quote, never cached: everything computed from it is never
        # served from the cache either ("permanently invalid").
        return 35.0

    @quarrined(dependencies=["floor_area", "tile_price"])
    def materials_cost(self) -> float:
        return self.floor_area() * self.tile_price() * 1.1  # 10% waste

    @quarrined(dependencies=["floor_area", "labour_rate"])
    def labour_cost(self) -> float:
        return self.floor_area() * self.labour_rate()

    @automagically_quarrined()
    def total_cost(self) -> float:
        return self.materials_cost() + self.labour_cost()


def label(report_key: Any) -> str:
    """'total_cost' stays as it is; ('area', (('height', 2), ('width', 3))) -> 'area(height=2, width=3)'."""
    if isinstance(report_key, str):
        return report_key
    name, items = report_key
    return f"{name}({', '.join(f'{k}={v!r}' for k, v in items)})"


def escape(text: str) -> str:
    """Make text safe inside a double-quoted DOT string."""
    return text.replace("\\", "\\\\").replace('"', '\\"')


def to_dot(model: QuarrineBase) -> str:
    graph = model.get_dependency_graph()   # report key -> set of keys computed from it
    states = model.get_validation_state()  # report key -> "valid" / "invalid" / ...
    ids = {key: f"n{i}" for i, key in enumerate(sorted(graph, key=label))}
    lines = [
        "digraph quarrine {",
        '  rankdir=LR; fontname="Helvetica";',
        '  labelloc=t; label="Each arrow runs from a result to a result computed from it";',
        '  node [shape=box, style="rounded,filled", fontname="Helvetica"];',
    ]
    for key, node_id in ids.items():
        state = states[key]
        # "\n" (backslash, n) is DOT's line break inside a label.
        text = f"{escape(label(key))}\\n{state}"
        lines.append(f'  {node_id} [label="{text}", fillcolor="{COLOURS[state]}"];')
    for key, node_id in ids.items():
        for child in sorted(graph[key], key=label):
            lines.append(f"  {node_id} -> {ids[child]};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    dot_path = Path(argv[0]) if argv else Path(tempfile.mkdtemp()) / "renovation.dot"

    job = Renovation()
    print(f"total_cost() = {job.total_cost():.2f}")
    job.update_cached_value("tile_price", 27.5)  # a new tile: its dependants are stale
    print("update_cached_value('tile_price', 27.5)")

    states = job.get_validation_state()
    for state in COLOURS:
        names = sorted(label(key) for key, s in states.items() if s == state)
        print(f"  {state:<20} {', '.join(names) or '-'}")

    dot_path.parent.mkdir(parents=True, exist_ok=True)
    dot_path.write_text(to_dot(job))
    print(f"wrote {dot_path}")

    dot = shutil.which("dot")
    if dot is None:
        print("Graphviz 'dot' is not installed: no PNG rendered (the DOT file opens in any Graphviz viewer)")
        return 0
    png_path = dot_path.with_suffix(".png")
    subprocess.run([dot, "-Tpng", str(dot_path), "-o", str(png_path)], check=True)
    print(f"rendered {png_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
