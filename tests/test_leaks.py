"""Every public function called thousands of times, on success and on each error path:
the interpreter's allocated blocks and the process's resident memory stay within a small
bound, and the reference counts of the inputs come back to what they were."""
import contextlib
import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import types
import zlib

import pytest
from google.protobuf import json_format, message as protobuf_message

import hardening
import records
from kestrune_protocol_buffer_python import (build_stubs, dict_bridge, infer_schema, open_payload,
                                             pack_payload, utilities)
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2


pytestmark = [pytest.mark.slow, pytest.mark.measures_memory]

TopLevelMessage = zorva_data_pb2.TopLevelMessage
SCHEMA = zorva_data_pb2.__name__
# A leak of one object per call shows as at least as many blocks as calls;
# caches that settle (traceback code objects, field tables, free lists) stay
# far below a tenth of that after the warm-up.
CALLS = 3_000
HEAP_BOUND = 64 * 1024
RSS_BOUND = 4 * 1024 * 1024


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class MallInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_bytes():
    """Bytes that the C allocator has handed out and not had back (glibc), else 0.

    Native allocations (the runtime's arenas, zlib states, C++ containers) do
    not show in the interpreter's block count; this sees them to the byte."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return 0
    mallinfo2.restype = MallInfo
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def shared(obj):
    """Objects the interpreter shares with everything (None, small ints, one-letter
    and interned texts): their counts move with any code at all."""
    return (obj is None or type(obj) is bool or (type(obj) is int and -5 <= obj <= 256)
            or (type(obj) in (str, bytes) and len(obj) <= 1)
            or (type(obj) is str and sys.intern(obj[:1] + obj[1:]) is obj))


def parts(obj, depth=3):
    """The object and what it holds, a few levels down: the inputs whose counts must hold."""
    found = [] if shared(obj) else [obj]
    if depth and isinstance(obj, dict):
        for key, value in obj.items():
            found += [*parts(key, 0), *parts(value, depth - 1)]
    elif depth and isinstance(obj, (list, tuple)):
        for item in obj:
            found += parts(item, depth - 1)
    return found


class Deep:
    """Nested records deeper than any recursion limit allows."""
    record = records.nested(5_000, "child")


def change_size(data):
    """Adds the key "extra" to `data`, or takes it out when it is there."""
    if data.pop("extra", None) is None:
        data["extra"] = 0


def changes_size(data):
    """A json.loads that changes the size of `data` before parsing."""
    def loads(text):
        change_size(data)
        return json.loads(text)
    return types.SimpleNamespace(loads=loads)


class Unpacked:
    def items(self):
        return [("a", 1, 2)]


class Grows:
    """A key whose formatting changes the size of the dictionary being walked."""
    def __init__(self, sample):
        self.sample = sample

    def __format__(self, spec):
        change_size(self.sample)
        return "k"


class Text:
    def SerializeToString(self):
        return "not bytes"


def raising(error, *error_args):
    """A function that raises a new error(*error_args) at each call."""
    def fail(*args, **kwargs):
        raise error(*error_args)
    return fail


def schema_files(root):
    protos, out = os.path.join(root, "p"), os.path.join(root, "out")
    os.makedirs(protos)
    os.makedirs(out)
    for name in ("a_b.proto", "c.proto"):
        open(os.path.join(protos, name), "w").close()
    with open(os.path.join(out, "m_pb2.py"), "w") as f:
        f.write("import a_b_pb2 as a__b__pb2\nimport c_pb2 as c__pb2\n")
    return protos, out


class Env:
    """The inputs the cases share, made once."""

    def __init__(self, road, hard, root):
        self.road, self.hard, self.root = road, hard, root
        self.payload = pack_payload.pack_payload(
            pack_payload.set_message_fields(TopLevelMessage(), records.sample_record()))
        self.message = open_payload.depack_payload(zorva_data_pb2, "TopLevelMessage", self.payload)
        self.protos, self.out = schema_files(root)
        self.blocked = os.path.join(root, "file")
        open(self.blocked, "w").close()
        self.undecodable = os.path.join(root, "bad")
        os.makedirs(self.undecodable)
        with open(os.path.join(self.undecodable, "x.py"), "wb") as f:
            f.write(b"\xff")
        self.growing = {}
        self.growing[Grows(self.growing)] = 1
        self.json_grows = {"RawData": "{}", "ChannelGroup": 1}


fill, depack = pack_payload.set_message_fields, open_payload.depack_payload


def fill_fresh(message_class, data):
    """set_message_fields on a new message: filling one message again and again
    grows the runtime's own storage for it (replaced texts, appended elements)."""
    return fill(message_class(), data)
