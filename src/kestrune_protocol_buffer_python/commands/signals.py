"""The signals that stop a run (SIGINT, SIGTERM, SIGHUP) and the worker
processes' side of them.

While a command runs, the first of these signals raises Interrupted in the main
thread, so the run winds down as after Ctrl-C: its workers stop, the output is
cut back to its last whole record and the summary line says "interrupted".
Inside `held()` (the write of one chunk of whole records) the signal waits for
the end of the section; a second one stops at once. Signals that come while
the run winds down change nothing.

Worker processes leave these signals to their parent, which stops them, and
on Linux end with it should it die without a chance to stop them."""
import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from types import FrameType
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import ctypes

# The signals that stop a run, as the system has them.
STOPPING = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))

# prctl(2) option: the signal a process gets when the thread that made it ends.
_PR_SET_PDEATHSIG = 1

# The C library, for prctl in worker processes (Linux): loaded before they
# fork, since importing ctypes in each would add to the start of every run
# with workers; not loaded by a run without them.
_libc: "ctypes.CDLL | None" = None


class Interrupted(KeyboardInterrupt):
    """A stopping signal came; `status` is the exit status the run ends with."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum

    @property
    def status(self) -> int:
        return 128 + self.signum


class _Stopper:
    """The signal handler of a run and its state: the first signal, and the
    depth of held sections."""

    signum: int | None
    holding: int
    deferred: bool

    def __init__(self) -> None:
        self.reset()

    def reset(self) -> None:
        self.signum, self.holding, self.deferred = None, 0, False

    def on_signal(self, signum: int, frame: FrameType | None) -> None:
        if self.signum is None:
            self.signum = signum
            if self.holding:
                self.deferred = True
                return
            raise Interrupted(signum)
        if self.deferred:
            # A second signal while a write still waits to end: stop now.
            self.deferred = False
            raise Interrupted(self.signum)


_stopper = _Stopper()


@contextlib.contextmanager
def stopping() -> Iterator[None]:
    """Around a command: the stopping signals raise Interrupted. A signal that
    the command was started with ignored (nohup) stays ignored. Outside the
    main thread, where no handler can be set, nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {}
    _stopper.reset()
    for signum in STOPPING:
        previous = signal.getsignal(signum)
        if previous is not signal.SIG_IGN:
            saved[signum] = previous
            signal.signal(signum, _stopper.on_signal)
    try:
        yield
    finally:
        for signum, previous in saved.items():
            signal.signal(signum, previous)


def check() -> None:
    """Raises Interrupted for a signal that came and has not stopped the run: the
    handler runs wherever the main thread is, and its exception is lost when
    that is a place that reports and swallows exceptions (a __del__ method, a
    callback of another library). The run calls this between chunks."""
    if _stopper.signum is not None and not _stopper.holding:
        raise Interrupted(_stopper.signum)


@contextlib.contextmanager
def held() -> Iterator[None]:
    """A section that a first stopping signal does not cut: Interrupted comes at
    its end instead."""
    _stopper.holding += 1
    try:
        yield
    finally:
        _stopper.holding -= 1
    if _stopper.deferred and not _stopper.holding:
        _stopper.deferred = False
        raise Interrupted(_stopper.signum or signal.SIGINT)


@contextlib.contextmanager
def blocked() -> Iterator[None]:
    """The stopping signals wait while worker processes start: a process forked
    in this section starts with them blocked, until `worker_start` has set what
    they do there. Here they are delivered at the end of the section."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def prepare_workers() -> None:
    """Loads what worker_start needs; called before worker processes fork."""
    global _libc
    if _libc is None and sys.platform.startswith("linux"):
        import ctypes
        _libc = ctypes.CDLL(None, use_errno=True)


def worker_start(parent: int) -> None:
    """The initializer of a worker process: the stopping signals are left to the
    parent `parent`, which ends its workers itself; on Linux the worker is
    killed when its parent ends, whatever the way."""
    for signum in STOPPING:
        signal.signal(signum, signal.SIG_IGN)
    prepare_workers()  # a worker that was not forked loads it here
    if _libc is not None:
        _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        # The parent may have ended before prctl: then nobody would kill us.
        if os.getppid() != parent:
            os._exit(1)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPPING)
