"""Differential checks of dict_bridge's native JSON mapping against the
runtime's json_format, and the random messages and dictionaries they run on:
the same dict for a message, the same message (byte for byte) or the same
exception for a dict, and the runtime's own call wherever the native mapping
does not answer."""
import base64
import contextlib
import datetime
import types

import pytest
from google.protobuf import json_format
from google.protobuf.descriptor import FieldDescriptor as FD
from google.protobuf.internal import encoder
from hypothesis import strategies as st

from kestrune_protocol_buffer_python import dict_bridge

POPULATE = "Failed to populate protobuf message from dict: "


@contextlib.contextmanager
def runtime_calls():
    """Counts the messages that json_format's printer and parser convert meanwhile."""
    calls = types.SimpleNamespace(to_dict=0, from_dict=0)
    printer, parser = json_format._Printer._MessageToJsonObject, json_format._Parser.ConvertMessage

    def count_print(self, message):
        calls.to_dict += 1
        return printer(self, message)

    def count_parse(self, value, message, path):
        calls.from_dict += 1
        return parser(self, value, message, path)

    json_format._Printer._MessageToJsonObject = count_print
    json_format._Parser.ConvertMessage = count_parse
    try:
        yield calls
    finally:
        json_format._Printer._MessageToJsonObject = printer
        json_format._Parser.ConvertMessage = parser


def assert_identical(actual, expected):
    """Equal, with the same types and key order at every level; NaN equals NaN."""
    assert type(actual) is type(expected), (actual, expected)
    if isinstance(expected, dict):
        assert list(actual) == list(expected)
        for key in expected:
            assert_identical(actual[key], expected[key])
    elif isinstance(expected, list):
        assert len(actual) == len(expected)
        for item, wanted in zip(actual, expected):
            assert_identical(item, wanted)
    elif isinstance(expected, float):
        assert repr(actual) == repr(expected)
    else:
        assert actual == expected


def assert_same_dict(message, native):
    """protobuf_to_dict(message) is MessageToDict(message), or raises its error;
    native or not as said (either, for None). The runtime's errors are its own:
    a message it refuses always takes its path. Returns how many messages the
    runtime's printer converted for a message it takes, else None."""
    try:
        expected = json_format.MessageToDict(message)
    except Exception as exc:
        with pytest.raises(type(exc)) as info:
            dict_bridge.protobuf_to_dict(message)
        assert str(info.value) == str(exc)
        return None
    with runtime_calls() as calls:
        actual = dict_bridge.protobuf_to_dict(message)
    assert_identical(actual, expected)
    assert native is None or (calls.to_dict == 0) == native
    return calls.to_dict


def assert_same_parse(cls, data):
    """populate_protobuf_from_dict(cls, data) makes ParseDict's message or raises its error.
    Returns how many messages the runtime's parser converted for a dict it accepts, else None."""
    try:
        expected = json_format.ParseDict(data, cls())
    except Exception as exc:
        with runtime_calls() as calls, pytest.raises(Exception) as info:
            dict_bridge.populate_protobuf_from_dict(cls, data)
        raised = info.value
        if isinstance(exc, json_format.ParseError):
            assert type(raised) is ValueError and str(raised) == POPULATE + str(exc)
            raised = raised.__context__
        assert type(raised) is type(exc) and str(raised) == str(exc)
        return None
    with runtime_calls() as calls:
        message = dict_bridge.populate_protobuf_from_dict(cls, data)
    assert type(message) is cls
    # Byte for byte: NaN payloads and the order of map entries included.
    assert message.SerializePartialToString() == expected.SerializePartialToString()
    return calls.from_dict


def assert_same_both_ways(message, native):
    """assert_same_dict for the message; then, where MessageToDict writes a dict
    (it refuses a time out of range, a path it cannot spell, an unknown Any
    type), assert_same_parse of that dict. Returns what assert_same_parse did."""
    assert_same_dict(message, native=native)
    try:
        record = json_format.MessageToDict(message)
    except Exception:
        return None
    return assert_same_parse(type(message), record)


