"""What a stream of JSON records holds, key by key, and the proto type each key takes.

A Shape gathers the objects found at one place of the records: for each key,
in first-seen order, a Slot that counts its values by kind, keeps the range of
its integers, the Shape of its object values and a Slot of its list elements.
Shapes of consecutive parts of a stream merge into the Shape of the whole
(`merge`, associative), so the parts may be read in other processes; the
memory a Shape takes follows the number of keys, not of records.

`decide` types a key from its Slot: integers int64 (uint64 when a value needs
it), any fraction double, booleans bool, text string, objects one nested
message, lists repeated fields of the merged element type. A key whose kinds
conflict is typed string and the Decision says why."""
import array
import gc
import itertools
import json
from typing import Any, NamedTuple

import orjson

from kestrune_protocol_buffer_python.commands.records import json_kind, reason_of
from kestrune_protocol_buffer_python.commands.streams import FileRange, bytes_of

INT64 = range(-(1 << 63), 1 << 63)
UINT64 = range(0, 1 << 64)
# The integers a double holds exactly beside fractions.
EXACT_IN_DOUBLE = 1 << 53

# orjson reads an integer beyond 64 bits as a float, whose size is then at least
# 2**63: a chunk with such a float is read again with the standard parser,
# which keeps every integer exact.
WIDE_FLOAT = float(1 << 63)

_NONE = type(None)


class Shape:
    """The objects found at one place of the records: how many, and a Slot per key
    in first-seen order."""
    __slots__ = ("count", "slots")

    def __init__(self) -> None:
        self.count = 0
        self.slots: dict[str, Slot] = {}


class Slot:
    """The values of one key (or the elements of its lists), counted by kind."""
    __slots__ = ("nulls", "bools", "ints", "floats", "texts", "objects", "arrays", "empty",
                 "low", "high", "wide", "single", "shape", "items")

    def __init__(self) -> None:
        self.nulls = self.bools = self.ints = self.floats = self.texts = 0
        self.objects = self.arrays = self.empty = 0
        self.low = self.high = 0            # the range of the integers (0 included)
        self.wide = False                   # a float of size 2**63 or more
        self.single = True                  # every float exact in 32 bits
        self.shape: Shape | None = None     # of the object values
        self.items: Slot | None = None      # of the list elements


def observe(shape: Shape, objects: list[dict[str, object]]) -> None:
    """Counts `objects` into `shape`. The values of each key are gathered first
    and counted column by column, which leaves most of the work to C loops."""
    shape.count += len(objects)
    columns: dict[str, list[object]] = {}
    for obj in objects:
        for key, value in obj.items():
            try:
                columns[key].append(value)
            except KeyError:
                columns[key] = [value]
    slots = shape.slots
    for key, values in columns.items():
        slot = slots.get(key)
        if slot is None:
            slot = slots[key] = Slot()
        take(slot, values)


def take(slot: Slot, values: list[object]) -> None:
    """Counts `values` into `slot`."""
    kinds = set(map(type, values))
    if len(kinds) == 1:
        _take_kind(slot, kinds.pop(), values)
    else:
        for kind in kinds:
            _take_kind(slot, kind, [v for v in values if type(v) is kind])


def _take_kind(slot: Slot, kind: type, values: list[Any]) -> None:
    """Counts `values`, all of type `kind`, into `slot`."""
    n = len(values)
    if kind is str:
        slot.texts += n
    elif kind is int:
        slot.ints += n
        slot.low = min(slot.low, min(values))
        slot.high = max(slot.high, max(values))
    elif kind is float:
        slot.floats += n
        slot.wide = slot.wide or max(values) >= WIDE_FLOAT or min(values) <= -WIDE_FLOAT
        # Whether a float field of an existing schema keeps them: array('f')
        # rounds each to 32 bits (beyond its range to infinity).
        slot.single = slot.single and array.array("f", values).tolist() == values
    elif kind is bool:
        slot.bools += n
    elif kind is _NONE:
        slot.nulls += n
    elif kind is dict:
        slot.objects += n
        if slot.shape is None:
            slot.shape = Shape()
        observe(slot.shape, values)
    elif kind is list:
        slot.arrays += n
        slot.empty += values.count([])
        if slot.items is None:
            slot.items = Slot()
        take(slot.items, list(itertools.chain.from_iterable(values)))
    else:
        raise TypeError(f"not a JSON value: {kind.__name__}")


def merge(into: Shape, other: Shape) -> None:
    """Adds what `other` counted to `into`; `other` is used up."""
    into.count += other.count
    for key, slot in other.slots.items():
        mine = into.slots.get(key)
        if mine is None:
            into.slots[key] = slot
        else:
            merge_slot(mine, slot)


def merge_slot(into: Slot, other: Slot) -> None:
    into.nulls += other.nulls
    into.bools += other.bools
    into.ints += other.ints
    into.floats += other.floats
    into.texts += other.texts
    into.objects += other.objects
    into.arrays += other.arrays
    into.empty += other.empty
    into.wide = into.wide or other.wide
    into.single = into.single and other.single
    into.low = min(into.low, other.low)
    into.high = max(into.high, other.high)
    if other.shape is not None:
        if into.shape is None:
            into.shape = other.shape
        else:
            merge(into.shape, other.shape)
    if other.items is not None:
        if into.items is None:
            into.items = other.items
        else:
            merge_slot(into.items, other.items)


# ---- reading a chunk of JSON Lines --------------------------------------------------------


