"""Schema inference from a sample record, and the sample record itself."""
import contextlib
import importlib.util
import io
import itertools
import re
import sys
import tempfile

import pytest
from grpc_tools import protoc
from hypothesis import given, settings
from hypothesis import strategies as st

import records
from conftest import check_python
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


def test_worked_example_byte_for_byte(workdir, capsys):
    (workdir / "out").mkdir()
    data = {"tags": [], "items": [{"a": 1.5, "b": [True]}], "n": [None], "big": -2147483649,
            "x": 2147483647}
    assert generate(data, "out/test.proto.proto") == (
        'syntax = "proto3";\npackage out/test;\nmessage TopLevelMessage {\nrepeated string tags = 1;\n'
        "message ItemsItem {\n  float a = 1;\n  repeated bool b = 2;\n}\nrepeated ItemsItem items = 2;\n"
        "repeated string n = 3;\nint64 big = 4;\nint32 x = 5;\n}")
    assert capsys.readouterr().out == "Proto file 'out/test.proto.proto' generated successfully.\n"


def test_sample_record_gives_the_shipped_schema(workdir, package_dir, capsys):
    with open(f"{package_dir}/grpc/protos/zorva_data.proto", "rb") as f:
        shipped = f.read()
    for _ in range(2):  # a second call overwrites the file and prints again
        infer_schema.json_to_proto(infer_schema.zorva_data, "zorva_data.proto")
    assert (workdir / "zorva_data.proto").read_bytes() == shipped
    assert capsys.readouterr().out == "Proto file 'zorva_data.proto' generated successfully.\n" * 2


IntSubclass = type("Count", (int,), {})


@pytest.mark.parametrize(
    "value, line",
    [
        (2147483647, "int32 k = 1;"), (-2147483648, "int32 k = 1;"),
        (2147483648, "int64 k = 1;"), (-2147483649, "int64 k = 1;"), (2**70, "int64 k = 1;"),
        (True, "bool k = 1;"), (None, "string k = 1;"), (1.5, "float k = 1;"), ("s", "string k = 1;"),
        ((1, 2), "string k = 1;"), (IntSubclass(2**40), "string k = 1;"),
        (type("int", (int,), {})(2**40), "int64 k = 1;"),
        ([5, 2**40], "repeated int32 k = 1;"), ([2**40, 5], "repeated int64 k = 1;"),
        ([[1]], "repeated string k = 1;"), ([None], "repeated string k = 1;"),
        ([], "repeated string k = 1;"), ([False, 1], "repeated bool k = 1;"),
        ({}, ["message KMessage {", "}", "KMessage k = 1;"]),
        ([{}, {"ignored": 1}], ["message KItem {", "}", "repeated KItem k = 1;"]),
        ({"Inner": [{"x": 1.0}]}, ["message KMessage {", "  message InnerItem {", "    float x = 1;",
                                   "  }", "  repeated InnerItem Inner = 1;", "}", "KMessage k = 1;"]),
    ],
)
def test_field_lines(workdir, value, line):
    assert fields({"k": value}) == (line if isinstance(line, list) else [line])


def test_names_fields_and_numbers(workdir):
    assert fields({"RawData": {}, "userInfo": {}, "UserInfo": {}, 7: 1, "a b": 2}) == [
        "message RawdataMessage {", "}", "RawdataMessage RawData = 1;",
        "message UserinfoMessage {", "}", "UserinfoMessage userInfo = 2;",
        "message UserinfoMessage {", "}", "UserinfoMessage UserInfo = 3;",
        "int32 7 = 4;", "int32 a b = 5;"]
    assert generate({}) == 'syntax = "proto3";\npackage t;\nmessage TopLevelMessage {\n}'


