"""Stream inference: the type each key takes, merging the counts of parts of a
stream, and the schema inferred from any records accepting every one of them."""
import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import varied
from kestrune_protocol_buffer_python.commands import inference, naming
from kestrune_protocol_buffer_python.commands.proto_text import ROOT, Report, build_message, schema_text
from conftest import examples

SLOW_CHECKS = settings(max_examples=examples(15), deadline=None,
                       suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def observed(*values, key="k"):
    """The Observed of JSON Lines holding `values` under `key` (a text value is
    put in as it is written, so that numbers keep their literal)."""
    lines = [f'{{"{key}": {v if isinstance(v, str) else json.dumps(v)}}}' for v in values]
    return inference.infer_chunk("\n".join(lines).encode() + b"\n")


def decision(*values):
    return inference.decide(observed(*values).shape.slots["k"])


@pytest.mark.parametrize("values, type_, repeated, note", [
    ([1, 2**31, -5], "int64", False, None),                   # never int32 for a small first id
    ([0, 2**64 - 1], "uint64", False, None),
    ([-1, 2**64 - 1], "string", False, "integers below 0 and above 2**63-1"),
    (["123456789012345678901234"], "string", False, "integers beyond 64 bits"),    # not a double
    (["-9300000000000000000", "1.5"], "string", False, "integers beyond 2**53 beside fractions"),
    (["1e19"], "double", False, None),                        # a float literal stays a float
    ([1, 1719465860.967], "double", False, None),             # mixed: not a conflict
    ([True, False], "bool", False, None),
    ([1, True], "string", False, "1 number, 1 boolean"),
    (['"a"', None], "string", False, None),
    ([None, None], "string", False, "only null"),
    ([[], None], "string", True, "only null and empty lists"),
    ([[1, 2], [3.5]], "double", True, None),
    ([[{"a": 1}], [{"b": 2}]], "message", True, None),
    ([[1, None]], "string", True, "1 number, 1 null"),
    ([[[1]]], "string", True, "lists of lists"),
    ([{"a": 1}, '"x"'], "string", False, "1 text, 1 object"),
    ([[1], 1], "string", False, "1 number, 1 list"),
])
def test_the_type_of_a_key(values, type_, repeated, note):
    found = decision(*values)
    assert (found.type, found.repeated) == (type_, repeated)
    assert (found.note or "").startswith(note or "")
    assert found.conflict == (note is not None and not note.startswith("only"))


def canonical(shape):
    """A shape as plain values, keys in their order."""
    def slot(s):
        return None if s is None else (s.nulls, s.bools, s.ints, s.floats, s.texts, s.objects, s.arrays,
                                       s.empty, s.low, s.high, s.wide, s.single, canonical(s.shape), slot(s.items))
    return None if shape is None else (shape.count, [(key, slot(s)) for key, s in shape.slots.items()])


def json_values(keys):
    scalars = (st.none() | st.booleans() | st.integers(-2**70, 2**70)
               | st.floats(allow_nan=False, allow_infinity=False)
               | st.text(st.characters(exclude_categories=("Cs",)), max_size=6))
    return st.recursive(scalars, lambda children: st.lists(children, max_size=3)
                        | st.dictionaries(keys, children, max_size=4), max_leaves=8)


SMALL_KEYS = st.sampled_from(["a", "b", "c", "id"])


@settings(deadline=None)
@given(st.lists(st.dictionaries(SMALL_KEYS, json_values(SMALL_KEYS), max_size=4), max_size=12),
       st.lists(st.integers(0, 12), max_size=3))
def test_merging_parts_gives_the_whole(records, cuts):
    """Merging is associative and keeps first-seen order: parts of a stream
    merged in order count what the whole stream counts."""
    lines = [json.dumps(r).encode() for r in records]
    whole = inference.infer_chunk(b"\n".join(lines))
    parts = [inference.infer_chunk(b"\n".join(lines[a:b]))
             for a, b in zip([0, *sorted(cuts)], [*sorted(cuts), len(lines)])]
    left = inference.Shape()
    for part in parts:
        inference.merge(left, part.shape)
    assert canonical(left) == canonical(whole.shape)


# Keys that are no proto identifiers, or clash once made into one, or name what
# a message class already has. "[x]" can be no field's JSON name at all.
NASTY = ["DESCRIPTOR", "Clear", "ListFields", "Extensions", "class", "None", "message", "option",
         "int64", "_id", "__init__", "2fa", "user-name", "a_b", "aB", "a__b", "A_b", "Foo", "foo",
         "FOO_FIELD_NUMBER", "user", "UserMessage", "TopLevelMessage", "", " ", "é", "名前",
         "x.y", 'a"b', "back\\slash", "tab\tkey", "\x00", "@type", "f_2fa", "f2fa", "k"]
KEYS = st.sampled_from(NASTY) | st.text(st.characters(exclude_categories=("Cs",)), max_size=5)


@st.composite
def record_lists(draw, keys=KEYS):
    """Records of free shape, or records whose keys keep one kind of value."""
    if draw(st.booleans()):
        return draw(st.lists(st.dictionaries(keys, json_values(keys), max_size=5), min_size=1, max_size=5))
    kinds = draw(st.dictionaries(keys, st.sampled_from([
        st.integers(-2**63, 2**64 - 1), st.floats(-1e300, 1e300), st.text(max_size=4), st.booleans(),
        st.lists(st.integers(0, 2**63 - 1), max_size=3), st.none(),
        st.dictionaries(keys, st.integers() | st.none(), max_size=3),
        st.lists(st.dictionaries(keys, st.text(max_size=3), max_size=3), max_size=2)]), max_size=6))
    return draw(st.lists(st.fixed_dictionaries({}, optional=kinds), min_size=1, max_size=5))


def schemas_of(tmp_path, cases):
    """The schema inferred from each list of records, compiled in one run:
    [(records, class or None, refused keys)]."""
    texts, out = {}, []
    for n, records in enumerate(cases):
        shape = inference.Shape()
        inference.observe(shape, records)
        report = Report()
        text = schema_text(f"case{n}", build_message(ROOT, shape, "", report)).encode()
        texts[f"case{n}.proto"] = text
        out.append((records, f"case{n}.{ROOT}", report.refused))
    fileset = varied.compile_texts(tmp_path, texts)
    assert not isinstance(fileset, str), fileset
    return [(records, varied.message_class(fileset, name), refused) for records, name, refused in out]


@SLOW_CHECKS
@given(st.lists(record_lists(KEYS.filter(lambda key: naming.unkeepable(key) is None)),
                min_size=4, max_size=4))
def test_the_schema_of_any_records_takes_every_one_back_and_forth(tmp_path_factory, cases):
    for records, cls, refused in schemas_of(tmp_path_factory.mktemp("cases"), cases):
        assert refused == []
        found = varied.road_type(cls)
        for record in records:
            assert varied.round_trip(found, record) == varied.expected(record, cls.DESCRIPTOR)


@SLOW_CHECKS
@given(st.lists(st.lists(st.dictionaries(st.sampled_from([*NASTY, "[x]", "[]"]), json_values(
    st.sampled_from([*NASTY, "[x]"])), max_size=8), min_size=1, max_size=3), min_size=4, max_size=4))
def test_identifiers_compile_or_the_refusal_names_the_keys(tmp_path_factory, cases):
    for records, cls, refused in schemas_of(tmp_path_factory.mktemp("cases"), cases):
        # Every refusal names a key no field can keep, and names each such key
        # of the top level.
        assert all(naming.unkeepable(json.loads(entry.split(" (")[0].rsplit(".", 1)[-1]))
                   for entry in refused)
        keys = {key for record in records for key in record}
        named = {entry.split(" (")[0] for entry in refused}
        assert {json.dumps(key) for key in keys if naming.unkeepable(key)} <= named
        message = cls()
        for field in cls.DESCRIPTOR.fields:
            # No attribute of the class hides a field from the fill.
            assert not callable(getattr(message, field.name)), field.name
        assert {field.json_name for field in cls.DESCRIPTOR.fields} == \
            {key for key in keys if not naming.unkeepable(key)}
