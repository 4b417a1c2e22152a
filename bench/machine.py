"""The machine a benchmark ran on, as every script prints it: CPU model, the instruction set of
the gate kernels the module picks on it, the worker count and the load. Imports neither the
module nor any peer."""

import os
import platform

import numpy as np


def cpu_info():
    """The CPU model and its feature flags (x86 "flags", aarch64 "Features"), from the first
    processor entry of /proc/cpuinfo."""
    model, flags = None, set()
    try:
        with open("/proc/cpuinfo") as f:
            first = f.read().split("\n\n")[0]
    except OSError:
        first = ""
    for line in first.splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "model name":
            model = value.strip()
        elif key.strip() in ("flags", "Features"):
            flags = set(value.split())
    return model or platform.processor() or f"{platform.machine()} CPU", flags


def instruction_set(flags=None):
    """The widest gate-kernel variant the module runs on this CPU: "avx512f", "avx2" or "sse2"
    on x86-64, "neon" on aarch64 (Advanced SIMD is part of every aarch64 processor), else
    "scalar"."""
    machine = platform.machine()
    if machine in ("aarch64", "arm64"):
        return "neon"
    if machine in ("x86_64", "AMD64", "amd64"):
        flags = cpu_info()[1] if flags is None else flags
        return "avx512f" if "avx512f" in flags else "avx2" if "avx2" in flags else "sse2"
    return "scalar"


def worker_count():
    """The module's worker count and where it comes from: RAYON_NUM_THREADS or
    RAYON_RS_NUM_CPUS when set, else the CPUs of the affinity mask."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(name, "")
        if value.isdigit() and int(value) > 0:
            return int(value), f"{name}={value}"
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return usable, f"the usable CPUs of the affinity mask, {os.cpu_count()} online"


def copy_bandwidth(nbytes=256 << 20):
    """This machine's copy bandwidth in bytes per second: numpy.copyto of `nbytes`, counted as
    read plus write (median of 7 copies)."""
    from timing import median_seconds

    src = np.ones(nbytes // 8, dtype=np.complex64)
    dst = np.empty_like(src)
    np.copyto(dst, src)
    return 2 * nbytes / median_seconds(lambda: np.copyto(dst, src), 7)


def load_average():
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def describe(workers_note=None, versions=""):
    """The header lines: machine and CPU, instruction set, workers, load at start, versions."""
    model, flags = cpu_info()
    workers, source = worker_count()
    lines = [
        f"machine: {platform.node()} {platform.machine()}, {model}, {os.cpu_count()} CPUs online",
        f"instruction set: {instruction_set(flags)} (the widest gate-kernel variant of this CPU,"
        " chosen at run time)",
        f"workers: {workers} ({source})" + (f"; {workers_note}" if workers_note else ""),
        f"load average at start: {load_average()}",
        f"python {platform.python_version()}, numpy {np.__version__}" + (
            f", {versions}" if versions else ""),
    ]
    return lines


if __name__ == "__main__":
    print("\n".join(describe()))
