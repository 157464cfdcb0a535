"""Micro-benchmark of the payload path: fill a record into a message, pack it,
open it again.

Every timed call is measured by pyperf (worker processes, calibrated loops);
the parent process then compares the medians and prints one ratio table:

    fill  set_message_fields on a fresh TopLevelMessage, against the same
          algorithm in plain Python, json_format.ParseDict, and keyword
          construction. Each fill variant creates its fresh message inside
          the timed call.
    road  create + fill + pack_payload, against zlib.compress(SerializeToString())
          of an already filled message; road minus fill is printed as well.
    back  depack_payload, against TopLevelMessage() + ParseFromString(decompress).

Usage:
    python bench/bench_payload.py            # default run
    python bench/bench_payload.py --fast     # quicker, noisier
    python bench/bench_payload.py -o out.json --rigorous   # any pyperf option
"""

import copy
import os
import sys
import zlib

import pyperf
from google.protobuf import json_format

from kestrune_protocol_buffer_python import infer_schema
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2
from kestrune_protocol_buffer_python.open_payload import depack_payload
from kestrune_protocol_buffer_python.pack_payload import pack_payload, set_message_fields

# The tests' plain-Python statement of the fill is the baseline.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from hardening import reference_fill  # noqa: E402

TopLevelMessage = zorva_data_pb2.TopLevelMessage
RawdataMessage = TopLevelMessage.RawdataMessage
UserinfoMessage = RawdataMessage.UserinfoMessage
BrandinfoMessage = TopLevelMessage.BrandinfoMessage
BrandsettingsMessage = BrandinfoMessage.BrandsettingsMessage
MentiontrackingdetailsMessage = TopLevelMessage.MentiontrackingdetailsMessage

# Fewer worker processes than pyperf's default of 20 keeps the whole default
# run (eight benchmarks) well under two minutes on two cores; -p / --rigorous
# / --fast still override it.
DEFAULT_PROCESSES = 10


def sample_record():
    """One collected mention, as the collection service hands it over: a fresh
    copy of the package's sample record."""
    return copy.deepcopy(infer_schema.zorva_data)


RECORD = sample_record()

# ParseDict refuses None for a string field, so it gets a copy of the record
# with OperationEnum already turned into "" (what set_message_fields stores).
RECORD_FOR_PARSEDICT = copy.deepcopy(RECORD)
RECORD_FOR_PARSEDICT["BrandInfo"]["OperationEnum"] = ""


# ---- plain-Python baseline -------------------------------------------------------


def py_set_message_fields(message, data):
    """The fill algorithm of set_message_fields in plain Python: the tests'
    statement-by-statement reference, its printed lines collected in a list."""
    return reference_fill(message, data, [])


# ---- timed calls (each creates its own fresh message where one is filled) --------


def fill_native(record=RECORD, new=TopLevelMessage, fill=set_message_fields):
    return fill(new(), record)


def fill_python(record=RECORD, new=TopLevelMessage, fill=py_set_message_fields):
    return fill(new(), record)


def fill_parsedict(record=RECORD_FOR_PARSEDICT, new=TopLevelMessage, parse=json_format.ParseDict):
    return parse(record, new())


def fill_kwargs(record=RECORD):
    # Hand-written construction from the same record. BrandSettings ends up
    # present (empty) here and in ParseDict, absent after set_message_fields;
    # both serialise to the same content apart from that empty submessage.
    raw = record["RawData"]
    brand = record["BrandInfo"]
    mention = record["MentionTrackingDetails"]
    operation = brand["OperationEnum"]
    return TopLevelMessage(
        RawData=RawdataMessage(
            ObjectId=raw["ObjectId"],
            SocialID=raw["SocialID"],
            OrderID=raw["OrderID"],
            CreatedDate=raw["CreatedDate"],
            NumCommentsCount=raw["NumCommentsCount"],
            NumShareCount=raw["NumShareCount"],
            NumVideoViews=raw["NumVideoViews"],
            Description=raw["Description"],
            LanguageName=raw["LanguageName"],
            FilterKeywords=raw["FilterKeywords"],
            UserInfo=UserinfoMessage(AuthorSocialID=raw["UserInfo"]["AuthorSocialID"]),
            URL=raw["URL"],
            AnswerCounts=raw["AnswerCounts"],
            SimplifiedText=raw["SimplifiedText"],
        ),
        ChannelGroup=record["ChannelGroup"],
        ChannelType=record["ChannelType"],
        BrandInfo=BrandinfoMessage(
            BrandID=brand["BrandID"],
            BrandName=brand["BrandName"],
            CategoryID=brand["CategoryID"],
            CategoryName=brand["CategoryName"],
            BrandSettings=BrandsettingsMessage(),
            OperationEnum="" if operation is None else operation,
        ),
        MentionTrackingDetails=MentiontrackingdetailsMessage(
            FetchingServiceInTime=mention["FetchingServiceInTime"],
            FetchingServiceOutTime=mention["FetchingServiceOutTime"],
        ),
        ServiceName=record["ServiceName"],
    )


