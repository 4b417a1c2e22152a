"""The built extension: one exported symbol, no dynamic dependencies beyond the C library."""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import qelt_native
from helpers import C_LIBRARY

# The C library's own shared objects: glibc's several, or musl's one, which its loader resolves
# by this name.
ALLOWED_NEEDED = {
    "glibc": {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2"},
    "musl": {"libc.so"},
}


def tool_output(*args):
    if shutil.which(args[0]) is None:
        pytest.skip(f"{args[0]} is not installed")
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


# The dynamic section and symbol table are ELF's; the Windows wheel's PE import and export
# tables are checked by tests/cross/check_wheels.py.
elf_only = pytest.mark.skipif(sys.platform == "win32", reason="ELF tables are Linux-only")


def test_shared_object_is_abi3():
    # Windows names every extension module .pyd; the stable ABI shows in its import of python3.dll.
    assert qelt_native.__file__.endswith(".pyd" if sys.platform == "win32" else ".abi3.so")


@elf_only
@pytest.mark.skipif(C_LIBRARY is None, reason="knows the libraries of glibc and musl only")
def test_needed_libraries_are_only_the_system_c_libraries():
    dynamic = tool_output("readelf", "-d", qelt_native.__file__)
    needed = {
        line.split("[", 1)[1].split("]", 1)[0] for line in dynamic.splitlines() if "(NEEDED)" in line
    }
    assert needed and needed <= ALLOWED_NEEDED[C_LIBRARY], needed


@elf_only
def test_only_the_init_function_is_exported():
    symbols = tool_output("nm", "-D", "--defined-only", qelt_native.__file__)
    exported = {line.split()[-1] for line in symbols.splitlines() if line.strip()}
    assert exported == {"PyInit_qelt_native"}


# Source directories from the bottom layer up; a file may include from its own layer or below.
# The first five are the core, which computes and never reaches the interpreter.
LAYERS = ["os", "runtime", "pool", "quantum", "sample", "pyapi", "numpy_access", "module"]
CORE = set(LAYERS[:5])
SRC = pathlib.Path(__file__).resolve().parents[2] / "src"


@pytest.mark.skipif(not SRC.is_dir(), reason="the source tree is not beside the tests")
def test_source_directories_include_only_downward():
    rank = {name: i for i, name in enumerate(LAYERS)}
    assert sorted(p.name for p in SRC.iterdir() if p.is_dir()) == sorted(LAYERS)
    wrong = []
    for path in sorted(SRC.rglob("*.[ch]*")):
        here = path.parent.name
        for target in re.findall(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', path.read_text(), re.M):
            head = target.split("/")[0]
            upward = head in rank and rank[head] > rank[here]
            python = here in CORE and (target == "Python.h" or head in ("pyapi", "numpy"))
            if upward or (here in CORE and head in rank and head not in CORE) or python:
                wrong.append(f"{path.relative_to(SRC)} includes {target}")
    assert not wrong, wrong


def test_internal_failure_report_names_a_project_relative_path(run_python):
    """The build maps the source root away, so the report reads the same wherever it was built."""
    result = run_python(
        """
        import numpy as np
        from qelt_native import apply_gates
        psi = np.zeros((1, 2), np.complex64)
        try:
            apply_gates(psi, [([0], psi)])
        except BaseException:
            pass
        """
    )
    assert re.search(r"panicked at src/\w+/\w+\.(cpp|h):\d+:\d+:", result.stderr), result.stderr
