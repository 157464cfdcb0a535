"""Outside-world inputs and plain-Python references for the hardening tests.

The references restate what the package documents, statement by statement, so
that a property test can ask for the very same outcome: the same result, or
the same exception type and text, and the same printed lines.
"""
import json
import os
import re
import zlib

from google.protobuf.descriptor import FieldDescriptor
from hypothesis import strategies as st


HARDENING_PROTO = "kestrune_hardening.proto"


def field_names(*descriptors):
    """Every field name (and JSON name) of the message types, nested types included."""
    names, seen, todo = set(), set(), list(descriptors)
    while todo:
        descriptor = todo.pop()
        if descriptor.full_name in seen:
            continue
        seen.add(descriptor.full_name)
        for field in descriptor.fields:
            names.update((field.name, field.json_name))
            if field.message_type is not None:
                todo.append(field.message_type)
        todo.extend(descriptor.nested_types)
    return sorted(names)


def outcome(function, *args):
    """("ok", result) or ("raised", exception type, its text)."""
    try:
        return ("ok", function(*args))
    except Exception as exc:  # noqa: BLE001 - every kind is compared
        return ("raised", type(exc), str(exc))


def wire(message):
    return message.SerializeToString(deterministic=True)


# ---- values from the outside world ------------------------------------------------------


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


INT_BOUNDS = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32 - 1, 2**32,
              2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, -(2**64), 10**40]
INTS = st.sampled_from(INT_BOUNDS) | st.integers()
TEXTS = st.text(max_size=10)
JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False)
    | TEXTS,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(TEXTS, inner, max_size=3),
    max_leaves=8)
BROKEN_JSON = st.sampled_from(["", "{", "{bad", '{"a":}', "[1,", "nul", "NaN", "1e999", '"x', "}"])
JSON_TEXTS = st.builds(json.dumps, JSON_VALUES) | BROKEN_JSON
SCALARS = st.one_of(st.none(), st.booleans(), INTS, st.floats(), TEXTS, st.binary(max_size=8),
                    JSON_TEXTS, st.builds(StrSub, TEXTS))
ODD_KEYS = st.sampled_from(["DESCRIPTOR", "Clear", "ListFields", "__class__", "Extensions", ""])
NON_TEXT_KEYS = st.one_of(st.integers(), st.binary(max_size=3), st.none(), st.tuples(st.integers()))


def record_strategy(names, max_leaves=16):
    """Random nested dictionaries whose keys are mostly `names`, with every kind of value."""
    keys = st.one_of(st.sampled_from(names), TEXTS, ODD_KEYS,
                     st.builds(StrSub, st.sampled_from(names)), NON_TEXT_KEYS)
    field_text = st.dictionaries(st.sampled_from(names), JSON_VALUES, max_size=3).map(json.dumps)
    values = st.recursive(
        SCALARS | field_text,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4), st.tuples(inner, inner),
            st.lists(inner, max_size=3).map(ListSub),
            st.dictionaries(keys, inner, max_size=4),
            st.dictionaries(keys, inner, max_size=3).map(DictSub),
        ),
        max_leaves=max_leaves)
    return st.dictionaries(keys, values, max_size=6)


_typed = {}


def scalar_values(field):
    """Values of the field's own kind, its bounds and just beyond them."""
    kind, C = field.cpp_type, FieldDescriptor
    if kind == C.CPPTYPE_MESSAGE:
        raise ValueError(field.full_name)
    if kind == C.CPPTYPE_ENUM:
        return st.sampled_from([v.name for v in field.enum_type.values]) | st.integers(-1, 3)
    if kind == C.CPPTYPE_STRING:
        return st.binary(max_size=8) if field.type == C.TYPE_BYTES else TEXTS | st.none()
    if kind == C.CPPTYPE_BOOL:
        return st.booleans()
    if kind in (C.CPPTYPE_DOUBLE, C.CPPTYPE_FLOAT):
        return st.floats() | st.integers(-9, 9)
    bits, signed = {C.CPPTYPE_INT32: (32, True), C.CPPTYPE_INT64: (64, True),
                    C.CPPTYPE_UINT32: (32, False), C.CPPTYPE_UINT64: (64, False)}[kind]
    low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    return mostly(st.integers(low, high), st.sampled_from([low, high, low - 1, high + 1]), 4)


def mostly(usual, other, odds):
    """`usual`, but one draw in `odds` from `other`."""
    return st.integers(0, odds - 1).flatmap(lambda i: other if i == 0 else usual)