@pytest.mark.parametrize(
    "filename, package",
    [("schema.txt", "schema.txt"), ("d/x.proto", "d/x"), ("a.proto.proto", "a"),
     ("x.protobuf", "xbuf"), ("d.proto/y.proto", "d/y")],
)
def test_package_name_rule(workdir, filename, package):
    for directory in ("d", "d.proto"):
        (workdir / directory).mkdir(exist_ok=True)
    assert generate({}, filename).split("\n")[1] == f"package {package};"


class Items:
    def __init__(self, *items):
        self.pairs = items

    def items(self):
        return iter(self.pairs)


class Growing(str):
    """A key whose formatting adds an entry to the dictionary being walked."""

    def __format__(self, spec):
        GROWING[f"k{len(GROWING)}"] = 1
        return str(self)


GROWING = {Growing("a"): 1}
NotAnInt = type("int", (), {})


@pytest.mark.parametrize(
    "json_obj, filename, error, text, entries",
    [
        (None, "t.proto", AttributeError, "'NoneType' object has no attribute 'items'",
         [(J, 59), (P, 8)]),
        (Items(("a", 1, 2)), "t.proto", ValueError, "too many values to unpack (expected 2)",
         [(J, 59), (P, 8)]),
        (Items(("a",)), "t.proto", ValueError, "need more than 1 value to unpack", [(J, 59), (P, 8)]),
        (Items(iter(())), "t.proto", ValueError, "need more than 0 values to unpack", [(J, 59), (P, 8)]),
        (Items(None), "t.proto", TypeError, "'NoneType' object is not iterable", [(J, 59), (P, 8)]),
        (GROWING, "t.proto", RuntimeError, "dictionary changed size during iteration", [(J, 59), (P, 8)]),
        ({"a": {1: {}}}, "t.proto", AttributeError, "'int' object has no attribute 'capitalize'",
         [(J, 59), (P, 13), (P, 11)]),
        ({"a": [{}, 1], 2: [{}]}, "t.proto", AttributeError,
         "'int' object has no attribute 'capitalize'", [(J, 59), (P, 21)]),
        ({"a": NotAnInt()}, "t.proto", TypeError,
         "'<=' not supported between instances of 'int' and 'int'", [(J, 59), (P, 34), (T, 42)]),
        ({"a": [{"b": [NotAnInt()]}]}, "t.proto", TypeError, "'<=' not supported",
         [(J, 59), (P, 23), (P, 27), (T, 42)]),
        ({}, b"t.proto", TypeError, "a bytes-like object is required, not 'str'", [(J, 54)]),
        ({}, "no/such/dir.proto", FileNotFoundError, "No such file or directory", [(J, 62)]),
    ],
    ids=["none", "three", "one", "zero", "none-item", "grows", "key-dict", "key-list", "not-int",
         "not-int-deep", "bytes-name", "no-dir"],
)
def test_failures(workdir, capsys, json_obj, filename, error, text, entries):
    (workdir / "t.proto").write_text("kept")
    with pytest.raises(error, match=re.escape(text)) as excinfo:
        infer_schema.json_to_proto(json_obj, filename)
    assert records.entries(excinfo) == [(name, FILE, line) for name, line in entries]
    assert (workdir / "t.proto").read_text() == "kept"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "data, filename, error, line, left",
    [({"\ud800": 1}, "t.proto", UnicodeEncodeError, 63, ""),  # truncated, then closed
     ({}, "/dev/full", OSError, 62, None)],  # the flush on close fails
)
def test_write_failures(workdir, capsys, data, filename, error, line, left):
    (workdir / "t.proto").write_text("old")
    with pytest.raises(error) as excinfo:
        infer_schema.json_to_proto(data, filename)
    assert records.entries(excinfo) == [(J, FILE, line)]
    assert left is None or (workdir / "t.proto").read_text() == left
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
        print([k for k in vars(m) if not k.startswith("__")], os.listdir())
        r = m.zorva_data
        print(list(r), len(r["RawData"]), r["RawData"]["ObjectId"] == 1623297786281202642,
              r["RawData"]["URL"].startswith("https://qa.example.com/unanswered/How-long"),
              r["BrandInfo"]["BrandSettings"] == {}, r["BrandInfo"]["OperationEnum"] is None)
        """, cwd=tmp_path)
    assert out.splitlines() == [
        "['json', 'json_to_proto', 'zorva_data'] []",
        "['RawData', 'ChannelGroup', 'ChannelType', 'BrandInfo', 'MentionTrackingDetails', "
        "'ServiceName'] 14 True True True True"]


def test_deep_input_ends_in_recursion_error_on_a_small_stack(tmp_path):
    out = check_python(
        """
        import threading
        from kestrune_protocol_buffer_python.infer_schema import json_to_proto

        class Key(str):  # formatting the key calls back into json_to_proto
            def __format__(self, spec):
                json_to_proto({Key("k"): 1}, "deep.proto")
                return "k"

        def nested(wrap):
            data = {}
            for _ in range(100_000):
                data = wrap(data)
            return data

        cycle = {}
        cycle["c"] = [cycle]

        def run():
            for data in (nested(lambda d: {"c": d}), nested(lambda d: {"c": [d]}), {Key("k"): 1}, cycle):
                try:
                    json_to_proto(data, "deep.proto")
                except RecursionError:
                    print("RecursionError")
            json_to_proto({"a": {"b": 1}}, "deep.proto")

        run()
        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        """, cwd=tmp_path)
    assert out.splitlines() == (["RecursionError"] * 4 + ["Proto file 'deep.proto' generated successfully."]) * 2


@pytest.mark.parametrize(
    "data",
    [infer_schema.zorva_data, {"a": [{"b": NotAnInt()}]}, Items(("a", 1, 2)), {"a": {5: {}}}],
    ids=["sample", "type-error", "unpack", "capitalize"],
)
def test_no_references_are_leaked(workdir, capsys, data):
    def run(times):
        for _ in range(times):
            with contextlib.suppress(Exception):
                infer_schema.json_to_proto(data, "t.proto")

    tracked = [data, *getattr(data, "pairs", ())]
    if isinstance(data, dict):
        tracked += [*data, *data.values()]
    run(5)
    before = [sys.getrefcount(obj) for obj in tracked]
    run(500)
    assert max(sys.getrefcount(obj) - count for obj, count in zip(tracked, before)) < 50


# ---- the written schema through the real compiler ----------------------------------------------

MESSAGE_ATTRIBUTES = {name.lower() for name in dir(zorva_data_pb2.TopLevelMessage)}
KEY = (st.from_regex(r"[A-Za-z][A-Za-z0-9]{0,7}", fullmatch=True)
       | st.sampled_from(["message", "option", "package", "repeated", "int32", "class", "None"]))
FLOAT = st.floats(width=32, allow_nan=False)
BIG = st.integers(-(2**63), -(2**31) - 1) | st.integers(2**31, 2**63 - 1)
SCALAR = st.one_of(records.INT32, BIG, records.TEXT, FLOAT, st.booleans(), st.none())
SCALAR_LIST = st.just([]) | st.one_of(
    *(st.lists(s, min_size=1, max_size=3) for s in (records.INT32, BIG, records.TEXT, FLOAT, st.booleans())))


def distinct_names(sample):
    """Keys that stay distinct as fields, nested type names and JSON names."""
    nested = {key.capitalize() + ("Message" if isinstance(value, dict) else "Item")
              for key, value in sample.items() if isinstance(value, (dict, list))}
    lowered = {key.lower() for key in sample}
    return len(lowered) == len(sample) and not nested & set(sample) and not lowered & MESSAGE_ATTRIBUTES


def samples_of(values):
    return st.dictionaries(KEY, values, max_size=4).filter(distinct_names)


SAMPLES = st.recursive(samples_of(SCALAR | SCALAR_LIST),
                       lambda inner: samples_of(SCALAR | SCALAR_LIST | inner | inner.map(lambda d: [d, d])),
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
