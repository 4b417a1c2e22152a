"""Interrupts and interpreter shutdown, each in its own interpreter under a timeout.

- SIGINT arriving while apply_gates computes (sent from a timer thread, to the process or to the
  waiting main thread) surfaces as KeyboardInterrupt only after the call has returned, with psi
  completely written. On Windows the timer thread raises it in the C runtime, as the console's
  Ctrl-C handler does on a thread of its own.
- A script that ends right after parallel calls exits with status 0 instead of hanging on pool
  workers that are still spinning or sleeping at shutdown.
- A daemon thread that is inside a parallel call when the interpreter shuts down must not crash
  the process or hang its exit.
"""

import json
import subprocess
import sys

import pytest

COMMON = """
import json, os, signal, sys, threading, time
import numpy as np
from qelt_native import apply_gates

H = (np.array([[1, 1], [1, -1]]) / np.sqrt(2)).astype(np.complex64)
CZ = np.diag([1, 1, 1, -1]).astype(np.complex64)

def workload(batch, n, count):
    rng = np.random.default_rng(batch * 100 + n)
    psi = (rng.standard_normal((batch, 1 << n)) + 1j * rng.standard_normal((batch, 1 << n)))
    gates = [([i % n], H) if i % 3 else ([i % n, (i + 1) % n], CZ) for i in range(count)]
    return psi.astype(np.complex64), gates
"""

ROUTES = {"row-parallel": (8, 15), "in-row": (1, 19)}


def run(run_python, code, env=None, timeout=120):
    try:
        return run_python(COMMON + code, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the interpreter did not finish within {timeout} s")


INTERRUPT = """
batch, n = {shape}
psi0, gates = workload(batch, n, 8)
# Lengthen the list until one call clearly outlasts the timer's delay below.
while True:
    expected = psi0.copy()
    start = time.monotonic()
    apply_gates(expected, gates)
    took = time.monotonic() - start
    if took >= 0.4 or len(gates) >= 1 << 16:
        break
    gates = gates * 2

main = threading.get_ident()
started = threading.Event()

def fire():
    started.wait()
    time.sleep(took / 4)
    if {to_thread}:
        signal.pthread_kill(main, signal.SIGINT)
    elif sys.platform == "win32":
        signal.raise_signal(signal.SIGINT)
    else:
        os.kill(os.getpid(), signal.SIGINT)

timer = threading.Thread(target=fire)
timer.start()
psi = psi0.copy()
returned = False
try:
    started.set()
    apply_gates(psi, gates)
    returned = True
    time.sleep(30)
    outcome = "not interrupted"
except KeyboardInterrupt:
    outcome = "after the call returned" if returned else "at the call"
timer.join()
same = np.array_equal(psi.view(np.uint32), expected.view(np.uint32))
print(json.dumps(dict(outcome=outcome, psi_complete=bool(same), gates=len(gates))))
"""


@pytest.mark.timeout(300)
@pytest.mark.parametrize("to_thread", [False, True], ids=["to the process", "to the main thread"])
@pytest.mark.parametrize("route", list(ROUTES))
def test_interrupt_surfaces_after_the_call_with_psi_complete(run_python, route, to_thread):
    if to_thread and sys.platform == "win32":
        pytest.skip("no pthread_kill on Windows: a signal cannot be aimed at one thread")
    code = INTERRUPT.format(shape=ROUTES[route], to_thread=to_thread)
    result = run(run_python, code, timeout=240)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["outcome"] == "at the call", report
    assert report["psi_complete"], report


EXIT_AFTER_CALLS = """
batch, n = {shape}
psi, gates = workload(batch, n, 4)
for _ in range({calls}):
    apply_gates(psi, gates)
print("done", flush=True)
{ending}
"""


@pytest.mark.timeout(300)
@pytest.mark.parametrize("workers", ["1", "2", "8"])
@pytest.mark.parametrize(
    "shape, calls, ending",
    [
        ((4, 10), 1, ""),
        ((4, 10), 200, ""),
        ((1, 16), 1, "sys.exit(0)"),
        ((2, 8), 1, "raise SystemExit"),
    ],
    ids=["one call, end of script", "many calls", "in-row, sys.exit", "SystemExit"],
)
def test_exit_right_after_parallel_calls(run_python, workers, shape, calls, ending):
    code = EXIT_AFTER_CALLS.format(shape=shape, calls=calls, ending=ending)
    result = run(run_python, code, env={"RAYON_NUM_THREADS": workers}, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "done"


DAEMON_AT_EXIT = """
entered = threading.Event()

def spin():
    psi, gates = workload({batch}, {n}, 64)  # each thread its own psi: no borrow conflicts
    while True:
        entered.set()
        apply_gates(psi, gates)

for _ in range({threads}):
    threading.Thread(target=spin, daemon=True).start()
entered.wait()
time.sleep(0.05)
print("exiting", flush=True)
"""


@pytest.mark.timeout(300)
@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("batch, n", [(8, 14), (1, 17)], ids=["row-parallel", "in-row"])
def test_daemon_thread_inside_a_parallel_call_at_exit(run_python, batch, n, threads):
    code = DAEMON_AT_EXIT.format(batch=batch, n=n, threads=threads)
    result = run(run_python, code, timeout=120)
    assert result.returncode == 0, f"status {result.returncode}: {result.stderr[-2000:]}"
    assert result.stdout.strip() == "exiting"
