"""Schema inference from a sample record, and the sample record itself."""
import contextlib
import importlib.util
import io
import itertools
import pathlib
import re
import sys
import tempfile

import pytest
from grpc_tools import protoc
from hypothesis import given, settings
from hypothesis import strategies as st

import records
from conftest import check_python, on_thread
from kestrune_protocol_buffer_python import infer_schema, open_payload, pack_payload
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

J = "kestrune_protocol_buffer_python.infer_schema.json_to_proto"
P, T = J + ".parse_json", J + ".type_to_proto"
FILE = "kestrune_protocol_buffer_python\\\\infer_schema.py"


@pytest.fixture()
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def generate(json_obj, filename="t.proto"):
    """The file text that json_to_proto writes (line ends untranslated)."""
    infer_schema.json_to_proto(json_obj, filename)
    with open(filename, newline="") as f:
        return f.read()


def fields(json_obj):
    """The lines between "message TopLevelMessage {" and the closing brace."""
    return generate(json_obj).split("\n")[3:-1]


WORKED_EXAMPLE = (
    'syntax = "proto3";\npackage out/test;\nmessage TopLevelMessage {\nrepeated string tags = 1;\n'
    "message ItemsItem {\n  float a = 1;\n  repeated bool b = 2;\n}\nrepeated ItemsItem items = 2;\n"
    "repeated string n = 3;\nint64 big = 4;\nint32 x = 5;\n}")


@pytest.mark.parametrize("example", ["worked", "sample", "empty"])
def test_examples_byte_for_byte(workdir, package_dir, capsys, example):
    (workdir / "out").mkdir()
    data, filename, expected = {
        "worked": ({"tags": [], "items": [{"a": 1.5, "b": [True]}], "n": [None], "big": -2147483649,
                    "x": 2147483647}, "out/test.proto.proto", WORKED_EXAMPLE),
        "sample": (infer_schema.zorva_data, "zorva_data.proto",
                   pathlib.Path(package_dir, "grpc/protos/zorva_data.proto").read_bytes().decode()),
        "empty": ({}, "t.proto", 'syntax = "proto3";\npackage t;\nmessage TopLevelMessage {\n}'),
    }[example]
    for _ in range(2):  # a second call overwrites the file and prints again
        assert generate(data, filename) == expected
    assert capsys.readouterr().out == f"Proto file '{filename}' generated successfully.\n" * 2


@pytest.mark.parametrize(
    "value, lines",
    [
        (2147483647, "int32 k = 1;"), (-2147483648, "int32 k = 1;"), (2147483648, "int64 k = 1;"),
        (-2147483649, "int64 k = 1;"), (True, "bool k = 1;"), (None, "string k = 1;"),
        (1.5, "float k = 1;"), ((1, 2), "string k = 1;"), (type("Count", (int,), {})(1), "string k = 1;"),
        (type("int", (int,), {})(2**40), "int64 k = 1;"),  # chained: upper bound only after lower
        (type("int", (int,), {"__ge__": lambda *_: False, "__le__": lambda *_: 1 / 0})(5), "int64 k = 1;"),
        ([5, 2**40], "repeated int32 k = 1;"), ([2**40, 5], "repeated int64 k = 1;"),
        ([[1]], "repeated string k = 1;"), ([None], "repeated string k = 1;"),
        ([], "repeated string k = 1;"), ([False, 1], "repeated bool k = 1;"),
        ({}, "message KMessage {|}|KMessage k = 1;"),
        ([{}, {"ignored": 1}], "message KItem {|}|repeated KItem k = 1;"),
        ({"In": [{"x": 1.0}]}, "message KMessage {|  message InItem {|    float x = 1;|  }|"
                               "  repeated InItem In = 1;|}|KMessage k = 1;"),
        ({"userInfo": {}, "UserInfo": {}, 7: 1, "a b": 2},  # clashes and bad names written as they are
         "message KMessage {|  message UserinfoMessage {|  }|  UserinfoMessage userInfo = 1;|"
         "  message UserinfoMessage {|  }|  UserinfoMessage UserInfo = 2;|  int32 7 = 3;|"
         "  int32 a b = 4;|}|KMessage k = 1;"),
    ],
)
def test_field_lines(workdir, value, lines):
    assert fields({"k": value}) == lines.split("|")


@pytest.mark.parametrize(
    "filename, package",
    [("schema.txt", "schema.txt"), ("d/x.proto", "d/x"), ("a.proto.proto", "a"),
     ("x.protobuf", "xbuf"), ("d.proto/y.proto", "d/y")],
)
def test_package_name_rule(workdir, filename, package):
    (workdir / "d").mkdir()
    (workdir / "d.proto").mkdir()
    assert generate({}, filename).split("\n")[1] == f"package {package};"


