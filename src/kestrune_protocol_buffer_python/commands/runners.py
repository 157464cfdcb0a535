"""Where chunks run (this process, a pool of worker processes, a Dask cluster),
and the loop that keeps a bounded number of them in flight and takes their
results in input order."""
import argparse
import collections
import mmap
import os
import sys
import time
from collections.abc import Callable, Collection, Iterable
from typing import TYPE_CHECKING, NamedTuple, NoReturn, Protocol

from kestrune_protocol_buffer_python.commands import signals
from kestrune_protocol_buffer_python.commands.chunks import Note, Result
from kestrune_protocol_buffer_python.commands.output import Output
from kestrune_protocol_buffer_python.commands.road import PACKAGE, WORKER_ENDED, CommandError, Road
from kestrune_protocol_buffer_python.commands.streams import BrokenStream, blob_size
from kestrune_protocol_buffer_python.commands.tally import Tally

if TYPE_CHECKING:
    from concurrent import futures

    from tqdm import tqdm

# A chunk function (pack_chunk, unpack_chunk) and the arguments of one chunk
# after the Road.
Task = Callable[..., Result]


class Stop(Exception):
    """The first bad record (or a broken stream, or a worker process that ended)
    ends the run; the text says where."""


class Pending(Protocol):
    """A chunk handed to a runner: its Result once it has run."""

    def result(self) -> Result: ...


class Runner(Protocol):
    """Runs chunks; `limit`: how many may be in flight at once. A chunk's output
    may lie in memory the runner uses again: it holds until the next `submit`.
    `close` ends the runner's work: `pending`, the chunks whose results the run
    did not take (it stopped early), are dropped."""
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


# A worker process hands back a chunk's output of up to SLOT_BYTES in memory it
# shares with this process (one slot per chunk in flight), not through the
# result pipe: that would cost a copy into the pickle, two through the pipe and
# one out of it, for each byte of output. Anonymous shared memory ends with the
# last process of the run, however the run ends.
SLOT_BYTES = 4 << 20

# In a worker process: the slots it shares with its parent, None elsewhere.
_slots: mmap.mmap | None = None


class _InSlot(NamedTuple):
    """A chunk's result whose data, `size` bytes, lies in the chunk's slot."""
    size: int
    result: Result


def _worker_start(parent: int, slots: mmap.mmap | None) -> None:
    global _slots
    _slots = slots
    signals.worker_start(parent)


def _run_in_slot(slot: int, task: Task, *args: object) -> Result | _InSlot:
    """Runs a chunk in a worker process; its data goes into slot `slot` when it fits."""
    result = task(*args)
    size = len(result.data)
    if _slots is None or size > SLOT_BYTES:
        return result
    start = slot * SLOT_BYTES
    _slots[start:start + size] = result.data
    return _InSlot(size, result._replace(data=b""))


class _Slotted:
    """A chunk in flight in a worker process, with the slot it may answer in
    (None: through the pipe). The slot is free again once the result is taken:
    the run writes the data out before it submits another chunk. A worker that
    ended abruptly stops the run there, after the whole records before it."""

    def __init__(self, runner: "PoolRunner", future: "futures.Future[Result | _InSlot]",
                 slot: int | None) -> None:
        self.runner, self.future, self.slot = runner, future, slot
        self.output: memoryview | None = None

    def result(self) -> Result:
        try:
            answer = self.future.result()
        except self.runner.broken:
            raise Stop(WORKER_ENDED) from None
        if self.slot is None:
            assert not isinstance(answer, _InSlot)
            return answer
        self.runner.free.append(self.slot)
        if isinstance(answer, _InSlot):
            start = self.slot * SLOT_BYTES
            self.output = self.runner.view[start:start + answer.size]
            return answer.result
        return answer


def _output(chunk: Pending, result: Result) -> bytes | memoryview:
    """The output of a chunk whose result is taken: in its slot, or in the result."""
    if isinstance(chunk, _Slotted) and chunk.output is not None:
        return chunk.output
    return result.data


class PoolRunner:
    """Worker processes of this machine, forked where the system can fork so they
    start at once with this process's modules (and schema) already loaded.
    They leave the stopping signals to this process, which ends them."""

    def __init__(self, jobs: int) -> None:
        # Imported here: a run in this process alone need not pay for them.
        import multiprocessing
        from concurrent import futures
        from concurrent.futures.process import BrokenProcessPool
        self.broken = BrokenProcessPool
        methods = multiprocessing.get_all_start_methods()
        forked = "fork" in methods
        context = multiprocessing.get_context("fork" if forked else None)
        self.limit = 2 * jobs
        # Forked workers share the slots; others answer through the pipe, as
        # all do where the system will not map the slots.
        slots = None
        if forked:
            try:
                slots = mmap.mmap(-1, self.limit * SLOT_BYTES)
            except OSError:
                pass
        self.view = memoryview(slots) if slots is not None else memoryview(b"")
        self.free = collections.deque(range(self.limit)) if slots is not None else collections.deque()
        signals.prepare_workers()
        self.executor = futures.ProcessPoolExecutor(
            jobs, mp_context=context, initializer=_worker_start, initargs=(os.getpid(), slots))
        try:
            # Start the workers now, before any other thread (the progress
            # bar's) exists: forking a process with several threads is not
            # safe. A signal that comes meanwhile waits until each worker has
            # set what the signals do there, then stops the run here.
            with signals.blocked():
                started = self.executor.submit(int)
            started.result()
        except BaseException:
            self.close(())
            raise

    def submit(self, task: Task, *args: object) -> Pending:
        slot = self.free.popleft() if self.free else None
        try:
            if slot is None:
                return _Slotted(self, self.executor.submit(task, *args), None)
            return _Slotted(self, self.executor.submit(_run_in_slot, slot, task, *args), slot)
        except self.broken:
            raise Stop(WORKER_ENDED) from None

    def close(self, pending: Collection[Pending]) -> None:
        # Chunks not yet started are dropped; each worker finishes the one at
        # hand, then ends. (A worker killed while it sends its result would
        # leave the pool's result pipe holding part of a message, which the
        # pool would wait for the rest of forever.)
        #
        # A pool that lost a worker ends the others with SIGTERM, which ours
        # ignore, then waits for them: one may wait forever for the lock of
        # the task queue that the lost worker held. They are killed here.
        if getattr(self.executor, "_broken", False):
            for worker in list(getattr(self.executor, "_processes", {}).values()):
                worker.kill()
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
        # The chunks not taken are cancelled while the client can still say so;
        # a client that lost its scheduler has nothing left to cancel (the
        # scheduler drops the tasks of a client that is gone).
        if pending and self.client.status == "running":
            try:
                self.client.cancel(list(pending))
            except Exception:  # the connection ended meanwhile: as above
                pass
        self.client.close()


