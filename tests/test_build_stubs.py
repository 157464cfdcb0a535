"""The compilation driver: command lines, installer, failures and import rewriting."""
import contextlib
import glob
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

import hardening
import records
from conftest import check_python, last_entry
from kestrune_protocol_buffer_python import build_stubs as module, utilities
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2
from test_frame import LAUNCH

build_stubs = module.build_stubs
ENTRY = ("kestrune_protocol_buffer_python.build_stubs.build_stubs",
         "kestrune_protocol_buffer_python\\\\build_stubs.py")


@pytest.fixture(autouse=True)
def no_installer(monkeypatch):
    """Nothing here installs anything: a call of the installer fails the test."""
    def refuse(*args, **kwargs):
        raise AssertionError(f"installer called with {args} {kwargs}")
    monkeypatch.setattr(subprocess, "check_call", refuse)


@pytest.fixture
def runs(monkeypatch):
    """Replaces the compiler run; the list records each call's arguments."""
    calls = []
    monkeypatch.setattr(subprocess, "run", lambda *args, **kwargs: calls.append((args, kwargs)))
    return calls


def schema_dir(root, *names):
    root.mkdir(exist_ok=True)
    for name in names:
        (root / name).write_text("")
    return root


def contents(directory):
    return {p.name: p.read_bytes() for p in pathlib.Path(directory).iterdir()}


# ---- command lines, the installer, refusals -------------------------------------------


@pytest.mark.parametrize("system, sep", [("Linux", "/"), ("Darwin", "/"), ("Windows", "\\")])
def test_one_compiler_command_per_schema_file(tmp_path, monkeypatch, runs, capsys, system, sep):
    monkeypatch.setattr(utilities, "get_os", lambda: system)
    monkeypatch.setattr(sys, "executable", pathlib.PurePosixPath("/opt/py"))
    schema_dir(tmp_path / "p", "a.proto", "b_c.proto", "notes.txt", ".hidden.proto")
    proto_dir, out = f"{tmp_path}/./p", f"{tmp_path}//x/out"
    build_stubs(output_dir=out, proto_dir=proto_dir)
    found = [os.path.basename(p) for p in glob.glob(os.path.join(proto_dir, "*.proto"))]
    assert sorted(found) == ["a.proto", "b_c.proto"]
    assert runs == [
        ((["/opt/py", "-m", "grpc_tools.protoc", "-I" + proto_dir, "--python_out=" + out,
           "--grpc_python_out=" + out, f"{tmp_path}/p/{name}".replace("/", sep)],), {"check": True})
        for name in found
    ]
    assert type(runs[0][0][0][0]) is str
    assert os.listdir(out) == ["__init__.py"] and capsys.readouterr().out == ""


@pytest.mark.parametrize("install_fails", [False, True])
def test_missing_compiler_is_installed_once(tmp_path, monkeypatch, runs, capsys, install_fails):
    monkeypatch.setitem(sys.modules, "grpc_tools", None)
    monkeypatch.setattr(sys, "executable", executable := pathlib.PurePosixPath("/opt/py"))
    calls = []

    def check_call(*args, **kwargs):
        calls.append((args, kwargs, capsys.readouterr().out))
        if install_fails:
            raise subprocess.CalledProcessError(1, args[0])

    monkeypatch.setattr(subprocess, "check_call", check_call)
    out = tmp_path / "out"
    with pytest.raises(subprocess.CalledProcessError) if install_fails else contextlib.nullcontext() as excinfo:
        build_stubs(str(tmp_path / "missing"), str(out))
    assert calls == [(([executable, "-m", "pip", "install", "grpcio-tools"],), {},
                      "grpc_tools not found. Installing...\n")]
    assert calls[0][0][0][0] is executable  # unchanged, not converted to text
    assert capsys.readouterr().out == "" and out.exists() != install_fails
    if install_fails:
        assert type(excinfo.value.__context__) is ModuleNotFoundError
        assert last_entry(excinfo) == (*ENTRY, 14)


