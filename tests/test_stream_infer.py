"""infer --delimited and --update, and the README's walkthrough, run as a user runs them."""
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import varied
from kestrune_protocol_buffer_python.commands import protoc
from test_commands import PEAK, kestrune

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
SUMMARY = re.compile(r"kestrune infer: (\d+) records, (\d+) keys, (\d+) conflicts, [\d.]+ seconds\n\Z")


def walkthrough():
    """The command lines of the README's walkthrough block."""
    text = README.read_text(encoding="utf-8")
    block = text.split("<!-- walkthrough -->\n```sh\n", 1)[1].split("```", 1)[0]
    return [line for line in block.splitlines() if line.strip() and not line.startswith("#")]


@pytest.mark.skipif(not README.exists(), reason="needs the checkout's README")
def test_the_readme_walkthrough_takes_every_record_back(tmp_path):
    varied.varied_jsonl(tmp_path / "records.jsonl", 3000)
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    lines = walkthrough()
    assert [line.split()[1] for line in lines] == ["infer", "compile", "pack", "unpack"]
    for line in lines:
        proc = subprocess.run(line, shell=True, cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=300)
        assert proc.returncode == 0, (line, proc.stderr)
    fileset = protoc.descriptor_set(str(tmp_path / "protos" / "records.proto"))
    descriptor = varied.message_class(fileset, "records.TopLevelMessage").DESCRIPTOR
    back = (tmp_path / "back.jsonl").read_text(encoding="utf-8").splitlines()
    assert len(back) == 3000
    for record, line in zip(varied.varied_records(3000), back):
        assert json.loads(line) == varied.expected(record, descriptor)


def infer(tmp_path, lines, *args, setup="pass"):
    (tmp_path / "in.jsonl").write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return kestrune("infer", "--delimited", "in.jsonl", *args, cwd=tmp_path, setup=setup)


def test_jobs_read_the_same_schema(tmp_path):
    varied.varied_jsonl(tmp_path / "in.jsonl", 2000)
    small = "streams.CHUNK_BYTES = 20000"        # many chunks, several in flight
    runs = [kestrune("infer", "--delimited", "--jobs", jobs, source, "-o", f"{jobs}.proto",
                     cwd=tmp_path, setup=small, stdin=(tmp_path / "in.jsonl").read_bytes())
            for jobs, source in (("1", "-"), ("2", "in.jsonl"), ("3", "-"))]
    for proc in runs:
        assert proc.returncode == 0, proc.stderr
        assert SUMMARY.search(proc.stderr.decode()).groups() == ("2000", "24", "0")
    texts = {(tmp_path / f"{jobs}.proto").read_text().replace(f"package p_{jobs};", "") for jobs in "123"}
    assert len(texts) == 1


@pytest.mark.parametrize("lines, args, error", [
    (['{"a": 1}', "", '{"a": 2', '{"a": 3}'], [], "in.jsonl: line 3: invalid JSON: Expecting ',' delimiter"),
    (['{"a": 1}', "[1]"], ["--jobs", "2"], "in.jsonl: line 2: expected a JSON object, got an array"),
    (['{"a": {"b": 1}}', '{"a": {"b": "x"}}', '{"c": [1, null]}'], ["--strict"],
     "--strict: keys of conflicting kinds: a.b (1 number, 1 text: typed as string); "
     "c (1 number, 1 null: typed as repeated string)"),
    (['{"[x]": 1, "ok": {"[]": 2}}'], [],
     'no field can keep these keys: "[x]" (the compiler takes no JSON name that starts with \'[\' and '
     'ends with \']\'); ok."[]" (the compiler'),
    (['{"a": 1}'], ["--update", "missing.proto"], "cannot read missing.proto: No such file"),
])
def test_a_failed_inference_writes_nothing(tmp_path, lines, args, error):
    (tmp_path / "out.proto").write_text("kept")
    proc = infer(tmp_path, lines, "-o", "out.proto", *args, setup="streams.CHUNK_BYTES = 12")
    assert proc.returncode == 1
    assert proc.stderr.decode().splitlines()[-1].startswith(f"kestrune infer: error: {error}"), proc.stderr
    assert (tmp_path / "out.proto").read_text() == "kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl", "out.proto"]


@pytest.mark.parametrize("args, status, error", [
    (["infer", "x.json", "--update", "y.proto"], 2, "kestrune infer: error: --update: for --delimited streams only"),
    (["infer", "--delimited", "-"], 1, "kestrune infer: error: give -o OUT.proto when the records come from "
                                       "standard input"),
])
def test_usage(args, status, error):
    proc = kestrune(*args)
    assert (proc.returncode, proc.stderr.decode()) == (status, error + "\n")


def test_update_in_place_prints_what_changed(tmp_path):
    first = infer(tmp_path, ['{"id": 1, "name": "a"}'], "-o", "s.proto")
    assert first.returncode == 0
    written = (tmp_path / "s.proto").read_text()
    proc = infer(tmp_path, ['{"name": "b", "tags": [{"k": 1.5}], "id": 2}'], "--update", "s.proto")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode() == "added tags: field 3, repeated TagsItem\nProto file 's.proto' updated.\n"
    assert (tmp_path / "s.proto").read_text().startswith(written[:written.rindex("}")])

    # A change that would break old payloads is refused, and the file kept.
    before = (tmp_path / "s.proto").read_bytes()
    proc = infer(tmp_path, ['{"id": 1.5}'], "--update", "s.proto")
    assert proc.returncode == 1
    assert "making it double would break payloads written before" in proc.stderr.decode()
    assert (tmp_path / "s.proto").read_bytes() == before


@pytest.mark.measures_memory
def test_inference_runs_in_constant_memory(tmp_path):
    """Peak memory does not follow the number of records: 40,000 more (12 MB)
    cost less than 4 MiB more."""
    peaks = []
    for count in (10_000, 50_000):
        varied.varied_jsonl(tmp_path / "in.jsonl", count)
        proc = kestrune("infer", "--delimited", "in.jsonl", "-o", "out.proto", cwd=tmp_path, setup=PEAK)
        assert proc.returncode == 0, proc.stderr
        peaks.append(int(proc.stderr.split()[-1]))
    assert peaks[1] - peaks[0] < 4 * 1024, peaks
