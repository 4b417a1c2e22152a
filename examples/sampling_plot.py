"""Many draws from sample_topp on one logits vector, against the nucleus the rule describes.

The expected distribution is computed here from the sampling rule in double precision: rank
the tokens by logit (ties by position), weight them by exp((logit - max) / temperature), keep
the smallest prefix of the ranking whose weight reaches the fraction top_p of the total, and
renormalise what is kept. Tokens outside the nucleus must never be drawn. The sampled
frequencies, one draw per seed, should match the kept weights within sampling noise.
"""

import os

import numpy as np

import qelt_native

LOGITS = np.array(
    [2.0, 0.5, 3.1, -1.0, 1.2, 2.6, 0.0, -0.5, 1.8, 0.9, -2.0, 2.6], dtype=np.float32
)
TEMPERATURE = 0.8
TOP_P = 0.9
DRAWS = 20000


def nucleus_probabilities(logits, temperature, top_p):
    """Renormalised weights of the kept tokens, 0.0 for the tokens the cut removes."""
    values = np.asarray(logits, dtype=np.float32)
    ranking = sorted(range(len(values)), key=lambda i: (-float(values[i]), i))
    inverse_temperature = 1.0 / float(np.float32(temperature))
    top = float(values[ranking[0]])
    weights = [np.exp((float(values[i]) - top) * inverse_temperature) for i in ranking]
    total = sum(weights)
    p = float(np.float32(top_p))
    kept = len(weights)
    if p < 1.0:
        threshold = total * max(p, 0.0)
        running = 0.0
        for count, weight in enumerate(weights, start=1):
            running += weight
            if running >= threshold:
                kept = count
                break
    probabilities = np.zeros(len(values))
    kept_mass = sum(weights[:kept])
    for rank in range(kept):
        probabilities[ranking[rank]] = weights[rank] / kept_mass
    return probabilities


def sampled_frequencies(logits, temperature, top_p, draws):
    counts = np.zeros(len(logits))
    for seed in range(draws):
        counts[qelt_native.sample_topp(logits, temperature, top_p, seed=seed)] += 1
    return counts / draws


def main(out_dir="."):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    expected = nucleus_probabilities(LOGITS, TEMPERATURE, TOP_P)
    observed = sampled_frequencies(LOGITS, TEMPERATURE, TOP_P, DRAWS)
    kept = int(np.count_nonzero(expected))
    outside = float(observed[expected == 0].sum())
    noise = np.sqrt(expected * (1 - expected) / DRAWS)
    worst = float(np.max(np.abs(observed - expected) / np.where(noise > 0, noise, 1)))

    tokens = np.arange(len(LOGITS))
    fig, ax = plt.subplots(figsize=(9, 4.5))
    ax.bar(tokens - 0.2, expected, width=0.4, label="nucleus weight (renormalised)")
    ax.bar(tokens + 0.2, observed, width=0.4, label=f"sampled frequency ({DRAWS} seeds)")
    for token in tokens[expected == 0]:
        ax.text(token, 0.005, "cut", ha="center", va="bottom", fontsize=8, color="gray")
    ax.set_xticks(tokens, [f"{t}\n{LOGITS[t]:g}" for t in tokens])
    ax.set_xlabel("token id / logit")
    ax.set_ylabel("probability")
    ax.set_title(
        f"sample_topp: temperature {TEMPERATURE}, top_p {TOP_P}: {kept} of {len(LOGITS)} tokens kept"
    )
    ax.legend()
    fig.tight_layout()
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "sampling_topp.png")
    fig.savefig(path, dpi=120)
    plt.close(fig)

    print(f"{DRAWS} draws, temperature {TEMPERATURE}, top_p {TOP_P}: {kept} of {len(LOGITS)}"
          f" tokens in the nucleus; frequency outside it {outside:g};"
          f" largest deviation {worst:.1f} standard errors")
    print(f"saved the plot to {path}")
    return path


if __name__ == "__main__":
    main()
