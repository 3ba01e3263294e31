"""The programs in examples/ run as a user would run them, and say what they should."""

import json
import os
import shutil
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(script: str, *args: str, env: dict[str, str] | None = None) -> str:
    """Run an example with this interpreter; fail unless it exits 0; return its stdout, unwrapped."""
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), *args],
                          capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, f"{script} exited {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout.replace("\n      ", " ")  # join lines that the examples wrap


def test_demo_serves_repeats_and_the_warm_start_from_the_cache():
    out = run("demo.py")
    assert "invoice.total() again                      -> 21.0       served from the cache" in out
    assert "invoice.total()                            -> 22.8       ran: total(), subtotal(), line_total('widget'), tax()" in out
    assert "fresh.total()                              -> 280.0      served from the cache" in out


def test_pricing_what_if_recomputes_only_what_used_the_bumped_quote():
    out = run("pricing_model.py")
    base, asked_again, bumped, restored, cleared = out.split("recomputed (")[1:]
    assert base.startswith("18):") and asked_again.startswith("0): nothing")
    touched = "price, discount_factor(t=3.5), discount_factor(t=4.0), discount_factor(t=4.5), discount_factor(t=5.0), duration, dv01"
    assert bumped.startswith(f"7): {touched}\n") and restored.startswith(f"7): {touched}\n")
    assert "stale now: discount_factor(t=3.5), discount_factor(t=4.0), discount_factor(t=4.5), discount_factor(t=5.0), duration, dv01, price\n" in out
    assert "5y +1bp: price=103.0904" in out and "price back to base: yes" in out
    assert "stored results: 0, states: invalid" in out and cleared.startswith("18):")


def test_pipeline_warm_start_in_a_new_process_recomputes_nothing(tmp_path):
    db = tmp_path / "cache.sqlite"
    out = run("pipeline_warm_start.py", str(db))
    cold, warm = out.split("warm run (new process): ")
    assert "computed: summary, features, clean, load\n" in cold
    assert warm.startswith("load_cache ran each method once: clean, features, load, summary\n")
    assert "after load_cache: recomputed nothing\n" in warm
    assert "summary() is the object read from the database: True\n" in warm
    assert "dependency graph: clean -> features, features -> summary, load -> clean\n" in warm
    assert warm.endswith("recomputed: summary, features, clean\n")
    with sqlite3.connect(db) as conn:
        rows = dict(conn.execute("SELECT method, value FROM cache"))
    assert sorted(rows) == ["clean", "features", "load", "summary"]
    assert json.loads(rows["summary"]) == {"revenue": 561.49, "top_region": "east"}


@pytest.mark.parametrize("with_dot", [True, False], ids=["with-dot", "without-dot"])
def test_graph_to_dot_colours_nodes_by_state(tmp_path, with_dot):
    if with_dot and shutil.which("dot") is None:
        pytest.skip("Graphviz 'dot' is not installed")
    env = None if with_dot else {**os.environ, "PATH": str(tmp_path)}  # a PATH without dot
    out = run("graph_to_dot.py", str(tmp_path / "plan.dot"), env=env)
    assert "  invalid              materials_cost\n" in out
    assert "  permanently invalid  labour_cost, labour_rate, total_cost\n" in out
    dot = (tmp_path / "plan.dot").read_text()
    assert dot.startswith("digraph quarrine {") and dot.rstrip().endswith("}")
    assert '[label="area(height=2, width=3)\\nvalid", fillcolor="#b7e4c7"]' in dot
    assert '[label="materials_cost\\ninvalid", fillcolor="#ffe08a"]' in dot
    assert '[label="total_cost\\npermanently invalid", fillcolor="#f4a6a6"]' in dot
    assert dot.count(" -> ") == 9
    png = tmp_path / "plan.png"
    if with_dot:
        assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    else:
        assert "'dot' is not installed" in out and not png.exists()


def test_parallel_what_if_computes_each_scenario_in_a_worker():
    out = run("parallel_what_if.py")
    assert "price -5%      margin    10,000   recomputed: revenue, margin\n" in out
    assert "demand +10%    margin    28,000   recomputed: revenue, cost, margin\n" in out
    assert "every copy arrived with an empty cache: True\n" in out
    assert "the model here kept its cache: 7 results\n" in out


def test_async_report_fetches_each_page_once_and_recomputes_after_a_refresh():
    out = run("async_report.py")
    assert "three reports at once: 6 sales, 334.90 in all\n" in out
    assert out.count("requests made: [1, 2, 3]\n") == 3  # never fetched again
    assert "after page 2 was refreshed: 6 sales, 735.00 in all\n" in out
