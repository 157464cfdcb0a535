"""The bodies of infer, pack and unpack: each takes the parsed arguments and
returns the exit status, or raises CommandError for a run that cannot start."""
import argparse
import collections
import contextlib
import io
import json
import os
import stat
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, BinaryIO, ContextManager, Literal, NoReturn

from kestrune_protocol_buffer_python import infer_schema, pack_payload
from kestrune_protocol_buffer_python.commands import signals
from kestrune_protocol_buffer_python.commands.chunks import (Note, Result, note_warnings, pack_chunk,
                                                             unpack_chunk)
from kestrune_protocol_buffer_python.commands.compile import run_compile, schema_module
from kestrune_protocol_buffer_python.commands.output import Output, OutputFailed, refuse_input_as_output
from kestrune_protocol_buffer_python.commands.records import (BadRecord, compressor, filling,
                                                              json_kind, message_type, pack_record,
                                                              reason_of, unpack_record)
from kestrune_protocol_buffer_python.commands.road import (FIRST_WARNINGS, MAX_RECORD_BYTES,
                                                           CommandError, Road)
from kestrune_protocol_buffer_python.commands.runners import (PoolRunner, Stop, Task, Totals, drive,
                                                              runner_for)
from kestrune_protocol_buffer_python.commands.streams import (frame_at, frame_chunks, frame_ranges,
                                                              line_chunks, line_ranges)
from kestrune_protocol_buffer_python.commands.tally import UNKNOWN_KEY, Shown

if TYPE_CHECKING:
    from tqdm import tqdm

# Converts the whole input of a run of one record into its Result, or raises BadRecord.
ConvertOne = Callable[[Road, bytes], Result]


def _open(path: str, mode: Literal["rb", "wb"]) -> BinaryIO:
    try:
        return open(path, mode)
    except OSError as exc:
        raise CommandError(f"cannot {'read' if mode == 'rb' else 'write'} {path}: {exc.strerror}") from None


@contextlib.contextmanager
def _input(path: str) -> Iterator[BinaryIO]:
    if path == "-":
        yield sys.stdin.buffer
    else:
        with _open(path, "rb") as stream:
            yield stream


def _warning_limit(args: argparse.Namespace) -> int | None:
    return None if getattr(args, "warnings", "first") == "all" else FIRST_WARNINGS


def _check_paths(args: argparse.Namespace, command: str) -> None:
    """Refuses an output that would destroy the input, and payloads for a terminal."""
    refuse_input_as_output(args.input, args.output)
    if command == "pack" and args.output == "-" and sys.stdout.isatty():
        raise CommandError("standard output is a terminal, and payloads are binary: "
                           "give -o FILE or redirect standard output")


def _checked_road(args: argparse.Namespace) -> Road:
    """The run's Road, with its schema and compressor checked here, before any
    input is read or output opened."""
    # A schema module beside the user's files imports as it would with `python -m`.
    road = Road(schema_module(args.module), args.type, getattr(args, "strict", False), args.skip_bad,
                getattr(args, "compressor", "zlib"), getattr(args, "stringify", False),
                getattr(args, "max_record_bytes", MAX_RECORD_BYTES), _warning_limit(args))
    try:
        pack_payload.load_proto_module(road.module)
    except (Exception, SystemExit) as exc:
        raise CommandError(f"cannot load the schema module {road.module}: {reason_of(exc)}") from None
    try:
        found = message_type(road)
        message = pack_payload.create_message(found.holder, found.name)
    except (Exception, SystemExit) as exc:
        raise CommandError(f"{road.module} has no message type {road.type}: {reason_of(exc)}") from None
    if not hasattr(message, "SerializeToString"):
        raise CommandError(f"{road.module}.{road.type} is not a message type")
    compressor(road.compressor)
    return road