class Items:
    def __init__(self, *items):
        self.pairs = items

    def items(self):
        return iter(self.pairs)


class Growing(str):
    """A key whose formatting adds an entry to the dictionary being walked."""

    def __format__(self, format_string):
        GROWING[f"k{len(GROWING)}"] = 1
        return str(self)


GROWING = {Growing("a"): 1}
NotAnInt = type("int", (), {})
WALK = [(J, 59), (P, 8)]


@pytest.mark.parametrize(
    "json_obj, filename, error, text, entries, left",
    [
        (None, "t.proto", AttributeError, "'NoneType' object has no attribute 'items'", WALK, "kept"),
        (Items(("a", 1, 2)), "t.proto", ValueError, "too many values to unpack (expected 2)", WALK, "kept"),
        (Items(("a",)), "t.proto", ValueError, "need more than 1 value to unpack", WALK, "kept"),
        (Items(iter(())), "t.proto", ValueError, "need more than 0 values to unpack", WALK, "kept"),
        (Items(None), "t.proto", TypeError, "'NoneType' object is not iterable", WALK, "kept"),
        (GROWING, "t.proto", RuntimeError, "dictionary changed size during iteration", WALK, "kept"),
        ({"a": {1: {}}}, "t.proto", AttributeError, "'int' object has no attribute 'capitalize'",
         [(J, 59), (P, 13), (P, 11)], "kept"),
        ({"a": [{}, 1], 2: [{}]}, "t.proto", AttributeError, "'int' object has no attribute 'capitalize'",
         [(J, 59), (P, 21)], "kept"),
        ({"a": NotAnInt()}, "t.proto", TypeError, "'<=' not supported between instances of 'int' and 'int'",
         [(J, 59), (P, 34), (T, 42)], "kept"),
        ({"a": [{"b": [NotAnInt()]}]}, "t.proto", TypeError, "'<=' not supported",
         [(J, 59), (P, 23), (P, 27), (T, 42)], "kept"),
        ({}, b"t.proto", TypeError, "a bytes-like object is required, not 'str'", [(J, 54)], "kept"),
        ({}, "no/such/dir.proto", FileNotFoundError, "No such file or directory", [(J, 62)], "kept"),
        ({"\ud800": 1}, "t.proto", UnicodeEncodeError, "surrogates not allowed", [(J, 63)], ""),
        ({}, "/dev/full", OSError, "No space left on device", [(J, 62)], "kept"),  # flush on close
    ],
)
def test_failures(workdir, capsys, json_obj, filename, error, text, entries, left):
    (workdir / "t.proto").write_text("kept")
    with pytest.raises(error, match=re.escape(text)) as excinfo:
        infer_schema.json_to_proto(json_obj, filename)
    assert records.entries(excinfo) == [(name, FILE, line) for name, line in entries]
    assert (workdir / "t.proto").read_text() == left  # a failed write leaves the file truncated
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "args, kwargs, text",
    [((1,), {"proto_filename": "x", "json_obj": 2}, "got multiple values for keyword argument 'json_obj'"),
     ((1, 2), {"x": 3}, "got an unexpected keyword argument 'x'"),
     ((1, 2, 3), {"x": 3}, "takes exactly 2 positional arguments (3 given)"),
     ((), {"proto_filename": "x"}, "takes exactly 2 positional arguments (0 given)")],
)
def test_binding_errors(args, kwargs, text):
    with pytest.raises(TypeError) as excinfo:
        infer_schema.json_to_proto(*args, **kwargs)
    assert str(excinfo.value) == f"json_to_proto() {text}"
    assert records.entries(excinfo) == [(J, FILE, 4)]


def test_sample_record_at_import(tmp_path):
    out = check_python(
        """
        import os
        from kestrune_protocol_buffer_python import infer_schema as m
        r = m.zorva_data
        print([k for k in vars(m) if k[0] != "_"], os.listdir(), list(r), len(r["RawData"]),
              r["RawData"]["ObjectId"], r["RawData"]["URL"][:34], r["BrandInfo"]["BrandSettings"],
              r["BrandInfo"]["OperationEnum"])
        """, cwd=tmp_path)
    assert out == ("['json', 'json_to_proto', 'zorva_data'] [] ['RawData', 'ChannelGroup', 'ChannelType', "
                   "'BrandInfo', 'MentionTrackingDetails', 'ServiceName'] 14 1623297786281202642 "
                   "https://qa.example.com/unanswered/ {} None\n")


