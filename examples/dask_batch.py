"""Scale apply_gates out with Dask: a batch of statevectors split into blocks of rows, each
block run by qelt_native on whichever worker process (or machine) holds it.

    result = apply_gates_dask(psi, gates)   # psi: dask array (B, 2**n) complex64
    result.compute()                        # or .persist(), or keep building on it

The batch is chunked along its row axis only: a row is one statevector and must stay whole.
Gates apply row by row, so each block gives exactly the bits that one local call over the
whole batch gives for those rows. A per-row matrix of shape (B, d, d) is cut to the rows of
each block; shared (d, d) matrices go to every block as they are.

apply_gates works in place and returns None; the block function therefore copies its block,
applies the gates to the copy and returns it, leaving the input array as it was.

Run this file to start a LocalCluster of worker processes and compare with a local call.
"""

import os

import numpy as np

import qelt_native


def _apply_block(block, gates, block_info=None):
    first, stop = block_info[0]["array-location"][0]
    rows = slice(first, stop)
    local_gates = [(bits, matrix if matrix.ndim == 2 else matrix[rows]) for bits, matrix in gates]
    out = np.array(block, dtype=np.complex64, order="C", copy=True)
    qelt_native.apply_gates(out, local_gates)
    return out


def apply_gates_dask(psi, gates):
    """A lazy dask array: `gates` applied to every row of the dask array `psi`.

    `gates` is apply_gates' gate list; per-row matrices have one entry per row of the whole
    batch. The matrices travel with the tasks, so keep per-row ones to a modest size (or
    build them on the workers).
    """
    if psi.ndim != 2 or psi.dtype != np.complex64:
        raise TypeError(f"psi must be a 2-D complex64 dask array, not {psi.ndim}-D {psi.dtype}")
    gates = [(list(bits), np.asarray(matrix)) for bits, matrix in gates]
    for bits, matrix in gates:
        if matrix.ndim == 3 and matrix.shape[0] != psi.shape[0]:
            raise ValueError(f"per-row matrix for bits {bits} has {matrix.shape[0]} rows,"
                             f" the batch {psi.shape[0]}")
    if psi.numblocks[1] != 1:
        psi = psi.rechunk({1: -1})
    return psi.map_blocks(_apply_block, gates=gates, dtype=np.complex64)


def example_gates(batch, n, seed=0):
    """A few layers of shared and per-row gates on n qubits."""
    rng = np.random.default_rng(seed)
    h = (np.array([[1, 1], [1, -1]]) / np.sqrt(2)).astype(np.complex64)
    cnot = np.eye(4, dtype=np.complex64)[[0, 1, 3, 2]]
    gates = []
    for layer in range(3):
        for bit in range(n):
            angle = rng.uniform(0, 2 * np.pi, size=batch)
            c, s = np.cos(angle / 2), np.sin(angle / 2)
            ry = np.stack([np.stack([c, -s], -1), np.stack([s, c], -1)], -2).astype(np.complex64)
            gates.append(([bit], ry if (bit + layer) % 2 else h))
        for bit in range(n - 1):
            gates.append(([bit + 1, bit], cnot))
    return gates


def random_states(batch, n, seed=0):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=(batch, 2**n)) + 1j * rng.normal(size=(batch, 2**n))
    return (psi / np.linalg.norm(psi, axis=1, keepdims=True)).astype(np.complex64)


def main(n_workers=2, batch=64, n=12):
    import logging

    import dask.array as da
    from dask.distributed import Client, LocalCluster

    # One Dask thread per worker process; each worker's own qelt_native pool gets its share
    # of the CPUs, so the processes together do not oversubscribe the machine.
    pool_threads = max(1, (os.cpu_count() or 1) // n_workers)
    with LocalCluster(
        n_workers=n_workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
        silence_logs=logging.ERROR,
        env={"RAYON_NUM_THREADS": str(pool_threads)},
    ) as cluster, Client(cluster) as client:
        client.wait_for_workers(n_workers)
        psi = random_states(batch, n)
        gates = example_gates(batch, n)
        blocks = da.from_array(psi, chunks=(max(1, batch // (4 * n_workers)), -1))
        result = apply_gates_dask(blocks, gates).compute()

        local = psi.copy()
        qelt_native.apply_gates(local, gates)
        same = np.array_equal(result.view(np.uint32), local.view(np.uint32))
        print(f"{batch} rows of {2**n} amplitudes, {len(gates)} gates, {blocks.numblocks[0]}"
              f" blocks on {n_workers} worker processes: bits identical to one local call: {same}")
        return same


if __name__ == "__main__":
    main()
