"""JSON Lines records of the kind a stream of real data holds: text in several
scripts, 64-bit identifiers, Unix times with fractions, nulls, keys only some
records have, nested objects and lists of objects, keys that are no proto
identifiers. Deterministic for a seed; `varied_jsonl` writes them fast enough
for a million records. And the tools to compile schemas of records and to
compare a record with what unpack gives back."""
import contextlib
import io
import itertools
import json
import random
import subprocess
import sys
import types

import orjson
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from google.protobuf.descriptor import FieldDescriptor

from kestrune_protocol_buffer_python.commands import keys, records as commands_records
from kestrune_protocol_buffer_python.commands.road import MAX_RECORD_BYTES

CITIES = ["Zürich", "São Paulo", "Αθήνα", "東京", "Montréal", "Kraków", "القاهرة", "Reykjavík"]
NAMES = ["Zoë", "Ñandú", "Łukasz", "名前", "Ødegaard", "Ana-María", "😀 smile", "O'Brien"]


def varied_record(rng: random.Random, index: int) -> dict:
    record = {
        "id": rng.getrandbits(63) if index % 10 else index,
        "user-name": f"{rng.choice(NAMES)} #{index}",
        "ts": round(1719465860 + index * 0.001 + rng.random(), 3),
        "score": rng.randrange(100) if index % 4 == 0 else rng.random() * 100,
        "active": index % 3 == 0,
        "count": index % 5,
        "2fa": index % 2 == 0,
        "note": None if index % 6 == 0 else "" if index % 6 == 1 else f"note {index}",
        "geo": {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180), "city": rng.choice(CITIES)},
        "tags": [rng.choice(["a", "b", "ç", "d e"]) for _ in range(index % 4)],
    }
    if index % 7 == 0:
        record["email"] = f"user{index}@example.com"
    if index % 3 == 1:
        record["events"] = [{"kind": rng.choice(["view", "click"]), "at": 1719465860000 + index + n,
                             "extra": {"ms": rng.random()} if n % 2 else None}
                            for n in range(1 + index % 3)]
    if index % 11 == 5:
        record["geo"]["alt"] = None
        record["user"] = {"id": rng.getrandbits(64), "class": "premium", "Class": "gold"}
    return record


def varied_records(count: int, seed: int = 0):
    rng = random.Random(seed)
    for index in range(count):
        yield varied_record(rng, index)


def varied_jsonl(path, count: int, seed: int = 0) -> None:
    with open(path, "wb") as stream:
        batch = []
        for record in varied_records(count, seed):
            batch.append(orjson.dumps(record))
            if len(batch) == 10_000:
                stream.write(b"\n".join(batch) + b"\n")
                batch = []
        if batch:
            stream.write(b"\n".join(batch) + b"\n")


# ---- schemas of records, compiled in one compiler run ---------------------------------

_batches = itertools.count()


def compile_texts(tmp_path, texts):
    """One compiler run over several schema files ({filename: bytes}): the
    FileDescriptorSet of them all, or the compiler's message."""
    directory = tmp_path / f"batch{next(_batches)}"
    directory.mkdir()
    for name, text in texts.items():
        (directory / name).write_bytes(text)
    out = directory / "set.pb"
    proc = subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{directory}",
                           f"--python_out={directory}", f"--descriptor_set_out={out}",
                           "--include_imports", "--include_source_info", *texts],
                          capture_output=True, text=True)
    if proc.returncode:
        return proc.stderr
    return descriptor_pb2.FileDescriptorSet.FromString(out.read_bytes())


def message_class(fileset, full_name):
    """The message class of `full_name`, from a pool of its own: schemas that
    share names never meet in the default pool."""
    pool = descriptor_pool.DescriptorPool()
    for file in fileset.file:
        pool.Add(file)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(full_name))


def road_type(cls, stringify=True):
    """The MessageType that pack_record and unpack_record take, for a class."""
    holder = types.ModuleType("holder")
    setattr(holder, cls.__name__, cls)
    return commands_records.MessageType(holder, cls.__name__, keys.adaptation(cls, stringify)[0])


def round_trip(found, record):
    """The record after pack and unpack (the fill printing a warning is a failure)."""
    return unpack(found, pack(found, json.dumps(record), True)[0])


def pack(found, line, strict=False):
    """(payload, warning lines) of one JSON record, as a pack run makes them."""
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        return commands_records.pack_record(found, line, captured, strict)


def unpack(found, payload):
    return orjson.loads(commands_records.unpack_record(found, payload, MAX_RECORD_BYTES))


class JsonText:
    """Equal to a text that parses to `value`: what --stringify writes for a value
    of another kind in a text field."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return isinstance(other, str) and json.loads(other) == self.value

    def __repr__(self):
        return f"JsonText({self.value!r})"


def expected(record, descriptor):
    """What unpack gives for `record`, by the protobuf JSON mapping of the
    inferred schema: null, [] and a message left with no field are absent;
    64-bit integers are decimal text; doubles are floats; a value of another
    kind in a text field is its JSON text; every other value is itself."""
    fields = {field.json_name: field for field in descriptor.fields}
    out = {}
    for key, value in record.items():
        field = fields[key]
        if value is None or (field.is_repeated and value == []):
            continue
        if field.is_repeated:
            out[key] = [_value(item, field) for item in value]
        elif (got := _value(value, field)) != {} or field.message_type is None:
            out[key] = got
    return out


def _value(value, field):
    if field.message_type is not None:
        return expected(value, field.message_type)
    if field.type == FieldDescriptor.TYPE_STRING:
        return value if type(value) is str else JsonText(value)
    if field.type in (FieldDescriptor.TYPE_INT64, FieldDescriptor.TYPE_UINT64):
        return str(value)
    if field.type == FieldDescriptor.TYPE_DOUBLE:
        return float(value)
    return value
