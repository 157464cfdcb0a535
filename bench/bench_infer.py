"""Seconds and peak memory of `infer --delimited` over a million records.

Writes the records of the README's walkthrough (tests/varied.py: text in
several scripts, 64-bit identifiers, fractions, nulls, optional keys, nested
objects and lists of objects; about 300 bytes each) as JSON Lines into a
temporary directory, then runs `infer --delimited` with --jobs 1 and --jobs 2
in fresh child processes, round-robin, and prints the wall time (median and
fastest run), the CPU time of the child and its workers, and the peak resident
memory of the child and of its largest worker. The schemas of the two runs
are checked to be the same.

Usage:
    python bench/bench_infer.py [--records N] [--repeat N]
"""
import argparse
import os
import statistics
import sys
import tempfile

from bench_records import run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from varied import varied_jsonl  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each")
    options = parser.parse_args()

    load = os.getloadavg()
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "records.jsonl")
        varied_jsonl(source, options.records)
        size = os.path.getsize(source)
        results = {1: [], 2: []}
        for _ in range(options.repeat):
            for jobs in results:
                target = os.path.join(tmp, f"jobs{jobs}.proto")
                results[jobs].append(run("command", "infer", "--delimited", "-q", "--jobs", str(jobs),
                                         source, "-o", target))
        with open(os.path.join(tmp, "jobs1.proto")) as one, open(os.path.join(tmp, "jobs2.proto")) as two:
            if one.read().replace("jobs1", "jobs2") != two.read():
                raise SystemExit("--jobs 2 inferred another schema than --jobs 1")

    print(f"{options.records} records ({size / 1e6:.0f} MB), {options.repeat} runs each; load average "
          f"before {load[0]:.2f}, after {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    print(f"  {'':<10}{'median s':>10}{'fastest s':>11}{'CPU s':>8}{'peak RSS':>12}{'worker RSS':>13}")
    for jobs, runs in results.items():
        seconds = [r["seconds"] for r in runs]
        print(f"  --jobs {jobs:<3}{statistics.median(seconds):>10.2f}{min(seconds):>11.2f}"
              f"{statistics.median(r['cpu'] for r in runs):>8.2f}"
              f"{max(r['rss_kib'] for r in runs) / 1024:>8.1f} MiB"
              f"{max(r['worker_rss_kib'] for r in runs) / 1024:>9.1f} MiB")


if __name__ == "__main__":
    main()
