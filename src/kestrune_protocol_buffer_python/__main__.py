"""The package's command line: `python -m kestrune_protocol_buffer_python` and `kestrune`.

Each command is a handler that takes the parsed arguments and returns the exit
status, registered in `build_parser`; a new command is one handler and one
`add_parser` call there.
"""
from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import os
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

from kestrune_protocol_buffer_python import __version__
from kestrune_protocol_buffer_python import commands as commands_module

PACKAGE = "kestrune_protocol_buffer_python"
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
# The schema module's own directory, where dict_bridge's main program finds it
# under its bare name.
GENERATED_DIR = os.path.join(PACKAGE_DIR, "grpc", "generated")
# The modules that have a main program, and what it does.
MAIN_PROGRAMS = {
    "pack_payload": "the demonstration run: the sample record filled, packed, opened and "
                    "converted, printing each stage",
    "dict_bridge": "an empty TopLevelMessage of zorva_data_pb2 converted to a dict and printed",
    "build_stubs": "compiles grpc/protos into grpc/generated below the working directory",
}

Handler = Callable[[argparse.Namespace], int]


class LaunchError(Exception):
    """An extension module that cannot be run as the main program."""


def run_as_main(short_name: str) -> None:
    """Executes the package's extension module `short_name` as the main program.

    The import machinery finds an extension's init function by the module name
    in its import spec, so it cannot load one as "__main__"; the module is created here from
    its definition and a spec named "__main__" instead. The package directory
    leads the module search path (the schema module's directory next), so the
    main programs import their sibling modules under their bare names.
    """
    import ctypes
    spec = importlib.util.find_spec(f"{PACKAGE}.{short_name}")
    if spec is None or spec.origin is None:
        raise LaunchError(f"no module named {PACKAGE}.{short_name}")
    init = getattr(ctypes.PyDLL(spec.origin), f"PyInit_{short_name}")
    init.restype = ctypes.c_void_p
    definition = init()
    create = ctypes.pythonapi.PyModule_FromDefAndSpec2
    create.restype = ctypes.py_object
    create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    execute = ctypes.pythonapi.PyModule_ExecDef
    execute.restype = ctypes.c_int
    execute.argtypes = [ctypes.py_object, ctypes.c_void_p]

    loader = importlib.machinery.ExtensionFileLoader("__main__", spec.origin)
    main_spec = importlib.machinery.ModuleSpec("__main__", loader, origin=spec.origin)
    module = create(definition, main_spec, sys.api_version)
    if module.__name__ != "__main__":  # a module is created once per process
        raise LaunchError(f"{short_name} was already imported in this process")
    sys.path[:0] = [PACKAGE_DIR, GENERATED_DIR]
    launcher = sys.modules.get("__main__")
    sys.modules["__main__"] = module
    try:
        execute(module, definition)  # a failure raises here, as ctypes checks the error
    finally:
        if launcher is not None:
            sys.modules["__main__"] = launcher


def run_module(short_name: str) -> int:
    """Runs a module as the main program; a failure is one line on stderr and status 1."""
    try:
        run_as_main(short_name)
    except Exception as exc:
        sys.stdout.flush()  # what the module printed comes first
        reason = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
        print(f"kestrune: {short_name} failed: {reason}", file=sys.stderr)
        return 1
    return 0


def demo(args: argparse.Namespace) -> int:
    return run_module("pack_payload")


def run(args: argparse.Namespace) -> int:
    module: str = args.module
    return run_module(module)


class Parser(argparse.ArgumentParser):
    """Reports a usage error in one line instead of the usage text and the error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def build_parser(prog: str) -> Parser:
    parser = Parser(prog=prog, description="Run the package's main programs and its file commands.")
    parser.add_argument("--version", action="version", version=f"{PACKAGE} {__version__}")
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND")

    command = commands.add_parser(
        "demo", help="run the demonstration: a sample record along the whole road",
        description="Runs pack_payload as the main program: " + MAIN_PROGRAMS["pack_payload"] + ".")
    command.set_defaults(handler=demo)

    command = commands.add_parser(
        "run", help="run one of the package's modules as the main program",
        description="Runs one of the package's modules as the main program.",
        epilog="\n".join(f"  {name}: {what}" for name, what in MAIN_PROGRAMS.items()),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    command.add_argument("module", metavar="MODULE", choices=list(MAIN_PROGRAMS),
                         help="one of: " + ", ".join(MAIN_PROGRAMS))
    command.set_defaults(handler=run)

    commands_module.register(commands)  # infer, pack, unpack
    return parser


def main(argv: Sequence[str] | None = None, prog: str = "kestrune") -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 0
    handler: Handler = args.handler
    return handler(args)


if __name__ == "__main__":
    sys.exit(main(prog="python -m kestrune_protocol_buffer_python"))
