"""The output of a run, a file or standard output: every write goes through to
its last byte or fails with one line, and the output always ends at a record's
end: a regular file is cut back to the end of its last whole record when a
write fails or a signal stops the run in the middle of one."""
import errno
import os
import stat
import sys
from types import TracebackType

from kestrune_protocol_buffer_python.commands import signals
from kestrune_protocol_buffer_python.commands.road import CommandError


class OutputFailed(Exception):
    """A write that did not go through; the text names the output and the reason."""


def output_name(path: str) -> str:
    return "standard output" if path == "-" else path


def _identity(path: str, fd: int) -> tuple[int, int] | None:
    """(device, inode) of a regular file that `path` names ("-": the file open
    as `fd`); None for anything else."""
    try:
        found = os.fstat(fd) if path == "-" else os.stat(path)
    except OSError:
        return None
    return (found.st_dev, found.st_ino) if stat.S_ISREG(found.st_mode) else None


def refuse_input_as_output(source: str, target: str) -> None:
    """Raises CommandError when `target` is the file `source` (the same file,
    also through links or standard input and output): writing it would destroy
    the input before it is read."""
    given = _identity(source, 0)
    if given is not None and given == _identity(target, 1):
        if source == target != "-":
            raise CommandError(f"the output is the input file {source}: give another output")
        named = "standard input" if source == "-" else source
        raise CommandError(f"the output {output_name(target)} is the input file {named}: "
                           "give another output")


class Output:
    """Writes whole records to `path` ("-": standard output). A write that
    fails raises OutputFailed, or BrokenPipeError for a reader that went away,
    after a regular file has been cut back to the end of the last whole record.
    A context manager: the file is closed (and the close checked) at the end."""

    def __init__(self, path: str) -> None:
        self.name = output_name(path)
        if path == "-":
            sys.stdout.flush()            # what was printed before comes first
            self.fd, self.owned = sys.stdout.fileno(), False
        else:
            try:
                self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
            except OSError as exc:
                raise CommandError(f"cannot write {path}: {exc.strerror}") from None
            self.owned = True
        self.regular = stat.S_ISREG(os.fstat(self.fd).st_mode)
        # Where the last whole record ends: a regular file is cut back to it.
        self.mark = os.lseek(self.fd, 0, os.SEEK_CUR) if self.regular else 0
        self.torn = False                 # output that could not be cut back ends inside a record

    def __enter__(self) -> "Output":
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self.owned:
            try:
                os.close(self.fd)
            except OSError as failed:
                if kind is None:
                    raise OutputFailed(f"cannot write {self.name}: {failed.strerror}") from None

    def write(self, data: bytes | memoryview) -> None:
        """Writes `data`, which ends at a record's end, to the last byte: a short
        write is followed by another for the rest. A stopping signal waits for
        the end of the write, unless a second one comes."""
        view = memoryview(data)
        done = 0
        try:
            with signals.held():
                try:
                    while done < len(view):
                        written = os.write(self.fd, view[done:])
                        if written <= 0:
                            raise OSError(errno.EIO, "the system wrote nothing")
                        done += written
                except BaseException:
                    if done:
                        self._cut()
                    raise
                self.mark += done
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputFailed(f"cannot write {self.name}: {exc.strerror}") from None

    def _cut(self) -> None:
        """Takes back what a failed write left after the last whole record."""
        if self.regular:
            try:
                os.ftruncate(self.fd, self.mark)
                os.lseek(self.fd, self.mark, os.SEEK_SET)
                return
            except OSError:
                pass
        self.torn = True
