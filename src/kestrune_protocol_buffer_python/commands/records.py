"""The road of one record: the message type a run names, the fill of a message
from a JSON record and its payload, the JSON text of a payload's message
(decompressed within a limit), and the one-line reason for a record that fails."""
import contextlib
import importlib
import io
import json
import threading
import zlib
from collections.abc import Iterator, Sequence
from types import ModuleType
from typing import Any, NamedTuple

import orjson
from google.protobuf import unknown_fields
from google.protobuf.descriptor import Descriptor

from kestrune_protocol_buffer_python import dict_bridge, open_payload, pack_payload
from kestrune_protocol_buffer_python.commands.fields import field_names, fill_reason
from kestrune_protocol_buffer_python.commands.keys import Adapt, adaptation
from kestrune_protocol_buffer_python.commands.road import COMPRESSORS, PACKAGE, CommandError, Road


class MessageType(NamedTuple):
    """A message type as create_message and depack_payload take it: the object
    that holds the class (the schema module, or the enclosing class for a dotted
    name such as "TopLevelMessage.RawdataMessage") and the class's last name."""
    holder: object
    name: str
    adapt: Adapt | None = None
    # Whether `adapt` changes no record whose JSON text holds no "null".
    adapts_only_nulls: bool = True


class BadRecord(Exception):
    """A record that cannot be carried: `reason` says why, `warned` holds the lines
    its fill printed, `line` the line inside the text where JSON parsing failed,
    `lacks_keys` whether none of the record's keys is a field of its type."""

    def __init__(self, reason: str, warned: Sequence[str] = (), line: int | None = None,
                 lacks_keys: bool = False) -> None:
        super().__init__(reason)
        self.reason = reason
        self.warned = warned
        self.line = line
        self.lacks_keys = lacks_keys


class _Known(NamedTuple):
    """What a record's road asks of its message type: the class that
    create_message(holder, name) calls, its descriptor and the keys that name
    its fields."""
    cls: Any
    descriptor: Descriptor
    names: frozenset[str]


# Message types already resolved in this process, by (module name, type name,
# stringify), and what is known of each.
_message_types: dict[tuple[str, str, bool], MessageType] = {}
_known: dict[MessageType, _Known] = {}

# Filling redirects sys.stdout, which every thread of the process shares: one
# chunk fills at a time (threads of a Dask worker included). The fill holds the
# interpreter lock throughout, so threads would not fill faster side by side.
_fill_lock = threading.Lock()


def message_type(road: Road) -> MessageType:
    """The message type that road.module and road.type name, resolved once per process."""
    key = (road.module, road.type, road.stringify)
    found = _message_types.get(key)
    if found is None:
        holder: object = pack_payload.load_proto_module(road.module)
        *path, name = road.type.split(".")
        for part in path:
            holder = getattr(holder, part)
        adapt, only_nulls = adaptation(getattr(holder, name, None), road.stringify)
        found = _message_types[key] = MessageType(holder, name, adapt, only_nulls)
    return found


def worker_message_type(road: Road) -> MessageType:
    """message_type for a chunk: a worker of a cluster may lack the schema module."""
    try:
        return message_type(road)
    except (Exception, SystemExit) as exc:
        raise CommandError(f"a worker cannot load {road.module}.{road.type}: {reason_of(exc)}") from None


def message_class(found: MessageType) -> Any:
    """The class that create_message(found.holder, found.name) calls."""
    return (_known.get(found) or _learn(found)).cls


def _learn(found: MessageType) -> _Known:
    cls = getattr(found.holder, found.name)
    descriptor: Descriptor = cls.DESCRIPTOR
    # A key names a field by its name, or by its JSON name where the key adapter renames it.
    names = field_names(descriptor) | {field.json_name for field in descriptor.fields}
    known = _known[found] = _Known(cls, descriptor, names)
    return known


def compressor(name: str) -> ModuleType | None:
    """The module that --compressor NAME stands for; None for the interpreter's zlib."""
    entry = COMPRESSORS[name]
    if entry is None:
        return None
    module_name, dist = entry
    try:
        return importlib.import_module(module_name)
    except ImportError:
        raise CommandError(
            f"--compressor {name} needs the {dist} package: "
            f"pip install '{PACKAGE}[{name}]'") from None


