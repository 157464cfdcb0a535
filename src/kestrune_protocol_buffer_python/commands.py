"""Commands over files of records: `infer` a schema from a sample, `pack` records
into payloads and `unpack` payloads into records.

`register(subparsers)` adds the three subcommands to an argparse parser, and
`main(argv)` runs them on a parser of its own.

Streams (`--delimited`) are cut into chunks of whole lines or whole frames.
Each chunk goes through `pack_chunk` or `unpack_chunk` in this process, in a
pool of worker processes (`--jobs N`) or on a Dask cluster (`--dask ADDRESS`),
and the results are written in input order, so every way of running writes the
same bytes. Only a bounded number of chunks is in flight at once, so a stream
runs in constant memory whatever its length.
"""

import argparse
import collections
import contextlib
import importlib
import io
import json
import multiprocessing
import os
import sys
import threading
import time
from concurrent import futures
from concurrent.futures.process import BrokenProcessPool
from typing import Any, NamedTuple

import orjson
from tqdm import tqdm

# The package's extension modules, imported on first use (_package): the
# launcher imports this module to offer its commands, and a module imported
# then could no longer be run as the main program (kestrune demo).
dict_bridge = infer_schema = open_payload = pack_payload = None


def _package():
    global dict_bridge, infer_schema, open_payload, pack_payload
    if pack_payload is None:
        from kestrune_protocol_buffer_python import (dict_bridge, infer_schema, open_payload,
                                                     pack_payload)

DEFAULT_MODULE = "kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2"
DEFAULT_TYPE = "TopLevelMessage"

# Input taken per chunk: about a thousand sample records as JSON Lines; some
# tens of milliseconds of work, beside which handing a chunk to a worker process
# or a cluster costs little. A chunk of payloads is a quarter of that, as much
# work again (a payload is about a third of its record's JSON).
CHUNK_BYTES = 1 << 20

# A payload is at most a few bytes longer than the message it compresses, and
# the protobuf runtime refuses messages of 2 GiB and more: a longer length
# prefix can only come from data that is not a stream of payloads.
MAX_FRAME = (1 << 31) - 1

# --compressor NAME: the zlib-compatible module that pack_payload compresses
# with (None: the interpreter's zlib, as pack_payload found it), the package
# that provides it and the extra of this package that installs it.
COMPRESSORS = {
    "zlib": None,
    "zlib-ng": ("zlib_ng.zlib_ng", "zlib-ng"),
    "isal": ("isal.isal_zlib", "isal"),
}

PACKAGE = "kestrune_protocol_buffer_python"


class CommandError(Exception):
    """A run that cannot start or go on; the text says why, in one line."""


class Stop(Exception):
    """The first bad record (or a broken stream) ends the run; the text says where."""


class Road(NamedTuple):
    """What a worker needs to carry a chunk: plain values, so it pickles anywhere."""
    module: str
    type: str
    strict: bool = False
    skip_bad: bool = False
    compressor: str = "zlib"


class FileRange(NamedTuple):
    """Bytes of a regular file that a worker process reads for itself, rather than
    receiving them through a pipe."""
    path: str
    offset: int
    length: int


class Result(NamedTuple):
    """What a chunk gave: output bytes, counts, the lines for standard error, and
    the reason the run must stop here (None when it goes on). A note or failure
    is (line, text): a line number counted from the chunk's first line (1), or
    None when the text says where it is. `lines`: the chunk's line breaks."""
    data: bytes
    records: int
    payload_bytes: int
    warnings: int
    skipped: int
    notes: list
    failure: tuple
    lines: int = 0


class _Broken(Exception):
    """A stream that breaks off after its last whole frame; the text says where."""


class _Bad(Exception):
    """A record that cannot be carried: `reason` says why, `warned` holds the lines
    its fill printed, `line` the line inside the text where JSON parsing failed."""

    def __init__(self, reason, warned=(), line=None):
        super().__init__(reason)
        self.reason = reason
        self.warned = warned
        self.line = line


# ---- the road of one record ----------------------------------------------------------


# Schema owners already resolved in this process, by (module name, type name).
_owners = {}

