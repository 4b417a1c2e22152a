"""Token sampling speed: time per sample_topp call beside a straightforward NumPy and a
straightforward PyTorch CPU implementation of top-k / top-p sampling, measured in the same run.

Logits are float32 draws from a normal distribution with standard deviation 2 (about the spread
of a language model's logits). Every figure is the median of several repeats of one call on the
same array; ratios are peer time over sample_topp time. The peers draw with their own generators,
so they pick other tokens: they are measured for speed, not checked for equality.
"""

import os
from pathlib import Path

# Set before PyTorch starts its OpenMP runtime: its idle threads then sleep between calls.
os.environ.setdefault("OMP_WAIT_POLICY", "passive")

import numpy as np  # noqa: E402

import machine  # noqa: E402
import qelt_native  # noqa: E402
from timing import median_us  # noqa: E402

try:
    import torch
except ImportError:  # the table then shows the NumPy peer alone
    torch = None

SIZES = [32_000, 128_000, 256_000]
SETTINGS = [  # (label, temperature, top_p, top_k)
    ("T 0.8, p 0.9, k 0", 0.8, 0.9, 0),
    ("T 0.8, p 1.0, k 50", 0.8, 1.0, 50),
    ("T 1.0, p 1.0, k 0", 1.0, 1.0, 0),
    ("T 0 (arg-max)", 0.0, 1.0, 0),
]
NATIVE_REPEATS = 41
PEER_REPEATS = 11


def numpy_sample(logits, temperature, top_p, top_k, rng):
    """What a user would write with NumPy: stable ranking, softmax, cumulative cut, draw."""
    if temperature <= 0.0:
        return int(np.argmax(logits))
    order = np.argsort(-logits, kind="stable")
    if 0 < top_k < order.size:
        order = order[:top_k]
    ranked = logits[order].astype(np.float64)
    weights = np.exp((ranked - ranked[0]) / temperature)
    cumulative = np.cumsum(weights)
    kept = cumulative.size
    if top_p < 1.0:
        kept = min(int(np.searchsorted(cumulative, cumulative[-1] * top_p)) + 1, kept)
    target = rng.random() * cumulative[kept - 1]
    return int(order[min(int(np.searchsorted(cumulative[:kept], target)), kept - 1)])


def torch_sample(logits, temperature, top_p, top_k, generator):
    """What a user would write with PyTorch on the CPU: sort (or topk), softmax, cumsum cut,
    multinomial draw."""
    if temperature <= 0.0:
        return int(torch.argmax(logits))
    if 0 < top_k < logits.numel():
        values, indices = torch.topk(logits, top_k)
    else:
        values, indices = torch.sort(logits, descending=True)
    probs = torch.softmax(values / temperature, dim=0)
    if top_p < 1.0:
        cumulative = torch.cumsum(probs, dim=0)
        kept = int(torch.searchsorted(cumulative, torch.tensor([top_p], dtype=probs.dtype))) + 1
        probs = probs[: min(kept, probs.numel())]
    return int(indices[torch.multinomial(probs, 1, generator=generator)])


def machine_lines(torch_threads):
    torch_text = f"torch {torch.__version__}, {torch_threads} threads" if torch else "no torch"
    return machine.describe(
        "sample_topp runs on the calling thread (the sampler uses no pool)",
        f"{torch_text}, qelt_native {qelt_native.__version__}") + [
        "sample_topp on x86-64: SSE2 arg-max and top-k scan, AVX2 or SSE2 bounds in the nucleus"
        " shortcut, the platform's scalar exp for every weight it uses",
        f"logits: float32, normal with standard deviation 2; median of {NATIVE_REPEATS} "
        f"sample_topp and {PEER_REPEATS} peer repeats per cell",
    ]


def main():
    torch_threads = 0
    if torch is not None:
        torch_threads = machine.worker_count()[0]
        torch.set_num_threads(torch_threads)
    header = machine_lines(torch_threads)
    for line in header:
        print(line)
    print()

    columns = (
        f"{'V':>8}  {'setting':<20}{'qelt us':>10}{'numpy us':>11}{'x numpy':>9}"
        f"{'torch us':>11}{'x torch':>9}"
    )
    rows = [columns, "-" * len(columns)]
    print(columns)
    print(rows[1])
    data_rng = np.random.default_rng(2024)
    for size in SIZES:
        logits = (data_rng.standard_normal(size) * 2.0).astype(np.float32)
        logits_t = torch.from_numpy(logits) if torch else None
        for label, temperature, top_p, top_k in SETTINGS:
            seeds = iter(range(10**9))
            native = median_us(
                lambda: qelt_native.sample_topp(logits, temperature, top_p, top_k, next(seeds)),
                NATIVE_REPEATS,
            )
            rng = np.random.default_rng(1)
            peer = median_us(lambda: numpy_sample(logits, temperature, top_p, top_k, rng),
                             PEER_REPEATS)
            line = f"{size:>8}  {label:<20}{native:>10.1f}{peer:>11.1f}{peer / native:>9.1f}"
            if torch is not None:
                generator = torch.Generator().manual_seed(1)
                peer_t = median_us(
                    lambda: torch_sample(logits_t, temperature, top_p, top_k, generator),
                    PEER_REPEATS,
                )
                line += f"{peer_t:>11.1f}{peer_t / native:>9.1f}"
            rows.append(line)
            print(line, flush=True)
        # The arg-max beside numpy.argmax alone, on the same array.
        argmax_native = median_us(lambda: qelt_native.sample_topp(logits, 0.0, 1.0), 201)
        argmax_numpy = median_us(lambda: np.argmax(logits), 201)
        line = (
            f"{size:>8}  {'arg-max vs argmax':<20}{argmax_native:>10.1f}{argmax_numpy:>11.1f}"
            f"{argmax_numpy / argmax_native:>9.2f}"
        )
        rows.append(line)
        print(line, flush=True)

    notes = [
        "",
        "x numpy / x torch: peer time over sample_topp time (above 1: sample_topp is faster).",
        "numpy peer: argsort(kind='stable'), exp, cumsum, searchsorted; for k > 0 the first k of",
        "the stable ranking. torch peer: sort (topk for k > 0), softmax, cumsum, multinomial.",
        "'arg-max vs argmax': sample_topp at temperature 0 (argument conversion, the copy of the",
        "logits and the scan) beside numpy.argmax on the same array.",
    ]
    for line in notes:
        print(line)
    out_dir = Path(__file__).resolve().parent / "results"
    out_dir.mkdir(exist_ok=True)
    (out_dir / "sample.txt").write_text("\n".join(header + [""] + rows + notes) + "\n")


if __name__ == "__main__":
    main()
