import os
import subprocess
import sys
import textwrap

import pytest

import kestrune_protocol_buffer_python
import records

PACKAGE_DIR = os.path.dirname(kestrune_protocol_buffer_python.__file__)


def run_python(code, *, env=None, cwd=None):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        cwd=cwd,
        timeout=120,
    )


def check_python(code, **kwargs):
    """Runs `code` in a fresh interpreter and returns its stdout; fails on error."""
    proc = run_python(code, **kwargs)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def last_entry(excinfo):
    """The innermost traceback entry that the package added, as (name, file, line)."""
    return records.entries(excinfo)[-1]


@pytest.fixture(scope="session")
def package_dir():
    return PACKAGE_DIR


@pytest.fixture(scope="session")
def road(tmp_path_factory):
    """The test schema with repeated and recursive fields, compiled once."""
    return records.road_schema(tmp_path_factory)