# Filling redirects sys.stdout, which every thread of the process shares: one
# chunk fills at a time (threads of a Dask worker included). The fill holds the
# interpreter lock throughout, so threads would not fill faster side by side.
_fill_lock = threading.Lock()


def _owner(road):
    """The object that holds the message class and the class's last name: the
    schema module, or the enclosing class for a dotted name such as
    "TopLevelMessage.RawdataMessage"."""
    _package()
    key = (road.module, road.type)
    found = _owners.get(key)
    if found is None:
        owner = pack_payload.load_proto_module(road.module)
        *path, name = road.type.split(".")
        for part in path:
            owner = getattr(owner, part)
        found = _owners[key] = (owner, name)
    return found


def _worker_owner(road):
    """_owner for a chunk: a worker of a cluster may lack the schema module."""
    try:
        return _owner(road)
    except Exception as exc:
        raise CommandError(f"a worker cannot load {road.module}.{road.type}: {_reason(exc)}") from None


def _compressor(name):
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
def _filling(road, captured):
    """Around the fills of one chunk: pack_payload compresses with the chosen
    module, and what the fill prints goes to `captured`. Both are put back after."""
    _package()
    compressor = _compressor(road.compressor)
    with _fill_lock:
        saved = pack_payload.zlib
        if compressor is not None:
            pack_payload.zlib = compressor
        try:
            # set_message_fields prints through the built-in print, which
            # writes to whatever sys.stdout is at the time of the call.
            with contextlib.redirect_stdout(captured):
                yield
        finally:
            pack_payload.zlib = saved


def _json_kind(value):
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
            int: "a number", float: "a number", type(None): "null"}[type(value)]


def _reason(exc):
    """One line for a failed record: the exception's type and text, and the note
    that names the field the fill was at."""
    if isinstance(exc, json.JSONDecodeError):
        return f"invalid JSON: {exc.msg} at column {exc.colno}"
    kind = type(exc).__qualname__
    if kind == "error":
        kind = f"{type(exc).__module__}.{kind}"      # zlib.error
    message = str(exc).replace("\n", " ")
    text = f"{kind}: {message}" if message else kind
    for note in getattr(exc, "__notes__", ()):
        text += f" ({note})"
    return text


def _take_lines(captured):
    text = captured.getvalue()
    captured.seek(0)
    captured.truncate()
    return text.splitlines()


def _pack_record(owner, name, text, captured, strict):
    """The payload of one JSON record (str or bytes) and the lines its fill
    printed. Raises _Bad for a record that cannot be packed.

    orjson parses a record in under half the time of the standard parser, and
    to the same objects, except that integers beyond 64 bits come out as floats:
    no protobuf field holds such an integer, and such a record fails either way."""
    _package()
    warned = ()
    try:
        try:
            try:
                record = orjson.loads(text)
            except ValueError:
                # The standard parser takes what orjson refuses (NaN, Infinity,
                # lone surrogates, 1e400) and words the errors as users know them.
                record = json.loads(text)
            if type(record) is not dict:
                raise _Bad(f"expected a JSON object, got {_json_kind(record)}")
            message = pack_payload.set_message_fields(
                pack_payload.create_message(owner, name), record)
        finally:
            if captured.tell():
                warned = _take_lines(captured)
        if strict and warned:
            more = f" (and {len(warned) - 1} more)" if len(warned) > 1 else ""
            raise _Bad(f"refused by --strict: {warned[0]}{more}", warned)
        return pack_payload.pack_payload(message), warned
    except _Bad as bad:
        bad.warned = warned
        raise
    except MemoryError:
        raise
    except json.JSONDecodeError as exc:
        raise _Bad(_reason(exc), warned, exc.lineno) from None
    except Exception as exc:
        raise _Bad(_reason(exc), warned) from None


def _unknown_fields_reason(owner, name, payload):
    _package()
    from google.protobuf import unknown_fields

    message = open_payload.depack_payload(owner, name, payload)
    numbers = sorted({field.field_number for field in unknown_fields.UnknownFieldSet(message)})
    where = (f"field numbers {', '.join(map(str, numbers))}" if numbers
             else "fields inside a nested message")
    return (f"the payload holds {where} that {name} does not define "
            f"(a payload of another message type, or of a newer schema?)")


