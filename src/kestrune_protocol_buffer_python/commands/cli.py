"""The argument parser of infer, compile, pack and unpack: `register(subparsers)` adds
them to a parser, `main(argv)` runs them on a parser of its own.

This module does not import the package's extension modules, nor the modules
that do the work, which do: the launcher imports it to offer the commands, and
an extension module imported then could no longer be run as the main program
(kestrune demo). A command imports them when it runs."""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from typing import TypeVar

from kestrune_protocol_buffer_python.commands import signals
from kestrune_protocol_buffer_python.commands.road import (COMPRESSORS, FIRST_WARNINGS, MAX_RECORD_BYTES,
                                                           WORKER_ENDED, CommandError)

DEFAULT_MODULE = "kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2"
# Where compile writes its package when no -o is given.
DEFAULT_PACKAGE = "kestrune_schemas"
DEFAULT_TYPE = "TopLevelMessage"

Handler = Callable[[argparse.Namespace], int]
ParserT = TypeVar("ParserT", bound=argparse.ArgumentParser)


def _handler(command: str) -> Handler:
    """The handler of a command: runs its body and returns its exit status, with
    one error line for a run that cannot start."""
    def run(args: argparse.Namespace) -> int:
        if not getattr(args, "delimited", True):
            extra = [flag for flag, used in (("--skip-bad", args.skip_bad), ("--jobs", args.jobs != 1),
                                             ("--dask", args.dask),
                                             ("--update", getattr(args, "update", None)),
                                             ("--strict", command == "infer" and args.strict),
                                             ("--force", getattr(args, "force", False))) if used]
            if extra:
                sys.stderr.write(f"kestrune {command}: error: {', '.join(extra)}: "
                                 "for --delimited streams only\n")
                return 2
        try:
            with signals.stopping():
                from kestrune_protocol_buffer_python.commands.handlers import HANDLERS
                return HANDLERS[command](args)
        except signals.Interrupted as exc:
            # Stopped before the run had a summary line to give.
            sys.stderr.write(f"kestrune {command}: interrupted\n")
            return exc.status
        except CommandError as exc:
            sys.stderr.write(f"kestrune {command}: error: {exc}\n")
            return 1
        except RuntimeError as exc:
            # A pool's worker that ended abruptly; the pool's module is loaded
            # only by a run that has one.
            pool = sys.modules.get("concurrent.futures.process")
            if pool is None or not isinstance(exc, pool.BrokenProcessPool):
                raise
            sys.stderr.write(f"kestrune {command}: error: {WORKER_ENDED}\n")
            return 1
        except BrokenPipeError:
            # The reader of standard output went away: say nothing more to it.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
        except KeyboardInterrupt:
            return 130
    return run


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


# The suffixes of a size, and the bytes each stands for.
_UNITS = {"": 1, "K": 1 << 10, "KB": 1 << 10, "KIB": 1 << 10, "M": 1 << 20, "MB": 1 << 20,
          "MIB": 1 << 20, "G": 1 << 30, "GB": 1 << 30, "GIB": 1 << 30}


def _size(text: str) -> int:
    """A size in bytes: 1048576, 1024K, 64M or 1G (units of 1024)."""
    digits = text.strip().rstrip("KkMmGgIiBb")
    unit = text.strip()[len(digits):].upper()
    if not digits.isdigit() or unit not in _UNITS or int(digits) < 1:
        raise argparse.ArgumentTypeError(f"expected a size such as 1048576, 512K or 64M, not {text!r}")
    return int(digits) * _UNITS[unit]


