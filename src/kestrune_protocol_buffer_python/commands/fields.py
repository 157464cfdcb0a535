"""What a field takes and what a record gave it: the one-line reason for a
fill that failed on a value of the wrong kind ("field RawData.NumShareCount
takes an integer, the record has null"), and the fields of a message type.

The field comes from the note that set_message_fields puts on the exception
("while filling TopLevelMessage.RawData.NumShareCount"); what it takes, from
its descriptor; the value, from the record."""
import json
import math
from collections.abc import Sequence
from typing import Any

import orjson
from google.protobuf.descriptor import Descriptor, FieldDescriptor

_NOTE = "while filling "

_INT32 = (-(1 << 31), (1 << 31) - 1)
_INT64 = (-(1 << 63), (1 << 63) - 1)
# The range of each integer type.
_INTEGERS = {
    FieldDescriptor.TYPE_INT32: _INT32, FieldDescriptor.TYPE_SINT32: _INT32,
    FieldDescriptor.TYPE_SFIXED32: _INT32,
    FieldDescriptor.TYPE_INT64: _INT64, FieldDescriptor.TYPE_SINT64: _INT64,
    FieldDescriptor.TYPE_SFIXED64: _INT64,
    FieldDescriptor.TYPE_UINT32: (0, (1 << 32) - 1), FieldDescriptor.TYPE_FIXED32: (0, (1 << 32) - 1),
    FieldDescriptor.TYPE_UINT64: (0, (1 << 64) - 1), FieldDescriptor.TYPE_FIXED64: (0, (1 << 64) - 1),
}
# What a field of each other type takes: one value, and the items of an array.
_TAKES = {
    FieldDescriptor.TYPE_DOUBLE: ("a number", "numbers"),
    FieldDescriptor.TYPE_FLOAT: ("a number", "numbers"),
    FieldDescriptor.TYPE_BOOL: ("a boolean", "booleans"),
    FieldDescriptor.TYPE_STRING: ("a string", "strings"),
    FieldDescriptor.TYPE_BYTES: ("bytes (no JSON value fills it)", "bytes (no JSON value fills them)"),
    FieldDescriptor.TYPE_MESSAGE: ("an object or JSON text of one", "objects or JSON texts of them"),
}
# Room for a text or a number quoted in a reason.
_SHOWN = 40


def field_names(descriptor: Descriptor) -> frozenset[str]:
    return frozenset(descriptor.fields_by_name)


def describe(value: object) -> str:
    """A JSON value as a reason names it: null, true, the integer 7, the string "x"..."""
    if value is None:
        return "null"
    if value is True or value is False:
        return "true" if value else "false"
    if isinstance(value, int):
        return f"the integer {value}"
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "Infinity" if value > 0 else "-Infinity"
        return f"the number {value!r}"
    if isinstance(value, str):
        shown = json.dumps(value[:_SHOWN], ensure_ascii=False)
        return f"the string {shown}{'...' if len(value) > _SHOWN else ''}"
    return "an array" if isinstance(value, list) else "an object"


def _misfit(field: FieldDescriptor, value: object, single: bool) -> str | None:
    """What `field` takes, worded for a reason, when `value` (a single value, or
    an item of an array when not `single`) cannot fill it; None when it can,
    or when the fill would pass it over with a printed warning."""
    kind = field.type
    if single and value is None and kind != FieldDescriptor.TYPE_MESSAGE:
        value = ""                # the fill stores null as the empty text
    if kind in _INTEGERS:
        low, high = _INTEGERS[kind]
        if type(value) is not int:
            return "an integer" if single else "integers"
        if low <= value <= high:
            return None
        return f"{'an integer' if single else 'integers'} from {low} to {high}"
    if kind == FieldDescriptor.TYPE_ENUM:
        enum = field.enum_type
        if enum is None:
            return None
        if type(value) is int and _INT32[0] <= value <= _INT32[1] or \
                isinstance(value, str) and value in enum.values_by_name:
            return None
        names = ", ".join(list(enum.values_by_name)[:5])
        more = ", ..." if len(enum.values_by_name) > 5 else ""
        return f"{'a name' if single else 'names'} of {enum.name} ({names}{more}) or {'a number' if single else 'numbers'}"
    if kind not in _TAKES:
        return None
    if kind == FieldDescriptor.TYPE_MESSAGE:
        if isinstance(value, str):
            try:
                value = json.loads(value)
            except ValueError:
                return _TAKES[kind][not single]
        # A single field passes over a value that is not an object with a
        # warning; an item of an array fails.
        fits = single or isinstance(value, dict)
    else:
        fits = {
            FieldDescriptor.TYPE_DOUBLE: type(value) in (int, float),
            FieldDescriptor.TYPE_FLOAT: type(value) in (int, float),
            FieldDescriptor.TYPE_BOOL: type(value) in (bool, int),
            FieldDescriptor.TYPE_STRING: type(value) is str,
        }.get(kind, False)
    return None if fits else _TAKES[kind][not single]


def _given(field: FieldDescriptor, value: object) -> str:
    text = describe(value)
    if field.type == FieldDescriptor.TYPE_MESSAGE and isinstance(value, str):
        try:
            json.loads(value)
        except json.JSONDecodeError as exc:
            text += f", which is not JSON: {exc.msg} at column {exc.colno}"
    return text


def _explain(descriptor: Descriptor, keys: Sequence[str], record: object, path: str) -> str | None:
    field = descriptor.fields_by_name.get(keys[0])
    if field is None or not isinstance(record, dict) or keys[0] not in record:
        return None
    value = record[keys[0]]
    path += keys[0]
    if len(keys) > 1:
        # The failure is further in: the message (or an item of the messages)
        # where the rest of the path leads to a value that does not fit.
        inner = field.message_type
        if field.type != FieldDescriptor.TYPE_MESSAGE or inner is None:
            return None
        items = value if field.is_repeated and isinstance(value, list) else [value]
        for item in items:
            if isinstance(item, str):
                try:
                    item = json.loads(item)
                except ValueError:
                    continue
            found = _explain(inner, keys[1:], item, path + ".")
            if found is not None:
                return found
        return None
    if not field.is_repeated:
        takes = _misfit(field, value, single=True)
        return None if takes is None else f"field {path} takes {takes}, the record has {_given(field, value)}"
    for index, item in enumerate(value if isinstance(value, list) else ()):
        takes = _misfit(field, item, single=False)
        if takes is not None:
            return (f"field {path} takes an array of {takes}, item {index} of the record's array "
                    f"is {_given(field, item)}")
    return None


def fill_reason(descriptor: Descriptor, text: str | bytes, exc: BaseException) -> str | None:
    """The reason a fill of a record of `descriptor`'s type from the JSON `text`
    failed with `exc`, naming the field, what it takes and what the record has;
    None when the failure is not about the kind of a value (the caller then
    words the exception itself)."""
    if not isinstance(exc, (TypeError, ValueError)):
        return None
    notes: Sequence[str] = getattr(exc, "__notes__", ())
    paths = [note[len(_NOTE):] for note in notes if isinstance(note, str) and note.startswith(_NOTE)]
    if not paths:
        return None
    keys = paths[-1].split(".")[1:]
    if not keys:
        return None
    record: Any
    # Integers as written, which the fast parser makes floats of beyond 64 bits;
    # nesting deeper than the standard parser goes, as the fast parser read it.
    for parse in (json.loads, orjson.loads):
        try:
            record = parse(text)
            return _explain(descriptor, keys, record, "")
        except (ValueError, RecursionError):
            pass
    return None
