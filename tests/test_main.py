"""The command line: the demonstration run and the other main programs in child processes."""
import ast
import importlib.metadata
import os
import shutil
import subprocess
import sys
import zlib

import pytest
from google.protobuf import json_format, text_format

import kestrune_protocol_buffer_python
import records
from conftest import run_python
from kestrune_protocol_buffer_python import pack_payload
from kestrune_protocol_buffer_python.__main__ import main
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

PACKAGE = "kestrune_protocol_buffer_python"
SCRIPT = os.path.join(os.path.dirname(sys.executable), "kestrune")


def launch(*args, cwd=None):
    return subprocess.run(args, capture_output=True, text=True, cwd=cwd, timeout=120)


@pytest.fixture(scope="module")
def filled():
    return pack_payload.set_message_fields(zorva_data_pb2.TopLevelMessage(), records.sample_record())


@pytest.mark.parametrize(
    "command",
    [(sys.executable, "-m", PACKAGE, "demo"), (SCRIPT, "demo"), (SCRIPT, "run", "pack_payload")],
    ids=["python -m", "script", "run"],
)
def test_demonstration_prints_the_five_items(command, filled, tmp_path):
    proc = launch(*command, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == ""
    payload, *message, message_class, record, record_class = proc.stdout.splitlines()
    assert zlib.decompress(ast.literal_eval(payload)) == filled.SerializeToString()
    assert text_format.Parse("\n".join(message), zorva_data_pb2.TopLevelMessage()) == filled
    assert message_class == "<class 'zorva_data_pb2.TopLevelMessage'>"
    assert ast.literal_eval(record) == json_format.MessageToDict(filled)
    assert record_class == "<class 'dict'>"
    assert os.listdir(tmp_path) == []
    # Imported as a package module, the same module ran none of it.
    assert not {"zorva_data", "proto_module", "binary_data", "msg"} & set(vars(pack_payload))


def test_demonstration_without_open_payload_prints_the_payload_then_fails(filled):
    proc = run_python(
        f"""
        import sys
        sys.modules["open_payload"] = None  # not importable under its bare name
        from {PACKAGE}.__main__ import main
        sys.exit(main(["demo"]))
        """
    )
    assert proc.returncode == 1
    payload, = proc.stdout.splitlines()
    assert zlib.decompress(ast.literal_eval(payload)) == filled.SerializeToString()
    assert proc.stderr == ("kestrune: pack_payload failed: ModuleNotFoundError: "
                           "import of open_payload halted; None in sys.modules\n")


def test_run_dict_bridge_prints_the_dict_of_an_empty_message(tmp_path):
    proc = launch(SCRIPT, "run", "dict_bridge", cwd=tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "{}\n", "")


def test_run_build_stubs_compiles_below_the_working_directory(tmp_path, package_dir):
    (protos := tmp_path / "grpc" / "protos").mkdir(parents=True)
    shutil.copy(os.path.join(package_dir, "grpc", "protos", "zorva_data.proto"), protos)
    proc = launch(sys.executable, "-m", PACKAGE, "run", "build_stubs", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(tmp_path / "grpc" / "generated")) == [
        "__init__.py", "zorva_data_pb2.py", "zorva_data_pb2_grpc.py"]


VERSION = kestrune_protocol_buffer_python.__version__


@pytest.mark.parametrize(
    "argv, status, out, err",
    [
        ([], 0, "usage: kestrune [-h] [--version] COMMAND ...", ""),
        (["--version"], 0, f"{PACKAGE} {VERSION}", ""),
        (["demo", "--help"], 0, "usage: kestrune demo [-h]", ""),
        (["run", "--help"], 0, "usage: kestrune run [-h] MODULE", ""),
        (["run", "utilities"], 2, "", "kestrune run: error: argument MODULE: invalid choice: "
                                      "'utilities' (choose from 'pack_payload', 'dict_bridge', "
                                      "'build_stubs')"),
        (["unpack"], 2, "", "kestrune unpack: error: the following arguments are required: "
                            "INPUT"),
        (["bogus"], 2, "", "kestrune: error: argument COMMAND: invalid choice: 'bogus' "
                           "(choose from 'demo', 'run', 'infer', 'compile', 'pack', 'unpack')"),
        # The test process imported pack_payload already: it cannot become the main program.
        (["demo"], 1, "", "kestrune: pack_payload failed: LaunchError: "
                          "pack_payload was already imported in this process"),
    ],
)
def test_commands_in_process(argv, status, out, err, capsys):
    try:
        code = main(argv)
    except SystemExit as exit_:
        code = exit_.code
    captured = capsys.readouterr()
    assert code == status
    assert captured.out.splitlines()[:1] == ([out] if out else [])
    assert captured.err.splitlines() == ([err] if err else [])


def test_version_is_the_installed_one():
    assert importlib.metadata.version(PACKAGE) == VERSION
