"""The data record schema module: descriptor bytes, spans and registration."""
import ast
import os
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool

from conftest import check_python
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z

SPANS = {
    "_TOPLEVELMESSAGE": (33, 1075, "TopLevelMessage"),
    "_TOPLEVELMESSAGE_RAWDATAMESSAGE": (334, 743, "RawdataMessage"),
    "_TOPLEVELMESSAGE_RAWDATAMESSAGE_USERINFOMESSAGE": (702, 743, "UserinfoMessage"),
    "_TOPLEVELMESSAGE_BRANDINFOMESSAGE": (746, 979, "BrandinfoMessage"),
    "_TOPLEVELMESSAGE_BRANDINFOMESSAGE_BRANDSETTINGSMESSAGE": (957, 979, "BrandsettingsMessage"),
    "_TOPLEVELMESSAGE_MENTIONTRACKINGDETAILSMESSAGE": (981, 1075, "MentiontrackingdetailsMessage"),
}

SCHEMA = {
    "TopLevelMessage": [
        ("RawData", 11, ".zorva_data.TopLevelMessage.RawdataMessage"),
        ("ChannelGroup", 5, ""), ("ChannelType", 5, ""),
        ("BrandInfo", 11, ".zorva_data.TopLevelMessage.BrandinfoMessage"),
        ("MentionTrackingDetails", 11, ".zorva_data.TopLevelMessage.MentiontrackingdetailsMessage"),
        ("ServiceName", 9, ""),
    ],
    "RawdataMessage": [
        ("ObjectId", 3, ""), ("SocialID", 9, ""), ("OrderID", 5, ""), ("CreatedDate", 9, ""),
        ("NumCommentsCount", 5, ""), ("NumShareCount", 5, ""), ("NumVideoViews", 5, ""),
        ("Description", 9, ""), ("LanguageName", 9, ""), ("FilterKeywords", 9, ""),
        ("UserInfo", 11, ".zorva_data.TopLevelMessage.RawdataMessage.UserinfoMessage"),
        ("URL", 9, ""), ("AnswerCounts", 5, ""), ("SimplifiedText", 9, ""),
    ],
    "UserinfoMessage": [("AuthorSocialID", 9, "")],
    "BrandinfoMessage": [
        ("BrandID", 5, ""), ("BrandName", 9, ""), ("CategoryID", 5, ""), ("CategoryName", 9, ""),
        ("BrandSettings", 11, ".zorva_data.TopLevelMessage.BrandinfoMessage.BrandsettingsMessage"),
        ("OperationEnum", 9, ""),
    ],
    "BrandsettingsMessage": [],
    "MentiontrackingdetailsMessage": [
        ("FetchingServiceInTime", 9, ""), ("FetchingServiceOutTime", 9, ""),
    ],
}
NESTING = {
    "TopLevelMessage": ["RawdataMessage", "BrandinfoMessage", "MentiontrackingdetailsMessage"],
    "RawdataMessage": ["UserinfoMessage"],
    "BrandinfoMessage": ["BrandsettingsMessage"],
}


@pytest.fixture(scope="session")
def proto_path(package_dir):
    return os.path.join(package_dir, "grpc", "protos", "zorva_data.proto")


@pytest.fixture(scope="session")
def compiled_bytes(proto_path, tmp_path_factory):
    """The file descriptor that the protobuf compiler embeds for the shipped schema."""
    out = tmp_path_factory.mktemp("protoc")
    subprocess.run(
        [sys.executable, "-m", "grpc_tools.protoc", f"-I{os.path.dirname(proto_path)}",
         f"--python_out={out}", proto_path],
        check=True,
    )
    tree = ast.parse((out / "zorva_data_pb2.py").read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.Call) and getattr(node.func, "attr", "") == "AddSerializedFile":
            return ast.literal_eval(node.args[0])
    raise AssertionError("no AddSerializedFile call in the generated module")


def test_schema_text(proto_path):
    with open(proto_path, newline="") as f:
        text = f.read()
    lines = text.split("\n")
    assert len(lines) == 43 and not text.endswith("\n")
    assert lines[:4] == ['syntax = "proto3";', "package zorva_data;", "message TopLevelMessage {",
                         "message RawdataMessage {"]
    assert lines[15] == "    string AuthorSocialID = 1;"
    assert lines[30:32] == ["  message BrandsettingsMessage {", "  }"]
    assert lines[-2:] == ["string ServiceName = 6;", "}"]


def test_embedded_bytes_are_the_compilers(compiled_bytes):
    assert len(z.DESCRIPTOR.serialized_pb) == 1083
    assert z.DESCRIPTOR.serialized_pb == compiled_bytes


