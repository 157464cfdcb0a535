"""infer --update: existing fields keep number, name and type; new keys get new
numbers; a type changes only where payloads written before read the same."""
import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import varied
from kestrune_protocol_buffer_python.commands import inference, protoc, schema_update
from kestrune_protocol_buffer_python.commands.proto_text import ROOT, Report, build_message, schema_text
from kestrune_protocol_buffer_python.commands.road import CommandError

OLD = b"""syntax = "proto3";
// Hand-written: comments, a tab, options and reserved numbers stay as they are.
package old;
option java_package = "x.y";

message TopLevelMessage {
\tint32 small = 1;   // tab-indented
  uint32 count = 2;
  float ratio = 3;
  int64 big = 4;
  string text = 5;
  message Sub { /* \xc3\xa9 */ string e = 1; }
  Sub sub = 6;
  repeated Sub subs = 7;
  repeated int32 nums = 8;
  bool flag = 9;
  reserved 10, 12 to 14;
  reserved "gone";
  map<string, int32> m = 15;
}
"""


def shape_of(records):
    shape = inference.Shape()
    inference.observe(shape, records)
    return shape


def update(tmp_path, old, records, force=False, filename="old.proto"):
    """(new text, the Updated) as infer --update makes them, the new text
    compiled and checked against the old one."""
    (tmp_path / filename).write_bytes(old)
    before = protoc.descriptor_set(str(tmp_path / filename))
    updated = schema_update.update_schema(before, filename, old, shape_of(records), force)
    if not updated.report.refused:
        after = protoc.check_schema(updated.text, filename)
        schema_update.check_kept(before, after, filename, updated.retyped)
    return updated.text, updated


SUB_ADDITIONS = b"string e = 1; \n    optional string e2 = 2;\n    optional bool z = 3;\n  }"


@pytest.mark.parametrize("records, force, edits, said", [
    ([{"small": 2**40}], False, [(b"\tint32 small", b"\tint64 small")], "widened small: int32 -> int64"),
    ([{"count": -1}], False, [(b"uint32 count", b"int64 count")], "widened count: uint32 -> int64"),
    # Fractions a float holds exactly change nothing; others need a double.
    ([{"ratio": 0.5, "small": 1, "flag": True, "text": None, "m": {"k": 1}}], False, [], None),
    ([{"ratio": 0.1}], False, None, "ratio (field ratio = 3 is float and the records hold 1 number: making "
                                    "it double would break payloads written before: payloads written before "
                                    "hold float values there"),
    ([{"ratio": 0.1}], True, [(b"float ratio", b"double ratio")], "changed ratio: float -> double (--force: "),
    ([{"big": 2**64 - 1}], False, None, "negative values written before read as large uint64 values"),
    ([{"sub": 3}], False, None, "sub (field sub = 6 is Sub and the records hold 1 number"),
    ([{"nums": 3}], True, [(b"repeated int32 nums", b"optional int64 nums")],
     "changed nums: repeated int32 -> int64 (--force: payloads written before with several values there "
     "keep only the last)"),
    # New keys go above every number in use or reserved; a type used by two
    # fields gets the keys of both; a reserved name is not taken again.
    ([{"fresh": 1, "sub": {"e2": "x"}, "subs": [{"z": True}], "gone": 2}], False,
     [(b"string e = 1; }", SUB_ADDITIONS), (b"int32> m = 15;\n", b'int32> m = 15;\n  optional int64 fresh = 16;\n'
                                           b'  optional int64 gone_2 = 17 [json_name = "gone"];\n')],
     "added fresh: field 16, int64"),
    ([{"m2": {}}], False, [(b"int32> m = 15;\n", b"int32> m = 15;\n  M2Message m2 = 16;\n\n"
                                               b"  message M2Message {\n  }\n")], "added m2: field 16"),
])
def test_type_changes_and_new_fields(tmp_path, records, force, edits, said):
    text, updated = update(tmp_path, OLD, records, force)
    said_lines = [*updated.changes, *updated.report.refused]
    assert said is None and not said_lines or any(said in line for line in said_lines), said_lines
    if edits is None:
        assert updated.report.refused
        return
    expected = OLD
    for old, new in edits:
        expected = expected.replace(old, new)
    assert text == expected


