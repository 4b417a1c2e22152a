"""Shared fixtures: running a snippet in a fresh interpreter, for process-wide behaviour."""

import os
import shlex
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs `code` in a new interpreter; returns the CompletedProcess (never hangs the suite).

    Under qemu-user a child cannot exec a foreign interpreter by itself: QELT_PYTHON_LAUNCHER
    (e.g. "qemu-aarch64 -L ROOT") is put in front of it."""
    launcher = shlex.split(os.environ.get("QELT_PYTHON_LAUNCHER", ""))

    def run(code, env=None, timeout=120):
        full_env = dict(os.environ)
        full_env.setdefault("OPENBLAS_NUM_THREADS", "1")
        full_env.update(env or {})
        return subprocess.run(
            [*launcher, sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=full_env,
            timeout=timeout,
        )

    return run
