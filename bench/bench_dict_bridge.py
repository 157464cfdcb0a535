"""Micro-benchmark of dict_bridge's conversions against the runtime calls they wrap.

Every timed call is measured by pyperf (worker processes, calibrated loops) in
one run; the parent process then compares the medians and prints the ratios:

    to_dict    protobuf_to_dict(message), against MessageToDict(message).
    from_dict  populate_protobuf_from_dict(TopLevelMessage, record), against
               TopLevelMessage() + ParseDict(record, message).

Both sides use the sample record of the data collection service. The wrappers
add argument checks, name lookups and the exception guard; their target is at
most 5% over the direct calls.

Usage:
    python bench/bench_dict_bridge.py            # default run
    python bench/bench_dict_bridge.py --fast     # quicker, noisier
    python bench/bench_dict_bridge.py -o out.json --rigorous   # any pyperf option
"""

import pyperf
from google.protobuf.json_format import MessageToDict, ParseDict

from kestrune_protocol_buffer_python.dict_bridge import (
    populate_protobuf_from_dict,
    protobuf_to_dict,
)
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

TopLevelMessage = zorva_data_pb2.TopLevelMessage

# Fewer worker processes than pyperf's default of 20 keep the default run of
# four benchmarks near a minute on two cores; -p / --rigorous / --fast override it.
DEFAULT_PROCESSES = 10
TARGET = 1.05


def sample_record():
    """One collected mention, as the collection service hands it over."""
    return {
        "RawData": {
            "ObjectId": 1623297786281202642,
            "SocialID": "de9aeaed48ff63a3fe30cc5099dbec6b",
            "OrderID": 220,
            "CreatedDate": "2023-11-26 13:30:55",
            "NumCommentsCount": 0,
            "NumShareCount": 0,
            "NumVideoViews": 1287,
            "Description": "How long does it take you to become an expert at crypto trading?",
            "LanguageName": "english",
            "FilterKeywords": " (finance)",
            "UserInfo": {"AuthorSocialID": "dsdsdasdsa"},
            "URL": "https://qa.example.com/unanswered/"
                   "How-long-does-it-take-you-to-become-an-expert-at-crypto-trading",
            "AnswerCounts": 11,
            "SimplifiedText": "Question: How long does it take you to become an expert "
                              "at crypto trading?",
        },
        "ChannelGroup": 36,
        "ChannelType": 75,
        "BrandInfo": {
            "BrandID": 12168,
            "BrandName": "Titktok",
            "CategoryID": 1808,
            "CategoryName": "KestruneTestDB",
            "BrandSettings": {},
            "OperationEnum": None,
        },
        "MentionTrackingDetails": {
            "FetchingServiceInTime": "2024-06-27T05:24:20.967412",
            "FetchingServiceOutTime": "2024-06-27T05:24:22.670233",
        },
        "ServiceName": "ZorvaDataCollectionService",
    }


RECORD = sample_record()
MESSAGE = ParseDict(RECORD, TopLevelMessage())


# ---- timed calls ---------------------------------------------------------------------


def to_dict_bridge(message=MESSAGE, convert=protobuf_to_dict):
    return convert(message)


def to_dict_direct(message=MESSAGE, convert=MessageToDict):
    return convert(message)


def from_dict_bridge(record=RECORD, cls=TopLevelMessage, populate=populate_protobuf_from_dict):
    return populate(cls, record)


def from_dict_direct(record=RECORD, cls=TopLevelMessage, parse=ParseDict):
    message = cls()
    parse(record, message)
    return message


BENCHMARKS = [
    ("to_dict_protobuf_to_dict", to_dict_bridge),
    ("to_dict_MessageToDict", to_dict_direct),
    ("from_dict_populate_protobuf_from_dict", from_dict_bridge),
    ("from_dict_cls_ParseDict", from_dict_direct),
]

PAIRS = [
    ("to_dict: protobuf_to_dict / MessageToDict",
     "to_dict_protobuf_to_dict", "to_dict_MessageToDict"),
    ("from_dict: populate_protobuf_from_dict / cls() + ParseDict",
     "from_dict_populate_protobuf_from_dict", "from_dict_cls_ParseDict"),
]


# ---- correctness gate: timings of wrong results are worthless ---------------------


def check_results():
    if to_dict_bridge() != to_dict_direct():
        raise SystemExit("protobuf_to_dict differs from MessageToDict; not benchmarking it")
    if from_dict_bridge() != from_dict_direct():
        raise SystemExit("populate_protobuf_from_dict differs from ParseDict; not benchmarking it")


# ---- report ------------------------------------------------------------------------


def print_report(results):
    med = {name: bench.median() for name, bench in results.items()}
    # On a shared machine other processes only ever add time, so the fastest
    # samples show the wrapper's own cost when the medians drift apart.
    fastest = {name: min(bench.get_values()) for name, bench in results.items()}
    print()
    print("Median time per call")
    for name, _ in BENCHMARKS:
        print(f"  {name:<40}{med[name] * 1e6:9.3f} us")
    print()
    print("  ratio: wrapper time over direct-call time (medians; fastest samples beside)")
    width = max(len(label) for label, _, _ in PAIRS)
    print(f"  {'comparison':<{width}}  {'ratio':>8}  {'fastest':>8}  {'target':>8}  result")
    for label, wrapped, direct in PAIRS:
        ratio = med[wrapped] / med[direct]
        verdict = "PASS" if ratio <= TARGET else "MISS"
        print(f"  {label:<{width}}  {ratio:7.3f}x  {fastest[wrapped] / fastest[direct]:7.3f}x"
              f"  {'<= ' + format(TARGET, '.2f'):>8}  {verdict}")


def main():
    runner = pyperf.Runner(processes=DEFAULT_PROCESSES)
    runner.metadata["description"] = "kestrune dict_bridge against the runtime's JSON mapping"
    args = runner.parse_args()
    if not args.worker:
        check_results()

    results = {}
    for name, func in BENCHMARKS:
        results[name] = runner.bench_func(name, func)

    # Workers measure one benchmark each and report it back through pyperf;
    # only the parent holds all of them.
    if args.worker:
        return
    if any(bench is None for bench in results.values()):
        # e.g. --compare-to: pyperf printed its own comparison instead.
        return
    print_report(results)


if __name__ == "__main__":
    main()
