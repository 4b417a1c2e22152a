"""Child processes of the benchmarks: each engine, worker count or build is timed in an
interpreter of its own, so that no thread pool spins beside another's timing, and prints its
figures as JSON lines for the parent.

Every child runs with OMP_WAIT_POLICY=passive (idle OpenMP threads sleep instead of spinning on
every core after a run) and with the BLAS held to one thread.

    python bench/orchestration.py --engine ENGINE THREADS   # one engine on the report's cases
"""

import json
import math
import os
import statistics
import subprocess
import sys
import time

import numpy as np

from circuits import (BATCH_CASES, EXTRA_LAYER_CASES, ROW_CASES, build_case, layer_gate_count,
                      row_gates)
from timing import timed_samples

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD_TIMEOUT = 420
REPEATS = 3
BATCH_REPEATS = 5
RELATIVE_TOLERANCE = 1e-4  # 2-norm of the difference over the 2-norm of the module's result
# The module and its judged peer are timed in PAIRED_ROUNDS alternating rounds of children.
PAIRED_ENGINES = ["qelt_native", "qsim"]
PAIRED_ROUNDS = 3
# Peers run the batch rows one after another; they are timed on the first rows only and the time
# per row is scaled to the whole batch (scaluq's batched engine takes every row in one call).
# NumPy is timed on every k-th gate of long lists.
PEER_ROWS = {4096: 64, 256: 16}
WHOLE_BATCH_ENGINES = {"scaluq"}
NUMPY_AMPLITUDE_GATES = 1 << 27
# On the longest rows the peers run the first PEER_LAYERS layers of the layered circuit; qsim
# runs the whole layered circuit at every size: its figure at n = 24 is a judged one.
PEER_SHORT_LAYERS_FROM = 22
PEER_LAYERS = 2
FULL_LAYER_ENGINES = {"qsim"}


def child_environment(threads=1, **extra):
    """This environment for a child: OpenMP engines with `threads` threads whose idle threads
    sleep, the BLAS on one thread (a child that only builds its cases with NumPy leaves no idle
    helper threads spinning beside the timed work), and `extra`."""
    return dict(os.environ, OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1",
                OMP_NUM_THREADS=str(threads), OMP_WAIT_POLICY="passive", **extra)


