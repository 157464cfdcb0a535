"""Running the file commands as a user runs them, in child processes, and the
records, payloads and summary lines they deal in."""
import json
import re
import subprocess
import sys

from google.protobuf.internal import decoder, encoder

import records
from kestrune_protocol_buffer_python import dict_bridge, pack_payload
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

MAIN = ("from kestrune_protocol_buffer_python.commands import streams; "
        "from kestrune_protocol_buffer_python.__main__ import main; {setup}; "
        "raise SystemExit(main())")
SUMMARY = re.compile(r"kestrune (?P<command>\w+): (?P<interrupted>interrupted: )?(?P<records>\d+) records, "
                     r"(?P<bytes>\d+) payload bytes, (?P<warnings>\d+) warnings(?: \((?P<printed>\d+) printed; "
                     r"not printed: (?P<held>[^)]*)\))?(?:, (?P<lacking>\d+) records with keys the type lacks)?, "
                     r"(?P<skipped>\d+) skipped, [\d.]+ seconds\n\Z")


def kestrune(*args, stdin=b"", setup="pass", cwd=None, stdout=subprocess.PIPE):
    """Runs the commands' own parser in a fresh interpreter; returns the completed
    process with bytes output. `setup` runs first (small chunks, a hidden module).
    `stdin`: bytes, or a file to read; `stdout`: a file to write, or a pipe."""
    given = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    return subprocess.run([sys.executable, "-c", MAIN.format(setup=setup), *map(str, args)],
                          **given, stdout=stdout, stderr=subprocess.PIPE, cwd=cwd, timeout=120)


def start_kestrune(*args, setup="pass", **popen):
    """Starts the commands' own parser in a fresh interpreter; returns the Popen."""
    return subprocess.Popen([sys.executable, "-c", MAIN.format(setup=setup), *map(str, args)], **popen)


def summary_line(stderr):
    """The parts of the final summary line, by name."""
    found = SUMMARY.search(stderr.decode() if isinstance(stderr, bytes) else stderr)
    assert found, stderr
    return found.groupdict()


def summary(proc):
    """(records, payload bytes, warnings, skipped) of the final summary line."""
    parts = summary_line(proc.stderr)
    return tuple(int(parts[name]) for name in ("records", "bytes", "warnings", "skipped"))


def sample_records(count):
    """Sample records that differ from each other, a few with a key the schema lacks."""
    for index in range(count):
        record = records.sample_record()
        record["RawData"]["OrderID"] = index
        record["RawData"]["Description"] += f" #{index}"
        if index % 7 == 3:
            record["NotAField"] = index
        yield record


def payload_of(record):
    return pack_payload.pack_payload(pack_payload.set_message_fields(zorva_data_pb2.TopLevelMessage(), record))


def framed(payloads):
    return b"".join(encoder._VarintBytes(len(p)) + p for p in payloads)


def unframed(data):
    """Payloads of a length-delimited stream, split with the protobuf runtime's decoder."""
    payloads, pos = [], 0
    while pos < len(data):
        length, pos = decoder._DecodeVarint(data, pos)
        payloads.append(data[pos:pos + length])
        pos += length
    assert pos == len(data)
    return payloads


def json_line(record):
    message = pack_payload.set_message_fields(zorva_data_pb2.TopLevelMessage(), record)
    return json.loads(json.dumps(dict_bridge.protobuf_to_dict(message)))


def jsonl(items):
    return "".join(item if isinstance(item, str) else json.dumps(item) + "\n" for item in items).encode()


PEAK = ("import resource, atexit; atexit.register(lambda: print("
        "resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)); import sys")
