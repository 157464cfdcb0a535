"""The native chunk loops of pack and unpack against the per-record road they
stand in for: every record a loop carries comes out byte for byte as the road
gives it, a record the loop cannot be sure of is left to the road, and the
loops stand aside while anything the road calls is not the package's own."""
import io
import json
import os
import sys
import zlib

import orjson
import pytest
from google.protobuf.message import EncodeError
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import hardening
import records
from conftest import check_python, examples
from json_differential import message_kwargs, mutated, wire_fields
from kestrune_protocol_buffer_python import _stream_codec, dict_bridge, pack_payload
from kestrune_protocol_buffer_python.commands import chunks
from kestrune_protocol_buffer_python.commands import records as road
from kestrune_protocol_buffer_python.commands.streams import varint
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

CHECKS = settings(max_examples=examples(80), deadline=None,
                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
LIMIT = 64 << 20
PROTOS = {"p3": "json_mapping_proto3.proto", "p2": "json_mapping_proto2.proto",
          "wkt": "json_mapping_wkt.proto", "editions": "json_mapping_editions.proto"}
TYPES = ["p3.Scalars", "p3.Optionals", "p3.Repeats", "p3.Maps", "p3.Choice", "p3.Naming",
         "p3.Tree", "p3.Wide", "p2.Legacy", "zorva.TopLevelMessage", "wkt.Stamped",
         "p2.WithGroup", "p2.Extendable", "editions.Plain", "hard.Holder"]


@pytest.fixture(scope="module")
def schemas(tmp_path_factory):
    modules = {key: records.compiled_schema(tmp_path_factory, proto) for key, proto in PROTOS.items()}
    modules["hard"] = records.compiled_schema(tmp_path_factory, hardening.HARDENING_PROTO)
    modules["zorva"] = zorva_data_pb2
    # The chunk functions load a schema module by name, as a worker does.
    for module in modules.values():
        sys.modules.setdefault(module.__name__, module)
    return modules


def resolve(schemas, dotted):
    module, name = dotted.split(".")
    return schemas[module], name


def reference_line(holder, name, payload):
    """The JSON line of one payload by the per-record road, or None where it refuses it."""
    try:
        return road.unpack_record(road.MessageType(holder, name), payload, LIMIT) + b"\n"
    except road.BadRecord:
        return None


def reference_payload(holder, name, line):
    """The payload of one line by the per-record road and what it printed, or None."""
    captured = io.StringIO()
    try:
        with road.filling(road.Road("m", "t"), captured):
            payload, warned = road.pack_record(road.MessageType(holder, name), line, captured, False)
    except road.BadRecord:
        return None, True
    return payload, bool(warned)


def native_line(cls, payload):
    out, count, payload_bytes, stop = _stream_codec.unpack_frames(
        cls, varint(len(payload)) + payload, 0, LIMIT)
    assert count in (0, 1) and payload_bytes == (len(payload) if count else 0)
    return out if count else None


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", TYPES)
def test_unpacked_payloads_are_the_roads_lines(schemas, name, data):
    holder, type_name = resolve(schemas, name)
    cls = getattr(holder, type_name)
    if data.draw(st.booleans()):
        wire = cls(**data.draw(message_kwargs(cls.DESCRIPTOR))).SerializePartialToString()
    else:
        wire = data.draw(wire_fields(cls.DESCRIPTOR).flatmap(mutated))
    payload = zlib.compress(wire)
    expected = reference_line(holder, type_name, payload)
    got = native_line(cls, payload)
    event(f"{'carried' if got else 'left'} ({'refused' if expected is None else 'a line'})")
    # The loop carries every payload the road carries, and gives its very line.
    assert got == expected


TEXTS = st.text(max_size=6)
LINE_FORMS = st.sampled_from([
    lambda r: json.dumps(r, default=str),
    lambda r: json.dumps(r, default=str, ensure_ascii=False, separators=(",", ":")),
    lambda r: json.dumps(r, default=str, indent=None, separators=(" , ", " : ")) + " \r",
])
ODD_LINES = st.sampled_from([
    "", " ", "\t\r", "\u00a0", "{", "[]", "null", "1", '"x"', "{}", '{"a":1}', "\ufeff{}",
    '{"RawData":{"ObjectId":1e400}}', '{"ChannelGroup":NaN}', '{"ChannelGroup":1,"ChannelGroup":2}',
    '{"ChannelGroup":18446744073709551616}', '{"ServiceName":"\\ud800"}', '{"ServiceName":null}',
    '{"RawData":"{\\"OrderID\\": 5}"}', '{"RawData":"{bad"}', '{"BrandInfo":{"BrandSettings":{}}}',
    '{"ChannelGroup":-0}', '{"ChannelGroup":-0.0}', '{"ChannelGroup":1.0}', '{"ChannelGroup":true}',
])


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", ["zorva.TopLevelMessage", "hard.Holder", "p3.Repeats",
                                  "p3.Scalars", "p2.Legacy", "p3.Choice"])
