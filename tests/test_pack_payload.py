"""Filling messages from record dictionaries and packing them into payloads."""
import builtins
import collections
import json
import os
import sys
import types
import zlib

import pytest
from google.protobuf.descriptor import FieldDescriptor
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import records
from conftest import check_python, examples, on_thread
from records import PACK_FILE, PACK_NAME, PACK_PAYLOAD_NAME, entries
from kestrune_protocol_buffer_python import open_payload, pack_payload
from kestrune_protocol_buffer_python.grpc.generated import zorva_data_pb2

TopLevelMessage = zorva_data_pb2.TopLevelMessage
EMPTY_PAYLOAD = b"x\x9c\x03\x00\x00\x00\x00\x01"
NESTED_KEYS = ["RawData", "BrandInfo", "MentionTrackingDetails"]


def fill(message, data):
    return pack_payload.set_message_fields(message, data)


def at(*lines):
    return [(PACK_NAME, PACK_FILE, line) for line in lines]


# ---- filling the data record -------------------------------------------------------


def test_sample_record_fills_every_field_in_place_and_prints_nothing(capsys):
    message = TopLevelMessage()
    assert fill(message, records.sample_record()) is message
    records.assert_matches(message, records.sample_record())
    assert message.BrandInfo.OperationEnum == ""
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize(
    "as_text",
    [[key] for key in NESTED_KEYS] + [NESTED_KEYS, ["RawData.UserInfo"], ["BrandInfo.BrandSettings"]],
    ids=lambda keys: "+".join(keys),
)
def test_json_text_fills_exactly_as_the_dict_does(as_text, capsys):
    data = records.sample_record()
    for path in as_text:
        *parents, leaf = path.split(".")
        owner = data
        for parent in parents:
            owner = owner[parent]
        owner[leaf] = json.dumps(owner[leaf])
    from_text = fill(TopLevelMessage(), data)
    from_dict = fill(TopLevelMessage(), records.sample_record())
    assert from_text == from_dict
    assert from_text.SerializeToString() == from_dict.SerializeToString()
    assert capsys.readouterr().out == ""


def test_a_failure_keeps_what_was_filled_before_it():
    message = TopLevelMessage()
    with pytest.raises(TypeError):
        fill(message, {"ChannelGroup": 5, "RawData": {"OrderID": 7, "URL": 9}, "ChannelType": 3})
    assert message.ChannelGroup == 5
    assert message.RawData.OrderID == 7
    assert message.ChannelType == 0


# ---- printed lines ----------------------------------------------------------------------


def warning(key, type_name):
    return f"Warning: {key} is not a valid field of {type_name}\n"


def message_error(key):
    return f"Error: Field {key} is a message type, but a non-dict value was provided\n"


def repeated_error(key):
    return f"Error: Field {key} is a repeated field, but a non-list value was provided\n"


@pytest.mark.parametrize(
    "data, printed",
    [
        ({"Bogus": 1}, warning("Bogus", "TopLevelMessage")),
        ({"": 1}, warning("", "TopLevelMessage")),
        ({"channelgroup": 1}, warning("channelgroup", "TopLevelMessage")),
        ({"RawData": {"Bogus": None}}, warning("Bogus", "RawdataMessage")),
        ({"RawData": {"UserInfo": {"Nope": "x"}}}, warning("Nope", "UserinfoMessage")),
        ({"RawData": 5}, message_error("RawData")),
        ({"RawData": None}, message_error("RawData")),
        ({"RawData": [{"OrderID": 1}]}, message_error("RawData")),
        ({"RawData": ("a",)}, message_error("RawData")),
        ({"RawData": b"{}"}, message_error("RawData")),
        ({"RawData": "[1, 2]"}, message_error("RawData")),
        ({"RawData": "null"}, message_error("RawData")),
        ({"RawData": '"text"'}, message_error("RawData")),
        ({"BrandInfo": {"BrandSettings": 0}}, message_error("BrandSettings")),
    ],
)
def test_each_event_prints_one_line(data, printed, capsys):
    message = TopLevelMessage()
    assert fill(message, data) is message
    assert capsys.readouterr() == (printed, "")
    assert message.SerializeToString() == b""


@pytest.mark.parametrize(
    "value",
    [(1, 2), None, 5, "[1, 2]", {"0": 1}, collections.deque([1])],
    ids=["tuple", "None", "int", "json-list-text", "dict", "deque"],
)
@pytest.mark.parametrize("key", ["Numbers", "Tags", "Entries"])
def test_repeated_field_refuses_a_non_list(road, key, value, capsys):
    basket = road.Basket()
    fill(basket, {key: value, "Title": "kept"})
    assert capsys.readouterr() == (repeated_error(key), "")
    assert len(getattr(basket, key)) == 0
    assert basket.Title == "kept"