def test_deep_input_ends_in_recursion_error_on_a_small_stack(tmp_path):
    out = check_python(on_thread(
        """
        from kestrune_protocol_buffer_python.infer_schema import json_to_proto

        class Key(str):  # formatting the key calls back into json_to_proto
            def __format__(self, format_string):
                return json_to_proto({Key(): 1}, "deep.proto")

        deep_dict, deep_list, cycle = {}, {}, {}
        for _ in range(100_000):
            deep_dict, deep_list = {"c": deep_dict}, {"c": [deep_list]}
        cycle["c"] = [cycle]

        def run():
            for data in (deep_dict, deep_list, {Key(): 1}, cycle):
                try:
                    json_to_proto(data, "deep.proto")
                except RecursionError:
                    print("RecursionError")
            json_to_proto({"a": {"b": 1}}, "deep.proto")

        run()  # on the main thread first
        """), cwd=tmp_path)
    assert out.splitlines() == (["RecursionError"] * 4 + ["Proto file 'deep.proto' generated successfully."]) * 2


@pytest.mark.parametrize(
    "data", [infer_schema.zorva_data, {"a": [{"b": NotAnInt()}]}, Items(("a", 1, 2)), {"a": {5: {}}}])
def test_no_references_are_leaked(workdir, capsys, data):
    tracked = [data, *getattr(data, "pairs", ()), *getattr(data, "values", list)()]
    counts = []
    for times in (5, 500):
        for _ in range(times):
            with contextlib.suppress(Exception):
                infer_schema.json_to_proto(data, "t.proto")
        counts.append([sys.getrefcount(obj) for obj in tracked])
    assert max(after - before for before, after in zip(*counts)) < 50


# ---- the written schema through the real compiler ----------------------------------------------

MESSAGE_ATTRIBUTES = {name.lower() for name in dir(zorva_data_pb2.TopLevelMessage)}
KEY = (st.from_regex(r"[A-Za-z][A-Za-z0-9]{0,7}", fullmatch=True)
       | st.sampled_from(["message", "option", "package", "repeated", "int32", "class", "None"]))
BIG = st.integers(-(2**63), -(2**31) - 1) | st.integers(2**31, 2**63 - 1)
KINDS = [records.INT32, BIG, records.TEXT, st.floats(width=32, allow_nan=False), st.booleans()]
# Lists hold one kind of value, so every element fits the type of the first.
SCALARS = st.one_of(st.none(), *KINDS, *(st.lists(kind, max_size=3) for kind in KINDS))


def distinct_names(sample):
    """Keys that stay distinct as fields, nested type names and JSON names."""
    nested = {key.capitalize() + suffix for key in sample for suffix in ("Message", "Item")}
    lowered = {key.lower() for key in sample}
    return len(lowered) == len(sample) and not nested & set(sample) and not lowered & MESSAGE_ATTRIBUTES


SAMPLES = st.recursive(
    st.dictionaries(KEY, SCALARS, max_size=4).filter(distinct_names),
    lambda inner: st.dictionaries(KEY, SCALARS | inner | inner.map(lambda d: [d, d]),
                                  max_size=4).filter(distinct_names),
    max_leaves=10)
SCHEMA_NUMBERS = itertools.count()


def compile_and_round_trip(samples):
    """Writes each sample's schema, compiles them all in one compiler run, and
    sends a TopLevelMessage filled from each sample through pack and open."""
    with tempfile.TemporaryDirectory() as directory, contextlib.chdir(directory), \
            contextlib.redirect_stdout(io.StringIO()) as printed:
        for name, sample in samples.items():
            infer_schema.json_to_proto(sample, f"{name}.proto")
        files = [f"{name}.proto" for name in samples]
        assert protoc.main(["grpc_tools.protoc", "-I.", "--python_out=.", *files]) == 0
        for name, sample in samples.items():
            spec = importlib.util.spec_from_file_location(f"{name}_pb2", f"{name}_pb2.py")
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            message = pack_payload.set_message_fields(module.TopLevelMessage(), sample)
            payload = pack_payload.pack_payload(message)
            assert open_payload.depack_payload(module, "TopLevelMessage", payload) == message
    assert all(line.startswith("Proto file") for line in printed.getvalue().splitlines())


def test_sample_record_schema_compiles_and_round_trips():
    compile_and_round_trip({"zorva_data": infer_schema.zorva_data})


@settings(max_examples=8, deadline=None)
@given(st.lists(SAMPLES, min_size=4, max_size=12))
def test_random_samples_compile_and_round_trip(samples):
    compile_and_round_trip({f"sample{next(SCHEMA_NUMBERS)}": sample for sample in samples})