# ---- random messages, as the constructor takes them ---------------------------------------

TEXT = st.text(st.characters(exclude_categories=("Cs",)), max_size=8)
INT_RANGES = {
    FD.TYPE_INT32: 32, FD.TYPE_SINT32: 32, FD.TYPE_SFIXED32: 32,
    FD.TYPE_INT64: 64, FD.TYPE_SINT64: 64, FD.TYPE_SFIXED64: 64,
    FD.TYPE_UINT32: -32, FD.TYPE_FIXED32: -32, FD.TYPE_UINT64: -64, FD.TYPE_FIXED64: -64,
}


def int_range(field_type):
    bits = INT_RANGES[field_type]
    return (0, 2 ** -bits - 1) if bits < 0 else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)


def is_map(field):
    return field.type == FD.TYPE_MESSAGE and field.message_type.GetOptions().map_entry


def element_values(field, depth):
    if field.type == FD.TYPE_MESSAGE and field.message_type.full_name in WELL_KNOWN_VALUES:
        return WELL_KNOWN_VALUES[field.message_type.full_name]
    if field.type in INT_RANGES:
        return st.integers(*int_range(field.type))
    if field.type in (FD.TYPE_DOUBLE, FD.TYPE_FLOAT):
        return st.floats()
    if field.type == FD.TYPE_BOOL:
        return st.booleans()
    if field.type == FD.TYPE_STRING:
        return TEXT
    if field.type == FD.TYPE_BYTES:
        return st.binary(max_size=10)
    if field.type == FD.TYPE_ENUM:
        known = st.sampled_from([v.number for v in field.enum_type.values])
        return known if field.enum_type.is_closed else known | st.integers(*int_range(FD.TYPE_INT32))
    return message_kwargs(field.message_type, depth - 1)


def message_kwargs(descriptor, depth=2):
    fields = {}
    for field in descriptor.fields:
        if is_map(field):
            key, value = (field.message_type.fields_by_name[n] for n in ("key", "value"))
            if value.type != FD.TYPE_MESSAGE or depth > 0:
                fields[field.name] = st.dictionaries(element_values(key, depth),
                                                     element_values(value, depth), max_size=3)
        elif field.type == FD.TYPE_MESSAGE and depth <= 0:
            continue
        elif field.is_repeated:
            fields[field.name] = st.lists(element_values(field, depth), max_size=3)
        else:
            fields[field.name] = element_values(field, depth)
    return st.fixed_dictionaries({}, optional=fields)


# ---- random dictionaries, the runtime's forms and looser ones -----------------------------

JUNK = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), TEXT,
    st.binary(max_size=4), st.lists(st.integers(), max_size=2), st.tuples(),
    st.dictionaries(TEXT, st.integers(), max_size=2),
    st.text(st.characters(categories=["Cs"]), min_size=1, max_size=2),
)
INT_TEXTS = st.sampled_from(["1e3", "1.0", "1.5", " 5", "\t7", "0x10", "1_0", "-0", "+0", "٣", ""])
FLOAT_TEXTS = st.sampled_from(["NaN", "Infinity", "-Infinity", "nan", "inf", "-nan", "1e400",
                               "3.4028235e38", "3.4028236e38", "-1e39", " 1.5", "1_0.5", ".5",
                               "5.", "1e", "+.5e-3", "0x1p3"])
BASE64 = st.tuples(st.binary(max_size=8), st.sampled_from([
    base64.b64encode, base64.urlsafe_b64encode,
    lambda b: base64.b64encode(b).rstrip(b"="), lambda b: base64.urlsafe_b64encode(b).rstrip(b"="),
])).map(lambda pair: pair[1](pair[0]))


