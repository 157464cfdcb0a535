"""Records made ready for the fill: keys to field names, nulls left out, and on
request other values as text for text fields.

set_message_fields looks a record's keys up as attribute names, so a key that
is kept as a field's JSON name (`"user-name"` for the field `user_name`, whose
`json_name` option holds the key) is renamed to the field's name first, at
every depth; unpack gives the key back, since the JSON mapping writes JSON
names. A key that is a field's own name fills that field, as before.

In a schema with scalar fields of explicit presence (`optional`, as infer
writes them) or with such JSON names, a null leaves its field unset, as in the
protobuf JSON mapping: it must not become "" (which would be kept as present)
or fail. Other schemas take nulls as the fill does.

With `stringify`, a number, boolean, object or list given for a text field is
written as its JSON text: infer types a key whose values are of several kinds
as text, and this keeps every value of such a key."""
import json
from collections.abc import Callable
from typing import cast

from google.protobuf.descriptor import Descriptor, FieldDescriptor

# Makes a parsed record (given with its JSON text) the dict the fill takes, in
# place or anew; raises ValueError for a record whose keys name one field twice.
Adapt = Callable[[dict[str, object], str | bytes], dict[str, object]]

# orjson reads an integer beyond 64 bits as a float of size 2**63 or more: a
# record with such a float among the values to be written as text is parsed
# again with the standard parser, which keeps the integer's digits.
WIDE_FLOAT = float(1 << 63)


class _Inexact(Exception):
    """A value to be written as text may have lost digits to the parser."""


class Plan:
    """How the keys of one message type reach its fields."""
    __slots__ = ("fields", "renames", "children", "texts", "repeated", "presence")

    def __init__(self) -> None:
        self.fields: frozenset[str] = frozenset()
        self.renames: dict[str, str] = {}           # JSON name -> field name
        self.children: dict[str, Plan] = {}         # message field -> its type's plan
        self.texts: frozenset[str] = frozenset()    # string fields
        self.repeated: frozenset[str] = frozenset()
        self.presence = False                       # a scalar field with explicit presence


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
    plan.presence = any(field.has_presence and field.message_type is None for field in fields)
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


def _fix(record: dict[str, object], plan: Plan, stringify: bool, exact: bool) -> None:
    """Makes `record` (freshly parsed, so changed in place) ready for the fill.
    The work follows the message fields and the JSON names of the schema, not
    the keys of the record: a record without nulls costs a few lookups."""
    for json_name, name in plan.renames.items():
        if json_name in record:
            if name in record:
                raise ValueError(f"keys {json_name!r} and {name!r} both fill field {name}")
            record[name] = record.pop(json_name)
    if None in record.values():
        for key in [key for key, value in record.items() if value is None and key in plan.fields]:
            del record[key]
    for name, child in plan.children.items():
        value = record.get(name)
        if type(value) is dict:
            _fix(value, child, stringify, exact)
        elif type(value) is list:
            for item in value:
                if type(item) is dict:
                    _fix(item, child, stringify, exact)
    if stringify:
        for name in plan.texts:
            value = record.get(name, "")
            if type(value) is str:
                continue
            if name not in plan.repeated:
                record[name] = _json_text(value, exact)
            elif type(value) is list:
                record[name] = [item if type(item) is str else _json_text(item, exact) for item in value]


def adaptation(cls: object, stringify: bool) -> tuple[Adapt | None, bool]:
    """The Adapt of a message class, and whether it leaves a record whose JSON
    text holds no "null" as it is (it only takes nulls out, or there is none).
    The Adapt is None when the records go to the fill as they are: no
    --stringify, no JSON name that is not a field name, and no scalar field with
    explicit presence (for a field without, the fill's empty text for a null is
    the field's default, and the fill reports other nulls)."""
    descriptor = getattr(cls, "DESCRIPTOR", None)
    if not isinstance(descriptor, Descriptor):
        return None, not stringify
    plans: dict[str, Plan] = {}
    plan = plan_for(descriptor, plans)
    renames = any(other.renames for other in plans.values())
    presence = any(other.presence for other in plans.values())
    only_nulls = not (stringify or renames)
    if only_nulls and not presence:
        return None, True

    def adapt(record: dict[str, object], text: str | bytes) -> dict[str, object]:
        if not (stringify or renames or ("null" in text if isinstance(text, str) else b"null" in text)):
            return record
        try:
            _fix(record, plan, stringify, False)
        except _Inexact:
            record = cast(dict[str, object], json.loads(text))
            _fix(record, plan, stringify, True)
        return record

    return adapt, only_nulls

