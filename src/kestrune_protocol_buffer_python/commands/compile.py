"""`compile`: a directory of schemas into a package of schema modules that
`--module PACKAGE.name_pb2` imports from the current directory; and the
module name that `--module` stands for, given as a name or as the path of a
generated `_pb2.py` file.

The commands find schema modules as `python -m` does: the current directory
comes first on the module search path. The default package name,
`kestrune_schemas`, is one that no installed distribution uses; a name such
as `grpc` would be the installed package's once anything imported it, and a
folder without `__init__.py` (like the `grpc/generated` of `run build_stubs`)
is a namespace package, which any installed package of that name shadows."""
import argparse
import contextlib
import glob
import importlib.machinery
import io
import os
import sys

from kestrune_protocol_buffer_python.commands.road import CommandError

def schema_module(given: str) -> str:
    """The module name of `--module`: a name as it is, or for the path of a `.py`
    file the dotted name under the topmost directory above it that is not a
    package, which then leads the module search path. The current directory
    leads it in any case, as with `python -m`."""
    cwd = os.getcwd()
    if sys.path[:1] not in ([""], [cwd]):
        sys.path.insert(0, cwd)
    if not given.endswith(".py"):
        return given
    path = os.path.abspath(given)
    if not os.path.isfile(path):
        raise CommandError(f"cannot load the schema module {given}: no such file")
    directory, filename = os.path.split(path)
    parts = [filename[:-3]]
    while os.path.isfile(os.path.join(directory, "__init__.py")):
        directory, package = os.path.split(directory)
        parts.append(package)
    name = ".".join(reversed(parts))
    if sys.path[0] != directory:
        sys.path.insert(0, directory)
    return name


def _shadowed(package: str, output: str) -> bool:
    """Whether another module of the name `package` would be found instead of the
    one in `output`: one already imported, built in, or on the search path
    anywhere other than the directory above `output`."""
    if package in sys.modules or package in sys.builtin_module_names:
        return True
    parent = os.path.dirname(os.path.abspath(output))
    elsewhere = [entry for entry in sys.path if os.path.abspath(entry or ".") != parent]
    return importlib.machinery.PathFinder.find_spec(package, elsewhere) is not None


def run_compile(args: argparse.Namespace) -> int:
    # Imported here: the other commands use this module's schema_module alone,
    # and start sooner without these.
    import tempfile

    from kestrune_protocol_buffer_python import build_stubs
    from kestrune_protocol_buffer_python.commands.protoc import run_compiler
    source: str = args.proto_dir
    output: str = args.output
    if not os.path.isdir(source):
        raise CommandError(f"cannot read {source}: no such directory")
    protos = sorted(glob.glob(os.path.join(glob.escape(source), "*.proto")))
    if not protos:
        raise CommandError(f"{source} holds no .proto file")
    package = os.path.basename(os.path.normpath(output))
    if not package.isidentifier():
        raise CommandError(f"{output}: {package!r} cannot be imported as a package name")
    # The compiler's verdict on every file first: a failure leaves the output
    # directory as it was.
    names = [os.path.basename(path) for path in protos]
    with tempfile.TemporaryDirectory(prefix="kestrune-") as scratch:
        failure = run_compiler([f"-I{source}", f"--python_out={scratch}", *names])
    if failure is not None:
        raise CommandError(f"the compiler refuses {source}: {failure}")
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            build_stubs.build_stubs(source, output)
    except Exception as exc:
        said = " ".join(printed.getvalue().split())
        raise CommandError(f"cannot compile {source} into {output}: {said or exc}") from None
    print(f"Compiled {len(protos)} schema{'s' * (len(protos) != 1)} into {output}: "
          + ", ".join(f"--module {package}.{name[:-6]}_pb2" for name in names))
    if _shadowed(package, output):
        sys.stderr.write(f"kestrune compile: warning: another module is also named {package}: "
                         f"--module {package}.NAME_pb2 may import that one; give the path of the "
                         "_pb2.py file instead, or another output directory\n")
    return 0