def json_element(field, depth, clean):
    """Forms ParseDict accepts for one element of `field`; unless `clean`, looser
    forms and values out of range too."""
    kind = field.type
    if kind == FD.TYPE_MESSAGE and is_well_known(field.message_type):
        return well_known_json(field.message_type, depth, clean)
    if kind in INT_RANGES:
        low, high = int_range(kind)
        valid = st.integers(low, high)
        certain = [valid, valid.map(str), valid.map("{:+d}".format),
                   st.integers(max(low, -(2**53)), min(high, 2**53)).map(float)]
        loose = [st.integers(low - 2, high + 2).map(str), st.integers(low - 2, high + 2), INT_TEXTS]
    elif kind in (FD.TYPE_DOUBLE, FD.TYPE_FLOAT):
        finite = st.floats(allow_nan=False, allow_infinity=False, width=32 if kind == FD.TYPE_FLOAT else 64)
        certain = [finite, finite.map(repr), finite.map("{:e}".format),
                   st.sampled_from(["NaN", "Infinity", "-Infinity"]), st.integers(-(2**53), 2**53)]
        loose = [st.floats(), FLOAT_TEXTS, st.integers(-(2**70), 2**70), st.booleans()]
    elif kind == FD.TYPE_BOOL:
        certain, loose = [st.booleans()], [st.sampled_from(["true", 1, 0])]
    elif kind == FD.TYPE_STRING:
        certain, loose = [TEXT], [st.text(st.characters(categories=["Cs"]), min_size=1, max_size=2)]
    elif kind == FD.TYPE_BYTES:
        certain, loose = [BASE64, BASE64.map(bytes.decode)], [st.text("AQg+/-_= .", max_size=9)]
    elif kind == FD.TYPE_ENUM:
        values = field.enum_type.values
        certain = [st.sampled_from([v.name for v in values]), st.sampled_from([v.number for v in values])]
        if not field.enum_type.is_closed:
            certain.append(st.integers(-(2**31), 2**31 - 1))
        loose = [st.integers(-(2**31) - 1, 2**31), st.sampled_from(["1", "NOPE", 1.0, True])]
    elif depth <= 0:
        certain, loose = [st.just({})], [st.sampled_from([[], ""])]
    else:
        certain, loose = [json_dicts(field.message_type, depth - 1, clean)], []
    return st.one_of(*certain) if clean else st.one_of(*certain, *loose)


def json_map_key(field, clean):
    if field.type == FD.TYPE_STRING:
        return TEXT if clean else st.one_of(TEXT, st.integers(0, 3))
    if field.type == FD.TYPE_BOOL:
        return st.sampled_from(["true", "false"] if clean else ["true", "false", True, "True"])
    low, high = int_range(field.type)
    valid = st.one_of(st.integers(low, high).map(str), st.integers(low, high))
    return valid if clean else st.one_of(valid, st.integers(-3, 3).map("{:03d}".format),
                                         st.sampled_from([1.0, " 1", "2e0", low - 1]))


def json_field(field, depth, clean):
    if is_map(field):
        key, value = (field.message_type.fields_by_name[n] for n in ("key", "value"))
        values = st.dictionaries(json_map_key(key, clean), json_element(value, depth, clean),
                                 max_size=3)
    elif field.is_repeated:
        item = json_element(field, depth, clean)
        items = st.lists(item if clean else st.one_of(item, item, JUNK), max_size=3)
        values = st.one_of(items, items.map(tuple))
    else:
        values = json_element(field, depth, clean)
    return values if clean else st.one_of(values, values, values, JUNK)


def json_dicts(descriptor, depth=2, clean=None):
    """Dicts for ParseDict: each field under its name, its JSON name or both; clean
    ones (forms ParseDict accepts) or, as often, mutated ones with looser forms,
    other types and now and then a key that is no field."""
    if clean is None:
        return st.booleans().flatmap(lambda clean: json_dicts(descriptor, depth, clean))
    entries = {}
    for field in descriptor.fields:
        if field.type != FD.TYPE_GROUP:
            entries[field.json_name] = json_field(field, depth, clean)
            if not clean and field.name != field.json_name:
                entries[field.name] = json_field(field, depth, clean)
    fields = st.fixed_dictionaries({}, optional=entries)
    if clean:
        return fields
    unknown = st.dictionaries(st.sampled_from(["bogus", "[ext.name]"]), JUNK, max_size=1)
    return st.tuples(fields, unknown, st.integers(0, 9)).map(
        lambda parts: {**parts[0], **parts[1]} if parts[2] == 0 else parts[0])