def test_events_print_once_each_and_filling_goes_on(capsys):
    message = TopLevelMessage()
    fill(message, {
        "Bogus": 1,
        "ChannelGroup": 2,
        "RawData": "[]",
        "Other": 2,
        "BrandInfo": {"Bogus": 3, "BrandID": 4},
        "ChannelType": 5,
    })
    assert capsys.readouterr().out == (
        warning("Bogus", "TopLevelMessage")
        + message_error("RawData")
        + warning("Other", "TopLevelMessage")
        + warning("Bogus", "BrandinfoMessage")
    )
    assert (message.ChannelGroup, message.BrandInfo.BrandID, message.ChannelType) == (2, 4, 5)


def test_lines_go_to_the_print_of_import_time(monkeypatch, capsys):
    def broken_print(*args, **kwargs):
        raise AssertionError("the print of import time is used")

    monkeypatch.setattr(builtins, "print", broken_print)
    fill(TopLevelMessage(), {"Bogus": 1})
    monkeypatch.undo()
    assert capsys.readouterr().out == warning("Bogus", "TopLevelMessage")


class Unreadable:
    """A message whose one field cannot be read."""

    DESCRIPTOR = types.SimpleNamespace(name="Unreadable", fields_by_name={})

    @property
    def Broken(self):
        raise ValueError("unreadable")


def test_any_failure_reading_the_field_is_a_warning(capsys):
    message = Unreadable()
    assert fill(message, {"Broken": 1}) is message
    assert capsys.readouterr().out == warning("Broken", "Unreadable")


# ---- raised errors ----------------------------------------------------------------------


class Record(dict):
    pass


@pytest.mark.parametrize(
    "data, type_name",
    [
        (None, "NoneType"),
        ([("ChannelGroup", 1)], "list"),
        (types.MappingProxyType({"ChannelGroup": 1}), "mappingproxy"),
        (collections.OrderedDict(ChannelGroup=1), "collections.OrderedDict"),
        (Record(ChannelGroup=1), "Record"),
    ],
)
def test_data_must_be_exactly_a_dict(data, type_name):
    message = TopLevelMessage()
    with pytest.raises(TypeError) as excinfo:
        fill(message, data)
    assert str(excinfo.value) == (
        f"Argument 'data' has incorrect type (expected dict, got {type_name})"
    )
    assert entries(excinfo) == at(17)
    assert message.SerializeToString() == b""


@pytest.mark.parametrize("key", [1, None, b"ChannelGroup", ("ChannelGroup",)], ids=repr)
def test_key_must_be_text(key):
    message = TopLevelMessage()
    with pytest.raises(TypeError, match="^hasattr\\(\\): attribute name must be string$") as excinfo:
        fill(message, {"ChannelGroup": 9, key: 1, "ChannelType": 2})
    assert entries(excinfo) == at(20)
    assert (message.ChannelGroup, message.ChannelType) == (9, 0)


@pytest.mark.parametrize("key", ["DESCRIPTOR", "SerializeToString", "__class__", "HasField"])
def test_attribute_that_is_not_a_field_raises_key_error(key, capsys):
    with pytest.raises(KeyError) as excinfo:
        fill(TopLevelMessage(), {key: 1})
    assert excinfo.value.args == (key,)
    assert entries(excinfo) == at(23)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "data, error, lines",
    [
        ({"ChannelGroup": None}, TypeError, [46]),
        ({"ChannelGroup": "36"}, TypeError, [46]),
        ({"ChannelGroup": 1.5}, TypeError, [46]),
        ({"ChannelGroup": 2**31}, ValueError, [46]),
        ({"ServiceName": 5}, TypeError, [46]),
        ({"RawData": {"ObjectId": 2**63}}, ValueError, [42, 46]),
        ({"RawData": {"UserInfo": {"AuthorSocialID": 1}}}, TypeError, [42, 42, 46]),
        ({"RawData": '{"UserInfo": {"AuthorSocialID": 1}}'}, TypeError, [42, 42, 46]),
        ({"RawData": "{bad"}, json.JSONDecodeError, [40]),
        ({"RawData": ""}, json.JSONDecodeError, [40]),
        ({"RawData": Record(OrderID=1)}, TypeError, [42, 17]),
        ({"RawData": {"UserInfo": Record()}}, TypeError, [42, 42, 17]),
    ],
)
def test_raise_paths(data, error, lines):
    with pytest.raises(error) as excinfo:
        fill(TopLevelMessage(), data)
    assert type(excinfo.value) is error
    assert entries(excinfo) == at(*lines)


# ---- repeated fields -------------------------------------------------------------------


class Items(list):
    pass