def register(subparsers: argparse._SubParsersAction[ParserT]) -> None:
    """Adds the subcommands infer, compile, pack and unpack to an argparse subparsers object;
    each sets `handler`, which takes the parsed arguments and returns an exit status."""
    infer = subparsers.add_parser(
        "infer", help="write a proto3 schema inferred from a sample JSON record or a stream of them",
        description="Infers a proto3 schema from one sample record (a JSON object) with "
                    "json_to_proto, or with --delimited one schema for every record of a JSON "
                    "Lines stream, whose root message is TopLevelMessage. The package is named "
                    "after the output file.")
    infer.add_argument("sample", metavar="SAMPLE.json", help="the sample record, or with --delimited "
                       "the JSON Lines ('-': standard input)")
    infer.add_argument("-o", "--output", metavar="OUT.proto",
                       help="the schema file (default: the input's name with .proto; "
                            "with --update: the schema updated)")
    infer.add_argument("--delimited", action="store_true",
                       help="a JSON Lines stream: one schema for all its records, compiled before "
                            "it is written")
    infer.add_argument("--update", metavar="EXISTING.proto",
                       help="bring the records' keys into this schema: existing fields keep their "
                            "numbers, names and types, new keys get new numbers")
    infer.add_argument("--strict", action="store_true",
                       help="refuse keys whose values are of conflicting kinds instead of typing "
                            "them as text")
    infer.add_argument("--force", action="store_true",
                       help="with --update: change a type even where payloads written before "
                            "would no longer read the same (each such change says what breaks)")
    infer.add_argument("--jobs", type=_positive, default=1, metavar="N",
                       help="worker processes (default: 1, in this process)")
    infer.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    infer.set_defaults(handler=_handler("infer"), skip_bad=False, dask=None)

    compile_ = subparsers.add_parser(
        "compile", help="compile a directory of .proto files into an importable package",
        description="Compiles every .proto file of PROTO_DIR with build_stubs into OUT_DIR, a "
                    "package (its __init__.py written) whose modules import one another "
                    "relatively: pack and unpack then take --module OUT_DIR.NAME_pb2 from the "
                    "directory above OUT_DIR, or the path of the _pb2.py file from anywhere.")
    compile_.add_argument("proto_dir", metavar="PROTO_DIR", help="the directory of .proto files")
    compile_.add_argument("-o", "--output", metavar="OUT_DIR", default=DEFAULT_PACKAGE,
                          help=f"the package directory (default: {DEFAULT_PACKAGE}, a name no "
                               "installed package takes)")
    compile_.set_defaults(handler=_handler("compile"))

    for command, summary in (
            ("pack", "fill messages from JSON records and write their payloads"),
            ("unpack", "read payloads and write their records as JSON")):
        parser = subparsers.add_parser(
            command, help=summary,
            description=f"{summary[0].upper()}{summary[1:]}. Without --delimited: one record. "
                        "With --delimited: JSON Lines on the JSON side and a stream of payloads, "
                        "each preceded by its length as a base-128 varint, on the other. "
                        "'-' stands for standard input or output. A summary line goes to "
                        "standard error at the end.")
        parser.add_argument("input", metavar="INPUT", help="input file ('-': standard input)")
        parser.add_argument("-o", "--output", metavar="OUTPUT", required=command == "pack",
                            default="-", help="output file ('-': standard output)"
                            + ("" if command == "pack" else "; the default"))
        parser.add_argument("--module", default=DEFAULT_MODULE, metavar="NAME",
                            help="compiled schema module to import, or the path of its _pb2.py "
                                 "file (default: the shipped record schema)")
        parser.add_argument("--type", default=DEFAULT_TYPE, metavar="TYPE",
                            help="message type in it, dotted for nested types (default: TopLevelMessage)")
        parser.add_argument("--delimited", action="store_true",
                            help="a stream of records instead of one")
        parser.add_argument("--skip-bad", action="store_true",
                            help="skip bad records, reporting each, instead of stopping at the first")
        if command == "pack":
            parser.add_argument("--strict", action="store_true",
                                help="treat a record whose fill prints a warning as bad")
            parser.add_argument("--stringify", action="store_true",
                                help="write a number, boolean, object or list given for a text "
                                     "field as its JSON text (what infer types as text when a "
                                     "key's values are of several kinds)")
            parser.add_argument("--warnings", choices=["first", "all"], default="first",
                                help=f"print the first {FIRST_WARNINGS} warnings of each kind and "
                                     "count the rest in the summary line (first, the default), "
                                     "or print all")
            parser.add_argument("--compressor", choices=list(COMPRESSORS), default="zlib",
                                help="zlib-compatible compressor (default: zlib, the payload bytes "
                                     "of pack_payload; the others need their extra installed)")
        else:
            parser.add_argument("--max-record-bytes", type=_size, default=MAX_RECORD_BYTES, metavar="SIZE",
                                help="the most bytes a payload's message may hold decompressed; "
                                     "a payload over it is a bad record (default: 64M)")
        parser.add_argument("--jobs", type=_positive, default=1, metavar="N",
                            help="worker processes (default: 1, in this process)")
        parser.add_argument("--dask", metavar="ADDRESS",
                            help="run the chunks on the Dask scheduler at ADDRESS (instead of --jobs)")
        parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
        parser.set_defaults(handler=_handler(command))


def main(argv: Sequence[str] | None = None) -> int:
    """Parses `argv` (default: the command line) and runs the command; returns its
    exit status."""
    parser = argparse.ArgumentParser(
        prog="kestrune", description="Records, messages and payloads as file commands.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    register(subparsers)
    args = parser.parse_args(argv)
    handler: Handler = args.handler
    return handler(args)