# ---- wire bytes the runtime parses: unknown fields and odd entries at every level -------------

varint = encoder._VarintBytes


def tagged(number, wire_type, body=b""):
    """A field's tag, then its value; a length-delimited body gets its length first."""
    return varint(number << 3 | wire_type) + (varint(len(body)) + body if wire_type == 2 else body)


WIRE_TYPES = {FD.TYPE_DOUBLE: 1, FD.TYPE_FIXED64: 1, FD.TYPE_SFIXED64: 1, FD.TYPE_FLOAT: 5,
              FD.TYPE_FIXED32: 5, FD.TYPE_SFIXED32: 5, FD.TYPE_STRING: 2, FD.TYPE_BYTES: 2,
              FD.TYPE_MESSAGE: 2}


@st.composite
def wire_value(draw, wire_type, depth):
    """The body of one value of `wire_type`: any bytes that parse as it."""
    if wire_type == 0:
        return varint(draw(st.one_of(st.integers(0, 3), st.integers(0, 2**64 - 1))))
    if wire_type in (1, 5):
        return draw(st.binary(min_size=8 if wire_type == 1 else 4, max_size=8 if wire_type == 1 else 4))
    if wire_type == 3:
        return b""  # an empty group; its end tag follows
    return draw(st.one_of(st.binary(max_size=6), st.text(max_size=4).map(str.encode),
                          st.just(b"") if depth <= 0 else any_fields(depth - 1)))


@st.composite
def any_fields(draw, depth):
    """Fields of numbers 1 to 20 and of any wire type, nested messages in them."""
    out = b""
    for _ in range(draw(st.integers(0, 3))):
        number = draw(st.integers(1, 20))
        wire_type = draw(st.sampled_from([0, 1, 2, 3, 5]))
        out += tagged(number, wire_type, draw(wire_value(wire_type, depth)))
        if wire_type == 3:
            out += varint(number << 3 | 4)
    return out


@st.composite
def wire_fields(draw, descriptor, depth=2):
    """Wire bytes for a message of `descriptor`: its fields in their own wire types
    (repeated numbers packed too, map entries with a key, a value, both or neither,
    and now and then something else in them) between unknown fields and fields of
    the wrong wire type."""
    out = b""
    fields = list(descriptor.fields)
    for _ in range(draw(st.integers(0, 6))):
        choice = draw(st.integers(0, 9))
        if not fields or choice == 0:
            out += draw(any_fields(min(depth, 1)))
            continue
        field = draw(st.sampled_from(fields))
        if field.type == FD.TYPE_GROUP:
            continue
        wire_type = WIRE_TYPES.get(field.type, 0)
        if choice == 1:
            wire_type = draw(st.sampled_from([0, 1, 2, 5]))
        if field.type == FD.TYPE_MESSAGE and wire_type == 2 and is_map(field):
            key, value = (field.message_type.fields_by_name[n] for n in ("key", "value"))
            body = b""
            for part in draw(st.lists(st.sampled_from([key, value, None]), max_size=3)):
                if part is None:
                    body += draw(any_fields(0))
                else:
                    part_type = WIRE_TYPES.get(part.type, 0)
                    if part.type == FD.TYPE_MESSAGE:
                        inner = b"" if depth <= 0 else draw(wire_fields(part.message_type, depth - 1))
                        body += tagged(part.number, 2, inner)
                    else:
                        body += tagged(part.number, part_type, draw(wire_value(part_type, 0)))
            out += tagged(field.number, 2, body)
        elif field.type == FD.TYPE_MESSAGE and wire_type == 2:
            inner = b"" if depth <= 0 else draw(wire_fields(field.message_type, depth - 1))
            out += tagged(field.number, 2, inner)
        elif field.is_repeated and wire_type != 2 and choice == 2:
            packed = b"".join(draw(wire_value(wire_type, 0)) for _ in range(draw(st.integers(0, 3))))
            out += tagged(field.number, 2, packed)
        else:
            out += tagged(field.number, wire_type, draw(wire_value(wire_type, depth)))
    return out


