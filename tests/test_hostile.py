"""Hostile callbacks, lying stand-ins, modules swapped while importing, and threads.

Each case runs in a child interpreter, so a crash fails that case alone; each
must end in an exception or in the correct result, and prints one line per step.
"""
import pytest

from conftest import on_thread, run_python
from test_frame import LAUNCH

PRELUDE = """
import contextlib, gc, io, json, os, sys, tempfile, threading, types, zlib
def attempt(label, function, *args):
    try:
        result = function(*args)
    except BaseException as exc:
        context = exc.__context__
        text = str(exc).partition("\\n")[0]
        print(f"{label}: {type(exc).__name__}" + (f": {text}" if text else "")
              + (f" (context {type(context).__name__})" if context is not None else ""))
    else:
        shown = repr(result) if isinstance(result, (str, bytes, int, list, dict)) else (
            "" if result is None else type(result).__name__)
        print(f"{label}: ok {shown}"[:100].rstrip())
os.chdir(tempfile.mkdtemp())
"""

# ---- a failed module initialisation: functions made before the failure -------------------

INIT_FAILS_AFTER_DEFINE = """
grabbed = []
def loads(text):
    grabbed.append(sys.modules["kestrune_protocol_buffer_python.infer_schema"].json_to_proto)
    raise KeyError("no json today")
real_json = sys.modules["json"]
sys.modules["json"] = types.SimpleNamespace(loads=loads)
try:
    import kestrune_protocol_buffer_python.infer_schema
except KeyError as exc:
    print("import:", type(exc).__name__)
sys.modules["json"] = real_json
attempt("kept function, bad input", grabbed[0], None, "x.proto")
attempt("kept function, no file", grabbed[0], {}, "")
from kestrune_protocol_buffer_python import infer_schema
print("imported again:", sorted(infer_schema.zorva_data)[:2], infer_schema.json_to_proto is not grabbed[0])
"""

MAIN_FAILS_MODULE_KEPT = LAUNCH.format(short="build_stubs") + """
os.makedirs("grpc")
open(os.path.join("grpc", "generated"), "w").close()
spec = types.SimpleNamespace(name="__main__", origin=path, parent="")
module = api.PyModule_FromDefAndSpec2(definition, spec, 1013)
attempt("run as main", api.PyModule_ExecDef, module, definition)
attempt("kept module", module.build_stubs, 1, 2)
attempt("kept module, missing dir", module.build_stubs, "p", os.path.join("grpc", "generated"))
"""

# ---- sys.modules entries swapped while a module imports ----------------------------------

NO_PARSE_ERROR = """
import google.protobuf.json_format as real
sys.modules["google.protobuf.json_format"] = types.SimpleNamespace(
    MessageToDict=real.MessageToDict, ParseDict=real.ParseDict)
attempt("import", __import__, "kestrune_protocol_buffer_python.dict_bridge")
sys.modules["google.protobuf.json_format"] = real
from kestrune_protocol_buffer_python import dict_bridge
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
attempt("after restoring", lambda: dict_bridge.populate_protobuf_from_dict(
    z.TopLevelMessage, {"ChannelGroup": 3}).ChannelGroup)
attempt("parse error", lambda: dict_bridge.populate_protobuf_from_dict(z.TopLevelMessage, {"x": 3})
        or None)
"""

FAKE_ZLIB = """
real = sys.modules["zlib"]
sys.modules["zlib"] = types.SimpleNamespace(compress=lambda data: b"fake " + data)
from kestrune_protocol_buffer_python import pack_payload
sys.modules["zlib"] = real
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
message = z.TopLevelMessage(ChannelGroup=3)
attempt("fake zlib", pack_payload.pack_payload, message)
pack_payload.zlib = real
attempt("real zlib", lambda: pack_payload.pack_payload(message) == zlib.compress(message.SerializeToString()))
"""