def run_child(args, env=None, timeout=CHILD_TIMEOUT):
    """Runs `python args...`; returns its standard output and the reason it failed (None when
    it did not): timed out, not installed, or the last line of its error output."""
    try:
        out = subprocess.run([sys.executable, *args], env=env or child_environment(),
                             capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        stdout = e.stdout.decode() if isinstance(e.stdout, bytes) else e.stdout or ""
        return stdout, f"timed out after {timeout} s"
    if out.returncode == 0:
        return out.stdout, None
    last = [line for line in out.stderr.strip().splitlines() if line.strip()]
    reason = last[-1] if last else f"exit status {out.returncode}"
    if "ModuleNotFoundError" in reason or "ImportError" in reason:
        reason = "not installed: " + reason.split(":", 1)[-1].strip()
    return out.stdout, reason


def run_json_child(args, env=None, timeout=1800):
    """A child that must succeed and prints one JSON object: that object."""
    stdout, reason = run_child(args, env, timeout)
    if reason:
        raise RuntimeError(f"{' '.join(args)}: {reason}")
    return json.loads(stdout)


def engine_cases(engine):
    """The cases an engine is timed on: the single-row table and the batches; the module and
    qsim also the extra layered sizes."""
    return ROW_CASES + (EXTRA_LAYER_CASES if engine in PAIRED_ENGINES else []) + BATCH_CASES


def measure_engine(engine, threads):
    """Child: times one engine on every case; prints one JSON object per case."""
    import qelt_native

    from peers import peer_prepare

    prepare = None if engine == "qelt_native" else peer_prepare(engine, threads)
    for label, batch, n, kind in engine_cases(engine):
        psi, gates, names = build_case(batch, n, kind)
        record = {"case": label, "engine": engine, "gates": len(gates), "rows": batch}
        if prepare is None:
            work = psi.copy()
            repeats = BATCH_REPEATS if kind == "batch" else REPEATS
            _, times = timed_samples(lambda: qelt_native.apply_gates(work, gates), repeats)
            record["seconds"] = statistics.median(times)
            print(json.dumps(record), flush=True)
            continue
        rows = batch if engine in WHOLE_BATCH_ENGINES else min(batch, PEER_ROWS.get(batch, batch))
        chosen = range(len(gates))
        if (kind == "layers" and n >= PEER_SHORT_LAYERS_FROM
                and engine not in FULL_LAYER_ENGINES):
            chosen = range(layer_gate_count(n, PEER_LAYERS))
        if engine == "numpy":
            step = max(1, math.ceil(len(gates) * (rows << n) / NUMPY_AMPLITUDE_GATES))
            chosen = chosen[::step]
        subset = [gates[i] for i in chosen]
        # The module's result on the same rows and gates is the check.
        expected = psi[:rows].copy()
        qelt_native.apply_gates(expected, [(b, m[:rows] if m.ndim == 3 else m) for b, m in subset])
        lists = [row_gates(subset, r) for r in range(rows)]
        row_names = [(names[i][0], None if names[i][1] is None else names[i][1][:rows])
                     for i in chosen]
        result, times = timed_samples(prepare(psi[:rows], lists, row_names), REPEATS)
        _, empty = timed_samples(prepare(psi[:rows], [[] for _ in range(rows)], []), REPEATS)
        diff = np.linalg.norm(result - expected) / np.linalg.norm(expected)
        if np.linalg.norm(expected - psi[:rows]) < 0.1 * np.linalg.norm(expected):
            diff = math.inf  # the gates barely moved the state: the check would prove nothing
        full = statistics.median(times)
        seconds = full - (0.0 if engine == "numpy" else statistics.median(empty))
        # Most of the run spent on the fixed cost: the difference is mostly noise.
        record["noisy"] = seconds < 0.2 * full
        # Scaled to the whole batch and the whole gate list.
        scale = (batch / rows) * (len(gates) / len(subset))
        record["seconds"] = max(seconds, 0.0) * scale
        record["seconds_with_fixed_cost"] = full * scale
        record["scaled"] = rows < batch or len(subset) < len(gates)
        record["relative_diff"] = float(diff)
        print(json.dumps(record), flush=True)


def run_engine(engine, threads):
    """Runs one engine's child; returns its records by case, and the reason it gave none."""
    stdout, reason = run_child([__file__, "--engine", engine, str(threads)],
                               child_environment(threads))
    records = {}
    for line in stdout.splitlines():
        if line.startswith("{"):
            record = json.loads(line)
            records[record["case"]] = record
    return records, reason


def combine_rounds(rounds, native_rounds=None):
    """One record per case measured in every round: median times, and with `native_rounds` (the
    module's rounds, taken in turn with these) the median over rounds of each round's time over
    the module's time in the same round, so that a change in the machine's load between rounds
    falls on both."""
    combined = {}
    for label in set.intersection(*(set(r) for r in rounds)) if rounds else ():
        records = [r[label] for r in rounds]
        record = dict(records[0])
        record["seconds"] = statistics.median(r["seconds"] for r in records)
        if "seconds_with_fixed_cost" in record:
            full = statistics.median(r["seconds_with_fixed_cost"] for r in records)
            record["seconds_with_fixed_cost"] = full
            record["noisy"] = record["seconds"] < 0.2 * full
            record["relative_diff"] = max(r["relative_diff"] for r in records)
        if native_rounds and all(label in r for r in native_rounds):
            for key, ratio_key in (("seconds", "ratio"), ("seconds_with_fixed_cost",
                                                           "ratio_with_fixed_cost")):
                record[ratio_key] = statistics.median(
                    r[key] / native[label]["seconds"] for r, native in zip(records, native_rounds))
        combined[label] = record
    return combined


def measure_engines(engines, threads, log=print):
    """Every engine in its own child: the paired engines in alternating rounds, the others
    once. Returns the records by engine and the reasons of engines that gave none."""
    rounds = {engine: [] for engine in PAIRED_ENGINES}
    results, missing = {}, {}
    order = [e for _ in range(PAIRED_ROUNDS) for e in PAIRED_ENGINES]
    for engine in order + [e for e in engines if e not in PAIRED_ENGINES]:
        start = time.perf_counter()
        records, reason = run_engine(engine, threads)
        if engine in rounds:
            rounds[engine].append(records)
        else:
            results[engine] = records
        if reason:
            missing[engine] = reason
        log(f"  {engine}: {len(records)} cases in {time.perf_counter() - start:.0f} s"
            + (f" ({reason})" if reason else ""))
    results["qelt_native"] = combine_rounds(rounds["qelt_native"])
    for engine in PAIRED_ENGINES[1:]:
        results[engine] = combine_rounds(rounds[engine], rounds["qelt_native"])
    return results, missing


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--engine":
        measure_engine(sys.argv[2], int(sys.argv[3]))
    else:
        raise SystemExit(__doc__)
