"""The peers of apply_gates: NumPy versions a user would write, and an adapter per simulator that
turns (start rows, gate lists per row, gate names) into a run of its engine.

An adapter's prepare(rows, gate_lists, names) does every translation beforehand (circuit
objects, matrices in the engine's layout) and returns run(): one run of every row, one after
another, starting from the start rows each time. run() returns the final rows as an array, a
function that reads them back (called once, outside the timing), or an EngineRun carrying the
engine's own time. names[i] is gate i's form as a user would write it: ("ry", per-row angles),
("cnot", None), or ("unitary", None) for a dense matrix. Each engine gets the named gates where
it has them, and dense matrices for the random unitaries. Engines are imported inside their
adapter, so that importing this file needs NumPy only.
"""

import time

import numpy as np

from timing import EngineRun

ENGINES = ["qsim", "scaluq", "aer fused", "aer unfused", "lightning", "qulacs", "numpy"]
ENGINE_NOTES = {
    "qsim": "qsimcirq 0.22's qsim_simulate_fullstate (its C++ entry) on a circuit translated"
            " beforehand (QSimCircuit.translate_cirq_to_qsim), single precision, default gate"
            " fusion (max_fused_gate_size 2), cpu_threads = workers; dense gates as"
            " cirq.MatrixGate, batches as cirq.ry and cirq.CNOT",
    "scaluq": "scaluq, precision f32: single rows on StateVector with DenseMatrix gates; batches"
              " on StateVectorBatched in one call, RY as ParamRY with per-row parameters and"
              " the ladder as CX",
    "aer fused": "Qiskit Aer, statevector, precision single, default gate fusion; its own"
                 " time_taken per experiment; dense gates as UnitaryGate, batches as ry and cx",
    "aer unfused": "Qiskit Aer as above, fusion disabled",
    "lightning": "PennyLane Lightning's StateVectorC64 (lightning.qubit's engine), called"
                 " directly: dense gates by applyMatrix, batches by its RY and CNOT kernels,"
                 " row by row",
    "qulacs": "qulacs, DOUBLE precision (it has no single); dense gates as DenseMatrix,"
              " batches as RY and CNOT",
    "numpy": "NumPy, the faster of bench_gates.py's einsum and matmul versions, complex64",
}
# What each engine is documented to do with the gates (from its documented options, not its
# source); "not documented" where we do not know.
ENGINE_ARITHMETIC = {
    "qelt_native": "no fusion: every gate applied as given (runs of gates share passes over"
                   " memory); no FMA (built with -ffp-contract=off, results defined to the bit)",
    "qsim": "fuses gates (max_fused_gate_size, default 2 qubits) and its vector kernels use FMA",
    "scaluq": "no fusion here (its Circuit.optimize merges gates; not called); FMA not documented",
    "aer fused": "fuses gates (fusion_enable, default on for circuits of 14 qubits or more,"
                 " fusion_threshold); FMA not documented",
    "aer unfused": "no fusion (fusion_enable=False); FMA not documented",
    "lightning": "no fusion option documented; FMA not documented",
    "qulacs": "no fusion unless its circuit optimizer is called (not called); FMA not documented",
    "numpy": "no fusion; matmul goes to BLAS, whose use of FMA depends on the BLAS build",
}


def numpy_einsum_apply(psi, gates):
    """A user's NumPy version: reshape the batch so that the gate's bits become axes of their
    own and contract them with the matrix by einsum, in complex64. Returns a new array."""
    batch, dim = psi.shape
    for bits, m in gates:
        if len(bits) == 1:
            v = psi.reshape(-1, 2, 1 << bits[0])
            psi = np.einsum("rc,acl->arl", m, v)
        else:
            hi, lo = max(bits), min(bits)
            v = psi.reshape(-1, 2, 1 << (hi - lo - 1), 2, 1 << lo)
            t = m.reshape(2, 2, 2, 2)  # [out b0, out b1, in b0, in b1]
            if bits[0] == hi:
                psi = np.einsum("pqst,asmtl->apmql", t, v)
            else:
                psi = np.einsum("pqst,atmsl->aqmpl", t, v)
    return psi.reshape(batch, dim)


def numpy_matmul_apply(psi, gates):
    """Another user's NumPy version: view each row as an n-axis tensor, move the gate's axes
    last, multiply by the transposed matrix, move them back. Returns a new array."""
    batch, dim = psi.shape
    n = dim.bit_length() - 1
    t = psi.reshape((batch,) + (2,) * n)
    for bits, m in gates:
        k = len(bits)
        axes = [1 + (n - 1 - b) for b in bits]
        last = list(range(n + 1 - k, n + 1))
        moved = np.moveaxis(t, axes, last)
        shape = moved.shape
        out = moved.reshape(-1, 1 << k) @ m.T
        t = np.moveaxis(out.reshape(shape), last, axes)
    return np.ascontiguousarray(t).reshape(batch, dim)


