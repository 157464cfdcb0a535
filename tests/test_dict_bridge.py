"""Messages to dictionaries and back, lookups by name, and the translated exceptions."""
import sys
import traceback
import types

import pytest
from google.protobuf import json_format, struct_pb2
from hypothesis import given, settings

import records
from conftest import check_python, examples, last_entry, on_thread
from kestrune_protocol_buffer_python import dict_bridge
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2
from test_frame import LAUNCH

TopLevelMessage = zorva_data_pb2.TopLevelMessage
SCHEMA = zorva_data_pb2.__name__
MISSING = "no_such_schema_pb2"
POPULATE = "Failed to populate protobuf message from dict: "


def at(function, line):
    return (f"kestrune_protocol_buffer_python.dict_bridge.{function}",
            "kestrune_protocol_buffer_python\\\\dict_bridge.py", line)


def parse_dict_error(data):
    """The text of the ParseError that the runtime raises for `data`."""
    with pytest.raises(json_format.ParseError) as info:
        json_format.ParseDict(data, TopLevelMessage())
    return str(info.value)


def kind(exc):
    return None if exc is None else type(exc)


def raises(error):
    def fail(*args):
        raise error
    return fail


# ---- the failure table ----------------------------------------------------------------


@pytest.mark.parametrize(
    "patch, call, error, text, caught, function, line",
    [
        ({}, lambda: dict_bridge.import_protobuf_module(MISSING), ImportError,
         f"Failed to import module '{MISSING}': No module named '{MISSING}'",
         ModuleNotFoundError, "import_protobuf_module", (18, 21)),
        ({}, lambda: dict_bridge.get_protobuf_class(zorva_data_pb2, "Nope"), AttributeError,
         f"Module '{SCHEMA}' has no class 'Nope': module '{SCHEMA}' has no attribute 'Nope'",
         AttributeError, "get_protobuf_class", (36, 39)),
        ({}, lambda: dict_bridge.populate_protobuf_from_dict(TopLevelMessage, {"Bogus": 1}),
         ValueError, POPULATE + parse_dict_error({"Bogus": 1}),
         json_format.ParseError, "populate_protobuf_from_dict", (58, 61)),
        # ParseError is read when the clause runs: a replacement decides what is caught.
        ({"ParseError": AttributeError},
         lambda: dict_bridge.populate_protobuf_from_dict(dict, {}), ValueError,
         POPULATE + "'dict' object has no attribute 'DESCRIPTOR'",
         AttributeError, "populate_protobuf_from_dict", (58, 61)),
        ({"MessageToDict": raises(json_format.EnumStringValueParseError("bad enum"))},
         lambda: dict_bridge.protobuf_to_dict(TopLevelMessage()), ValueError,
         "Failed to convert protobuf message to dict: bad enum",
         json_format.EnumStringValueParseError, "protobuf_to_dict", (82, 85)),
        ({}, lambda: dict_bridge.protobuf_to_dict({}), TypeError,
         "The input must be a protobuf message.", None, "protobuf_to_dict", (None, 79)),
    ],
    ids=["import", "class", "populate", "populate-replaced-error", "convert", "not-a-message"],
)
def test_failure_table(monkeypatch, patch, call, error, text, caught, function, line):
    for name, value in patch.items():
        monkeypatch.setattr(dict_bridge, name, value)
    with pytest.raises(error) as info:
        call()
    exc = info.value
    assert type(exc) is error and exc.args == (text,)
    assert exc.__cause__ is None and not exc.__suppress_context__
    assert records.entries(exc) == [at(function, line[1])]
    context = exc.__context__
    assert kind(context) is caught
    if caught is not None:
        assert str(exc).endswith(str(context))
        # The caught exception keeps its whole traceback, headed by the statement.
        caught_tb = traceback.extract_tb(context.__traceback__)
        assert (caught_tb[0].name, caught_tb[0].filename, caught_tb[0].lineno) == at(function, line[0])
        assert len(caught_tb) > 1 or function == "get_protobuf_class"  # raised in native code


DELETED = object()