RAISING_UTILITIES = """
class Raising(types.ModuleType):
    def __getattr__(self, name):
        if name == "custom_normpath":
            raise RuntimeError("no custom_normpath here")
        raise AttributeError(name)
sys.modules["kestrune_protocol_buffer_python.utilities"] = Raising("utilities")
attempt("import", __import__, "kestrune_protocol_buffer_python.build_stubs")
del sys.modules["kestrune_protocol_buffer_python.utilities"]
from kestrune_protocol_buffer_python import build_stubs
attempt("after restoring", lambda: build_stubs.custom_normpath("a\\\\b"))
"""

SCHEMA_MODULES = """
from kestrune_protocol_buffer_python import dict_bridge, open_payload, pack_payload
root = tempfile.mkdtemp()
sys.path.insert(0, root)
sources = {
    "kestrune_swaps_itself": "import sys, types\\n"
        "sys.modules[__name__] = types.SimpleNamespace(TopLevelMessage=dict)\\n",
    "kestrune_raises_key_error": "raise KeyError('inside')\\n",
    "kestrune_raises_import_error": "import kestrune_nowhere_to_be_found\\n",
    "kestrune_getattr_raises": "def __getattr__(name):\\n    raise RuntimeError(name)\\n",
}
for name, source in sources.items():
    with open(os.path.join(root, name + ".py"), "w") as f:
        f.write(source)
for name in sources:
    for load in (pack_payload.load_proto_module, dict_bridge.import_protobuf_module):
        attempt(f"{load.__name__} {name}", lambda: type(load(name)).__name__)
odd = sys.modules["kestrune_getattr_raises"]
attempt("create_message", pack_payload.create_message, odd, "TopLevelMessage")
attempt("depack_payload", open_payload.depack_payload, odd, "TopLevelMessage", b"")
attempt("get_protobuf_class", dict_bridge.get_protobuf_class, odd, "TopLevelMessage")
"""

# ---- objects that raise where the walk reads them -----------------------------------------

RAISING_OWNERS = """
from kestrune_protocol_buffer_python import dict_bridge, open_payload, pack_payload
for error in (RuntimeError("r"), KeyboardInterrupt(), SystemExit(3), RecursionError("deep"),
              AttributeError("a")):
    class Owner:
        def __getattribute__(self, name, error=error):
            raise error
    label = type(error).__name__
    attempt(f"create_message {label}", pack_payload.create_message, Owner(), "T")
    attempt(f"depack_payload {label}", open_payload.depack_payload, Owner(), "T", b"")
    attempt(f"get_protobuf_class {label}", dict_bridge.get_protobuf_class, Owner(), "T")
class NoName:
    def __getattr__(self, name):
        if name == "__name__":
            raise RuntimeError("name unreadable")
        raise AttributeError(name)
attempt("get_protobuf_class, __name__ raises", dict_bridge.get_protobuf_class, NoName(), "T")
"""

