"""Argument binding and the conversions of scalar arguments, with their exact messages."""

import numpy as np
import pytest

from helpers import Floaty, Index, Raises
from qelt_native import apply_gates, sample_topp

LOGITS = np.array([1.0, 3.0, 2.0], np.float32)
PSI_SHAPE = (1, 2)


def psi():
    return np.zeros(PSI_SHAPE, np.complex64)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: apply_gates(),
            "apply_gates() missing 2 required positional arguments: 'psi' and 'gates'",
        ),
        (
            lambda: sample_topp(),
            "sample_topp() missing 3 required positional arguments: "
            "'logits', 'temperature', and 'top_p'",
        ),
        (
            lambda: sample_topp(LOGITS),
            "sample_topp() missing 2 required positional arguments: 'temperature' and 'top_p'",
        ),
        (
            lambda: sample_topp(logits=LOGITS, top_p=1.0),
            "sample_topp() missing 1 required positional argument: 'temperature'",
        ),
        (
            lambda: sample_topp(LOGITS, 1.0, 1.0, 0, 0, 7),
            "sample_topp() takes from 3 to 5 positional arguments but 6 were given",
        ),
        (
            lambda: sample_topp(LOGITS, 1.0, 1.0, 0, 0, 7, bogus=1),
            "sample_topp() takes from 3 to 5 positional arguments but 6 were given",
        ),
        (
            lambda: apply_gates(psi(), [], 3),
            "apply_gates() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: apply_gates(psi(), [], psi=psi()),
            "apply_gates() got multiple values for argument 'psi'",
        ),
        (
            lambda: sample_topp(LOGITS, 1.0, 1.0, topk=3),
            "sample_topp() got an unexpected keyword argument 'topk'",
        ),
        (
            lambda: sample_topp(LOGITS, 1.0, 1.0, **{"TOP_K": 3}),
            "sample_topp() got an unexpected keyword argument 'TOP_K'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_keyword_that_utf8_cannot_hold_is_unexpected():
    with pytest.raises(TypeError, match="^sample_topp\\(\\) got an unexpected keyword argument '\ufffd"):
        sample_topp(LOGITS, 1.0, 1.0, **{"\udcff": 1})


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(logits=LOGITS, temperature=0.0, top_p=1.0),
        dict(seed=3, top_k=1, top_p=1.0, temperature=0.5, logits=LOGITS),
        dict(top_p=0.5, logits=LOGITS, temperature=0.0, seed=9),
    ],
)
def test_every_parameter_binds_by_keyword(kwargs):
    assert sample_topp(**kwargs) == sample_topp(
        kwargs["logits"], kwargs["temperature"], kwargs["top_p"],
        kwargs.get("top_k", 0), kwargs.get("seed", 0),
    )


@pytest.mark.parametrize(
    "name, value",
    [("top_k", True), ("top_k", Index(1)), ("seed", 2**64 - 1), ("seed", Index(2**64 - 1))],
)
def test_integer_conversion_accepts(name, value):
    assert sample_topp(LOGITS, 1.0, 1.0, **{name: value}) in (0, 1, 2)


@pytest.mark.parametrize("name", ["top_k", "seed"])
@pytest.mark.parametrize("value", [-1, 2**64, Index(-5), Index(2**70)])
def test_integer_out_of_range_is_the_interpreters_overflow_error(name, value):
    with pytest.raises(OverflowError) as caught:
        sample_topp(LOGITS, 1.0, 1.0, **{name: value})
    assert "argument" not in str(caught.value)


@pytest.mark.parametrize("name", ["top_k", "seed"])
@pytest.mark.parametrize("value", [None, 2.0, "3", Raises(TypeError("inner"))])
def test_integer_type_errors_name_the_argument(name, value):
    with pytest.raises(TypeError) as caught:
        sample_topp(LOGITS, 1.0, 1.0, **{name: value})
    assert str(caught.value).startswith(f"argument '{name}': ")
    assert caught.value.__cause__ is None and caught.value.__suppress_context__


@pytest.mark.parametrize("name", ["temperature", "top_p"])
@pytest.mark.parametrize("value", ["1", None, Raises(TypeError("inner"))])
def test_float_type_errors_name_the_argument(name, value):
    args = {"temperature": 1.0, "top_p": 1.0, name: value}
    with pytest.raises(TypeError) as caught:
        sample_topp(LOGITS, **args)
    assert str(caught.value).startswith(f"argument '{name}': ")


def test_wrapped_type_error_keeps_the_inner_cause():
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as caught:
        sample_topp(LOGITS, 1.0, 1.0, top_k=Raises(inner))
    assert str(caught.value) == "argument 'top_k': inner"
    assert caught.value.__cause__ is root


@pytest.mark.parametrize(
    "value, error",
    [(Raises(ValueError("mine")), ValueError), (Raises(IndexError("x")), IndexError)],
)
def test_other_user_errors_pass_unchanged(value, error):
    with pytest.raises(error) as caught:
        sample_topp(LOGITS, 1.0, 1.0, seed=value)
    assert "argument" not in str(caught.value)


def test_float_overflowing_a_double_is_an_overflow_error():
    with pytest.raises(OverflowError):
        sample_topp(LOGITS, 10**400, 1.0)


@pytest.mark.parametrize(
    "temperature, expected_argmax",
    [(-1.0, True), (0.0, True), (Floaty(-0.0), True), (1e300, False), (2.0**-150, True)],
)
def test_float_conversion_values(temperature, expected_argmax):
    # Arg-max ignores the seed; sampling with an infinite temperature draws by seed.
    results = {sample_topp(LOGITS, temperature, 1.0, seed=s) for s in range(40)}
    assert (results == {1}) == expected_argmax


def test_explicit_none_is_not_the_default():
    with pytest.raises(TypeError, match="^argument 'seed': "):
        sample_topp(LOGITS, 1.0, 1.0, seed=None)