def test_numbers_of_new_fields_skip_what_is_reserved(tmp_path):
    old = b'syntax = "proto3";\r\nmessage M {\r\n  int64 a = 18999; reserved 20000 to 20005;\r\n}\r\n'
    text, updated = update(tmp_path, old, [{"b": 1, "c": "x"}], filename="m.proto")
    assert updated.changes == ["added b: field 20006, int64", "added c: field 20007, string"]
    assert text == old.replace(b"}\r\n", b'  optional int64 b = 20006;\r\n  optional string c = 20007;\r\n}\r\n')


def test_a_new_type_never_takes_the_name_of_one_in_use(tmp_path):
    # A nested UserMessage would take the place of the top-level one for `owner`.
    old = b'syntax = "proto3";\nmessage UserMessage { string x = 1; }\nmessage TopLevelMessage {\n' \
          b'  UserMessage owner = 1;\n}\n'
    text, updated = update(tmp_path, old, [{"owner": {"x": "a"}, "user": {"y": 1}}], filename="u.proto")
    assert updated.changes == ["added user: field 2, UserMessage2"]


@pytest.mark.parametrize("old, error", [
    (b'syntax = "proto3";\nmessage A {}\nmessage B {}\n', "declares no TopLevelMessage and 2 other messages"),
    (b'syntax = "proto3";\nmessage TopLevelMessage { int64 x = 1 }\n', "cannot read the schema"),
])
def test_schemas_that_cannot_be_updated(tmp_path, old, error):
    with pytest.raises(CommandError, match=error):
        update(tmp_path, old, [{"y": 1}])


# ---- random streams -----------------------------------------------------------------------

KEYS = ["id", "name", "score", "on", "tags", "user", "events", "user-name", "2fa", "a_b", "aB"]
KINDS = {
    "int": st.integers(-2**63, 2**63 - 1), "double": st.floats(-1e300, 1e300), "text": st.text(max_size=4),
    "bool": st.booleans(), "ints": st.lists(st.integers(0, 2**62), max_size=3), "null": st.none(),
    "object": st.dictionaries(st.sampled_from(KEYS), st.integers(-5, 5) | st.none(), max_size=3),
    "objects": st.lists(st.dictionaries(st.sampled_from(KEYS), st.text(max_size=3), max_size=3), max_size=2),
}


@st.composite
def streams(draw):
    """Two streams whose keys keep one kind each, the second in other key
    orders and with keys of its own."""
    kinds = draw(st.dictionaries(st.sampled_from(KEYS), st.sampled_from(sorted(KINDS)), max_size=7))
    first = draw(st.lists(st.fixed_dictionaries({}, optional={k: KINDS[v] for k, v in kinds.items()}),
                          min_size=1, max_size=5))
    second = draw(st.lists(st.fixed_dictionaries({}, optional={k: KINDS[v] for k, v in kinds.items()}),
                           max_size=5))
    shuffle = random.Random(draw(st.integers(0, 1000)))
    second = [dict(shuffle.sample(list(record.items()), len(record))) for record in [*first, *second]]
    return first, second


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                  HealthCheck.function_scoped_fixture])
@given(streams())
def test_updates_keep_every_number_and_old_payloads_read_the_same(tmp_path_factory, stream):
    first, second = stream
    tmp_path = tmp_path_factory.mktemp("update")
    old = schema_text("v", build_message(ROOT, shape_of(first), "", Report())).encode()
    text, updated = update(tmp_path, old, second)
    assert not updated.report.refused
    assert all(change.startswith("added ") for change in updated.changes)
    if not updated.changes:
        assert text == old                       # the same keys in other orders change nothing
    fileset = varied.compile_texts(tmp_path, {"old.proto": old, "new.proto": text.replace(
        b"package v;", b"package w;")})
    old_cls = varied.message_class(fileset, f"v.{ROOT}")
    new_cls = varied.message_class(fileset, f"w.{ROOT}")
    before, after = varied.road_type(old_cls), varied.road_type(new_cls)
    for record in first:
        payload = varied.pack(before, json.dumps(record))[0]
        assert varied.unpack(after, payload) == varied.unpack(before, payload)
    for record in second:
        assert varied.round_trip(after, record) == varied.expected(record, new_cls.DESCRIPTOR)
