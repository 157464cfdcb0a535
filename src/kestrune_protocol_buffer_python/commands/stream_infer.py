"""`infer --delimited`: one schema for every record of a JSON Lines stream, new
(`-o OUT.proto`) or brought into an existing schema (`--update EXISTING.proto`).

The stream is read in chunks of whole lines, in this process or in worker
processes (`--jobs N`); each chunk's Shape merges into the stream's in input
order, so the keys keep their first-seen order. The schema text is compiled
before it is written; the file is replaced whole, and only once it compiled."""
import argparse
import collections
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, BinaryIO, ContextManager, NoReturn

from kestrune_protocol_buffer_python.commands.inference import Observed, Shape, Slot, infer_chunk, merge
from kestrune_protocol_buffer_python.commands.naming import package_name
from kestrune_protocol_buffer_python.commands.proto_text import ROOT, Report, build_message, schema_text
from kestrune_protocol_buffer_python.commands.protoc import check_schema, descriptor_set
from kestrune_protocol_buffer_python.commands.road import CommandError
from kestrune_protocol_buffer_python.commands.runners import PoolRunner
from kestrune_protocol_buffer_python.commands.schema_update import check_kept, update_schema
from kestrune_protocol_buffer_python.commands.streams import FileRange, line_chunks, line_ranges

if TYPE_CHECKING:
    from concurrent.futures import Future

    from tqdm import tqdm

# The progress bar of the run, None where none is shown.
Progress = Callable[[], ContextManager["tqdm[NoReturn] | None"]]

_STREAM_SUFFIXES = (".jsonl", ".ndjson", ".json", ".txt")


def output_path(args: argparse.Namespace) -> str:
    given: str | None = args.output or args.update
    if given:
        return given
    if args.sample == "-":
        raise CommandError("give -o OUT.proto when the records come from standard input")
    sample: str = args.sample
    stem, extension = os.path.splitext(sample)
    return (stem if extension.lower() in _STREAM_SUFFIXES else sample) + ".proto"


def _blobs(args: argparse.Namespace, source: BinaryIO,
           pool: PoolRunner | None) -> Iterator[bytes | FileRange]:
    # Worker processes read the chunks of a regular file themselves.
    if pool is not None and args.sample != "-" and os.path.isfile(args.sample):
        return (blob for (blob,) in line_ranges(os.path.abspath(args.sample)))
    return (blob for (blob,) in line_chunks(source))


def read_records(args: argparse.Namespace, source: BinaryIO, progress: Progress) -> tuple[Shape, int]:
    """The Shape of every record of the stream, and how many there are. Raises
    CommandError at the first line that is not a JSON object."""
    name = "standard input" if args.sample == "-" else args.sample
    total = Shape()
    records = lines = 0
    pool = PoolRunner(args.jobs) if args.jobs > 1 else None
    pending: collections.deque[Future[Observed]] = collections.deque()

    def take(observed: Observed) -> None:
        nonlocal records, lines
        if observed.failure is not None:
            line, reason = observed.failure
            raise CommandError(f"{name}: line {lines + line}: {reason}")
        merge(total, observed.shape)
        records += observed.records
        lines += observed.lines
        if bar is not None:
            bar.update(observed.records)

    try:
        with progress() as bar:
            for blob in _blobs(args, source, pool):
                if pool is None:
                    take(infer_chunk(blob))
                    continue
                pending.append(pool.executor.submit(infer_chunk, blob))
                if len(pending) >= pool.limit:
                    take(pending.popleft().result())
            while pending:
                take(pending.popleft().result())
    finally:
        if pool is not None:
            pool.close(())
    return total, records


def count_keys(shape: Shape) -> int:
    """The keys of the records, counted once per place (a key of nested objects
    once under each key that holds them)."""
    return sum(1 + _keys_below(slot) for slot in shape.slots.values())


def _keys_below(slot: Slot | None) -> int:
    if slot is None:
        return 0
    return (0 if slot.shape is None else count_keys(slot.shape)) + _keys_below(slot.items)


def write_whole(path: str, data: bytes) -> None:
    """Replaces the file at `path` by one holding `data`, or leaves it as it was;
    its directory is made when missing."""
    directory, filename = os.path.split(os.path.abspath(path))
    try:
        mode = os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    try:
        os.makedirs(directory, exist_ok=True)
        handle, temporary = tempfile.mkstemp(dir=directory, prefix=f".{filename}.", suffix=".tmp")
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror}") from None
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except OSError as exc:
        os.unlink(temporary)
        raise CommandError(f"cannot write {path}: {exc.strerror}") from None


def _say(report: Report) -> None:
    for problem in report.problems:
        sys.stderr.write(f"kestrune infer: {problem.path}: {problem.text}\n")
    if report.conflicts:
        sys.stderr.write("kestrune infer: pack --stringify writes the values of other kinds of such "
                         "keys as their JSON text\n")


def run_stream_infer(args: argparse.Namespace, source: BinaryIO, progress: Progress) -> int:
    started = time.perf_counter()
    output = output_path(args)
    filename = os.path.basename(output)
    include: list[str] = []
    existing = None
    if args.update:
        # The existing schema is read first: a run that cannot update it stops
        # before the records are read.
        existing = descriptor_set(args.update)
        with open(args.update, "rb") as stream:
            old_text = stream.read()
        include = [os.path.dirname(os.path.abspath(args.update))]
        filename = os.path.basename(args.update)
    shape, records = read_records(args, source, progress)
    if existing is not None:
        updated = update_schema(existing, filename, old_text, shape, args.force)
        text, report = updated.text, updated.report
    else:
        report = Report()
        root = build_message(ROOT, shape, "", report)
        text = schema_text(package_name(os.path.splitext(filename)[0]), root).encode()
    _say(report)
    if report.refused:
        what = f"cannot update {args.update}" if args.update else "no field can keep these keys"
        raise CommandError(f"{what}: {'; '.join(report.refused)}")
    if args.strict and report.conflicts:
        raise CommandError("--strict: keys of conflicting kinds: "
                           + "; ".join(f"{p.path} ({p.text})" for p in report.conflicts))
    descriptors = check_schema(text, filename, include)
    if existing is not None:
        check_kept(existing, descriptors, filename, updated.retyped)
    write_whole(output, text)
    if existing is not None:
        for change in updated.changes or ["no changes"]:
            print(change)
        print(f"Proto file '{output}' updated." if output == args.update
              else f"Proto file '{output}' written: '{args.update}' updated.")
    else:
        print(f"Proto file '{output}' generated successfully.")
    seconds = time.perf_counter() - started
    sys.stderr.write(f"kestrune infer: {records} records, {count_keys(shape)} keys, "
                     f"{len(report.conflicts)} conflicts, {seconds:.2f} seconds\n")
    return 0
