"""The unit of work of this process, a pool of worker processes or a cluster:
a chunk of whole lines to pack, or of whole frames to unpack.

The chunk functions are module functions, so they pickle by reference: a
worker imports this module to run them."""
import collections
import io
from collections.abc import Sequence
from types import ModuleType
from typing import Any, NamedTuple

from kestrune_protocol_buffer_python.commands.records import (BadRecord, MessageType, filling,
                                                              message_class, pack_record,
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


# Whether chunks go through the native loops where they give what the records'
# own roads give (tests turn them off to compare the two).
native_loops = True


def _native_class(found: MessageType, road: Road | None = None) -> Any:
    """The message class for the native loop of a chunk; None when the chunk
    takes the records' own roads: loops turned off, another compressor, or a
    key adapter that changes records beyond taking nulls out. (The loop itself
    stands aside for a class or a function it does not know.)"""
    if not native_loops or not found.adapts_only_nulls:
        return None
    if road is not None and road.compressor != "zlib":
        return None
    return message_class(found)


class _Packing:
    """What the lines of a chunk gave so far."""

    def __init__(self, road: Road) -> None:
        self.road = road
        self.out: list[bytes] = []
        self.records = self.payload_bytes = self.skipped = self.lacking = 0
        self.kinds: collections.Counter[str] = collections.Counter()
        self.shown = Shown(road.warning_limit)
        self.notes: list[Note] = []
        self.failure: Note | None = None

    def line(self, found: MessageType, line: str | bytes, lineno: int, captured: io.StringIO) -> bool:
        """Packs one line along the record's own road; False when the run must stop."""
        if not line or line.isspace():
            return True
        lacks = False
        try:
            payload, warned = pack_record(found, line, captured, self.road.strict)
            reason = None
        except BadRecord as bad:
            warned, reason, lacks = bad.warned, bad.reason, bad.lacks_keys
        if warned:
            lacks = note_warnings(warned, lineno, self.shown, self.kinds, self.notes) or lacks
        self.lacking += lacks
        if reason is None:
            self.out.append(varint(len(payload)))
            self.out.append(payload)
            self.records += 1
            self.payload_bytes += len(payload)
        elif self.road.skip_bad:
            self.skipped += 1
            self.notes.append(Note(lineno, f"skipped: {reason}"))
        else:
            self.failure = Note(lineno, reason)
            return False
        return True


def pack_chunk(road: Road, blob: bytes | FileRange) -> Result:
    """Packs the JSON Lines of `blob` (bytes of whole lines, or the FileRange that
    holds them) into length-delimited payloads. Blank lines are passed over.
    Stops at the first bad record unless road.skip_bad.

    The native loop packs every line it can be certain of as the record's own
    road would; a line it leaves (a warning to print, a bad record, a key
    adapter's null) takes that road, and the loop goes on after it."""
    found = worker_message_type(road)
    data = bytes(bytes_of(blob))
    done = _Packing(road)
    captured = io.StringIO()
    native = _native_class(found, road)
    nulls = found.adapt is not None
    lines: Sequence[str | bytes] | None = None
    pos = lineno = 0  # the byte offset of the line after `lineno` line breaks
    with filling(road, captured):
        while pos < len(data):
            if native is not None:
                packed = _stream_codec().pack_lines(native, data, pos, nulls)
                if packed is None:
                    native = None
                else:
                    text, records, payload_bytes, pos, breaks = packed
                    done.out.append(text)
                    done.records += records
                    done.payload_bytes += payload_bytes
                    lineno += breaks
                    if pos >= len(data):
                        break
            if lines is None:
                lines = _lines(data)
            if native is None:
                for index in range(lineno, len(lines)):
                    if not done.line(found, lines[index], index + 1, captured):
                        break
                break
            if not done.line(found, lines[lineno], lineno + 1, captured):
                break
            lineno += 1
            end = data.find(b"\n", pos)
            pos = len(data) if end < 0 else end + 1
    return Result(b"".join(done.out), done.records, done.payload_bytes, sum(done.kinds.values()),
                  done.skipped, done.notes, done.failure, data.count(b"\n"),
                  tuple(done.kinds.items()), done.lacking)


def unpack_chunk(road: Road, blob: bytes | FileRange, first_record: int, first_offset: int) -> Result:
    """Unpacks the whole frames of `blob` (bytes that start at `first_offset` of
    the input, after `first_record` earlier frames) into JSON Lines. Stops at
    the first bad payload unless road.skip_bad. The native loop carries every
    payload it can be certain of; one it leaves takes the record's own road."""
    found = worker_message_type(road)
    data = bytes(bytes_of(blob))
    native = _native_class(found)
    # Each text joins the output at once: orjson's bytes keep the room of its
    # working buffer (about 4 KiB), several times the text.
    out = bytearray()
    records = payload_bytes = skipped = 0
    notes: list[Note] = []
    failure = None
    view = memoryview(data)
    pos, end, record = 0, len(data), first_record
    while pos < end:
        if native is not None:
            unpacked = _stream_codec().unpack_frames(native, data, pos, road.max_record_bytes)
            if unpacked is None:
                native = None
            else:
                text, count, carried, pos = unpacked
                records += count
                record += count
                payload_bytes += carried
                if pos >= end and not out and not notes:
                    # The loop took the whole chunk: its text is the output, uncopied.
                    return Result(text, records, payload_bytes, 0, skipped, notes, None)
                out += text
                if pos >= end:
                    break
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


def _stream_codec() -> ModuleType:
    # Imported at the first chunk: the launcher loads no extension module.
    from kestrune_protocol_buffer_python import _stream_codec as codec
    return codec
