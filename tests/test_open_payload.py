"""Payloads back into messages, and the whole road from record to message."""
import gc
import sys
import types
import zlib

import pytest
from google.protobuf.message import DecodeError
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import records
from records import DEPACK_NAME, OPEN_FILE, entries
from kestrune_protocol_buffer_python import open_payload, pack_payload
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2
from conftest import examples

TopLevelMessage = zorva_data_pb2.TopLevelMessage
depack = open_payload.depack_payload


@pytest.fixture()
def sample_message():
    return pack_payload.set_message_fields(TopLevelMessage(), records.sample_record())


def at(*lines):
    return [(DEPACK_NAME, OPEN_FILE, line) for line in lines]


# ---- round trips -------------------------------------------------------------------------


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview], ids=lambda w: w.__name__)
def test_sample_record_round_trip(sample_message, wrap, capsys):
    payload = pack_payload.pack_payload(sample_message)
    message = depack(zorva_data_pb2, "TopLevelMessage", wrap(payload))
    assert type(message) is TopLevelMessage
    assert message == sample_message
    records.assert_matches(message, records.sample_record())
    assert capsys.readouterr().out == ""


def test_each_call_makes_a_new_message(sample_message):
    payload = pack_payload.pack_payload(sample_message)
    first = depack(zorva_data_pb2, "TopLevelMessage", payload)
    second = depack(zorva_data_pb2, "TopLevelMessage", payload)
    assert first is not second and first == second
    first.ChannelGroup = 1
    assert second.ChannelGroup == 36


def test_empty_stream_gives_an_empty_message():
    message = depack(zorva_data_pb2, "TopLevelMessage", b"x\x9c\x03\x00\x00\x00\x00\x01")
    assert message == TopLevelMessage()


def test_any_owner_of_the_type_name_will_do(sample_message):
    payload = pack_payload.pack_payload(sample_message.RawData)
    raw = depack(TopLevelMessage, "RawdataMessage", payload)
    assert raw == sample_message.RawData
    owner = types.SimpleNamespace(Record=TopLevelMessage)
    assert depack(owner, "Record", pack_payload.pack_payload(sample_message)) == sample_message


def test_repeated_fields_round_trip(road):
    basket = pack_payload.set_message_fields(road.Basket(), {
        "Numbers": [5, -1, 2**31 - 1],
        "Tags": ["", "é", "x" * 1000],
        "Entries": [{"Label": "a", "Inner": {"Count": 2}}, '{"Count": 3}', {}],
        "BigNumbers": [2**63 - 1],
        "Total": -(2**63),
    })
    again = depack(road, "Basket", pack_payload.pack_payload(basket))
    assert again == basket
    assert len(again.Entries) == 3
    assert again.Entries[0].Inner.Count == 2


@settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(record=records.RECORDS, wrap=st.sampled_from([bytes, bytearray, memoryview]))
def test_any_record_round_trips(record, wrap):
    filled = pack_payload.set_message_fields(TopLevelMessage(), record)
    payload = pack_payload.pack_payload(filled)
    message = depack(zorva_data_pb2, "TopLevelMessage", wrap(payload))
    assert message == filled
    records.assert_matches(message, record)
    assert pack_payload.pack_payload(message) == payload


# ---- bad payloads -------------------------------------------------------------------------