build = build_stubs.build_stubs
NORMPATH_BYTES = types.SimpleNamespace(path=types.SimpleNamespace(
    normpath=lambda p: types.SimpleNamespace(replace=lambda a, b: b"x")))
NO_RUN = (subprocess, "run", lambda *args, **kwargs: None)
SCHEMA_LOADING = [
    ("load_proto_module", None, lambda e: (SCHEMA,)),
    ("load_proto_module-missing", ModuleNotFoundError, lambda e: ("kestrune_missing_schema",)),
    ("load_proto_module-relative", TypeError, lambda e: (".x",)),
    ("create_message", None, lambda e: (zorva_data_pb2, "TopLevelMessage")),
    ("create_message-missing", AttributeError, lambda e: (zorva_data_pb2, "Nope")),
    ("create_message-name-type", TypeError, lambda e: (zorva_data_pb2, 5)),
    ("create_message-not-callable", TypeError, lambda e: (zorva_data_pb2, "DESCRIPTOR")),
]

# id, expected exception (None: success), function, its arguments, patches while it runs
CASES = [
    ("get_os", None, utilities.get_os, lambda e: ()),
    ("get_os-args", TypeError, utilities.get_os, lambda e: (1,)),
    ("normpath", None, utilities.custom_normpath, lambda e: ("a\\b/../c",)),
    ("normpath-type", TypeError, utilities.custom_normpath, lambda e: (b"a",)),
    ("normpath-count", TypeError, utilities.custom_normpath, lambda e: ()),
    ("normpath-keyword", TypeError, lambda: utilities.custom_normpath("a", x=1), lambda e: ()),
    ("normpath-result", TypeError, utilities.custom_normpath, lambda e: ("a",),
     lambda e: [(utilities, "os", NORMPATH_BYTES)]),
    ("normpath-get-os", KeyError, utilities.custom_normpath, lambda e: ("a",),
     lambda e: [(utilities, "get_os", raising(KeyError, "x"))]),
    *[(f"{module.__name__.rpartition('.')[2]}.{name}", error,
       getattr(module, name.partition("-")[0]), args)
      for module in (pack_payload, open_payload) for name, error, args in SCHEMA_LOADING],
    ("fill-same-message", None, fill, lambda e: (TopLevelMessage(), {
        "ChannelGroup": 5, "BrandInfo": {"BrandID": 7, "BrandSettings": {}}, "Bogus": 1})),
    ("fill-sample", None, fill_fresh, lambda e: (TopLevelMessage, records.sample_record())),
    ("fill-repeated", None, fill_fresh, lambda e: (e.road.Basket, {
        "Numbers": [1, 2], "Tags": ["a"], "Entries": [{"Label": "x", "Inner": {"Count": 2}},
                                                      '{"Count": 3}'],
        "Featured": '{"Label": "y"}'})),
    ("fill-map", AttributeError, fill_fresh,
     lambda e: (e.hard.Holder, {"Counts": {"a": 1}, "Leaves": [{"key": "k"}]})),
    ("fill-printed", None, fill_fresh,
     lambda e: (TopLevelMessage, {"Bogus": 1, "BrandInfo": [], "RawData": 5})),
    ("fill-printed-repeated", None, fill_fresh,
     lambda e: (e.road.Basket, {"Numbers": (1,), "Entries": None})),
    ("fill-data-type", TypeError, fill_fresh, lambda e: (TopLevelMessage, hardening.DictSub())),
    ("fill-key-type", TypeError, fill_fresh, lambda e: (TopLevelMessage, {1: 2})),
    ("fill-key-error", KeyError, fill_fresh, lambda e: (TopLevelMessage, {"DESCRIPTOR": 1})),
    ("fill-json-error", ValueError, fill_fresh, lambda e: (TopLevelMessage, {"RawData": "{bad"})),
    ("fill-none-int", TypeError, fill_fresh, lambda e: (TopLevelMessage, {"ChannelGroup": None})),
    ("fill-range", ValueError, fill_fresh, lambda e: (TopLevelMessage, {"ChannelGroup": 2**31})),
    ("fill-append", TypeError, fill_fresh, lambda e: (e.road.Basket, {"Numbers": [1, "x"]})),
    ("fill-item", TypeError, fill_fresh, lambda e: (e.road.Basket, {"Entries": [{}, 5]})),
    ("fill-nested-type", TypeError, fill_fresh,
     lambda e: (TopLevelMessage, {"RawData": hardening.DictSub()})),
    ("fill-deep", RecursionError, fill_fresh, lambda e: (e.road.Node, Deep.record)),
    ("fill-size-change", RuntimeError, fill_fresh, lambda e: (TopLevelMessage, e.json_grows),
     lambda e: [(pack_payload, "json", changes_size(e.json_grows))]),
    ("pack", None, pack_payload.pack_payload, lambda e: (e.message,)),
    ("pack-large", None, pack_payload.pack_payload,
     lambda e: (e.road.Basket(Tags=["x" * 100] * 1000),)),
    ("pack-no-method", AttributeError, pack_payload.pack_payload, lambda e: ({},)),
    ("pack-not-bytes", TypeError, pack_payload.pack_payload, lambda e: (Text(),)),
    ("depack", None, depack, lambda e: (zorva_data_pb2, "TopLevelMessage", e.payload)),
    ("depack-bytearray", None, depack,
     lambda e: (zorva_data_pb2, "TopLevelMessage", bytearray(e.payload))),
    ("depack-memoryview", None, depack,
     lambda e: (zorva_data_pb2, "TopLevelMessage", memoryview(e.payload))),
    ("depack-truncated", zlib.error, depack,
     lambda e: (zorva_data_pb2, "TopLevelMessage", e.payload[:-3])),
    ("depack-decode", protobuf_message.DecodeError, depack,
     lambda e: (zorva_data_pb2, "TopLevelMessage", zlib.compress(b"\xff"))),
    ("depack-type-name", AttributeError, depack, lambda e: (zorva_data_pb2, "Nope", e.payload)),
    ("depack-payload-type", TypeError, depack,
     lambda e: (zorva_data_pb2, "TopLevelMessage", "x")),
    ("depack-count", TypeError, depack, lambda e: (zorva_data_pb2,)),
    ("import", None, dict_bridge.import_protobuf_module, lambda e: (SCHEMA,)),
    ("import-missing", ImportError, dict_bridge.import_protobuf_module,
     lambda e: ("kestrune_missing_schema",)),
    ("import-empty", ValueError, dict_bridge.import_protobuf_module, lambda e: ("",)),
    ("import-type", TypeError, dict_bridge.import_protobuf_module, lambda e: (None,)),
    ("class", None, dict_bridge.get_protobuf_class,
     lambda e: (zorva_data_pb2, "TopLevelMessage")),
    ("class-missing", AttributeError, dict_bridge.get_protobuf_class,
     lambda e: (zorva_data_pb2, "Nope")),
    ("class-no-name", AttributeError, dict_bridge.get_protobuf_class,
     lambda e: (object(), "Nope")),
    ("populate", None, dict_bridge.populate_protobuf_from_dict,
     lambda e: (TopLevelMessage, json_format.MessageToDict(e.message))),
    ("populate-parse-error", ValueError, dict_bridge.populate_protobuf_from_dict,
     lambda e: (TopLevelMessage, {"Bogus": 1})),
    ("populate-not-a-class", TypeError, dict_bridge.populate_protobuf_from_dict,
     lambda e: (5, {})),
    ("populate-data-type", TypeError, dict_bridge.populate_protobuf_from_dict,
     lambda e: (TopLevelMessage, hardening.DictSub())),
    ("to-dict", None, dict_bridge.protobuf_to_dict, lambda e: (e.message,)),
    ("to-dict-not-a-message", TypeError, dict_bridge.protobuf_to_dict, lambda e: ({},)),
    ("to-dict-parse-error", ValueError, dict_bridge.protobuf_to_dict,
     lambda e: (TopLevelMessage(),),
     lambda e: [(dict_bridge, "MessageToDict", raising(json_format.ParseError, "p"))]),
    ("to-dict-result-type", TypeError, dict_bridge.protobuf_to_dict,
     lambda e: (TopLevelMessage(),), lambda e: [(dict_bridge, "MessageToDict", lambda m: [])]),
    ("infer", None, infer_schema.json_to_proto,
     lambda e: (records.sample_record(), os.path.join(e.root, "z.proto"))),
    ("infer-none", AttributeError, infer_schema.json_to_proto, lambda e: (None, "x.proto")),
    ("infer-unpack", ValueError, infer_schema.json_to_proto, lambda e: (Unpacked(), "x.proto")),
    ("infer-size-change", RuntimeError, infer_schema.json_to_proto,
     lambda e: (e.growing, "x.proto")),
    ("infer-open", OSError, infer_schema.json_to_proto, lambda e: ({"a": 1}, e.root)),
    ("infer-write", UnicodeEncodeError, infer_schema.json_to_proto,
     lambda e: ({"\ud800": 1}, os.path.join(e.root, "w.proto"))),
    ("infer-filename", AttributeError, infer_schema.json_to_proto, lambda e: ({}, 5)),
    ("infer-deep", RecursionError, infer_schema.json_to_proto,
     lambda e: (Deep.record, "x.proto")),
    ("build", None, build, lambda e: (e.protos, e.out), lambda e: [NO_RUN]),
    ("build-install", None, build, lambda e: (e.protos, e.out),
     lambda e: [NO_RUN, (subprocess, "check_call", lambda command: 0),
                (sys.modules, "grpc_tools", None)]),
    ("build-compiler-fails", subprocess.CalledProcessError, build, lambda e: (e.protos, e.out),
     lambda e: [(subprocess, "run", raising(subprocess.CalledProcessError, 1, ["protoc"]))]),
    ("build-makedirs", OSError, build, lambda e: (e.protos, e.blocked)),
    ("build-decode", UnicodeDecodeError, build, lambda e: (e.protos, e.undecodable),
     lambda e: [NO_RUN]),
    ("build-type", TypeError, build, lambda e: (e.protos, None)),
]
# Each call of these does file or process work; fewer calls keep them within seconds.
FEWER = {"build", "build-install", "build-compiler-fails", "build-decode", "fill-deep", "pack-large",
         "infer-deep"}


