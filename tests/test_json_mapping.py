"""dict_bridge's native JSON mapping against the runtime's json_format: for
random messages the same dict, for random dicts (valid and not) the same
message or the same exception, and the runtime's own call wherever the native
mapping does not answer."""
import contextlib
import gc
import math
import sys
import types
import weakref

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool, json_format, message_factory
from google.protobuf.descriptor import FieldDescriptor as FD
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import records
from conftest import check_python, examples, on_thread
from json_differential import (assert_same_both_ways, assert_same_dict, assert_same_parse, json_dicts,
                               message_kwargs, mutated, runtime_calls, wire_fields)
from kestrune_protocol_buffer_python import dict_bridge
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

PROTOS = {"p3": "json_mapping_proto3.proto", "p2": "json_mapping_proto2.proto",
          "wkt": "json_mapping_wkt.proto", "editions": "json_mapping_editions.proto"}
NATIVE = ["p3.Scalars", "p3.Optionals", "p3.Repeats", "p3.Maps", "p3.Choice", "p3.Naming",
          "p3.Tree", "p3.Wide", "p2.Legacy", "zorva.TopLevelMessage", "wkt.Stamped", "wkt.Loose",
          "wkt.Indirect", "wkt.AllKnown", "p2.WithGroup", "p2.Extendable", "p2.HoldsGroup",
          "editions.Plain"]