class Observed(NamedTuple):
    """What a chunk of JSON Lines gave: the Shape of its records, how many, its
    line breaks, and the first bad line (line inside the chunk, reason) or None."""
    shape: Shape
    records: int
    lines: int
    failure: tuple[int, str] | None


def parse_line(line: bytes, exact: bool = False) -> object:
    """One JSON value; `exact`: integers beyond 64 bits stay integers."""
    if not exact:
        try:
            return orjson.loads(line)
        except orjson.JSONDecodeError:
            pass
    # The standard parser takes what orjson refuses (NaN, lone surrogates) and
    # words the errors as users know them.
    return json.loads(line)


def _wide(shape: Shape) -> bool:
    """Whether a float of size 2**63 or more was counted anywhere in `shape`."""
    return any(_wide_slot(slot) for slot in shape.slots.values())


def _wide_slot(slot: Slot | None) -> bool:
    return slot is not None and (slot.wide or (slot.shape is not None and _wide(slot.shape))
                                 or _wide_slot(slot.items))


def _observe_lines(lines: list[bytes], exact: bool) -> Observed:
    records: list[dict[str, object]] = []
    numbers: list[int] = []
    failure = None
    for lineno, line in enumerate(lines, 1):
        if not line or line.isspace():
            continue
        try:
            record = parse_line(line, exact)
        except (ValueError, RecursionError) as exc:
            failure = (lineno, reason_of(exc))
            break
        if type(record) is not dict:
            failure = (lineno, f"expected a JSON object, got {json_kind(record)}")
            break
        records.append(record)
        numbers.append(lineno)
    shape = Shape()
    try:
        observe(shape, records)
    except RecursionError:
        for lineno, record in zip(numbers, records):
            try:
                observe(Shape(), [record])
            except RecursionError:
                failure = (lineno, "the record nests too deeply to be read")
                break
    return Observed(shape, len(records), len(lines) - 1, failure)


def infer_chunk(blob: bytes | FileRange) -> Observed:
    """Counts the records of a chunk of whole JSON Lines (blank lines passed
    over); stops at the first line that is not a JSON object."""
    lines = bytes_of(blob).split(b"\n")
    # Parsed records hold no reference cycles: the collector, which would walk
    # them again and again while they are made, waits until the chunk is done.
    collecting = gc.isenabled()
    gc.disable()
    try:
        observed = _observe_lines(lines, False)
        if observed.failure is None and _wide(observed.shape):
            observed = _observe_lines(lines, True)
    finally:
        if collecting:
            gc.enable()
    return observed


# ---- types -----------------------------------------------------------------------------------


class Decision(NamedTuple):
    """The proto type a key takes: a scalar type name or "message" (of `shape`),
    repeated or not, and why it is text when it fell back to text (None
    otherwise). `conflict`: the fallback came from values of several kinds or
    of no common type, rather than from having seen no value at all."""
    type: str
    repeated: bool = False
    shape: Shape | None = None
    note: str | None = None
    conflict: bool = False


def counts(slot: Slot, element: bool = False) -> str:
    """The values of a slot by kind: "3 numbers, 1 text"."""
    parts = [(slot.ints + slot.floats, "number"), (slot.texts, "text"), (slot.bools, "boolean"),
             (slot.objects, "object"), (slot.arrays, "list")]
    if element:
        parts.append((slot.nulls, "null"))
    return ", ".join(f"{n} {word}{'s' * (n != 1)}" for n, word in parts if n)


def _kinds(slot: Slot, element: bool) -> int:
    return sum(1 for n in (slot.ints + slot.floats, slot.texts, slot.bools, slot.objects, slot.arrays,
                           slot.nulls if element else 0) if n)


def _number(slot: Slot) -> Decision:
    low, high = slot.low, slot.high
    if slot.floats:
        if slot.ints and max(-low, high) > EXACT_IN_DOUBLE:
            return Decision("string", note="integers beyond 2**53 beside fractions: a double "
                                           "would round them", conflict=True)
        return Decision("double")
    if low in INT64 and high in INT64:
        return Decision("int64")
    if low in UINT64 and high in UINT64:
        return Decision("uint64")
    if low in INT64 and high in UINT64:
        return Decision("string", note="integers below 0 and above 2**63-1: no 64-bit integer type "
                                       "holds both", conflict=True)
    return Decision("string", note="integers beyond 64 bits", conflict=True)


def _scalar(slot: Slot, element: bool) -> Decision:
    """The type of values of one kind other than list."""
    if _kinds(slot, element) > 1:
        return Decision("string", note=counts(slot, element), conflict=True)
    if slot.objects:
        return Decision("message", shape=slot.shape)
    if slot.ints or slot.floats:
        return _number(slot)
    if slot.bools:
        return Decision("bool")
    if slot.texts:
        return Decision("string")
    if element:
        return Decision("string", note="lists of nulls only", conflict=True)
    return Decision("string", note="only null")


def decide(slot: Slot) -> Decision:
    """The type of a key from its values."""
    if slot.arrays and _kinds(slot, False) == 1:
        items = slot.items
        assert items is not None
        if not (items.ints or items.floats or items.texts or items.bools or items.objects
                or items.arrays or items.nulls):
            return Decision("string", repeated=True, note="only empty lists" if not slot.nulls
                            else "only null and empty lists")
        if items.arrays and _kinds(items, True) == 1:
            return Decision("string", repeated=True, note="lists of lists", conflict=True)
        return _scalar(items, True)._replace(repeated=True)
    return _scalar(slot, False)
