"""The performance report: apply_gates on single rows and on batches beside simulator peers and
this machine's limits, sample_topp beside NumPy and PyTorch, and the cost of the smallest calls,
then the figures the performance targets are judged on, each beside its peer or limit.
Prints one table, writes it to results/report.txt and draws results/report.png.

Limits, measured in this run: the copy bandwidth (numpy.copyto of 256 MiB, read plus write) for
rows too long for the caches, and for cache-resident batches the plain scalar kernel, timed by
the kernel timing program (bench/gate_timing, built by CMake against the core library; the
module itself always runs the widest kernel the CPU has). Bandwidth counts 16 bytes per
amplitude per gate.

Each engine runs in a child interpreter of its own (orchestration.py), with the same number of
threads as the module's workers and idle OpenMP threads asleep, and is timed at its own entry
(peers.py). Every peer result is compared with the module's on the same start state and gates; a
peer whose result differs by more than single-precision rounding is marked and its time is not
used.
"""

import json
import os
import statistics
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

# Set before any OpenMP runtime starts in this process (PyTorch's, in the sampling comparison).
os.environ.setdefault("OMP_WAIT_POLICY", "passive")

import numpy as np  # noqa: E402

import machine  # noqa: E402
import report  # noqa: E402
from circuits import BATCH_CASES, BATCH_LAYERS, HADAMARD, SCALING_NS, build_case  # noqa: E402
from native_timing import build_kernel_timing, kernel_timings  # noqa: E402
from orchestration import (BATCH_REPEATS, child_environment, measure_engines,  # noqa: E402
                           run_json_child)
from peers import ENGINES  # noqa: E402
from timing import median_per_call_us, median_seconds, median_us  # noqa: E402

OUT_DIR = Path(__file__).resolve().parent / "results"
# The measured figures as JSON, so that the text and plot can be made again without measuring.
FIGURES_JSON = Path(__file__).resolve().parent.parent / "build" / "bench" / "report_figures.json"
C64 = np.complex64
ARGMAX_SIZES = (128_000, 256_000)
SLEEP_PAUSE = 0.5  # seconds before each call: the idle workers are asleep by then
SLEEP_CALLS = 11
COPY_SECONDS = 3.0
SCALING_ROUNDS = 25
SCALING_CALLS = 7


def serial_copy(seconds):
    """Child: the serial n=14 layered case over and over for `seconds`; prints its rate in
    amplitude-gate updates per second."""
    import qelt_native

    psi, gates, _ = build_case(1, 14, "layers")
    qelt_native.apply_gates(psi, gates)
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        qelt_native.apply_gates(psi, gates)
        calls += 1
    print(json.dumps(calls * len(gates) * (1 << 14) / (time.perf_counter() - start)))


def interleaved_scaling():
    """Child: the layered cases of the in-row table taken in turn, SCALING_CALLS calls of each
    per round, so that a burst of load from elsewhere on the machine falls on every size alike;
    prints per size the gate count and the median over rounds of each round's median time."""
    import qelt_native

    cases = {n: build_case(1, n, "layers")[:2] for n in SCALING_NS}
    times = {n: [] for n in SCALING_NS}
    for psi, gates in cases.values():
        qelt_native.apply_gates(psi, gates)
    for _ in range(SCALING_ROUNDS):
        for n, (psi, gates) in cases.items():
            times[n].append(
                median_seconds(lambda: qelt_native.apply_gates(psi, gates), SCALING_CALLS))
    print(json.dumps({n: [len(cases[n][1]), statistics.median(t)] for n, t in times.items()}))


def two_copy_ceiling():
    """The serial n=14 layered case in one process alone, then in two processes at once. The
    two copies' combined rate over one copy's rate alone is the most two workers can give on
    this machine: two CPUs that share a physical core or its power budget give less than 2."""
    from concurrent.futures import ThreadPoolExecutor

    def run(copies):
        with ThreadPoolExecutor(copies) as pool:
            return sum(pool.map(lambda _: run_json_child([__file__, "--copy", str(COPY_SECONDS)]),
                                range(copies)))

    alone = run(1)
    return alone, run(2)


def smallest_calls():
    import qelt_native

    serial = np.ones((1, 4), C64)
    parallel = np.ones((2, 4), C64)
    logits = np.random.default_rng(5).standard_normal(16).astype(np.float32)
    a, b, c = (np.ones(4, np.float32) for _ in range(3))
    gate = [([0], HADAMARD)]
    ufunc = median_per_call_us(lambda: np.add(a, b, out=c), 20000)
    return ufunc, [
        ("apply_gates (1, 4), one gate (serial)", median_per_call_us(
            lambda: qelt_native.apply_gates(serial, gate), 20000)),
        ("apply_gates (2, 4), one gate (pool)", median_per_call_us(
            lambda: qelt_native.apply_gates(parallel, gate), 2000)),
        ("sample_topp, 16 logits", median_per_call_us(
            lambda: qelt_native.sample_topp(logits, 0.8, 0.9, 0, 3), 20000)),
    ]


