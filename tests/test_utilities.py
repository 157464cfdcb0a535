"""Operating-system name and separator-forcing path normalisation."""
import os
import platform
import types

import pytest

from conftest import check_python, last_entry
from kestrune_protocol_buffer_python import utilities

WINDOWS_ONLY = "Windows"
OTHER_SYSTEMS = ["Linux", "Darwin", "", "FreeBSD", "windows", "Windows ", "Linux ", "linux", 3, None]


@pytest.fixture
def system(monkeypatch):
    """Makes the module's get_os report a chosen system."""
    def choose(name):
        monkeypatch.setattr(utilities, "get_os", lambda: name)
    return choose


def test_get_os_passes_platform_system_through(monkeypatch):
    assert utilities.get_os() == platform.system()
    monkeypatch.setattr(utilities, "platform", types.SimpleNamespace(system=lambda: "Plan 9"))
    assert utilities.get_os() == "Plan 9"


@pytest.mark.parametrize(
    "path, on_windows, elsewhere",
    [
        ("a\\b/c", "a\\b\\c", "a/b/c"),
        ("", ".", "."),
        ("a//b/../c", "a\\c", "a/c"),
        ("grpc/protos/x.proto", "grpc\\protos\\x.proto", "grpc/protos/x.proto"),
        ("/abs/./dir/", "\\abs\\dir", "/abs/dir"),
        ("C:\\Users\\x", "C:\\Users\\x", "C:/Users/x"),
    ],
)
def test_separator_forced_by_system(system, path, on_windows, elsewhere):
    system(WINDOWS_ONLY)
    assert utilities.custom_normpath(path) == on_windows
    for name in OTHER_SYSTEMS:
        system(name)
        assert utilities.custom_normpath(path) == elsewhere, name


def test_real_system_gives_a_usable_path():
    # On this machine the result names the same file the normalisation does.
    assert utilities.custom_normpath("grpc/./protos//zorva_data.proto") == os.path.normpath(
        "grpc/protos/zorva_data.proto"
    )


def test_get_os_is_asked_at_every_call(monkeypatch):
    calls = []
    monkeypatch.setattr(utilities, "get_os", lambda: calls.append(1) or "Linux")
    utilities.custom_normpath("a")
    utilities.custom_normpath("b")
    assert len(calls) == 2


def test_path_keyword_and_count_errors():
    assert utilities.custom_normpath(path="x/y") == "x/y"
    with pytest.raises(TypeError, match=r"^custom_normpath\(\) takes exactly 1 positional argument \(0 given\)$"):
        utilities.custom_normpath()
    with pytest.raises(TypeError, match=r"^custom_normpath\(\) takes exactly 1 positional argument \(2 given\)$"):
        utilities.custom_normpath("a", "b")
    # A missing required parameter is reported before a stray keyword.
    with pytest.raises(TypeError, match=r"^custom_normpath\(\) takes exactly 1 positional argument \(0 given\)$"):
        utilities.custom_normpath(p="a")
    with pytest.raises(TypeError, match=r"^custom_normpath\(\) got an unexpected keyword argument 'p'$"):
        utilities.custom_normpath("a", p="a")
    with pytest.raises(TypeError, match=r"^custom_normpath\(\) got multiple values for keyword argument 'path'$"):
        utilities.custom_normpath("a", path="a")


class Odd:
    """A normalisation result whose replace gives what the test chooses."""

    def __init__(self, result):
        self.result = result

    def replace(self, old, new):
        return self.result


class Unequal:
    def __eq__(self, other):
        raise ValueError("no comparison")


def failing_normpath(path):
    raise OSError("cannot normalise")


def failing_get_os():
    raise LookupError("no system")


@pytest.mark.parametrize(
    "normpath, get_os, error, message, line",
    [
        (lambda p: Odd(5), lambda: "Linux", TypeError, "Expected str, got int", 16),
        (lambda p: Odd(b"x"), lambda: "Windows", TypeError, "Expected str, got bytes", 18),
        (failing_normpath, lambda: "Linux", OSError, "cannot normalise", 12),
        (os.path.normpath, failing_get_os, LookupError, "no system", 13),
        (os.path.normpath, Unequal, ValueError, "no comparison", 14),
        (lambda p: 7, lambda: "Linux", AttributeError, "'int' object has no attribute 'replace'", 16),
    ],
)
def test_failures_propagate_with_their_line(monkeypatch, normpath, get_os, error, message, line):
    monkeypatch.setattr(utilities, "os", types.SimpleNamespace(path=types.SimpleNamespace(normpath=normpath)))
    monkeypatch.setattr(utilities, "get_os", get_os)
    with pytest.raises(error, match=f"^{message}$") as excinfo:
        utilities.custom_normpath("a/b")
    assert last_entry(excinfo) == (
        "kestrune_protocol_buffer_python.utilities.custom_normpath",
        "kestrune_protocol_buffer_python\\\\utilities.py",
        line,
    )


def test_result_may_be_none(monkeypatch):
    monkeypatch.setattr(utilities, "os", types.SimpleNamespace(path=types.SimpleNamespace(normpath=lambda p: Odd(None))))
    assert utilities.custom_normpath("a") is None


def test_get_os_failure_line(monkeypatch):
    monkeypatch.delattr(utilities, "platform")
    with pytest.raises(NameError, match="^name 'platform' is not defined$") as excinfo:
        utilities.get_os()
    assert last_entry(excinfo)[2] == 6


def test_module_globals_in_order():
    out = check_python(
        """
        from kestrune_protocol_buffer_python import utilities
        print(*[n for n in vars(utilities) if not n.startswith("__")], list(vars(utilities))[-1])
        """
    )
    assert out.split() == ["os", "platform", "get_os", "custom_normpath", "__test__"]
