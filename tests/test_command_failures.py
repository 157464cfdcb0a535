"""How the file commands end when a run meets trouble: a stopping signal (with
worker processes, a Dask cluster, a stalled reader), a killed parent, a full
disk, a reader that goes away, an output that is the input, a payload that
expands beyond the limit. Whatever ends a run, its output holds whole
records, as many as the summary line says, and no process of it is left."""
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
import zlib

import psutil
import pytest
from google.protobuf.internal import encoder
from kestrune_protocol_buffer_python.commands.road import WORKER_ENDED

import records
from conftest import check_python
from commandline import (PEAK, framed, json_line, jsonl, kestrune, payload_of, sample_records,
                         start_kestrune, summary_line, unframed)

if sys.platform == "win32":
    pytest.skip("POSIX signals, pipes and devices", allow_module_level=True)

# Chunks of a few records: many of them, several in flight.
SMALL = "streams.CHUNK_BYTES = 8000"
# A run as started from a terminal, where the stopping signals stop it: this
# test process may itself have been started with some of them ignored (SIGINT
# in a background job of a shell without job control, SIGHUP under nohup),
# which a command rightly keeps.
FROM_A_TERMINAL = ("import signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
                   "signal.signal(signal.SIGTERM, signal.SIG_DFL); "
                   "signal.signal(signal.SIGHUP, signal.SIG_DFL)")
DEADLINE = 60
BATCH = list(sample_records(400))


def wait_for(condition, what):
    """Polls `condition` until it holds; fails after DEADLINE seconds."""
    deadline = time.monotonic() + DEADLINE
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def stream_of(command, batch=BATCH):
    """The input of `command` for `batch`, and the record each output record must be."""
    payloads = [payload_of(record) for record in batch]
    if command == "pack":
        return jsonl(batch), payloads
    return framed(payloads), [json_line(record) for record in batch]


def written(command, data):
    """The records in an output: whole ones only, or the test fails."""
    if command == "pack":
        return unframed(data)
    assert data.endswith(b"\n") or not data, data[-80:]
    return [json.loads(line) for line in data.splitlines()]


def all_gone(processes):
    """Whether the processes end within DEADLINE; those that do not are killed."""
    gone, alive = psutil.wait_procs(processes, timeout=DEADLINE)
    for process in alive:
        process.kill()
    return not alive


def has_ended(process):
    """Whether the process has ended (its parent may not have reaped it yet)."""
    try:
        return process.status() == psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return True


def feed(proc, data):
    """Writes `data` to the process's standard input (unbuffered, so that closing
    it never waits for this write) from a thread, which the process may stop
    reading; the pipe stays open, so the run cannot end."""
    def write():
        view = memoryview(data)
        try:
            while view:
                view = view[proc.stdin.write(view):]
        except (OSError, ValueError):
            pass
    feeder = threading.Thread(target=write, daemon=True)
    feeder.start()
    return feeder


def read_to_the_end(stream):
    """All a pipe gives until it is closed; fails when that takes over DEADLINE seconds."""
    parts = []
    reader = threading.Thread(target=lambda: parts.append(stream.read()), daemon=True)
    reader.start()
    reader.join(DEADLINE)
    assert parts, "the pipe stayed open"
    return parts[0]


def close_input(proc):
    """Closes the process's standard input, whose last bytes it may not have read."""
    try:
        proc.stdin.close()
    except BrokenPipeError:
        pass