@pytest.mark.parametrize(
    "patch, call, error, text, context, function, line",
    [
        ({}, lambda: dict_bridge.import_protobuf_module(""), ValueError, "Empty module name",
         None, "import_protobuf_module", 18),
        ({"importlib": types.SimpleNamespace(import_module=raises(KeyError("k")))},
         lambda: dict_bridge.import_protobuf_module(SCHEMA), KeyError, "'k'",
         None, "import_protobuf_module", 18),
        ({}, lambda: dict_bridge.get_protobuf_class(object(), "x"), AttributeError,
         "'object' object has no attribute '__name__'", AttributeError, "get_protobuf_class", 39),
        ({}, lambda: dict_bridge.populate_protobuf_from_dict(5, {}), TypeError,
         "'int' object is not callable", None, "populate_protobuf_from_dict", 57),
        ({}, lambda: dict_bridge.populate_protobuf_from_dict(dict, {}), AttributeError,
         "'dict' object has no attribute 'DESCRIPTOR'", None, "populate_protobuf_from_dict", 58),
        ({"ParseError": 5},
         lambda: dict_bridge.populate_protobuf_from_dict(TopLevelMessage, {"Bogus": 1}),
         TypeError, "catching classes that do not inherit from BaseException is not allowed",
         json_format.ParseError, "populate_protobuf_from_dict", 60),
        ({"ParseError": DELETED},
         lambda: dict_bridge.populate_protobuf_from_dict(TopLevelMessage, {"Bogus": 1}),
         NameError, "name 'ParseError' is not defined",
         json_format.ParseError, "populate_protobuf_from_dict", 60),
        ({}, lambda: dict_bridge.protobuf_to_dict(struct_pb2.Value(number_value=float("inf"))),
         ValueError, "Fail to serialize Infinity for Value.number_value, which would parse as "
         "string_value", None, "protobuf_to_dict", 82),
        ({"MessageToDict": lambda message: []}, lambda: dict_bridge.protobuf_to_dict(
            TopLevelMessage()), TypeError, "Expected dict, got list", None, "protobuf_to_dict", 83),
    ],
    ids=["empty-name", "importlib-replaced", "no-dunder-name", "not-callable",
         "not-a-message-class", "parse-error-not-a-class", "parse-error-deleted",
         "runtime-value-error", "result-not-a-dict"],
)
def test_other_exceptions_pass_through(monkeypatch, patch, call, error, text, context, function,
                                       line):
    for name, value in patch.items():
        if value is DELETED:
            monkeypatch.delattr(dict_bridge, name)
        else:
            monkeypatch.setattr(dict_bridge, name, value)
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == text
    assert kind(info.value.__context__) is context
    assert last_entry(info) == at(function, line)


def test_handled_exception_is_given_back():
    def generator():
        with pytest.raises(ImportError):
            dict_bridge.import_protobuf_module(MISSING)
        yield
        yield sys.exc_info()[1]

    resumed = generator()
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(ImportError) as info:
            dict_bridge.import_protobuf_module(MISSING)
        assert sys.exc_info()[1] is outer
        # Raised while the caller handled `outer`, as any exception would be.
        assert info.value.__context__.__context__ is outer
        next(resumed)
    assert sys.exc_info() == (None, None, None)
    # The generator's own state stays its own: nothing is handled there now.
    assert next(resumed) is None


def test_reentry_ends_in_recursion_error_on_a_small_stack():
    out = check_python(on_thread(
        """
        import types
        from kestrune_protocol_buffer_python import dict_bridge as bridge
        from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2
        T = zorva_data_pb2.TopLevelMessage
        bridge.MessageToDict = lambda message: bridge.protobuf_to_dict(message)
        bridge.ParseDict = lambda data, message: bridge.populate_protobuf_from_dict(T, data)
        bridge.importlib = types.SimpleNamespace(import_module=bridge.import_protobuf_module)
        def run():
            for call in (lambda: bridge.protobuf_to_dict(T()),
                         lambda: bridge.populate_protobuf_from_dict(T, {}),
                         lambda: bridge.import_protobuf_module("x")):
                try:
                    call()
                except RecursionError:
                    print("RecursionError")
        """))
    assert out.split() == ["RecursionError"] * 3


# ---- arguments and function objects ----------------------------------------------------


@pytest.mark.parametrize(
    "function, args, kwargs, text, line",
    [
        ("import_protobuf_module", (None,), {},
         "Argument 'module_name' has incorrect type (expected str, got NoneType)", 7),
        ("import_protobuf_module", (type("Name", (str,), {})(SCHEMA),), {},
         "Argument 'module_name' has incorrect type (expected str, got Name)", 7),
        ("populate_protobuf_from_dict", (TopLevelMessage, type("Record", (dict,), {})()), {},
         "Argument 'data' has incorrect type (expected dict, got Record)", 42),
        ("protobuf_to_dict", (), {"message": 1},
         "protobuf_to_dict() takes exactly 1 positional argument (0 given)", 64),
    ],
)
def test_argument_refusals(function, args, kwargs, text, line):
    with pytest.raises(TypeError) as info:
        getattr(dict_bridge, function)(*args, **kwargs)
    assert str(info.value) == text
    assert records.entries(info) == [at(function, line)]


# ---- conversions with the real runtime ----------------------------------------------------


