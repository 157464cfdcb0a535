"""The protobuf conformance suite's test messages and JSON cases, for
differential tests against json_format.

The schemas are copies of the suite's files (tests/schemas/conformance, see its
README); the cases were extracted from its C++ source by
scripts/extract_json_conformance.py into tests/data/json_conformance_cases.json.
All five files have packages of their own, so their modules share the default
descriptor pool.
"""
import functools
import json
import os

import records

CONFORMANCE_DIR = os.path.join(records.SCHEMA_DIR, "conformance")
CASES_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                          "json_conformance_cases.json")

PROTOS = {
    "proto3": "test_messages_proto3.proto",
    "proto2": "test_messages_proto2.proto",
    "proto3_editions": "test_messages_proto3_editions.proto",
    "proto2_editions": "test_messages_proto2_editions.proto",
    "edition2023": "test_messages_edition2023.proto",
}
# The suite's message types by full name: the module key and the class name.
MAIN_TYPES = {
    "protobuf_test_messages.proto3.TestAllTypesProto3": ("proto3", "TestAllTypesProto3"),
    "protobuf_test_messages.proto2.TestAllTypesProto2": ("proto2", "TestAllTypesProto2"),
    "protobuf_test_messages.editions.proto3.TestAllTypesProto3": ("proto3_editions", "TestAllTypesProto3"),
    "protobuf_test_messages.editions.proto2.TestAllTypesProto2": ("proto2_editions", "TestAllTypesProto2"),
    "protobuf_test_messages.editions.TestAllTypesEdition2023": ("edition2023", "TestAllTypesEdition2023"),
}


def conformance_modules(tmp_path_factory):
    """{key: module} for the conformance schemas, compiled and imported once per process."""
    return {key: records.compiled_schema(tmp_path_factory, proto, CONFORMANCE_DIR)
            for key, proto in PROTOS.items()}


def message_class(modules, full_name):
    """The generated class of one of MAIN_TYPES."""
    key, name = MAIN_TYPES[full_name]
    return getattr(modules[key], name)


@functools.lru_cache(maxsize=None)
def _document():
    with open(CASES_FILE, encoding="utf-8") as f:
        return json.load(f)


def json_cases():
    """The extracted JSON cases, in the suite's order. Each is a dict with
    "id" (the suite's test name), "name", "level", "message_type" (a full name in
    MAIN_TYPES), "expect" ("valid", "invalid", or "either" where the suite
    accepts a parse failure or the expected message), "ignore_unknown_fields",
    "json" (the input text), "expected_text_format" (for reference; None where
    the suite builds it in code), "call" and "line" (where it is in the source).
    Fresh copies: callers may change them."""
    return [dict(case) for case in _document()["cases"]]


def serialize_failure_cases():
    """Messages, in text format, that the suite expects JSON output to refuse:
    dicts with "id", "name", "level", "message_type" and "text_format"."""
    return [dict(case) for case in _document()["serialize_failures"]]


def case_source():
    """Where the cases come from: repository, path and commit."""
    return dict(_document()["source"])
