"""Release files: the sdist, the portable Linux wheel, the clean builds, the wheel matrix
and its workflow, and the one version they all carry."""
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

import kestrune_protocol_buffer_python

PACKAGE = "kestrune_protocol_buffer_python"
VERSION = kestrune_protocol_buffer_python.__version__
ROOT = Path(__file__).resolve().parent.parent
BIN = Path(sys.executable).parent
# The wheel matrix runs the suite from a copy of tests/ and pyproject.toml; these
# need the rest of the checkout.
needs_checkout = pytest.mark.skipif(not (ROOT / "CMakeLists.txt").is_file(),
                                    reason="needs the source checkout")


def run(*command, cwd=ROOT, timeout=120):
    proc = subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """scripts/release_wheel.py run once: its output directory and report."""
    if not sys.platform.startswith("linux"):
        pytest.skip("the manylinux repair needs Linux")
    out = tmp_path_factory.mktemp("release")
    run(sys.executable, str(ROOT / "scripts" / "release_wheel.py"), "--out", str(out), timeout=480)
    return out, json.loads((out / "report.json").read_text())


@needs_checkout
@pytest.mark.slow
def test_sdist_holds_the_build_inputs_and_nothing_else(release):
    out, report = release
    with tarfile.open(out / "sdist" / report["sdist"]["file"]) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
        info = archive.extractfile(f"{PACKAGE}-{VERSION}/PKG-INFO").read().decode()
    assert {name.split("/")[0] for name in names} == {
        "CMakeLists.txt", "LICENSE", "PKG-INFO", "README.md", "frame", "pyproject.toml", "src",
        "third_party"}
    tracked = run("git", "ls-files", "frame", "src", "third_party").split()
    assert set(tracked) <= names
    assert f"\nVersion: {VERSION}\n" in info and "\nLicense-Expression: MIT\n" in info


@needs_checkout
@pytest.mark.slow
def test_wheel_from_the_sdist_is_manylinux_and_runs_the_demo_without_a_compiler(release, tmp_path):
    out, report = release
    glibc = tuple(map(int, os.confstr("CS_GNU_LIBC_VERSION").split()[1].split(".")))
    for tag in report["repaired"]["tags"]:
        major, minor = map(int, re.fullmatch(r"cp311-cp311-manylinux_(\d+)_(\d+)_\w+", tag).groups())
        assert (major, minor) <= glibc
    for kind in ("sdist", "wheel", "repaired"):
        assert re.match(rf"{PACKAGE}-{re.escape(VERSION)}(-|\.tar\.gz$)", report[kind]["file"])
    assert report["version_line"] == f"{PACKAGE} {VERSION}"
    # The installed wheel prints exactly what this build's demonstration prints.
    here = run(sys.executable, "-m", PACKAGE, "demo", cwd=tmp_path)
    assert (out / "demo.txt").read_text() == here


@needs_checkout
@pytest.mark.slow
@pytest.mark.parametrize("compiler", ["g++", "clang++"])
def test_sources_build_without_warnings(compiler, tmp_path):
    if shutil.which(compiler) is None:
        if os.environ.get("CI"):
            pytest.fail(f"{compiler} is missing; .ci/run installs it")
        pytest.skip(f"{compiler} is not installed")
    cmake = str(BIN / "cmake") if (BIN / "cmake").exists() else "cmake"
    generator = ["-G", "Ninja"] if shutil.which("ninja", path=f"{BIN}{os.pathsep}{os.environ['PATH']}") else []
    run(cmake, "-S", str(ROOT), "-B", str(tmp_path), *generator, f"-DCMAKE_CXX_COMPILER={compiler}",
        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON",
        f"-DPython_EXECUTABLE={sys.executable}")
    run(cmake, "--build", str(tmp_path), "--parallel", "2", timeout=480)


def unguarded_flags(cmake_text):
    """Lines of a CMake file that pass compiler or linker flags outside every branch
    whose condition names the compiler (MSVC or CMAKE_CXX_COMPILER_ID)."""
    flag = re.compile(r"(?:^|\s)(?:-[WfOgm]|-Wl,|/W\d|/utf-8|/fsanitize)")
    branches, found = [], []
    for number, line in enumerate(cmake_text.splitlines(), 1):
        code = line.split("#", 1)[0].strip()
        if opened := re.match(r"(if|elseif|else)\s*\((.*)\)$", code):
            if opened[1] == "if":
                branches.append(opened[2])
            else:
                branches[-1] += " " + opened[2]
        elif re.match(r"endif\s*\(", code):
            branches.pop()
        elif flag.search(code) and not any(re.search(r"MSVC|CMAKE_CXX_COMPILER_ID", b)
                                           for b in branches):
            found.append(f"{number}: {code}")
    return found


@needs_checkout
def test_cmake_passes_compiler_flags_only_in_compiler_branches():
    text = (ROOT / "CMakeLists.txt").read_text()
    assert unguarded_flags(text) == []
    # The same file with one flag added outside those branches is caught.
    added = text + "add_link_options(\n  -Wl,-z,now)\n"
    assert unguarded_flags(added) == [f"{len(added.splitlines())}: -Wl,-z,now)"]


@needs_checkout
@pytest.mark.parametrize(
    "platform, identifiers",
    [
        ("linux", {"cp311-manylinux_x86_64", "cp311-manylinux_aarch64"}),
        ("macos", {"cp311-macosx_x86_64", "cp311-macosx_arm64"}),
        ("windows", {"cp311-win_amd64"}),
    ],
)
def test_wheel_matrix_builds_cpython_311_for_each_platform(platform, identifiers):
    out = run(str(BIN / "cibuildwheel"), "--platform", platform, "--print-build-identifiers")
    assert set(out.split()) == identifiers


@needs_checkout
@pytest.mark.parametrize("schema", ["vendor.github-workflows", "custom.github-workflows-require-timeout"])
def test_workflow_is_valid(schema):
    run(str(BIN / "check-jsonschema"), "--builtin-schema", schema,
        str(ROOT / ".github" / "workflows" / "wheels.yml"))


@needs_checkout
def test_changelog_leads_with_this_version():
    headings = re.findall(r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(), re.MULTILINE)
    assert headings[0] == VERSION
