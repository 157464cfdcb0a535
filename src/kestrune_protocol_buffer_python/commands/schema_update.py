"""`infer --update`: the keys of a stream brought into an existing schema so that
every payload written with it stays readable.

The schema file is read as the compiler understands it (its descriptors, with
the position of every declaration in the text). Every existing field keeps its
number, name and type; keys without a field get new fields numbered above
every number the message uses or reserves; a type changes only where values
written before read the same (int32 to int64, uint32 to uint64 or int64,
sint32 to sint64), or with `force`, which says what breaks. The text is
changed in place (new fields before each message's closing brace, new types on
their own tokens), so comments, options and layout stay as they were."""
import copy
from collections.abc import Iterator
from typing import NamedTuple

from google.protobuf import descriptor_pb2

from kestrune_protocol_buffer_python.commands.inference import (EXACT_IN_DOUBLE, INT64, UINT64, Decision,
                                                                Shape, Slot, counts, decide, merge)
from kestrune_protocol_buffer_python.commands.naming import Scope, default_json_name, numbers
from kestrune_protocol_buffer_python.commands.proto_text import (ROOT, Problem, Report, body_lines, key_path,
                                                                 new_fields)
from kestrune_protocol_buffer_python.commands.road import CommandError

FDP = descriptor_pb2.FieldDescriptorProto
FieldProto = descriptor_pb2.FieldDescriptorProto
MessageProto = descriptor_pb2.DescriptorProto

# Source paths: the numbers of the descriptor fields that lead to a declaration.
_MESSAGE_TYPE, _NESTED_TYPE, _FIELD = 4, 3, 2
_LABEL, _TYPE, _TYPE_NAME = 4, 5, 6

KEYWORDS = {FDP.TYPE_DOUBLE: "double", FDP.TYPE_FLOAT: "float", FDP.TYPE_INT64: "int64",
            FDP.TYPE_UINT64: "uint64", FDP.TYPE_INT32: "int32", FDP.TYPE_FIXED64: "fixed64",
            FDP.TYPE_FIXED32: "fixed32", FDP.TYPE_BOOL: "bool", FDP.TYPE_STRING: "string",
            FDP.TYPE_BYTES: "bytes", FDP.TYPE_UINT32: "uint32", FDP.TYPE_SFIXED32: "sfixed32",
            FDP.TYPE_SFIXED64: "sfixed64", FDP.TYPE_SINT32: "sint32", FDP.TYPE_SINT64: "sint64"}
_BY_KEYWORD = {keyword: number for number, keyword in KEYWORDS.items()}

# The integers each integer type holds.
_RANGES = {FDP.TYPE_INT32: range(-(1 << 31), 1 << 31), FDP.TYPE_SINT32: range(-(1 << 31), 1 << 31),
           FDP.TYPE_SFIXED32: range(-(1 << 31), 1 << 31), FDP.TYPE_UINT32: range(1 << 32),
           FDP.TYPE_FIXED32: range(1 << 32), FDP.TYPE_INT64: INT64, FDP.TYPE_SINT64: INT64,
           FDP.TYPE_SFIXED64: INT64, FDP.TYPE_UINT64: UINT64, FDP.TYPE_FIXED64: UINT64}
# Wider types that read every value written with the narrower one as it was:
# the same wire type and encoding, and every old value in range.
_WIDENINGS = {FDP.TYPE_INT32: [FDP.TYPE_INT64], FDP.TYPE_SINT32: [FDP.TYPE_SINT64],
              FDP.TYPE_UINT32: [FDP.TYPE_UINT64, FDP.TYPE_INT64]}
# The largest integer each floating-point type holds exactly.
_EXACT = {FDP.TYPE_DOUBLE: EXACT_IN_DOUBLE, FDP.TYPE_FLOAT: 1 << 24}

