"""sample_topp against the plain-Python rule in sample_reference, the worked examples, the
draw's frequencies, array views and the refusals at the boundary."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from qelt_native import sample_topp
from sample_reference import kept_weights, sample_reference, splitmix_uniform

TIED = [1.0, 3.0, 2.0, 3.0]
FLAT = [0.0, 0.0, 0.0, 0.0]


def f32(values):
    return np.array(values, dtype=np.float32)


@pytest.mark.parametrize(
    "seed, uniform",
    [(0, 0.17601256256594233), (1, 0.28224809303269816), (42, 0.7846333828452882)],
)
def test_reference_generator_gives_the_known_uniform_numbers(seed, uniform):
    # Guards the reference itself: every comparison below relies on it.
    assert splitmix_uniform(seed) == uniform


@pytest.mark.parametrize(
    "logits, temperature, top_p, top_k, seed, expected",
    [
        (TIED, 1.0, 1.0, 0, 0, 1),
        (TIED, 1.0, 1.0, 0, 42, 3),
        *[(TIED, 1.0, 1.0, 1, seed, 1) for seed in (0, 1, 42, 2**64 - 1)],
        (TIED, 0.0, 1.0, 0, 42, 1),
        (TIED, -1.0, 1.0, 0, 42, 1),
        (FLAT, 1.0, 1.0, 0, 0, 0),
        (FLAT, 1.0, 1.0, 0, 1, 1),
        (FLAT, 1.0, 1.0, 0, 42, 3),
        (FLAT, 1.0, 0.5, 0, 42, 1),
        (FLAT, 1.0, 0.5000001, 0, 42, 2),
        (FLAT, 1.0, 1.0, 2, 42, 1),
        (FLAT, 1.0, 0.0, 0, 42, 0),
        (FLAT, 1.0, -2.0, 0, 42, 0),
        (TIED, math.nan, 1.0, 0, 42, 0),  # NaN temperature: the last ranked of the k
        (TIED, math.nan, 1.0, 2, 42, 3),
        ([5.0], 0.3, 0.1, 0, 7, 0),
        ([math.nan], 1.0, 1.0, 0, 7, 0),
        ([math.inf], 1.0, 1.0, 0, 7, 0),
        ([math.nan, math.nan], 0.0, 1.0, 0, 0, 0),
        ([-math.inf, 0.0, -math.inf], 1.0, 1.0, 0, 42, 1),
        ([2.0, math.inf, 1.0], 1.0, 1.0, 0, 0, 1),
    ],
)
def test_worked_examples(logits, temperature, top_p, top_k, seed, expected):
    assert sample_topp(f32(logits), temperature, top_p, top_k, seed) == expected
    assert sample_reference(f32(logits).tolist(), temperature, top_p, top_k, seed) == expected


def with_specials(size, where, value):
    logits = np.zeros(size, np.float32)
    logits[list(where)] = value
    return logits


INF, NAN = math.inf, math.nan


@pytest.mark.parametrize(
    "logits, top_p, top_k, tokens",
    [
        # +inf is the strongest preference: drawn among the +inf candidates only.
        ([0.0, INF, 3.0], 1.0, 0, {1}),
        ([INF, 0.0, INF, NAN], 1.0, 0, {0, 2}),
        ([INF, 0.0, INF, NAN], 0.5, 0, {0}),  # the first +inf alone holds half the mass
        ([1.0, INF, INF, INF], 1.0, 2, {1, 2}),
        # NaN weighs like -inf beside a finite best logit, and ranks after every number.
        ([5.0, NAN, 5.0], 0.9, 0, {0, 2}),
        ([NAN, 1.0, NAN, -INF], 1.0, 0, {1}),
        ([NAN, 1.0, NAN, 0.5], 1.0, 4, {1, 3}),
        # Vocabularies large enough for the shortcut over the ranking's head.
        (with_specials(20000, [7, 19999], INF), 0.9, 0, {7, 19999}),
        (with_specials(20000, range(0, 20000, 2), NAN), 1.0, 0, set(range(1, 20000, 2))),
    ],
)
def test_special_logits_are_drawn_by_their_softmax_limit(logits, top_p, top_k, tokens):
    logits = f32(logits)
    drawn = {sample_topp(logits, 1.0, top_p, top_k, seed) for seed in range(200)}
    assert drawn <= tokens and (len(tokens) > 2 or drawn == tokens)
    for seed in range(0, 200, 40):
        expected = sample_reference(logits.tolist(), 1.0, top_p, top_k, seed)
        assert sample_topp(logits, 1.0, top_p, top_k, seed) == expected


@pytest.mark.parametrize(
    "logits, temperature, top_p, tokens",
    [
        # Banned (-inf) and NaN candidates stay out at an infinite temperature, and at one
        # that narrows to +inf; the finite ones are then drawn uniformly.
        ([0.0, -INF, 1.0], INF, 1.0, {0, 2}),
        ([5.0, NAN, 5.0], 1e300, 0.9, {0, 2}),
        ([-INF, 2.0, NAN, -3.0, -INF], INF, 1.0, {1, 3}),
    ],
)
def test_banned_tokens_stay_banned_at_infinite_temperature(logits, temperature, top_p, tokens):
    drawn = {sample_topp(f32(logits), temperature, top_p, seed=seed) for seed in range(100)}
    assert drawn == tokens


SPECIAL_LOGITS = st.sampled_from([-INF, NAN, INF, 0.0, -0.0, 1.0, 2.5, -7.0])
HOT = st.sampled_from([INF, 1e300, 3.4028234663852886e38, 1e38, 1e30, math.nan, 1.0])


@settings(max_examples=300, deadline=None, database=None)
@given(
    logits=st.lists(SPECIAL_LOGITS, min_size=1, max_size=30),
    temperature=HOT,
    top_p=st.sampled_from([1.0, 0.9, 0.5, 0.0, math.nan]),
    top_k=st.sampled_from([0, 1, 2, 3, 40]),
    seed=st.integers(0, 2**64 - 1),
)
def test_special_logits_at_hot_temperatures_follow_the_reference(
        logits, temperature, top_p, top_k, seed):
    values = f32(logits)
    token = sample_topp(values, temperature, top_p, top_k, seed)
    # Up to 20 candidates ties keep position order, so the reference fixes the token exactly.
    if len(logits) <= 20:
        assert token == sample_reference(values.tolist(), temperature, top_p, top_k, seed)
    k = len(logits) if top_k == 0 else min(top_k, len(logits))
    ranked = sorted(values.tolist(), key=lambda x: (math.isnan(x), -x if x == x else 0))[:k]
    if not math.isnan(temperature) and math.isfinite(ranked[0]):
        assert math.isfinite(values[token]), (logits, temperature, top_p, top_k, seed, token)


def random_case(rng):
    v = int(rng.integers(1, 5001)) if rng.random() < 0.3 else int(rng.integers(1, 300))
    scale = rng.choice([0.1, 1.0, 3.0, 30.0])
    logits = (rng.standard_normal(v) * scale).astype(np.float32)
    if rng.random() < 0.5:  # many ties
        logits = np.round(logits).astype(np.float32)
    if rng.random() < 0.15:
        specials = rng.choice(np.array([np.nan, -np.inf, np.inf, -0.0], np.float32), size=3)
        logits[rng.integers(0, v, size=3)] = specials
    temperature = float(rng.choice([1.0, 0.8, 0.05, 2.5, 1e-30, 0.0, -0.5, 1e300, math.nan]))
    top_p = float(rng.choice([1.0, 0.9, 0.5, 0.0, 0.999, 1 - 2**-25, 1 - 2**-24, 1.5, math.nan]))
    top_k = int(rng.choice([0, 1, 2, 50, int(rng.integers(1, v + 1)), v, v + 3]))
    seed = int(rng.integers(0, 2**63)) * 2 + int(rng.integers(0, 2))
    return logits, temperature, top_p, top_k, seed


@pytest.mark.parametrize("batch", range(6))
def test_matches_the_reference_on_random_cases(batch):
    rng = np.random.default_rng(1000 + batch)
    for _ in range(60):
        logits, temperature, top_p, top_k, seed = random_case(rng)
        expected = sample_reference(logits.tolist(), temperature, top_p, top_k, seed)
        got = sample_topp(logits, temperature, top_p, top_k, seed)
        assert got == expected, (len(logits), temperature, top_p, top_k, seed)


@pytest.mark.parametrize("temperature, top_p, top_k", [(0.7, 0.9, 0), (1.3, 1.0, 3)])
def test_draw_frequencies_follow_the_kept_weights(temperature, top_p, top_k):
    logits = f32([2.0, 1.0, 0.5, 0.0, -1.0, -3.0, 0.5])
    order, weights = kept_weights(logits.tolist(), temperature, top_p, top_k)
    draws = 20000
    counts = np.bincount(
        [sample_topp(logits, temperature, top_p, top_k, seed) for seed in range(draws)],
        minlength=len(logits),
    )
    dropped = [i for i in range(len(logits)) if i not in order]
    assert counts[dropped].sum() == 0
    expected = np.array(weights) / sum(weights) * draws
    chi_square = float((((counts[order] - expected) ** 2) / expected).sum())
    dof = len(order) - 1
    # Far beyond any plausible deviation (about 12 standard deviations of the statistic).
    assert chi_square < dof + 12 * math.sqrt(2 * dof) + 10


@pytest.mark.parametrize(
    "make_view",
    [
        lambda a: a[::-1],
        lambda a: a[::3],
        lambda a: a[::-2],
        lambda a: np.stack([a, a], axis=1)[:, 1],
    ],
    ids=["reversed", "step3", "reversed_step2", "column"],
)
@pytest.mark.parametrize("temperature", [0.0, 1.0])
def test_strided_views_are_read_in_logical_order(make_view, temperature):
    base = np.random.default_rng(5).standard_normal(1000).astype(np.float32)
    view = make_view(base)
    assert not view.flags.c_contiguous
    for seed in range(20):
        expected = sample_reference(view.tolist(), temperature, 0.9, 0, seed)
        assert sample_topp(view, temperature, 0.9, 0, seed) == expected


def test_read_only_array_is_accepted():
    logits = f32([0.5, 2.0, 1.0])
    logits.flags.writeable = False
    assert sample_topp(logits, 0.0, 1.0) == 1
    assert sample_topp(logits, 1.0, 0.9, seed=3) == sample_reference(logits.tolist(), 1.0, 0.9, 0, 3)


@pytest.mark.parametrize(
    "logits",
    [np.zeros(4, np.float64), np.zeros((2, 2), np.float32), np.zeros(4, np.float16)],
    ids=["float64", "two_dimensional", "float16"],
)
def test_other_arrays_are_refused(logits):
    message = "argument 'logits': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as info:
        sample_topp(logits, 1.0, 1.0)
    assert str(info.value) == message


@pytest.mark.parametrize("temperature", [1.0, 0.0, -1.0])
def test_empty_logits_are_refused(temperature):
    with pytest.raises(ValueError) as info:
        sample_topp(np.zeros(0, np.float32), temperature, 1.0)
    assert str(info.value) == "empty logits"


@pytest.mark.parametrize("seed", [0, 1, 42, 7])
def test_smallest_temperatures_switch_between_argmax_and_sampling(seed):
    logits = f32([3.0, 1.0, 3.0])
    # 2^-150 narrows to 0.0 in single precision (a tie, to even): arg-max, position 0.
    assert sample_topp(logits, 2.0**-150, 1.0, seed=seed) == 0
    # 2^-149 is the smallest positive single: sampling between the two equal best logits.
    expected = sample_reference(logits.tolist(), 2.0**-149, 1.0, 0, seed)
    assert sample_topp(logits, 2.0**-149, 1.0, seed=seed) == expected
    assert expected == (0 if splitmix_uniform(seed) * 2.0 <= 1.0 else 2)


@pytest.mark.parametrize("top_k", [0, 4, 5, 2**64 - 1])
def test_top_k_zero_v_and_above_v_mean_no_truncation(top_k):
    logits = f32([0.1, 0.4, -0.2, 0.4])
    for seed in range(30):
        assert sample_topp(logits, 1.0, 0.95, top_k, seed) == sample_topp(logits, 1.0, 0.95, 0, seed)


@pytest.mark.parametrize(
    "scale, rounding, temperature, top_p, top_k",
    [
        (2.0, None, 0.8, 0.9, 0),  # narrow nuclei: decided from a ranked head and bounded tail
        (1.0, None, 1.0, 0.5, 0),
        (4.0, 0.25, 0.5, 0.95, 0),  # many ties
        (3.0, None, 1.5, 0.0, 0),
        (2.0, None, 0.7, 0.999, 0),  # a wide nucleus: the full ranking
        (2.0, None, 0.8, 1.0, 0),
        (3.0, None, 0.8, 0.9, 40),
        (3.0, None, 0.8, 0.9, 2000),
    ],
)
def test_large_vocabularies_match_the_reference(scale, rounding, temperature, top_p, top_k):
    rng = np.random.default_rng(77)
    logits = (rng.standard_normal(20000) * scale).astype(np.float32)
    if rounding:
        logits = (np.round(logits / rounding) * rounding).astype(np.float32)
    as_list = logits.tolist()
    for seed in range(5):
        expected = sample_reference(as_list, temperature, top_p, top_k, seed)
        assert sample_topp(logits, temperature, top_p, top_k, seed) == expected
