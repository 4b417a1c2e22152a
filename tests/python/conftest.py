"""Shared fixtures: running a snippet in a fresh interpreter, for process-wide behaviour."""

import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs `code` in a new interpreter; returns the CompletedProcess (never hangs the suite)."""

    def run(code, env=None, timeout=120):
        full_env = dict(os.environ)
        full_env.setdefault("OPENBLAS_NUM_THREADS", "1")
        full_env.update(env or {})
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=full_env,
            timeout=timeout,
        )

    return run