_VARINT = {FDP.TYPE_INT32, FDP.TYPE_INT64, FDP.TYPE_UINT32, FDP.TYPE_UINT64, FDP.TYPE_BOOL, FDP.TYPE_ENUM}
_WIRE = {**{t: "varint" for t in _VARINT}, FDP.TYPE_SINT32: "zigzag", FDP.TYPE_SINT64: "zigzag",
         FDP.TYPE_FIXED32: "32-bit", FDP.TYPE_SFIXED32: "32-bit", FDP.TYPE_FLOAT: "32-bit",
         FDP.TYPE_FIXED64: "64-bit", FDP.TYPE_SFIXED64: "64-bit", FDP.TYPE_DOUBLE: "64-bit",
         FDP.TYPE_STRING: "length", FDP.TYPE_BYTES: "length", FDP.TYPE_MESSAGE: "length"}


class Located(NamedTuple):
    """A message type of the schema: its descriptor, the source path of its
    declaration, and whether it is declared in the file being updated."""
    proto: MessageProto
    path: tuple[int, ...]
    local: bool


class Updated(NamedTuple):
    text: bytes
    changes: list[str]
    report: Report
    fields: int                                   # fields added
    retyped: dict[tuple[str, int], tuple[int, str, int]]   # (type, type name, label) now


class _Source:
    """The schema text and the positions the compiler gave its declarations.
    The compiler counts columns in bytes, with tab stops every 8 columns."""

    def __init__(self, text: bytes, info: descriptor_pb2.SourceCodeInfo) -> None:
        self.text = text
        self.starts = [0]
        position = text.find(b"\n")
        while position >= 0:
            self.starts.append(position + 1)
            position = text.find(b"\n", position + 1)
        self.spans: dict[tuple[int, ...], list[int]] = {}
        for location in info.location:
            self.spans.setdefault(tuple(location.path), list(location.span))
        self.newline = b"\r\n" if b"\r\n" in text else b"\n"

    def offset(self, line: int, column: int) -> int:
        start = self.starts[line]
        end = self.starts[line + 1] if line + 1 < len(self.starts) else len(self.text)
        at = 0
        for index in range(start, end):
            if at >= column:
                return index
            at = at + 8 - at % 8 if self.text[index] == 9 else at + 1
        return end

    def span(self, path: tuple[int, ...]) -> tuple[int, int] | None:
        found = self.spans.get(path)
        if found is None:
            return None
        line, column = found[0], found[1]
        end_line, end_column = (found[0], found[2]) if len(found) == 3 else (found[2], found[3])
        return self.offset(line, column), self.offset(end_line, end_column)

    def indentation(self, offset: int) -> bytes:
        line = self.text[self.starts[self._line_of(offset)]:]
        return line[:len(line) - len(line.lstrip(b" \t"))]

    def _line_of(self, offset: int) -> int:
        low, high = 0, len(self.starts) - 1
        while low < high:
            middle = (low + high + 1) // 2
            if self.starts[middle] <= offset:
                low = middle
            else:
                high = middle - 1
        return low


def _messages(files: list[descriptor_pb2.FileDescriptorProto], filename: str) -> dict[str, Located]:
    found: dict[str, Located] = {}

    def walk(message: MessageProto, prefix: str, path: tuple[int, ...], local: bool) -> None:
        name = f"{prefix}.{message.name}"
        found[name] = Located(message, path, local)
        for index, nested in enumerate(message.nested_type):
            walk(nested, name, (*path, _NESTED_TYPE, index), local)

    for file in files:
        prefix = f".{file.package}" if file.package else ""
        for index, message in enumerate(file.message_type):
            walk(message, prefix, (_MESSAGE_TYPE, index), file.name == filename)
    return found


def _by_key(message: MessageProto) -> dict[str, FieldProto]:
    """The field each record key fills: a key that is a field's name fills it, as
    with set_message_fields, and otherwise the field whose JSON name it is."""
    fields = {field.name: field for field in message.field}
    for field in message.field:
        fields.setdefault(field.json_name, field)
    return fields


def _is_map(field: FieldProto, messages: dict[str, Located]) -> bool:
    located = messages.get(field.type_name) if field.type == FDP.TYPE_MESSAGE else None
    return located is not None and located.proto.options.map_entry


def _describe(field: FieldProto) -> str:
    kind = KEYWORDS.get(field.type) or field.type_name.rsplit(".", 1)[-1]
    return f"repeated {kind}" if field.label == FDP.LABEL_REPEATED else kind


