"""Records made ready for the fill: keys to fields by JSON name, nulls, --stringify."""
import pytest

import varied
from kestrune_protocol_buffer_python.commands import inference, records
from kestrune_protocol_buffer_python.commands.proto_text import ROOT, Report, build_message, schema_text
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

SAMPLE = [{"user-name": "x", "a_b": 1, "n": 1, "ids": ["a"], "id": 1,
           "events": [{"2fa": True, "at": 1.5}], "geo": {"lat": 1.5}}]


@pytest.fixture(scope="module")
def inferred(tmp_path_factory):
    """The class of the schema inferred from SAMPLE."""
    shape = inference.Shape()
    inference.observe(shape, SAMPLE)
    text = schema_text("keys", build_message(ROOT, shape, "", Report())).encode()
    fileset = varied.compile_texts(tmp_path_factory.mktemp("keys"), {"keys.proto": text})
    return varied.message_class(fileset, f"keys.{ROOT}")


def pack_and_unpack(found, line):
    payload, warned = varied.pack(found, line)
    return varied.unpack(found, payload), list(warned)


@pytest.mark.parametrize("line, stringify, back, warned", [
    # Keys that are no field names reach their fields at every depth, and come back.
    ('{"user-name": "é", "events": [{"2fa": false, "at": 2}], "a_b": 7}', False,
     {"user-name": "é", "events": [{"2fa": False, "at": 2.0}], "a_b": "7"}, []),
    # A null leaves the field unset, whatever its type; a null for no field still warns.
    ('{"n": null, "geo": null, "ids": null, "user-name": null, "nope": null}', False, {},
     ["Warning: nope is not a valid field of TopLevelMessage"]),
    ('{"geo": {"lat": null}, "events": [{"at": null}]}', False, {"events": [{}]}, []),
    # Zeros, empty texts and false are kept: scalars are optional.
    ('{"n": 0, "user-name": "", "events": [{"2fa": false}]}', False,
     {"n": "0", "user-name": "", "events": [{"2fa": False}]}, []),
    # --stringify keeps values of other kinds for text fields as their JSON text,
    # integers beyond 64 bits with every digit.
    ('{"user-name": 123456789012345678901234, "ids": [1, null, {"a": [true]}]}', True,
     {"user-name": "123456789012345678901234", "ids": ["1", "null", '{"a":[true]}']}, []),
    ('{"user-name": {"x": -98765432109876543210.0}}', True, {"user-name": '{"x":-9.876543210987654e+19}'}, []),
])
def test_keys_nulls_and_text(inferred, line, stringify, back, warned):
    assert pack_and_unpack(varied.road_type(inferred, stringify), line) == (back, warned)


@pytest.mark.parametrize("line, reason", [
    ('{"user-name": "x", "user_name": "y"}', "ValueError: keys 'user-name' and 'user_name' both fill field "
                                              "user_name"),
    # Without --stringify a value of another kind is refused, never dropped.
    ('{"user-name": 5}', "TypeError"),
])
def test_records_refused(inferred, line, reason):
    with pytest.raises(records.BadRecord) as bad:
        pack_and_unpack(varied.road_type(inferred, False), line)
    assert bad.value.reason.startswith(reason)


def test_the_shipped_schema_goes_to_the_fill_as_it_is():
    # No optional scalars, no JSON names of their own: nothing to do, at no cost.
    assert varied.keys.adaptation(zorva_data_pb2.TopLevelMessage, False)[0] is None