def test_repeated_fields_fill_from_lists(road, capsys):
    basket = road.Basket()
    fill(basket, {
        "Numbers": [3, 1, 2],
        "Tags": Items(["a", "b"]),
        "BigNumbers": [-(2**63), 2**63 - 1],
        "Entries": [{"Label": "x", "Inner": {"Count": 4}}, '{"Count": 3}', {}, "{}"],
        "Featured": '{"Label": "f"}',
    })
    assert list(basket.Numbers) == [3, 1, 2]
    assert list(basket.Tags) == ["a", "b"]
    assert list(basket.BigNumbers) == [-(2**63), 2**63 - 1]
    assert [(e.Label, e.Count, e.Inner.Count) for e in basket.Entries] == [
        ("x", 0, 4), ("", 3, 0), ("", 0, 0), ("", 0, 0)]
    assert basket.Featured.Label == "f"
    assert capsys.readouterr().out == ""
    # An empty list adds nothing.
    assert fill(road.Basket(), {"Numbers": [], "Entries": []}).SerializeToString() == b""


def test_calling_twice_doubles_repeated_and_keeps_last_scalars(road):
    basket = road.Basket()
    fill(basket, {"Numbers": [1, 2], "Entries": [{"Label": "a"}], "Title": "first",
                  "Featured": {"Label": "one", "Count": 1}})
    fill(basket, {"Numbers": [1, 2], "Entries": ['{"Label": "b"}'], "Title": "second",
                  "Featured": {"Label": "two"}})
    assert list(basket.Numbers) == [1, 2, 1, 2]
    assert [e.Label for e in basket.Entries] == ["a", "b"]
    assert basket.Title == "second"
    assert (basket.Featured.Label, basket.Featured.Count) == ("two", 1)


@pytest.mark.parametrize(
    "item, error, message, lines",
    [
        (5, TypeError, "expected dict, got int", [34, 17]),
        ("[1]", TypeError, "expected dict, got list", [34, 17]),
        ("7", TypeError, "expected dict, got int", [34, 17]),
        (None, TypeError, "expected dict, got NoneType", [34, 17]),
        (Record(), TypeError, "expected dict, got Record", [34, 17]),
        ({"Count": "x"}, TypeError, None, [34, 46]),
    ],
)
def test_bad_message_item_raises_after_adding_an_element(road, item, error, message, lines):
    basket = road.Basket()
    with pytest.raises(error, match=message) as excinfo:
        fill(basket, {"Entries": [{"Label": "ok"}, item, {"Label": "never"}]})
    assert entries(excinfo) == at(*lines)
    assert [e.Label for e in basket.Entries] == ["ok", ""]


def test_malformed_json_item_raises_before_adding(road):
    basket = road.Basket()
    with pytest.raises(json.JSONDecodeError) as excinfo:
        fill(basket, {"Entries": [{"Label": "ok"}, "{bad"]})
    assert entries(excinfo) == at(32)
    assert len(basket.Entries) == 1


@pytest.mark.parametrize("item, error", [("a", TypeError), (2**31, ValueError), (None, TypeError)])
def test_bad_scalar_item_raises_at_append(road, item, error):
    basket = road.Basket()
    with pytest.raises(error) as excinfo:
        fill(basket, {"Numbers": [1, item, 3]})
    assert entries(excinfo) == at(36)
    assert list(basket.Numbers) == [1]


# ---- descriptors without is_repeated ---------------------------------------------------


class FakeField:
    """A field descriptor of a runtime that knows only `label`."""

    def __init__(self, label, type_):
        self.label = label
        self.type = type_


class FakeRepeated(list):
    def __init__(self, make):
        super().__init__()
        self.make = make

    def add(self):
        self.append(self.make())
        return self[-1]


class FakeMessage:
    """A message whose descriptor carries only `label` and `type`."""

    FIELDS = {
        "numbers": FakeField(FieldDescriptor.LABEL_REPEATED, FieldDescriptor.TYPE_INT32),
        "children": FakeField(FieldDescriptor.LABEL_REPEATED, FieldDescriptor.TYPE_MESSAGE),
        "child": FakeField(FieldDescriptor.LABEL_OPTIONAL, FieldDescriptor.TYPE_MESSAGE),
        "name": FakeField(FieldDescriptor.LABEL_OPTIONAL, FieldDescriptor.TYPE_STRING),
    }
    DESCRIPTOR = types.SimpleNamespace(name="FakeMessage", fields_by_name=FIELDS)

    def __init__(self):
        self.numbers = FakeRepeated(int)
        self.children = FakeRepeated(FakeMessage)
        self.name = "unset"

    @property
    def child(self):
        if "_child" not in self.__dict__:
            self._child = FakeMessage()
        return self._child


def test_label_decides_when_the_descriptor_lacks_is_repeated(capsys):
    assert not hasattr(FakeMessage.FIELDS["numbers"], "is_repeated")
    message = FakeMessage()
    fill(message, {
        "numbers": [4, 5],
        "children": [{"name": "a"}, '{"numbers": [6]}'],
        "child": {"name": "c"},
        "name": None,
    })
    assert message.numbers == [4, 5]
    assert [(c.name, c.numbers) for c in message.children] == [("a", []), ("unset", [6])]
    assert message.child.name == "c"
    assert message.name == ""
    fill(message, {"numbers": (1,), "child": []})
    assert capsys.readouterr().out == repeated_error("numbers") + message_error("child")