def _breaks(field: FieldProto, new_type: str, repeated: bool) -> str:
    """What changing `field` to `new_type` does to payloads written before."""
    new = _BY_KEYWORD[new_type]
    if _WIRE.get(field.type) != _WIRE.get(new):
        return (f"payloads written before hold {_describe(field)} values there, which {new_type} cannot "
                "read: they become unknown fields, and unpack refuses such payloads")
    if (field.label == FDP.LABEL_REPEATED) != repeated:
        return ("values written before read as lists of one" if repeated else
                "payloads written before with several values there keep only the last")
    signed = {FDP.TYPE_INT32, FDP.TYPE_INT64}
    if field.type in signed and new not in signed:
        return f"negative values written before read as large {new_type} values"
    if field.type not in signed and new in signed and field.type in _RANGES:
        return "values above 2**63-1 written before read as negative ones"
    return f"values written before read as {new_type}, another kind in JSON"


def _verdict(field: FieldProto, decision: Decision, slot: Slot,
             messages: dict[str, Located]) -> tuple[str, str | None]:
    """("ok" | "conflict" | "widen" | "break", the new type keyword for the last two)."""
    values = slot.items if decision.repeated and slot.items is not None else slot
    wanted = decision.type if decision.type != "message" else "string"
    if _is_map(field, messages):
        return ("ok", None) if decision.type == "message" and not decision.repeated else ("break", wanted)
    if (field.label == FDP.LABEL_REPEATED) != decision.repeated:
        return "break", wanted
    kind = field.type
    if kind == FDP.TYPE_MESSAGE:
        return ("ok", None) if decision.type == "message" else ("break", wanted)
    if kind in (FDP.TYPE_STRING, FDP.TYPE_BYTES):
        return ("ok", None) if decision.type == "string" and not decision.conflict else ("conflict", None)
    if kind == FDP.TYPE_ENUM:
        return ("ok", None) if decision.type in ("string", "int64", "uint64") else ("break", wanted)
    if kind == FDP.TYPE_BOOL:
        return ("ok", None) if decision.type == "bool" else ("break", wanted)
    integers = decision.type in ("int64", "uint64")
    if kind in _EXACT:
        # A float field keeps fractions that are exact in 32 bits, and either
        # keeps the integers it holds exactly.
        fractions = decision.type == "double" and (kind == FDP.TYPE_DOUBLE or values.single)
        if (integers or fractions) and max(-values.low, values.high) <= _EXACT[kind]:
            return "ok", None
        return "break", wanted
    held = _RANGES[kind]
    if not integers:
        return "break", wanted
    if values.low in held and values.high in held:
        return "ok", None
    for wider in _WIDENINGS.get(kind, []):
        if values.low in _RANGES[wider] and values.high in _RANGES[wider]:
            return "widen", KEYWORDS[wider]
    return "break", wanted


def _gather(shape: Shape, name: str, path: str, messages: dict[str, Located],
            shapes: dict[str, Shape], paths: dict[str, str]) -> None:
    """Adds `shape` to what each message type of the schema is to hold, following
    the existing message fields down."""
    mine = copy.deepcopy(shape)
    if name in shapes:
        merge(shapes[name], mine)
    else:
        shapes[name], paths[name] = mine, path
    fields = _by_key(messages[name].proto)
    for key, slot in shape.slots.items():
        field = fields.get(key)
        if field is None or field.type != FDP.TYPE_MESSAGE or _is_map(field, messages):
            continue
        listed = field.label == FDP.LABEL_REPEATED
        inner = (slot.items.shape if slot.items is not None else None) if listed else slot.shape
        if inner is not None and field.type_name in messages:
            _gather(inner, field.type_name, key_path(path, key, listed), messages, shapes, paths)