RUNTIME = ["p3.Shadowing", "p3.HidesDescriptor", "p3.HoldsShadowing"]
CHECKS = settings(max_examples=examples(60), deadline=None,
                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module")
def schemas(tmp_path_factory):
    modules = {key: records.compiled_schema(tmp_path_factory, proto) for key, proto in PROTOS.items()}
    return types.SimpleNamespace(zorva=zorva_data_pb2, **modules)


def resolve(schemas, dotted):
    module, name = dotted.split(".")
    return getattr(getattr(schemas, module), name)


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", NATIVE)
def test_random_messages_give_the_runtime_dict(schemas, name, data):
    cls = resolve(schemas, name)
    message = cls(**data.draw(message_kwargs(cls.DESCRIPTOR)))
    # The runtime's own dict reads back natively, where ParseDict takes it at all
    # (it refuses a float of 3.4028235e+38, which MessageToDict writes for the largest).
    assert assert_same_both_ways(message, native=True) in (0, None)


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", NATIVE + RUNTIME)
def test_random_dicts_give_the_runtime_message_or_error(schemas, name, data):
    cls = resolve(schemas, name)
    assert_same_parse(cls, data.draw(json_dicts(cls.DESCRIPTOR)))


# ---- cases worth naming ----------------------------------------------------------------------


@contextlib.contextmanager
def roomy_recursion_limit():
    """Room for 64 native levels, which charge the limit for their C stack (several
    times more in the sanitizer build) on the main thread's large stack."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10_000)
    try:
        yield
    finally:
        sys.setrecursionlimit(limit)


def deep_tree(cls, depth):
    message = cls()
    node = message
    for _ in range(depth - 1):
        node = node.child
    node.value = 1
    return message


def large_maps(cls):
    """Maps whose iteration order is the hash table's, after growth and deletions."""
    message = cls(by_string={str(i * 7919): i for i in range(300)},
                  by_int64={i * 2**40 - 5: 1 for i in range(-150, 150)},
                  by_uint32={i * 65537: b"x" for i in range(200)},
                  trees={str(i): {"value": i} for i in range(50)})
    for key in list(message.by_string)[::3]:
        del message.by_string[key]
    for key in list(message.by_int64)[::5]:
        del message.by_int64[key]
    return message


@pytest.mark.parametrize(
    "name, make, native",
    [
        # Unknown values of closed enums wait among the unknown fields, under the
        # field's number; so does a map entry holding one.
        ("p2.Legacy", lambda cls: cls.FromString(
            b"\x20\x07\x20\x05\x2a\x03\x05\x02\x09\x92\x01\x04\x08\x01\x10\x03"
            b"\x92\x01\x04\x08\x02\x10\x01"), True),
        # A proto2 string need not be UTF-8; the runtime writes its bytes' repr.
        ("p2.Legacy", lambda cls: cls.FromString(b"\x12\x02\xff\xfe"), False),
        # Unknown fields: a group with a group in it, a known number with another
        # wire type, a large number.
        ("p3.Scalars", lambda cls: cls.FromString(
            b"\x9b\x06\x08\x01\xa3\x06\x0a\x00\xa4\x06\x9c\x06\x1a\x01x\xc0\x3e\x05\x18\x02"), True),
        ("p3.Scalars", lambda cls: cls(f_float=-0.0, f_double=-0.0), True),
        ("p3.Repeats", lambda cls: cls(r_float=[math.nan, -math.inf, math.inf, 3.4028234663852886e38,
                                                1e-45, 0.1, 16777217.0],
                                       r_double=[math.nan, -math.inf, 5e-324]), True),
        ("p3.Optionals", lambda cls: cls(o_int32=0, o_string="", o_bytes=b"", o_message={}), True),
        ("p3.Maps", large_maps, True),
        # A map entry holding anything besides a key and a value of their wire
        # types waits among the unknown fields, not in the map.
        ("p3.Maps", lambda cls: cls.FromString(b"\x62\x06\x08\x01\x12\x00\x18\x05"), True),
        ("p3.Maps", lambda cls: cls.FromString(b"\x0a\x08\x0a\x01a\x15\x00\x00\x00\x00"
                                               b"\x0a\x05\x0a\x01b\x10\x02"), True),
        ("p3.Maps", lambda cls: cls.FromString(b"\x0a\x02\x08\x01\x0a\x06\x0a\x01a\x12\x01\x03"), True),
        ("p3.Maps", lambda cls: cls.FromString(b"\x0a\x05\x0a\x01a\x1b\x1c"), True),
        ("p3.Tree", lambda cls: deep_tree(cls, 64), True),
        ("p3.Tree", lambda cls: deep_tree(cls, 65), False),
        ("p3.Tree", lambda cls: deep_tree(cls, 200), False),
        ("wkt.Loose", lambda cls: cls(extra={"a": [1, "b", None]}, count={"value": 3},
                                      took={"seconds": 5}, null=0), True),
        ("wkt.Indirect", lambda cls: cls(stamped={"at": {"seconds": 1}}, plain=2), True),
        ("p2.WithGroup", lambda cls: cls(item={"id": 3}, plain=1), True),
        ("editions.Plain", lambda cls: cls(count=3, note="x"), True),
        # Fields that hide ListFields or DESCRIPTOR: the runtime fails in its own way.
        ("p3.Shadowing", lambda cls: cls.FromString(b"\x08\x05\x12\x01\x03\x22\x01x"), False),
        ("p3.HidesDescriptor", lambda cls: cls.FromString(b"\x08\x05"), False),
        ("p3.HoldsShadowing", lambda cls: cls.FromString(b"\x0a\x02\x08\x05\x10\x01"), False),
    ],
    ids=["closed-enum-unknowns", "proto2-not-utf8", "unknown-fields", "negative-zero",
         "float-extremes", "explicit-presence", "large-maps", "map-entry-extra-field",
         "map-value-mistyped", "map-key-mistyped", "map-entry-group",
         "depth-64", "depth-65", "depth-200",
         "well-known-types", "well-known-deeper", "group", "editions", "hides-list-fields",
         "hides-descriptor", "holds-a-hiding-type"],
)
def test_named_messages(schemas, name, make, native):
    with roomy_recursion_limit():
        assert_same_dict(make(resolve(schemas, name)), native)


@pytest.mark.parametrize(
    "name, data, native",
    [
        # Nested n times: the innermost message is at level n + 1.
        ("p3.Tree", records.nested(63, "child"), True),
        ("p3.Tree", records.nested(64, "child"), False),
        ("p3.Tree", records.nested(99, "child"), False),  # ParseDict's "Message too deep"
        ("p3.Choice", {"big": "1", "text": "x"}, False),
        ("p3.Choice", {"big": "1", "text": None, "flag": True}, True),
        ("p3.Naming", {"snakeCaseName": "a", "snake_case_name": None}, False),
        ("p3.Maps", {"byInt32": {"1": "a", "01": "b", 1.0: "c"}}, False),
        ("p3.Maps", {"byBool": {"true": "t", "false": "f"}, "bySfixed32": {"-5": {}}}, True),
        ("p2.Legacy", {"level": "LOW", "levels": [9, "HIGH"], "switches": {"4": "ON"}}, True),
        ("p2.Legacy", {"level": 2}, False),
        ("p3.Optionals", {"oFloat": 3.5e38}, False),
        ("p3.Scalars", {"fBytes": "-_-_", "fColour": 12345, "fFloat": "-1e400"}, True),
        ("p3.Shadowing", {"Clear": 3, "ListFields": [1], "MergeFromString": 2}, False),
    ],
    ids=["depth-64", "depth-65", "too-deep", "two-of-a-oneof", "oneof-and-none", "name-and-json-name",
         "one-number-twice", "map-keys", "closed-enums", "closed-enum-unknown", "float-too-large",
         "lenient-forms", "hidden-attributes"],
)
def test_named_dicts(schemas, name, data, native):
    with roomy_recursion_limit():
        calls = assert_same_parse(resolve(schemas, name), data)
    assert (calls == 0) == native


# ---- wire bytes the runtime parsed: unknown fields and odd entries at every level -------------


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", NATIVE)
def test_parsed_wire_bytes_give_the_runtime_dict(schemas, name, data):
    cls = resolve(schemas, name)
    wire = data.draw(wire_fields(cls.DESCRIPTOR).flatmap(mutated))
    message = cls()
    try:
        message.ParseFromString(wire)
    except Exception:
        return
    # The same dict; and the dict back to a message is ParseDict's (a dict of
    # entries that were never in the map would add them).
    assert_same_both_ways(message, native=None)


def test_a_type_without_fields_holding_unknown_fields():
    # BrandSettings has no fields; those of a payload inside it are unknown ones.
    # In a child: a sanitizer's report ends the process.
    out = check_python(
        """
        import zlib
        from google.protobuf import json_format
        from kestrune_protocol_buffer_python import dict_bridge, open_payload
        from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2
        payload = zlib.compress(b"\\x22\\x04\\x2a\\x02\\x08\\x01")
        message = open_payload.depack_payload(zorva_data_pb2, "TopLevelMessage", payload)
        print(dict_bridge.protobuf_to_dict(message), json_format.MessageToDict(message))
        """)
    assert out.split() == ["{'BrandInfo':", "{'BrandSettings':", "{}}}"] * 2


def vendored_well_known_types():
    """Holder, whose fields are of copies of the well-known types NullValue and
    Value declared in a file of another name, in a pool of their own."""
    pool = descriptor_pool.DescriptorPool()
    copies = descriptor_pb2.FileDescriptorProto(name="vendored/struct.proto",
                                                package="google.protobuf", syntax="proto3")
    copies.enum_type.add(name="NullValue").value.add(name="NULL_VALUE", number=0)
    value = copies.message_type.add(name="Value")
    value.oneof_decl.add(name="kind")
    value.field.add(name="null_value", json_name="nullValue", number=1, type=FD.TYPE_ENUM,
                    type_name=".google.protobuf.NullValue", oneof_index=0)
    value.field.add(name="number_value", json_name="numberValue", number=2, type=FD.TYPE_DOUBLE,
                    oneof_index=0)
    holder = descriptor_pb2.FileDescriptorProto(name="vendored/holder.proto", package="vendor",
                                                syntax="proto3", dependency=["vendored/struct.proto"])
    message = holder.message_type.add(name="Holder")
    message.oneof_decl.add(name="choice")
    message.field.add(name="on", json_name="on", number=1, type=FD.TYPE_ENUM,
                      type_name=".google.protobuf.NullValue", oneof_index=0)
    message.field.add(name="value", json_name="value", number=2, type=FD.TYPE_MESSAGE,
                      type_name=".google.protobuf.Value")
    for file in (copies, holder):
        for field in (f for m in file.message_type for f in m.field):
            field.label = FD.LABEL_OPTIONAL
        pool.Add(file)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName("vendor.Holder"))