LYING_DESCRIPTORS = """
from kestrune_protocol_buffer_python import pack_payload
fill = pack_payload.set_message_fields
class Field:
    def __init__(self, repeated, kind):
        self.is_repeated, self.type = repeated, kind
class Unequal:
    def __eq__(self, other):
        raise ValueError("no comparing")
class Untrue:
    def __bool__(self):
        raise ValueError("no truth")
class Unprintable:
    def __str__(self):
        raise ValueError("no text")
def stand_in(fields, name="Fake", **attributes):
    message = types.SimpleNamespace(**attributes)
    message.DESCRIPTOR = types.SimpleNamespace(fields_by_name=fields, name=name)
    return message
class Shifting:
    reads = 0
    @property
    def DESCRIPTOR(self):
        Shifting.reads += 1
        return types.SimpleNamespace(name="Shifting", fields_by_name={
            "a": Field(Shifting.reads % 2 == 0, 11 if Shifting.reads % 3 else 5)})
    a = types.SimpleNamespace(add=lambda: stand_in({}), append=lambda item: None)
attempt("message field holds an int", fill, stand_in({"a": Field(False, 11)}, a=5), {"a": {"b": 1}})
attempt("repeated without add", fill, stand_in({"a": Field(True, 11)}, a=[]), {"a": [{}]})
attempt("fields_by_name a list", fill, stand_in([], a=1), {"a": 1})
attempt("type comparison raises", fill, stand_in({"a": Field(False, Unequal())}, a=1), {"a": 1})
attempt("is_repeated truth raises", fill, stand_in({"a": Field(Untrue(), 1)}, a=1), {"a": 1})
attempt("name unprintable", fill, stand_in({}, name=Unprintable()), {"nope": 1})
attempt("name missing", fill, types.SimpleNamespace(DESCRIPTOR=None), {"nope": 1})
outcomes = set()
for round in range(12):
    try:
        fill(Shifting(), {"a": [{}] if round % 2 else {}})
        outcomes.add("ok")
    except Exception as exc:
        outcomes.add(type(exc).__name__)
print("descriptor shifts, other outcomes:", sorted(outcomes - {"ok", "TypeError", "AttributeError"}))
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
class Constants:
    reads = 0
    @property
    def TYPE_MESSAGE(self):
        Constants.reads += 1
        if Constants.reads % 4 == 0:
            raise RuntimeError("constant unreadable")
        return 11 if Constants.reads % 2 else 99
    LABEL_REPEATED = 3
real = pack_payload.FieldDescriptor
pack_payload.FieldDescriptor = Constants()
outcomes = set()
for round in range(12):
    message = z.TopLevelMessage()
    try:
        fill(message, {"ChannelGroup": 1, "BrandInfo": {"BrandID": 2}})
        outcomes.add("ok" if message.BrandInfo.BrandID == 2 else "wrong")
    except Exception as exc:
        outcomes.add(type(exc).__name__)
print("FieldDescriptor shifts, other outcomes:",
      sorted(outcomes - {"ok", "AttributeError", "TypeError", "RuntimeError"}))
pack_payload.FieldDescriptor = real
attempt("FieldDescriptor restored", lambda: str(fill(z.TopLevelMessage(),
        {"BrandInfo": {"BrandID": 2}})).replace("\\n", " "))
"""

# ---- callbacks that raise or change the data being walked --------------------------------

KEYS_AND_VALUES = """
from kestrune_protocol_buffer_python import pack_payload
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
fill = pack_payload.set_message_fields
class Key(str):
    armed = False
    def __hash__(self):
        if Key.armed:
            raise ValueError("no hashing")
        return str.__hash__(self)
    def __eq__(self, other):
        if Key.armed:
            raise ValueError("no comparing")
        return str.__eq__(self, other)
record = {Key("ChannelGroup"): 1, Key("Bogus"): 2}
Key.armed = True
attempt("key hash and eq raise", fill, z.TopLevelMessage(), record)
Key.armed = False
data = {"ChannelGroup": 1, "Bogus": 2, "ChannelType": 3}
class Clearing(io.StringIO):
    def write(self, text):
        data.clear()
        return len(text)
with contextlib.redirect_stdout(Clearing()):
    try:
        fill(z.TopLevelMessage(), data)
    except RuntimeError as exc:
        outcome = exc
print("stdout clears the record:", outcome, data)
outer = {"RawData": '{"OrderID": 4}', "ChannelGroup": 5}
def loads(text):
    outer["BrandInfo"] = {}
    return json.loads(text)
pack_payload.json = types.SimpleNamespace(loads=loads)
attempt("json.loads grows the record", fill, z.TopLevelMessage(), outer)
swap = {"RawData": '{"OrderID": 4}', "ChannelGroup": 5}
def swapping(text):
    del swap["ChannelGroup"]
    swap["ChannelType"] = 6
    return json.loads(text)
pack_payload.json = types.SimpleNamespace(loads=swapping)
attempt("json.loads swaps a key", fill, z.TopLevelMessage(), swap)
pack_payload.json = json
items = [1, 2, 3, 4]
class Shrinking:
    def append(self, item):
        del items[-1]
        print("appended", item)
class Basket:
    DESCRIPTOR = types.SimpleNamespace(name="Basket", fields_by_name={
        "a": types.SimpleNamespace(is_repeated=True, type=5)})
    a = Shrinking()
attempt("append shrinks the list", lambda: fill(Basket(), {"a": items}) and items)
"""

