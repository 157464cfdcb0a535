"""The road of a record in a fresh process with a small heap and in one with a large heap.

`zlib.compress` builds and frees a ~268 KB deflate state on every call. In a
process with a small heap (a fresh pipeline worker handling one record at a
time) the allocator may hand that memory back to the system after each call
and take it again on the next; pack_payload keeps one deflate state instead.
A benchmark harness hides the effect, because its own heap is large (even
importing pyperf is enough), so each measurement runs in a fresh child
interpreter that imports only the package and `timeit`; the "large heap"
children first fill themselves with 300,000 live dicts, as a long-running
process would hold. Both roads are timed in the same children:

    road       pack_payload(set_message_fields(TopLevelMessage(), record))
    user road  zlib.compress(set_message_fields(TopLevelMessage(), record).SerializeToString())

Usage:
    python bench/bench_road_heap.py [--processes N] [--calls N]
"""

import argparse
import json
import statistics
import subprocess
import sys

from bench_payload import sample_record

CHILD = """
import json, sys, timeit, zlib
from kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2 import TopLevelMessage
from kestrune_protocol_buffer_python.pack_payload import pack_payload, set_message_fields
record = json.loads(sys.argv[1])
calls = int(sys.argv[2])
if sys.argv[3] == "large":
    heap = [{{"index": i}} for i in range(300_000)]

def road():
    pack_payload(set_message_fields(TopLevelMessage(), record))

def user_road():
    zlib.compress(set_message_fields(TopLevelMessage(), record).SerializeToString())

assert pack_payload(set_message_fields(TopLevelMessage(), record)) == \\
    zlib.compress(set_message_fields(TopLevelMessage(), record).SerializeToString())
best = {{"road": float("inf"), "user_road": float("inf")}}
for _ in range(5):
    for name, func in (("road", road), ("user_road", user_road)):
        best[name] = min(best[name], timeit.timeit(func, number=calls) / calls)
print(json.dumps(best))
"""


def measure(heap, processes, calls):
    """Median over fresh children of each child's best time per call, in seconds."""
    runs = []
    for _ in range(processes):
        out = subprocess.run([sys.executable, "-c", CHILD.format(), json.dumps(sample_record()),
                              str(calls), heap], check=True, capture_output=True, text=True)
        runs.append(json.loads(out.stdout))
    return {name: statistics.median(run[name] for run in runs) for name in runs[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--processes", type=int, default=5, help="fresh children per heap")
    parser.add_argument("--calls", type=int, default=5000, help="calls per timing")
    args = parser.parse_args()
    small = measure("small", args.processes, args.calls)
    large = measure("large", args.processes, args.calls)

    print("Median of the children's best time per call")
    for heap, times in (("small heap", small), ("large heap", large)):
        for name, seconds in times.items():
            print(f"  {heap}  {name:<10}{seconds * 1e6:9.3f} us")
    rows = [
        ("road: small heap / large heap", small["road"] / large["road"], "<= 1.30x",
         lambda r: r <= 1.3),
        ("small heap: user road / road", small["user_road"] / small["road"], ">= 3.00x",
         lambda r: r >= 3.0),
        ("large heap: user road / road", large["user_road"] / large["road"], "-", None),
    ]
    print()
    width = max(len(r[0]) for r in rows)
    print(f"  {'comparison':<{width}}  {'ratio':>8}  {'target':>8}  result")
    for label, ratio, target, check in rows:
        verdict = "-" if check is None else ("PASS" if check(ratio) else "MISS")
        print(f"  {label:<{width}}  {ratio:7.2f}x  {target:>8}  {verdict}")


if __name__ == "__main__":
    main()
