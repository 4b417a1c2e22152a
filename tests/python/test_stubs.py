"""The type stub: it matches the built module, and it accepts real calls and rejects wrong ones."""

import ast
import inspect
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

import qelt_native  # noqa: E402

STUB_DIR = pathlib.Path(__file__).resolve().parents[2] / "src" / "module"
STUB = STUB_DIR / "qelt_native.pyi"

pytestmark = pytest.mark.timeout(300)


def run_mypy_tool(args, cwd):
    env = dict(os.environ, MYPYPATH=str(STUB_DIR))
    return subprocess.run(
        [sys.executable, "-m", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=240,
    )


def test_stubtest_finds_no_difference_from_the_built_module(tmp_path):
    result = run_mypy_tool(["mypy.stubtest", "--concise", "qelt_native"], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("name", ["apply_gates", "sample_topp"])
def test_stub_docstrings_are_the_runtime_docstrings(name):
    tree = ast.parse(STUB.read_text())
    stub_doc = next(
        ast.get_docstring(node)
        for node in tree.body
        if isinstance(node, ast.FunctionDef) and node.name == name
    )
    assert stub_doc == inspect.getdoc(getattr(qelt_native, name))


# Each snippet is checked by mypy against the stub. `None` means it must type-check cleanly;
# otherwise the error code mypy must report for the snippet's last line (and only there).
PRELUDE = """\
import numpy as np
from numpy.typing import NDArray
import qelt_native

psi: NDArray[np.complex64] = np.zeros((2, 4), np.complex64)
h: NDArray[np.complex64] = np.eye(2, dtype=np.complex64)
cx: NDArray[np.complex64] = np.eye(4, dtype=np.complex64)
wide: NDArray[np.complex128] = np.eye(2, dtype=np.complex128)
logits: NDArray[np.float32] = np.zeros(4, np.float32)
doubles: NDArray[np.float64] = np.zeros(4, np.float64)
"""

SNIPPETS = {
    "shared_and_per_row_gates": (
        "qelt_native.apply_gates(psi, [([1], h), ((1, 0), cx), ([np.int64(0)], np.stack([h, h]))])",
        None,
    ),
    "gates_by_keyword": ("qelt_native.apply_gates(gates=(), psi=psi)", None),
    "sample_returns_int": (
        "token: int = qelt_native.sample_topp(logits, 0.8, 0.9, top_k=3, seed=2**64 - 1)",
        None,
    ),
    "sample_accepts_int_and_bool_reals": ("qelt_native.sample_topp(logits, 1, True, True)", None),
    "sample_all_by_keyword": (
        "qelt_native.sample_topp(seed=1, top_k=2, top_p=0.5, temperature=1.0, logits=logits)",
        None,
    ),
    "apply_returns_none": ("x = qelt_native.apply_gates(psi, [])", "func-returns-value"),
    "complex128_matrix": ("qelt_native.apply_gates(psi, [([0], wide)])", "list-item"),
    "complex128_psi": ("qelt_native.apply_gates(wide, [])", "arg-type"),
    "gate_as_list": ("qelt_native.apply_gates(psi, [[[0], h]])", "list-item"),
    "bit_positions_as_floats": ("qelt_native.apply_gates(psi, [([0.0], h)])", "list-item"),
    "float64_logits": ("qelt_native.sample_topp(doubles, 1.0, 1.0)", "arg-type"),
    "token_is_not_str": ("s: str = qelt_native.sample_topp(logits, 1.0, 1.0)", "assignment"),
    "top_k_not_float": ("qelt_native.sample_topp(logits, 1.0, 1.0, top_k=2.0)", "arg-type"),
    "temperature_not_str": ("qelt_native.sample_topp(logits, '1', 1.0)", "arg-type"),
    "misspelt_keyword": ("qelt_native.sample_topp(logits, 1.0, 1.0, topk=2)", "call-arg"),
    "missing_top_p": ("qelt_native.sample_topp(logits, 1.0)", "call-arg"),
    "no_other_attributes": ("qelt_native.PanicException", "attr-defined"),
}


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Runs mypy once over every snippet; returns {snippet name: [(line, error code)]}."""
    root = tmp_path_factory.mktemp("snippets")
    for name, (code, _) in SNIPPETS.items():
        (root / f"{name}.py").write_text(PRELUDE + code + "\n")
    result = run_mypy_tool(
        [
            "mypy",
            "--strict",
            "--show-error-codes",
            "--no-error-summary",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            *sorted(f"{name}.py" for name in SNIPPETS),
        ],
        cwd=root,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {name: [] for name in SNIPPETS}
    for line in result.stdout.splitlines():
        if ": note: " in line:
            continue
        match = re.match(r"(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        assert match, f"unexpected mypy output: {line}"
        errors[match[1]].append((int(match[2]), match[3]))
    return errors


@pytest.mark.parametrize("name", sorted(SNIPPETS))
def test_mypy_accepts_and_rejects_calls(name, mypy_errors):
    code, expected = SNIPPETS[name]
    last_line = len((PRELUDE + code).splitlines())
    if expected is None:
        assert mypy_errors[name] == []
    else:
        assert mypy_errors[name] and all(
            (line, error) == (last_line, expected) for line, error in mypy_errors[name]
        ), mypy_errors[name]


def test_snippets_that_type_check_also_run():
    """The calls the stub accepts are calls the module accepts."""
    namespace = {}
    exec(textwrap.dedent(PRELUDE), namespace)
    for code, expected in SNIPPETS.values():
        if expected is None:
            exec(code, dict(namespace))
