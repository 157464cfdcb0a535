"""Benchmark of dict_bridge's conversions against the json_format calls they
answer for, and of the payload road with each zlib-compatible compressor.

Every timed call is measured by pyperf (worker processes, calibrated loops) in
one run; the parent process then compares the medians and prints the ratios:

    to_dict    protobuf_to_dict(message) against MessageToDict(message).
    from_dict  populate_protobuf_from_dict(cls, record) against cls() +
               ParseDict(record, message).
    road       create + fill (set_message_fields) + pack_payload, with
               pack_payload.zlib set to each compressor that is installed (the
               interpreter's zlib, zlib_ng.zlib_ng, isal.isal_zlib), against
               the zlib floor: zlib.compress(SerializeToString()) of an
               already filled message.

The conversions run on four kinds of record, each with its targets:

    sample       the sample record of the data collection service (6x, 10x);
    wide         a wide test record (message Wide of
                 tests/schemas/json_mapping_proto3.proto: many fields, repeated,
                 nested and map fields) (6x, 10x);
    small        a batch of 64 small random messages of Wide, none to two fields
                 each, converted one by one: the fixed cost of a call (6x, 10x);
    conformance  the protobuf conformance suite's TestAllTypesProto3 filled with
                 typical values, well-known types included (5x, 12x).

The test schemas are compiled once into a directory under the system's
temporary directory.

Usage:
    python bench/bench_dict_bridge.py            # default run
    python bench/bench_dict_bridge.py --fast     # quicker, noisier
    python bench/bench_dict_bridge.py -o out.json --rigorous   # any pyperf option
"""

import copy
import hashlib
import importlib
import importlib.util
import os
import subprocess
import sys
import tempfile
import zlib

from google.protobuf.json_format import MessageToDict, ParseDict

from kestrune_protocol_buffer_python import infer_schema, pack_payload
from kestrune_protocol_buffer_python.dict_bridge import (
    populate_protobuf_from_dict,
    protobuf_to_dict,
)
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

from bench_payload import run_benchmarks

# Fewer worker processes than pyperf's default of 20 keep the default run of
# a dozen benchmarks near three minutes on two cores; -p / --rigorous / --fast
# override it.
DEFAULT_PROCESSES = 6
SCHEMA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "schemas")