def typed_record(descriptor, depth=2):
    """Records shaped like `descriptor`: mostly values of each field's kind (nested
    messages as dictionaries or JSON text, maps as dictionaries), one value in
    twenty an outside-world one, plus now and then a key that is no field."""
    if (descriptor.full_name, depth) in _typed:
        return _typed[descriptor.full_name, depth]
    hostile = SCALARS | st.lists(SCALARS, max_size=2) | st.dictionaries(TEXTS, SCALARS, max_size=2)
    fields = {}
    for field in descriptor.fields:
        sub = field.message_type
        if sub is not None and sub.GetOptions().map_entry:
            key, value = sub.fields_by_name["key"], sub.fields_by_name["value"]
            entry = (scalar_values(value) if value.message_type is None
                     else typed_record(value.message_type, depth - 1) if depth > 0 else st.just({}))
            one = st.dictionaries(scalar_values(key), entry, max_size=2)
            fields[field.name] = one | st.lists(one, max_size=1)
            continue
        if sub is not None:
            nested = typed_record(sub, depth - 1) if depth > 0 else st.just({})
            one = nested | nested.map(lambda r: json.dumps(r, default=str))
        else:
            one = scalar_values(field)
        if field.is_repeated:
            one = st.lists(one, max_size=3) | st.tuples(one)
        fields[field.name] = mostly(one, hostile, 20)
    shaped = st.fixed_dictionaries({}, optional=fields)
    strays = st.dictionaries(st.sampled_from(["Bogus", "DESCRIPTOR", "Clear"]) | TEXTS, SCALARS,
                             max_size=1)
    _typed[descriptor.full_name, depth] = result = mostly(
        shaped, st.tuples(shaped, strays).map(lambda p: {**p[0], **p[1]}), 4)
    return result


# ---- set_message_fields, statement by statement ---------------------------------------------


def reference_fill(message, data, lines):
    """What set_message_fields documents, appending each printed line to `lines`."""
    if type(data) is not dict:
        raise TypeError("Argument 'data' has incorrect type (expected dict, got "
                        f"{type(data).__name__})")
    for key, value in data.items():
        if not isinstance(key, str):
            raise TypeError("hasattr(): attribute name must be string")
        try:
            getattr(message, key)
        except Exception:
            lines.append("".join(["Warning: ", key, " is not a valid field of ",
                                  message.DESCRIPTOR.name]))
            continue
        field_descriptor = message.DESCRIPTOR.fields_by_name[key]
        if field_descriptor.is_repeated:
            field = getattr(message, key)
            if not isinstance(value, list):
                lines.append("".join(["Error: Field ", key, " is a repeated field, but a "
                                      "non-list value was provided"]))
                continue
            for item in value:
                if field_descriptor.type == FieldDescriptor.TYPE_MESSAGE:
                    if isinstance(item, str):
                        item = json.loads(item)
                    reference_fill(field.add(), item, lines)
                else:
                    field.append(item)
        elif field_descriptor.type == FieldDescriptor.TYPE_MESSAGE:
            field = getattr(message, key)
            if isinstance(value, str):
                value = json.loads(value)
            if isinstance(value, dict):
                reference_fill(field, value, lines)
            else:
                lines.append("".join(["Error: Field ", key, " is a message type, but a "
                                      "non-dict value was provided"]))
        else:
            setattr(message, key, "" if value is None else value)
    return message


def reference_depack(owner, type_name, payload):
    message = getattr(owner, type_name)()
    message.ParseFromString(zlib.decompress(payload))
    return message


# ---- json_to_proto, statement by statement ---------------------------------------------------


def reference_type(value):
    name = type(value).__name__
    if name == "int":
        return "int32" if -2147483648 <= value <= 2147483647 else "int64"
    return {"str": "string", "float": "float", "bool": "bool"}.get(name, "string")


def reference_walk(json_obj, level=0):
    result, field_num, indent = [], 1, "  " * level
    for key, value in json_obj.items():
        if isinstance(value, dict):
            name = key.capitalize() + "Message"
            result.append(f"{indent}message {name} {{")
            result.extend(reference_walk(value, level + 1))
            result.append(f"{indent}}}")
            result.append(f"{indent}{name} {key} = {field_num};")
        elif isinstance(value, list):
            if value:
                first = value[0]
                if isinstance(first, dict):
                    name = key.capitalize() + "Item"
                    result.append(f"{indent}message {name} {{")
                    result.extend(reference_walk(first, level + 1))
                    result.append(f"{indent}}}")
                    result.append(f"{indent}repeated {name} {key} = {field_num};")
                else:
                    result.append(f"{indent}repeated {reference_type(first)} {key} = {field_num};")
            else:
                result.append(f"{indent}repeated string {key} = {field_num};")
        else:
            result.append(f"{indent}{reference_type(value)} {key} = {field_num};")
        field_num += 1
    return result


def reference_json_to_proto(json_obj, proto_filename):
    lines = ['syntax = "proto3";', f"package {proto_filename.replace('.proto', '')};",
             "message TopLevelMessage {", *reference_walk(json_obj), "}"]
    with open(proto_filename, "w") as f:
        f.write("\n".join(lines))
    print(f"Proto file '{proto_filename}' generated successfully.")


# ---- custom_normpath and the import rewriting --------------------------------------------------


def reference_normpath(path, system):
    normalized = os.path.normpath(path)
    return normalized.replace("/", "\\") if system == "Windows" else normalized.replace("\\", "/")


def reference_rewrite(text, names):
    """Both import forms of each schema name made relative, none already relative."""
    for name in names:
        for alias in dict.fromkeys([name, name.replace("_", "__")]):
            original = f"import {name}_pb2 as {alias}__pb2"
            text = re.sub("(?<!from \\. )" + re.escape(original), lambda _: "from . " + original,
                          text)
    return text
