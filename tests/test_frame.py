"""Behaviour every module shares: binding, function objects, tracebacks, imports."""
import copy
import ctypes
import importlib
import inspect
import pickle
import pydoc
import shutil
import subprocess
import sys
import traceback

import pytest

from conftest import check_python, last_entry, on_thread
from kestrune_protocol_buffer_python import (build_stubs, dict_bridge, infer_schema, open_payload,
                                             pack_payload, utilities)
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

MODULES = [pack_payload, open_payload, utilities, zorva_data_pb2, build_stubs, dict_bridge,
           infer_schema]
FUNCTIONS = [
    (pack_payload, "create_message", 7),
    (pack_payload, "load_proto_module", 12),
    (pack_payload, "set_message_fields", 17),
    (pack_payload, "pack_payload", 50),
    (open_payload, "load_proto_module", 5),
    (open_payload, "create_message", 10),
    (open_payload, "depack_payload", 15),
    (utilities, "get_os", 5),
    (utilities, "custom_normpath", 10),
    (build_stubs, "build_stubs", 9),
    (dict_bridge, "import_protobuf_module", 7),
    (dict_bridge, "get_protobuf_class", 24),
    (dict_bridge, "populate_protobuf_from_dict", 42),
    (dict_bridge, "protobuf_to_dict", 64),
    (infer_schema, "json_to_proto", 4),
]


def call_error(func, *args, **kwargs):
    with pytest.raises(TypeError) as excinfo:
        func(*args, **kwargs)
    return str(excinfo.value)


# ---- argument binding ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "create_message() takes exactly 2 positional arguments (0 given)"),
        ((1,), {}, "create_message() takes exactly 2 positional arguments (1 given)"),
        ((1, 2, 3), {}, "create_message() takes exactly 2 positional arguments (3 given)"),
        ((1, 2, 3), {"x": 1}, "create_message() takes exactly 2 positional arguments (3 given)"),
        ((), {"message_type_param": "T"},
         "create_message() takes exactly 2 positional arguments (0 given)"),
        ((), {"proto_module_param": zorva_data_pb2},
         "create_message() takes exactly 2 positional arguments (1 given)"),
        ((zorva_data_pb2, "TopLevelMessage"), {"proto_module_param": 1},
         "create_message() got multiple values for keyword argument 'proto_module_param'"),
        ((zorva_data_pb2,), {"message_type_param": "T", "proto_module_param": 1},
         "create_message() got multiple values for keyword argument 'proto_module_param'"),
        ((zorva_data_pb2, "TopLevelMessage"), {"x": 1},
         "create_message() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    assert call_error(pack_payload.create_message, *args, **kwargs) == message


def test_keywords_bind_by_name_in_any_order():
    message = pack_payload.create_message(
        message_type_param="TopLevelMessage", proto_module_param=zorva_data_pb2
    )
    assert isinstance(message, zorva_data_pb2.TopLevelMessage)
    # Keyword names that are equal but not identical to the parameter names.
    name = "".join(["proto_module", "_param"])
    assert pack_payload.create_message(**{name: zorva_data_pb2, "message_type_param": "TopLevelMessage"})


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "get_os() takes no arguments (1 given)"),
        ((1, 2), {}, "get_os() takes no arguments (2 given)"),
        ((), {"x": 1}, "get_os() takes no keyword arguments"),
        ((1,), {"x": 1}, "get_os() takes no keyword arguments"),
    ],
)
def test_no_argument_function(args, kwargs, message):
    assert call_error(utilities.get_os, *args, **kwargs) == message


def test_no_argument_function_accepts_empty_keywords():
    assert utilities.get_os(**{}) == utilities.get_os()


def test_keyword_that_is_not_a_string():
    # The interpreter refuses such keywords itself; only a native caller can pass one.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    args = (ctypes.py_object * 2)("json", 5)
    with pytest.raises(TypeError, match=r"^load_proto_module\(\) keywords must be strings$"):
        vectorcall(pack_payload.load_proto_module, args, 1, (7,))


