"""What every part of a run shares, without the extension modules: the Road that
a worker gets with each chunk, the compressors that --compressor names and the
error that ends a run before or between chunks."""
from typing import NamedTuple

PACKAGE = "kestrune_protocol_buffer_python"

# --compressor NAME: the zlib-compatible module that pack_payload compresses
# with (None: the interpreter's zlib, as pack_payload found it), the package
# that provides it and the extra of this package that installs it.
COMPRESSORS: dict[str, tuple[str, str] | None] = {
    "zlib": None,
    "zlib-ng": ("zlib_ng.zlib_ng", "zlib-ng"),
    "isal": ("isal.isal_zlib", "isal"),
}


# The most bytes a payload's message may hold decompressed (--max-record-bytes):
# the bound of the memory one payload takes, whatever it expands to.
MAX_RECORD_BYTES = 64 << 20

# How many warnings of each kind a run prints (--warnings first); the rest are
# counted in the summary line.
FIRST_WARNINGS = 5

# What ends a run whose worker process of this machine died: the system killed
# it (out of memory, most often), or someone did.
WORKER_ENDED = "a worker process ended abruptly (killed, or out of memory?)"


class CommandError(Exception):
    """A run that cannot start or go on; the text says why, in one line."""


class Road(NamedTuple):
    """What a worker needs to carry a chunk along the road of its records (fill,
    pack, or open and convert): the schema module and message type by name, and
    the run's options. Plain values, so it pickles anywhere. `warning_limit`:
    the warnings of each kind a chunk reports line by line (None: all)."""
    module: str
    type: str
    strict: bool = False
    skip_bad: bool = False
    compressor: str = "zlib"
    stringify: bool = False
    max_record_bytes: int = MAX_RECORD_BYTES
    warning_limit: int | None = FIRST_WARNINGS