NUMPY_VERSIONS = [("einsum", numpy_einsum_apply), ("matmul", numpy_matmul_apply)]


def row_ops(gates, names, r):
    """Row r's gates as (form, bits, matrix, angle): form "ry" with row r's angle, "cnot"
    (control bits[0], target bits[1]) or "unitary" with row r's matrix."""
    for (bits, m), (form, angles) in zip(gates, names):
        yield form, bits, m[r] if m.ndim == 3 else m, None if angles is None else float(angles[r])


def qsim_runner(threads):
    import cirq
    import qsimcirq

    options = qsimcirq.QSimOptions(cpu_threads=threads).as_dict()

    def prepare(rows, gate_lists, names):
        n = rows.shape[1].bit_length() - 1
        # cirq's first qubit in the qubit order is the most significant bit: bit position b is
        # qubit n-1-b, and a gate's first listed qubit is the high bit of its matrix index, as
        # in the module; the C++ entry takes and returns the state in that order.
        qubits = cirq.LineQubit.range(n)

        def op(form, bits, m, angle):
            targets = [qubits[n - 1 - b] for b in bits]
            if form == "ry":
                return cirq.ry(angle).on(*targets)
            if form == "cnot":
                return cirq.CNOT(*targets)
            return cirq.MatrixGate(m.astype(complex), unitary_check=False).on(*targets)

        jobs = []
        for r, gates in enumerate(gate_lists):
            circuit = cirq.Circuit(op(*g) for g in row_ops(gates, names, r))
            translated = qsimcirq.QSimCircuit(circuit).translate_cirq_to_qsim(qubits)[0]
            jobs.append((dict(options, c=translated, s=0), rows[r].view(np.float32)))

        def run():
            return np.array([qsimcirq.qsim.qsim_simulate_fullstate(o, s).view(np.complex64)
                             for o, s in jobs])

        return run

    return prepare


def scaluq_runner(threads):
    import scaluq
    from scaluq import gate

    loaded = []  # [(the array the rows view, its address, shape), state]: the last case's

    def start_state(rows, make):
        """The start rows as a scaluq state, loaded once per case: the load goes element by
        element (seconds at n = 24) and the run with no gates starts from the same rows. The
        cache keeps the viewed array alive, so another case cannot reuse its address."""
        owner = rows if rows.base is None else rows.base
        key = (owner, rows.__array_interface__["data"][0], rows.shape)
        if not loaded or loaded[0][0] is not owner or loaded[0][1:] != key[1:]:
            state = make()
            state.load(rows[0] if rows.shape[0] == 1 else rows)
            loaded[:] = [key, state]
        return loaded[1]

    def prepare(rows, gate_lists, names):
        batch, n = rows.shape[0], rows.shape[1].bit_length() - 1
        circuit, params = scaluq.Circuit(precision="f32"), {}
        for i, ((bits, m), (form, angles)) in enumerate(zip(gate_lists[0], names)):
            # scaluq's qubit k is bit position k; its first listed target is the low bit of the
            # matrix index, ours the high bit.
            if form == "ry":  # per-row parameters: the batched engine takes one per row
                circuit.add_param_gate(gate.ParamRY(bits[0], precision="f32"), f"t{i}")
                params[f"t{i}"] = [float(t) for t in angles]
            elif form == "cnot":
                circuit.add_gate(gate.CX(bits[0], bits[1], precision="f32"))
            elif batch == 1:
                circuit.add_gate(gate.DenseMatrix(bits[::-1], m.astype(complex),
                                                  is_unitary=True, precision="f32"))
            else:
                raise ValueError("the batched adapter takes named gates only")
        if batch == 1 and not params:
            start = start_state(rows, lambda: scaluq.StateVector(n, precision="f32"))
            work = scaluq.StateVector(n, precision="f32")

            def run():
                work.load(start)
                circuit.update_quantum_state(work)
                return lambda: np.array(work.get_amplitudes())[None]

            return run

        # The batched engine: one call for every row.
        start = start_state(rows, lambda: scaluq.StateVectorBatched(batch, n, precision="f32"))
        work = scaluq.StateVectorBatched(batch, n, precision="f32")

        def run():
            work.load(start)
            circuit.update_quantum_state(work, params=params)
            return lambda: np.array(work.get_amplitudes())

        return run

    return prepare


