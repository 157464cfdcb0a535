"""The stubs beside the extension modules: they type-check, and they match the runtime objects."""
import ast
import glob
import importlib
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import PACKAGE_DIR

PACKAGE = "kestrune_protocol_buffer_python"
EXTENSIONS = sorted(
    os.path.relpath(path, PACKAGE_DIR).split(".")[0].replace(os.sep, ".")
    for path in glob.glob(os.path.join(PACKAGE_DIR, "**", "*.so"), recursive=True)
)
# Every Python module of the package, by name.
PYTHON_MODULES = sorted(
    ".".join([PACKAGE, *parts][:-1] if parts[-1] == "__init__" else [PACKAGE, *parts])
    for parts in (os.path.relpath(path, PACKAGE_DIR)[:-3].split(os.sep)
                  for path in glob.glob(os.path.join(PACKAGE_DIR, "**", "*.py"), recursive=True))
)
# The project's mypy settings; the wheel matrix copies it beside the tests.
PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"

# Each misuse carries an ignore for exactly the error the stubs must report:
# under --strict an ignore that nothing needs is itself an error.
USAGE = '''
from typing import Any

from kestrune_protocol_buffer_python import (
    build_stubs, dict_bridge, infer_schema, open_payload, pack_payload, utilities)
from kestrune_protocol_buffer_python.commands import Road, pack_chunk
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2


def road(record: dict[str, Any]) -> dict[str, Any]:
    schema = pack_payload.load_proto_module("grpc.generated.zorva_data_pb2")
    message = pack_payload.set_message_fields(zorva_data_pb2.TopLevelMessage(), record)
    group: int = message.ChannelGroup
    opened = open_payload.depack_payload(schema, "T", memoryview(pack_payload.pack_payload(message)))
    cls = dict_bridge.get_protobuf_class(dict_bridge.import_protobuf_module("m"), "T")
    again = dict_bridge.populate_protobuf_from_dict(cls, dict_bridge.protobuf_to_dict(opened))
    infer_schema.json_to_proto(infer_schema.zorva_data, "zorva_data.proto")
    build_stubs.build_stubs("grpc/protos", utilities.custom_normpath(utilities.get_os()))
    return dict_bridge.protobuf_to_dict(again)


pack_payload.pack_payload({"ChannelGroup": 1})  # type: ignore[arg-type]
utilities.custom_normpath(None)  # type: ignore[arg-type]
text: str = pack_payload.pack_payload(pack_payload.create_message(None, "T"))  # type: ignore[assignment]
open_payload.depack_payload(None, 1, b"")  # type: ignore[arg-type]
infer_schema.json_to_proto([], "x.proto")  # type: ignore[arg-type]
written: bytes = pack_chunk(Road("m", "T"), b"{}\\n").data
pack_chunk(Road("m", "T"), "{}")  # type: ignore[arg-type]
'''


# Static checking runs no native code: the sanitized pass leaves it out.
@pytest.mark.slow
def test_mypy_strict_passes_on_the_package_and_a_usage_example(tmp_path):
    (tmp_path / "usage.py").write_text(USAGE)
    # The package's Python modules and stubs are checked too; the schema stub is
    # the compiler's output and is compared with it below instead.
    modules = ["usage", *PYTHON_MODULES] + [f"{PACKAGE}.{m}" for m in EXTENSIONS if not m.endswith("_pb2")]
    assert f"{PACKAGE}.commands.cli" in modules
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", f"--config-file={PYPROJECT}",
                           *(f"-m{m}" for m in modules)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def stub_path(module):
    return os.path.join(PACKAGE_DIR, *module.split(".")) + ".pyi"


def stub_functions(module):
    with open(stub_path(module)) as f:
        tree = ast.parse(f.read())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def runtime_functions(module):
    return {name: value for name, value in vars(module).items()
            if type(value).__module__ == PACKAGE and getattr(value, "__module__", None) == module.__name__}


@pytest.mark.parametrize("name", EXTENSIONS)
def test_stub_matches_the_runtime_functions(name):
    module = importlib.import_module(f"{PACKAGE}.{name}")
    stubs, functions = stub_functions(name), runtime_functions(module)
    assert list(stubs) == list(functions)
    for function_name, function in functions.items():
        parameters = inspect.signature(function).parameters.values()
        node = stubs[function_name]
        assert [a.arg for a in node.args.args] == [p.name for p in parameters], function_name
        assert not (node.args.posonlyargs or node.args.kwonlyargs or node.args.vararg or node.args.kwarg)
        assert len(node.args.defaults) == sum(p.default is not p.empty for p in parameters)
        # A type the function states at run time is the stub's type, or its origin.
        stated = {a.arg: a.annotation for a in node.args.args} | {"return": node.returns}
        for key, text in function.__annotations__.items():
            assert ast.unparse(stated[key]).split("[")[0] == text, (function_name, key)


def test_schema_stub_is_what_the_compiler_writes(tmp_path, package_dir):
    protos = os.path.join(package_dir, "grpc", "protos")
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{protos}", f"--pyi_out={tmp_path}",
                    os.path.join(protos, "zorva_data.proto")], check=True)
    with open(stub_path("grpc.generated.zorva_data_pb2")) as shipped:
        assert (tmp_path / "zorva_data_pb2.pyi").read_text() == shipped.read()