class RefuseGrpcTools:
    def find_spec(self, name, path=None, target=None):
        if name == "grpc_tools":
            raise ImportError("grpc_tools is broken")


def test_other_import_errors_go_on(tmp_path, monkeypatch, runs, capsys):
    monkeypatch.delitem(sys.modules, "grpc_tools", raising=False)
    monkeypatch.setattr(sys, "meta_path", [RefuseGrpcTools(), *sys.meta_path])
    with pytest.raises(ImportError, match="^grpc_tools is broken$") as excinfo:
        build_stubs(str(tmp_path), str(tmp_path / "out"))
    assert last_entry(excinfo) == (*ENTRY, 11)
    assert capsys.readouterr().out == "" and runs == [] and os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((None, "out"), {}, "Argument 'proto_dir' has incorrect type (expected str, got NoneType)"),
        (("p", None), {}, "Argument 'output_dir' has incorrect type (expected str, got NoneType)"),
        ((type("Text", (str,), {})("p"), "out"), {},
         "Argument 'proto_dir' has incorrect type (expected str, got Text)"),
        (("p", pathlib.Path("out")), {},
         "Argument 'output_dir' has incorrect type (expected str, got PosixPath)"),
        ((), {"proto_dir": "p"}, "build_stubs() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_refusals_come_before_anything_runs(tmp_path, monkeypatch, runs, args, kwargs, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as excinfo:
        build_stubs(*args, **kwargs)
    assert str(excinfo.value) == message and last_entry(excinfo) == (*ENTRY, 9)
    assert os.listdir(tmp_path) == [] and runs == []


# ---- a failed compilation ---------------------------------------------------------------


def interrupted(run, command):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "second_run, error, line",
    [
        (lambda run, command: run(command, check=True), subprocess.CalledProcessError, 35),
        (lambda run, command: run(["/nonexistent/python", *command[1:]], check=True),
         FileNotFoundError, 39),
        (interrupted, KeyboardInterrupt, 30),
    ],
    ids=["compiler-error", "cannot-start", "interrupt"],
)
def test_second_of_three_schema_files_fails(tmp_path, monkeypatch, capsys, second_run, error, line):
    real_glob, real_run = glob.glob, subprocess.run
    monkeypatch.setattr(glob, "glob", lambda pattern: sorted(real_glob(pattern)))
    protos = schema_dir(tmp_path / "p")
    for name, body in [("a", "message A {}"), ("b", "message B { nonsense }"), ("c", "message C {}")]:
        (protos / f"{name}.proto").write_text(f'syntax = "proto3";\n{body}\n')
    raised = []

    def run(command, **kwargs):
        try:
            return (second_run(real_run, command) if command[-1].endswith("b.proto")
                    else real_run(command, **kwargs))
        except BaseException as exc:
            raised.append(exc)
            raise

    monkeypatch.setattr(subprocess, "run", run)
    out = tmp_path / "out"
    with pytest.raises(error) as excinfo:
        build_stubs(str(protos), str(out))
    assert raised == [excinfo.value] and last_entry(excinfo) == (*ENTRY, line)
    assert sorted(os.listdir(out)) == ["a_pb2.py", "a_pb2_grpc.py"]  # no c, no __init__.py
    printed = f"Error compiling {protos / 'b.proto'}\n{excinfo.value}\n"
    assert capsys.readouterr().out == ("" if error is KeyboardInterrupt else printed)


# ---- import rewriting -------------------------------------------------------------------