def test_schema(proto, directory=SCHEMA_DIR):
    """A compiled test schema; compiled once per version of the file, so that
    pyperf's worker processes only import it."""
    source = os.path.join(directory, proto)
    with open(source, "rb") as file:
        digest = hashlib.sha256(file.read()).hexdigest()[:16]
    out_dir = os.path.join(tempfile.gettempdir(), f"kestrune-bench-{digest}")
    name = proto.removesuffix(".proto") + "_pb2"
    module_path = os.path.join(out_dir, name + ".py")
    if not os.path.exists(module_path):
        os.makedirs(out_dir, exist_ok=True)
        subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{directory}",
                        f"--python_out={out_dir}", source], check=True)
    spec = importlib.util.spec_from_file_location(name, module_path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


TopLevelMessage = zorva_data_pb2.TopLevelMessage
Wide = test_schema("json_mapping_proto3.proto").Wide
TestAllTypesProto3 = test_schema("test_messages_proto3.proto",
                                 os.path.join(SCHEMA_DIR, "conformance")).TestAllTypesProto3

SAMPLE_RECORD = copy.deepcopy(infer_schema.zorva_data)
SAMPLE_MESSAGE = ParseDict(SAMPLE_RECORD, TopLevelMessage())

# A wide record in the JSON mapping's own form.
WIDE_RECORD = {
    "id": "1623297786281202642",
    "title": "How long does it take you to become an expert at crypto trading?",
    "body": "Question: How long does it take you to become an expert at crypto trading? " * 3,
    "url": "https://qa.example.com/unanswered/How-long-does-it-take-to-become-an-expert",
    "language": "english",
    "comments": 12,
    "shares": 3,
    "views": 1287,
    "score": 0.8125,
    "weight": 0.1,
    "flagged": True,
    "colour": "GREEN",
    "digest": "3q2+7wABAgMEBQYHCAkKCw==",
    "createdAt": "1719465860967",
    "author": {"name": "dsdsdasdsa", "id": "42", "handles": ["@dsd", "dsd.qa"]},
    "mentions": [{"name": f"user{i}", "id": str(1000 + i), "handles": [f"@u{i}"]}
                 for i in range(5)],
    "tags": ["finance", "crypto", "trading", "question", "unanswered"],
    "relatedIds": [str(1623297786281202642 + i) for i in range(8)],
    "samples": [0.25 * i for i in range(8)],
    "attributes": {"source": "qa", "region": "eu-west", "tier": "gold", "brand": "Titktok"},
    "counters": {"likes": "12", "saves": "3", "reports": "0"},
}
WIDE_MESSAGE = ParseDict(WIDE_RECORD, Wide())

# Small messages of the wide schema: none, one or two fields each.
SMALL_FIELDS = [("id", "7"), ("title", "Short"), ("views", 42), ("score", 0.5), ("flagged", True),
                ("tags", ["a", "b"]), ("colour", "RED"), ("author", {"name": "n"}),
                ("counters", {"c": "1"}), ("createdAt", "1719465860967")]
SMALL_RECORDS = [dict(SMALL_FIELDS[(i * 7 + j * 3) % len(SMALL_FIELDS)] for j in range(i % 3))
                 for i in range(64)]
SMALL_MESSAGES = [ParseDict(record, Wide()) for record in SMALL_RECORDS]

# The conformance suite's test message with typical values: scalars, nested
# and repeated messages, maps, an enum, a oneof and the well-known types.
CONFORMANCE_RECORD = {
    "optionalInt32": 17, "optionalInt64": "-123456789012", "optionalUint32": 4000000000,
    "optionalSint64": "-5", "optionalFixed32": 7, "optionalDouble": 2.5, "optionalFloat": 0.25,
    "optionalBool": True, "optionalString": "A wide, typical record \u2713",
    "optionalBytes": "AAECAwQFBgc=", "optionalNestedMessage": {"a": 1, "corecursive": {"optionalInt32": 2}},
    "optionalForeignMessage": {"c": 3}, "optionalNestedEnum": "BAZ", "optionalForeignEnum": "FOREIGN_BAR",
    "repeatedInt32": [1, 2, 3, 4, 5], "repeatedString": ["one", "two", "three"],
    "repeatedNestedMessage": [{"a": 1}, {"a": 2}], "mapStringString": {"source": "qa", "tier": "gold"},
    "mapInt32Int32": {"1": 2, "3": 4}, "oneofString": "chosen",
    "optionalBoolWrapper": True, "optionalInt32Wrapper": 5, "optionalStringWrapper": "wrapped",
    "optionalDuration": "3600.5s", "optionalTimestamp": "2024-06-27T05:24:20.967Z",
    "optionalFieldMask": "optionalInt32,optionalNestedMessage.a",
    "optionalStruct": {"brand": "Titktok", "score": 0.75, "tags": ["a", "b"], "seen": None},
    "optionalAny": {"@type": "type.googleapis.com/google.protobuf.Timestamp",
                    "value": "2024-06-27T05:24:22.670Z"},
    "optionalValue": {"nested": [1, "two", False]},
    "repeatedTimestamp": ["1970-01-01T00:00:00Z", "2000-02-29T12:00:00.000001Z"],
}
CONFORMANCE_MESSAGE = ParseDict(CONFORMANCE_RECORD, TestAllTypesProto3())

FILLED = pack_payload.set_message_fields(TopLevelMessage(), copy.deepcopy(SAMPLE_RECORD))


def compressors():
    """(label, module) for each zlib-compatible module that is installed."""
    found = [("zlib", zlib)]
    for label, name in (("zlib-ng", "zlib_ng.zlib_ng"), ("isal", "isal.isal_zlib")):
        try:
            found.append((label, importlib.import_module(name)))
        except ImportError:
            pass
    return found


# ---- timed calls ---------------------------------------------------------------------


def to_dict_bridge(message):
    return lambda convert=protobuf_to_dict: convert(message)


def to_dict_direct(message):
    return lambda convert=MessageToDict: convert(message)


def from_dict_bridge(cls, record):
    return lambda populate=populate_protobuf_from_dict: populate(cls, record)


def from_dict_direct(cls, record):
    def call(parse=ParseDict):
        message = cls()
        parse(record, message)
        return message
    return call


def road(compressor, record=SAMPLE_RECORD):
    namespace = vars(pack_payload)

    def call(new=TopLevelMessage, fill=pack_payload.set_message_fields,
             pack=pack_payload.pack_payload):
        namespace["zlib"] = compressor  # the compressor this road is measured with
        return pack(fill(new(), record))
    return call


def road_floor(message=FILLED, compress=zlib.compress):
    return compress(message.SerializeToString())


def batch(calls):
    """One call that makes each of `calls` in turn."""
    def call(calls=calls):
        for each in calls:
            each()
    return call


# (label, class, records, messages, to_dict target, from_dict target)
RECORDS = [("sample", TopLevelMessage, [SAMPLE_RECORD], [SAMPLE_MESSAGE], 6.0, 10.0),
           ("wide", Wide, [WIDE_RECORD], [WIDE_MESSAGE], 6.0, 10.0),
           ("small", Wide, SMALL_RECORDS, SMALL_MESSAGES, 6.0, 10.0),
           ("conformance", TestAllTypesProto3, [CONFORMANCE_RECORD], [CONFORMANCE_MESSAGE], 5.0, 12.0)]

BENCHMARKS = []
PAIRS = []
for label, cls, records, messages, to_target, from_target in RECORDS:
    BENCHMARKS += [
        (f"to_dict_{label}_protobuf_to_dict", batch([to_dict_bridge(m) for m in messages])),
        (f"to_dict_{label}_MessageToDict", batch([to_dict_direct(m) for m in messages])),
        (f"from_dict_{label}_populate_protobuf_from_dict",
         batch([from_dict_bridge(cls, r) for r in records])),
        (f"from_dict_{label}_cls_ParseDict", batch([from_dict_direct(cls, r) for r in records])),
    ]
    PAIRS += [
        (f"to_dict {label}: MessageToDict / protobuf_to_dict",
         f"to_dict_{label}_MessageToDict", f"to_dict_{label}_protobuf_to_dict", to_target),
        (f"from_dict {label}: cls() + ParseDict / populate_protobuf_from_dict",
         f"from_dict_{label}_cls_ParseDict", f"from_dict_{label}_populate_protobuf_from_dict",
         from_target),
    ]
COMPRESSORS = compressors()
for label, module in COMPRESSORS:
    BENCHMARKS.append((f"road_{label}", road(module)))
BENCHMARKS.append(("road_floor_zlib_compress", road_floor))


# ---- correctness gate: timings of wrong results are worthless ---------------------


def check_results():
    for label, cls, records, messages, _, _ in RECORDS:
        for record, message in zip(records, messages):
            if protobuf_to_dict(message) != MessageToDict(message):
                raise SystemExit(f"protobuf_to_dict differs from MessageToDict ({label})")
            if populate_protobuf_from_dict(cls, record) != ParseDict(record, cls()):
                raise SystemExit(f"populate_protobuf_from_dict differs from ParseDict ({label})")
    serialized = FILLED.SerializeToString()
    for label, module in COMPRESSORS:
        if zlib.decompress(road(module)()) != serialized:
            raise SystemExit(f"the road with {label} does not give the record back")
    pack_payload.zlib = zlib


# ---- report ------------------------------------------------------------------------


def print_report(results):
    med = {name: bench.median() for name, bench in results.items()}
    print()
    print("Median time per call (the small records: per batch of 64)")
    for name, _ in BENCHMARKS:
        print(f"  {name:<48}{med[name] * 1e6:9.3f} us")
    print()
    print("  speed-up: runtime call time over dict_bridge time (medians)")
    width = max(len(label) for label, _, _, _ in PAIRS)
    print(f"  {'comparison':<{width}}  {'ratio':>8}  {'target':>8}  result")
    for label, direct, bridge, target in PAIRS:
        ratio = med[direct] / med[bridge]
        verdict = "PASS" if ratio >= target else "MISS"
        print(f"  {label:<{width}}  {ratio:7.2f}x  {'>= ' + format(target, '.0f'):>8}  {verdict}")
    print()
    print("  road: create + fill + pack_payload with each compressor, over the zlib floor")
    for label, _ in COMPRESSORS:
        ratio = med[f"road_{label}"] / med["road_floor_zlib_compress"]
        print(f"  {'road ' + label + ' / floor':<{width}}  {ratio:7.2f}x"
              f"  ({med[f'road_{label}'] / med['road_zlib']:.2f}x the zlib road)")
    missing = {"zlib-ng", "isal"} - {label for label, _ in COMPRESSORS}
    if missing:
        print(f"  not installed: {', '.join(sorted(missing))} (pip install '.[bench]')")


def main():
    run_benchmarks("kestrune dict_bridge against the runtime's JSON mapping", BENCHMARKS,
                   check_results, print_report, processes=DEFAULT_PROCESSES)


if __name__ == "__main__":
    main()