SCHEMA_TEXT_CALLBACKS = """
from kestrune_protocol_buffer_python import infer_schema
path = "x.proto"
class Key:
    def __init__(self, sample, action):
        self.sample, self.action = sample, action
    def __format__(self, spec):
        self.action(self.sample)
        return "k"
    def capitalize(self):
        return "K"
def run(label, action, value=1):
    sample = {}
    sample["a"] = 1
    sample[Key(sample, action)] = value
    sample["b"] = 2
    attempt(label, infer_schema.json_to_proto, sample, path)
run("format clears", dict.clear)
run("format replaces a key", lambda s: (s.pop("b"), s.__setitem__("c", 3)))
def boom(sample):
    raise ValueError("no format")
run("format raises", boom)
inner = {"q": 1}
run("format changes a nested dict", lambda s: inner.update({"r": 2}), inner)
class Items(list):
    def __len__(self):
        raise ValueError("no length")
attempt("list truth raises", infer_schema.json_to_proto, {"a": Items([1])}, path)
class Shrinking(list):
    def __getitem__(self, index):
        self.clear()
        return {"x": 1}
attempt("first element empties the list", infer_schema.json_to_proto, {"a": Shrinking([1])}, path)
class Name(str):
    def __format__(self, spec):
        raise ValueError("no name")
attempt("file name unformattable", infer_schema.json_to_proto, {}, Name(path))
class Late(str):
    def replace(self, old, new):
        return "pkg"
    def __format__(self, spec):
        raise ValueError("printing refused")
attempt("print line unformattable", infer_schema.json_to_proto, {"a": 1}, Late(path))
print("written:", open(path).read().splitlines()[1:])
"""

BRIDGE_CALLBACKS = """
from google.protobuf import json_format
from kestrune_protocol_buffer_python import dict_bridge
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
class Mute(json_format.ParseError):
    def __str__(self):
        raise ValueError("no text")
def mute(data, message):
    raise Mute()
dict_bridge.ParseDict = mute
attempt("parse error without text", dict_bridge.populate_protobuf_from_dict, z.TopLevelMessage, {})
dict_bridge.ParseDict = json_format.ParseDict
dict_bridge.ParseError = 5
attempt("ParseError not a class", dict_bridge.populate_protobuf_from_dict, z.TopLevelMessage, {"x": 1})
dict_bridge.ParseError = json_format.ParseError
class Meta(type):
    def __instancecheck__(cls, instance):
        raise RuntimeError("no instance check")
dict_bridge.Message = Meta("M", (), {})
attempt("isinstance raises", dict_bridge.protobuf_to_dict, z.TopLevelMessage())
import google.protobuf.message
dict_bridge.Message = google.protobuf.message.Message
dict_bridge.MessageToDict = lambda message: dict_bridge.protobuf_to_dict(message)
attempt("MessageToDict calls back in", dict_bridge.protobuf_to_dict, z.TopLevelMessage())
class Sub(dict):
    pass
dict_bridge.MessageToDict = lambda message: Sub()
attempt("MessageToDict gives a dict subclass", dict_bridge.protobuf_to_dict, z.TopLevelMessage())
"""