def test_file_descriptor_content():
    data = z.DESCRIPTOR.serialized_pb
    assert data[:2] == b"\x0a\x10" and data.endswith(b"b\x06proto3")
    file = descriptor_pb2.FileDescriptorProto.FromString(data)
    assert (file.name, file.package, file.syntax) == ("zorva_data.proto", "zorva_data", "proto3")
    assert not file.dependency and not file.enum_type and not file.service and not file.HasField("options")
    assert [m.name for m in file.message_type] == ["TopLevelMessage"]

    def check(message):
        assert [(f.name, f.type, f.type_name) for f in message.field] == SCHEMA[message.name]
        assert [f.number for f in message.field] == list(range(1, len(message.field) + 1))
        for f in message.field:
            assert f.label == f.LABEL_OPTIONAL and not f.proto3_optional and not f.json_name
        assert [n.name for n in message.nested_type] == NESTING.get(message.name, [])
        for nested in message.nested_type:
            check(nested)

    check(file.message_type[0])


@pytest.mark.parametrize("global_name", SPANS)
def test_spans_slice_out_each_message(global_name):
    start, end, name = SPANS[global_name]
    message = descriptor_pb2.DescriptorProto.FromString(z.DESCRIPTOR.serialized_pb[start:end])
    assert message.name == name
    assert [f.name for f in message.field] == [f[0] for f in SCHEMA[name]]
    assert getattr(z, global_name).name == name


def test_namespace():
    from google.protobuf import descriptor, symbol_database
    from google.protobuf.internal import builder

    assert z._descriptor is descriptor and z._descriptor_pool is descriptor_pool
    assert z._symbol_database is symbol_database and z._builder is builder
    assert z._sym_db is symbol_database.Default()
    assert z._globals is vars(z)
    assert descriptor_pool.Default().FindFileByName("zorva_data.proto") is z.DESCRIPTOR
    top = z.TopLevelMessage
    for nested in ("RawdataMessage", "BrandinfoMessage", "MentiontrackingdetailsMessage"):
        assert getattr(top, nested).DESCRIPTOR.full_name == f"zorva_data.TopLevelMessage.{nested}"
    assert top.RawdataMessage.UserinfoMessage.DESCRIPTOR.name == "UserinfoMessage"
    assert top.BrandinfoMessage.BrandsettingsMessage.DESCRIPTOR.fields == []
    assert top.__module__ == "zorva_data_pb2"


def test_c_descriptors_leave_spans_unset():
    assert z._descriptor._USE_C_DESCRIPTORS
    assert not hasattr(z._TOPLEVELMESSAGE, "_serialized_start")


def test_python_descriptors_get_every_span():
    out = check_python(
        """
        from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
        print(z._descriptor._USE_C_DESCRIPTORS, z.DESCRIPTOR._loaded_options)
        for name in sorted(n for n in vars(z) if n.startswith("_TOPLEVEL")):
            d = getattr(z, name)
            print(name, d._serialized_start, d._serialized_end)
        """,
        env={"PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION": "python"},
    )
    lines = out.splitlines()
    assert lines[0] == "False None"
    assert {l.split()[0]: tuple(map(int, l.split()[1:])) for l in lines[1:]} == {
        k: v[:2] for k, v in SPANS.items()
    }


def test_field_widths():
    raw = z.TopLevelMessage.RawdataMessage(ObjectId=1623297786281202642)
    assert raw.ObjectId == 1623297786281202642
    with pytest.raises(ValueError):
        raw.OrderID = 1623297786281202642


@pytest.mark.parametrize(
    "setup, error, line",
    [
        # A builder submodule that cannot be imported.
        ("sys.modules['google.protobuf.internal.builder'] = None", "ModuleNotFoundError", 9),
        # A package without the name and no registry entry for it.
        ("import types, google.protobuf.descriptor_pool, google.protobuf.symbol_database; "
         "sys.modules.pop('google.protobuf.internal.builder', None); "
         "sys.modules['google.protobuf.internal'] = types.ModuleType('x')",
         "ImportError: cannot import name builder", 9),
        # A pool that refuses the file: a conflicting definition is already there.
        ("from google.protobuf import descriptor_pb2, descriptor_pool; "
         "descriptor_pool.Default().Add(descriptor_pb2.FileDescriptorProto("
         "name='zorva_data.proto', package='other'))", "TypeError", 17),
    ],
)
def test_failed_import_reports_its_line(setup, error, line):
    out = check_python(
        f"""
        import sys, traceback
        {setup}
        try:
            import kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2
        except Exception as exc:
            print(traceback.format_exception_only(exc)[-1].strip())
            entry = traceback.extract_tb(exc.__traceback__)[-1]
            print(entry.name, entry.filename, entry.lineno)
        print("kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2" in sys.modules)
        """
    )
    lines = out.splitlines()
    assert lines[0].startswith(error), lines
    assert lines[1] == (
        "init kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2 "
        "kestrune_protocol_buffer_python\\\\grpc\\\\generated\\\\zorva_data_pb2.py " + str(line)
    )
    assert lines[2] == "False"