def _progress(args: argparse.Namespace, command: str,
              size: int | None) -> "ContextManager[tqdm[NoReturn] | None]":
    """The progress bar: on standard error when it is a terminal, unless --quiet;
    None otherwise. For input of a known `size` (a regular file), bytes read of
    it, with the percentage and time left. It goes away at the end, leaving the
    summary line."""
    if args.quiet or not sys.stderr.isatty():
        # tqdm takes a tenth of the start of a run to import: only for a bar shown.
        return contextlib.nullcontext()
    from tqdm import tqdm
    # A terminal that reports no size (some pseudo-terminals do) would get a bar
    # that tqdm draws as nothing.
    terminal = os.get_terminal_size(sys.stderr.fileno())
    ncols = None if terminal.columns else 80
    nrows = None if terminal.lines else 24
    if size:
        return tqdm(desc=command, total=size, unit="B", unit_scale=True, unit_divisor=1024,
                    file=sys.stderr, mininterval=0.25, leave=False,
                    ncols=ncols, nrows=nrows, postfix="0 records, 0 records/s",
                    bar_format="{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} bytes "
                               "[{elapsed}<{remaining}{postfix}]")
    return tqdm(desc=command, unit=" records", file=sys.stderr, mininterval=0.25, leave=False,
                ncols=ncols, nrows=nrows)


def _input_size(source: BinaryIO) -> int | None:
    """The bytes left to read of a regular file; None for a pipe or a terminal."""
    try:
        found = os.fstat(source.fileno())
        if not stat.S_ISREG(found.st_mode):
            return None
        return max(0, found.st_size - source.tell())
    except (OSError, ValueError):
        return None


def _ending(command: str, out: Output | None) -> str:
    """The line for an output left ending inside a record (one that could not be
    cut back), or nothing."""
    if out is None or not out.torn:
        return ""
    return f"kestrune {command}: error: {out.name} ends inside a record\n"


def _run_stream(args: argparse.Namespace, command: str, task: Task,
                read_chunks: Callable[[BinaryIO], Iterable[tuple[object, ...]]]) -> int:
    """A stream: whatever ends it, the output holds whole records, as many as
    the summary line counts."""
    totals = Totals(command, time.perf_counter(), _warning_limit(args))
    failure = None
    status = 0
    try:
        road = _checked_road(args)
        _check_paths(args, command)
        # Chunks allocate and free buffers of a few MiB each: kept for the next
        # chunk (in the workers forked below too), they cost no page faults.
        from kestrune_protocol_buffer_python._stream_codec import hold_freed_memory
        hold_freed_memory()
        with _input(args.input) as source, Output(args.output) as out:
            totals.out = out
            # The pool first: its workers fork before the progress bar starts a thread.
            runner = runner_for(args)
            chunks: Iterable[tuple[object, ...]]
            # Worker processes of this machine read a regular input file themselves.
            if type(runner) is PoolRunner and args.input != "-" and os.path.isfile(args.input):
                path = os.path.abspath(args.input)
                chunks = line_ranges(path) if task is pack_chunk else frame_ranges(source, path)
            else:
                chunks = read_chunks(source)
            with _progress(args, command, _input_size(source)) as bar:
                totals.bar = bar
                try:
                    drive(runner, task, road, chunks, totals)
                except Stop as stop:
                    failure = f"kestrune {command}: error: {stop}"
    except OutputFailed as exc:
        failure = f"kestrune {command}: error: {exc}"
    except signals.Interrupted as stop:
        totals.interrupted = True
        status = stop.status
    if failure:
        sys.stderr.write(failure + "\n")
        status = 1
    sys.stderr.write(_ending(command, totals.out) + totals.summary() + "\n")
    return status


def _run_one(args: argparse.Namespace, command: str, convert_one: ConvertOne) -> int:
    """pack or unpack of one record: its output is written only when it succeeds."""
    totals = Totals(command, time.perf_counter(), _warning_limit(args))
    try:
        road = _checked_road(args)
        _check_paths(args, command)
        with _input(args.input) as source:
            data = source.read()
        try:
            result = convert_one(road, data)
        except BadRecord as bad:
            for note in _warning_notes(bad.warned, road.warning_limit)[0]:
                totals.note(note)
            where = f"line {bad.line}: " if bad.line else ""
            sys.stderr.write(f"kestrune {command}: error: {where}{bad.reason}\n")
            return 1
        with Output(args.output) as out:
            totals.out = out
            totals.take(result)
    except OutputFailed as exc:
        sys.stderr.write(f"kestrune {command}: error: {exc}\n{totals.summary()}\n")
        return 1
    except signals.Interrupted as stop:
        totals.interrupted = True
        sys.stderr.write(_ending(command, totals.out) + totals.summary() + "\n")
        return stop.status
    sys.stderr.write(totals.summary() + "\n")
    return 0