def corrupt(payload):
    data = bytearray(payload)
    data[len(data) // 2] ^= 0xFF
    return bytes(data)


SAMPLE_PAYLOAD = pack_payload.pack_payload(
    pack_payload.set_message_fields(TopLevelMessage(), records.sample_record()))


@pytest.mark.parametrize(
    "payload",
    [
        b"",
        SAMPLE_PAYLOAD[:-1],
        SAMPLE_PAYLOAD[:2],
        SAMPLE_PAYLOAD[: len(SAMPLE_PAYLOAD) // 2],
        corrupt(SAMPLE_PAYLOAD),
        SAMPLE_PAYLOAD[:-4] + b"\x00\x00\x00\x00",
        zlib.decompress(SAMPLE_PAYLOAD),
        bytearray(b"not a payload"),
        memoryview(b"\x00" * 10),
    ],
    ids=["empty", "minus-one", "header-only", "half", "flipped", "bad-checksum", "wire-bytes",
         "bytearray", "memoryview"],
)
def test_bad_streams_raise_zlib_error(payload):
    with pytest.raises(zlib.error) as excinfo:
        depack(zorva_data_pb2, "TopLevelMessage", payload)
    assert entries(excinfo) == at(18)


@pytest.mark.parametrize(
    "payload", ["x\x9c\x03\x00", 12, None, 1.5, [120, 156]], ids=["str", "int", "None", "float", "list"])
def test_payload_must_be_bytes_like(payload):
    with pytest.raises(TypeError) as excinfo:
        depack(zorva_data_pb2, "TopLevelMessage", payload)
    assert entries(excinfo) == at(18)


@pytest.mark.parametrize(
    "wire",
    [b"\x0a\x05ab", b"\x0a", b"\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", b"\x00", b"\x0f"],
    ids=["short-length", "missing-length", "overlong-varint", "field-zero", "bad-wire-type"],
)
def test_invalid_encoding_raises_decode_error(wire):
    with pytest.raises(DecodeError) as excinfo:
        depack(zorva_data_pb2, "TopLevelMessage", zlib.compress(wire))
    assert entries(excinfo) == at(18)


@pytest.mark.parametrize(
    "payload", [SAMPLE_PAYLOAD, b"", corrupt(SAMPLE_PAYLOAD), "not bytes"],
    ids=["good", "empty", "corrupt", "str"])
@pytest.mark.parametrize(
    "owner, type_name, error",
    [
        (zorva_data_pb2, "NoSuchMessage", AttributeError),
        (zorva_data_pb2, "topLevelMessage", AttributeError),
        (zorva_data_pb2, 5, TypeError),
        (None, "TopLevelMessage", AttributeError),
    ],
    ids=["missing", "wrong-case", "not-text", "no-owner"],
)
def test_type_is_resolved_before_the_payload_is_read(owner, type_name, error, payload):
    with pytest.raises(error) as excinfo:
        depack(owner, type_name, payload)
    assert entries(excinfo)[0] == (DEPACK_NAME, OPEN_FILE, 17)


def test_message_is_made_through_the_module_attribute(monkeypatch, sample_message):
    made = []

    def create_message(owner, type_name):
        made.append((owner, type_name))
        made.append(TopLevelMessage(ServiceName="preset"))
        return made[-1]

    monkeypatch.setattr(open_payload, "create_message", create_message)
    payload = pack_payload.pack_payload(TopLevelMessage(ChannelGroup=4))
    message = depack("owner", "Name", payload)
    assert made[0] == ("owner", "Name")
    assert message is made[1]
    # ParseFromString replaces what the message held.
    assert (message.ChannelGroup, message.ServiceName) == (4, "")


def test_a_failing_factory_stops_before_the_payload(monkeypatch):
    def create_message(owner, type_name):
        raise LookupError("no factory")

    monkeypatch.setattr(open_payload, "create_message", create_message)
    with pytest.raises(LookupError) as excinfo:
        depack(zorva_data_pb2, "TopLevelMessage", b"")
    assert entries(excinfo) == at(17)


# ---- argument binding and documentation ----------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "takes exactly 3 positional arguments (0 given)"),
        ((zorva_data_pb2, "TopLevelMessage"), {}, "takes exactly 3 positional arguments (2 given)"),
        ((1, 2, 3, 4), {}, "takes exactly 3 positional arguments (4 given)"),
        ((1, 2), {"data": b""}, "takes exactly 3 positional arguments (2 given)"),
        ((1, 2, 3), {"payload": b""}, "got an unexpected keyword argument 'payload'"),
        ((1,), {"message_type": 2, "binary_data": 3, "proto_module": 1},
         "got multiple values for keyword argument 'proto_module'"),
    ],
)
def test_argument_binding_errors(args, kwargs, text):
    with pytest.raises(TypeError) as excinfo:
        depack(*args, **kwargs)
    assert str(excinfo.value) == f"depack_payload() {text}"
    assert entries(excinfo) == at(15)


def test_keywords_bind_by_name(sample_message):
    payload = pack_payload.pack_payload(sample_message)
    by_name = depack(binary_data=payload, message_type="TopLevelMessage", proto_module=zorva_data_pb2)
    mixed = depack(zorva_data_pb2, "TopLevelMessage", binary_data=payload)
    assert by_name == mixed == sample_message


def test_docstring():
    assert depack.__doc__ == "Deserialize a compressed binary string to a Protobuf message."


# ---- memory ------------------------------------------------------------------------------------


@pytest.mark.measures_memory
def test_the_road_does_not_grow_memory():
    def road_trip():
        message = pack_payload.set_message_fields(TopLevelMessage(), records.sample_record())
        payload = pack_payload.pack_payload(message)
        again = depack(zorva_data_pb2, "TopLevelMessage", bytearray(payload))
        return again.ChannelType

    def failing_trips():
        for call in (
            lambda: pack_payload.set_message_fields(TopLevelMessage(), {"RawData": "{bad"}),
            lambda: pack_payload.set_message_fields(TopLevelMessage(), {"DESCRIPTOR": 1}),
            lambda: pack_payload.set_message_fields(TopLevelMessage(), None),
            lambda: pack_payload.pack_payload({}),
            lambda: depack(zorva_data_pb2, "TopLevelMessage", b"\x00"),
            lambda: depack(zorva_data_pb2, "Nope", b""),
            lambda: depack(zorva_data_pb2),
        ):
            try:
                call()
            except Exception:
                pass

    def measure(times):
        gc.collect()
        blocks, objects = sys.getallocatedblocks(), len(gc.get_objects())
        for i in range(times):
            road_trip()
            if i % 10 == 0:
                failing_trips()
        gc.collect()
        return sys.getallocatedblocks() - blocks, len(gc.get_objects()) - objects

    measure(2_000)  # warm caches first
    blocks, objects = measure(20_000)
    # A leak of one object per trip would show as at least 20,000 blocks.
    assert blocks < 2_000, blocks
    assert objects < 200, objects