@pytest.mark.parametrize(
    "func, args, message",
    [
        (utilities.custom_normpath, (b"a/b",),
         "Argument 'path' has incorrect type (expected str, got bytes)"),
        (utilities.custom_normpath, (None,),
         "Argument 'path' has incorrect type (expected str, got NoneType)"),
        (utilities.custom_normpath, (type("Text", (str,), {})("a"),),
         "Argument 'path' has incorrect type (expected str, got Text)"),
        (pack_payload.set_message_fields, (None, type("Record", (dict,), {})()),
         "Argument 'data' has incorrect type (expected dict, got Record)"),
        (pack_payload.set_message_fields, (None, None),
         "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    ],
)
def test_exact_type_refusals(func, args, message):
    assert call_error(func, *args) == message


# ---- function objects --------------------------------------------------------------


@pytest.mark.parametrize("module, name, first_line", FUNCTIONS)
def test_function_attributes(module, name, first_line):
    func = getattr(module, name)
    short = module.__name__.rsplit(".", 1)[1]
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == module.__name__
    assert func.__globals__ is module.__dict__
    assert func.__defaults__ is None
    code = func.__code__
    assert code.co_name == name
    assert code.co_filename == f"kestrune_protocol_buffer_python\\{short}.py"
    assert code.co_firstlineno == first_line
    assert code.co_varnames[: code.co_argcount] == func.__code__.co_varnames[: code.co_argcount]
    assert repr(func).startswith(f"<function {name} at ")


def test_running_a_code_object_raises_instead_of_crashing():
    # The code objects once carried no bytecode: running one crashed the process.
    out = check_python(
        f"""
        import types
        import importlib, types
        for module, name, _ in {[(m.__name__, n, l) for m, n, l in FUNCTIONS]!r}:
            code = getattr(importlib.import_module(module), name).__code__
            for run in (lambda: exec(code, {{}}),
                        lambda: types.FunctionType(code, {{}})(*range(code.co_argcount))):
                try:
                    run()
                except Exception as exc:
                    print(type(exc).__name__)
        """
    )
    # exec() supplies no arguments, so a code object that takes some fails first.
    expected = []
    for func in (getattr(module, name) for module, name, _ in FUNCTIONS):
        expected += ["TypeError" if func.__code__.co_argcount else "AssertionError",
                     "AssertionError"]
    assert out.split() == expected


@pytest.mark.parametrize(
    "func, signature",
    [
        (pack_payload.set_message_fields, "(message, data: 'dict')"),
        (pack_payload.create_message, "(proto_module_param, message_type_param)"),
        (open_payload.depack_payload, "(proto_module, message_type, binary_data)"),
        (utilities.custom_normpath, "(path: 'str') -> 'str'"),
        (utilities.get_os, "()"),
    ],
)
def test_signature_and_help(func, signature):
    assert str(inspect.signature(func)) == signature
    assert func.__kwdefaults__ is None
    page = pydoc.render_doc(func, renderer=pydoc.plaintext)
    assert f"{func.__name__}{signature}" in page


def test_function_read_through_a_class_is_the_function_itself():
    holder = type("Holder", (), {"fill": pack_payload.set_message_fields})
    assert holder.fill is pack_payload.set_message_fields
    assert holder().fill is pack_payload.set_message_fields


@pytest.mark.parametrize(
    "func, argnames, annotations",
    [
        (pack_payload.set_message_fields, ("message", "data"), {"data": "dict"}),
        (utilities.custom_normpath, ("path",), {"path": "str", "return": "str"}),
        (utilities.get_os, (), {}),
        (build_stubs.build_stubs, ("proto_dir", "output_dir"), {"proto_dir": "str", "output_dir": "str"}),
        (open_payload.depack_payload, ("proto_module", "message_type", "binary_data"), {}),
        (dict_bridge.get_protobuf_class, ("module", "class_name"), {"class_name": "str"}),
        (dict_bridge.populate_protobuf_from_dict, ("protobuf_cls", "data"),
         {"data": "dict", "return": "Message"}),
        (dict_bridge.protobuf_to_dict, ("protobuf_message",),
         {"protobuf_message": "Message", "return": "dict"}),
    ],
)
def test_arguments_and_annotations(func, argnames, annotations):
    assert func.__code__.co_argcount == len(argnames)
    assert func.__code__.co_varnames[: len(argnames)] == argnames
    assert func.__annotations__ == annotations


@pytest.mark.parametrize(
    "func, doc",
    [
        (pack_payload.load_proto_module, "Dynamically load a Protobuf module."),
        (open_payload.create_message, "Dynamically create a Protobuf message."),
        (pack_payload.pack_payload, "Serialize a Protobuf message to a compressed binary string."),
        (utilities.get_os, None),
    ],
)
def test_docstrings(func, doc):
    assert func.__doc__ == doc


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_name_setters_check_type(attribute):
    func = utilities.get_os
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        setattr(func, attribute, 5)
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        delattr(func, attribute)
    original = getattr(func, attribute)
    try:
        setattr(func, attribute, "renamed")
        assert getattr(func, attribute) == "renamed"
    finally:
        setattr(func, attribute, original)


def test_calls_keep_the_defaults_of_creation():
    func = utilities.custom_normpath
    func.__defaults__ = ("ignored",)
    try:
        assert func.__defaults__ == ("ignored",)
        with pytest.raises(TypeError, match="takes exactly 1 positional argument "):
            func()
    finally:
        func.__defaults__ = None


@pytest.mark.parametrize("module, name, _line", FUNCTIONS)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickled_by_reference(module, name, _line, protocol):
    func = getattr(module, name)
    assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.deepcopy(func) is func


def test_functions_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(utilities.get_os)()


# ---- traceback entries -----------------------------------------------------------------


def test_binding_failure_reports_the_definition_line():
    with pytest.raises(TypeError) as excinfo:
        pack_payload.set_message_fields(1)
    assert last_entry(excinfo) == (
        "kestrune_protocol_buffer_python.pack_payload.set_message_fields",
        "kestrune_protocol_buffer_python\\\\pack_payload.py",
        17,
    )


def test_body_failure_reports_the_statement_line():
    with pytest.raises(AttributeError) as excinfo:
        open_payload.create_message(zorva_data_pb2, "Missing")
    assert last_entry(excinfo) == (
        "kestrune_protocol_buffer_python.open_payload.create_message",
        "kestrune_protocol_buffer_python\\\\open_payload.py",
        12,
    )
    # The entry renders like any other, backslashes doubled as stored.
    rendered = "".join(traceback.format_exception(excinfo.value))
    assert 'File "kestrune_protocol_buffer_python\\\\open_payload.py", line 12, in ' in rendered


def test_each_recursion_level_adds_its_entry():
    message = zorva_data_pb2.TopLevelMessage()
    with pytest.raises(TypeError) as excinfo:
        pack_payload.set_message_fields(message, {"RawData": {"UserInfo": {"AuthorSocialID": 5}}})
    names = [e.name for e in traceback.extract_tb(excinfo.value.__traceback__)]
    assert names[-3:] == ["kestrune_protocol_buffer_python.pack_payload.set_message_fields"] * 3


# ---- module creation and execution ---------------------------------------------------------


@pytest.mark.parametrize("module", MODULES)
def test_reimport_returns_the_same_module(module):
    name = module.__name__
    namespace = dict(module.__dict__)
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
        assert again is module
        # The module code did not run again: every global is the same object
        # (the import machinery itself always stores the new __spec__).
        changed = [k for k, v in namespace.items() if module.__dict__[k] is not v]
        assert changed in ([], ["__spec__"])
    finally:
        sys.modules[name] = module


@pytest.mark.parametrize("module", MODULES)
def test_module_namespace(module):
    assert module.__test__ == {}
    assert module.__builtins__ is __import__("builtins")
    assert module.__spec__.name == module.__name__
    assert module.__file__ == module.__spec__.origin
    assert not hasattr(module, "__path__")


def test_short_name_import_gives_the_same_module(package_dir):
    out = check_python(
        f"""
        import sys
        from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as full
        sys.path.insert(0, {package_dir + "/grpc/generated"!r})
        import zorva_data_pb2
        print(zorva_data_pb2 is full, sys.modules["zorva_data_pb2"] is full)
        """
    )
    assert out.split() == ["True", "True"]


def test_short_name_first_registers_the_full_name(package_dir):
    out = check_python(
        f"""
        import sys
        sys.path.insert(0, {package_dir + "/grpc/generated"!r})
        import zorva_data_pb2
        from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2 as full
        print(zorva_data_pb2.__name__, full is zorva_data_pb2)
        """
    )
    assert out.split() == ["zorva_data_pb2", "True"]


def test_package_directory_first_resolves_our_grpc(package_dir):
    out = check_python(
        f"""
        import sys
        sys.path.insert(0, {package_dir!r})
        from kestrune_protocol_buffer_python import pack_payload
        module = pack_payload.load_proto_module("grpc.generated.zorva_data_pb2")
        import grpc
        print(grpc.__file__.startswith({package_dir!r}), module.TopLevelMessage.__name__)
        print(pack_payload.load_proto_module("grpc.generated.zorva_data_pb2") is module)
        """
    )
    assert out.split() == ["True", "TopLevelMessage", "True"]


def test_second_interpreter_is_refused():
    out = check_python(
        """
        import _xxsubinterpreters as interpreters
        import kestrune_protocol_buffer_python.utilities
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import kestrune_protocol_buffer_python.utilities")
        except interpreters.RunFailedError as exc:
            print(exc)
        finally:
            interpreters.destroy(interp)
        """
    )
    assert "ImportError" in out
    assert ("Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in out


LAUNCH = """
import ctypes, importlib.util, sys, types
path = importlib.util.find_spec("kestrune_protocol_buffer_python.{short}").origin
lib = ctypes.PyDLL(path)
init = getattr(lib, "PyInit_{short}")
init.restype = ctypes.c_void_p
definition = init()
api = ctypes.pythonapi
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
"""


def test_created_from_a_main_spec():
    out = check_python(
        LAUNCH.format(short="utilities")
        + """
spec = types.SimpleNamespace(name="__main__", origin="somewhere", parent="",
                             submodule_search_locations=None)
module = api.PyModule_FromDefAndSpec2(definition, spec, 1013)
api.PyModule_ExecDef(module, definition)
print(module.__name__, module.__file__, repr(module.__package__), hasattr(module, "__path__"))
print(sys.modules["kestrune_protocol_buffer_python.utilities"] is module, module.get_os() != "")
"""
    )
    assert out.split() == ["__main__", "somewhere", "''", "False", "True", "True"]


def test_executing_another_module_object_is_refused():
    out = check_python(
        LAUNCH.format(short="utilities")
        + """
import kestrune_protocol_buffer_python.utilities
try:
    api.PyModule_ExecDef(types.ModuleType("other"), definition)
except RuntimeError as exc:
    print(exc)
"""
    )
    assert out.strip() == (
        "Module 'utilities' has already been imported. Re-initialisation is not supported."
    )


@pytest.mark.parametrize(
    "setup, restore, module, error, line",
    [
        ("sys.modules['platform'] = None", "del sys.modules['platform']",
         "utilities", "ModuleNotFoundError", 2),
        ("import builtins; saved = builtins.print; del builtins.print",
         "builtins.print = saved", "pack_payload", "NameError: name 'print' is not defined", 1),
        ("sys.modules['zlib'] = None", "del sys.modules['zlib']", "open_payload",
         "ModuleNotFoundError", 2),
        ("sys.modules['kestrune_protocol_buffer_python.utilities'] = None",
         "del sys.modules['kestrune_protocol_buffer_python.utilities']", "build_stubs",
         "ModuleNotFoundError", 6),
        ("sys.modules['json'] = None", "del sys.modules['json']", "infer_schema",
         "ModuleNotFoundError", 1),
        ("import types; sys.modules['json'] = types.SimpleNamespace(loads=int)",
         "del sys.modules['json']", "infer_schema", "ValueError", 69),
    ],
)
def test_failed_execution_leaves_no_module_behind(setup, restore, module, error, line):
    full = f"kestrune_protocol_buffer_python.{module}"
    out = check_python(
        f"""
        import importlib, sys, traceback
        seen = []
        {setup}
        try:
            importlib.import_module({full!r})
        except Exception as exc:
            seen.append(traceback.format_exception_only(exc)[-1].strip())
            entry = traceback.extract_tb(exc.__traceback__)[-1]
            seen.append(f"{{entry.name}} {{entry.lineno}}")
        seen.append(str({full!r} in sys.modules))
        {restore}
        module = importlib.import_module({full!r})
        seen.append(str(module.__test__ == {{}}))
        print("\\n".join(seen))
        """
    )
    lines = out.splitlines()
    assert lines[0].startswith(error)
    assert lines[1] == f"init {full} {line}"
    assert lines[2:] == ["False", "True"]


# ---- hostile input ---------------------------------------------------------------------


class CallsBack:
    """An object whose attribute lookup calls straight back into the package."""

    def __getattr__(self, name):
        return pack_payload.create_message(self, name)


def test_reentrant_attribute_lookup_ends_in_recursion_error():
    with pytest.raises(RecursionError):
        pack_payload.create_message(CallsBack(), "TopLevelMessage")


def test_reentrant_get_os_ends_in_recursion_error(monkeypatch):
    monkeypatch.setattr(utilities, "get_os", lambda: utilities.custom_normpath("a"))
    with pytest.raises(RecursionError):
        utilities.custom_normpath("x")


def test_reentrant_comparison(monkeypatch):
    class Chatty:
        def __eq__(self, other):
            open_payload.load_proto_module("json")
            return True

    monkeypatch.setattr(utilities, "get_os", Chatty)
    assert utilities.custom_normpath("a/b") == "a\\b"


# Every recursive walk of the package on input 100,000 levels deep: the fill
# through nested messages, repeated messages and JSON text, the schema
# inference through dicts and lists, the conversions both ways, and a callback
# that calls the package again.
DEEP_WALKS = """
import importlib.util
from kestrune_protocol_buffer_python import dict_bridge, infer_schema, pack_payload, utilities
spec = importlib.util.spec_from_file_location("kestrune_payload_road_pb2", {schema!r})
road = importlib.util.module_from_spec(spec)
spec.loader.exec_module(road)
DEPTH = 100_000

def nested(key, wrap=lambda data: data):
    data = {{}}
    for _ in range(DEPTH):
        data = {{key: wrap(data)}}
    return data

deep_message = road.Node()
inner = deep_message
for _ in range(100):
    inner = inner.child
inner.value = 1
real_get_os = utilities.get_os
walks = {{
    "fill-child": lambda: pack_payload.set_message_fields(road.Node(), nested("child")),
    "fill-kids": lambda: pack_payload.set_message_fields(road.Node(), nested("kids", lambda d: [d])),
    "fill-text": lambda: pack_payload.set_message_fields(
        road.Node(), {{"child": '{{"child":' * DEPTH + "{{}}" + "}}" * DEPTH}}),
    "infer-dict": lambda: infer_schema.json_to_proto(nested("c"), "deep.proto"),
    "infer-list": lambda: infer_schema.json_to_proto(nested("c", lambda d: [d]), "deep.proto"),
    "to-dict": lambda: dict_bridge.protobuf_to_dict(deep_message),
    "from-dict": lambda: dict_bridge.populate_protobuf_from_dict(road.Node, nested("child")),
    "callback": lambda: utilities.custom_normpath("a"),
}}

def run():
    for name, walk in walks.items():
        utilities.get_os = (lambda: utilities.custom_normpath("a")) if name == "callback" else real_get_os
        try:
            walk()
            print(name, "ok")
        except Exception as exc:
            print(name, type(exc).__name__)
"""
KIB = 1024


@pytest.mark.parametrize("limit", [1_000, 2_000, 4_000, 20_000, 100_000])
@pytest.mark.parametrize("stack", [128 * KIB, 256 * KIB, 512 * KIB, 1024 * KIB, 8192 * KIB, None],
                         ids=["128K", "256K", "512K", "1M", "8M", "main"])
def test_deep_input_ends_in_recursion_error_at_any_stack_and_limit(road, tmp_path, stack, limit):
    # Whatever the recursion limit, the walks stop before the thread's stack
    # runs out: a crash would show as the child's signal.
    code = on_thread(DEEP_WALKS.format(schema=road.__file__), stack=stack, limit=limit)
    out = check_python(code, cwd=tmp_path)
    assert out.split("\n")[:-1] == [
        "fill-child RecursionError", "fill-kids RecursionError", "fill-text RecursionError",
        "infer-dict RecursionError", "infer-list RecursionError",
        "to-dict ok", "from-dict ValueError",  # the runtime's ParseDict refuses 100 levels
        "callback RecursionError"]


@pytest.mark.parametrize("size", [0, 1, 10**6])
def test_texts_of_any_size(size):
    assert utilities.custom_normpath("ab/" * size) == ("/".join(["ab"] * size) or ".")


@pytest.mark.parametrize(
    "name, error",
    [("", ValueError), (".relative", TypeError), ("no_such_module_here", ModuleNotFoundError),
     (5, AttributeError), (None, AttributeError)],
)
def test_load_proto_module_errors_propagate(name, error):
    with pytest.raises(error) as excinfo:
        open_payload.load_proto_module(name)
    assert last_entry(excinfo)[0] == "kestrune_protocol_buffer_python.open_payload.load_proto_module"
    assert last_entry(excinfo)[2] == 7


@pytest.mark.parametrize(
    "owner, name, error",
    [(zorva_data_pb2, 5, TypeError), (zorva_data_pb2, "DESCRIPTOR", TypeError),
     (zorva_data_pb2, "Nope", AttributeError), (None, "x", AttributeError)],
)
def test_create_message_errors_propagate(owner, name, error):
    with pytest.raises(error):
        pack_payload.create_message(owner, name)


def test_create_message_on_a_class_and_twice():
    first = pack_payload.create_message(zorva_data_pb2, "TopLevelMessage")
    second = pack_payload.create_message(zorva_data_pb2, "TopLevelMessage")
    assert first == second and first is not second
    brand = open_payload.create_message(zorva_data_pb2.TopLevelMessage, "BrandinfoMessage")
    assert type(brand) is zorva_data_pb2.TopLevelMessage.BrandinfoMessage


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.parametrize("module", MODULES)
def test_only_the_init_function_is_exported(module):
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                         capture_output=True, text=True, check=True).stdout
    short = module.__name__.rsplit(".", 1)[1]
    assert [line.split()[-1] for line in out.splitlines()] == [f"PyInit_{short}"]
