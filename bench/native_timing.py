"""The kernel timing program (bench/gate_timing/kernel_timing.cpp): built by CMake with the
project's flags against the core library (option QELT_BUILD_GATE_TIMING, target kernel_timing),
it times the gate driver with each gate-kernel variant of this CPU on a batch circuit."""

import json
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
PROGRAM = BUILD / "bench" / "gate_timing" / "kernel_timing"


def build_kernel_timing(jobs=2):
    """Configures build/bench and builds the program (what `make bench` does first); returns
    its path, or None and the reason."""
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    steps = [
        ["cmake", "-S", str(ROOT), "-B", str(BUILD), *generator, "-DCMAKE_BUILD_TYPE=Release",
         "-DQELT_BUILD_EXTENSION=OFF", "-DQELT_BUILD_TESTS=OFF", "-DQELT_BUILD_GATE_TIMING=ON"],
        ["cmake", "--build", str(BUILD), "--target", "kernel_timing", "-j", str(jobs)],
    ]
    try:
        for step in steps:
            subprocess.run(step, check=True, capture_output=True, text=True, timeout=900)
    except FileNotFoundError as e:
        return None, f"no {e.filename}"
    except subprocess.CalledProcessError as e:
        tail = (e.stderr or e.stdout or "").strip().splitlines()
        return None, f"build failed: {tail[-1] if tail else e.returncode}"
    except subprocess.TimeoutExpired:
        return None, "build timed out"
    return PROGRAM, None


def kernel_timings(program, rows, n, layers, repeats):
    """{"active": variant in use, variant: [median seconds, same bits as scalar], "gates": G}."""
    out = subprocess.run([str(program), str(rows), str(n), str(layers), str(repeats)],
                         check=True, capture_output=True, text=True, timeout=600)
    return json.loads(out.stdout)