def start_midstream(tmp_path, command, flags):
    """Starts `command` on half a stream fed through an open pipe; returns once
    output is on disk: the process, those it started, the whole stream with
    the records the output must begin with, and the thread that feeds it. Standard error goes to a file: a
    process left behind would hold a pipe open."""
    data, expected = stream_of(command)
    out = tmp_path / "out"
    with open(tmp_path / "err", "wb") as err:
        proc = start_kestrune(command, "--delimited", *flags, "-", "-o", out,
                              setup=f"{SMALL}; {FROM_A_TERMINAL}", bufsize=0,
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=err)
    feeder = feed(proc, data[:len(data) // 2])
    wait_for(lambda: out.exists() and out.stat().st_size > 0, "output")
    return proc, psutil.Process(proc.pid).children(recursive=True), data, expected, feeder


def ended_run(tmp_path, command, proc, started, expected):
    """Waits for the run; checks that the output holds the whole records the
    summary line counts. Returns the exit status, standard error, the summary
    line's parts and whether every process the run started ended (those left
    are killed)."""
    try:
        status = proc.wait(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        proc.kill()
        all_gone(started)
        raise
    ended = all_gone(started)
    close_input(proc)
    stderr = (tmp_path / "err").read_bytes()
    parts = summary_line(stderr)
    assert written(command, (tmp_path / "out").read_bytes()) == expected[:int(parts["records"])]
    return status, stderr, parts, ended


def interrupt_midstream(tmp_path, command, flags, signum):
    """Sends `signum` to a run mid-stream (the rest of the stream never comes);
    returns the exit status, how many processes the run had started and whether
    they all ended."""
    proc, started, _, expected, _ = start_midstream(tmp_path, command, flags)
    proc.send_signal(signum)
    status, stderr, parts, ended = ended_run(tmp_path, command, proc, started, expected)
    assert parts["interrupted"], stderr
    return status, len(started), ended


@pytest.mark.parametrize("command, jobs, signum", [
    ("pack", 2, signal.SIGINT),
    ("pack", 2, signal.SIGTERM),
    ("pack", 2, signal.SIGHUP),
    ("unpack", 2, signal.SIGTERM),
    ("pack", 1, signal.SIGTERM),
    ("unpack", 1, signal.SIGINT),
])
def test_a_signal_stops_the_run_and_its_workers(tmp_path, command, jobs, signum):
    status, started, ended = interrupt_midstream(tmp_path, command, ["--jobs", jobs], signum)
    assert (status, ended) == (128 + signum, True)
    assert started >= (2 if jobs > 1 else 0)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the parent-death signal is Linux's")
def test_a_signal_whose_exception_is_lost_still_stops_the_run():
    # The handler runs wherever the main thread is: inside a __del__ method
    # (as in a Dask client's futures), the interpreter reports its exception and
    # drops it. The run's next check between chunks raises it again.
    out = check_python(f"""
        import os, signal, time
        from kestrune_protocol_buffer_python.commands import signals
        {FROM_A_TERMINAL}

        class Dropped:
            def __del__(self):
                os.kill(os.getpid(), signal.SIGTERM)
                time.sleep(5)  # the handler raises here

        with signals.stopping():
            Dropped()
            print("lost")
            try:
                signals.check()
            except signals.Interrupted as stop:
                print(stop.status)
        """)
    assert out.split() == ["lost", str(128 + signal.SIGTERM)]


def test_workers_end_with_a_parent_that_is_killed(tmp_path):
    data, _ = stream_of("pack")
    out = tmp_path / "out"
    proc = start_kestrune("pack", "--delimited", "--jobs", "2", "-", "-o", out, setup=SMALL, bufsize=0,
                          stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
    feed(proc, data[:len(data) // 2])
    wait_for(lambda: out.exists() and out.stat().st_size > 0, "output")
    workers = psutil.Process(proc.pid).children(recursive=True)
    assert len(workers) == 2
    proc.kill()
    proc.wait(timeout=DEADLINE)
    close_input(proc)
    assert all_gone(workers)


@pytest.mark.parametrize("command", ["pack", "unpack"])
def test_a_killed_worker_ends_the_run_after_the_records_before(tmp_path, command):
    proc, workers, data, expected, feeder = start_midstream(tmp_path, command, ["--jobs", "2"])
    # The killed worker may hold the lock of the pool's task queue, which the
    # other one then waits for forever, since it ignores the pool's SIGTERM.
    workers[0].kill()
    wait_for(lambda: has_ended(workers[0]), "the worker to end")
    feeder.join(DEADLINE)  # the second half follows the first whole
    feed(proc, data[len(data) // 2:])
    status, stderr, parts, ended = ended_run(tmp_path, command, proc, workers, expected)
    assert (status, parts["interrupted"], ended) == (1, None, True)
    assert f"kestrune {command}: error: {WORKER_ENDED}\n".encode() in stderr, stderr


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local:
        with distributed.Client(local) as client:
            yield local.scheduler_address, client


@pytest.mark.parametrize("command, signum", [("pack", signal.SIGINT), ("unpack", signal.SIGTERM)])
def test_a_signal_cancels_the_dask_tasks_of_the_run(tmp_path, cluster, command, signum):
    address, client = cluster
    status, _, ended = interrupt_midstream(tmp_path, command, ["--dask", address], signum)
    assert (status, ended) == (128 + signum, True)
    # The scheduler forgets every task of the run.
    wait_for(lambda: client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) == 0,
             "the scheduler to forget the run's tasks")


def stalled_in_write(pid):
    """Whether the process sleeps in a write to a pipe (where the system tells)."""
    try:
        with open(f"/proc/{pid}/wchan") as f:
            return "pipe_write" in f.read()
    except OSError:
        return True


def test_a_signal_during_a_stalled_write_lets_the_record_end():
    # Chunks of about 250 records, whose JSON Lines far exceed what a pipe holds:
    # the first write stalls, as no one reads, when the signal comes.
    batch = list(sample_records(2000))
    data, expected = stream_of("unpack", batch)
    proc = start_kestrune("unpack", "--delimited", "-", setup=FROM_A_TERMINAL, bufsize=0,
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    feed(proc, data)
    assert select.select([proc.stdout], [], [], DEADLINE)[0]
    wait_for(lambda: stalled_in_write(proc.pid), "a stalled write")
    proc.send_signal(signal.SIGTERM)
    out = read_to_the_end(proc.stdout)
    assert proc.wait(timeout=DEADLINE) == 128 + signal.SIGTERM
    stderr = read_to_the_end(proc.stderr)
    close_input(proc)
    count = int(summary_line(stderr)["records"])
    assert count > 0 and written("unpack", out) == expected[:count]


# ---- writes --------------------------------------------------------------------------------


def full_device():
    """The device that every write finds full, where the system has it."""
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    return "/dev/full"


@pytest.fixture
def small_disk(tmp_path):
    """A file system of 64 KiB, where this machine lets a test mount one."""
    mount = tmp_path / "small"
    mount.mkdir()
    if not shutil.which("mount") or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount)], capture_output=True).returncode:
        pytest.skip("no tmpfs can be mounted here")
    yield mount
    subprocess.run(["umount", str(mount)], check=True)


@pytest.mark.parametrize("command", ["pack", "unpack"])
@pytest.mark.parametrize("target", ["/dev/full", "file", "standard output"])
def test_a_full_disk_ends_the_run_at_a_whole_record(request, tmp_path, command, target):
    data, expected = stream_of(command)
    (tmp_path / "in").write_bytes(data)
    if target == "/dev/full":
        path = full_device()
    else:
        path = request.getfixturevalue("small_disk") / "out"
    args = [command, "--delimited", tmp_path / "in", "-o", "-" if target == "standard output" else path]
    with open(path, "wb") as out:
        proc = kestrune(*args, setup=SMALL, stdout=out if target == "standard output" else None)
    name = "standard output" if target == "standard output" else path
    lines = proc.stderr.decode().splitlines()
    assert proc.returncode == 1
    assert f"kestrune {command}: error: cannot write {name}: No space left on device" in lines
    count = int(summary_line(proc.stderr)["records"])
    kept = b"" if path == "/dev/full" else path.read_bytes()
    assert written(command, kept) == expected[:count]
    assert (count > 0) == (path != "/dev/full")


def test_one_record_onto_a_full_disk(tmp_path):
    (tmp_path / "in").write_bytes(jsonl([records.sample_record()]))
    proc = kestrune("pack", tmp_path / "in", "-o", full_device())
    lines = proc.stderr.decode().splitlines()
    assert proc.returncode == 1
    assert lines[0] == "kestrune pack: error: cannot write /dev/full: No space left on device"
    assert summary_line(proc.stderr)["records"] == "0"


@pytest.mark.parametrize("unbuffered", [False, True], ids=["buffered", "unbuffered"])
@pytest.mark.parametrize("delimited", [False, True], ids=["one", "stream"])
def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path, unbuffered, delimited):
    record = records.sample_record()
    record["RawData"]["Description"] = "x" * (1 << 20)         # a record that no pipe holds
    payload = payload_of(record)
    (tmp_path / "in").write_bytes(framed([payload] * 3) if delimited else payload)
    env = dict(os.environ, PYTHONUNBUFFERED="1") if unbuffered else None
    proc = start_kestrune("unpack", *["--delimited"] * delimited, tmp_path / "in", env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert len(proc.stdout.read(10)) == 10
    proc.stdout.close()
    stderr = read_to_the_end(proc.stderr)
    assert (proc.wait(timeout=DEADLINE), stderr) == (1, b"")


@pytest.mark.parametrize("command, how", [
    ("pack --delimited", "same path"),
    ("pack --delimited", "symbolic link"),
    ("pack --delimited", "hard link"),
    ("pack --delimited", "standard input and output"),
    ("unpack", "same path"),
    ("infer", "same path"),
])
def test_an_output_that_is_the_input_is_refused(tmp_path, command, how):
    source = tmp_path / "in"
    content = payload_of({"ChannelGroup": 1}) if command == "unpack" else jsonl([{"ChannelGroup": 1}])
    source.write_bytes(content)
    target = {"same path": source, "symbolic link": tmp_path / "link", "hard link": tmp_path / "hard",
              "standard input and output": "-"}[how]
    (tmp_path / "link").symlink_to(source)
    os.link(source, tmp_path / "hard")
    if how == "standard input and output":
        with open(source, "rb") as given, open(source, "ab") as appended:
            proc = kestrune(*command.split(), "-", "-o", "-", stdin=given, stdout=appended)
        error = "the output standard output is the input file standard input"
    else:
        proc = kestrune(*command.split(), source, "-o", target)
        error = (f"the output is the input file {source}" if how == "same path"
                 else f"the output {target} is the input file {source}")
    assert (proc.returncode, proc.stderr.decode()) == \
        (1, f"kestrune {command.split()[0]}: error: {error}: give another output\n")
    assert source.read_bytes() == content


# ---- payloads beyond the limit -----------------------------------------------------------


def expanding_payload(size):
    """The payload of a record whose Description holds `size` bytes: made a
    mebibyte at a time, so the test itself never holds the message."""
    description = encoder.TagBytes(8, 2) + encoder._VarintBytes(size)
    raw = encoder.TagBytes(1, 2) + encoder._VarintBytes(len(description) + size) + description
    compressor = zlib.compressobj(9)
    parts = [compressor.compress(raw)]
    block = b"a" * (1 << 20)
    for start in range(0, size, len(block)):
        parts.append(compressor.compress(block[:size - start]))
    parts.append(compressor.flush())
    return b"".join(parts)


@pytest.mark.parametrize("limit, size, bad", [
    (None, 65 << 20, True),           # the default: 64 MiB
    (None, 63 << 20, False),
    ("1M", 200 << 20, True),
    ("1M", 1000 << 10, False),
])
def test_a_payload_beyond_the_limit_is_a_bad_record(tmp_path, limit, size, bad):
    payloads = [payload_of({"ChannelGroup": 1}), expanding_payload(size), payload_of({"ChannelGroup": 3})]
    (tmp_path / "in").write_bytes(framed(payloads))
    flags = ["--max-record-bytes", limit] if limit else []
    proc = kestrune("unpack", "--delimited", "--skip-bad", *flags, tmp_path / "in", "-o", tmp_path / "out")
    assert proc.returncode == 0
    lines = (tmp_path / "out").read_bytes().splitlines()
    if bad:
        most = (1 << 20) if limit else (64 << 20)
        assert (f"record 2 at offset {len(framed(payloads[:1]))}: skipped: the payload's message is more "
                f"than {most} bytes (--max-record-bytes)\n") in proc.stderr.decode()
        assert [json.loads(line) for line in lines] == [{"ChannelGroup": 1}, {"ChannelGroup": 3}]
    else:
        assert len(json.loads(lines[1])["RawData"]["Description"]) == size


@pytest.mark.measures_memory
@pytest.mark.parametrize("delimited", [False, True], ids=["one", "stream"])
def test_a_payload_beyond_the_limit_takes_no_more_memory(tmp_path, delimited):
    """A 1 MiB payload of a 1 GiB message stops at the limit: at a limit of
    16 MiB, the run's peak is less than 48 MiB above that of a small payload's."""
    peaks = []
    for payload in (payload_of({"ChannelGroup": 1}), expanding_payload(1 << 30)):
        (tmp_path / "in").write_bytes(framed([payload]) if delimited else payload)
        proc = kestrune("unpack", *["--delimited"] * delimited, "--max-record-bytes", "16M", tmp_path / "in",
                        "-o", tmp_path / "out", setup=PEAK)
        peaks.append(int(proc.stderr.split()[-1]))
    assert proc.returncode == 1
    assert b"the payload's message is more than 16777216 bytes" in proc.stderr
    assert peaks[1] - peaks[0] < 48 * 1024, peaks