def runner_for(args: argparse.Namespace) -> Runner:
    if args.dask:
        return DaskRunner(args.dask)
    if args.jobs > 1:
        return PoolRunner(args.jobs)
    return HereRunner()


class Totals:
    """Counts for the summary line, the lines for standard error (of warnings,
    the first few of each kind), and the writer of every chunk's result to
    `out`. With a progress bar of input bytes (its total set), `take` moves
    it by the bytes of each chunk taken."""

    def __init__(self, command: str, started: float, warning_limit: int | None) -> None:
        self.command, self.started = command, started
        self.out: Output | None = None
        self.bar: "tqdm[NoReturn] | None" = None
        self.records = self.payload_bytes = self.skipped = 0
        self.tally = Tally(warning_limit)
        self.lines = 0        # line breaks before the chunk being taken
        self.interrupted = False

    def where(self, line: int | None, text: str) -> str:
        return text if line is None else f"line {self.lines + line}: {text}"

    def say(self, line: str) -> None:
        if self.bar is None:
            sys.stderr.write(line + "\n")
        else:
            self.bar.write(line, file=sys.stderr)

    def note(self, note: Note) -> None:
        """Prints a note, unless it is a warning of a kind printed often enough."""
        if note.kind is None or self.tally.take(note.kind):
            self.say(self.where(note.line, note.text))

    def take(self, result: Result, size: int = 0, output: bytes | memoryview | None = None) -> None:
        """Writes a chunk's output and lines; raises Stop when the run ends there.
        `size`: the input bytes of the chunk; `output`: its output when it is not
        result.data."""
        data = result.data if output is None else output
        # A signal that comes during the write stops the run after it, with the
        # chunk's records counted.
        with signals.held():
            if data:
                assert self.out is not None
                self.out.write(data)
            self.records += result.records
            self.payload_bytes += result.payload_bytes
            self.skipped += result.skipped
            self.tally.count(result.kinds, result.lacking)
        if self.bar is not None:
            self._progress(result.records + result.skipped, size)
        for note in result.notes:
            self.note(note)
        if result.failure is not None:
            raise Stop(self.where(result.failure.line, result.failure.text))
        self.lines += result.lines

    def _progress(self, records: int, size: int) -> None:
        assert self.bar is not None
        if not self.bar.total:
            self.bar.update(records)
            return
        seconds = time.perf_counter() - self.started
        done = self.records + self.skipped
        self.bar.set_postfix_str(f"{done} records, {done / seconds if seconds else 0:,.0f} records/s",
                                 refresh=False)
        self.bar.update(size)

    def summary(self) -> str:
        """The summary line; its count of records is that of the whole records
        in the output."""
        seconds = time.perf_counter() - self.started
        state = "interrupted: " if self.interrupted else ""
        return (f"kestrune {self.command}: {state}{self.records} records, {self.payload_bytes} payload bytes, "
                f"{self.tally.describe()}, {self.skipped} skipped, {seconds:.2f} seconds")


def drive(runner: Runner, task: Task, road: Road, chunks: Iterable[tuple[object, ...]],
          totals: Totals) -> None:
    """Runs `task` over the chunks with at most runner.limit of them in flight and
    takes the results in input order. A chunk leaves `pending` only once its
    result is in, so whatever stops the run (a bad record, a failed write, a
    signal) leaves every chunk not yet taken to runner.close to stop."""
    pending: collections.deque[tuple[Pending, int]] = collections.deque()

    def take_first() -> None:
        chunk, size = pending[0]
        result = chunk.result()
        pending.popleft()
        totals.take(result, size, _output(chunk, result))

    try:
        try:
            for chunk in chunks:
                signals.check()
                pending.append((runner.submit(task, road, *chunk), blob_size(chunk[0])))
                if len(pending) >= runner.limit:
                    take_first()
        except BrokenStream as broken:
            # Every whole frame before the break is written (unless a bad one
            # among them stops the run first), then the break is reported.
            while pending:
                take_first()
            raise Stop(broken) from None
        while pending:
            signals.check()
            take_first()
        signals.check()
    finally:
        runner.close([chunk for chunk, _ in pending])
