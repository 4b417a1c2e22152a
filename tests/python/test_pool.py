"""The worker pool seen from Python: how many threads the first parallel call starts, that later
calls and later environment changes start none, and that a forked child gets a pool of its own.

Everything here depends on the process, so each case runs in a fresh interpreter. The first
parallel call is apply_gates on a (2, 4) batch, which takes the row-parallel route."""

import json
import os
import sys

import pytest

pytestmark = pytest.mark.timeout(300)

# Sets the pool's variables exactly as given (unsetting the others), then reports the thread
# count before the first parallel call, after it, and after a second call made once the
# variables have been changed.
PROBE = """
import json, os
for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
    os.environ.pop(name, None)
os.environ.update({variables!r})

import numpy as np
import qelt_native
{threads}

def hadamard_on_rows():
    psi = np.zeros((2, 4), np.complex64)
    psi[:, 0] = 1
    h = (np.array([[1, 1], [1, -1]]) / np.sqrt(2)).astype(np.complex64)
    qelt_native.apply_gates(psi, [([0], h)])
    return psi

before = threads()
hadamard_on_rows()
after_first = threads()
os.environ["RAYON_NUM_THREADS"] = "7"
os.environ["RAYON_RS_NUM_CPUS"] = "7"
psi = hadamard_on_rows()
print(json.dumps({{
    "before": before,
    "after_first": after_first,
    "after_second": threads(),
    "row": [[z.real, z.imag] for z in psi[1].tolist()],
}}))
"""


# The process's thread count: its /proc task directory, or on Windows its entries in a
# Toolhelp snapshot of the system's threads.
THREADS = """
def threads():
    return len(os.listdir("/proc/self/task"))
"""
WINDOWS_THREADS = """
import ctypes
from ctypes import wintypes

class ThreadEntry(ctypes.Structure):
    _fields_ = [(name, wintypes.DWORD) for name in (
        "dwSize", "cntUsage", "th32ThreadID", "th32OwnerProcessID", "tpBasePri", "tpDeltaPri",
        "dwFlags")]

kernel32 = ctypes.WinDLL("kernel32")
kernel32.CreateToolhelp32Snapshot.restype = wintypes.HANDLE
kernel32.Thread32First.argtypes = kernel32.Thread32Next.argtypes = [wintypes.HANDLE, ctypes.c_void_p]
kernel32.CloseHandle.argtypes = [wintypes.HANDLE]

def threads():
    snapshot = kernel32.CreateToolhelp32Snapshot(4, 0)  # TH32CS_SNAPTHREAD
    entry = ThreadEntry(dwSize=ctypes.sizeof(ThreadEntry))
    count = 0
    more = kernel32.Thread32First(snapshot, ctypes.byref(entry))
    while more:
        count += entry.th32OwnerProcessID == os.getpid()
        more = kernel32.Thread32Next(snapshot, ctypes.byref(entry))
    kernel32.CloseHandle(snapshot)
    return count
"""


def added_threads(run_python, **variables):
    threads = WINDOWS_THREADS if sys.platform == "win32" else THREADS
    result = run_python(PROBE.format(variables=variables, threads=threads))
    assert result.returncode == 0, result.stderr
    counts = json.loads(result.stdout)
    # A second call, even with the variables changed, starts no thread and still works.
    assert counts["after_second"] == counts["after_first"]
    assert counts["row"][:2] == [[pytest.approx(0.5**0.5), 0.0]] * 2
    return counts["after_first"] - counts["before"]


def usable_cpus():
    if not hasattr(os, "sched_getaffinity"):  # Windows: no affinity query; all CPUs
        return os.cpu_count()
    return len(os.sched_getaffinity(0))


@pytest.mark.parametrize(
    ("variables", "workers"),
    [
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "+4"}, 4),
        ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_RS_NUM_CPUS": "6"}, 6),
    ],
)
def test_first_parallel_call_starts_the_configured_workers(run_python, variables, workers):
    assert added_threads(run_python, **variables) == workers


def test_zero_means_the_available_parallelism(run_python):
    default = added_threads(run_python)
    # RAYON_RS_NUM_CPUS differs from every possible answer, so it must not be consulted.
    zero = added_threads(
        run_python, RAYON_NUM_THREADS="0", RAYON_RS_NUM_CPUS=str(usable_cpus() + 1)
    )
    assert zero == default
    assert 1 <= zero <= usable_cpus()


FORK_CHILD = """
import multiprocessing, os, sys
os.environ["RAYON_NUM_THREADS"] = "3"
import numpy as np
import qelt_native

def hadamard_on_rows():
    psi = np.zeros((2, 4), np.complex64)
    psi[:, 0] = 1
    h = (np.array([[1, 1], [1, -1]]) / np.sqrt(2)).astype(np.complex64)
    qelt_native.apply_gates(psi, [([0], h)])
    return psi

def child():
    before = len(os.listdir("/proc/self/task"))
    psi = hadamard_on_rows()
    started = len(os.listdir("/proc/self/task")) - before
    ok = np.allclose(psi[:, :2], 0.5**0.5) and started == 3
    sys.exit(0 if ok else 1)

hadamard_on_rows()  # the parent's pool exists before the fork
process = multiprocessing.get_context("fork").Process(target=child)
process.start()
process.join(60)
if process.exitcode is None:
    process.kill()
    sys.exit("the forked child did not finish")
assert process.exitcode == 0, process.exitcode
hadamard_on_rows()  # and the parent's pool still works
print("ok")
"""


@pytest.mark.skipif(sys.platform == "win32", reason="no fork on Windows")
def test_forked_child_builds_its_own_pool(run_python):
    result = run_python(FORK_CHILD)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