@st.composite
def mutated(draw, data):
    """`data` with a byte changed, inserted or removed, now and then."""
    data = bytearray(data)
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(data)))
        byte = draw(st.integers(0, 255))
        how = draw(st.sampled_from(["set", "insert", "delete"]))
        if how == "insert" or at == len(data):
            data.insert(at, byte)
        elif how == "set":
            data[at] = byte
        else:
            del data[at]
    return bytes(data)



# ---- the well-known types -----------------------------------------------------------------

WRAPPERS_FILE = "google/protobuf/wrappers.proto"
JSON_SCALAR = st.none() | st.booleans() | st.integers(-(2**60), 2**60) | st.floats() | TEXT
JSON_VALUE = st.recursive(JSON_SCALAR, lambda inner: st.lists(inner, max_size=3)
                          | st.dictionaries(TEXT, inner, max_size=3), max_leaves=8)


def is_well_known(descriptor):
    return descriptor.full_name in WELL_KNOWN_FORMS or descriptor.file.name == WRAPPERS_FILE


def timestamp_text(moment, fraction, zone):
    return f"{moment.year:04d}-{moment:%m-%dT%H:%M:%S}{fraction}{zone}"


# Timestamp texts: RFC 3339 with any number of fractional digits and offsets,
# and the near misses json_format refuses or reads leniently.
TIMESTAMPS = st.builds(
    timestamp_text,
    st.datetimes(datetime.datetime(1, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59)),
    st.sampled_from(["", ".1", ".123", ".120", ".123456", ".123456789", ".1234567891", "."]),
    st.sampled_from(["Z", "+00:00", "-05:30", "+14:00", "-23:59", "z", "+0530", "", "+5:30"]),
) | st.sampled_from(["1970-01-01 00:00:00Z", "1970-01-01t00:00:00Z", "2024-02-30T00:00:00Z",
                     "0000-01-01T00:00:00Z", "1970-1-1T00:00:00Z", "1970-01-01T24:00:00Z",
                     "1970-01-01T23:59:60Z", "10000-01-01T00:00:00Z", "0001-01-01T00:00:00+01:00"])
DURATIONS = st.builds(
    lambda sign, seconds, fraction: f"{sign}{seconds}{fraction}s",
    st.sampled_from(["", "-", "+"]), st.integers(0, 315576000001),
    st.sampled_from(["", ".5", ".000000001", ".999999999", ".1234567891", ".", "e3"]),
) | st.sampled_from(["1", "s", "-s", " 1s", "1.5 s", "0x10s", "-.5s", "1_0s"])
FIELD_MASKS = st.lists(st.from_regex(r"[a-z][a-zA-Z0-9]{0,5}(\.[a-z][a-zA-Z0-9]{0,5})?",
                                     fullmatch=True), max_size=3).map(",".join) | st.sampled_from(
    ["", "a_b", "fooBar,", ",", "A", "\u00e9t\u00e9", "\u00c9t\u00e9", "a,,b"])
ANY_TYPES = ["google.protobuf.Timestamp", "google.protobuf.Struct", "google.protobuf.Int32Value",
             "google.protobuf.Value", "google.protobuf.Any", "google.protobuf.Empty",
             "kestrune_tests.json_mapping_wkt.Stamped", "kestrune_tests.json_mapping3.Scalars",
             "no.such.Type"]


