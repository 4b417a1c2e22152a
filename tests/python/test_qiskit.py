"""Real Qiskit circuits, converted by examples/qiskit_convert.py and run by apply_gates, agree
with qiskit.quantum_info.Statevector to single precision.

Every row starts from its own random state, so that a wrong bit order or a transposed
two-qubit matrix cannot hide behind a symmetric starting state such as |0...0>.
"""

import pathlib
import sys

import numpy as np
import pytest

pytest.importorskip("qiskit")

import qelt_native  # noqa: E402

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import ParameterVector  # noqa: E402
from qiskit.circuit.library import QFTGate  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import qiskit_convert  # noqa: E402

pytestmark = pytest.mark.timeout(300)

ROWS = 3


def random_states(rows, n, seed):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=(rows, 2**n)) + 1j * rng.normal(size=(rows, 2**n))
    psi /= np.linalg.norm(psi, axis=1, keepdims=True)
    return psi.astype(np.complex64)


def tolerance(gate_count):
    """Rounding of unit-norm single-precision states grows at most linearly with the depth."""
    return float(np.finfo(np.float32).eps) * (gate_count + 4)


def assert_matches_statevector(psi_before, psi_after, circuits, gate_count):
    """Row r of psi_after is circuits[r] applied, in double precision, to row r of psi_before."""
    for row, circuit in enumerate(circuits):
        start = Statevector(psi_before[row].astype(np.complex128))
        expected = start.evolve(circuit).data
        np.testing.assert_allclose(psi_after[row], expected, rtol=0, atol=tolerance(gate_count))


def qft(n):
    circuit = QuantumCircuit(n)
    circuit.append(QFTGate(n), range(n))
    return circuit


def ghz(n):
    circuit = QuantumCircuit(n)
    circuit.h(0)
    for qubit in range(1, n):
        circuit.cx(qubit - 1, qubit)
    return circuit


def random(n):
    return random_circuit(n, depth=10, max_operands=2, seed=1000 + n)


def wide_gates_with_phase(n):
    """Toffoli, Fredkin and a multi-controlled X (decomposed), a barrier and a global phase."""
    circuit = QuantumCircuit(n)
    circuit.h(range(n))
    circuit.ccx(0, 1, n - 1)
    circuit.barrier()
    circuit.cswap(n - 1, 0, 1)
    circuit.mcx(list(range(n - 1)), n - 1)
    circuit.global_phase = 1.1
    return circuit


CIRCUITS = {"qft": qft, "ghz": ghz, "random": random, "wide": wide_gates_with_phase}
QUBITS = {"qft": [1, 2, 5, 8], "ghz": [2, 4, 7], "random": [2, 3, 5, 6], "wide": [3, 4]}


@pytest.mark.parametrize(
    "kind, n", [(kind, n) for kind in CIRCUITS for n in QUBITS[kind]], ids=lambda v: str(v)
)
def test_converted_circuit_matches_statevector(kind, n):
    circuit = CIRCUITS[kind](n)
    gates = qiskit_convert.circuit_to_gates(circuit)
    assert all(len(bits) in (1, 2) and m.shape == (2 ** len(bits),) * 2 for bits, m in gates)
    before = random_states(ROWS, n, seed=n)
    psi = before.copy()
    qelt_native.apply_gates(psi, gates)
    assert_matches_statevector(before, psi, [circuit] * ROWS, len(gates))


def test_random_circuits_exercise_two_qubit_bit_order():
    """The random circuits include two-qubit gates that change under an exchange of their
    qubits; otherwise the bit order of two-qubit gates would go untested."""
    asymmetric = {"cx", "cy", "cz", "ch", "crx", "cry", "crz", "cu", "cu1", "cu3", "cs", "csdg",
                  "csx", "dcx", "ecr", "xx_minus_yy", "xx_plus_yy"}
    names = {inst.operation.name for n in QUBITS["random"] for inst in random(n).data}
    assert names & asymmetric


def ansatz(n, layers):
    """A variational circuit: parametrised rotations, controlled rotations, ZZ couplings and a
    parametrised global phase, around fixed entangling gates."""
    theta = ParameterVector("theta", 3 * n * layers + 1)
    circuit = QuantumCircuit(n)
    values = iter(theta)
    for _ in range(layers):
        for qubit in range(n):
            circuit.ry(next(values), qubit)
            circuit.rz(next(values), qubit)
        for qubit in range(n - 1):
            circuit.crx(next(values), qubit, qubit + 1)
            circuit.cx(qubit + 1, qubit)
        circuit.rzz(next(values), 0, n - 1)
        circuit.s(n - 1)
    circuit.global_phase = next(values) / 2
    return circuit


@pytest.mark.parametrize("n", [2, 3, 6])
def test_batch_of_bindings_matches_statevector_row_by_row(n):
    circuit = ansatz(n, layers=2)
    rng = np.random.default_rng(n)
    bindings = rng.uniform(-np.pi, np.pi, size=(5, circuit.num_parameters))
    gates = qiskit_convert.circuit_batch_to_gates(circuit, bindings)
    shapes = {m.shape for _, m in gates}
    assert (5, 2, 2) in shapes and (5, 4, 4) in shapes and (4, 4) in shapes, shapes
    before = random_states(len(bindings), n, seed=100 + n)
    psi = before.copy()
    qelt_native.apply_gates(psi, gates)
    bound = [circuit.assign_parameters(binding) for binding in bindings]
    assert_matches_statevector(before, psi, bound, len(gates))


def test_batch_rows_differ_when_bindings_differ():
    """Per-row matrices really are per row: two rows with one start and different bindings
    end in different states."""
    circuit = ansatz(3, layers=1)
    bindings = np.stack([np.full(circuit.num_parameters, 0.3), np.full(circuit.num_parameters, 1.2)])
    start = random_states(1, 3, seed=7)
    psi = np.repeat(start, 2, axis=0)
    qelt_native.apply_gates(psi, qiskit_convert.circuit_batch_to_gates(circuit, bindings))
    assert np.max(np.abs(psi[0] - psi[1])) > 0.1


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda c: c.measure_all(), "not a unitary gate"),
        (lambda c: c.reset(0), "not a unitary gate"),
        (lambda c: c.rx(ParameterVector("a", 1)[0], 0), "unbound parameters"),
    ],
    ids=["measure", "reset", "unbound"],
)
def test_non_unitary_or_unbound_circuits_are_refused(build, message):
    circuit = QuantumCircuit(2)
    circuit.h(0)
    build(circuit)
    with pytest.raises(ValueError, match=message):
        qiskit_convert.circuit_to_gates(circuit)