DRIVER_CALLBACKS = """
import subprocess
from kestrune_protocol_buffer_python import build_stubs, utilities
protos, out = "p", "out"
os.mkdir(protos)
open(os.path.join(protos, "a.proto"), "w").close()
class Executable:
    def __format__(self, spec):
        raise ValueError("no path")
real_executable = sys.executable
sys.executable = Executable()
attempt("executable unformattable", build_stubs.build_stubs, protos, out)
sys.executable = real_executable
class Failed(subprocess.CalledProcessError):
    def __str__(self):
        raise ValueError("no text")
def run(command, check):
    raise Failed(1, command)
subprocess.run = run
attempt("failure without text", build_stubs.build_stubs, protos, out)
subprocess.run = lambda command, check: None
build_stubs.custom_normpath = lambda path: types.SimpleNamespace()
attempt("normpath gives an object", build_stubs.build_stubs, protos, out)
build_stubs.custom_normpath = utilities.custom_normpath
build_stubs.glob = types.SimpleNamespace(glob=lambda pattern: iter([1, None]))
attempt("glob gives odd entries", build_stubs.build_stubs, protos, out)
class System(str):
    def __eq__(self, other):
        raise ValueError("no comparing")
    __hash__ = str.__hash__
utilities.get_os = lambda: System("Linux")
attempt("get_os result compares badly", utilities.custom_normpath, "a/b")
utilities.get_os = lambda: None
attempt("get_os gives None", utilities.custom_normpath, "a\\\\b")
"""

# ---- threads ------------------------------------------------------------------------------

THREADS = """
import traceback
from google.protobuf import descriptor_pb2, descriptor_pool, json_format, message_factory
from kestrune_protocol_buffer_python import (build_stubs, dict_bridge, infer_schema, open_payload,
                                             pack_payload, utilities)
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
sys.setswitchinterval(1e-6)
def fresh_class(tag):
    pool = descriptor_pool.DescriptorPool()
    proto = descriptor_pb2.FileDescriptorProto(name=f"t{tag}.proto", package=f"p{tag}",
                                               syntax="proto3")
    node = proto.message_type.add(name="M")
    node.field.add(name="a", number=1, type=5, label=1)
    node.field.add(name="kids", number=2, type=11, label=3, type_name=f".p{tag}.M")
    node.field.add(name="child", number=3, type=11, label=1, type_name=f".p{tag}.M")
    pool.Add(proto)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(f"p{tag}.M"))
record = {"RawData": {"ObjectId": 2**40, "UserInfo": '{"AuthorSocialID": "x"}'},
          "ChannelGroup": 7, "BrandInfo": {"OperationEnum": None, "BrandSettings": {}}}
expected = pack_payload.set_message_fields(z.TopLevelMessage(), record)
root = "."
shared = z.TopLevelMessage()
errors = []
def worker(n):
    try:
        for i in range(150):
            cls = fresh_class(n * 1000 + i)
            node = pack_payload.set_message_fields(cls(), {"a": i, "kids": [{"a": 1}, '{"a": 2}'],
                                                          "child": {"child": {"a": 3}}})
            payload = pack_payload.pack_payload(node)
            assert open_payload.depack_payload(types.SimpleNamespace(M=cls), "M", payload) == node
            assert dict_bridge.populate_protobuf_from_dict(cls, dict_bridge.protobuf_to_dict(node)) == node
            message = pack_payload.set_message_fields(z.TopLevelMessage(), record)
            assert message == expected
            assert zlib.decompress(pack_payload.pack_payload(message)) == message.SerializeToString()
            pack_payload.set_message_fields(shared, {"ChannelGroup": i, "Bogus": 1})
            pack_payload.pack_payload(shared)
            infer_schema.json_to_proto({"a": {"b": [i]}}, os.path.join(root, f"{n}.proto"))
            infer_schema.json_to_proto({"a": i}, os.path.join(root, "same.proto"))
            assert utilities.custom_normpath("a\\\\b/../c") == "c"
            if i % 25 == 0:
                gc.collect()
    except BaseException:
        errors.append(traceback.format_exc())
def swapper():
    for i in range(3000):
        pack_payload.json = types.SimpleNamespace(loads=json.loads) if i % 2 else json
        dict_bridge.MessageToDict = (lambda m: json_format.MessageToDict(m)) if i % 2 else json_format.MessageToDict
    pack_payload.json, dict_bridge.MessageToDict = json, json_format.MessageToDict
with contextlib.redirect_stdout(io.StringIO()):
    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    threads.append(threading.Thread(target=swapper))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
print("errors:", errors)
print("shared:", shared.ChannelGroup in range(150))
"""

