"""Commands over files of records: `infer` a schema from a sample, `pack` records
into payloads and `unpack` payloads into records.

`register(subparsers)` adds the three subcommands to an argparse parser, and
`main(argv)` runs them on a parser of its own.

Streams (`--delimited`) are cut into chunks of whole lines or whole frames.
Each chunk goes through `pack_chunk` or `unpack_chunk` in this process, in a
pool of worker processes (`--jobs N`) or on a Dask cluster (`--dask ADDRESS`),
and the results are written in input order, so every way of running writes the
same bytes. Only a bounded number of chunks is in flight at once, so a stream
runs in constant memory whatever its length.

The modules:

- `cli`: the argument parser, `register` and `main`;
- `handlers`: the bodies of the three commands;
- `runners`: where chunks run, and the loop that takes their results in order;
- `chunks`: `pack_chunk` and `unpack_chunk`, the unit of work;
- `records`: the road of one record, and the reason a record fails;
- `streams`: length prefixes, frames and the chunks a stream is cut into;
- `road`: the Road every chunk carries, the compressors, CommandError.

Importing this package imports neither the extension modules nor the modules
that use them (see `cli`): `pack_chunk`, `unpack_chunk` and their `Result` are
imported from `chunks` when first asked for here.
"""
from typing import TYPE_CHECKING

from kestrune_protocol_buffer_python.commands.cli import DEFAULT_MODULE, DEFAULT_TYPE, main, register
from kestrune_protocol_buffer_python.commands.road import CommandError, Road
from kestrune_protocol_buffer_python.commands.streams import FileRange

if TYPE_CHECKING:
    from kestrune_protocol_buffer_python.commands.chunks import Result, pack_chunk, unpack_chunk

__all__ = ["DEFAULT_MODULE", "DEFAULT_TYPE", "CommandError", "FileRange", "Result", "Road", "main",
           "pack_chunk", "register", "unpack_chunk"]

_FROM_CHUNKS = ("Result", "pack_chunk", "unpack_chunk")


def __getattr__(name: str) -> object:
    if name in _FROM_CHUNKS:
        from kestrune_protocol_buffer_python.commands import chunks
        return getattr(chunks, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
