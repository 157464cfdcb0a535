"""The file commands infer, pack and unpack, run as a user runs them: in child processes."""
import argparse
import fcntl
import json
import os
import pty
import re
import struct
import subprocess
import sys
import termios
import threading
import zlib

import pytest
from google.protobuf.internal import encoder
from hypothesis import given
from hypothesis import strategies as st

import records
from commandline import (MAIN, PEAK, framed, json_line, jsonl, kestrune, payload_of, sample_records,
                         summary, summary_line, unframed)
from conftest import PACKAGE_DIR, check_python
from kestrune_protocol_buffer_python import commands, pack_payload
from kestrune_protocol_buffer_python.commands import records as records_module
from kestrune_protocol_buffer_python.commands import streams
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

# ---- framing ---------------------------------------------------------------------------


@given(st.integers(0, 2**31 - 1))
def test_length_prefix_is_the_protobuf_varint(n):
    assert streams.varint(n) == encoder._VarintBytes(n)
    data = streams.varint(n) + b"\0" * min(n, 300)
    frame = streams.frame_at(data, 0, len(data))
    assert (frame is None) == (n > 300)
    if frame:
        assert frame == (len(streams.varint(n)), len(data))


def streams_of_zlib():
    """zlib streams of repetitive data (which compresses up to the limit of deflate),
    whole, cut short or followed by other bytes; and bytes of any kind."""
    data = st.tuples(st.binary(min_size=1, max_size=20), st.integers(1, 20_000)).map(lambda pair: pair[0] * pair[1])
    whole = st.tuples(data, st.sampled_from([0, 9])).map(lambda pair: zlib.compress(*pair))
    return st.one_of(
        whole,
        st.tuples(whole, st.integers(1, 8)).map(lambda pair: pair[0][:-pair[1]]),
        st.tuples(whole, st.binary(min_size=1, max_size=8)).map(lambda pair: pair[0] + pair[1]),
        st.binary(max_size=40))


@given(streams_of_zlib(), st.data())
def test_inflate_opens_what_zlib_opens_up_to_the_limit(payload, data):
    try:
        expected = zlib.decompress(payload)
    except zlib.error as exc:
        expected = exc
    # Limits around the size of what the stream holds.
    size = len(expected) if isinstance(expected, bytes) else 1000
    limit = data.draw(st.integers(1, 2 * size + 2))
    try:
        got = records_module.inflate(payload, limit)
    except (zlib.error, records_module.BadRecord) as exc:
        got = exc
    if isinstance(got, records_module.BadRecord):
        # Beyond the limit; a corrupt stream may be found so before its corruption.
        assert got.reason == f"the payload's message is more than {limit} bytes (--max-record-bytes)"
        assert isinstance(expected, zlib.error) or len(expected) > limit
    elif isinstance(expected, zlib.error):
        assert type(got) is zlib.error and str(got) == str(expected)
    else:
        assert got == expected and len(expected) <= limit


# ---- infer -------------------------------------------------------------------------------


def test_infer_writes_a_schema_the_compiler_accepts(tmp_path):
    (tmp_path / "sample.json").write_text(json.dumps(records.sample_record()))
    proc = kestrune("infer", "sample.json", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b"Proto file 'sample.proto' generated successfully.\n"
    with open(os.path.join(PACKAGE_DIR, "grpc", "protos", "zorva_data.proto")) as f:
        assert (tmp_path / "sample.proto").read_text() == f.read().replace("zorva_data;", "sample;")

    # In another directory, made if need be, the package is still named after the file alone.
    proc = kestrune("infer", "sample.json", "-o", "out/mention.proto", cwd=tmp_path)
    assert proc.stdout == b"Proto file 'out/mention.proto' generated successfully.\n"
    assert "package mention;" in (tmp_path / "out" / "mention.proto").read_text()
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", "-Iout", "--python_out=out", "mention.proto"],
                   cwd=tmp_path, check=True, capture_output=True)