class Descriptor:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


@pytest.mark.parametrize(
    "field_descriptor, expected",
    [
        # is_repeated wins over label when both are there.
        (Descriptor(is_repeated=False, label=FieldDescriptor.LABEL_REPEATED,
                    type=FieldDescriptor.TYPE_STRING), "scalar"),
        (Descriptor(is_repeated=True, label=FieldDescriptor.LABEL_OPTIONAL,
                    type=FieldDescriptor.TYPE_STRING), "repeated"),
        (Descriptor(type=FieldDescriptor.TYPE_STRING), AttributeError),
        (Descriptor(is_repeated=property, type=FieldDescriptor.TYPE_STRING), "repeated"),
    ],
    ids=["is_repeated-false", "is_repeated-true", "neither", "truthy-object"],
)
def test_repeated_test_of_one_field(field_descriptor, expected, capsys):
    message = types.SimpleNamespace(
        DESCRIPTOR=types.SimpleNamespace(name="M", fields_by_name={"f": field_descriptor}), f=[])
    if expected is AttributeError:
        with pytest.raises(AttributeError) as excinfo:
            fill(message, {"f": "v"})
        assert entries(excinfo) == at(24)
        return
    fill(message, {"f": "v"})
    if expected == "scalar":
        assert message.f == "v"
    else:
        assert capsys.readouterr().out == repeated_error("f")


class RaisingIsRepeated:
    type = FieldDescriptor.TYPE_STRING

    @property
    def is_repeated(self):
        raise ValueError("boom")


def test_error_reading_is_repeated_is_not_swallowed():
    message = types.SimpleNamespace(
        DESCRIPTOR=types.SimpleNamespace(name="M", fields_by_name={"f": RaisingIsRepeated()}), f="")
    with pytest.raises(ValueError, match="boom") as excinfo:
        fill(message, {"f": "v"})
    assert entries(excinfo) == at(24)


# ---- module globals looked up at use ---------------------------------------------------


def test_json_is_looked_up_at_use(monkeypatch, road):
    stub = types.SimpleNamespace(loads=lambda text: {"Label": text.upper()})
    monkeypatch.setattr(pack_payload, "json", stub)
    basket = fill(road.Basket(), {"Featured": "one", "Entries": ["two", {"Label": "three"}]})
    assert basket.Featured.Label == "ONE"
    assert [e.Label for e in basket.Entries] == ["TWO", "three"]


def test_recursion_goes_through_the_module_attribute(monkeypatch, road):
    original = pack_payload.set_message_fields
    calls = []

    def recorder(message, data):
        calls.append((type(message).__name__, dict(data)))
        return original(message, data)

    monkeypatch.setattr(pack_payload, "set_message_fields", recorder)
    basket = original(road.Basket(), {
        "Featured": {"Label": "f", "Inner": {"Count": 1}},
        "Entries": [{"Count": 2}, '{"Count": 3}'],
    })
    assert calls == [
        ("Entry", {"Label": "f", "Inner": {"Count": 1}}),
        ("Entry", {"Count": 1}),
        ("Entry", {"Count": 2}),
        ("Entry", {"Count": 3}),
    ]
    assert basket.Featured.Inner.Count == 1


def test_field_descriptor_is_looked_up_at_use(monkeypatch):
    stub = types.SimpleNamespace(TYPE_MESSAGE=-1, LABEL_REPEATED=FieldDescriptor.LABEL_REPEATED)
    monkeypatch.setattr(pack_payload, "FieldDescriptor", stub)
    # With no field of message type left, a nested dict goes to setattr.
    with pytest.raises((AttributeError, TypeError)) as excinfo:
        fill(TopLevelMessage(), {"RawData": {}})
    assert entries(excinfo) == at(46)


# ---- a dictionary that changes while it is walked -------------------------------------


def mutating_json(data, change):
    def loads(text):
        change(data)
        return json.loads(text)

    return types.SimpleNamespace(loads=loads)


@pytest.mark.parametrize(
    "change",
    [
        lambda data: data.__setitem__("ServiceName", "added"),
        lambda data: data.pop("ChannelGroup"),
        lambda data: data.clear(),
    ],
    ids=["grow", "shrink", "clear"],
)
@pytest.mark.parametrize("position", ["first", "last"])
def test_size_change_through_json_raises_runtime_error(monkeypatch, change, position):
    data = {"ChannelGroup": 1, "RawData": '{"OrderID": 5}'}
    if position == "first":
        data = {"RawData": data.pop("RawData"), **data}
    monkeypatch.setattr(pack_payload, "json", mutating_json(data, change))
    message = TopLevelMessage()
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$") as excinfo:
        fill(message, data)
    assert entries(excinfo) == at(19)
    assert message.RawData.OrderID == 5