def any_json(depth, clean):
    contents = {
        "google.protobuf.Timestamp": st.fixed_dictionaries({"value": TIMESTAMPS}),
        "google.protobuf.Struct": st.fixed_dictionaries(
            {"value": st.dictionaries(TEXT, JSON_VALUE, max_size=2)}),
        "google.protobuf.Int32Value": st.fixed_dictionaries({"value": st.integers(-5, 5) | TEXT}),
        "google.protobuf.Value": st.fixed_dictionaries({"value": JSON_VALUE}),
        "google.protobuf.Empty": st.just({}),
        "kestrune_tests.json_mapping_wkt.Stamped": st.fixed_dictionaries(
            {}, optional={"at": TIMESTAMPS, "name": TEXT}),
        "kestrune_tests.json_mapping3.Scalars": st.fixed_dictionaries(
            {}, optional={"fInt64": st.integers(-5, 5).map(str), "fString": TEXT, "fBool": st.booleans()}),
    }
    nested = {"google.protobuf.Any": (st.just({}) if depth <= 0 else st.fixed_dictionaries(
        {"value": st.deferred(lambda: any_json(depth - 1, clean))}))}
    typed = st.sampled_from(ANY_TYPES).flatmap(lambda name: st.tuples(
        st.sampled_from(["type.googleapis.com/", "x/y/", ""]).map(lambda prefix: prefix + name),
        {**contents, **nested}.get(name, st.just({})))).map(lambda pair: {"@type": pair[0], **pair[1]})
    return typed if clean else typed | st.just({}) | st.dictionaries(st.just("value"), TEXT, max_size=1)


def well_known_json(descriptor, depth, clean):
    """JSON forms of a well-known type: what json_format writes for it, and
    (unless `clean`) near misses and values of other kinds."""
    name = descriptor.full_name
    if descriptor.file.name == WRAPPERS_FILE:
        forms = json_element(descriptor.fields_by_name["value"], depth, clean)
    elif name == "google.protobuf.Any":
        forms = any_json(depth, clean)
    else:
        forms = WELL_KNOWN_FORMS[name]
    return forms if clean else forms | JUNK


WELL_KNOWN_FORMS = {
    "google.protobuf.Timestamp": TIMESTAMPS,
    "google.protobuf.Duration": DURATIONS,
    "google.protobuf.FieldMask": FIELD_MASKS,
    "google.protobuf.Struct": st.dictionaries(TEXT, JSON_VALUE, max_size=3),
    "google.protobuf.ListValue": st.lists(JSON_VALUE, max_size=3),
    "google.protobuf.Value": JSON_VALUE,
    "google.protobuf.Any": st.nothing(),  # any_json
}

# Values of the well-known types as message constructors take them.
WELL_KNOWN_VALUES = {
    "google.protobuf.Timestamp": st.fixed_dictionaries({}, optional={
        "seconds": st.integers(-62135596801, 253402300800) | st.integers(-5, 5),
        "nanos": st.integers(-1, 10**9) | st.sampled_from([0, 1000, 10**6, 123456789])}),
    "google.protobuf.Duration": st.fixed_dictionaries({}, optional={
        "seconds": st.integers(-315576000001, 315576000001) | st.integers(-5, 5),
        "nanos": st.integers(-10**9, 10**9) | st.sampled_from([0, -1000, 10**6, 123456789])}),
    "google.protobuf.FieldMask": st.fixed_dictionaries({"paths": st.lists(
        st.from_regex(r"[a-z_A-Z\u00e9\u00c9.]{0,6}", fullmatch=True), max_size=3)}),
    "google.protobuf.Struct": st.dictionaries(TEXT, JSON_VALUE.filter(
        lambda v: not isinstance(v, float) or v == v), max_size=3),
    "google.protobuf.ListValue": st.lists(JSON_VALUE.filter(
        lambda v: not isinstance(v, float) or v == v), max_size=3),
}
