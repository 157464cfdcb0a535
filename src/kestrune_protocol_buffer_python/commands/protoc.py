"""The schema compiler of grpcio-tools, run as a child process so that its
messages can be taken apart from this process's own output.

`check_schema` compiles a schema text before it is written anywhere, and
`descriptor_set` reads what an existing schema file declares, as the compiler
understands it, positions in the text included."""
import os
import subprocess
import sys
import tempfile
from collections.abc import Sequence

from google.protobuf import descriptor_pb2

from kestrune_protocol_buffer_python.commands.road import CommandError


def compiler_message(stderr: str) -> str:
    """The compiler's message in one line."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    return "; ".join(lines) or "the compiler failed without a message"


def run_compiler(arguments: Sequence[str]) -> str | None:
    """Runs grpc_tools.protoc; None when it succeeds, else its message in one line."""
    proc = subprocess.run([sys.executable, "-m", "grpc_tools.protoc", *arguments],
                          capture_output=True, text=True, errors="replace")
    return None if proc.returncode == 0 else compiler_message(proc.stderr)


def _compile(directory: str, filename: str, include: Sequence[str]) -> descriptor_pb2.FileDescriptorSet | str:
    out = os.path.join(directory, "descriptors.pb")
    failure = run_compiler([*(f"-I{path}" for path in include), f"--python_out={directory}",
                            f"--descriptor_set_out={out}", "--include_imports", "--include_source_info",
                            filename])
    if failure is not None:
        return failure
    with open(out, "rb") as stream:
        return descriptor_pb2.FileDescriptorSet.FromString(stream.read())


def check_schema(text: bytes, filename: str,
                 include: Sequence[str] = ()) -> descriptor_pb2.FileDescriptorSet:
    """Compiles `text` as a schema file named `filename` (imports found in the
    `include` directories after its own), in a temporary directory. Returns the
    descriptors; raises CommandError with the compiler's message."""
    with tempfile.TemporaryDirectory(prefix="kestrune-") as directory:
        with open(os.path.join(directory, filename), "wb") as stream:
            stream.write(text)
        found = _compile(directory, filename, [directory, *include])
    if isinstance(found, str):
        raise CommandError(f"the compiler refuses the schema: {found}")
    return found


def descriptor_set(path: str) -> descriptor_pb2.FileDescriptorSet:
    """What the schema file at `path` declares, with the files it imports
    (found beside it). Raises CommandError with the compiler's message."""
    directory, filename = os.path.split(os.path.abspath(path))
    if not os.path.isfile(path):
        raise CommandError(f"cannot read {path}: No such file")
    with tempfile.TemporaryDirectory(prefix="kestrune-") as temporary:
        found = _compile(temporary, filename, [directory])
    if isinstance(found, str):
        raise CommandError(f"cannot read the schema {path}: {found}")
    return found