class _Updater:
    def __init__(self, fileset: descriptor_pb2.FileDescriptorSet, filename: str, text: bytes,
                 force: bool) -> None:
        files = list(fileset.file)
        self.file = next(file for file in files if file.name == filename)
        if self.file.syntax == "editions":
            raise CommandError("--update takes proto2 and proto3 schemas, not editions")
        self.proto2 = self.file.syntax in ("", "proto2")
        self.messages = _messages(files, filename)
        # A new nested type named like any type or package of the schema could
        # take the place of that one in a name an existing field refers by.
        self.type_names = {part for file in files for part in file.package.split(".")}
        self.type_names.update(name.rsplit(".", 1)[-1] for name in self.messages)
        self.type_names.update(enum.name for file in files for enum in file.enum_type)
        self.type_names.update(enum.name for located in self.messages.values()
                               for enum in located.proto.enum_type)
        self.source = _Source(text, self.file.source_code_info)
        self.force = force
        self.report = Report()
        self.changes: list[str] = []
        self.edits: list[tuple[int, int, bytes]] = []
        self.retyped: dict[tuple[str, int], tuple[int, str, int]] = {}
        self.added = 0

    def root(self) -> str:
        prefix = f".{self.file.package}" if self.file.package else ""
        names = [message.name for message in self.file.message_type]
        if ROOT in names:
            return f"{prefix}.{ROOT}"
        if len(names) == 1:
            return f"{prefix}.{names[0]}"
        raise CommandError(f"{self.file.name} declares no {ROOT} and {len(names)} other messages: "
                           "cannot tell which one the records fill")

    def update(self, shape: Shape) -> Updated:
        shapes: dict[str, Shape] = {}
        paths: dict[str, str] = {}
        _gather(shape, self.root(), "", self.messages, shapes, paths)
        for name, gathered in shapes.items():
            self._message(name, gathered, paths[name])
        text = self.source.text
        for start, end, replacement in sorted(self.edits, reverse=True):
            text = text[:start] + replacement + text[end:]
        return Updated(text, self.changes, self.report, self.added, self.retyped)

    def _message(self, name: str, shape: Shape, path: str) -> None:
        located = self.messages[name]
        message = located.proto
        fields = _by_key(message)
        claimed: dict[int, str] = {}
        fresh = []
        for key, slot in shape.slots.items():
            field = fields.get(key)
            if field is None:
                fresh.append((key, slot))
            elif field.number in claimed:
                self.report.refused.append(f"{key_path(path, key)} (it and {claimed[field.number]!r} both "
                                           f"name field {field.name})")
            else:
                claimed[field.number] = key
                self._field(name, located, field, slot, key_path(path, key))
        if not fresh:
            return
        if not located.local:
            self.report.refused.append(
                f"{path or name} (new keys {', '.join(repr(key) for key, _ in fresh)} need fields in "
                f"a message type of an imported file, which --update leaves as it is)")
            return
        self._add(name, located, fresh, path)

    def _field(self, name: str, located: Located, field: FieldProto, slot: Slot, path: str) -> None:
        decision = decide(slot)
        if decision.note is not None and not decision.conflict:
            return                              # only nulls or empty lists: nothing to learn
        verdict, wanted = _verdict(field, decision, slot, self.messages)
        if verdict == "ok":
            return
        if verdict == "conflict":
            self.report.problems.append(Problem(path, f"{counts(slot)}: kept as {_describe(field)}", True))
            return
        assert wanted is not None
        index = list(located.proto.field).index(field)
        if verdict == "widen":
            self._retype(name, located, index, field, wanted, field.label == FDP.LABEL_REPEATED)
            self.changes.append(f"widened {path}: {KEYWORDS[field.type]} -> {wanted} "
                                "(payloads written before read the same)")
            return
        breaks = _breaks(field, wanted, decision.repeated)
        new = f"{'repeated ' * decision.repeated}{wanted}"
        in_oneof = field.HasField("oneof_index") and not field.proto3_optional
        if not self.force or (in_oneof and decision.repeated):
            self.report.refused.append(f"{path} (field {field.name} = {field.number} is {_describe(field)} "
                                       f"and the records hold {counts(slot)}: making it {new} would "
                                       f"break payloads written before: {breaks}"
                                       + ("; --force makes it so)" if not in_oneof else ")"))
            return
        self._retype(name, located, index, field, wanted, decision.repeated, in_oneof)
        self.changes.append(f"changed {path}: {_describe(field)} -> {new} (--force: {breaks})")

    def _retype(self, name: str, located: Located, index: int, field: FieldProto, keyword: str,
                repeated: bool, in_oneof: bool = False) -> None:
        """Rewrites the type of a field's declaration, and its label when the field
        turns repeated or single."""
        path = (*located.path, _FIELD, index)
        kind = self.source.span((*path, _TYPE)) or self.source.span((*path, _TYPE_NAME))
        if kind is None:
            raise CommandError(f"cannot find the declaration of {name[1:]}.{field.name} in the text")
        label = field.label
        start, text = kind[0], keyword
        if repeated != (field.label == FDP.LABEL_REPEATED):
            label = FDP.LABEL_REPEATED if repeated else FDP.LABEL_OPTIONAL
            written = self.source.span((*path, _LABEL))
            start = kind[0] if written is None else written[0]
            text = ("repeated " if repeated else "" if in_oneof else "optional ") + keyword
        self.edits.append((start, kind[1], text.encode()))
        self.retyped[(name, field.number)] = (_BY_KEYWORD[keyword], "", label)

    def _add(self, name: str, located: Located, fresh: list[tuple[str, Slot]], path: str) -> None:
        message = located.proto
        enum_values = [value.name for enum in message.enum_type for value in enum.value]
        scope = Scope([field.name for field in message.field] + sorted(self.type_names)
                      + [enum.name for enum in message.enum_type] + enum_values
                      + [oneof.name for oneof in message.oneof_decl] + list(message.reserved_name),
                      [default_json_name(field.name) for field in message.field]
                      + [field.json_name for field in message.field],
                      [field.json_name for field in message.field])
        above = max([field.number for field in message.field]
                    + [r.end - 1 for r in message.reserved_range]
                    + [r.end - 1 for r in message.extension_range], default=0)
        reserved = [range(r.start, r.end) for r in message.reserved_range]
        fields, nested = new_fields(fresh, scope, numbers(above, reserved), path, self.report)
        if not fields:
            return
        self.added += len(fields)
        for field in fields:
            self.changes.append(f"added {key_path(path, field.key)}: field {field.number}, "
                                f"{'repeated ' * field.repeated}{field.type}")
        self._insert(name, located, body_lines(fields, nested, self.proto2))

    def _insert(self, name: str, located: Located, lines: list[str]) -> None:
        """Puts `lines` into the body of a message, before its closing brace."""
        span = self.source.span(located.path)
        if span is None:
            raise CommandError(f"cannot find the declaration of {name[1:]} in the text")
        start, end = span
        brace = end - 1
        newline = self.source.newline
        indent = self.source.indentation(start)
        inner = indent + b"  "
        block = b"".join((inner + line.encode() if line else b"") + newline for line in lines)
        line_start = self.source.text.rfind(b"\n", 0, brace) + 1
        if self.source.text[line_start:brace].strip():
            self.edits.append((brace, brace, newline + block + indent))
        else:
            self.edits.append((line_start, line_start, block))