def test_replaced_key_raises_runtime_error(monkeypatch):
    # Same size, but a key was swapped for another: the walk must not go on to
    # pairs the dictionary did not hold when it started.
    data = {"RawData": "{}", "ChannelGroup": 1}
    swap = lambda d: (d.pop("RawData"), d.__setitem__("ChannelType", 7))
    monkeypatch.setattr(pack_payload, "json", mutating_json(data, swap))
    message = TopLevelMessage()
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$") as excinfo:
        fill(message, data)
    assert entries(excinfo) == at(19)
    assert (message.ChannelGroup, message.ChannelType) == (1, 0)


class MutatingMessage:
    """A message whose attribute access changes the record being walked."""

    DESCRIPTOR = types.SimpleNamespace(
        name="MutatingMessage",
        fields_by_name={"a": Descriptor(is_repeated=False, type=FieldDescriptor.TYPE_STRING),
                        "b": Descriptor(is_repeated=False, type=FieldDescriptor.TYPE_STRING)})

    def __init__(self, data, mutate_on):
        object.__setattr__(self, "data", data)
        object.__setattr__(self, "mutate_on", mutate_on)

    def __getattr__(self, name):
        if name not in ("a", "b"):
            raise AttributeError(name)
        if self.mutate_on == "get":
            self.data[f"extra{len(self.data)}"] = 1
        return ""

    def __setattr__(self, name, value):
        if self.mutate_on == "set":
            self.data.popitem()
        object.__setattr__(self, name, value)


@pytest.mark.parametrize("mutate_on", ["get", "set"])
def test_size_change_through_the_message_raises_runtime_error(mutate_on):
    data = {"a": "x", "b": "y"}
    message = MutatingMessage(data, mutate_on)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration") as excinfo:
        fill(message, data)
    assert entries(excinfo) == at(19)


# ---- deep nesting ------------------------------------------------------------------------


@pytest.mark.parametrize("shape", ["child", "kids"])
def test_deep_nesting_ends_in_recursion_error(road, shape):
    depth = 100_000
    data = records.nested(depth, "child") if shape == "child" else records.nested_kids(depth)
    with pytest.raises(RecursionError):
        fill(road.Node(), data)
    # The walk unwound cleanly: the next call works.
    node = fill(road.Node(), records.nested(10, "child"))
    for _ in range(10):
        node = node.child
    assert node.SerializeToString() == b""


def test_moderate_nesting_fills(road, monkeypatch):
    # Each level charges the recursion limit for the C stack it uses, several
    # units a level (tens in the sanitizer build), so records this deep need a
    # raised limit.
    monkeypatch.setattr(sys, "getrecursionlimit", sys.getrecursionlimit)
    sys.setrecursionlimit(30_000)
    node = fill(road.Node(), {"value": 1, "child": records.nested(200, "child"),
                              "kids": [records.nested_kids(200)]})
    assert node.value == 1
    depth, inner = 0, node.kids[0]
    while inner.kids:
        depth, inner = depth + 1, inner.kids[0]
    assert depth == 200


SMALL_STACK = """
import sys, json
sys.path.insert(0, {tests!r})
import records
from kestrune_protocol_buffer_python import pack_payload

class Factory:
    def mktemp(self, name):
        import pathlib, tempfile
        return pathlib.Path(tempfile.mkdtemp())

road = records.road_schema(Factory())
shapes = {{"child": records.nested(600, "child"), "kids": records.nested_kids(600),
          "text": {{"child": json.dumps(records.nested(300, "child"))}}}}

def run():
    try:
        json.loads("[" * 5000 + "]" * 5000)
    except RecursionError:
        print("json", "RecursionError")
    for name, data in shapes.items():
        try:
            pack_payload.set_message_fields(road.Node(), data)
        except RecursionError:
            print(name, "RecursionError")
"""


def test_deep_records_on_a_small_thread_stack_raise_recursion_error():
    # Where the interpreter's own json is safe, the fill is too.
    out = check_python(on_thread(SMALL_STACK.format(tests=os.path.dirname(os.path.abspath(__file__)))))
    assert out.split("\n")[:-1] == [f"{name} RecursionError" for name in
                                    ("json", "child", "kids", "text")]


# ---- interrupts ---------------------------------------------------------------------------


class Interrupting:
    DESCRIPTOR = types.SimpleNamespace(name="Interrupting", fields_by_name={})

    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_an_interrupt_while_looking_a_key_up_propagates(error, capsys):
    with pytest.raises(error) as excinfo:
        fill(Interrupting(error), {"Field": 1})
    assert entries(excinfo) == at(20)
    assert capsys.readouterr().out == ""