@pytest.mark.parametrize(
    "schemas, text, rewritten",
    [
        (["zorva_data"], "import zorva_data_pb2 as zorva_data__pb2\nimport zorva_data_pb2 as zorva__data__pb2\n",
         "from . import zorva_data_pb2 as zorva_data__pb2\nfrom . import zorva_data_pb2 as zorva__data__pb2\n"),
        (["a"], "from . import a_pb2 as a__pb2\r\n# 'import a_pb2 as a__pb2'import a_pb2 as a__pb2\r",
         "from . import a_pb2 as a__pb2\n# 'from . import a_pb2 as a__pb2'from . import a_pb2 as a__pb2\n"),
        (["a_b", "c"], "import a_b_pb2 as a_b_c__pb2\nimport A_b_pb2 as A__b__pb2\nimport c_pb2 as c__pb2\n",
         "import a_b_pb2 as a_b_c__pb2\nimport A_b_pb2 as A__b__pb2\nfrom . import c_pb2 as c__pb2\n"),
        ([], "import a_pb2 as a__pb2\r\n", "import a_pb2 as a__pb2\n"),
        (None, "import a_pb2 as a__pb2\r\n", "import a_pb2 as a__pb2\n"),
    ],
)
def test_rewriting_is_exact_and_idempotent(tmp_path, runs, capsys, schemas, text, rewritten):
    protos = tmp_path / "p"
    if schemas is not None:
        schema_dir(protos, "notes.txt", *(f"{name}.proto" for name in schemas))
    out = tmp_path / "out"
    out.mkdir()
    for name in ("gen_pb2.py", ".hidden.py", "notes.txt"):
        (out / name).write_bytes(text.encode())
    expected = {"gen_pb2.py": rewritten.encode(), ".hidden.py": text.encode(), "notes.txt": text.encode()}
    build_stubs(str(protos), str(out))
    assert contents(out) == {**expected, "__init__.py": b""}
    (out / "__init__.py").write_bytes(text.encode())  # an existing one is rewritten as well
    build_stubs(str(protos), str(out))
    assert contents(out) == {**expected, "__init__.py": rewritten.encode()}
    assert len(runs) == 2 * len(schemas or []) and capsys.readouterr().out == ""


@pytest.mark.parametrize("directory, error, line", [(True, IsADirectoryError, 49),
                                                     (False, UnicodeDecodeError, 50)])
def test_unreadable_module_stops_the_rewrite(tmp_path, runs, directory, error, line):
    (out := tmp_path / "out").mkdir()
    (out / "x.py").mkdir() if directory else (out / "x.py").write_bytes(b"\xff\r\n")
    with pytest.raises(error) as excinfo:
        build_stubs(str(tmp_path / "p"), str(out))
    assert last_entry(excinfo) == (*ENTRY, line)
    assert directory or (out / "x.py").read_bytes() == b"\xff\r\n"


NAMES = ["a", "a_b", "x_y_z"]
FRAGMENTS = [f"import {n}_pb2 as {a}__pb2" for n in NAMES for a in (n, n.replace("_", "__"))]


@settings(max_examples=60, deadline=None)
@given(
    names=st.lists(st.sampled_from(NAMES), min_size=1, unique=True),
    pieces=st.lists(st.sampled_from([*FRAGMENTS, "from . ", "\n"]) | st.text("ab_. \n", max_size=4)),
)
def test_rewriting_matches_a_reference_and_settles(names, pieces):
    text = "".join(pieces)
    saved = subprocess.run
    with tempfile.TemporaryDirectory() as root:
        protos = schema_dir(pathlib.Path(root, "p"), *(f"{n}.proto" for n in names))
        (out := pathlib.Path(root, "out")).mkdir()
        (out / "m.py").write_text(text)
        subprocess.run = lambda *args, **kwargs: None
        try:
            build_stubs(str(protos), str(out))
            once = (out / "m.py").read_text()
            build_stubs(str(protos), str(out))
        finally:
            subprocess.run = saved
        found = [pathlib.Path(p).stem for p in glob.glob(os.path.join(protos, "*.proto"))]
        assert once == hardening.reference_rewrite(text, found)
        assert (out / "m.py").read_text() == once