@contextlib.contextmanager
def filling(road: Road, captured: io.StringIO) -> Iterator[None]:
    """Around the fills of one chunk: pack_payload compresses with the chosen
    module, and what the fill prints goes to `captured`. Both are put back after."""
    chosen = compressor(road.compressor)
    with _fill_lock:
        saved = pack_payload.zlib
        if chosen is not None:
            pack_payload.zlib = chosen
        try:
            # set_message_fields prints through the built-in print, which
            # writes to whatever sys.stdout is at the time of the call.
            with contextlib.redirect_stdout(captured):
                yield
        finally:
            pack_payload.zlib = saved


def json_kind(value: object) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
            int: "a number", float: "a number", type(None): "null"}[type(value)]


def reason_of(exc: BaseException) -> str:
    """One line for a failed record: the exception's type and text, and the note
    that names the field the fill was at."""
    if isinstance(exc, json.JSONDecodeError):
        return f"invalid JSON: {exc.msg} at column {exc.colno}"
    if isinstance(exc, SystemExit):
        return f"it called sys.exit({exc.code!r})"
    kind = type(exc).__qualname__
    if kind == "error":
        kind = f"{type(exc).__module__}.{kind}"      # zlib.error
    message = str(exc).replace("\n", " ")
    text = f"{kind}: {message}" if message else kind
    notes: Sequence[str] = getattr(exc, "__notes__", ())
    for note in notes:
        text += f" ({note})"
    return text


def _map_key(key: object) -> str:
    if isinstance(key, bool):
        return "true" if key else "false"
    if isinstance(key, str):
        return '"' + key.replace('"', '\\"') + '"'
    return str(key)


def _missing(message: Any, prefix: str, out: list[str]) -> None:
    fields = message.DESCRIPTOR.fields
    out.extend(prefix + field.name for field in fields
               if field.is_required and not message.HasField(field.name))
    for field in fields:
        if field.message_type is None:
            continue
        value = getattr(message, field.name)
        if field.message_type.GetOptions().map_entry:
            if field.message_type.fields_by_name["value"].message_type is not None:
                for key in value:
                    _missing(value[key], f"{prefix}{field.name}[{_map_key(key)}].", out)
        elif field.is_repeated:
            for index, item in enumerate(value):
                _missing(item, f"{prefix}{field.name}[{index}].", out)
        elif message.HasField(field.name):
            _missing(value, f"{prefix}{field.name}.", out)


def required_reason(message: Any) -> str:
    """The reason for a message that lacks required fields, as the runtime's
    serializer words it. The runtime itself is not asked for the field paths:
    collecting them crashes it when a message with a map of scalars comes
    before another that lacks a field."""
    paths: list[str] = []
    _missing(message, "", paths)
    return (f"EncodeError: Message {message.DESCRIPTOR.full_name} is missing required fields: "
            f"{','.join(paths)}")


def _take_lines(captured: io.StringIO) -> list[str]:
    text = captured.getvalue()
    captured.seek(0)
    captured.truncate()
    return text.splitlines()


def _no_field_reason(found: MessageType, record: dict[str, Any]) -> str:
    keys = list(record)
    shown = ", ".join(keys[:3]) + (f" and {len(keys) - 3} more" if len(keys) > 3 else "")
    return f"none of the record's keys ({shown}) is a field of {found.name} (the wrong --type?)"


