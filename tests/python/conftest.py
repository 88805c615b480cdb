"""Shared fixtures: running a snippet in a fresh interpreter with the same import path."""
import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """run_python(code, env=None, timeout=60) -> CompletedProcess with text stdout/stderr.

    The child gets this process's sys.path as PYTHONPATH, so it imports the same builds.
    `env` entries are added to (or, with value None, removed from) the inherited environment.
    """

    def run(code, env=None, timeout=60):
        child_env = dict(os.environ)
        child_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        for key, value in (env or {}).items():
            if value is None:
                child_env.pop(key, None)
            else:
                child_env[key] = value
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                              capture_output=True, text=True, timeout=timeout)

    return run