# ---- the field that failed ------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, data, error, note",
    [
        (TopLevelMessage, {"RawData": {"UserInfo": {"AuthorSocialID": 5}}}, TypeError,
         "TopLevelMessage.RawData.UserInfo.AuthorSocialID"),
        (TopLevelMessage, {"RawData": '{"UserInfo": {"AuthorSocialID": 5}}'}, TypeError,
         "TopLevelMessage.RawData.UserInfo.AuthorSocialID"),
        (TopLevelMessage, {"ServiceName": "s", "ChannelGroup": "x"}, TypeError,
         "TopLevelMessage.ChannelGroup"),
        (TopLevelMessage, {"BrandInfo": {"BrandSettings": "{bad"}}, json.JSONDecodeError,
         "TopLevelMessage.BrandInfo.BrandSettings"),
        (TopLevelMessage, {"RawData": {1: 2}}, TypeError, "TopLevelMessage.RawData"),
        (TopLevelMessage, {"DESCRIPTOR": 1}, KeyError, "TopLevelMessage.DESCRIPTOR"),
        (TopLevelMessage, {"RawData": Record()}, TypeError, "TopLevelMessage.RawData"),
        (TopLevelMessage, {1: 2}, TypeError, None),
        ("Basket", {"Entries": [{"Label": "a"}, {"Inner": {"Count": "x"}}]}, TypeError,
         "Basket.Entries.Inner.Count"),
        ("Basket", {"Entries": [5]}, TypeError, "Basket.Entries"),
        ("Basket", {"Numbers": [1, "x"]}, TypeError, "Basket.Numbers"),
        ("Node", records.nested(100_000, "child"), RecursionError, None),
    ],
)
def test_a_failure_names_the_field_in_one_note(road, make, data, error, note):
    message = getattr(road, make)() if isinstance(make, str) else make()
    with pytest.raises(error) as excinfo:
        fill(message, data)
    notes = getattr(excinfo.value, "__notes__", [])
    if note is None and error is RecursionError:
        assert len(notes) == 1 and notes[0].startswith("while filling Node.child.child.")
    else:
        assert notes == ([] if note is None else [f"while filling {note}"])


def test_the_note_leaves_the_exception_as_it_was():
    data = {"RawData": {"UserInfo": {"AuthorSocialID": 5}}}
    with pytest.raises(TypeError) as excinfo:
        fill(TopLevelMessage(), data)
    exc = excinfo.value
    assert (exc.__context__, exc.__cause__) == (None, None)
    assert entries(excinfo) == at(42, 42, 46)
    with pytest.raises(TypeError) as direct:
        TopLevelMessage().RawData.UserInfo.AuthorSocialID = 5
    assert str(exc) == str(direct.value)


# ---- references -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data",
    [
        records.sample_record(),
        {"RawData": '{"OrderID": 1}', "Bogus": 1, "BrandInfo": []},
        {"ChannelGroup": 1, "ChannelType": "bad"},
        {"RawData": {"UserInfo": "{bad"}},
        {"DESCRIPTOR": 1},
    ],
    ids=["sample", "printed", "setattr-error", "json-error", "key-error"],
)
def test_no_references_are_leaked(data, capsys):
    def run(times):
        for _ in range(times):
            try:
                fill(message, data)
            except Exception:
                pass

    tracked = [data, *data.keys(), *data.values()]
    message = TopLevelMessage()
    tracked.append(message)
    run(5)  # lookup caches may keep a reference or two
    before = [sys.getrefcount(obj) for obj in tracked]
    run(500)
    growth = [sys.getrefcount(obj) - count for obj, count in zip(tracked, before)]
    assert max(growth) < 100, list(zip(map(repr, tracked), growth))


# ---- property: any record ------------------------------------------------------------------


def as_json_text(record):
    """The record with each nested dictionary, at every level, as JSON text."""
    return {key: json.dumps(as_json_text(value)) if isinstance(value, dict) else value
            for key, value in record.items()}


@settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(record=records.RECORDS)
def test_any_record_fills_and_packs(record, capsys):
    message = fill(TopLevelMessage(), record)
    records.assert_matches(message, record)
    payload = pack_payload.pack_payload(message)
    assert payload == zlib.compress(message.SerializeToString())
    assert fill(TopLevelMessage(), as_json_text(record)) == message
    assert capsys.readouterr().out == ""


# ---- pack_payload ----------------------------------------------------------------------------


def test_set_message_fields_docstring():
    assert pack_payload.set_message_fields.__doc__ == (
        "Recursively set fields in a Protobuf message from a dictionary with error handling, "
        "including parsing nested JSON strings.")


@pytest.mark.parametrize("type_name", ["TopLevelMessage", "Basket", "Node", "Entry"])
def test_empty_message_packs_to_the_empty_stream(road, type_name):
    module = zorva_data_pb2 if type_name == "TopLevelMessage" else road
    assert pack_payload.pack_payload(getattr(module, type_name)()) == EMPTY_PAYLOAD


