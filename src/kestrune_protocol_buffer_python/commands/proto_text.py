"""Message types made from what a stream holds, and their proto3 text.

`new_fields` turns the keys of a Shape into fields, numbered in first-seen
order, with nested message types for object values; `schema_text` writes a
whole schema whose root message is TopLevelMessage. What could not be typed
soundly, and the keys no field can keep, are gathered in a Report."""
import json
import re
from collections.abc import Iterable, Iterator
from typing import NamedTuple

from kestrune_protocol_buffer_python.commands.inference import Shape, Slot, decide
from kestrune_protocol_buffer_python.commands.naming import Scope, json_option, numbers, unkeepable
from kestrune_protocol_buffer_python.commands.road import CommandError

ROOT = "TopLevelMessage"

_PLAIN_KEY = re.compile(r"[^.\[\]\"\s]+\Z")


def key_path(path: str, key: str, listed: bool = False) -> str:
    """The path of `key` below `path`, as reports name it: keys joined by '.', a
    key of list elements followed by '[]', keys with dots, brackets, quotes,
    spaces or characters that do not print (and the empty key) in JSON quotes."""
    part = key if _PLAIN_KEY.match(key) and key.isprintable() else json.dumps(key, ensure_ascii=False)
    part += "[]" * listed
    return f"{path}.{part}" if path else part


class Field(NamedTuple):
    key: str
    name: str
    number: int
    type: str           # a scalar type, or the name of a nested message type
    repeated: bool
    scalar: bool


class Message(NamedTuple):
    name: str
    fields: list[Field]
    nested: list["Message"]


class Problem(NamedTuple):
    """A key typed as text for want of a better type: `conflict` when its values
    were of several kinds (or of no common type), not when none was seen."""
    path: str
    text: str
    conflict: bool


class Report:
    """What building a schema found to tell: problems, and keys no field can keep."""

    def __init__(self) -> None:
        self.problems: list[Problem] = []
        self.refused: list[str] = []

    @property
    def conflicts(self) -> list[Problem]:
        return [problem for problem in self.problems if problem.conflict]


def new_fields(items: Iterable[tuple[str, Slot]], scope: Scope, numbering: Iterator[int],
               path: str, report: Report) -> tuple[list[Field], list[Message]]:
    """Fields for keys that have none yet, in the order given: names taken from
    `scope` (field names first, nested type names after, so that a key keeps its
    field name before a type takes it) and numbers from `numbering`."""
    items = list(items)
    scope.keys.update(key for key, _ in items)
    decided = []
    for key, slot in items:
        reason = unkeepable(key)
        if reason is not None:
            report.refused.append(f"{key_path(path, key)} ({reason})")
            continue
        decision = decide(slot)
        if decision.note is not None:
            typed = f"{'repeated ' * decision.repeated}{decision.type}"
            report.problems.append(Problem(key_path(path, key), f"{decision.note}: typed as {typed}",
                                           decision.conflict))
        number = next(numbering, None)
        if number is None:
            raise CommandError(f"{key_path(path, key)}: no field number is left in the message")
        # Nested types are built at once, so that reports follow the keys'
        # order, and named after every field is.
        inner = None
        if decision.shape is not None and decision.type == "message":
            inner = build_message("", decision.shape, key_path(path, key, decision.repeated), report)
        decided.append((key, decision, scope.field(key), number, inner))
    fields, nested = [], []
    for key, decision, name, number, inner in decided:
        if inner is not None:
            type_name = scope.type(key, "Item" if decision.repeated else "Message")
            nested.append(inner._replace(name=type_name))
            fields.append(Field(key, name, number, type_name, decision.repeated, False))
        else:
            fields.append(Field(key, name, number, decision.type, decision.repeated, True))
    return fields, nested


def build_message(name: str, shape: Shape, path: str, report: Report) -> Message:
    """A new message type for the objects of `shape`, fields numbered from 1."""
    fields, nested = new_fields(shape.slots.items(), Scope(), numbers(0), path, report)
    return Message(name, fields, nested)


def field_line(field: Field, proto2: bool = False) -> str:
    """A field's declaration. Scalars are `optional` so that a zero, an empty text
    or false comes back from unpack as it was written."""
    if field.repeated:
        label = "repeated "
    elif field.scalar or proto2:
        label = "optional "
    else:
        label = ""
    return f"{label}{field.type} {field.name} = {field.number}{json_option(field.key, field.name)};"


def body_lines(fields: list[Field], nested: list[Message], proto2: bool = False) -> list[str]:
    """The lines of a message body, indented relative to the body."""
    lines = [field_line(field, proto2) for field in fields]
    for message in nested:
        lines.append("")
        lines.extend(message_lines(message, proto2))
    return lines


def message_lines(message: Message, proto2: bool = False) -> list[str]:
    return [f"message {message.name} {{",
            *("  " + line if line else line for line in body_lines(message.fields, message.nested, proto2)),
            "}"]


def count_fields(message: Message) -> int:
    return len(message.fields) + sum(count_fields(nested) for nested in message.nested)


def schema_text(package: str, root: Message) -> str:
    return "\n".join(['syntax = "proto3";', "", f"package {package};", "", *message_lines(root), ""])