def aer_runner(fusion, threads):
    from qiskit import QuantumCircuit
    from qiskit.circuit.library import UnitaryGate
    from qiskit_aer import AerSimulator

    sim = AerSimulator(
        method="statevector",
        precision="single",
        fusion_enable=fusion,
        max_parallel_threads=threads,
        max_parallel_experiments=1,
    )

    def prepare(rows, gate_lists, names):
        n = rows.shape[1].bit_length() - 1
        circuits = []
        for r, gates in enumerate(gate_lists):
            qc = QuantumCircuit(n)
            qc.set_statevector(rows[r].astype(complex))
            # Aer's qubit k is bit position k; its first listed qubit is the low bit of the
            # matrix index, ours the high bit.
            for form, bits, m, angle in row_ops(gates, names, r):
                if form == "ry":
                    qc.ry(angle, bits[0])
                elif form == "cnot":
                    qc.cx(bits[0], bits[1])
                else:
                    qc.append(UnitaryGate(m.astype(complex), check_input=False), bits[::-1])
            qc.save_statevector()
            circuits.append(qc)

        def run():
            result = sim.run(circuits).result()
            if not result.success:
                raise RuntimeError(f"Aer failed: {result.status}")
            states = np.array([np.asarray(result.get_statevector(i))
                               for i in range(len(circuits))])
            return EngineRun(states, sum(e.time_taken for e in result.results))

        return run

    return prepare


def lightning_runner(threads):
    from pennylane_lightning.lightning_qubit_ops import StateVectorC64

    def prepare(rows, gate_lists, names):
        n = rows.shape[1].bit_length() - 1
        state = StateVectorC64(n)
        jobs = []
        for r, gates in enumerate(gate_lists):
            # Wire 0 is the most significant bit: bit position b is wire n-1-b, and the first
            # listed wire is the high bit of the matrix index, as in the module.
            ops = []
            for form, bits, m, angle in row_ops(gates, names, r):
                wires = [n - 1 - b for b in bits]
                if form == "ry":
                    ops.append((state.RY, wires, [angle]))
                elif form == "cnot":
                    ops.append((state.CNOT, wires, []))
                else:
                    ops.append((None, wires, np.ascontiguousarray(m.ravel())))
            jobs.append(ops)
        out = np.empty_like(rows)

        def run():
            for r, ops in enumerate(jobs):
                state.updateData(rows[r])
                for kernel, wires, arg in ops:
                    if kernel is None:
                        state.applyMatrix(arg, wires, False)
                    else:
                        kernel(wires, False, arg)
                state.getState(out[r])
            return out.copy()

        return run

    return prepare


def qulacs_runner(threads):
    from qulacs import QuantumCircuit, QuantumState
    from qulacs.gate import CNOT, RY, DenseMatrix

    def prepare(rows, gate_lists, names):
        n = rows.shape[1].bit_length() - 1
        jobs = []
        for r, gates in enumerate(gate_lists):
            circuit = QuantumCircuit(n)
            for form, bits, m, angle in row_ops(gates, names, r):
                # qulacs's qubit k is bit position k, its first listed target the low bit of
                # the matrix index; its RY(t) is exp(+i t Y / 2), so the angle changes sign.
                if form == "ry":
                    circuit.add_gate(RY(bits[0], -angle))
                elif form == "cnot":
                    circuit.add_gate(CNOT(bits[0], bits[1]))
                else:
                    circuit.add_gate(DenseMatrix(bits[::-1], m.astype(complex)))
            jobs.append((rows[r].astype(complex), circuit))
        state = QuantumState(n)

        def run():
            out = []
            for start, circuit in jobs:
                state.load(start)
                circuit.update_quantum_state(state)
                out.append(state.get_vector())
            return np.array(out)

        return run

    return prepare


def numpy_runner(threads):
    def prepare(rows, gate_lists, names):
        def runner(apply):
            return lambda: np.concatenate(
                [apply(row[None], gates) for row, gates in zip(rows, gate_lists)])

        # Of the two NumPy versions, the one that is faster on this case.
        candidates = []
        for _, apply in NUMPY_VERSIONS:
            start = time.perf_counter()
            runner(apply)()
            candidates.append((time.perf_counter() - start, runner(apply)))
        return min(candidates, key=lambda c: c[0])[1]

    return prepare


RUNNERS = {
    "qsim": qsim_runner,
    "scaluq": scaluq_runner,
    "aer fused": lambda threads: aer_runner(True, threads),
    "aer unfused": lambda threads: aer_runner(False, threads),
    "lightning": lightning_runner,
    "qulacs": qulacs_runner,
    "numpy": numpy_runner,
}


def peer_prepare(engine, threads):
    return RUNNERS[engine](threads)