@pytest.mark.parametrize("message, data", [
    ({"on": 0}, {"on": None}),
    ({"value": {"number_value": 2}}, {"value": 2}),
    ({"value": {"null_value": 0}}, {"value": None}),
    ({"value": {}}, {"value": "NULL_VALUE"}),
], ids=["null-value-member", "value-number", "value-null", "value-empty"])
def test_copies_of_well_known_types_map_as_the_runtime_maps_them(message, data):
    holder = vendored_well_known_types()
    assert_same_dict(holder(**message), native=False)
    assert assert_same_parse(holder, data) != 0


def test_keyword_defaults_changed_in_place_are_followed(monkeypatch):
    message = zorva_data_pb2.TopLevelMessage(RawData={"ObjectId": 5})
    assert dict_bridge.protobuf_to_dict(message) == {"RawData": {"ObjectId": "5"}}
    monkeypatch.setitem(json_format.MessageToDict.__kwdefaults__, "unquote_int64_if_possible", True)
    with runtime_calls() as calls:
        assert dict_bridge.protobuf_to_dict(message) == {"RawData": {"ObjectId": 5}}
    assert calls.to_dict > 0


# ---- when the runtime is called ------------------------------------------------------------


# Defaults that the native mapping does not follow: print the fields without
# presence, or refuse any nesting.
CHANGED_DEFAULTS = {"MessageToDict": (True, False, False, None), "ParseDict": (False, None, 1)}


