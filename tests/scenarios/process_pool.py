"""An instance is sent to a ProcessPoolExecutor worker (spawn start method),
computes its cached method there, and the result comes back; then a bound
cached method is mapped over the pool's workers. Run as
`python process_pool.py`; prints the workers' findings as JSON."""

import json
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

from models import Point, compute_in_worker

if __name__ == "__main__":
    point = Point(3, 4)
    point.norm()
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        arrived_with, norm, after = pool.submit(compute_in_worker, point).result(timeout=120)
        mapped = list(pool.map(point.scaled, range(4), timeout=120))
    print(json.dumps({"arrived with": arrived_with, "norm": norm, "after": after,
                      "original": point.get_cached_values(), "mapped": mapped}))
