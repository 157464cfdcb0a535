"""The unit of work of this process, a pool of worker processes or a cluster:
a chunk of whole lines to pack, or of whole frames to unpack.

The chunk functions are module functions, so they pickle by reference: a
worker imports this module to run them."""
import collections
import io
from collections.abc import Sequence
from typing import NamedTuple

from kestrune_protocol_buffer_python.commands.records import (BadRecord, filling, pack_record,
                                                              unpack_record, worker_message_type)
from kestrune_protocol_buffer_python.commands.road import Road
from kestrune_protocol_buffer_python.commands.streams import FileRange, bytes_of, frame_at, varint
from kestrune_protocol_buffer_python.commands.tally import UNKNOWN_KEY, Shown, warning_kind


class Note(NamedTuple):
    """A line for standard error. `line`: where it is, counted from the chunk's
    first line (1), or None when the text says where it is; `kind`: the kind of
    a warning, None for any other line."""
    line: int | None
    text: str
    kind: str | None = None


class Result(NamedTuple):
    """What a chunk gave: output bytes, counts, the lines for standard error, and
    the reason the run must stop here (None when it goes on). `lines`: the
    chunk's line breaks. Of its warnings, `notes` holds the first
    road.warning_limit of each kind (a run prints no more), `kinds` counts all
    by kind, `lacking` counts the records with keys their type lacks."""
    data: bytes
    records: int
    payload_bytes: int
    warnings: int
    skipped: int
    notes: list[Note]
    failure: Note | None
    lines: int = 0
    kinds: tuple[tuple[str, int], ...] = ()
    lacking: int = 0


def note_warnings(warned: Sequence[str], line: int | None, shown: Shown,
                  kinds: "collections.Counter[str]", notes: list[Note]) -> bool:
    """Counts one record's warnings by kind in `kinds` and notes those `shown`
    lets through; returns whether one is of a key the type lacks."""
    lacks = False
    for text in warned:
        kind = warning_kind(text)
        kinds[kind] += 1
        lacks = lacks or kind == UNKNOWN_KEY
        if shown.take(kind):
            notes.append(Note(line, text, kind))
    return lacks


def _lines(data: bytes) -> Sequence[str | bytes]:
    # One decode for the chunk is cheaper than one per line; a chunk with bad
    # UTF-8 goes line by line, so that only its bad lines fail.
    try:
        return data.decode().split("\n")
    except UnicodeDecodeError:
        return data.split(b"\n")


def pack_chunk(road: Road, blob: bytes | FileRange) -> Result:
    """Packs the JSON Lines of `blob` (bytes of whole lines, or the FileRange that
    holds them) into length-delimited payloads. Blank lines are passed over.
    Stops at the first bad record unless road.skip_bad."""
    found = worker_message_type(road)
    data = bytes_of(blob)
    out = []
    payload_bytes = skipped = lacking = 0
    kinds: collections.Counter[str] = collections.Counter()
    shown = Shown(road.warning_limit)
    notes: list[Note] = []
    failure = None
    captured = io.StringIO()
    lines = _lines(data)
    with filling(road, captured):
        for lineno, line in enumerate(lines, 1):
            if not line or line.isspace():
                continue
            lacks = False
            try:
                payload, warned = pack_record(found, line, captured, road.strict)
                reason = None
            except BadRecord as bad:
                warned, reason, lacks = bad.warned, bad.reason, bad.lacks_keys
            if warned:
                lacks = note_warnings(warned, lineno, shown, kinds, notes) or lacks
            lacking += lacks
            if reason is None:
                out.append(varint(len(payload)))
                out.append(payload)
                payload_bytes += len(payload)
            elif road.skip_bad:
                skipped += 1
                notes.append(Note(lineno, f"skipped: {reason}"))
            else:
                failure = Note(lineno, reason)
                break
    return Result(b"".join(out), len(out) // 2, payload_bytes, sum(kinds.values()), skipped, notes,
                  failure, len(lines) - 1, tuple(kinds.items()), lacking)


def unpack_chunk(road: Road, blob: bytes | FileRange, first_record: int, first_offset: int) -> Result:
    """Unpacks the whole frames of `blob` (bytes that start at `first_offset` of
    the input, after `first_record` earlier frames) into JSON Lines. Stops at
    the first bad payload unless road.skip_bad."""
    found = worker_message_type(road)
    data = bytes_of(blob)
    # Each text joins the output at once: orjson's bytes keep the room of its
    # working buffer (about 4 KiB), several times the text.
    out = bytearray()
    records = payload_bytes = skipped = 0
    notes: list[Note] = []
    failure = None
    view = memoryview(data)
    pos, end, record = 0, len(data), first_record
    while pos < end:
        where = pos
        frame = frame_at(data, pos, end)
        # A chunk holds whole frames only.
        assert frame is not None
        start, pos = frame
        record += 1
        try:
            out += unpack_record(found, view[start:pos], road.max_record_bytes)
            out += b"\n"
            records += 1
            payload_bytes += pos - start
        except BadRecord as bad:
            place = f"record {record} at offset {first_offset + where}"
            if not road.skip_bad:
                failure = Note(None, f"{place}: {bad.reason}")
                break
            skipped += 1
            notes.append(Note(None, f"{place}: skipped: {bad.reason}"))
    return Result(bytes(out), records, payload_bytes, 0, skipped, notes, failure)