REENTRY_ON_A_SMALL_STACK = """
from kestrune_protocol_buffer_python import infer_schema, pack_payload, utilities
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as z
path = "x.proto"
class Again:
    def __getattr__(self, name):
        return pack_payload.set_message_fields(Again(), {name: 1})
    DESCRIPTOR = types.SimpleNamespace(name="Again", fields_by_name={})
class Key:
    def __format__(self, spec):
        infer_schema.json_to_proto({Key(): 1}, path)
        return "k"
def again():
    return utilities.custom_normpath("a")
def run():
    # Levels alternate between a swallowed lookup failure (a warning) and the
    # KeyError of a lookup that succeeded, so how the outermost call ends
    # depends on how deep the guard lets the loop go.
    with contextlib.redirect_stdout(io.StringIO()) as printed:
        try:
            outcome = pack_payload.set_message_fields(Again(), {"a": 1})
        except Exception as exc:
            outcome = exc
    print("fill through __getattr__:", repr(outcome) == "KeyError('a')" or type(outcome) is Again,
          "warnings printed:", bool(printed.getvalue()))
    attempt("schema through __format__", infer_schema.json_to_proto, {Key(): 1}, path)
    utilities.get_os = again
    attempt("normpath through get_os", utilities.custom_normpath, "a")
"""