def pack_record(found: MessageType, text: str | bytes, captured: io.StringIO,
                strict: bool) -> tuple[bytes, Sequence[str]]:
    """The payload of one JSON record (str or bytes) and the lines its fill
    printed. Raises BadRecord for a record that cannot be packed: text that is
    not a JSON object, a record none of whose keys is a field of the type (a
    record of another type would otherwise become an empty message), a value
    that its field cannot take.

    orjson parses a record in under half the time of the standard parser, and
    to the same objects, except that integers beyond 64 bits come out as floats:
    no protobuf field holds such an integer, and such a record fails either way."""
    try:
        try:
            record = orjson.loads(text)
        except ValueError:
            # The standard parser takes what orjson refuses (NaN, Infinity,
            # lone surrogates, 1e400) and words the errors as users know them.
            record = json.loads(text)
    except json.JSONDecodeError as exc:
        raise BadRecord(reason_of(exc), line=exc.lineno) from None
    except MemoryError:
        raise
    except Exception as exc:            # bad UTF-8, nesting too deep
        raise BadRecord(reason_of(exc)) from None
    if type(record) is not dict:
        raise BadRecord(f"expected a JSON object, got {json_kind(record)}")
    known = _known.get(found) or _learn(found)
    if record and known.names.isdisjoint(record):
        raise BadRecord(_no_field_reason(found, record), lacks_keys=True)
    if found.adapt is not None:
        try:
            record = found.adapt(record, text)
        except MemoryError:
            raise
        except Exception as exc:        # keys that name one field twice
            raise BadRecord(reason_of(exc)) from None
    warned: Sequence[str] = ()
    try:
        try:
            # The class that create_message(holder, name) would look up and call.
            message = pack_payload.set_message_fields(known.cls(), record)
        finally:
            if captured.tell():
                warned = _take_lines(captured)
        if strict and warned:
            more = f" (and {len(warned) - 1} more)" if len(warned) > 1 else ""
            raise BadRecord(f"refused by --strict: {warned[0]}{more}", warned)
        if not message.IsInitialized():
            raise BadRecord(required_reason(message), warned)
        return pack_payload.pack_payload(message), warned
    except BadRecord:
        raise
    except MemoryError:
        raise
    except Exception as exc:
        raise BadRecord(fill_reason(known.descriptor, text, exc) or reason_of(exc), warned) from None


# Deflate makes at most 1032 bytes of one (a match of 258 bytes in two bits).
_MOST_EXPANSION = 1032


def inflate(payload: bytes | memoryview, limit: int) -> bytes:
    """The bytes of the zlib stream `payload`, as zlib.decompress gives them
    (bytes after the end of the stream are passed over), decompressed no
    further than `limit` + 1 bytes. Raises BadRecord for a stream that holds
    more than `limit` bytes, and zlib.error, worded as zlib.decompress words
    it, for anything that is not one complete zlib stream."""
    if len(payload) * _MOST_EXPANSION <= limit:
        # Too short to expand beyond the limit: one call does it all.
        return zlib.decompress(payload)
    stream = zlib.decompressobj()
    data = stream.decompress(payload, limit + 1)
    if len(data) > limit:
        raise BadRecord(f"the payload's message is more than {limit} bytes "
                        "(--max-record-bytes)")
    if not stream.eof:
        raise zlib.error("Error -5 while decompressing data: incomplete or truncated stream")
    return data


def _unknown_fields_reason(found: MessageType, data: bytes) -> str:
    message = open_payload.create_message(found.holder, found.name)
    message.ParseFromString(data)
    fields = unknown_fields.UnknownFieldSet(message)
    numbers = sorted({fields[index].field_number for index in range(len(fields))})
    where = (f"field numbers {', '.join(map(str, numbers))}" if numbers
             else "fields inside a nested message")
    return (f"the payload holds {where} that {found.name} does not define "
            f"(a payload of another message type, or of a newer schema?)")


def unpack_record(found: MessageType, payload: bytes | memoryview, limit: int) -> bytes:
    """The JSON text (compact, UTF-8) of the message in one payload, which holds
    at most `limit` bytes decompressed. Raises BadRecord for a payload that
    does not hold a message of the type, including one with fields the type
    does not define, which the JSON form would silently drop."""
    try:
        # As depack_payload: the message is made before the payload is read.
        message = (_known.get(found) or _learn(found)).cls()
        data = inflate(payload, limit)
        message.ParseFromString(data)
        if not message.IsInitialized():
            raise BadRecord(required_reason(message))
        size = message.ByteSize()
        message.DiscardUnknownFields()
        if message.ByteSize() != size:
            raise BadRecord(_unknown_fields_reason(found, data))
        return orjson.dumps(dict_bridge.protobuf_to_dict(message))
    except (BadRecord, MemoryError):
        raise
    except Exception as exc:
        raise BadRecord(reason_of(exc)) from None
