"""Where chunks run (this process, a pool of worker processes, a Dask cluster),
and the loop that keeps a bounded number of them in flight and takes their
results in input order."""
import argparse
import collections
import multiprocessing
import sys
import time
from collections.abc import Callable, Collection, Iterable
from concurrent import futures
from typing import BinaryIO, NoReturn, Protocol

from tqdm import tqdm

from kestrune_protocol_buffer_python.commands.chunks import Result
from kestrune_protocol_buffer_python.commands.road import PACKAGE, CommandError, Road
from kestrune_protocol_buffer_python.commands.streams import BrokenStream

# A chunk function (pack_chunk, unpack_chunk) and the arguments of one chunk
# after the Road.
Task = Callable[..., Result]


class Stop(Exception):
    """The first bad record (or a broken stream) ends the run; the text says where."""


class Pending(Protocol):
    """A chunk handed to a runner: its Result once it has run."""

    def result(self) -> Result: ...


class Runner(Protocol):
    """Runs chunks; `limit`: how many may be in flight at once."""
    limit: int

    def submit(self, task: Task, *args: object) -> Pending: ...

    def close(self, pending: Collection[Pending]) -> None: ...


class _Done:
    """The result of a chunk run in this process, shaped like a future."""

    def __init__(self, task: Task, args: tuple[object, ...]) -> None:
        self._value = task(*args)

    def result(self) -> Result:
        return self._value


class HereRunner:
    limit = 1

    def submit(self, task: Task, *args: object) -> Pending:
        return _Done(task, args)

    def close(self, pending: Collection[Pending]) -> None:
        pass


class PoolRunner:
    """Worker processes of this machine, forked where the system can fork so they
    start at once with this process's modules (and schema) already loaded."""

    def __init__(self, jobs: int) -> None:
        methods = multiprocessing.get_all_start_methods()
        context = multiprocessing.get_context("fork" if "fork" in methods else None)
        self.executor = futures.ProcessPoolExecutor(jobs, mp_context=context)
        self.limit = 2 * jobs
        # Start the workers now, before any other thread (the progress bar's)
        # exists: forking a process with several threads is not safe.
        self.executor.submit(int).result()

    def submit(self, task: Task, *args: object) -> Pending:
        return self.executor.submit(task, *args)

    def close(self, pending: Collection[Pending]) -> None:
        self.executor.shutdown(wait=True, cancel_futures=True)


class DaskRunner:
    """The workers of a Dask cluster. The chunk functions are module functions of
    this package and pickle by reference: each worker needs the package (and
    the schema module) installed."""

    def __init__(self, address: str) -> None:
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

    def submit(self, task: Task, *args: object) -> Pending:
        return self.client.submit(task, *args, pure=False)

    def close(self, pending: Collection[Pending]) -> None:
        if pending:
            self.client.cancel(list(pending))
        self.client.close()


def runner_for(args: argparse.Namespace) -> Runner:
    if args.dask:
        return DaskRunner(args.dask)
    if args.jobs > 1:
        return PoolRunner(args.jobs)
    return HereRunner()


class Totals:
    """Counts for the summary line, and the writer of every chunk's result."""

    def __init__(self, command: str, out: BinaryIO, bar: "tqdm[NoReturn]", started: float) -> None:
        self.command, self.out, self.bar, self.started = command, out, bar, started
        self.records = self.payload_bytes = self.warnings = self.skipped = 0
        self.lines = 0        # line breaks before the chunk being taken

    def where(self, line: int | None, text: str) -> str:
        return text if line is None else f"line {self.lines + line}: {text}"

    def say(self, line: str) -> None:
        if self.bar.disable:
            sys.stderr.write(line + "\n")
        else:
            self.bar.write(line, file=sys.stderr)

    def take(self, result: Result) -> None:
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

    def summary(self) -> str:
        seconds = time.perf_counter() - self.started
        return (f"kestrune {self.command}: {self.records} records, {self.payload_bytes} payload bytes, "
                f"{self.warnings} warnings, {self.skipped} skipped, {seconds:.2f} seconds")


def drive(runner: Runner, task: Task, road: Road, chunks: Iterable[tuple[object, ...]],
          totals: Totals) -> None:
    """Runs `task` over the chunks with at most runner.limit of them in flight and
    takes the results in input order."""
    pending: collections.deque[Pending] = collections.deque()
    try:
        try:
            for chunk in chunks:
                pending.append(runner.submit(task, road, *chunk))
                if len(pending) >= runner.limit:
                    totals.take(pending.popleft().result())
        except BrokenStream as broken:
            # Every whole frame before the break is written (unless a bad one
            # among them stops the run first), then the break is reported.
            while pending:
                totals.take(pending.popleft().result())
            raise Stop(broken) from None
        while pending:
            totals.take(pending.popleft().result())
    finally:
        runner.close(pending)