# What each case prints, step by step.
CASES = {
    "init-fails-after-define": (INIT_FAILS_AFTER_DEFINE, """\
import: KeyError
kept function, bad input: AttributeError: 'NoneType' object has no attribute 'items'
kept function, no file: FileNotFoundError: [Errno 2] No such file or directory: ''
imported again: ['BrandInfo', 'ChannelGroup'] True
"""),
    "main-fails-module-kept": (MAIN_FAILS_MODULE_KEPT, """\
run as main: FileExistsError: [Errno 17] File exists: 'grpc/generated'
kept module: TypeError: Argument 'proto_dir' has incorrect type (expected str, got int)
kept module, missing dir: FileExistsError: [Errno 17] File exists: 'grpc/generated'
"""),
    "no-parse-error": (NO_PARSE_ERROR, """\
import: ImportError: cannot import name ParseError
after restoring: ok 3
parse error: ValueError: Failed to populate protobuf message from dict: Message type "zorva_data.TopLevelMessage" has no field named "x" at "TopLevelMessage". (context ParseError)
"""),
    "fake-zlib": (FAKE_ZLIB, """\
fake zlib: ok b'fake \\x10\\x03'
real zlib: ok True
"""),
    "raising-utilities": (RAISING_UTILITIES, """\
import: RuntimeError: no custom_normpath here
after restoring: ok 'a/b'
"""),
    "schema-modules": (SCHEMA_MODULES, """\
load_proto_module kestrune_swaps_itself: ok 'SimpleNamespace'
import_protobuf_module kestrune_swaps_itself: ok 'SimpleNamespace'
load_proto_module kestrune_raises_key_error: KeyError: 'inside'
import_protobuf_module kestrune_raises_key_error: KeyError: 'inside'
load_proto_module kestrune_raises_import_error: ModuleNotFoundError: No module named 'kestrune_nowhere_to_be_found'
import_protobuf_module kestrune_raises_import_error: ImportError: Failed to import module 'kestrune_raises_import_error': No module named 'kestrune_nowhere_to_be_found' (context ModuleNotFoundError)
load_proto_module kestrune_getattr_raises: ok 'module'
import_protobuf_module kestrune_getattr_raises: ok 'module'
create_message: RuntimeError: TopLevelMessage
depack_payload: RuntimeError: TopLevelMessage
get_protobuf_class: RuntimeError: TopLevelMessage
"""),
    "raising-owners": (RAISING_OWNERS, """\
create_message RuntimeError: RuntimeError: r
depack_payload RuntimeError: RuntimeError: r
get_protobuf_class RuntimeError: RuntimeError: r
create_message KeyboardInterrupt: KeyboardInterrupt
depack_payload KeyboardInterrupt: KeyboardInterrupt
get_protobuf_class KeyboardInterrupt: KeyboardInterrupt
create_message SystemExit: SystemExit: 3
depack_payload SystemExit: SystemExit: 3
get_protobuf_class SystemExit: SystemExit: 3
create_message RecursionError: RecursionError: deep
depack_payload RecursionError: RecursionError: deep
get_protobuf_class RecursionError: RecursionError: deep
create_message AttributeError: AttributeError: a
depack_payload AttributeError: AttributeError: a
get_protobuf_class AttributeError: AttributeError: a
get_protobuf_class, __name__ raises: RuntimeError: name unreadable (context AttributeError)
"""),
    "lying-descriptors": (LYING_DESCRIPTORS, """\
message field holds an int: AttributeError: 'int' object has no attribute 'DESCRIPTOR'
repeated without add: AttributeError: 'list' object has no attribute 'add'
fields_by_name a list: TypeError: list indices must be integers or slices, not str
type comparison raises: ValueError: no comparing
is_repeated truth raises: ValueError: no truth
name unprintable: ValueError: no text
name missing: AttributeError: 'NoneType' object has no attribute 'name'
descriptor shifts, other outcomes: []
FieldDescriptor shifts, other outcomes: []
FieldDescriptor restored: ok 'BrandInfo {   BrandID: 2 } '
"""),
    "keys-and-values": (KEYS_AND_VALUES, """\
Warning: Bogus is not a valid field of TopLevelMessage
key hash and eq raise: ok TopLevelMessage
stdout clears the record: dictionary changed size during iteration {}
json.loads grows the record: RuntimeError: dictionary changed size during iteration
json.loads swaps a key: ok TopLevelMessage
appended 1
appended 2
append shrinks the list: ok [1, 2]
"""),
    "schema-text-callbacks": (SCHEMA_TEXT_CALLBACKS, """\
format clears: RuntimeError: dictionary changed size during iteration
Proto file 'x.proto' generated successfully.
format replaces a key: ok
format raises: ValueError: no format
Proto file 'x.proto' generated successfully.
format changes a nested dict: ok
list truth raises: ValueError: no length
Proto file 'x.proto' generated successfully.
first element empties the list: ok
file name unformattable: ValueError: no name
print line unformattable: ValueError: printing refused
written: ['package pkg;', 'message TopLevelMessage {', 'int32 a = 1;', '}']
"""),
    "bridge-callbacks": (BRIDGE_CALLBACKS, """\
parse error without text: ValueError: no text (context Mute)
ParseError not a class: TypeError: catching classes that do not inherit from BaseException is not allowed (context ParseError)
isinstance raises: RuntimeError: no instance check
MessageToDict calls back in: RecursionError: maximum recursion depth exceeded while calling a Python object
MessageToDict gives a dict subclass: TypeError: Expected dict, got Sub
"""),
    "driver-callbacks": (DRIVER_CALLBACKS, """\
executable unformattable: ValueError: no path
Error compiling p/a.proto
failure without text: ValueError: no text (context Failed)
normpath gives an object: ok
glob gives odd entries: TypeError: Argument 'path' has incorrect type (expected str, got int)
get_os result compares badly: ValueError: no comparing
get_os gives None: ok 'a/b'
"""),
    "threads": (THREADS, """\
errors: []
shared: True
"""),
    "reentry-on-a-small-stack": (on_thread(REENTRY_ON_A_SMALL_STACK), """\
fill through __getattr__: True warnings printed: True
schema through __format__: RecursionError: maximum recursion depth exceeded while calling a Python object
normpath through get_os: RecursionError: maximum recursion depth exceeded while calling a Python object
"""),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_ends_in_an_exception_or_the_right_result(name):
    code, expected = CASES[name]
    proc = run_python(PRELUDE + code)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout == expected