@pytest.fixture(scope="module")
def env(road, tmp_path_factory):
    hard = records.compiled_schema(tmp_path_factory, hardening.HARDENING_PROTO)
    # Rewriting a file truncates it, which some disks make take milliseconds;
    # memory-backed storage keeps thousands of writes within seconds.
    memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=memory) as root:
        yield Env(road, hard, root)


def run_case(function, args, error, times):
    for _ in range(times):
        try:
            function(*args)
        except Exception as exc:
            if error is None or not isinstance(exc, error):
                raise
        else:
            assert error is None, f"expected {error.__name__}"


@contextlib.contextmanager
def patched(patches):
    """Sets each (owner, name, value): an attribute, or an item of a dict owner."""
    with pytest.MonkeyPatch.context() as patch:
        for owner, name, value in patches:
            if isinstance(owner, dict):
                patch.setitem(owner, name, value)
            else:
                patch.setattr(owner, name, value)
        yield


def growth(function, args, error, calls, inputs):
    """What one round of `calls` calls leaves behind: blocks, heap bytes, resident
    bytes and the inputs whose reference counts changed."""
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in inputs]
    blocks, heap, rss = sys.getallocatedblocks(), heap_bytes(), resident_bytes()
    run_case(function, args, error, calls)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in inputs]
    changed = {i for i, (a, b) in enumerate(zip(after, counts)) if a != b}
    return (sys.getallocatedblocks() - blocks, heap_bytes() - heap, resident_bytes() - rss,
            changed)


@pytest.mark.parametrize("case", CASES, ids=[case[0] for case in CASES])
def test_no_leak(env, case, monkeypatch):
    name, error, function, make_args, *make_patches = case
    args = make_args(env)
    calls = CALLS // 5 if name in FEWER else CALLS
    inputs = [obj for arg in args for obj in parts(arg)]
    monkeypatch.chdir(env.root)
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null), \
            patched(make_patches[0](env) if make_patches else []):
        run_case(function, args, error, calls // 10)
        # A leak shows in every round; a process-wide table that happens to
        # grow past a size step during one round does not.
        rounds = [growth(function, args, error, calls, inputs) for _ in range(2)]
    blocks, heap, rss = (min(r[i] for r in rounds) for i in range(3))
    print(f"{name}: {calls} calls, {blocks} blocks, heap {heap} B, resident {rss // 1024} KiB")
    assert not [repr(inputs[i])[:40] for i in rounds[0][3] & rounds[1][3]]
    assert blocks < calls // 10
    assert heap < HEAP_BOUND
    assert rss < RSS_BOUND