def _unpack_record(owner, name, payload):
    """The JSON text (compact, UTF-8) of the message in one payload. Raises _Bad for a payload that
    does not hold a message of the type, including one with fields the type does
    not define, which the JSON form would silently drop."""
    _package()
    try:
        message = open_payload.depack_payload(owner, name, payload)
        size = message.ByteSize()
        message.DiscardUnknownFields()
        if message.ByteSize() != size:
            raise _Bad(_unknown_fields_reason(owner, name, payload))
        return orjson.dumps(dict_bridge.protobuf_to_dict(message))
    except (_Bad, MemoryError):
        raise
    except Exception as exc:
        raise _Bad(_reason(exc)) from None


# ---- chunks: the unit of work of a process, a pool or a cluster ----------------------


def _bytes_of(blob):
    """The bytes of a chunk, read from the input file for a FileRange."""
    if type(blob) is not FileRange:
        return blob
    with open(blob.path, "rb") as stream:
        data = os.pread(stream.fileno(), blob.length, blob.offset)
    if len(data) != blob.length:
        raise CommandError(f"{blob.path} changed while it was read")
    return data


def _varint(n):
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


def _frame_at(data, pos, end):
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


def pack_chunk(road, blob):
    """Packs the JSON Lines of `blob` (bytes of whole lines, or the FileRange that
    holds them) into length-delimited payloads. Blank lines are passed over.
    Stops at the first bad record unless road.skip_bad."""
    owner, name = _worker_owner(road)
    blob = _bytes_of(blob)
    out = []
    payload_bytes = warnings = skipped = 0
    notes = []
    failure = None
    captured = io.StringIO()
    try:
        # One decode for the chunk is cheaper than one per line; a chunk with bad
        # UTF-8 goes line by line, so that only its bad lines fail.
        lines = blob.decode().split("\n")
    except UnicodeDecodeError:
        lines = blob.split(b"\n")
    with _filling(road, captured):
        for lineno, line in enumerate(lines, 1):
            if not line or line.isspace():
                continue
            try:
                payload, warned = _pack_record(owner, name, line, captured, road.strict)
                reason = None
            except _Bad as bad:
                warned, reason = bad.warned, bad.reason
            if warned:
                warnings += len(warned)
                notes.extend((lineno, text) for text in warned)
            if reason is None:
                out.append(_varint(len(payload)))
                out.append(payload)
                payload_bytes += len(payload)
            elif road.skip_bad:
                skipped += 1
                notes.append((lineno, f"skipped: {reason}"))
            else:
                failure = (lineno, reason)
                break
    return Result(b"".join(out), len(out) // 2, payload_bytes, warnings, skipped, notes, failure,
                  len(lines) - 1)


def unpack_chunk(road, blob, first_record, first_offset):
    """Unpacks the whole frames of `blob` (bytes that start at `first_offset` of
    the input, after `first_record` earlier frames) into JSON Lines. Stops at
    the first bad payload unless road.skip_bad."""
    owner, name = _worker_owner(road)
    blob = _bytes_of(blob)
    # Each text joins the output at once: orjson's bytes keep the room of its
    # working buffer (about 4 KiB), several times the text.
    out = bytearray()
    records = payload_bytes = skipped = 0
    notes = []
    failure = None
    view = memoryview(blob)
    pos, end, record = 0, len(blob), first_record
    while pos < end:
        where = pos
        start, pos = _frame_at(blob, pos, end)
        record += 1
        try:
            out += _unpack_record(owner, name, view[start:pos])
            out += b"\n"
            records += 1
            payload_bytes += pos - start
        except _Bad as bad:
            place = f"record {record} at offset {first_offset + where}"
            if not road.skip_bad:
                failure = (None, f"{place}: {bad.reason}")
                break
            skipped += 1
            notes.append((None, f"{place}: skipped: {bad.reason}"))
    return Result(bytes(out), records, payload_bytes, 0, skipped, notes, failure)


# ---- reading streams in chunks ------------------------------------------------------


def _reader(source):
    # read1 returns what a pipe holds now instead of waiting for a full chunk.
    return getattr(source, "read1", source.read)


def _line_chunks(source):
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


def _line_ranges(path):
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