def test_payload_is_the_compressed_wire_bytes(road):
    message = fill(TopLevelMessage(), records.sample_record())
    payload = pack_payload.pack_payload(message)
    assert type(payload) is bytes
    assert payload == zlib.compress(message.SerializeToString())
    assert pack_payload.pack_payload(message) == payload
    assert zlib.decompress(payload) == message.SerializeToString()
    basket = fill(road.Basket(), {"Numbers": list(range(300)), "Entries": [{"Label": "e"}] * 3})
    assert pack_payload.pack_payload(basket) == zlib.compress(basket.SerializeToString())


@settings(max_examples=examples(200), deadline=None)
@given(st.one_of(st.binary(max_size=2000),
                 st.sampled_from([b"", b"x", b"a" * 100_000, os.urandom(70_000),
                                  os.urandom(65_536), bytes(range(256)) * 256])))
def test_payload_bytes_are_those_of_zlib_compress(data):
    # Small inputs go through the kept deflate state, large ones to zlib.compress.
    assert pack_payload.pack_payload(Serializable(data)) == zlib.compress(data)


def test_a_replaced_zlib_is_called(monkeypatch):
    calls = []
    fake = types.SimpleNamespace(compress=lambda data: calls.append(data) or b"packed")
    monkeypatch.setattr(pack_payload, "zlib", fake)
    assert pack_payload.pack_payload(Serializable(b"abc")) == b"packed"
    monkeypatch.setattr(pack_payload, "zlib", zlib)
    monkeypatch.setattr(zlib, "compress", lambda data: calls.append(data) or b"patched")
    assert pack_payload.pack_payload(Serializable(b"def")) == b"patched"
    assert calls == [b"abc", b"def"]


@pytest.mark.parametrize("module_name", ["zlib_ng.zlib_ng", "isal.isal_zlib"])
def test_a_faster_zlib_compatible_module_makes_payloads_every_reader_opens(monkeypatch, module_name):
    compressor = pytest.importorskip(module_name)
    message = fill(TopLevelMessage(), records.sample_record())
    serialized = message.SerializeToString()
    monkeypatch.setattr(pack_payload, "zlib", compressor)
    payload = pack_payload.pack_payload(message)
    assert payload == compressor.compress(serialized)  # its own bytes, not the kept state's
    assert zlib.decompress(payload) == serialized
    assert open_payload.depack_payload(zorva_data_pb2, "TopLevelMessage", payload) == message
    assert zlib.decompress(pack_payload.pack_payload(TopLevelMessage())) == b""
    monkeypatch.undo()
    assert pack_payload.pack_payload(message) == zlib.compress(serialized)


# The interpreter's zlib.compress builds a ~268 KB deflate state on every call;
# the kept state is built once, so a second call allocates only its result.
KEPT_STATE = """
import tracemalloc, zlib
{setup}
from kestrune_protocol_buffer_python import pack_payload

class Serializable:
    def SerializeToString(self):
        return b"record" * 50

pack_payload.pack_payload(Serializable())
tracemalloc.start()
payload = pack_payload.pack_payload(Serializable())
print(tracemalloc.get_traced_memory()[1] > 200_000, payload == zlib.compress(b"record" * 50))
"""


@pytest.mark.parametrize(
    "setup, state_per_call",
    [("", False), ("zlib.ZLIB_RUNTIME_VERSION = '0.0.0'", True)],
    ids=["kept-state", "version-mismatch-falls-back"],
)
def test_the_kept_state_is_used_only_with_the_same_zlib(setup, state_per_call):
    out = check_python(KEPT_STATE.format(setup=setup))
    assert out.split() == [str(state_per_call), "True"]


def test_failed_compression_leaves_the_next_call_correct():
    # Make the n-th allocation fail, for each n along the whole
    # call: whichever step fails (the kept state, its output), the next call
    # without the failure gives the right bytes.
    out = check_python(
        """
        import _testcapi, zlib
        from kestrune_protocol_buffer_python import pack_payload

        class Serializable:
            def SerializeToString(self):
                return b"record" * 50

        expected = zlib.compress(b"record" * 50)
        failures = []

        def fail_from(start):
            error = result = None
            _testcapi.set_nomemory(start, start + 1)
            try:
                result = pack_payload.pack_payload(Serializable())
            except MemoryError as exc:
                error = exc
            finally:
                _testcapi.remove_mem_hooks()
            if error is not None:
                failures.append(str(error) or "MemoryError")
            return result

        # While the state is not built yet, then once it is.
        start = 0
        while fail_from(start) is None:
            start += 1
        assert pack_payload.pack_payload(Serializable()) == expected
        for start in range(12):
            fail_from(start)
            assert pack_payload.pack_payload(Serializable()) == expected
        print("|".join(sorted(set(failures))))
        """
    )
    assert out.strip() == "MemoryError|Out of memory while compressing data"


