"""kestrune compile, and --module given as a name or as the path of a _pb2.py file."""
import json

import pytest

from test_commands import kestrune

# Two schemas, one importing the other: the generated modules must import each
# other inside their package.
BASKET = 'syntax = "proto3";\npackage shop;\nimport "item.proto";\nmessage Basket { repeated Item items = 1; }\n'
ITEM = 'syntax = "proto3";\npackage shop;\nmessage Item { string name = 1; int64 count = 2; }\n'


@pytest.fixture
def protos(tmp_path):
    (tmp_path / "protos").mkdir()
    (tmp_path / "protos" / "basket.proto").write_text(BASKET)
    (tmp_path / "protos" / "item.proto").write_text(ITEM)
    return tmp_path


def test_compiled_package_serves_module_names_and_paths(protos):
    proc = kestrune("compile", "protos", cwd=protos)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode() == ("Compiled 2 schemas into kestrune_schemas: --module "
                                    "kestrune_schemas.basket_pb2, --module kestrune_schemas.item_pb2\n")
    assert (protos / "kestrune_schemas" / "__init__.py").exists()
    basket = b'{"items": [{"name": "x", "count": 3}, {"name": "y"}]}\n'
    packed = kestrune("pack", "--delimited", "--module", "kestrune_schemas.basket_pb2", "--type", "Basket",
                      "-", "-o", "-", stdin=basket, cwd=protos)
    assert packed.returncode == 0, packed.stderr
    (protos / "elsewhere").mkdir()
    back = kestrune("unpack", "--delimited", "--module", "../kestrune_schemas/basket_pb2.py", "--type",
                    "Basket", "-", stdin=packed.stdout, cwd=protos / "elsewhere")
    assert back.returncode == 0, back.stderr
    assert json.loads(back.stdout) == {"items": [{"name": "x", "count": "3"}, {"name": "y"}]}


@pytest.mark.parametrize("setup, args, error", [
    (None, ["missing"], "cannot read missing: no such directory"),
    ("empty", ["empty"], "empty holds no .proto file"),
    ("bad", ["bad"], "the compiler refuses bad: item.proto: File not found.; bad/basket.proto:3:1: Import "
                     "\"item.proto\" was not found or had errors."),
    (None, ["protos", "-o", "my-schemas"], "my-schemas: 'my-schemas' cannot be imported as a package name"),
])
def test_a_failed_compile_writes_nothing(protos, setup, args, error):
    if setup:
        (protos / setup).mkdir()
    if setup == "bad":
        (protos / "bad" / "basket.proto").write_text(BASKET)
    proc = kestrune("compile", *args, cwd=protos)
    assert proc.returncode == 1
    assert proc.stderr.decode().startswith(f"kestrune compile: error: {error}"), proc.stderr
    assert not (protos / "kestrune_schemas").exists()


def test_a_shadowed_package_name_is_warned_of(protos):
    proc = kestrune("compile", "protos", "-o", "grpc", cwd=protos)
    assert proc.returncode == 0
    assert proc.stderr.decode().startswith("kestrune compile: warning: another module is also named grpc")
    bad = kestrune("pack", "--module", "nowhere/x_pb2.py", "-", "-o", "-", stdin=b"{}", cwd=protos)
    assert bad.stderr.decode() == ("kestrune pack: error: cannot load the schema module nowhere/x_pb2.py: "
                                   "no such file\n")