@pytest.mark.parametrize("content, error", [
    ("", "sample.json: invalid JSON: Expecting value at column 1"),
    ("[1]", "sample.json: expected a JSON object, got an array"),
    (None, "cannot read sample.json: No such file or directory"),
])
def test_infer_refuses_what_is_not_a_sample(tmp_path, content, error):
    if content is not None:
        (tmp_path / "sample.json").write_text(content)
    proc = kestrune("infer", "sample.json", cwd=tmp_path)
    assert (proc.returncode, proc.stderr.decode()) == (1, f"kestrune infer: error: {error}\n")
    assert not (tmp_path / "sample.proto").exists()


# ---- one record ----------------------------------------------------------------------------


def test_one_record_round_trip(tmp_path):
    record = records.sample_record()
    record["Extra"] = 1
    (tmp_path / "in.json").write_text(json.dumps(record, indent=2))
    proc = kestrune("pack", "in.json", "-o", "out.bin", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout == b""
    assert proc.stderr.decode().startswith("Warning: Extra is not a valid field of TopLevelMessage\n")
    assert (tmp_path / "out.bin").read_bytes() == payload_of(record)
    assert summary(proc) == (1, len(payload_of(record)), 1, 0)

    proc = kestrune("unpack", "-", stdin=payload_of(record))
    assert proc.returncode == 0
    assert json.loads(proc.stdout) == json_line(record)


@pytest.mark.parametrize("command, data, error", [
    ("pack", b'{\n  "ChannelGroup": 1,\n  "ChannelType": x\n}', "line 3: invalid JSON: Expecting value at column 18"),
    ("pack", b'{"ChannelType": "x"}', 'field ChannelType takes an integer, the record has the string "x"'),
    ("pack", jsonl([{}, {}]), "line 2: invalid JSON: Extra data at column 1 (JSON Lines need --delimited)"),
    ("pack", b" \n", "empty input: expected one JSON object"),
    ("unpack", b"", "empty input: expected one payload"),
    ("unpack", framed([payload_of({})]), "zlib.error: Error -3 while decompressing data: incorrect header "
                                         "check (a length-delimited stream needs --delimited)"),
])
def test_one_bad_record_writes_nothing(tmp_path, command, data, error):
    (tmp_path / "out").write_bytes(b"kept")
    proc = kestrune(command, "-", "-o", tmp_path / "out", stdin=data)
    assert (proc.returncode, proc.stderr.decode()) == (1, f"kestrune {command}: error: {error}\n")
    assert (tmp_path / "out").read_bytes() == b"kept"


# ---- streams ---------------------------------------------------------------------------------


def test_stream_round_trip_through_pipes():
    batch = list(sample_records(30))
    proc = kestrune("pack", "--delimited", "-", "-o", "-", stdin=jsonl(batch))
    assert proc.returncode == 0
    assert unframed(proc.stdout) == [payload_of(r) for r in batch]
    warnings = [line for line in proc.stderr.decode().splitlines() if "Warning" in line]
    assert warnings == [f"line {i + 1}: Warning: NotAField is not a valid field of TopLevelMessage"
                        for i in range(30) if i % 7 == 3]
    assert summary(proc) == (30, sum(len(payload_of(r)) for r in batch), len(warnings), 0)

    back = kestrune("unpack", "--delimited", "-", stdin=proc.stdout)
    assert back.returncode == 0
    assert [json.loads(line) for line in back.stdout.splitlines()] == [json_line(r) for r in batch]
    assert summary(back) == (30, summary(proc)[1], 0, 0)


@pytest.mark.parametrize("command", ["pack", "unpack"])
def test_empty_stream_is_a_stream_of_nothing(tmp_path, command):
    proc = kestrune(command, "--delimited", "-", "-o", tmp_path / "out", stdin=b"")
    assert proc.returncode == 0
    assert (tmp_path / "out").read_bytes() == b""
    assert summary(proc) == (0, 0, 0, 0)


def test_a_run_in_one_process_imports_neither_the_pool_nor_the_bar(tmp_path):
    # Each would add a tenth to the start of every run.
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    out = check_python(f"""
        import sys
        from kestrune_protocol_buffer_python.__main__ import main
        for command in ("pack", "unpack"):
            assert main([command, "--delimited", {str(empty)!r}, "-o", {str(tmp_path / "out")!r}]) == 0
        print([name for name in ("tqdm", "concurrent.futures.process", "ctypes") if name in sys.modules])
        """)
    assert out == "[]\n"


BAD_LINES = {
    "type": ('{"RawData": {"UserInfo": {"AuthorSocialID": 7}}}',
             "field RawData.UserInfo.AuthorSocialID takes a string, the record has the integer 7"),
    "json": ('{"ChannelGroup": 1,', "invalid JSON: Expecting property name enclosed in double quotes "
                                    "at column 20"),
    "array": ("[1, 2]", "expected a JSON object, got an array"),
    "strict": ('{"ChannelGroup": 9, "Nope": 1}',
               "refused by --strict: Warning: Nope is not a valid field of TopLevelMessage"),
}


@pytest.mark.parametrize("skip", [False, True], ids=["stop", "skip-bad"])
@pytest.mark.parametrize("kind", BAD_LINES)
def test_bad_line_in_the_middle(tmp_path, kind, skip):
    good = [{"ChannelGroup": n + 1} for n in range(4)]
    bad, reason = BAD_LINES[kind]
    lines = jsonl(good[:2] + ["\n", bad + "\n"] + good[2:])          # the bad record is line 4
    flags = ["--strict"] * (kind == "strict") + ["--skip-bad"] * skip
    proc = kestrune("pack", "--delimited", *flags, "-", "-o", tmp_path / "out", stdin=lines)
    written = unframed((tmp_path / "out").read_bytes())
    if skip:
        assert proc.returncode == 0
        assert f"line 4: skipped: {reason}\n" in proc.stderr.decode()
        assert written == [payload_of(r) for r in good]
        assert summary(proc)[::3] == (4, 1)
    else:
        assert proc.returncode == 1
        assert f"kestrune pack: error: line 4: {reason}\n" in proc.stderr.decode()
        assert written == [payload_of(r) for r in good[:2]]
        assert summary(proc)[::3] == (2, 0)


@pytest.mark.parametrize("skip", [False, True], ids=["stop", "skip-bad"])
def test_bad_payload_in_the_middle(skip):
    good = [payload_of({"ChannelGroup": n + 1}) for n in range(4)]
    stream = framed(good[:2] + [b"not zlib"] + good[2:])
    offset = len(framed(good[:2]))
    proc = kestrune("unpack", "--delimited", *["--skip-bad"] * skip, "-", stdin=stream)
    reason = (f"record 3 at offset {offset}: " + "skipped: " * skip +
              "zlib.error: Error -3 while decompressing data: incorrect header check\n")
    assert reason in proc.stderr.decode()
    assert [json.loads(line) for line in proc.stdout.splitlines()] == \
        [{"ChannelGroup": n + 1} for n in range(4 if skip else 2)]
    assert proc.returncode == (0 if skip else 1)


@pytest.mark.parametrize("tail, error", [
    (b"\x80", "truncated stream: the stream ends inside a length prefix"),
    (b"\xac\x02" + b"x" * 10, "truncated stream: the frame there announces 300 payload bytes "
                              "and only 10 follow"),
    (b"\xff" * 11, "corrupt length prefix (not a length-delimited stream of payloads?)"),
])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_truncated_stream_names_the_offset(tail, error, jobs):
    good = [payload_of({"ChannelGroup": n + 1}) for n in range(3)]
    proc = kestrune("unpack", "--delimited", "--jobs", jobs, "-", stdin=framed(good) + tail,
                    setup="streams.CHUNK_BYTES = 16")
    assert f"kestrune unpack: error: offset {len(framed(good))}: {error}\n" in proc.stderr.decode()
    assert [json.loads(line) for line in proc.stdout.splitlines()] == [{"ChannelGroup": n + 1} for n in range(3)]
    assert proc.returncode == 1


ROAD_MODULE = ("--module", "kestrune_payload_road_pb2", "--type", "Basket")
# Values that their fields cannot take, and the reasons that name them.
WRONG_VALUES = {
    "data": ((), [
        ('{"RawData": {"NumShareCount": null}}', "field RawData.NumShareCount takes an integer, the record has null"),
        ('{"ServiceName": 5}', "field ServiceName takes a string, the record has the integer 5"),
        ('{"ServiceName": NaN}', "field ServiceName takes a string, the record has NaN"),
        ('{"ServiceName": [1]}', "field ServiceName takes a string, the record has an array"),
        # Deeper than the standard parser goes, not than the fast one.
        ('{"ServiceName": %s}' % ("[" * 1000 + "]" * 1000),
         "field ServiceName takes a string, the record has an array"),
        ('{"ChannelGroup": 2.5}', "field ChannelGroup takes an integer, the record has the number 2.5"),
        ('{"ChannelGroup": true}', "field ChannelGroup takes an integer, the record has true"),
        ('{"RawData": {"ObjectId": 123456789012345678901234567890}}',
         "field RawData.ObjectId takes an integer from -9223372036854775808 to 9223372036854775807, "
         "the record has the integer 123456789012345678901234567890"),
        # JSON text in a message field: the line itself is valid JSON.
        ('{"RawData": "{\\"OrderID\\": 1"}', 'field RawData takes an object or JSON text of one, the record '
         'has the string "{\\"OrderID\\": 1", which is not JSON: Expecting \',\' delimiter at column 14'),
        ('{"RawData": "{\\"UserInfo\\": {\\"AuthorSocialID\\": 7}}"}',
         "field RawData.UserInfo.AuthorSocialID takes a string, the record has the integer 7"),
    ]),
    "road": (ROAD_MODULE, [
        ('{"Numbers": [1, "2"]}', 'field Numbers takes an array of integers, item 1 of the record\'s array '
                                  'is the string "2"'),
        ('{"Tags": ["a", null]}', "field Tags takes an array of strings, item 1 of the record's array is null"),
        ('{"Entries": [{"Count": 1}, {"Count": "2"}]}', 'field Entries.Count takes an integer, the record has '
                                                        'the string "2"'),
        ('{"Entries": ["{\\"Label\\": 5}"]}', "field Entries.Label takes a string, the record has the integer 5"),
        ('{"Entries": [{}, "{x"]}', "field Entries takes an array of objects or JSON texts of them, item 1 of "
         'the record\'s array is the string "{x", which is not JSON: Expecting property name enclosed in '
         "double quotes at column 2"),
        ('{"Entries": [3]}', "field Entries takes an array of objects or JSON texts of them, item 0 of the "
                             "record's array is the integer 3"),
        ('{"Featured": {"Inner": {"Count": []}}}', "field Featured.Inner.Count takes an integer, the record has "
                                                   "an array"),
        ('{"Total": 9223372036854775808}', "field Total takes an integer from -9223372036854775808 to "
                                           "9223372036854775807, the record has the integer 9223372036854775808"),
    ]),
}


@pytest.mark.parametrize("schema", WRONG_VALUES)
def test_a_wrong_value_is_named_with_its_field_and_kind(road, schema):
    flags, rows = WRONG_VALUES[schema]
    lines = jsonl([text + "\n" for text, _ in rows] + [{}])
    proc = kestrune("pack", "--delimited", "--skip-bad", *flags, "-", "-o", "-", stdin=lines,
                    cwd=os.path.dirname(road.__file__))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.decode().splitlines()[:-1] == \
        [f"line {n}: skipped: {reason}" for n, (_, reason) in enumerate(rows, 1)]
    assert summary(proc)[::3] == (1, len(rows))


@pytest.mark.parametrize("skip", [False, True], ids=["stop", "skip-bad"])
def test_records_of_another_type_are_bad_records(tmp_path, skip):
    # Records of the whole message read as its RawData: no key is a field.
    batch = [records.sample_record() for _ in range(20)] + [{}, {"OrderID": 5, "Nope": 1}]
    proc = kestrune("pack", "--delimited", "--type", "TopLevelMessage.RawdataMessage", *["--skip-bad"] * skip,
                    "-", "-o", tmp_path / "out", stdin=jsonl(batch))
    reason = ("none of the record's keys (RawData, ChannelGroup, ChannelType and 3 more) is a field of "
              "RawdataMessage (the wrong --type?)")
    parts = summary_line(proc.stderr)
    if not skip:
        assert proc.returncode == 1
        assert proc.stderr.decode().splitlines()[0] == f"kestrune pack: error: line 1: {reason}"
        assert (tmp_path / "out").read_bytes() == b""
        assert (parts["records"], parts["lacking"]) == ("0", "1")
        return
    assert proc.returncode == 0
    lines = proc.stderr.decode().splitlines()
    assert lines[:20] == [f"line {n}: skipped: {reason}" for n in range(1, 21)]
    assert lines[20] == "line 22: Warning: Nope is not a valid field of RawdataMessage"
    assert (parts["records"], parts["skipped"], parts["lacking"]) == ("2", "20", "21")
    assert len(unframed((tmp_path / "out").read_bytes())) == 2


@pytest.mark.parametrize("flags", [[], ["--warnings", "all"], ["--strict", "--skip-bad"]],
                         ids=["first", "all", "strict"])
def test_warnings_print_the_first_few_of_each_kind(flags):
    # Every record has a key the type lacks; every third a message field that is no object.
    batch = [{"ChannelGroup": n, "Nope": n, **({"BrandInfo": 5} if n % 3 == 0 else {})} for n in range(1, 41)]
    unknown = [(n, f"line {n}: Warning: Nope is not a valid field of TopLevelMessage") for n in range(1, 41)]
    non_dict = [(n, f"line {n}: Error: Field BrandInfo is a message type, but a non-dict value was provided")
                for n in range(3, 41, 3)]
    # Chunks of a few records each, in flight at once in two workers: the same lines.
    runs = [kestrune("pack", "--delimited", *flags, *jobs, "-", "-o", "-", stdin=jsonl(batch),
                     setup="streams.CHUNK_BYTES = 200") for jobs in ([], ["--jobs", "2"])]
    assert without_times(runs[0]) == without_times(runs[1])
    proc = runs[0]
    lines = proc.stderr.decode().splitlines()
    printed = [line for line in lines if "Warning" in line.split(":")[1] or "Error" in line.split(":")[1]]
    parts = summary_line(proc.stderr)
    assert (parts["warnings"], parts["lacking"]) == ("53", "40")
    if flags == ["--warnings", "all"]:
        assert printed == [text for _, text in sorted(unknown + non_dict, key=lambda item: item[0])]
        assert parts["printed"] is None
        return
    assert printed == [text for _, text in sorted(unknown[:5] + non_dict[:5], key=lambda item: item[0])]
    assert (parts["printed"], parts["held"]) == ("10", "8 non-dict value, 35 unknown key")
    if flags:
        # --strict: every record is bad, and each is reported.
        assert [line for line in lines[:-1] if "skipped" in line] == \
            [f"line {n}: skipped: refused by --strict: {text.split(': ', 1)[1]}"
             + (" (and 1 more)" if n % 3 == 0 else "") for n, text in unknown]
        assert summary(proc)[::3] == (0, 40)


def test_any_compiled_schema_and_payloads_of_another_type(road, tmp_path):
    # The compiled test schema, importable from the directory the command runs in.
    module_dir = os.path.dirname(road.__file__)
    baskets = [{"Title": "t", "Numbers": [1, 2]}, {"BigNumbers": [5]}]
    proc = kestrune("pack", "--delimited", "--module", "kestrune_payload_road_pb2", "--type", "Basket",
                    "-", "-o", "-", stdin=jsonl(baskets), cwd=module_dir)
    assert proc.returncode == 0, proc.stderr
    back = kestrune("unpack", "--delimited", "--module", "kestrune_payload_road_pb2", "--type", "Basket",
                    "-", stdin=proc.stdout, cwd=module_dir)
    assert [json.loads(line) for line in back.stdout.splitlines()] == \
        [{"Title": "t", "Numbers": [1, 2]}, {"BigNumbers": ["5"]}]

    # As the data record: one does not parse, the other would lose field 7.
    wrong = kestrune("unpack", "--delimited", "--skip-bad", "-", stdin=proc.stdout)
    assert wrong.stdout == b""
    lines = wrong.stderr.decode().splitlines()
    assert lines[0].startswith("record 1 at offset 0: skipped: DecodeError: Error parsing message")
    assert lines[1].endswith("skipped: the payload holds field numbers 7 that TopLevelMessage does not "
                             "define (a payload of another message type, or of a newer schema?)")


@pytest.mark.parametrize("args, error", [
    (["--module", "no_such_pb2"], "cannot load the schema module no_such_pb2: ModuleNotFoundError: "
                                  "No module named 'no_such_pb2'"),
    (["--type", "TopLevelMessage.Nope"], "has no message type TopLevelMessage.Nope: AttributeError"),
    (["--compressor", "isal"], "--compressor isal needs the isal package: "
                               "pip install 'kestrune_protocol_buffer_python[isal]'"),
    (["--module", "exiting_pb2"], "cannot load the schema module exiting_pb2: it called sys.exit(3)"),
])
def test_a_run_that_cannot_start_says_why_in_one_line(tmp_path, args, error):
    (tmp_path / "exiting_pb2.py").write_text("import sys\nsys.exit(3)\n")
    proc = kestrune("pack", "--delimited", *args, "-", "-o", tmp_path / "out", stdin=jsonl([{}]),
                    setup="import sys; sys.modules['isal'] = None", cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.decode().count("\n") == 1 and error in proc.stderr.decode()
    assert not (tmp_path / "out").exists()


# ---- compressors, progress, memory ------------------------------------------------------------


@pytest.mark.parametrize("compressor, module", [("zlib-ng", "zlib_ng.zlib_ng"), ("isal", "isal.isal_zlib")])
def test_other_compressors_make_payloads_zlib_opens(compressor, module):
    pytest.importorskip(module)
    batch = list(sample_records(5))
    default = kestrune("pack", "--delimited", "-", "-o", "-", stdin=jsonl(batch))
    other = kestrune("pack", "--delimited", "--compressor", compressor, "-", "-o", "-", stdin=jsonl(batch))
    assert unframed(default.stdout) == [payload_of(r) for r in batch]
    assert other.stdout != default.stdout
    assert [zlib.decompress(p) for p in unframed(other.stdout)] == \
        [zlib.decompress(p) for p in unframed(default.stdout)]


def run_on_a_terminal(args, rows_cols, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, input=b""):
    """Runs the command with standard error (or standard output, when `stdout` is
    None) on a terminal of rows_cols; returns the exit status and what it showed there."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", *rows_cols, 0, 0))
    proc = subprocess.Popen([sys.executable, "-c", MAIN.format(setup="pass"), *map(str, args)],
                            stdin=stdin, stdout=follower if stdout is None else stdout, stderr=follower)
    os.close(follower)
    if stdin == subprocess.PIPE:
        # Fed from a thread, while the terminal is read here.
        feeder = threading.Thread(target=proc.communicate, args=(input,))
        feeder.start()
    seen = b""
    while True:
        try:
            data = os.read(leader, 65536)
        except OSError:                # EIO: the child closed the terminal
            break
        if not data:
            break
        seen += data
    os.close(leader)
    if stdin == subprocess.PIPE:
        feeder.join(timeout=60)
    return proc.wait(timeout=60), seen.decode()


@pytest.mark.parametrize("terminal, quiet, source, shown", [
    ((24, 80), False, "file", "percentage"),
    ((24, 80), False, "pipe", "records"),
    ((0, 0), False, "file", "percentage"),    # a terminal that reports no size
    ((24, 80), True, "file", None),
    (None, False, "file", None),              # standard error piped
])
def test_progress_bar_only_on_a_terminal(tmp_path, terminal, quiet, source, shown):
    """A bar with records per second, and for a regular file the share of it read
    and the time left."""
    records_in = jsonl(sample_records(3000))
    (tmp_path / "in").write_bytes(records_in)
    args = ["pack", "--delimited", *["--quiet"] * quiet, "-" if source == "pipe" else tmp_path / "in",
            "-o", tmp_path / "out"]
    if terminal is None:
        seen = kestrune(*args).stderr.decode()
    else:
        fed = subprocess.PIPE if source == "pipe" else subprocess.DEVNULL
        status, seen = run_on_a_terminal(args, terminal, stdin=fed, input=records_in)
        assert status == 0
    assert ("records/s]" in seen) == bool(shown)
    percentage = re.search(r"pack: +\d+%\|.*\| [\d.]+\w?/[\d.]+\w? bytes \[\d\d:\d\d<", seen)
    assert bool(percentage) == (shown == "percentage")
    assert seen.rstrip().splitlines()[-1].lstrip("\r ").startswith("kestrune pack: 3000 records")


def test_payloads_never_go_to_a_terminal(tmp_path):
    (tmp_path / "in").write_bytes(jsonl([{"ChannelGroup": 1}]))
    for flags in ([], ["--delimited"]):
        status, seen = run_on_a_terminal(["pack", *flags, tmp_path / "in", "-o", "-"], (24, 80), stdout=None)
        assert (status, seen) == (1, "kestrune pack: error: standard output is a terminal, and payloads "
                                     "are binary: give -o FILE or redirect standard output\r\n")
    # JSON is text: unpack writes to a terminal.
    (tmp_path / "bin").write_bytes(payload_of({"ChannelGroup": 1}))
    status, seen = run_on_a_terminal(["unpack", tmp_path / "bin"], (24, 80), stdout=None)
    assert status == 0 and seen.startswith('{"ChannelGroup":1}\r\n')


@pytest.mark.measures_memory
def test_streams_run_in_constant_memory(tmp_path):
    """Peak memory does not follow the length of the stream: 20,000 more records
    (20 MB of JSON Lines, 7 MB of payloads) cost less than 4 MiB more."""
    peaks = {}
    for count in (10_000, 30_000):
        with open(tmp_path / "in", "wb") as f:
            for start in range(0, count, 1000):
                f.write(jsonl(sample_records(1000)))
        for command, source, target in (("pack", "in", "bin"), ("unpack", "bin", "out")):
            proc = kestrune(command, "--delimited", tmp_path / source, "-o", tmp_path / target, setup=PEAK)
            assert proc.returncode == 0
            peaks[command, count] = int(proc.stderr.split()[-1])
    for command in ("pack", "unpack"):
        assert peaks[command, 30_000] - peaks[command, 10_000] < 4 * 1024, peaks


# ---- parallel runs ---------------------------------------------------------------------------


def mixed_stream(count, first_bad=5):
    """JSON Lines with warnings and bad records among good ones."""
    lines = [json.dumps(r) + "\n" for r in sample_records(count)]
    for index in range(first_bad, count, 97):
        lines[index] = '{"ChannelType": "x"}\n'
    return "".join(lines).encode()


SLOTS = "from kestrune_protocol_buffer_python.commands import runners; runners.SLOT_BYTES = {}"


def without_times(proc):
    return proc.returncode, proc.stdout, re.sub(rb"[\d.]+ seconds", b"", proc.stderr)


@pytest.mark.parametrize("skip", [True, False], ids=["skip-bad", "stop"])
def test_jobs_keep_the_order_and_the_bytes(tmp_path, skip):
    # Chunks of about eight records: many chunks, in flight at once, out of step.
    # Workers read a file's chunks themselves, and get those of a pipe sent.
    # They hand their output back in shared memory, or through the result pipe
    # when it does not fit: the piped runs have slots that about half the
    # chunks' outputs overflow.
    small = "streams.CHUNK_BYTES = 8000"
    (tmp_path / "in").write_bytes(mixed_stream(1500, 5) if skip else mixed_stream(600, 300))
    flags = ["--delimited", *["--skip-bad"] * skip, "-o", "-"]
    one = kestrune("pack", *flags, "-", stdin=(tmp_path / "in").read_bytes(), setup=small)
    three = kestrune("pack", *flags, "--jobs", "3", tmp_path / "in", setup=small)
    piped = kestrune("pack", *flags, "--jobs", "2", "-", stdin=(tmp_path / "in").read_bytes(),
                     setup=small + "; " + SLOTS.format(2855))
    assert without_times(one) == without_times(three) == without_times(piped)
    if not skip:
        assert one.returncode == 1 and b"error: line 301:" in one.stderr
        assert summary(one)[0] == 300
        return
    assert summary(one)[::3] == (1500 - 16, 16)
    (tmp_path / "bin").write_bytes(one.stdout)
    back_one = kestrune("unpack", "--delimited", tmp_path / "bin", setup=small)
    back_three = kestrune("unpack", "--delimited", "--jobs", "3", tmp_path / "bin", setup=small)
    back_piped = kestrune("unpack", "--delimited", "--jobs", "2", "-", stdin=one.stdout,
                          setup=small + "; " + SLOTS.format(9000))
    assert back_one.returncode == 0
    assert without_times(back_one) == without_times(back_three) == without_times(back_piped)


def test_dask_cluster_gives_the_same_output():
    distributed = pytest.importorskip("distributed")
    small = "streams.CHUNK_BYTES = 20000"
    stream = mixed_stream(2000)
    one = kestrune("pack", "--delimited", "--skip-bad", "-", "-o", "-", stdin=stream, setup=small)
    back_one = kestrune("unpack", "--delimited", "-", stdin=one.stdout, setup=small)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                  dashboard_address=None) as cluster:
        address = cluster.scheduler_address
        on_dask = kestrune("pack", "--delimited", "--skip-bad", "--dask", address, "-", "-o", "-",
                           stdin=stream, setup=small)
        back_dask = kestrune("unpack", "--delimited", "--dask", address, "-", stdin=one.stdout, setup=small)
        # A user's own job: records and payloads travel, the package's functions
        # are found on the worker by name, and messages never leave the task.
        with distributed.Client(cluster) as client:
            remote = client.submit(lambda record: pack_payload.pack_payload(pack_payload.set_message_fields(
                zorva_data_pb2.TopLevelMessage(), record)), records.sample_record()).result()
            assert remote == payload_of(records.sample_record())
    assert without_times(one) == without_times(on_dask)
    assert without_times(back_one) == without_times(back_dask)
    assert back_one.returncode == 0 and back_one.stdout.count(b"\n") == summary(one)[0]


def test_register_serves_another_parser():
    parser = argparse.ArgumentParser(prog="launcher")
    commands.register(parser.add_subparsers(dest="command"))
    args = parser.parse_args(["pack", "x.jsonl", "-o", "x.bin", "--delimited", "--jobs", "2"])
    assert (args.input, args.output, args.jobs, args.module, args.type, args.compressor) == \
        ("x.jsonl", "x.bin", 2, commands.DEFAULT_MODULE, "TopLevelMessage", "zlib")
    assert callable(args.handler)
    proc = kestrune("pack", "--jobs", "2", "x", "-o", "y")
    assert (proc.returncode, proc.stderr) == (2, b"kestrune pack: error: --jobs: for --delimited streams only\n")


def test_the_launcher_loads_no_extension_module_and_chunk_functions_pickle_by_name():
    # An extension module loaded with the launcher could not run as the main program.
    out = check_python("""
        import importlib.machinery, pickle, sys
        import kestrune_protocol_buffer_python.__main__
        print([name for name, module in sys.modules.items() if name.startswith("kestrune")
               and isinstance(getattr(module, "__loader__", None), importlib.machinery.ExtensionFileLoader)])
        from kestrune_protocol_buffer_python.commands import pack_chunk, unpack_chunk
        print([pickle.loads(pickle.dumps(task)) is task for task in (pack_chunk, unpack_chunk)])
        """)
    assert out == "[]\n[True, True]\n"