def test_packed_lines_are_the_roads_payloads(schemas, name, data):
    holder, type_name = resolve(schemas, name)
    cls = getattr(holder, type_name)
    record = data.draw(hardening.typed_record(cls.DESCRIPTOR))
    try:
        line = data.draw(LINE_FORMS)(record)
    except (TypeError, ValueError):
        line = data.draw(ODD_LINES)
    if data.draw(st.integers(0, 5)) == 0:
        line = data.draw(ODD_LINES)
    raw = line.encode("utf-8", "surrogatepass")
    packed = _stream_codec.pack_lines(cls, raw, 0, False)
    if packed is None:
        # Only for a type with required fields, whose records the road checks.
        assert name == "p2.Legacy"
        return
    out, count, payload_bytes, stop, breaks = packed
    if not line:
        assert (count, stop) == (0, 0)
        return
    event("carried" if count else "left")
    if count == 0:
        assert stop == 0 and out == b""
        return
    expected, warned = reference_payload(holder, type_name, line)
    assert not warned and expected is not None
    assert out == varint(len(expected)) + expected and payload_bytes == len(expected)
    assert stop == len(raw) and breaks == 0


def sample_lines(count):
    for index in range(count):
        record = records.sample_record()
        record["RawData"]["ObjectId"] += index
        record["RawData"]["Description"] = f"Ünïcode ✓ — {index} שלום 😀"
        yield orjson.dumps(record)


def test_a_stream_of_plain_records_goes_all_the_way_in_one_call():
    lines = list(sample_lines(300))
    data = b"\n".join(lines) + b"\n\n"
    cls = zorva_data_pb2.TopLevelMessage
    out, count, payload_bytes, stop, breaks = _stream_codec.pack_lines(cls, data, 0, False)
    assert (count, stop, breaks) == (300, len(data), 301)
    expected = b"".join(varint(len(p)) + p for p in (
        pack_payload.pack_payload(pack_payload.set_message_fields(cls(), orjson.loads(line)))
        for line in lines))
    assert out == expected
    text, count, _, stop = _stream_codec.unpack_frames(cls, out, 0, LIMIT)
    assert (count, stop) == (300, len(out))
    assert text.splitlines() == [orjson.dumps(dict_bridge.protobuf_to_dict(
        pack_payload.set_message_fields(cls(), orjson.loads(line)))) for line in lines]


def test_loops_stop_at_the_first_record_they_leave_to_the_road():
    cls = zorva_data_pb2.TopLevelMessage
    good = b'{"ChannelGroup": 5}'
    data = b"\n".join([good, b"", good, b'{"Bogus": 1}', good])
    out, count, _, stop, breaks = _stream_codec.pack_lines(cls, data, 0, False)
    assert (count, breaks) == (2, 3) and data[stop:].startswith(b'{"Bogus"')
    out, count, _, stop, breaks = _stream_codec.pack_lines(cls, data, stop + 13, False)
    assert (count, stop, breaks) == (1, len(data), 0)
    # With `nulls`, a line that holds the text null is left to the road too.
    assert _stream_codec.pack_lines(cls, b'{"ServiceName": "null"}', 0, True)[1] == 0

    payload = pack_payload.pack_payload(cls(ChannelGroup=5))
    frames = varint(len(payload)) + payload
    bad = zlib.compress(b"\x08\x01\xf8\x01\x07")  # an unknown field 31
    stream = frames + varint(len(bad)) + bad + frames
    out, count, _, stop = _stream_codec.unpack_frames(cls, stream, 0, LIMIT)
    assert (count, stop) == (1, len(frames))
    # A payload beyond the limit, and one that is not a zlib stream, too.
    assert _stream_codec.unpack_frames(cls, frames, 0, 1)[1] == 0
    assert _stream_codec.unpack_frames(cls, varint(3) + b"abc", 0, LIMIT)[1] == 0


STAND_INS = {"function": lambda *args: None, "module": type(zlib)("stand_in")}


@pytest.mark.parametrize("module, name, stand_in, side", [
    (pack_payload, "set_message_fields", "function", "pack"),
    (pack_payload, "pack_payload", "function", "pack"),
    (pack_payload, "zlib", "module", "pack"),
    (pack_payload, "json", "module", "pack"),
    (json, "loads", "function", "pack"),
    (dict_bridge, "protobuf_to_dict", "function", "unpack"),
    (orjson, "dumps", "function", "unpack"),
    (zlib, "decompressobj", "function", "unpack"),
])
def test_loops_stand_aside_while_a_function_the_road_calls_is_replaced(monkeypatch, module, name,
                                                                        stand_in, side):
    cls = zorva_data_pb2.TopLevelMessage
    payload = pack_payload.pack_payload(cls(ChannelGroup=5))
    monkeypatch.setattr(module, name, STAND_INS[stand_in])
    packed = _stream_codec.pack_lines(cls, b"{}", 0, False)
    unpacked = _stream_codec.unpack_frames(cls, varint(len(payload)) + payload, 0, LIMIT)
    assert (packed is None, unpacked is None) == (side == "pack", side == "unpack")


