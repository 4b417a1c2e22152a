"""Run Qiskit circuits with qelt_native.apply_gates: a small helper to copy into your project.

    gates = circuit_to_gates(circuit)                  # one circuit, every row the same
    gates = circuit_batch_to_gates(circuit, bindings)  # one parameter binding per row
    qelt_native.apply_gates(psi, gates)                # psi: (B, 2**n) complex64, in place

Bit order. Qiskit numbers its qubits from the least significant end: qubit q is bit position
q of an amplitude index, which is exactly apply_gates' bit position, so a one-qubit gate on
qubit q becomes ([q], M). For a two-qubit gate on qubits (q0, q1), Qiskit's 4x4 matrix
(Operator(gate).data) has local index bit(q0) + 2*bit(q1): q1 is its high bit. apply_gates
takes the high bit first, so the gate becomes ([q1, q0], M) with Qiskit's matrix as it is.

Gates on three or more qubits are decomposed by Qiskit first; barriers are dropped; a nonzero
global phase becomes one final diagonal gate, so the result matches Statevector including the
phase. Measurements, resets and unbound parameters are refused.

Run this file to convert a small circuit and compare with qiskit.quantum_info.Statevector.
"""

import numpy as np
from qiskit import QuantumCircuit
from qiskit.circuit import ParameterExpression
from qiskit.quantum_info import Operator

SKIPPED = {"barrier"}
MAX_DECOMPOSE_ROUNDS = 16


def narrow(circuit):
    """The circuit with every operation on three or more qubits decomposed by Qiskit."""
    for _ in range(MAX_DECOMPOSE_ROUNDS):
        wide = {
            inst.operation.name
            for inst in circuit.data
            if inst.operation.num_qubits > 2 and inst.operation.name not in SKIPPED
        }
        if not wide:
            return circuit
        circuit = circuit.decompose(gates_to_decompose=sorted(wide))
    raise ValueError(f"cannot decompose {sorted(wide)} into gates of one and two qubits")


def _bit_positions(circuit, instruction):
    qubits = [circuit.find_bit(qubit).index for qubit in instruction.qubits]
    return qubits[::-1]  # Qiskit's last qubit is the matrix's high bit; apply_gates wants it first


def _has_free_parameters(operation):
    # Checked on the parameters themselves: Operation.is_parameterized() misses some
    # controlled gates.
    return any(
        isinstance(param, ParameterExpression) and param.parameters for param in operation.params
    )


def _matrix(operation):
    if operation.num_clbits or operation.name in ("measure", "reset"):
        raise ValueError(f"'{operation.name}' is not a unitary gate")
    if _has_free_parameters(operation):
        raise ValueError(f"'{operation.name}' has unbound parameters {operation.params}")
    return Operator(operation).data


def _gates_in_order(circuit):
    """(instruction index, bit positions) of every gate kept, in circuit order."""
    return [
        (index, _bit_positions(circuit, inst))
        for index, inst in enumerate(circuit.data)
        if inst.operation.name not in SKIPPED
    ]


def _phase_gate(phases):
    """A diagonal one-qubit gate multiplying every amplitude by exp(i * phase)."""
    phases = np.asarray(phases, dtype=np.float64)
    factor = np.exp(1j * phases)
    matrix = np.zeros(phases.shape + (2, 2), dtype=np.complex128)
    matrix[..., 0, 0] = matrix[..., 1, 1] = factor
    return ([0], matrix.astype(np.complex64))


def circuit_to_gates(circuit):
    """The gate list of `circuit` (no free parameters), each matrix shared by every row."""
    circuit = narrow(circuit)
    if isinstance(circuit.global_phase, ParameterExpression) and circuit.global_phase.parameters:
        raise ValueError("the global phase has unbound parameters")
    gates = [
        (bits, np.ascontiguousarray(_matrix(circuit.data[index].operation), dtype=np.complex64))
        for index, bits in _gates_in_order(circuit)
    ]
    if float(circuit.global_phase) != 0.0 and circuit.num_qubits > 0:
        gates.append(_phase_gate(float(circuit.global_phase)))
    return gates


def circuit_batch_to_gates(circuit, bindings):
    """The gate list of a parametrised circuit, row r bound to bindings[r].

    `bindings` is a sequence of bindings as QuantumCircuit.assign_parameters takes them (a
    dict, or values in the order of circuit.parameters). A gate whose parameters are free
    gets a (B, d, d) matrix, one per row; a fixed gate keeps one shared (d, d) matrix.
    """
    circuit = narrow(circuit)
    rows = [circuit.assign_parameters(binding) for binding in bindings]
    if not rows:
        raise ValueError("at least one binding is needed")
    gates = []
    for index, bits in _gates_in_order(circuit):
        operation = circuit.data[index].operation
        if _has_free_parameters(operation):
            matrix = np.stack([_matrix(row.data[index].operation) for row in rows])
        else:
            matrix = _matrix(operation)
        gates.append((bits, np.ascontiguousarray(matrix, dtype=np.complex64)))
    phases = np.array([float(row.global_phase) for row in rows])
    if np.any(phases != 0.0) and circuit.num_qubits > 0:
        gates.append(_phase_gate(phases if np.any(phases != phases[0]) else phases[0]))
    return gates


def main():
    import qelt_native
    from qiskit.quantum_info import Statevector

    n = 3
    circuit = QuantumCircuit(n)
    circuit.h(0)
    circuit.cx(0, 1)
    circuit.cry(0.7, 1, 2)
    circuit.ccx(0, 1, 2)
    circuit.global_phase = 0.25

    gates = circuit_to_gates(circuit)
    psi = np.zeros((1, 2**n), np.complex64)
    psi[0, 0] = 1
    qelt_native.apply_gates(psi, gates)
    expected = Statevector(circuit).data
    print(f"{len(gates)} gates on {n} qubits;"
          f" largest deviation from Statevector: {np.max(np.abs(psi[0] - expected)):.2e}")


if __name__ == "__main__":
    main()
