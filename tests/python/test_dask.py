"""examples/dask_batch.py: a batch split into row blocks over Dask worker processes gives the
same bits as one local apply_gates call over the whole batch."""

import logging
import pathlib
import sys

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("dask.distributed")

import qelt_native  # noqa: E402
from helpers import assert_bits_equal  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import dask_batch  # noqa: E402

pytestmark = pytest.mark.timeout(120)

WORKERS = 2


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=WORKERS,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
            silence_logs=logging.ERROR,
            env={"RAYON_NUM_THREADS": "1"},
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        client.wait_for_workers(WORKERS, timeout=60)
        yield client


def local_result(psi, gates):
    out = psi.copy()
    qelt_native.apply_gates(out, gates)
    return out


# (rows, qubits, row chunk, amplitude chunk): even and uneven row blocks, single-row blocks,
# rows long enough for the pool's within-row route, and input chunked along the amplitudes too.
CASES = {
    "even_blocks": (32, 8, 4, -1),
    "uneven_blocks": (37, 6, 5, -1),
    "single_rows": (6, 5, 1, -1),
    "long_rows": (4, 16, 2, -1),
    "amplitude_chunks": (12, 7, 3, 32),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_cluster_gives_the_bits_of_one_local_call(client, case):
    rows, n, row_chunk, amplitude_chunk = CASES[case]
    psi = dask_batch.random_states(rows, n, seed=rows)
    gates = dask_batch.example_gates(rows, n, seed=n)
    assert any(m.ndim == 3 for _, m in gates) and any(m.ndim == 2 for _, m in gates)
    blocks = da.from_array(psi, chunks=(row_chunk, amplitude_chunk))
    with distributed.get_task_stream(client) as stream:
        result = dask_batch.apply_gates_dask(blocks, gates).compute()
    assert result.dtype == np.complex64 and result.shape == psi.shape
    assert_bits_equal(result, local_result(psi, gates))
    if blocks.numblocks[0] >= 2 * WORKERS:
        assert len({task["worker"] for task in stream.data}) == WORKERS


def test_blocks_are_not_written_in_place():
    """In process, the blocks the block function receives are the caller's memory or chunks
    kept in the graph: writing them would change `psi` or make a second compute of the same
    lazy result apply the gates twice."""
    psi = dask_batch.random_states(8, 5, seed=3)
    original = psi.copy()
    gates = dask_batch.example_gates(8, 5, seed=3)
    lazy = dask_batch.apply_gates_dask(da.from_array(psi, chunks=(3, -1)), gates)
    expected = local_result(original, gates)
    for _ in range(2):
        assert_bits_equal(lazy.compute(scheduler="sync"), expected)
    assert_bits_equal(psi, original)


def test_per_row_matrices_must_cover_the_batch():
    psi = da.zeros((4, 8), dtype=np.complex64, chunks=(2, -1))
    per_row = np.tile(np.eye(2, dtype=np.complex64), (3, 1, 1))
    with pytest.raises(ValueError, match="3 rows, the batch 4"):
        dask_batch.apply_gates_dask(psi, [([0], per_row)])


def test_example_main_runs_on_a_local_cluster():
    assert dask_batch.main(n_workers=2, batch=16, n=6) is True
