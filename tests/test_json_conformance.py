"""The native JSON mapping on the protobuf conformance suite's messages: every
JSON input of the suite, random messages and dicts of every main type, wire
bytes of other types and mutated ones, each against json_format; and how much
of the suite the native mapping answers itself."""
import json

import pytest
from google.protobuf import json_format, text_format
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import conformance
from json_differential import (assert_same_both_ways, assert_same_dict, assert_same_parse, json_dicts,
                               message_kwargs, mutated, wire_fields)
from conftest import examples

CASES = conformance.json_cases()
MAIN_TYPES = list(conformance.MAIN_TYPES)
CHECKS = settings(max_examples=examples(15), deadline=None,
                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                         HealthCheck.filter_too_much])


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    return conformance.conformance_modules(tmp_path_factory)


def both_ways(cls, data):
    """ParseDict's message or error for `data`, then MessageToDict's dict of that
    message and ParseDict's message of that dict: natively as by the runtime.
    Returns (messages the runtime's parser converted, messages its printer did),
    None for a step that failed."""
    parsed = assert_same_parse(cls, data)
    if parsed is None:
        return None, None
    message = json_format.ParseDict(data, cls())
    printed = assert_same_dict(message, native=None)
    if printed is not None:
        assert_same_parse(cls, json_format.MessageToDict(message))
    return parsed, printed


@pytest.mark.parametrize("case", CASES, ids=[f"{c['id']}@{c['line']}" for c in CASES])
def test_conformance_inputs(modules, case):
    try:
        data = json.loads(case["json"])
    except ValueError:
        pytest.skip("not JSON: json_format.Parse refuses it before ParseDict")
    if type(data) is not dict:
        pytest.skip("not an object: populate_protobuf_from_dict takes dicts only")
    both_ways(conformance.message_class(modules, case["message_type"]), data)


@pytest.mark.parametrize("case", conformance.serialize_failure_cases(), ids=lambda c: c["id"])
def test_messages_the_json_form_refuses(modules, case):
    cls = conformance.message_class(modules, case["message_type"])
    assert_same_dict(text_format.Parse(case["text_format"], cls()), native=None)


def test_most_of_the_suite_is_answered_natively(modules, record_property):
    # Valid inputs converted both ways without the runtime's parser or printer.
    counts = {"valid": 0, "parsed natively": 0, "printed natively": 0}
    for case in CASES:
        try:
            data = json.loads(case["json"])
        except ValueError:
            continue
        if type(data) is not dict:
            continue
        cls = conformance.message_class(modules, case["message_type"])
        parsed, printed = both_ways(cls, data)
        if parsed is None:
            continue
        counts["valid"] += 1
        counts["parsed natively"] += parsed == 0
        counts["printed natively"] += printed == 0
    record_property("report", f"conformance inputs: {counts}")  # printed in the summary
    assert counts["parsed natively"] > 0.8 * counts["valid"]
    assert counts["printed natively"] > 0.8 * counts["valid"]


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", MAIN_TYPES)
def test_random_messages(modules, name, data):
    cls = conformance.message_class(modules, name)
    try:
        message = cls(**data.draw(message_kwargs(cls.DESCRIPTOR)))
    except (ValueError, TypeError):
        return  # a value the constructor refuses (a surrogate, a recursion limit)
    assert_same_both_ways(message, native=None)


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", MAIN_TYPES)
def test_random_dicts(modules, name, data):
    cls = conformance.message_class(modules, name)
    assert_same_parse(cls, data.draw(json_dicts(cls.DESCRIPTOR, depth=1)))


@CHECKS
@given(data=st.data())
@pytest.mark.parametrize("name", MAIN_TYPES)
def test_parsed_wire_bytes(modules, name, data):
    cls = conformance.message_class(modules, name)
    message = cls()
    try:
        message.ParseFromString(data.draw(wire_fields(cls.DESCRIPTOR).flatmap(mutated)))
    except Exception:
        return
    assert_same_dict(message, native=None)