def _warning_notes(warned: Sequence[str], limit: int | None) -> tuple[list[Note], collections.Counter[str]]:
    """The notes of one record's warnings (the first `limit` of each kind), and
    the count of each kind."""
    notes: list[Note] = []
    kinds: collections.Counter[str] = collections.Counter()
    note_warnings(warned, None, Shown(limit), kinds, notes)
    return notes, kinds


def _pack_one(road: Road, data: bytes) -> Result:
    if not data.strip():
        raise BadRecord("empty input: expected one JSON object")
    found = message_type(road)
    captured = io.StringIO()
    try:
        with filling(road, captured):
            payload, warned = pack_record(found, data, captured, road.strict)
    except BadRecord as bad:
        if bad.reason.startswith("invalid JSON: Extra data"):
            bad.reason += " (JSON Lines need --delimited)"
        raise
    notes, kinds = _warning_notes(warned, road.warning_limit)
    # The notes go out before the summary line; Totals prints them all.
    return Result(payload, 1, len(payload), len(warned), 0, notes, None, 0, tuple(kinds.items()),
                  int(kinds[UNKNOWN_KEY] > 0))


def _unpack_one(road: Road, data: bytes) -> Result:
    if not data:
        raise BadRecord("empty input: expected one payload")
    found = message_type(road)
    try:
        text = unpack_record(found, data, road.max_record_bytes)
    except BadRecord as bad:
        try:
            frame = frame_at(data, 0, len(data))
        except ValueError:
            frame = None
        if frame is not None and data[frame[0]:frame[0] + 1] == b"x":
            bad.reason += " (a length-delimited stream needs --delimited)"
        raise
    return Result(text + b"\n", 1, len(data), 0, 0, [], None)


def run_pack(args: argparse.Namespace) -> int:
    if args.delimited:
        return _run_stream(args, "pack", pack_chunk, line_chunks)
    return _run_one(args, "pack", _pack_one)


def run_unpack(args: argparse.Namespace) -> int:
    if args.delimited:
        return _run_stream(args, "unpack", unpack_chunk, frame_chunks)
    return _run_one(args, "unpack", _unpack_one)


def _proto_name(sample: str) -> str:
    stem, extension = os.path.splitext(sample)
    return (stem if extension.lower() == ".json" else sample) + ".proto"


def run_infer(args: argparse.Namespace) -> int:
    if args.delimited:
        from kestrune_protocol_buffer_python.commands.stream_infer import run_stream_infer
        with _input(args.sample) as source:
            return run_stream_infer(args, source, lambda: _progress(args, "infer", None))
    if args.sample == "-" and not args.output:
        raise CommandError("give -o OUT.proto when the sample comes from standard input")
    output: str = args.output or _proto_name(args.sample)
    refuse_input_as_output(args.sample, output)
    with _input(args.sample) as source:
        text = source.read()
    try:
        sample = json.loads(text)
    except ValueError as exc:
        raise CommandError(f"{args.sample}: {reason_of(exc)}") from None
    if type(sample) is not dict:
        raise CommandError(f"{args.sample}: expected a JSON object, got {json_kind(sample)}")
    # json_to_proto names the package after the whole file name it is given, so
    # it writes from inside the output directory: "out/sample.proto" gets the
    # package "sample", which the compiler accepts, not "out/sample".
    directory, filename = os.path.split(output)
    try:
        if directory:
            os.makedirs(directory, exist_ok=True)
        with contextlib.chdir(directory or "."), contextlib.redirect_stdout(io.StringIO()):
            infer_schema.json_to_proto(sample, filename)
    except OSError as exc:
        raise CommandError(f"cannot write {output}: {exc.strerror or reason_of(exc)}") from None
    except RecursionError as exc:
        raise CommandError(f"cannot write {output}: {reason_of(exc)}") from None
    print(f"Proto file '{output}' generated successfully.")
    sys.stdout.flush()
    return 0


# The handler of each command, by name.
HANDLERS: dict[str, Callable[[argparse.Namespace], int]] = {
    "infer": run_infer,
    "compile": run_compile,
    "pack": run_pack,
    "unpack": run_unpack,
}