def road(record=RECORD, new=TopLevelMessage, fill=set_message_fields, pack=pack_payload):
    return pack(fill(new(), record))


FILLED = py_set_message_fields(TopLevelMessage(), RECORD)


def road_floor(message=FILLED, compress=zlib.compress):
    return compress(message.SerializeToString())


PAYLOAD = zlib.compress(FILLED.SerializeToString())


def back(module=zorva_data_pb2, payload=PAYLOAD, depack=depack_payload):
    return depack(module, "TopLevelMessage", payload)


def back_floor(payload=PAYLOAD, new=TopLevelMessage, decompress=zlib.decompress):
    m = new()
    m.ParseFromString(decompress(payload))
    return m


BENCHMARKS = [
    ("fill_set_message_fields", fill_native),
    ("fill_python_baseline", fill_python),
    ("fill_parsedict", fill_parsedict),
    ("fill_kwargs", fill_kwargs),
    ("road_create_fill_pack", road),
    ("road_floor_serialize_compress", road_floor),
    ("back_depack_payload", back),
    ("back_floor_parse_decompress", back_floor),
]


# ---- correctness gate: timings of wrong results are worthless ---------------------


def _content(message):
    """Serialised content with the empty BrandSettings made present, so the
    variants that differ only in that presence bit compare equal."""
    m = TopLevelMessage()
    m.CopyFrom(message)
    m.BrandInfo.BrandSettings.SetInParent()
    return m.SerializeToString(deterministic=True)


def check_results():
    expected = _content(fill_python())
    for name, func in (("fill_set_message_fields", fill_native),
                       ("fill_parsedict", fill_parsedict),
                       ("fill_kwargs", fill_kwargs),
                       ("back_depack_payload", back),
                       ("back_floor_parse_decompress", back_floor)):
        if _content(func()) != expected:
            raise SystemExit(f"{name} does not produce the sample message; not benchmarking it")
    if fill_native().SerializeToString() != FILLED.SerializeToString():
        raise SystemExit("set_message_fields differs from the plain-Python fill")
    if zlib.decompress(road()) != zlib.decompress(road_floor()):
        raise SystemExit("pack_payload does not carry the serialised message")


# ---- report ------------------------------------------------------------------------


def _fmt_time(seconds):
    return f"{seconds * 1e6:9.3f} us"


def print_report(results):
    med = {name: bench.median() for name, bench in results.items()}
    fill = med["fill_set_message_fields"]

    rows = [
        # label, ratio, target text, passed (None: no target)
        ("fill: plain-Python baseline / set_message_fields",
         med["fill_python_baseline"] / fill, ">= 3.00x",
         med["fill_python_baseline"] / fill >= 3.0),
        ("fill: ParseDict / set_message_fields",
         med["fill_parsedict"] / fill, ">= 5.00x",
         med["fill_parsedict"] / fill >= 5.0),
        ("fill: keyword construction / set_message_fields",
         med["fill_kwargs"] / fill, "-", None),
        ("road: create+fill+pack_payload / floor",
         med["road_create_fill_pack"] / med["road_floor_serialize_compress"], "<= 1.30x",
         med["road_create_fill_pack"] / med["road_floor_serialize_compress"] <= 1.3),
        ("road: (road - fill) / floor",
         (med["road_create_fill_pack"] - fill) / med["road_floor_serialize_compress"],
         "-", None),
        ("back: depack_payload / floor",
         med["back_depack_payload"] / med["back_floor_parse_decompress"], "<= 1.30x",
         med["back_depack_payload"] / med["back_floor_parse_decompress"] <= 1.3),
    ]

    print()
    print("Median time per call")
    for name, _ in BENCHMARKS:
        print(f"  {name:<34}{_fmt_time(med[name])}")
    print()
    print("  fill ratios: how many times slower the alternative is than set_message_fields")
    print("  road/back ratios: how many times slower than the hand-written floor")
    width = max(len(r[0]) for r in rows)
    print(f"  {'comparison':<{width}}  {'ratio':>8}  {'target':>8}  result")
    for label, ratio, target, passed in rows:
        verdict = "-" if passed is None else ("PASS" if passed else "MISS")
        print(f"  {label:<{width}}  {ratio:7.2f}x  {target:>8}  {verdict}")


def run_benchmarks(description, benchmarks, check, report, processes=DEFAULT_PROCESSES):
    """Measures each (name, func) of `benchmarks` with pyperf; the parent process
    first runs `check` (timings of wrong results are worthless) and at the end
    hands {name: benchmark} to `report`."""
    runner = pyperf.Runner(processes=processes)
    runner.metadata["description"] = description
    args = runner.parse_args()
    if not args.worker:
        check()

    results = {}
    for name, func in benchmarks:
        results[name] = runner.bench_func(name, func)

    # Workers measure one benchmark each and report it back through pyperf;
    # only the parent holds all of them.
    if args.worker:
        return
    if any(bench is None for bench in results.values()):
        # e.g. --compare-to: pyperf printed its own comparison instead.
        return
    report(results)


def main():
    run_benchmarks("kestrune payload fill / pack / open", BENCHMARKS, check_results, print_report)


if __name__ == "__main__":
    main()