class Serializable:
    def __init__(self, result):
        self.result = result

    def SerializeToString(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


def test_pack_payload_takes_any_serializable_object():
    assert pack_payload.pack_payload(Serializable(b"abc")) == zlib.compress(b"abc")
    assert pack_payload.pack_payload(Serializable(bytearray(b"abc"))) == zlib.compress(b"abc")


@pytest.mark.parametrize(
    "message, error",
    [
        ({}, AttributeError),
        (records.sample_record(), AttributeError),
        (None, AttributeError),
        (b"bytes", AttributeError),
        (TopLevelMessage, TypeError),
        (Serializable("text"), TypeError),
        (Serializable(OSError("disk")), OSError),
    ],
    ids=["empty-dict", "record", "None", "bytes", "class", "str-result", "raising"],
)
def test_pack_payload_errors(message, error):
    with pytest.raises(error) as excinfo:
        pack_payload.pack_payload(message)
    assert entries(excinfo)[0] == (PACK_PAYLOAD_NAME, PACK_FILE, 52)


# ---- argument binding ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "func, args, kwargs, text, line",
    [
        ("set_message_fields", (1,), {}, "takes exactly 2 positional arguments (1 given)", 17),
        ("set_message_fields", (1, {}, 3), {}, "takes exactly 2 positional arguments (3 given)", 17),
        ("set_message_fields", (1,), {"data": {}, "Data": 2}, "got an unexpected keyword argument 'Data'", 17),
        ("set_message_fields", (1, {}), {"message": 1}, "got multiple values for keyword argument 'message'", 17),
        ("pack_payload", (), {}, "takes exactly 1 positional argument (0 given)", 50),
        ("pack_payload", (1, 2), {}, "takes exactly 1 positional argument (2 given)", 50),
        ("pack_payload", (1,), {"message": 1}, "got multiple values for keyword argument 'message'", 50),
    ],
)
def test_argument_binding_errors(func, args, kwargs, text, line):
    function = getattr(pack_payload, func)
    with pytest.raises(TypeError) as excinfo:
        function(*args, **kwargs)
    assert str(excinfo.value) == f"{func}() {text}"
    assert entries(excinfo) == [(f"kestrune_protocol_buffer_python.pack_payload.{func}", PACK_FILE, line)]


def test_keywords_bind_by_name():
    message = pack_payload.set_message_fields(data={"ChannelGroup": 3}, message=TopLevelMessage())
    assert message.ChannelGroup == 3
    message = pack_payload.set_message_fields(TopLevelMessage(), data={"ChannelType": 4})
    assert message.ChannelType == 4
    assert pack_payload.pack_payload(message=message) == zlib.compress(message.SerializeToString())


def fresh_message_class(index):
    """A message class of its own pool: {"text": string}."""
    file = descriptor_pb2.FileDescriptorProto(name=f"fresh{index}.proto", package=f"fresh{index}")
    message = file.message_type.add(name="Fresh")
    message.field.add(name="text", number=1, type=FieldDescriptor.TYPE_STRING,
                      label=FieldDescriptor.LABEL_OPTIONAL)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(file)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(f"fresh{index}.Fresh"))


def test_filled_classes_and_their_pools_are_freed():
    out = check_python(
        """
        import gc, weakref
        from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
        from google.protobuf.descriptor import FieldDescriptor
        from kestrune_protocol_buffer_python import pack_payload

        def fresh(index):
            file = descriptor_pb2.FileDescriptorProto(name=f"f{index}.proto", package=f"f{index}")
            message = file.message_type.add(name="Fresh")
            message.field.add(name="text", number=1, type=FieldDescriptor.TYPE_STRING,
                              label=FieldDescriptor.LABEL_OPTIONAL)
            pool = descriptor_pool.DescriptorPool()
            pool.Add(file)
            return message_factory.GetMessageClass(pool.FindMessageTypeByName(f"f{index}.Fresh"))

        classes = []
        for index in range(1100):
            cls = fresh(index)
            assert pack_payload.set_message_fields(cls(), {"text": "x"}).text == "x"
            classes.append(weakref.ref(cls))
            del cls
        gc.collect()
        print(sum(ref() is not None for ref in classes))
        """
    )
    # Each class held its pool alive, so no class alive means no pool either.
    assert out.split() == ["0"]


def test_walk_survives_its_class_table_being_dropped(monkeypatch):
    # Filling enough other classes inside a nested step empties the table
    # cache; the outer walk goes on with the table it already holds.
    def loads(text):
        for index in range(1100):
            fill(fresh_message_class(index)(), {"text": "x"})
        return json.loads(text)

    monkeypatch.setattr(pack_payload, "json", types.SimpleNamespace(loads=loads))
    message = fill(TopLevelMessage(), {"RawData": '{"OrderID": 5}', "ChannelGroup": 3,
                                       "ServiceName": None})
    assert (message.RawData.OrderID, message.ChannelGroup, message.ServiceName) == (5, 3, "")