def test_loops_stand_aside_for_a_class_that_is_not_the_runtimes():
    class Plain:
        pass
    assert _stream_codec.pack_lines(Plain, b"{}", 0, False) is None
    assert _stream_codec.unpack_frames(Plain, b"", 0, LIMIT) is None


# ---- whole chunks: the native loops against the records' own roads --------------------------

MODULE_NAMES = {"zorva": "kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2"}
CHUNK_TYPES = ["zorva.TopLevelMessage", "p3.Optionals", "p3.Naming", "p3.Repeats", "hard.Holder",
               "p2.Legacy"]
ROADS = st.fixed_dictionaries({
    "strict": st.booleans(), "skip_bad": st.booleans(),
    "max_record_bytes": st.sampled_from([LIMIT, 40, 200]),
    "warning_limit": st.sampled_from([None, 1, 5]), "stringify": st.booleans()})


def road_for(schemas, name, options):
    holder, type_name = resolve(schemas, name)
    return road.Road(MODULE_NAMES.get(name.split(".")[0], holder.__name__), type_name, **options)


def both_ways(function, *args):
    """What a chunk function gives with the native loops, and without."""
    native = function(*args)
    chunks.native_loops = False
    try:
        return native, function(*args)
    finally:
        chunks.native_loops = True


@st.composite
def json_lines(draw, cls):
    """Lines of a stream: records of the type (some hostile), odd lines, blank
    lines, now and then a line that is not UTF-8."""
    out = []
    for _ in range(draw(st.integers(0, 12))):
        choice = draw(st.integers(0, 9))
        if choice == 0:
            out.append(draw(ODD_LINES).encode("utf-8", "surrogatepass"))
        elif choice == 1:
            out.append(draw(st.sampled_from([b"", b"  ", b'{"ChannelGroup": "\xff"}', b"\xc3("])))
        else:
            record = draw(hardening.typed_record(cls.DESCRIPTOR))
            try:
                out.append(draw(LINE_FORMS)(record).encode("utf-8", "surrogatepass"))
            except (TypeError, ValueError):
                out.append(b"{}")
    return b"\n".join(out) + draw(st.sampled_from([b"", b"\n"]))


@st.composite
def frames(draw, cls):
    """A stream of frames: payloads of messages of the type, of random and
    damaged wire bytes, of broken zlib streams."""
    payloads = []
    for _ in range(draw(st.integers(0, 10))):
        choice = draw(st.integers(0, 9))
        if choice < 5:
            wire = cls(**draw(message_kwargs(cls.DESCRIPTOR))).SerializePartialToString()
        else:
            wire = draw(wire_fields(cls.DESCRIPTOR).flatmap(mutated))
        payload = zlib.compress(wire)
        if choice == 9:
            payload = draw(mutated(payload))
        payloads.append(payload)
    return b"".join(varint(len(p)) + p for p in payloads)


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("command", ["pack", "unpack"])
@pytest.mark.parametrize("name", CHUNK_TYPES)
def test_chunks_are_the_roads_chunks(schemas, name, command, data):
    holder, type_name = resolve(schemas, name)
    cls = getattr(holder, type_name)
    chunk_road = road_for(schemas, name, data.draw(ROADS))
    if command == "pack":
        native, reference = both_ways(chunks.pack_chunk, chunk_road, data.draw(json_lines(cls)))
    else:
        native, reference = both_ways(chunks.unpack_chunk, chunk_road, data.draw(frames(cls)), 7, 1000)
    assert native == reference


def test_a_message_that_lacks_required_fields_is_a_bad_record_named_as_the_runtime_names_it(schemas):
    legacy = schemas["p2"].Legacy
    message = legacy(inner=legacy(), more=[legacy(ident=1), legacy()], by_name={'a"b': legacy()})
    with pytest.raises(EncodeError) as raised:
        message.SerializeToString()
    assert road.required_reason(message) == f"EncodeError: {raised.value}"
    # A map of scalars before another message that lacks a field: the runtime's
    # own collection of the paths crashes there. In a child, so a crash fails
    # this test alone.
    out = check_python(f"""
        import io, sys, zlib
        sys.path.insert(0, {os.path.dirname(schemas["p2"].__file__)!r})
        import json_mapping_proto2_pb2 as schema
        from kestrune_protocol_buffer_python.commands import records
        Legacy = schema.Legacy
        message = Legacy(more=[Legacy(switches={{0: 0}}), Legacy()])
        payload = zlib.compress(message.SerializePartialToString())
        found = records.MessageType(schema, "Legacy")
        line = '{{"more": [{{}}, {{}}]}}'
        for attempt in (lambda: records.unpack_record(found, payload, 1 << 20),
                        lambda: records.pack_record(found, line, io.StringIO(), False)):
            try:
                attempt()
            except records.BadRecord as bad:
                print(bad.reason)
        """)
    assert out.splitlines() == [
        "EncodeError: Message kestrune_tests.json_mapping2.Legacy is missing required fields: "
        "ident,more[0].ident,more[1].ident"] * 2
