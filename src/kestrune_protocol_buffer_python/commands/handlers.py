"""The bodies of infer, pack and unpack: each takes the parsed arguments and
returns the exit status, or raises CommandError for a run that cannot start."""
import argparse
import contextlib
import io
import json
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import BinaryIO, Literal, NoReturn

from tqdm import tqdm

from kestrune_protocol_buffer_python import infer_schema, pack_payload
from kestrune_protocol_buffer_python.commands.chunks import pack_chunk, unpack_chunk
from kestrune_protocol_buffer_python.commands.compile import run_compile, schema_module
from kestrune_protocol_buffer_python.commands.records import (BadRecord, compressor, filling,
                                                              json_kind, message_type, pack_record,
                                                              reason_of, unpack_record)
from kestrune_protocol_buffer_python.commands.road import CommandError, Road
from kestrune_protocol_buffer_python.commands.runners import (PoolRunner, Stop, Task, Totals, drive,
                                                              runner_for)
from kestrune_protocol_buffer_python.commands.stream_infer import run_stream_infer
from kestrune_protocol_buffer_python.commands.streams import (as_ranges, frame_at, frame_chunks,
                                                              line_chunks, line_ranges)

# Converts the whole input of a run of one record: (output, payload bytes, warning
# lines), or raises BadRecord.
ConvertOne = Callable[[Road, bytes], tuple[bytes, int, Sequence[str]]]


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


@contextlib.contextmanager
def _output(path: str) -> Iterator[BinaryIO]:
    if path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
    else:
        with _open(path, "wb") as stream:
            yield stream


def _checked_road(args: argparse.Namespace) -> Road:
    """The run's Road, with its schema and compressor checked here, before any
    input is read or output opened."""
    # A schema module beside the user's files imports as it would with `python -m`.
    road = Road(schema_module(args.module), args.type, getattr(args, "strict", False), args.skip_bad,
                getattr(args, "compressor", "zlib"), getattr(args, "stringify", False))
    try:
        pack_payload.load_proto_module(road.module)
    except Exception as exc:
        raise CommandError(f"cannot load the schema module {road.module}: {reason_of(exc)}") from None
    try:
        found = message_type(road)
        message = pack_payload.create_message(found.holder, found.name)
    except Exception as exc:
        raise CommandError(f"{road.module} has no message type {road.type}: {reason_of(exc)}") from None
    if not hasattr(message, "SerializeToString"):
        raise CommandError(f"{road.module}.{road.type} is not a message type")
    compressor(road.compressor)
    return road


def _progress(args: argparse.Namespace, command: str) -> "tqdm[NoReturn]":
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


def _run_stream(args: argparse.Namespace, command: str, task: Task,
                read_chunks: Callable[[BinaryIO], Iterable[tuple[object, ...]]]) -> int:
    started = time.perf_counter()
    road = _checked_road(args)
    failure = None
    with _input(args.input) as source, _output(args.output) as out:
        # The pool first: its workers fork before the progress bar starts a thread.
        runner = runner_for(args)
        chunks: Iterable[tuple[object, ...]]
        # Worker processes of this machine read a regular input file themselves.
        if type(runner) is PoolRunner and args.input != "-" and os.path.isfile(args.input):
            path = os.path.abspath(args.input)
            chunks = line_ranges(path) if task is pack_chunk else as_ranges(frame_chunks(source), path)
        else:
            chunks = read_chunks(source)
        with _progress(args, command) as bar:
            totals = Totals(command, out, bar, started)
            try:
                drive(runner, task, road, chunks, totals)
            except Stop as stop:
                failure = f"kestrune {command}: error: {stop}"
    if failure:
        sys.stderr.write(failure + "\n")
    sys.stderr.write(totals.summary() + "\n")
    return 1 if failure else 0


def _run_one(args: argparse.Namespace, command: str, convert_one: ConvertOne) -> int:
    """pack or unpack of one record: its output is written only when it succeeds."""
    road = _checked_road(args)
    started = time.perf_counter()
    with _input(args.input) as source:
        data = source.read()
    try:
        output, payload_bytes, warned = convert_one(road, data)
    except BadRecord as bad:
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


def _pack_one(road: Road, data: bytes) -> tuple[bytes, int, Sequence[str]]:
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
    return payload, len(payload), warned


def _unpack_one(road: Road, data: bytes) -> tuple[bytes, int, Sequence[str]]:
    if not data:
        raise BadRecord("empty input: expected one payload")
    found = message_type(road)
    try:
        text = unpack_record(found, data)
    except BadRecord as bad:
        try:
            frame = frame_at(data, 0, len(data))
        except ValueError:
            frame = None
        if frame is not None and data[frame[0]:frame[0] + 1] == b"x":
            bad.reason += " (a length-delimited stream needs --delimited)"
        raise
    return text + b"\n", len(data), ()


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
        with _input(args.sample) as source:
            return run_stream_infer(args, source, lambda: _progress(args, "infer"))
    if args.sample == "-" and not args.output:
        raise CommandError("give -o OUT.proto when the sample comes from standard input")
    output: str = args.output or _proto_name(args.sample)
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
        with contextlib.chdir(directory or "."), contextlib.redirect_stdout(io.StringIO()):
            infer_schema.json_to_proto(sample, filename)
    except (OSError, RecursionError) as exc:
        raise CommandError(f"cannot write {output}: {reason_of(exc)}") from None
    print(f"Proto file '{output}' generated successfully.")
    return 0


# The handler of each command, by name.
HANDLERS: dict[str, Callable[[argparse.Namespace], int]] = {
    "infer": run_infer,
    "compile": run_compile,
    "pack": run_pack,
    "unpack": run_unpack,
}
