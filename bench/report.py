"""The performance report's text and plot, from the figures bench_report.py measured: the
tables, the judged figures each beside its peer or limit, the notes, and results/report.png."""

import textwrap

import numpy as np

from circuits import (BATCH_CASES, BATCH_LAYERS, EXTRA_LAYER_CASES, LAYERS, QSIM_LAYER_NS,
                      ROW_CASES)
from orchestration import PAIRED_ROUNDS, RELATIVE_TOLERANCE
from peers import ENGINE_ARITHMETIC, ENGINE_NOTES, ENGINES

CASES = ROW_CASES + EXTRA_LAYER_CASES + BATCH_CASES


class Figures:
    """What one run measured: header lines, copy bandwidth, engine records by engine and case,
    engines not measured, the in-row scaling and the two-copy ceiling, kernel timings, the
    smallest calls, arg-max, the pool call after sleep, sampling rows, workers."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def peer_cell(self, engine, label, native, width):
        """A peer's time over the module's, or why there is none: n/a, WRONG (its result
        differs), noisy (fixed cost over 80% of its run); '*' where it was scaled."""
        record = self.results.get(engine, {}).get(label)
        if record is None:
            return f"{'n/a':>{width}}"
        if record["relative_diff"] > RELATIVE_TOLERANCE:
            return f"{'WRONG':>{width}}"
        if record["noisy"]:
            return f"{'noisy':>{width}}"
        ratio = record.get("ratio", record["seconds"] / native)
        return f"{ratio:>{width - 1}.1f}{'*' if record.get('scaled') else 'x'}"

    def plot_row(self, label, amplitudes, gates, native):
        """(label, the module's bandwidth over copy, {peer: its bandwidth over copy})."""
        def over_copy(seconds):
            return 16 * amplitudes * gates / seconds / self.copy_bw

        peers = {}
        for p in ENGINES:
            record = self.results.get(p, {}).get(label)
            if (record and record["relative_diff"] <= RELATIVE_TOLERANCE and not record["noisy"]
                    and record["seconds"] > 0):
                peers[p] = over_copy(record["seconds"])
        return label, over_copy(native), peers


def case_lines(f, cases, width, middle):
    """A line per case: label, gates, `middle`'s cells, each peer's ratio; and the plot rows."""
    lines, plot = [], []
    for label, batch, n, _ in cases:
        record = f.results["qelt_native"].get(label)
        if record is None:
            lines.append(f"{label:<{width}}  not measured")
            continue
        seconds, gates = record["seconds"], record["gates"]
        bw = 16 * (batch << n) * gates / seconds
        lines.append(f"{label:<{width}}{gates:>6}{middle(label, seconds, gates, bw)}"
                     + "".join(f.peer_cell(p, label, seconds, 12) for p in ENGINES))
        plot.append(f.plot_row(label, batch << n, gates, seconds))
    return lines, plot


def single_rows(f):
    table = ["", "single row (B = 1): time per gate of qelt_native, its effective bandwidth, and",
             "each peer's time over qelt_native's (above 1x: qelt_native is faster);",
             f"layers: {LAYERS} layers of a random one-qubit unitary on every qubit, then random"
             " two-qubit", "unitaries on alternating neighbour pairs (brickwork)"]
    head = f"{'case':<14}{'gates':>6}{'us/gate':>9}{'GB/s':>7}{'x copy':>7}" + "".join(
        f"{p:>12}" for p in ENGINES)
    table += [head, "-" * len(head)]

    def middle(label, seconds, gates, bw):
        return f"{seconds / gates * 1e6:>9.0f}{bw / 1e9:>7.1f}{bw / f.copy_bw:>7.2f}"

    rows, plot = case_lines(f, ROW_CASES, 14, middle)
    return table + rows, plot


def batches(f):
    table = ["", f"batches: per-row RY rotations on every bit and a shared CNOT ladder, "
             f"{BATCH_LAYERS} layers;", "qelt_native's time for the whole batch, its bandwidth, "
             "the scalar kernel's time (C++ program on the",
             "core library: same driver and workers, scalar kernels) and qelt_native's speed-up"
             " over it; the", "AVX2 and AVX-512F kernels in the same program and their speed-up"
             " over scalar; then each", "peer's time over qelt_native's"]
    head = (f"{'case':<18}{'gates':>6}{'ms':>8}{'GB/s':>7}{'scalar ms':>10}{'x scalar':>9}"
            f"{'avx2 ms':>8}{'x':>6}{'avx512':>8}{'x':>6}" + "".join(f"{p:>12}" for p in ENGINES))
    table += [head, "-" * len(head)]

    def middle(label, seconds, gates, bw):
        timing = f.kernels.get(label)
        if not timing:
            return f"{seconds * 1e3:>8.1f}{bw / 1e9:>7.1f}{'not measured':>47}"
        if not all(v[1] for v in timing.values() if isinstance(v, list)):
            return f"{seconds * 1e3:>8.1f}{bw / 1e9:>7.1f}{'variants differ in bits':>47}"
        scalar = timing["scalar"][0]
        return f"{seconds * 1e3:>8.1f}{bw / 1e9:>7.1f}{scalar * 1e3:>10.1f}" + (
            f"{scalar / seconds:>9.2f}") + "".join(
            f"{timing[v][0] * 1e3:>8.1f}{scalar / timing[v][0]:>6.2f}" if v in timing
            else f"{'n/a':>14}" for v in ("avx2", "avx512f"))

    rows, plot = case_lines(f, BATCH_CASES, 18, middle)
    table += rows
    if not f.kernels:
        table.append(f"scalar kernel not measured: {f.kernel_reason}")
    return table, plot


def checks(f):
    table = ["", "checks: 2-norm of (peer - qelt_native) over 2-norm of qelt_native's result, "
             f"same start and gates; above {RELATIVE_TOLERANCE:g}: WRONG"]
    head = f"{'case':<18}" + "".join(f"{p:>12}" for p in ENGINES)
    table += [head, "-" * len(head)]
    for label, *_ in CASES:
        measured = [f.results.get(p, {}).get(label) for p in ENGINES]
        if any(measured):
            table.append(f"{label:<18}" + "".join(
                f"{r['relative_diff']:>12.1e}" if r else f"{'n/a':>12}" for r in measured))
    return table


def sampling_table(f):
    table = ["", f"sample_topp: microseconds per call ({f.torch_text}); peers from "
             "bench_sample.py, ratio = peer / qelt_native"]
    head = (f"{'V':>8}  {'setting':<20}{'qelt us':>9}{'numpy us':>10}{'x':>7}"
            f"{'torch us':>10}{'x':>7}")
    table += [head, "-" * len(head)]
    for size, label, native, peer, peer_t in f.sample_rows:
        torch_cells = f"{peer_t:>10.0f}{peer_t / native:>7.1f}" if peer_t else f"{'n/a':>17}"
        table.append(f"{size:>8}  {label:<20}{native:>9.1f}{peer:>10.0f}{peer / native:>7.1f}"
                     + torch_cells)
    table += ["", "smallest calls: microseconds per call, median of 7 runs of many back-to-back"
              " calls", f"{'numpy.add on 4 float32, out= given':<40}{f.ufunc:>8.2f}"]
    for label, us in f.small:
        table.append(f"{label:<40}{us:>8.2f}  ({us / f.ufunc:.1f}x the ufunc call)")
    return table


def in_row_section(f):
    out = ["", "(a) in-row route: layered circuit, one row, "
           f"{f.workers} workers; G amplitude-gate updates per second",
           "    (a row under 2^15 amplitudes runs serially on the calling thread, from 2^15 on"
           " in-row over the pool)",
           f"    (sizes taken in turn, {f.scaling_calls} calls each, {f.scaling_rounds} rounds;"
           " median over rounds of each round's median)"]
    head = f"{'case':<14}{'route':>8}{'gates':>7}{'ms':>9}{'G/s':>8}{'x serial n=14':>15}"
    out += [head, "-" * len(head)]
    serial_rate = f.scaling["14"][0] * (1 << 14) / f.scaling["14"][1]
    for key, (gates, seconds) in f.scaling.items():
        n = int(key)
        rate = gates * (1 << n) / seconds
        out.append(f"{f'layers n={n}':<14}{'serial' if n < 15 else 'in-row':>8}{gates:>7}"
                   f"{seconds * 1e3:>9.2f}{rate / 1e9:>8.2f}{rate / serial_rate:>15.2f}")
    alone, together = f.ceiling
    out.append(f"machine's ceiling: the serial n=14 case in two processes at once, "
               f"{together / 1e9:.2f} G/s together against {alone / 1e9:.2f} alone "
               f"({together / alone:.2f}x)")
    return out


def qsim_section(f):
    out = ["", "(b) qsim's time over qelt_native's (above 1x: qelt_native is faster); qsim at its"
           " C++ entry,", "    its fixed cost per run (state in and out, measured with no gates)"
           " taken off, and with it left in;",
           f"    the two timed in {PAIRED_ROUNDS} alternating rounds: median times, and the"
           " median of the rounds' ratios"]
    head = (f"{'case':<14}{'gates':>7}{'qelt ms':>10}{'qsim ms':>10}{'x':>8}{'with fixed':>12}"
            f"{'x':>8}")
    out += [head, "-" * len(head)]
    labels = [f"layers n={n}" for n in QSIM_LAYER_NS] + [
        f"{kind} n={n}" for n in (20, 24) for kind in ("1q", "2q")]
    for label in labels:
        record, peer = f.results["qelt_native"].get(label), f.results["qsim"].get(label)
        if record is None:
            out.append(f"{label:<14}  not measured")
            continue
        peer_ms = f"{peer['seconds'] * 1e3:>10.1f}" if peer else f"{'n/a':>10}"
        with_fixed = f"{'n/a':>20}"
        if peer and peer["relative_diff"] <= RELATIVE_TOLERANCE:
            raw = peer["seconds_with_fixed_cost"]
            ratio = peer.get("ratio_with_fixed_cost", raw / record["seconds"])
            with_fixed = f"{raw * 1e3:>12.1f}{ratio:>7.2f}x"
        out.append(f"{label:<14}{record['gates']:>7}{record['seconds'] * 1e3:>10.1f}{peer_ms}"
                   + f.peer_cell("qsim", label, record["seconds"], 8) + with_fixed)
    return out


def batch_section(f):
    out = ["", "(c) batches (per-row RY layers and a CNOT ladder): scaluq's batched engine on the"
           " whole batch,", "    Lightning's RY and CNOT kernels row by row (first rows,"
           " scaled); peer time over qelt_native's"]
    head = f"{'case':<18}{'qelt ms':>9}{'scaluq ms':>11}{'x':>8}{'lightning ms':>14}{'x':>8}"
    out += [head, "-" * len(head)]
    for label, *_ in BATCH_CASES:
        record = f.results["qelt_native"].get(label)
        if record is None:
            out.append(f"{label:<18}  not measured")
            continue
        cells = ""
        for peer, width in (("scaluq", 11), ("lightning", 14)):
            other = f.results.get(peer, {}).get(label)
            cells += f"{other['seconds'] * 1e3:>{width}.1f}" if other else f"{'n/a':>{width}}"
            cells += f.peer_cell(peer, label, record["seconds"], 8)
        out.append(f"{label:<18}{record['seconds'] * 1e3:>9.1f}{cells}")
    return out


def small_call_sections(f):
    out = ["", "(d) arg-max: sample_topp at temperature 0 beside numpy.argmax, contiguous float32"
           " logits,", "    microseconds per call (median of 7 runs of 400 calls)"]
    head = f"{'V':>8}{'qelt us':>10}{'argmax us':>11}{'x':>8}  same index"
    out += [head, "-" * len(head)]
    for size, ours, peer, same in f.argmax:
        out.append(f"{size:>8}{ours:>10.1f}{peer:>11.1f}{peer / ours:>8.2f}  "
                   f"{'yes' if same else 'NO'}")
    pool = dict(f.small).get("apply_gates (2, 4), one gate (pool)")
    out += ["", "(e) smallest pool call: apply_gates on psi (2, 4), one gate, microseconds"]
    out.append(f"{'back to back (median of 7 runs of 2000)':<48}{pool:>9.2f}"
               f"  ({pool / f.ufunc:.0f}x numpy.add on 4 float32)")
    out.append(f"{f'after time.sleep({f.sleep_pause}) (median of {f.sleep_calls} calls)':<48}"
               f"{f.asleep:>9.2f}  ({f.asleep / pool:.1f}x back to back)")
    return out


def notes(f):
    def described(items):
        return [textwrap.fill(f"{k}: {v}", 96, initial_indent="  ", subsequent_indent="    ")
                for k, v in items]

    out = ["", "engines:"] + described(ENGINE_NOTES.items())
    out += ["fusion and FMA (from each engine's documented options):"]
    out += described(ENGINE_ARITHMETIC.items())
    out += [
        "method:",
        "  each engine runs in a child interpreter of its own with OMP_WAIT_POLICY=passive and",
        "  as many threads as the module has workers, and is timed at its own entry: every",
        "  translation (circuit objects, matrices) is done before the timing. Peers get the",
        "  gate form their users would write: dense matrices for the random unitaries, named",
        "  RY and CNOT gates for the batches, and the same start state; their fixed cost per",
        "  run (state load and read-back, measured with no gates) is taken off their time. Aer",
        "  is timed by its own time_taken. scaluq loads the start state once (element by",
        "  element: seconds at n = 24) and copies it into its working state each run.",
        "  '*': timed on part of the case and scaled to the whole: the first rows of a batch",
        "  (64 of 4096, 16 of 256; scaluq's batched engine runs all rows), the first 2 of 10",
        "  layers at n = 24 (qsim runs all 10), and for NumPy every k-th gate of a long list.",
        "  'noisy': the fixed cost was over 80% of the run, so the difference is not a usable",
        "  time.",
        "bandwidth: 16 bytes per amplitude per gate over the time; x copy: over the copy "
        "bandwidth.",
    ]
    out += [f"not measured, {engine}: {reason}" for engine, reason in f.missing.items()]
    return out


def text(f):
    """The report's lines after the header, and the plot's rows."""
    rows, plot_rows = single_rows(f)
    batch_rows, batch_plot = batches(f)
    lines = rows + batch_rows + checks(f) + sampling_table(f)
    lines += ["", "targets: the judged figures, each beside its peer or limit from this run"]
    lines += in_row_section(f) + qsim_section(f) + batch_section(f) + small_call_sections(f)
    return lines + notes(f), plot_rows + batch_plot


def draw(path, plot_rows, f, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(17, 6.5))
    ax = axes[0]
    engines = ["qelt_native"] + ENGINES
    width = 0.8 / len(engines)
    for i, engine in enumerate(engines):
        values = [row[1] if engine == "qelt_native" else row[2].get(engine, 0.0)
                  for row in plot_rows]
        ax.bar(np.arange(len(plot_rows)) + i * width, values, width, label=engine)
    ax.axhline(1.0, color="black", linewidth=0.8, linestyle="--")
    ax.set_xticks(np.arange(len(plot_rows)) + 0.4 - width / 2)
    ax.set_xticklabels([row[0] for row in plot_rows], rotation=35, ha="right", fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("effective bandwidth / copy bandwidth (log)")
    ax.set_title("apply_gates and peers (dashed: copy bandwidth)")
    ax.legend(fontsize=7)

    ax = axes[1]
    labels = [f"{size // 1000}k {label.split(',')[1].strip()}, {label.split(',')[2].strip()}"
              for size, label, *_ in f.sample_rows]
    for i, (name, index) in enumerate((("qelt_native", 2), ("numpy", 3), ("torch", 4))):
        values = [row[index] or 0.0 for row in f.sample_rows]
        ax.bar(np.arange(len(f.sample_rows)) + i * 0.27, values, 0.27, label=name)
    ax.set_xticks(np.arange(len(f.sample_rows)) + 0.27)
    ax.set_xticklabels(labels, rotation=35, ha="right", fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("microseconds per call (log)")
    ax.set_title("sample_topp, T 0.8")
    ax.legend(fontsize=7)

    ax = axes[2]
    names = ["numpy.add, 4 elements"] + [label for label, _ in f.small]
    values = [f.ufunc] + [us for _, us in f.small]
    ax.barh(np.arange(len(names)), values, color=["grey"] + ["C0"] * len(f.small))
    ax.set_yticks(np.arange(len(names)))
    ax.set_yticklabels(names, fontsize=8)
    ax.set_xlabel("microseconds per call")
    ax.set_title("smallest calls")
    fig.suptitle(title, fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