def test_sample_record_both_ways():
    assert dict_bridge.import_protobuf_module(SCHEMA) is zorva_data_pb2
    assert dict_bridge.get_protobuf_class(zorva_data_pb2, "DESCRIPTOR") is zorva_data_pb2.DESCRIPTOR
    cls = dict_bridge.get_protobuf_class(module=zorva_data_pb2, class_name="TopLevelMessage")
    assert dict_bridge.protobuf_to_dict(dict_bridge.populate_protobuf_from_dict(cls, {})) == {}
    record = records.sample_record()
    message = dict_bridge.populate_protobuf_from_dict(cls, record)
    assert message == json_format.ParseDict(record, TopLevelMessage())
    result = dict_bridge.protobuf_to_dict(message)
    assert type(result) is dict and result == json_format.MessageToDict(message)
    assert list(result) == ["RawData", "ChannelGroup", "ChannelType", "BrandInfo",
                            "MentionTrackingDetails", "ServiceName"]
    assert result["RawData"]["ObjectId"] == "1623297786281202642"


def test_test_schema_both_ways(road):
    data = {"Total": str(-(2**63)), "BigNumbers": [2**63 - 1, "5"], "Tags": ["a"],
            "Entries": [{"Label": "x", "Inner": {"Count": 3}}]}
    basket = dict_bridge.populate_protobuf_from_dict(road.Basket, data)
    assert dict_bridge.protobuf_to_dict(basket) == {
        "Total": "-9223372036854775808", "BigNumbers": ["9223372036854775807", "5"],
        "Tags": ["a"], "Entries": [{"Label": "x", "Inner": {"Count": 3}}]}
    with pytest.raises(ValueError, match=f"^{POPULATE}Failed to parse child field: .*Message too deep"):
        dict_bridge.populate_protobuf_from_dict(road.Node, records.nested(200, "child"))


@settings(max_examples=examples(150), deadline=None)
@given(record=records.RECORDS)
def test_any_record_matches_the_runtime(record):
    try:
        expected = json_format.ParseDict(record, TopLevelMessage())
    except json_format.ParseError as exc:
        with pytest.raises(ValueError) as info:
            dict_bridge.populate_protobuf_from_dict(TopLevelMessage, record)
        assert str(info.value) == POPULATE + str(exc)
        return
    message = dict_bridge.populate_protobuf_from_dict(TopLevelMessage, record)
    assert message == expected
    assert dict_bridge.protobuf_to_dict(message) == json_format.MessageToDict(expected)


@pytest.mark.measures_memory
def test_no_memory_growth():
    calls = [
        lambda: dict_bridge.protobuf_to_dict(
            dict_bridge.populate_protobuf_from_dict(TopLevelMessage, records.sample_record())),
        lambda: dict_bridge.import_protobuf_module(MISSING),
        lambda: dict_bridge.get_protobuf_class(zorva_data_pb2, "Nope"),
        lambda: dict_bridge.populate_protobuf_from_dict(TopLevelMessage, {"Bogus": 1}),
        lambda: dict_bridge.protobuf_to_dict(None),
    ]

    records.block_growth(calls, 500)
    assert records.block_growth(calls, 5_000) < 1_000


# ---- the main program ------------------------------------------------------------------------

MAIN_RUN = LAUNCH.format(short="dict_bridge") + """
import os, traceback
{setup}
spec = types.SimpleNamespace(name="__main__", origin=path, parent="",
                             submodule_search_locations=None)
module = api.PyModule_FromDefAndSpec2(definition, spec, 1013)
try:
    api.PyModule_ExecDef(module, definition)
except Exception as exc:
    print("raised", type(exc).__name__, type(exc.__context__).__name__,
          [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
           if f.name.startswith(("init ", "kestrune"))])
print("bound", sorted({{"module_name", "protobuf_module", "dict_representation", "e"}}
                      & set(vars(module))))
"""

FAKE_SCHEMA = """
class Refused(ValueError):
    def __str__(self):
        raise RuntimeError("no text")
class TopLevelMessage:
    def __init__(self):
        raise {error}
sys.modules["zorva_data_pb2"] = types.SimpleNamespace(TopLevelMessage=TopLevelMessage)
"""


@pytest.mark.parametrize(
    "setup, lines",
    [
        ("sys.path.insert(0, os.path.join(os.path.dirname(path), 'grpc', 'generated'))",
         ["{}", "bound ['dict_representation', 'module_name', 'protobuf_module']"]),
        ("", ["Error: Failed to import module 'zorva_data_pb2': No module named 'zorva_data_pb2'",
              "bound ['module_name']"]),
        (FAKE_SCHEMA.format(error="KeyError('k')"),
         ["raised KeyError NoneType [('init kestrune_protocol_buffer_python.dict_bridge', 105), "
          "('kestrune_protocol_buffer_python.dict_bridge.populate_protobuf_from_dict', 57)]",
          "bound ['module_name', 'protobuf_module']"]),
        (FAKE_SCHEMA.format(error="Refused()"),
         ["raised RuntimeError Refused [('init kestrune_protocol_buffer_python.dict_bridge', 111)]",
         "bound ['module_name', 'protobuf_module']"]),
    ],
    ids=["importable", "missing", "other-error", "error-text-fails"],
)
def test_main_program(setup, lines, tmp_path):
    assert check_python(MAIN_RUN.format(setup=setup), cwd=tmp_path).splitlines() == lines
