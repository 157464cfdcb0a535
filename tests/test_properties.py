"""Random outside-world input to every function that takes data: the outcome is the
documented result or the documented exception, compared with a plain-Python reference."""
import contextlib
import glob
import importlib
import io
import json
import os
import pathlib
import subprocess
import tempfile
import zlib

import pytest
from google.protobuf import json_format, message as protobuf_message
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import hardening
import records
from hardening import outcome, wire
from kestrune_protocol_buffer_python import (build_stubs, commands, dict_bridge, infer_schema,
                                             open_payload, pack_payload, utilities)
from kestrune_protocol_buffer_python.commands import streams
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2
from conftest import examples

SETTINGS = settings(max_examples=examples(150), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
POPULATE = "Failed to populate protobuf message from dict: "
CONVERT = "Failed to convert protobuf message to dict: "


@pytest.fixture(scope="module")
def schemas(tmp_path_factory):
    """name -> (owner of the type, message class) for the record schema and two test schemas."""
    road = records.road_schema(tmp_path_factory)
    hard = records.compiled_schema(tmp_path_factory, hardening.HARDENING_PROTO)
    return {
        "TopLevelMessage": (zorva_data_pb2, zorva_data_pb2.TopLevelMessage),
        "Basket": (road, road.Basket),
        "Node": (road, road.Node),
        "Holder": (hard, hard.Holder),
    }


NAMES = {}


def names_of(schemas):
    if not NAMES:
        classes = [cls for _, cls in schemas.values()]
        NAMES.update(all=hardening.field_names(*(cls.DESCRIPTOR for cls in classes)))
    return NAMES["all"]


def draw_case(data, schemas):
    type_name = data.draw(st.sampled_from(sorted(schemas)))
    typed = hardening.typed_record(schemas[type_name][1].DESCRIPTOR)
    record = data.draw(hardening.mostly(typed, hardening.record_strategy(names_of(schemas)), 4))
    return (*schemas[type_name], type_name, record)


def quiet(function, *args):
    """outcome() of the call, and what it printed."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = outcome(function, *args)
    return result, out.getvalue()


# ---- set_message_fields, then the payload road --------------------------------------------

FILL_ERRORS = (TypeError, ValueError, KeyError, AttributeError, OverflowError)


@SETTINGS
@given(data=st.data())
def test_fill_matches_the_reference_then_round_trips(schemas, data):
    owner, cls, type_name, record = draw_case(data, schemas)
    native, reference = cls(), cls()
    got, printed = quiet(pack_payload.set_message_fields, native, record)
    lines = []
    expected, _ = quiet(hardening.reference_fill, reference, record, lines)
    # Fields set before a failure stay set, on both sides alike.
    assert wire(native) == wire(reference)
    assert printed == "".join(line + "\n" for line in lines)
    event(f"{got[0]}, {'filled' if wire(native) else 'empty'}, {len(lines)} lines")
    if expected[0] == "raised":
        assert got == expected
        assert issubclass(got[1], FILL_ERRORS), got
        return
    assert got[0] == "ok" and got[1] is native
    payload = pack_payload.pack_payload(native)
    assert zlib.decompress(payload) == native.SerializeToString()
    again = open_payload.depack_payload(owner, type_name, payload)
    assert type(again) is cls and wire(again) == wire(native)


@settings(SETTINGS, max_examples=examples(40))
@given(data=st.data())
def test_fill_of_a_non_dict_is_refused_whatever_it_holds(schemas, data):
    _, cls, _, record = draw_case(data, schemas)
    wrapper = data.draw(st.sampled_from([hardening.DictSub, lambda r: list(r.items()),
                                         lambda r: None, str]))
    value = wrapper(record)
    got, printed = quiet(pack_payload.set_message_fields, cls(), value)
    assert got == ("raised", TypeError, "Argument 'data' has incorrect type (expected dict, "
                   f"got {type(value).__name__})") and printed == ""


# ---- depack_payload: random, truncated and corrupted payloads -------------------------------

DEPACK_ERRORS = (zlib.error, protobuf_message.DecodeError, TypeError)


def filled_payload(schemas, data):
    """A real payload of a random record that fills without error."""
    owner, cls, type_name, record = draw_case(data, schemas)
    message = cls()
    got, _ = quiet(pack_payload.set_message_fields, message, record)
    return owner, type_name, pack_payload.pack_payload(message)


def damaged(payload, data):
    how = data.draw(st.sampled_from(["truncate", "flip", "insert", "as is"]))
    if how == "truncate":
        return payload[:data.draw(st.integers(0, max(len(payload) - 1, 0)))]
    if how == "as is":
        return payload
    at = data.draw(st.integers(0, len(payload) - 1))
    byte = data.draw(st.integers(0, 255))
    if how == "flip":
        return payload[:at] + bytes([payload[at] ^ (byte or 1)]) + payload[at + 1:]
    return payload[:at] + bytes([byte]) + payload[at:]


@SETTINGS
@given(data=st.data())
def test_depack_of_any_bytes_matches_the_reference(schemas, data):
    owner, _, type_name, _ = draw_case(data, schemas)
    source = data.draw(st.sampled_from(["random", "stream", "payload"]))
    if source == "random":
        payload = data.draw(st.binary(max_size=64))
    elif source == "stream":  # a valid zlib stream of random wire bytes
        payload = zlib.compress(data.draw(st.binary(max_size=64)))
    else:
        owner, type_name, payload = filled_payload(schemas, data)
        payload = damaged(payload, data)
    payload = data.draw(st.sampled_from([bytes, bytearray, memoryview]))(payload)
    got = outcome(open_payload.depack_payload, owner, type_name, payload)
    expected = outcome(hardening.reference_depack, owner, type_name, payload)
    if expected[0] == "raised":
        assert got == expected and issubclass(got[1], DEPACK_ERRORS)
    else:
        assert got[0] == "ok" and wire(got[1]) == wire(expected[1])


# ---- dict_bridge: the runtime's JSON mapping, or the documented translation -----------------


@SETTINGS
@given(data=st.data())
def test_populate_matches_parse_dict(schemas, data):
    _, cls, _, record = draw_case(data, schemas)
    reference = cls()
    expected = outcome(json_format.ParseDict, record, reference)
    event(f"ParseDict {expected[0]}, {'filled' if wire(reference) else 'empty'}")
    try:
        got = ("ok", dict_bridge.populate_protobuf_from_dict(cls, record))
    except Exception as exc:
        got = ("raised", type(exc), str(exc), exc.__context__)
    if expected[0] == "ok":
        assert got[0] == "ok" and wire(got[1]) == wire(reference)
        # and back: protobuf_to_dict is MessageToDict
        assert dict_bridge.protobuf_to_dict(got[1]) == json_format.MessageToDict(reference)
    elif issubclass(expected[1], json_format.ParseError):
        # The translation of the mapping's own ParseError, whatever its words.
        assert got[:2] == ("raised", ValueError)
        assert isinstance(got[3], json_format.ParseError) and got[2] == POPULATE + str(got[3])
    else:
        assert got[:3] == expected


@SETTINGS
@given(data=st.data())
def test_to_dict_matches_message_to_dict(schemas, data):
    owner, cls, type_name, record = draw_case(data, schemas)
    message = cls()
    quiet(pack_payload.set_message_fields, message, record)
    assert dict_bridge.protobuf_to_dict(message) == json_format.MessageToDict(message)
    stand_in = data.draw(st.sampled_from([record, wire(message), cls, owner, None, type_name]))
    assert outcome(dict_bridge.protobuf_to_dict, stand_in) == (
        "raised", TypeError, "The input must be a protobuf message.")


SAFE_PREFIXES = ["kestrune_missing_", "", ".", "..", "kestrune_protocol_buffer_python.",
                 "kestrune_protocol_buffer_python.grpc.generated."]
MODULE_NAMES = st.one_of(
    st.builds(str.__add__, st.sampled_from(SAFE_PREFIXES), st.text("xyz_.\x00\u00e9\ud800", max_size=6)),
    st.sampled_from(["json", "zorva_data_pb2", "kestrune_protocol_buffer_python.grpc.generated."
                     "zorva_data_pb2", "kestrune_protocol_buffer_python.utilities"]))
ATTRIBUTE_NAMES = st.one_of(st.sampled_from(sorted(vars(zorva_data_pb2))), st.text(max_size=6),
                            st.sampled_from(["TopLevelMessage", "RawdataMessage", "__class__"]))


@settings(max_examples=examples(100), deadline=None)
@given(name=MODULE_NAMES)
def test_module_lookups_match_import_module(name):
    expected = outcome(importlib.import_module, name)
    for load in (pack_payload.load_proto_module, open_payload.load_proto_module):
        assert outcome(load, name) == expected
    try:
        got = ("ok", dict_bridge.import_protobuf_module(name))
    except Exception as exc:
        got = ("raised", type(exc), str(exc))
    if expected[0] == "raised" and issubclass(expected[1], ImportError):
        assert got == ("raised", ImportError, f"Failed to import module '{name}': {expected[2]}")
    else:
        assert got == expected


@settings(max_examples=examples(100), deadline=None)
@given(name=ATTRIBUTE_NAMES)
def test_class_lookups_match_getattr(name):
    owner = zorva_data_pb2
    expected = outcome(getattr, owner, name)
    got = outcome(dict_bridge.get_protobuf_class, owner, name)
    if expected[0] == "raised":
        assert got == ("raised", AttributeError,
                       f"Module '{owner.__name__}' has no class '{name}': {expected[2]}")
    else:
        assert got[0] == "ok" and got[1] is expected[1]
    made = outcome(lambda: getattr(owner, name)())
    for create in (pack_payload.create_message, open_payload.create_message):
        result = outcome(create, owner, name)
        assert result[0] == made[0] and (result[1:] == made[1:] if made[0] == "raised"
                                         else type(result[1]) is type(made[1]))


# ---- json_to_proto -------------------------------------------------------------------------

SAMPLE_KEYS = hardening.mostly(st.text(max_size=6), st.sampled_from(["x y", "\ud800", b"k"])
                               | hardening.NON_TEXT_KEYS, 10)
SAMPLE_LEAVES = hardening.mostly(hardening.SCALARS, st.sampled_from(
    [*hardening.INT_BOUNDS, (), (1,), b"", float("nan"), 1.5, True]), 3)
SAMPLES = st.recursive(
    SAMPLE_LEAVES,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(hardening.ListSub),
        st.dictionaries(SAMPLE_KEYS, inner, max_size=4),
        st.dictionaries(SAMPLE_KEYS, inner, max_size=3).map(hardening.DictSub)),
    max_leaves=12)
FILE_NAMES = st.text("ab._-", min_size=1, max_size=6).map(lambda s: s + ".proto") | st.sampled_from(
    ["x.proto.proto", "schema.txt", "a.protob"])


@SETTINGS
@given(sample=st.dictionaries(SAMPLE_KEYS, hardening.mostly(SAMPLE_LEAVES, SAMPLES, 2), max_size=6),
       name=FILE_NAMES)
def test_schema_inference_matches_the_reference(sample, name):
    with tempfile.TemporaryDirectory() as root:
        native, reference = os.path.join(root, "n", name), os.path.join(root, "r", name)
        os.mkdir(os.path.dirname(native))
        os.mkdir(os.path.dirname(reference))
        got, printed = quiet(infer_schema.json_to_proto, sample, native)
        expected, expected_printed = quiet(hardening.reference_json_to_proto, sample, reference)
        assert got[:2] == expected[:2]
        if got[0] == "raised":
            assert got[2] == expected[2]
        assert printed == expected_printed.replace(reference, native)
        assert os.path.exists(native) == os.path.exists(reference)
        if os.path.exists(native):
            texts = [pathlib.Path(p).read_bytes() for p in (native, reference)]
            assert texts[0] == texts[1].replace(reference.replace(".proto", "").encode(),
                                                native.replace(".proto", "").encode())


# ---- custom_normpath -----------------------------------------------------------------------

PATHS = st.text(st.sampled_from("ab/\\.:~ \x00\u00e9"), max_size=12) | st.text(max_size=8)


@settings(max_examples=examples(200), deadline=None)
@given(path=PATHS, system=st.sampled_from(["Linux", "Windows", "Darwin", "", "linux"]))
def test_normpath_matches_the_reference(path, system):
    saved = utilities.get_os
    utilities.get_os = lambda: system
    try:
        got = outcome(utilities.custom_normpath, path)
    finally:
        utilities.get_os = saved
    assert got == outcome(hardening.reference_normpath, path, system)
    assert got[0] == "raised" or type(got[1]) is str


@settings(max_examples=examples(60), deadline=None)
@given(path=st.one_of(st.binary(max_size=4), st.builds(hardening.StrSub, st.text(max_size=4)),
                      st.none(), st.integers(), st.builds(pathlib.PurePosixPath, st.text("ab/",
                                                                                      max_size=4))))
def test_normpath_refuses_anything_but_str(path):
    assert outcome(utilities.custom_normpath, path) == (
        "raised", TypeError,
        f"Argument 'path' has incorrect type (expected str, got {type(path).__name__})")


# ---- build_stubs: rewriting random directory contents --------------------------------------

SCHEMA_NAMES = st.text("ab_.+é", min_size=1, max_size=5)
FILE_TEXT = st.lists(st.sampled_from(["import a_pb2 as a__pb2", "import a_b_pb2 as a__b__pb2",
                                      "from . ", "\r\n", "\n", "\r"]) | st.text("ab_. ", max_size=4),
                     max_size=6).map("".join)
CONTENT = FILE_TEXT.map(str.encode) | st.binary(max_size=12)
MODULE_FILES = st.dictionaries(st.sampled_from(["m.py", "n_pb2.py", ".hidden.py", "x.PY", "y.txt",
                                                "__init__.py", "d.py/"]), CONTENT, max_size=5)


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except (UnicodeDecodeError, IsADirectoryError):
        return None


@settings(max_examples=examples(80), deadline=None)
@given(schema_names=st.lists(SCHEMA_NAMES, max_size=3, unique=True) | st.just(["a", "a_b"]),
       files=MODULE_FILES)
def test_rewriting_any_directory(schema_names, files):
    saved = subprocess.run
    with tempfile.TemporaryDirectory() as root:
        protos, out = os.path.join(root, "p"), os.path.join(root, "out")
        os.mkdir(protos)
        os.mkdir(out)
        for name in schema_names:
            pathlib.Path(protos, name + ".proto").write_text("")
        for name, content in files.items():
            if name.endswith("/"):
                os.mkdir(os.path.join(out, name[:-1]))
            else:
                pathlib.Path(out, name).write_bytes(content)
        before = {name: (pathlib.Path(out, name).read_bytes() if not name.endswith("/") else None)
                  for name in files}
        order = sorted(glob.glob(os.path.join(glob.escape(out), "*.py")) +
                       ([] if "__init__.py" in files else [os.path.join(out, "__init__.py")]))
        found = [pathlib.Path(p).stem for p in glob.glob(os.path.join(protos, "*.proto"))]
        subprocess.run = lambda *args, **kwargs: None
        try:
            got = outcome(build_stubs.build_stubs, protos, out)
        finally:
            subprocess.run = saved
        failed = got[0] == "raised"
        if failed:
            assert issubclass(got[1], (UnicodeDecodeError, IsADirectoryError)), got
        assert os.path.isfile(os.path.join(out, "__init__.py"))
        for name, content in before.items():
            path = os.path.join(out, name.rstrip("/"))
            if content is None:
                continue
            text = content.decode() if read_text(path) is not None else None
            if not name.endswith(".py") or name.startswith(".") or text is None:
                assert pathlib.Path(path).read_bytes() == content, name
            elif not failed:
                rewritten = hardening.reference_rewrite(text.replace("\r\n", "\n")
                                                        .replace("\r", "\n"), found)
                assert pathlib.Path(path).read_text() == rewritten, name
        assert failed == any(read_text(p) is None for p in order)


# ---- the unpack command: any bytes end in whole records or one error line ---------------


@SETTINGS
@given(data=st.data(), delimited=st.booleans())
def test_unpack_of_any_bytes_writes_whole_records_or_one_error(tmp_path_factory, data, delimited):
    messages = [pack_payload.set_message_fields(zorva_data_pb2.TopLevelMessage(), record)
                for record in data.draw(st.lists(records.RECORDS, min_size=1, max_size=3))]
    payloads = [pack_payload.pack_payload(message) for message in messages]
    if not delimited:
        messages, payloads = messages[:1], payloads[:1]
    stream = b"".join(streams.varint(len(p)) + p if delimited else p for p in payloads)
    source = data.draw(st.sampled_from(["intact", "damaged", "random"]))
    if source == "damaged":
        stream = damaged(stream, data)
    elif source == "random":
        stream = data.draw(st.binary(max_size=80))
    folder = tmp_path_factory.mktemp("unpack")
    given_file, written_file = folder / "in.bin", folder / "out.json"
    given_file.write_bytes(stream)
    errors = io.StringIO()
    with contextlib.redirect_stderr(errors):
        status = commands.main(["unpack", str(given_file), "-o", str(written_file), "-q"]
                               + (["--delimited"] if delimited else []))
    lines = errors.getvalue().splitlines()
    written = written_file.read_bytes() if written_file.exists() else b""
    assert status in (0, 1) and 1 <= len(lines) <= 2
    if status:
        assert lines[0].startswith("kestrune unpack: error: ")
    # The summary, "kestrune unpack: N records, ...", unless nothing was read.
    summary = lines[-1] if not lines[-1].startswith("kestrune unpack: error: ") else None
    assert summary is not None or status == 1
    count = int(summary.split()[2]) if summary else 0
    # Every record it reports is written whole, one JSON object a line.
    decoded = [json.loads(line) for line in written.splitlines()]
    assert len(decoded) == count and written.endswith(b"\n") == bool(count)
    assert all(type(record) is dict for record in decoded)
    if source == "intact":
        assert status == 0 and decoded == [json_format.MessageToDict(m) for m in messages]