def _frame_chunks(source):
    """(bytes of whole frames, frames before them, their input offset) for each
    chunk of a length-delimited stream. After the last whole frame, raises
    _Broken for a stream that ends inside a frame or holds a corrupt length prefix."""
    read, limit = _reader(source), max(1, CHUNK_BYTES // 4)
    pending = bytearray()
    base = scan = frames = records = 0       # scan: end of the whole frames of pending
    broken = None
    while broken is None:
        data = read(limit)
        pending += data
        while True:
            try:
                frame = _frame_at(pending, scan, len(pending))
            except ValueError as exc:
                broken = f"offset {base + scan}: {exc} (not a length-delimited stream of payloads?)"
                break
            if frame is None:
                break
            scan = frame[1]
            frames += 1
        if scan and (scan >= limit or broken or not data):
            yield bytes(pending[:scan]), records, base
            del pending[:scan]
            base, records, scan, frames = base + scan, records + frames, 0, 0
        if not data:
            break
    if broken is None and pending:
        broken = f"offset {base}: truncated stream: " + _truncation(pending)
    if broken is not None:
        raise _Broken(broken)


def _truncation(tail):
    """Why the bytes left at the end of a stream are not a frame."""
    length = shift = 0
    for pos, byte in enumerate(tail):
        length |= (byte & 0x7F) << shift
        if byte < 0x80:
            return (f"the frame there announces {length} payload bytes "
                    f"and only {len(tail) - pos - 1} follow")
        shift += 7
    return "the stream ends inside a length prefix"


# ---- where chunks run ---------------------------------------------------------------


class _Done:
    """The result of a chunk run in this process, shaped like a future."""

    def __init__(self, fn, args):
        self._value = fn(*args)

    def result(self):
        return self._value


class _HereRunner:
    limit = 1

    def submit(self, fn, *args):
        return _Done(fn, args)

    def close(self, pending):
        pass


class _PoolRunner:
    """Worker processes of this machine, forked where the system can fork so they
    start at once with this process's modules (and schema) already loaded."""

    def __init__(self, jobs):
        methods = multiprocessing.get_all_start_methods()
        context = multiprocessing.get_context("fork" if "fork" in methods else None)
        self.executor = futures.ProcessPoolExecutor(jobs, mp_context=context)
        self.limit = 2 * jobs
        # Start the workers now, before any other thread (the progress bar's)
        # exists: forking a process with several threads is not safe.
        self.executor.submit(int).result()

    def submit(self, fn, *args):
        return self.executor.submit(fn, *args)

    def close(self, pending):
        self.executor.shutdown(wait=True, cancel_futures=True)


class _DaskRunner:
    """The workers of a Dask cluster. The chunk functions are module functions of
    this package and pickle by reference: each worker needs the package (and
    the schema module) installed."""

    def __init__(self, address):
        try:
            from distributed import Client
        except ImportError:
            raise CommandError(
                f"--dask needs the distributed package: pip install '{PACKAGE}[dask]'") from None
        try:
            self.client = Client(address, set_as_default=False)
        except (OSError, ValueError) as exc:
            raise CommandError(f"cannot reach the Dask scheduler at {address}: {exc}") from None
        threads = sum(self.client.nthreads().values())
        self.limit = 2 * max(1, threads)

    def submit(self, fn, *args):
        return self.client.submit(fn, *args, pure=False)

    def close(self, pending):
        if pending:
            self.client.cancel(list(pending))
        self.client.close()


def _runner(args):
    if args.dask:
        return _DaskRunner(args.dask)
    if args.jobs > 1:
        return _PoolRunner(args.jobs)
    return _HereRunner()


class _Totals:
    """Counts for the summary line, and the writer of every chunk's result."""

    def __init__(self, command, out, bar, started):
        self.command, self.out, self.bar, self.started = command, out, bar, started
        self.records = self.payload_bytes = self.warnings = self.skipped = 0
        self.lines = 0        # line breaks before the chunk being taken

    def where(self, line, text):
        return text if line is None else f"line {self.lines + line}: {text}"

    def say(self, line):
        if self.bar.disable:
            sys.stderr.write(line + "\n")
        else:
            self.bar.write(line, file=sys.stderr)

    def take(self, result):
        """Writes a chunk's output and lines; raises Stop when the run ends there."""
        if result.data:
            self.out.write(result.data)
        self.records += result.records
        self.payload_bytes += result.payload_bytes
        self.warnings += result.warnings
        self.skipped += result.skipped
        self.bar.update(result.records + result.skipped)
        for line, text in result.notes:
            self.say(self.where(line, text))
        if result.failure is not None:
            raise Stop(self.where(*result.failure))
        self.lines += result.lines

    def summary(self):
        seconds = time.perf_counter() - self.started
        return (f"kestrune {self.command}: {self.records} records, {self.payload_bytes} payload bytes, "
                f"{self.warnings} warnings, {self.skipped} skipped, {seconds:.2f} seconds")


def _drive(runner, task, road, chunks, totals):
    """Runs `task` over the chunks with at most runner.limit of them in flight and
    takes the results in input order."""
    pending = collections.deque()
    try:
        try:
            for chunk in chunks:
                pending.append(runner.submit(task, road, *chunk))
                if len(pending) >= runner.limit:
                    totals.take(pending.popleft().result())
        except _Broken as broken:
            # Every whole frame before the break is written (unless a bad one
            # among them stops the run first), then the break is reported.
            while pending:
                totals.take(pending.popleft().result())
            raise Stop(broken) from None
        while pending:
            totals.take(pending.popleft().result())
    finally:
        runner.close(pending)


# ---- the commands -------------------------------------------------------------------


@contextlib.contextmanager
def _input(path):
    if path == "-":
        yield sys.stdin.buffer
    else:
        try:
            stream = open(path, "rb")
        except OSError as exc:
            raise CommandError(f"cannot read {path}: {exc.strerror}") from None
        with stream:
            yield stream


@contextlib.contextmanager
def _output(path):
    if path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
    else:
        try:
            stream = open(path, "wb")
        except OSError as exc:
            raise CommandError(f"cannot write {path}: {exc.strerror}") from None
        with stream:
            yield stream


def _road(args):
    """The run's Road, with its schema and compressor checked here, before any
    input is read or output opened."""
    _package()
    road = Road(args.module, args.type, getattr(args, "strict", False), args.skip_bad,
                getattr(args, "compressor", "zlib"))
    # A schema module beside the user's files imports as it would with `python -m`.
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.append(os.getcwd())
    try:
        pack_payload.load_proto_module(road.module)
    except Exception as exc:
        raise CommandError(f"cannot load the schema module {road.module}: {_reason(exc)}") from None
    try:
        owner, name = _owner(road)
        message = pack_payload.create_message(owner, name)
    except Exception as exc:
        raise CommandError(f"{road.module} has no message type {road.type}: {_reason(exc)}") from None
    if not hasattr(message, "SerializeToString"):
        raise CommandError(f"{road.module}.{road.type} is not a message type")
    _compressor(road.compressor)
    return road


def _progress(args, command):
    """The progress bar: on standard error when it is a terminal, unless --quiet.
    It goes away at the end, leaving the summary line."""
    shown = not args.quiet and sys.stderr.isatty()
    # A terminal that reports no size (some pseudo-terminals do) would get a bar
    # that tqdm draws as nothing.
    size = os.get_terminal_size(sys.stderr.fileno()) if shown else None
    return tqdm(desc=command, unit=" records", file=sys.stderr, disable=not shown,
                mininterval=0.25, leave=False,
                ncols=None if size and size.columns else 80,
                nrows=None if size and size.lines else 24)


def _as_ranges(chunks, path):
    """The frames of a regular file as FileRanges: this process reads the file to
    find where frames end, and a worker process reads the bytes of its chunk
    again for itself, which costs less than a copy through a pipe and two
    through pickle."""
    offset = 0
    for blob, *rest in chunks:
        yield (FileRange(path, offset, len(blob)), *rest)
        offset += len(blob)


def _run_stream(args, command, task, chunks):
    started = time.perf_counter()
    road = _road(args)
    failure = None
    with _input(args.input) as source, _output(args.output) as out:
        # The pool first: its workers fork before the progress bar starts a thread.
        runner = _runner(args)
        # Worker processes of this machine read a regular input file themselves.
        if type(runner) is _PoolRunner and args.input != "-" and os.path.isfile(args.input):
            path = os.path.abspath(args.input)
            chunks = _line_ranges(path) if task is pack_chunk else _as_ranges(chunks(source), path)
        else:
            chunks = chunks(source)
        with _progress(args, command) as bar:
            totals = _Totals(command, out, bar, started)
            try:
                _drive(runner, task, road, chunks, totals)
            except Stop as stop:
                failure = f"kestrune {command}: error: {stop}"
    if failure:
        sys.stderr.write(failure + "\n")
    sys.stderr.write(totals.summary() + "\n")
    return 1 if failure else 0


def _run_one(args, command, carry):
    """pack or unpack of one record: its output is written only when it succeeds."""
    road = _road(args)
    started = time.perf_counter()
    with _input(args.input) as source:
        data = source.read()
    try:
        output, payload_bytes, warned = carry(road, data)
    except _Bad as bad:
        for line in bad.warned:
            sys.stderr.write(line + "\n")
        where = f"line {bad.line}: " if bad.line else ""
        sys.stderr.write(f"kestrune {command}: error: {where}{bad.reason}\n")
        return 1
    for line in warned:
        sys.stderr.write(line + "\n")
    with _output(args.output) as out:
        out.write(output)
    seconds = time.perf_counter() - started
    sys.stderr.write(f"kestrune {command}: 1 records, {payload_bytes} payload bytes, "
                     f"{len(warned)} warnings, 0 skipped, {seconds:.2f} seconds\n")
    return 0


def _pack_one(road, data):
    if not data.strip():
        raise _Bad("empty input: expected one JSON object")
    owner, name = _owner(road)
    captured = io.StringIO()
    try:
        with _filling(road, captured):
            payload, warned = _pack_record(owner, name, data, captured, road.strict)
    except _Bad as bad:
        if bad.reason.startswith("invalid JSON: Extra data"):
            bad.reason += " (JSON Lines need --delimited)"
        raise
    return payload, len(payload), warned


def _unpack_one(road, data):
    if not data:
        raise _Bad("empty input: expected one payload")
    owner, name = _owner(road)
    try:
        text = _unpack_record(owner, name, data)
    except _Bad as bad:
        try:
            frame = _frame_at(data, 0, len(data))
        except ValueError:
            frame = None
        if frame is not None and data[frame[0]:frame[0] + 1] == b"x":
            bad.reason += " (a length-delimited stream needs --delimited)"
        raise
    return text + b"\n", len(data), ()


def _command(command, body):
    """Runs a command body; returns its exit status, with one error line for a
    run that cannot start."""
    def run(args):
        if not getattr(args, "delimited", True):
            extra = [flag for flag, used in (("--skip-bad", args.skip_bad), ("--jobs", args.jobs != 1),
                                             ("--dask", args.dask)) if used]
            if extra:
                sys.stderr.write(f"kestrune {command}: error: {', '.join(extra)}: "
                                 "for --delimited streams only\n")
                return 2
        try:
            return body(args)
        except CommandError as exc:
            sys.stderr.write(f"kestrune {command}: error: {exc}\n")
            return 1
        except BrokenProcessPool:
            sys.stderr.write(f"kestrune {command}: error: a worker process ended abruptly "
                             "(killed, or out of memory?)\n")
            return 1
        except BrokenPipeError:
            # The reader of standard output went away: say nothing more to it.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
        except KeyboardInterrupt:
            return 130
    return run


def run_pack(args):
    if args.delimited:
        return _run_stream(args, "pack", pack_chunk, _line_chunks)
    return _run_one(args, "pack", _pack_one)


def run_unpack(args):
    if args.delimited:
        return _run_stream(args, "unpack", unpack_chunk, _frame_chunks)
    return _run_one(args, "unpack", _unpack_one)


def _proto_name(sample):
    stem, extension = os.path.splitext(sample)
    return (stem if extension.lower() == ".json" else sample) + ".proto"


def run_infer(args):
    _package()
    if args.sample == "-" and not args.output:
        raise CommandError("give -o OUT.proto when the sample comes from standard input")
    output = args.output or _proto_name(args.sample)
    with _input(args.sample) as source:
        text = source.read()
    try:
        sample = json.loads(text)
    except ValueError as exc:
        raise CommandError(f"{args.sample}: {_reason(exc)}") from None
    if type(sample) is not dict:
        raise CommandError(f"{args.sample}: expected a JSON object, got {_json_kind(sample)}")
    # json_to_proto names the package after the whole file name it is given, so
    # it writes from inside the output directory: "out/sample.proto" gets the
    # package "sample", which the compiler accepts, not "out/sample".
    directory, filename = os.path.split(output)
    try:
        with contextlib.chdir(directory or "."), contextlib.redirect_stdout(io.StringIO()):
            infer_schema.json_to_proto(sample, filename)
    except (OSError, RecursionError) as exc:
        raise CommandError(f"cannot write {output}: {_reason(exc)}") from None
    print(f"Proto file '{output}' generated successfully.")
    return 0


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def register(subparsers: "argparse._SubParsersAction[Any]") -> None:
    """Adds the subcommands infer, pack and unpack to an argparse subparsers object;
    each sets `handler`, which takes the parsed arguments and returns an exit status."""
    infer = subparsers.add_parser(
        "infer", help="write a proto3 schema inferred from a sample JSON record",
        description="Infers a proto3 schema from one sample record (a JSON object) with "
                    "json_to_proto. The package is named after the output file.")
    infer.add_argument("sample", metavar="SAMPLE.json", help="the sample record ('-': standard input)")
    infer.add_argument("-o", "--output", metavar="OUT.proto",
                       help="the schema file (default: the sample's name with .proto)")
    infer.set_defaults(handler=_command("infer", run_infer))

    for command, run, summary in (
            ("pack", run_pack, "fill messages from JSON records and write their payloads"),
            ("unpack", run_unpack, "read payloads and write their records as JSON")):
        parser = subparsers.add_parser(
            command, help=summary,
            description=f"{summary[0].upper()}{summary[1:]}. Without --delimited: one record. "
                        "With --delimited: JSON Lines on the JSON side and a stream of payloads, "
                        "each preceded by its length as a base-128 varint, on the other. "
                        "'-' stands for standard input or output. A summary line goes to "
                        "standard error at the end.")
        parser.add_argument("input", metavar="INPUT", help="input file ('-': standard input)")
        parser.add_argument("-o", "--output", metavar="OUTPUT", required=command == "pack",
                            default="-", help="output file ('-': standard output)"
                            + ("" if command == "pack" else "; the default"))
        parser.add_argument("--module", default=DEFAULT_MODULE, metavar="NAME",
                            help="compiled schema module to import (default: the shipped record schema)")
        parser.add_argument("--type", default=DEFAULT_TYPE, metavar="TYPE",
                            help="message type in it, dotted for nested types (default: TopLevelMessage)")
        parser.add_argument("--delimited", action="store_true",
                            help="a stream of records instead of one")
        parser.add_argument("--skip-bad", action="store_true",
                            help="skip bad records, reporting each, instead of stopping at the first")
        if command == "pack":
            parser.add_argument("--strict", action="store_true",
                                help="treat a record whose fill prints a warning as bad")
            parser.add_argument("--compressor", choices=list(COMPRESSORS), default="zlib",
                                help="zlib-compatible compressor (default: zlib, the payload bytes "
                                     "of pack_payload; the others need their extra installed)")
        parser.add_argument("--jobs", type=_positive, default=1, metavar="N",
                            help="worker processes (default: 1, in this process)")
        parser.add_argument("--dask", metavar="ADDRESS",
                            help="run the chunks on the Dask scheduler at ADDRESS (instead of --jobs)")
        parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
        parser.set_defaults(handler=_command(command, run))


def main(argv=None):
    """Parses `argv` (default: the command line) and runs the command; returns its
    exit status."""
    parser = argparse.ArgumentParser(
        prog="kestrune", description="Records, messages and payloads as file commands.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    register(subparsers)
    args = parser.parse_args(argv)
    return args.handler(args)


if __name__ == "__main__":
    # Through the package's module rather than this copy named __main__, so that
    # the chunk functions pickle by reference to a module that workers can import.
    from kestrune_protocol_buffer_python.commands import main as package_main
    raise SystemExit(package_main())