def update_schema(fileset: descriptor_pb2.FileDescriptorSet, filename: str, text: bytes, shape: Shape,
                  force: bool) -> Updated:
    """The schema text `text` (of the file `filename` that `fileset` describes)
    with what `shape` brings."""
    return _Updater(fileset, filename, text, force).update(shape)


def _fields(fileset: descriptor_pb2.FileDescriptorSet, filename: str) -> Iterator[tuple[str, FieldProto]]:
    for name, located in _messages(list(fileset.file), filename).items():
        if located.local:
            for field in located.proto.field:
                yield name, field


def check_kept(before: descriptor_pb2.FileDescriptorSet, after: descriptor_pb2.FileDescriptorSet,
               filename: str, retyped: dict[tuple[str, int], tuple[int, str, int]]) -> None:
    """Raises CommandError unless every field of `before` is in `after` with its
    number, name, JSON name and type (the type and label only changed where
    `retyped` says)."""
    now = {(name, field.number): field for name, field in _fields(after, filename)}
    for name, field in _fields(before, filename):
        new = now.get((name, field.number))
        if new is None or (new.name, new.json_name) != (field.name, field.json_name):
            raise CommandError(f"the update would lose field {name[1:]}.{field.name} = {field.number}; "
                               "nothing written")
        expected = retyped.get((name, field.number), (field.type, field.type_name, field.label))
        if (new.type, new.type_name, new.label) != expected:
            raise CommandError(f"the update would change field {name[1:]}.{field.name} = {field.number} "
                               "unexpectedly; nothing written")
