"""Records per second of the file commands over a stream of realistic records.

Writes N records (default 200,000) as JSON Lines into a temporary directory:
records of the package's schema as a mention-tracking feed holds them, with
text in several scripts (right-to-left ones and emoji among them), now and
then a long text, 64-bit identifiers, random hex identifiers and some keys
missing; about 850 bytes of JSON and 400 bytes of wire encoding each, one line
in ten with its text escaped as ASCII. Then times, in fresh child processes
taken in turn:

    pack    --delimited, --jobs 1 and --jobs 2
    unpack  --delimited, --jobs 1 and --jobs 2, of what pack wrote
    plain   the same roads written by hand with the protobuf runtime alone:
            pack:   json.loads + ParseDict + SerializeToString + zlib.compress
            unpack: zlib.decompress + FromString + MessageToDict + json.dumps
                    (compact, as unpack writes)
            with the same length prefixes and JSON Lines
    empty   pack and unpack of an empty stream: what a run costs before its
            first record (the interpreter, the imports, the schema)

Each child reports its wall time and the peak resident memory of itself and
of its worker processes. The outputs of --jobs 2 and of the plain unpack are
checked against --jobs 1 before anything is printed. Prints records per
second (median and fastest run, by the whole run and with the empty run's
cost taken off, and per CPU second), the ratios to the plain roads, the
speed-up of --jobs 2 and the peak memory.

Usage:
    python bench/bench_records.py [--records N] [--repeat N]
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile


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


SCRIPTS = [
    ("english", "How long does it take you to become an expert at crypto trading?"),
    ("french", "Ce produit est génial, je le recommande à tout le monde — vraiment!"),
    ("arabic", "هذا المنتج رائع جدا وأنصح به الجميع بدون تردد"),
    ("hebrew", "המוצר הזה מעולה, ממליץ בחום לכל מי שמחפש"),
    ("chinese", "这个产品非常好，我推荐给所有人。"),
    ("russian", "Отличный товар, всем советую 👍"),
    ("english", "Loving the new release 🚀🔥😂 #launch @brand"),
    ("greek", "Καλή εξυπηρέτηση αλλά αργή αποστολή"),
]


def record(rng, index):
    """One record of the feed; about one key in twelve left out."""
    language, text = SCRIPTS[rng.randrange(len(SCRIPTS))]
    if index % 53 == 7:
        text = " ".join(rng.choice(SCRIPTS)[1] for _ in range(24))
    raw = {
        "ObjectId": rng.getrandbits(63),
        "SocialID": f"{rng.getrandbits(128):032x}",
        "OrderID": rng.randrange(1000),
        "CreatedDate": f"2024-{rng.randrange(1, 13):02}-{rng.randrange(1, 29):02} "
                       f"{rng.randrange(24):02}:{rng.randrange(60):02}:{rng.randrange(60):02}",
        "NumCommentsCount": rng.randrange(50),
        "NumShareCount": rng.randrange(20),
        "NumVideoViews": rng.randrange(2_000_000),
        "Description": f"{text} #{index}",
        "LanguageName": language,
        "FilterKeywords": rng.choice([" (finance)", " (crypto)", " (تمويل)", ""]),
        "UserInfo": {"AuthorSocialID": f"author{rng.randrange(5000)}"},
        "URL": f"https://qa.example.com/q/{index}-{rng.getrandbits(32):x}",
        "AnswerCounts": rng.randrange(30),
        "SimplifiedText": f"Question: {text}",
    }
    out = {
        "RawData": raw,
        "ChannelGroup": rng.randrange(100),
        "ChannelType": rng.randrange(100),
        "BrandInfo": {"BrandID": 10_000 + rng.randrange(300),
                      "BrandName": rng.choice(["Titktok", "Ünïcode", "ברנד"]),
                      "CategoryID": rng.randrange(3000), "CategoryName": "KestruneTestDB",
                      "BrandSettings": {}, "OperationEnum": rng.choice([None, "CREATE", "UPDATE"])},
        "MentionTrackingDetails": {"FetchingServiceInTime": "2024-06-27T05:24:20.967412",
                                   "FetchingServiceOutTime": "2024-06-27T05:24:22.670233"},
        "ServiceName": "ZorvaDataCollectionService",
    }
    for holder in (raw, out, out["BrandInfo"]):
        for key in list(holder):
            if rng.random() < 0.08:
                del holder[key]
    return out


def lines(count, seed=0):
    """`count` JSON lines of records, each ending in a line break."""
    rng = random.Random(seed)
    for index in range(count):
        yield json.dumps(record(rng, index), ensure_ascii=index % 10 == 3,
                         separators=(", ", ": ") if index % 2 else (",", ":")) + "\n"


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
                brand = record.get("BrandInfo", {})
                if brand.get("OperationEnum", "") is None:
                    brand["OperationEnum"] = ""
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


TARGETS = {"pack": 60_000, "unpack": 150_000}   # records/s of --jobs 1
RATIO_TARGET = 8.0                                # --jobs 1 against the plain road
JOBS_TARGET = 1.7                                 # --jobs 2 against --jobs 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each road")
    options = parser.parse_args()

    load = os.getloadavg()
    with tempfile.TemporaryDirectory() as tmp:
        path = lambda name: os.path.join(tmp, name)
        with open(path("in.jsonl"), "w", encoding="utf-8") as f:
            f.writelines(lines(options.records))
        open(path("empty"), "wb").close()

        def command(verb, jobs, source, target):
            return ["pack" if verb == "pack" else "unpack", "--delimited", "-q", "--jobs", str(jobs),
                    path(source), "-o", path(target)]

        roads = [
            ("pack --jobs 1", "command", command("pack", 1, "in.jsonl", "p1")),
            ("pack --jobs 2", "command", command("pack", 2, "in.jsonl", "p2")),
            ("pack plain", "plain-pack", [path("in.jsonl"), path("pp")]),
            ("pack empty", "command", command("pack", 1, "empty", "pe")),
            ("unpack --jobs 1", "command", command("unpack", 1, "p1", "u1")),
            ("unpack --jobs 2", "command", command("unpack", 2, "p1", "u2")),
            ("unpack plain", "plain-unpack", [path("p1"), path("up")]),
            ("unpack empty", "command", command("unpack", 1, "empty", "ue")),
        ]
        results = {name: [] for name, _, _ in roads}
        # Round-robin, so a busy moment of the machine spreads over every road.
        for _ in range(options.repeat):
            for name, road, argv in roads:
                results[name].append(run(road, *argv))
        sizes = {name: os.path.getsize(path(name)) for name in ("in.jsonl", "p1")}

        checks = [("pack --jobs 2", "p2", "p1"), ("unpack --jobs 2", "u2", "u1"),
                  ("unpack plain", "up", "u1")]
        for name, a, b in checks:
            if not same(path(a), path(b)):
                raise SystemExit(f"{name} wrote other bytes than --jobs 1")
        # (The plain pack differs by design: ParseDict marks the empty BrandSettings
        # present, set_message_fields leaves an empty dictionary's message unset.)

    n = options.records
    seconds = {name: statistics.median(r["seconds"] for r in runs) for name, runs in results.items()}
    fastest = {name: min(r["seconds"] for r in runs) for name, runs in results.items()}
    cpu = {name: statistics.median(r["cpu"] for r in runs) for name, runs in results.items()}
    peak = {name: max(max(r["rss_kib"], r["worker_rss_kib"]) for r in runs) for name, runs in results.items()}

    print(f"{n:,} records ({sizes['in.jsonl'] / n:.0f} bytes of JSON and "
          f"{sizes['p1'] / n:.0f} of framed payload each), {options.repeat} runs of each road; "
          f"load average before {load[0]:.2f}, after {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    print("  records/s by the wall time of the whole child process (median and fastest run),")
    print("  by the median with the empty run's median taken off (the cost of each further")
    print("  record), and by the CPU time the process and its workers used (median)")
    print(f"  {'road':<18}{'median':>10}{'fastest':>10}{'beyond':>10}{'per CPU s':>11}{'peak RSS':>13}")
    for name in results:
        if name.endswith("empty"):
            print(f"  {name:<18}{seconds[name]:>9.3f}s{fastest[name]:>9.3f}s{'':>10}{'':>11}"
                  f"{peak[name] / 1024:>9.1f} MiB")
            continue
        side = name.split()[0]
        beyond = n / (seconds[name] - seconds[f"{side} empty"]) if not name.endswith("plain") else None
        print(f"  {name:<18}{n / seconds[name]:>10,.0f}{n / fastest[name]:>10,.0f}"
              f"{f'{beyond:,.0f}' if beyond else '':>10}{n / cpu[name]:>11,.0f}"
              f"{peak[name] / 1024:>9.1f} MiB")
    print()
    print(f"  {'':<32}{'median':>9}{'fastest':>9}{'CPU':>8}  target")
    for side in ("pack", "unpack"):
        one, two, plain = f"{side} --jobs 1", f"{side} --jobs 2", f"{side} plain"
        rate = n / seconds[one]
        print(f"  {side + ': --jobs 1 records/s':<32}{rate:>9,.0f}{n / fastest[one]:>9,.0f}"
              f"{'':>8}  >= {TARGETS[side]:,} {'PASS' if rate >= TARGETS[side] else 'FAIL'}")
        ratio = seconds[plain] / seconds[one]
        print(f"  {side + ': --jobs 1 / plain road':<32}{ratio:8.2f}x"
              f"{fastest[plain] / fastest[one]:8.2f}x{cpu[plain] / cpu[one]:7.2f}x"
              f"  >= {RATIO_TARGET:.2f}x {'PASS' if ratio >= RATIO_TARGET else 'FAIL'}")
        jobs = seconds[one] / seconds[two]
        print(f"  {side + ': --jobs 2 / --jobs 1':<32}{jobs:8.2f}x"
              f"{fastest[one] / fastest[two]:8.2f}x{'':>8}  >= {JOBS_TARGET:.2f}x on two idle cores "
              f"{'PASS' if jobs >= JOBS_TARGET else 'FAIL'}")


if __name__ == "__main__":
    main()