@pytest.mark.parametrize("name", ["MessageToDict", "ParseDict"])
@pytest.mark.parametrize("change", ["replaced", "defaults"])
def test_a_changed_runtime_function_is_called(monkeypatch, name, change):
    original = getattr(json_format, name)
    seen = []
    if change == "replaced":
        def replacement(*args):
            seen.append(args)
            return original(*args)
        monkeypatch.setattr(dict_bridge, name, replacement)
    else:
        assert len(original.__defaults__) == len(CHANGED_DEFAULTS[name])
        monkeypatch.setattr(original, "__defaults__", CHANGED_DEFAULTS[name])
    record = records.sample_record()
    record["BrandInfo"]["OperationEnum"] = ""
    message = json_format.ParseDict(record, zorva_data_pb2.TopLevelMessage(), False, None, 100)
    if name == "MessageToDict":
        result = dict_bridge.protobuf_to_dict(message)
        assert result == original(message)
        assert ("OperationEnum" in result["BrandInfo"]) == (change == "defaults")
    elif change == "replaced":
        assert dict_bridge.populate_protobuf_from_dict(type(message), record) == message
    else:
        with pytest.raises(ValueError, match="Message too deep"):
            dict_bridge.populate_protobuf_from_dict(type(message), record)
    assert len(seen) == (change == "replaced")


@pytest.mark.parametrize("owner", ["Tree", "Tree.Choice"])
def test_a_changed_class_takes_the_runtime_path(schemas, monkeypatch, owner):
    tree = schemas.p3.Tree(value=2, choice={"text": "x"})
    assert_same_dict(tree, native=True)
    cls = schemas.p3.Choice if owner == "Tree.Choice" else schemas.p3.Tree
    monkeypatch.setattr(cls, "ListFields", lambda self: [], raising=False)
    assert_same_dict(tree, native=False)
    assert assert_same_parse(schemas.p3.Tree, {"value": 2, "choice": {"text": "x"}}) > 0
    monkeypatch.undo()
    assert_same_dict(tree, native=True)


def test_a_message_made_by_another_callable_takes_the_runtime_path(schemas):
    # ParseDict clears the repeated and map fields it fills; a message that is
    # not fresh from its class may hold some already.
    def make():
        return schemas.p3.Tree(kids=[{}], named={"a": {}}, value=3)

    data = {"kids": [{"value": 1}], "named": {"b": {}}}
    with runtime_calls() as calls:
        message = dict_bridge.populate_protobuf_from_dict(make, data)
    assert message == json_format.ParseDict(data, make()) and calls.from_dict > 0


