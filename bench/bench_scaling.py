"""Worker-pool scaling: apply_gates on 1 and 2 workers for a batch and for one long row, and the
round-trip cost of the smallest parallel call beside the same work on the serial route.

Each worker count runs in its own interpreter (RAYON_NUM_THREADS is read once per process).
Every figure is the median of several repeats measured in this run.
"""

import json
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import machine
from circuits import HADAMARD, mixed_gates
from orchestration import child_environment, run_json_child
from timing import median_seconds

WORKER_COUNTS = (1, 2)
GATES_PER_CALL = 8
REPEATS = 7
SMALL_CALLS = 2000  # calls per repeat of the smallest call
IDLE_CALLS = 200  # calls per repeat after an idle pause
IDLE_PAUSE = 0.002  # seconds: long enough for idle workers to fall asleep
CASES = [("batch 4096 x 2^10", 4096, 10), ("one row 2^22", 1, 22)]


def measure():
    """Runs in a child interpreter with RAYON_NUM_THREADS set; prints its timings as JSON."""
    import qelt_native

    rng = np.random.default_rng(7)
    results = {}
    for label, batch, n in CASES:
        psi = (rng.standard_normal((batch, 1 << n)) + 0j).astype(np.complex64)
        gates = mixed_gates(rng, n, GATES_PER_CALL)
        qelt_native.apply_gates(psi, gates)  # warm-up; starts the pool
        results[label] = median_seconds(lambda: qelt_native.apply_gates(psi, gates), REPEATS)

    one_gate = [([0], HADAMARD)]
    for route, rows in (("parallel", 2), ("serial", 1)):
        psi = np.ones((rows, 4), np.complex64)

        def back_to_back():
            for _ in range(SMALL_CALLS):
                qelt_native.apply_gates(psi, one_gate)

        results[f"{route} back-to-back"] = median_seconds(back_to_back, REPEATS) / SMALL_CALLS

        def after_idle():
            total = 0.0
            for _ in range(IDLE_CALLS):
                time.sleep(IDLE_PAUSE)
                start = time.perf_counter()
                qelt_native.apply_gates(psi, one_gate)
                total += time.perf_counter() - start
            return total / IDLE_CALLS

        results[f"{route} after idle"] = statistics.median(after_idle() for _ in range(REPEATS))
    print(json.dumps(results))


def run_with_workers(workers):
    return run_json_child([__file__, "--measure"],
                          child_environment(RAYON_NUM_THREADS=str(workers)))


def main():
    import qelt_native

    header = machine.describe(
        f"set by RAYON_NUM_THREADS below, one interpreter per worker count; median of {REPEATS}"
        " repeats", f"qelt_native {qelt_native.__version__}")
    for line in header:
        print(line)
    timings = {workers: run_with_workers(workers) for workers in WORKER_COUNTS}
    one, two = WORKER_COUNTS

    rows = ["", f"{GATES_PER_CALL} gates per call (alternating one- and two-qubit, random bits)"]
    columns = f"{'case':<20}{f'{one} worker ms':>14}{f'{two} workers ms':>16}{'speed-up':>10}"
    rows += [columns, "-" * len(columns)]
    for label, _, _ in CASES:
        t1, t2 = timings[one][label], timings[two][label]
        rows.append(f"{label:<20}{t1 * 1e3:>14.2f}{t2 * 1e3:>16.2f}{t1 / t2:>10.2f}")

    rows += ["", "smallest call: one one-qubit gate on D = 4; parallel route B = 2, serial B = 1"]
    columns = f"{'workers':<9}{'timing':<15}{'parallel us':>12}{'serial us':>11}{'ratio':>8}"
    rows += [columns, "-" * len(columns)]
    for workers in WORKER_COUNTS:
        for timing in ("back-to-back", "after idle"):
            parallel = timings[workers][f"parallel {timing}"]
            serial = timings[workers][f"serial {timing}"]
            rows.append(
                f"{workers:<9}{timing:<15}{parallel * 1e6:>12.1f}{serial * 1e6:>11.1f}"
                f"{parallel / serial:>8.1f}"
            )
    rows += [
        "",
        "speed-up: 1-worker time over 2-worker time; ratio: parallel over serial time. 'after",
        f"idle' times single calls made {IDLE_PAUSE * 1e3:.0f} ms apart, when the workers have "
        "gone to sleep.",
    ]
    for line in rows:
        print(line)

    out_dir = Path(__file__).resolve().parent / "results"
    out_dir.mkdir(exist_ok=True)
    (out_dir / "scaling.txt").write_text("\n".join(header + rows) + "\n")


if __name__ == "__main__":
    if "--measure" in sys.argv:
        measure()
    else:
        main()
