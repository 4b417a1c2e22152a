"""The sampling rule of sample_topp written out in plain Python, for the tests to compare with.

Double precision throughout (Python floats), math.exp for the weights (a NaN logit weighs as
-inf, and -inf weighs 0 beside a finite best logit, at an infinite temperature too; when the best
logit is +inf, the +inf candidates weigh 1 and all others 0), single-precision
narrowing of the temperature and top_p with struct, Python's stable sort for the ranking
(largest logit first, equal logits by position, NaN after every number), SplitMix64 on Python
integers for the one uniform number.
"""

import math
import struct

MASK64 = (1 << 64) - 1


def to_float32(value):
    """`value` rounded to the nearest single-precision number, returned as a Python float."""
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:  # beyond the single-precision range: rounds to an infinity
        return math.copysign(math.inf, value)


def splitmix_uniform(seed):
    """The uniform number in [0, 1) that one SplitMix64 output gives for `seed`."""
    z = ((seed ^ 0xD1B54A32D192ED03) + 0x9E3779B97F4A7C15) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    z ^= z >> 31
    return (z >> 11) * 2.0**-53


def argmax_position(logits):
    best, position = -math.inf, 0
    for i, x in enumerate(logits):
        if x > best:  # False for NaN, and for a value equal to the best so far
            best, position = x, i
    return position


def ranking(logits):
    """Positions by logit, largest first; equal logits keep position order; NaN last."""

    def key(i):
        x = logits[i]
        return (1, 0.0) if math.isnan(x) else (0, -x)

    return sorted(range(len(logits)), key=key)


def kept_count(weights, total, top_p):
    """How many ranked weights the nucleus cut keeps (top_p already narrowed)."""
    if not top_p < 1.0:  # also for NaN
        return len(weights)
    threshold = total * max(top_p, 0.0)
    running = 0.0
    for count, w in enumerate(weights, start=1):
        running += w
        if running >= threshold:
            return count
    return len(weights)


def kept_weights(logits, temperature, top_p, top_k=0):
    """The ranked positions and weights that survive top-k and the cut (sampling path only)."""
    t = to_float32(temperature)
    p = to_float32(top_p)
    order = ranking(logits)
    k = len(order) if top_k == 0 or top_k >= len(order) else top_k
    order = order[:k]
    best = logits[order[0]]
    reciprocal = 1.0 / t
    if best == math.inf:
        weights = [1.0 if logits[i] == math.inf else 0.0 for i in order]
    else:
        # Below a finite best logit, -inf and NaN weigh 0 at every temperature that is a number,
        # +inf included, where (-inf - best) * 0 would be NaN.
        lowest_weighs_zero = math.isfinite(best) and not math.isnan(t)
        weights = []
        for i in order:
            x = -math.inf if math.isnan(logits[i]) else logits[i]
            if x == -math.inf and lowest_weighs_zero:
                weights.append(0.0)
            else:
                weights.append(math.exp((x - best) * reciprocal))
    total = 0.0
    for w in weights:
        total += w
    kept = kept_count(weights, total, p)
    return order[:kept], weights[:kept]


def sample_reference(logits, temperature, top_p, top_k=0, seed=0):
    """The token sample_topp returns for a list of float32 values `logits`."""
    if to_float32(temperature) <= 0.0:
        return argmax_position(logits)
    order, weights = kept_weights(logits, temperature, top_p, top_k)
    mass = 0.0
    for w in weights:
        mass += w
    target = splitmix_uniform(seed) * mass
    for position, w in zip(order, weights):
        target -= w
        if target <= 0.0:
            return position
    return order[-1]
