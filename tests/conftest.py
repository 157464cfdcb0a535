import os
import subprocess
import sys
import textwrap

import pytest

import kestrune_protocol_buffer_python
import records

PACKAGE_DIR = os.path.dirname(kestrune_protocol_buffer_python.__file__)


def under_sanitizer():
    """Whether AddressSanitizer's runtime is loaded. Its allocator holds freed
    memory back in a quarantine and bypasses the interpreter's block counts, so
    no memory figure taken under it means anything."""
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


SANITIZED = under_sanitizer()


def examples(count):
    """Hypothesis examples for a check: `count`, halved in the sanitized build,
    where every example costs several times more and the normal pass has
    already run the full count."""
    return max(5, count // 2) if SANITIZED else count


def pytest_collection_modifyitems(config, items):
    if SANITIZED:
        skip = pytest.mark.skip(reason="memory figures mean nothing under AddressSanitizer")
        for item in items:
            if item.get_closest_marker("measures_memory"):
                item.add_marker(skip)


REPORTS = []  # texts that tests ask to have printed with the run's summary


def pytest_runtest_logreport(report):
    # A test's ("report", text) property is printed at the end of the run; the
    # report reaches this hook from any worker process.
    if report.when == "call":
        for name, value in report.user_properties:
            if name == "report":
                REPORTS.append(value)


def pytest_terminal_summary(terminalreporter):
    for text in REPORTS:
        terminalreporter.write_line(text)


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


def on_thread(code, *, stack=256 * 1024, limit=None):
    """Child-interpreter code: `code`, which defines `run()`, then `run()` on a new
    thread of `stack` bytes (on the main thread when `stack` is None), with the
    recursion limit set to `limit` first when given."""
    start = ("run()" if stack is None else
             f"threading.stack_size({stack})\n"
             "thread = threading.Thread(target=run)\nthread.start()\nthread.join()")
    return "\n".join([textwrap.dedent(code), "import sys, threading",
                      f"sys.setrecursionlimit({limit})" if limit else "", start, ""])


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
