"""Streams and their framing: the length prefix of a payload, and the chunks of
whole lines or whole frames that a run cuts its input into."""
import os
from collections.abc import Callable, Iterator
from typing import BinaryIO, NamedTuple

from kestrune_protocol_buffer_python.commands.road import CommandError

# Input taken per chunk: about a thousand sample records as JSON Lines; some
# tens of milliseconds of work, beside which handing a chunk to a worker process
# or a cluster costs little. A chunk of payloads is a quarter of that, as much
# work again (a payload is about a third of its record's JSON).
CHUNK_BYTES = 1 << 20

# A payload is at most a few bytes longer than the message it compresses, and
# the protobuf runtime refuses messages of 2 GiB and more: a longer length
# prefix can only come from data that is not a stream of payloads.
MAX_FRAME = (1 << 31) - 1


class FileRange(NamedTuple):
    """Bytes of a regular file that a worker process reads for itself, rather than
    receiving them through a pipe."""
    path: str
    offset: int
    length: int


class BrokenStream(Exception):
    """A stream that breaks off after its last whole frame; the text says where."""


def bytes_of(blob: bytes | FileRange) -> bytes:
    """The bytes of a chunk, read from the input file for a FileRange."""
    if not isinstance(blob, FileRange):
        return blob
    with open(blob.path, "rb") as stream:
        data = os.pread(stream.fileno(), blob.length, blob.offset)
    if len(data) != blob.length:
        raise CommandError(f"{blob.path} changed while it was read")
    return data


def blob_size(blob: object) -> int:
    """The input bytes of a chunk's bytes or FileRange."""
    if isinstance(blob, FileRange):
        return blob.length
    return len(blob) if isinstance(blob, (bytes, bytearray)) else 0


def varint(n: int) -> bytes:
    """`n` as a base-128 varint, seven bits a byte, least significant group first."""
    if n < 0x80:
        return bytes((n,))
    if n < 0x4000:
        return bytes((n & 0x7F | 0x80, n >> 7))
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def frame_at(data: bytes | bytearray, pos: int, end: int) -> tuple[int, int] | None:
    """(payload start, payload end) of the frame whose length prefix starts at
    `pos`; None when data[pos:end] does not hold all of it yet. Raises ValueError
    for a prefix longer than ten bytes or above MAX_FRAME."""
    length = shift = 0
    while True:
        if pos >= end:
            return None
        byte = data[pos]
        pos += 1
        length |= (byte & 0x7F) << shift
        if byte < 0x80:
            break
        shift += 7
        if shift >= 70:
            raise ValueError("corrupt length prefix")
    if length > MAX_FRAME:
        raise ValueError(f"corrupt length prefix ({length} bytes is more than any payload)")
    if pos + length > end:
        return None
    return pos, pos + length


def _reader(source: BinaryIO) -> Callable[[int], bytes]:
    # read1 returns what a pipe holds now instead of waiting for a full chunk.
    read: Callable[[int], bytes] = getattr(source, "read1", source.read)
    return read


def line_chunks(source: BinaryIO) -> Iterator[tuple[bytes]]:
    """(bytes of whole lines,) for each chunk of input."""
    read = _reader(source)
    parts = []
    while True:
        data = read(CHUNK_BYTES)
        if not data:
            break
        cut = data.rfind(b"\n") + 1
        if cut == 0:                  # a line longer than a chunk goes on
            parts.append(data)
            continue
        parts.append(data[:cut])
        yield (b"".join(parts),)
        parts = [data[cut:]] if cut < len(data) else []
    if parts:
        yield (b"".join(parts),)


def line_ranges(path: str) -> Iterator[tuple[FileRange]]:
    """(FileRange of whole lines,) for each chunk of a regular file, about
    CHUNK_BYTES each. Only the bytes around each chunk's end are read here: the
    worker processes read the rest."""
    with open(path, "rb") as stream:
        fd = stream.fileno()
        size = os.fstat(fd).st_size
        offset = 0
        while offset < size:
            end = offset + CHUNK_BYTES
            while end < size:
                window = os.pread(fd, 4096, end - 1)
                cut = window.find(b"\n")
                if cut >= 0:
                    end += cut           # just after the first line break from end - 1
                    break
                if not window:           # the file got shorter meanwhile
                    end = size
                    break
                end += len(window)
            end = min(end, size)
            yield (FileRange(path, offset, end - offset),)
            offset = end


def frame_chunks(source: BinaryIO) -> Iterator[tuple[bytes, int, int]]:
    """(bytes of whole frames, frames before them, their input offset) for each
    chunk of a length-delimited stream. After the last whole frame, raises
    BrokenStream for a stream that ends inside a frame or holds a corrupt length prefix."""
    for pending, length, records, offset in _frame_spans(source):
        with memoryview(pending) as view:
            yield bytes(view[:length]), records, offset


def frame_ranges(source: BinaryIO, path: str) -> Iterator[tuple[FileRange, int, int]]:
    """The chunks of frame_chunks for `source`, the regular file at `path` read
    from its start, as FileRanges: this process reads the file to find where
    frames end, and a worker process reads the bytes of its chunk again for
    itself, which costs less than a copy through a pipe and two through pickle."""
    for _, length, records, offset in _frame_spans(source):
        yield FileRange(path, offset, length), records, offset


def _frame_spans(source: BinaryIO) -> Iterator[tuple[bytearray, int, int, int]]:
    """(buffer, length, frames before, input offset) for each chunk of whole
    frames of `source`: the chunk is the buffer's first `length` bytes until the
    next step. Raises BrokenStream as frame_chunks does."""
    # The whole frames are passed over natively; frame_at then reads the frame
    # after them, which is not whole or not a frame.
    from kestrune_protocol_buffer_python._stream_codec import scan_frames
    read, limit = _reader(source), max(1, CHUNK_BYTES // 4)
    pending = bytearray()
    base = scan = frames = records = 0       # scan: end of the whole frames of pending
    broken = None
    while broken is None:
        data = read(limit)
        pending += data
        while True:
            scan, whole = scan_frames(pending, scan)
            frames += whole
            try:
                frame = frame_at(pending, scan, len(pending))
            except ValueError as exc:
                broken = f"offset {base + scan}: {exc} (not a length-delimited stream of payloads?)"
                break
            if frame is None:
                break
            scan = frame[1]
            frames += 1
        if scan and (scan >= limit or broken or not data):
            yield pending, scan, records, base
            del pending[:scan]
            base, records, scan, frames = base + scan, records + frames, 0, 0
        if not data:
            break
    if broken is None and pending:
        broken = f"offset {base}: truncated stream: " + _truncation(pending)
    if broken is not None:
        raise BrokenStream(broken)


def _truncation(tail: bytearray) -> str:
    """Why the bytes left at the end of a stream are not a frame."""
    length = shift = 0
    for pos, byte in enumerate(tail):
        length |= (byte & 0x7F) << shift
        if byte < 0x80:
            return (f"the frame there announces {length} payload bytes "
                    f"and only {len(tail) - pos - 1} follow")
        shift += 7
    return "the stream ends inside a length prefix"
