"""Records per second of the file commands over a stream of sample records.

Writes 100,000 records (the package's sample record, each with its own
identifiers, counts and texts) as JSON Lines into a temporary directory, then
times in fresh child processes, one after the other:

    pack    --delimited, --jobs 1 and --jobs 2
    unpack  --delimited, --jobs 1 and --jobs 2, of what pack wrote
    plain   the same roads written with the protobuf runtime alone:
            pack:   json.loads + ParseDict + SerializeToString + zlib.compress
            unpack: zlib.decompress + FromString + MessageToDict + json.dumps
                    (compact, as unpack writes)
            with the same length prefixes and JSON Lines

Each child reports its wall time and the peak resident memory of itself and
of its worker processes. The outputs of --jobs 2 and of the plain pack are
checked against --jobs 1 before anything is printed. Prints records per
second (median and fastest run, and per CPU second), the ratios to the plain
roads, the speed-up of --jobs 2, the scaling per worker and the peak memory.

Usage:
    python bench/bench_records.py [--records N] [--repeat N]
"""

import argparse
import copy
import json
import os
import statistics
import subprocess
import sys
import tempfile

from kestrune_protocol_buffer_python import infer_schema

# A child that runs one road over one input, then prints its wall time and the
# peak resident memory (KiB) of itself and of its largest worker process.
CHILD = r"""
import json, resource, sys, time
started = time.perf_counter()
road, argv = sys.argv[1], sys.argv[2:]
if road == "command":
    from kestrune_protocol_buffer_python.commands import main
    status = main(argv)
else:
    from bench_records import plain_road
    status = plain_road(road, *argv)
seconds = time.perf_counter() - started
own = resource.getrusage(resource.RUSAGE_SELF)
workers = resource.getrusage(resource.RUSAGE_CHILDREN)
print(json.dumps({"status": status, "seconds": seconds,
                  "cpu": own.ru_utime + own.ru_stime + workers.ru_utime + workers.ru_stime,
                  "rss_kib": own.ru_maxrss, "worker_rss_kib": workers.ru_maxrss}), file=sys.stderr)
"""


def records(count):
    """`count` sample records, each with its own identifiers, counts and texts."""
    base = infer_schema.zorva_data
    for index in range(count):
        record = copy.deepcopy(base)
        raw = record["RawData"]
        raw["ObjectId"] = base["RawData"]["ObjectId"] + index
        raw["SocialID"] = f"{index * 2654435761 % 2**64:032x}"
        raw["OrderID"] = index % 1000
        raw["NumVideoViews"] = index * 7 % 100_000
        raw["Description"] = f"{raw['Description']} #{index}"
        raw["UserInfo"]["AuthorSocialID"] = f"author{index % 5000}"
        record["BrandInfo"]["BrandID"] = 10_000 + index % 300
        yield record


def plain_road(road, source, target):
    """The road written with the protobuf runtime alone, as a user might."""
    import zlib

    from google.protobuf import json_format

    from kestrune_protocol_buffer_python.commands.streams import frame_at, varint
    from kestrune_protocol_buffer_python.grpc.generated.zorva_data_pb2 import TopLevelMessage

    with open(source, "rb") as src, open(target, "wb") as out:
        if road == "plain-pack":
            for line in src:
                record = json.loads(line)
                # ParseDict refuses None for a text field; set_message_fields stores "".
                record["BrandInfo"]["OperationEnum"] = record["BrandInfo"]["OperationEnum"] or ""
                payload = zlib.compress(json_format.ParseDict(record, TopLevelMessage()).SerializeToString())
                out.write(varint(len(payload)))
                out.write(payload)
        else:
            data = src.read()
            pos = 0
            while pos < len(data):
                start, pos = frame_at(data, pos, len(data))
                message = TopLevelMessage.FromString(zlib.decompress(data[start:pos]))
                out.write(json.dumps(json_format.MessageToDict(message), ensure_ascii=False,
                                     separators=(",", ":")).encode())
                out.write(b"\n")
    return 0