@pytest.mark.measures_memory
def test_repeated_calls_hold_no_memory(tmp_path, monkeypatch, capsys):
    protos = schema_dir(tmp_path / "p", "a_b.proto", "c.proto")
    (out := tmp_path / "out").mkdir()
    (out / "m_pb2.py").write_text("import a_b_pb2 as a__b__pb2\nimport c_pb2 as c__pb2\n" * 20)

    def failing(command, **kwargs):
        raise subprocess.CalledProcessError(1, command)

    monkeypatch.setattr(subprocess, "run", failing)  # restored after the test

    def call_with(run):
        subprocess.run = run
        build_stubs(str(protos), str(out))

    calls = [lambda: call_with(lambda *args, **kwargs: None), lambda: call_with(failing)]
    records.block_growth(calls, 20, subprocess.CalledProcessError)
    # A leak of one object per call would show as at least 600 blocks.
    assert records.block_growth(calls, 300, subprocess.CalledProcessError) < 300


# ---- the real compiler, run by the main program ------------------------------------------

SAMPLE = 'syntax = "proto3";\npackage kestrune_check;\nmessage Sample { string text = 1; }\n'
LOOKUP = """syntax = "proto3";
package kestrune_check;
import "kestrune_sample.proto";
message Query { Sample sample = 1; }
service Lookup { rpc Find(Query) returns (Sample); }
"""
RUN_AS_MAIN = """
spec = types.SimpleNamespace(name="__main__", origin=path, parent="")
module = api.PyModule_FromDefAndSpec2(definition, spec, 1013)
api.PyModule_ExecDef(module, definition)
print(module.__name__)
"""


@pytest.fixture(scope="session")
def main_run(tmp_path_factory, package_dir):
    """grpc/protos compiled into grpc/generated by the module run as the main program."""
    root = tmp_path_factory.mktemp("main_run")
    (protos := root / "grpc" / "protos").mkdir(parents=True)
    shutil.copy(os.path.join(package_dir, "grpc", "protos", "zorva_data.proto"), protos)
    (protos / "kestrune_sample.proto").write_text(SAMPLE)
    (protos / "kestrune_sample_lookup.proto").write_text(LOOKUP)
    assert check_python(LAUNCH.format(short="build_stubs") + RUN_AS_MAIN, cwd=root) == "__main__\n"
    return root


def test_main_program_writes_an_importable_package(main_run):
    files = contents(main_run / "grpc" / "generated")
    stems = ("zorva_data", "kestrune_sample", "kestrune_sample_lookup")
    assert sorted(files) == sorted(["__init__.py"] + [f"{s}{x}.py" for s in stems for x in ("_pb2", "_pb2_grpc")])
    assert files["__init__.py"] == b""
    assert not re.search(rb"^import (zorva|kestrune)", b"".join(files.values()), re.MULTILINE)
    out = check_python(
        f"""
        import sys
        sys.path.insert(0, {str(main_run / "grpc")!r})
        from generated import kestrune_sample_lookup_pb2_grpc as stubs, zorva_data_pb2
        from generated import kestrune_sample_lookup_pb2 as lookup, kestrune_sample_pb2 as sample
        print(stubs.kestrune__sample__lookup__pb2 is lookup, lookup.kestrune__sample__pb2 is sample)
        print(lookup.Query(sample={{"text": "hi"}}).sample.text, stubs.LookupStub.__name__)
        print(zorva_data_pb2.DESCRIPTOR.serialized_pb.hex())
        """
    )
    first, second, descriptor = out.splitlines()
    assert first == "True True" and second == "hi LookupStub"
    assert bytes.fromhex(descriptor) == zorva_data_pb2.DESCRIPTOR.serialized_pb
    assert len(bytes.fromhex(descriptor)) == 1083


def test_second_call_changes_nothing(main_run, monkeypatch):
    monkeypatch.chdir(main_run)
    before = contents("grpc/generated")
    build_stubs("grpc/protos", "grpc/generated")
    assert contents("grpc/generated") == before


def test_module_globals_in_order():
    assert list(vars(module))[-7:] == ["glob", "os", "subprocess", "sys", "custom_normpath",
                                       "build_stubs", "__test__"]
    assert module.custom_normpath is utilities.custom_normpath
