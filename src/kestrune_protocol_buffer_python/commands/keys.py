"""Records made ready for the fill: keys to field names, nulls left out, and on
request other values as text for text fields.

set_message_fields looks a record's keys up as attribute names, so a key that
is kept as a field's JSON name (`"user-name"` for the field `user_name`, whose
`json_name` option holds the key) is renamed to the field's name first, at
every depth; unpack gives the key back, since the JSON mapping writes JSON
names. A key that is a field's own name fills that field, as before.

A null leaves its field unset, as in the protobuf JSON mapping: for a field of
`optional` scalar type (which infer writes) it must not become "" or fail.

With `stringify`, a number, boolean, object or list given for a text field is
written as its JSON text: infer types a key whose values are of several kinds
as text, and this keeps every value of such a key."""
import json
from collections.abc import Callable
from typing import cast

from google.protobuf.descriptor import Descriptor, FieldDescriptor

# Turns a parsed record (and its JSON text) into the dict the fill takes;
# raises ValueError for a record whose keys name one field twice.
Adapt = Callable[[dict[str, object], str | bytes], dict[str, object]]

# orjson reads an integer beyond 64 bits as a float of size 2**63 or more: a
# record with such a float among the values to be written as text is parsed
# again with the standard parser, which keeps the integer's digits.
WIDE_FLOAT = float(1 << 63)


class _Inexact(Exception):
    """A value to be written as text may have lost digits to the parser."""


class Plan:
    """How the keys of one message type reach its fields."""
    __slots__ = ("fields", "renames", "children", "texts", "repeated")

    def __init__(self) -> None:
        self.fields: frozenset[str] = frozenset()
        self.renames: dict[str, str] = {}           # JSON name -> field name
        self.children: dict[str, Plan] = {}         # message field -> its type's plan
        self.texts: frozenset[str] = frozenset()    # string fields
        self.repeated: frozenset[str] = frozenset()


def plan_for(descriptor: Descriptor, plans: dict[str, Plan] | None = None) -> Plan:
    """The Plan of a message type and, through `plans`, of every type below it."""
    plans = {} if plans is None else plans
    plan = plans.get(descriptor.full_name)
    if plan is not None:
        return plan
    plan = plans[descriptor.full_name] = Plan()
    fields = descriptor.fields
    plan.fields = frozenset(field.name for field in fields)
    # Every JSON name that is not a field name, whether the option json_name or
    # the compiler gave it ("DESCRIPTOR" for the field DESCRIPTOR_, "aB" for a_b),
    # as the protobuf JSON mapping reads them.
    plan.renames = {field.json_name: field.name for field in fields
                    if field.json_name != field.name and field.json_name not in plan.fields}
    plan.texts = frozenset(field.name for field in fields if field.type == FieldDescriptor.TYPE_STRING)
    plan.repeated = frozenset(field.name for field in fields if field.is_repeated)
    for field in fields:
        kind = field.message_type
        if kind is not None and not kind.GetOptions().map_entry:
            plan.children[field.name] = plan_for(kind, plans)
    return plan


def _wide(value: object) -> bool:
    if type(value) is float:
        return not -WIDE_FLOAT < value < WIDE_FLOAT
    if type(value) is list:
        return any(map(_wide, value))
    if type(value) is dict:
        return any(map(_wide, value.values()))
    return False


def _json_text(value: object, exact: bool) -> str:
    if not exact and _wide(value):
        raise _Inexact
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _walk(record: dict[str, object], plan: Plan, stringify: bool, exact: bool) -> dict[str, object]:
    out: dict[str, object] = {}
    fields = plan.fields
    for key, value in record.items():
        name = key if key in fields else plan.renames.get(key, key)
        if value is None and name in fields:
            continue
        if name in out:
            other = next(k for k in record if k != key and (k if k in fields else plan.renames.get(k, k)) == name)
            raise ValueError(f"keys {other!r} and {key!r} both fill field {name}")
        child = plan.children.get(name)
        if child is not None:
            if type(value) is dict:
                value = _walk(value, child, stringify, exact)
            elif type(value) is list:
                value = [_walk(item, child, stringify, exact) if type(item) is dict else item
                         for item in value]
        elif stringify and name in plan.texts:
            if name not in plan.repeated:
                value = value if type(value) is str else _json_text(value, exact)
            elif type(value) is list:
                value = [item if type(item) is str else _json_text(item, exact) for item in value]
        out[name] = value
    return out


def adapter_for(cls: object, stringify: bool) -> Adapt | None:
    """The Adapt of a message class; None when its records go to the fill as they are."""
    descriptor = getattr(cls, "DESCRIPTOR", None)
    if not isinstance(descriptor, Descriptor):
        return None
    plan = plan_for(descriptor)
    seen, todo, renames = set(), [plan], False
    while todo:
        current = todo.pop()
        if id(current) not in seen:
            seen.add(id(current))
            renames = renames or bool(current.renames)
            todo.extend(current.children.values())

    def adapt(record: dict[str, object], text: str | bytes) -> dict[str, object]:
        nulls = "null" in text if isinstance(text, str) else b"null" in text
        if not (renames or nulls or stringify):
            return record
        try:
            return _walk(record, plan, stringify, False)
        except _Inexact:
            return _walk(cast(dict[str, object], json.loads(text)), plan, stringify, True)

    return adapt