def run(road, *argv):
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=here + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.run([sys.executable, "-c", CHILD, road, *argv], env=env,
                          capture_output=True, text=True, check=True)
    report = json.loads(proc.stderr.strip().splitlines()[-1])
    if report["status"] != 0:
        raise SystemExit(f"{road} {argv} failed:\n{proc.stderr}")
    return report


def same(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each road")
    options = parser.parse_args()

    load = os.getloadavg()
    with tempfile.TemporaryDirectory() as tmp:
        path = lambda name: os.path.join(tmp, name)
        with open(path("in.jsonl"), "w") as f:
            for record in records(options.records):
                f.write(json.dumps(record) + "\n")

        roads = [
            ("pack --jobs 1", "command", ["pack", "--delimited", "-q", "--jobs", "1", path("in.jsonl"), "-o", path("p1")]),
            ("pack --jobs 2", "command", ["pack", "--delimited", "-q", "--jobs", "2", path("in.jsonl"), "-o", path("p2")]),
            ("pack plain", "plain-pack", [path("in.jsonl"), path("pp")]),
            ("unpack --jobs 1", "command", ["unpack", "--delimited", "-q", "--jobs", "1", path("p1"), "-o", path("u1")]),
            ("unpack --jobs 2", "command", ["unpack", "--delimited", "-q", "--jobs", "2", path("p1"), "-o", path("u2")]),
            ("unpack plain", "plain-unpack", [path("p1"), path("up")]),
        ]
        results = {name: [] for name, _, _ in roads}
        # Round-robin, so a busy moment of the machine spreads over every road.
        for _ in range(options.repeat):
            for name, road, argv in roads:
                results[name].append(run(road, *argv))

        checks = [("pack --jobs 2", "p2", "p1"), ("unpack --jobs 2", "u2", "u1"),
                  ("unpack plain", "up", "u1")]
        for name, a, b in checks:
            if not same(path(a), path(b)):
                raise SystemExit(f"{name} wrote other bytes than --jobs 1")
        # (The plain pack differs by design: ParseDict marks the empty BrandSettings
        # present, set_message_fields leaves an empty dictionary's message unset.)

    n = options.records
    median = {name: n / statistics.median(r["seconds"] for r in runs) for name, runs in results.items()}
    best = {name: n / min(r["seconds"] for r in runs) for name, runs in results.items()}
    cpu = {name: n / statistics.median(r["cpu"] for r in runs) for name, runs in results.items()}
    peak = {name: max(max(r["rss_kib"], r["worker_rss_kib"]) for r in runs) for name, runs in results.items()}

    print(f"{n} records, {options.repeat} runs of each road; load average before "
          f"{load[0]:.2f}, after {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    print("  records/s by the wall time of the whole child process (median and fastest run),")
    print("  and by the CPU time it and its workers used (median; the fairer measure of one")
    print("  road against another on a machine that other work keeps busy)")
    print(f"  {'road':<18}{'median':>10}{'fastest':>10}{'per CPU s':>11}{'peak RSS':>13}")
    for name in results:
        print(f"  {name:<18}{median[name]:>10,.0f}{best[name]:>10,.0f}{cpu[name]:>11,.0f}"
              f"{peak[name] / 1024:>9.1f} MiB")
    print()
    print(f"  {'':<30}{'median':>8}{'fastest':>9}{'CPU':>8}")
    for side in ("pack", "unpack"):
        one, two, plain = f"{side} --jobs 1", f"{side} --jobs 2", f"{side} plain"
        target = "  target >= 3.00x" if side == "pack" else ""
        print(f"  {side + ': --jobs 1 / plain road':<30}{median[one] / median[plain]:7.2f}x"
              f"{best[one] / best[plain]:8.2f}x{cpu[one] / cpu[plain]:7.2f}x{target}")
        print(f"  {side + ': --jobs 2 / --jobs 1':<30}{median[two] / median[one]:7.2f}x"
              f"{best[two] / best[one]:8.2f}x{'':>8}  target >= 1.70x on two idle cores")
        print(f"  {side + ': scaling per worker':<30}{median[two] / median[one] / 2:8.2f}"
              f"{best[two] / best[one] / 2:9.2f}")


if __name__ == "__main__":
    main()