def pool_call_after_sleep():
    """The smallest pool call made after the workers have had time to fall asleep: median of
    single calls, each after a pause of SLEEP_PAUSE seconds."""
    import qelt_native

    parallel = np.ones((2, 4), C64)
    gate = [([0], HADAMARD)]
    qelt_native.apply_gates(parallel, gate)  # the pool exists
    times = []
    for _ in range(SLEEP_CALLS):
        time.sleep(SLEEP_PAUSE)
        start = time.perf_counter()
        qelt_native.apply_gates(parallel, gate)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def argmax_calls():
    """sample_topp at temperature 0 beside numpy.argmax on the same contiguous float32 logits:
    (V, qelt us, numpy us, same index)."""
    import qelt_native

    data = np.random.default_rng(77)
    rows = []
    for size in ARGMAX_SIZES:
        logits = data.standard_normal(size).astype(np.float32)
        same = qelt_native.sample_topp(logits, 0.0, 1.0) == int(np.argmax(logits))
        native = median_per_call_us(lambda: qelt_native.sample_topp(logits, 0.0, 1.0), 400)
        peer = median_per_call_us(lambda: np.argmax(logits), 400)
        rows.append((size, native, peer, same))
    return rows


def sampling(threads):
    import qelt_native
    from bench_sample import SETTINGS, numpy_sample, torch, torch_sample

    if torch is not None:
        torch.set_num_threads(threads)
    rows = []
    data = np.random.default_rng(2024)
    for size in (32_000, 128_000, 256_000):
        logits = (data.standard_normal(size) * 2.0).astype(np.float32)
        logits_t = torch.from_numpy(logits) if torch is not None else None
        for label, temperature, top_p, top_k in SETTINGS[:2]:
            seeds = iter(range(10**9))
            native = median_us(
                lambda: qelt_native.sample_topp(logits, temperature, top_p, top_k, next(seeds)), 21)
            rng = np.random.default_rng(1)
            peer = median_us(lambda: numpy_sample(logits, temperature, top_p, top_k, rng), 7)
            peer_t = None
            if torch is not None:
                generator = torch.Generator().manual_seed(1)
                peer_t = median_us(
                    lambda: torch_sample(logits_t, temperature, top_p, top_k, generator), 7)
            rows.append((size, label, native, peer, peer_t))
    torch_text = f"torch {torch.__version__}, {threads} threads" if torch else "no torch"
    return rows, torch_text


def measure_kernels():
    program, reason = build_kernel_timing()
    kernels = {}
    if program is not None:
        for label, batch, n, _ in BATCH_CASES:
            try:
                kernels[label] = kernel_timings(program, batch, n, BATCH_LAYERS, BATCH_REPEATS)
            except (OSError, ValueError) as e:
                reason = f"timing program failed: {e}"
    return kernels, reason


def main():
    import qelt_native

    run_start = time.perf_counter()
    threads, _ = machine.worker_count()
    header = [f"date: {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC"] + machine.describe(
        "peers get as many threads", f"qelt_native {qelt_native.__version__}")
    print("\n".join(header), flush=True)
    copy_bw = machine.copy_bandwidth()
    header.append(f"copy bandwidth (numpy.copyto, 256 MiB, read + write): {copy_bw / 1e9:.2f} GB/s")
    print(header[-1], flush=True)

    results, missing = measure_engines(ENGINES, threads, lambda s: print(s, flush=True))
    # The in-row scaling and the machine's two-copy ceiling, while nothing else of this run
    # holds threads.
    scaling = run_json_child([__file__, "--scaling"], child_environment())
    ceiling = two_copy_ceiling()
    print("  in-row scaling and the two-copy ceiling measured", flush=True)
    kernels, kernel_reason = measure_kernels()
    if kernels:
        active = next(iter(kernels.values()))["active"]
        header.append(f"kernel in use (kernel timing program): {active}")
    # The smallest calls before the sampling comparison: PyTorch's threads, once started in
    # this process, may keep spinning for a while after each of its calls.
    ufunc, small = smallest_calls()
    argmax = argmax_calls()
    asleep = pool_call_after_sleep()
    sample_rows, torch_text = sampling(threads)

    figures = report.Figures(
        results=results, missing=missing, copy_bw=copy_bw, scaling=scaling, ceiling=ceiling,
        kernels=kernels, kernel_reason=kernel_reason, ufunc=ufunc, small=small, argmax=argmax,
        asleep=asleep, sample_rows=sample_rows, torch_text=torch_text, workers=threads,
        scaling_calls=SCALING_CALLS, scaling_rounds=SCALING_ROUNDS, sleep_pause=SLEEP_PAUSE,
        sleep_calls=SLEEP_CALLS)
    FIGURES_JSON.parent.mkdir(parents=True, exist_ok=True)
    FIGURES_JSON.write_text(json.dumps(dict(figures.__dict__, header=header)))
    body, plot_rows = report.text(figures)
    body += [f"load average at end: {machine.load_average()}",
             f"report run time: {time.perf_counter() - run_start:.0f} s"]
    print("\n".join(body))
    OUT_DIR.mkdir(exist_ok=True)
    (OUT_DIR / "report.txt").write_text("\n".join(header + body) + "\n")
    report.draw(OUT_DIR / "report.png", plot_rows, figures, " | ".join(header[1:5]))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--copy":
        serial_copy(float(sys.argv[2]))
    elif len(sys.argv) == 2 and sys.argv[1] == "--scaling":
        interleaved_scaling()
    else:
        main()