def test_the_pure_python_runtime_is_called():
    # Its classes are not the compiled runtime's: every conversion is json_format's.
    out = check_python(
        """
        from google.protobuf import json_format
        from google.protobuf.internal import api_implementation
        from kestrune_protocol_buffer_python import dict_bridge, infer_schema
        from kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2 import TopLevelMessage
        record = infer_schema.zorva_data
        message = dict_bridge.populate_protobuf_from_dict(TopLevelMessage, record)
        print(api_implementation.Type(), message == json_format.ParseDict(record, TopLevelMessage()),
              dict_bridge.protobuf_to_dict(message) == json_format.MessageToDict(message))
        """,
        env={"PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION": "python"},
    )
    assert out.split() == ["python", "True", "True"]


def fresh_class():
    """TopLevelMessage from a pool of its own: a new class each time, as code that
    makes pools has."""
    pool = descriptor_pool.DescriptorPool()
    descriptor = zorva_data_pb2.TopLevelMessage.DESCRIPTOR
    pool.Add(descriptor_pb2.FileDescriptorProto.FromString(descriptor.file.serialized_pb))
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(descriptor.full_name))


@pytest.mark.measures_memory
def test_no_memory_growth(schemas):
    wide = schemas.p3.Wide
    message = wide(**{"id": 5, "author": {"name": "a", "handles": ["x"]}, "tags": ["t"],
                      "attributes": {"k": "v"}, "counters": {"c": -1}, "weight": 0.1})
    record = json_format.MessageToDict(message)
    stamped = schemas.wkt.Stamped(at={"seconds": 3})
    calls = [
        lambda: dict_bridge.protobuf_to_dict(message),
        lambda: dict_bridge.populate_protobuf_from_dict(wide, record),
        lambda: dict_bridge.populate_protobuf_from_dict(wide, {"id": "x"}),
        lambda: dict_bridge.protobuf_to_dict(schemas.p2.Legacy.FromString(b"\x12\x01\xff")),
        lambda: dict_bridge.protobuf_to_dict(stamped),
        lambda: dict_bridge.populate_protobuf_from_dict(schemas.p3.Tree, records.nested(70, "child")),
    ]

    records.block_growth(calls, 300, ValueError)
    assert records.block_growth(calls, 3_000, ValueError) < 1_000
    # The plans of classes that died are gone with them.
    many_classes()
    assert records.block_growth([many_classes], 1) < 1_000


def many_classes():
    """More live classes than the cache holds, each converted both ways; weak
    references to them."""
    classes = [fresh_class() for _ in range(1100)]
    for cls in classes:
        message = dict_bridge.populate_protobuf_from_dict(cls, {"ChannelGroup": 3})
        assert dict_bridge.protobuf_to_dict(message) == {"ChannelGroup": 3}
    return [weakref.ref(cls) for cls in classes]


def test_kept_plans_do_not_keep_their_classes():
    gone = many_classes()
    gc.collect()
    assert not any(ref() for ref in gone)


def test_deep_walks_near_the_limit_on_a_small_stack(schemas):
    # Each native level charges the recursion limit for its C stack: near the
    # limit a walk ends in RecursionError (the runtime's, which then answers),
    # never in a crash, on a thread with a small stack too.
    out = check_python(on_thread(
        f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location("json_mapping_proto3_pb2", {schemas.p3.__file__!r})
        schema = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(schema)
        from kestrune_protocol_buffer_python import dict_bridge
        data = {{}}
        for _ in range(63):
            data = {{"child": data, "kids": [{{"value": 1}}]}}
        message = dict_bridge.populate_protobuf_from_dict(schema.Tree, data)
        outcomes = set()
        def at_depth(n, call):
            return at_depth(n - 1, call) if n else call()
        def run():
            for depth in range(0, 1000, 7):
                for call in (lambda: dict_bridge.protobuf_to_dict(message),
                             lambda: dict_bridge.populate_protobuf_from_dict(schema.Tree, data)):
                    try:
                        at_depth(depth, call)
                        outcomes.add("done")
                    except RecursionError:
                        outcomes.add("RecursionError")
            print(*sorted(outcomes))
        """))
    assert out.split() == ["RecursionError", "done"]
