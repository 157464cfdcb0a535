"""The conformance material: the suite's schemas compile and import together,
the extracted JSON cases load and json_format mostly agrees with their labels,
and the extraction script reads the C++ constructs the suite's source uses."""
import collections
import os
import re
import runpy

import pytest
from google.protobuf import descriptor_pool, json_format, text_format
from google.protobuf.descriptor import FieldDescriptor as FD

import conformance

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "scripts",
                      "extract_json_conformance.py")
SUITE_TYPES = [name for name in conformance.MAIN_TYPES if "Edition2023" not in name]


def short(full_name):
    return full_name.removeprefix("protobuf_test_messages.")


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    return conformance.conformance_modules(tmp_path_factory)


# What the differential tests rely on each copy to have: presence and groups.
@pytest.mark.parametrize("full_name, field, has_presence, is_group", [
    ("protobuf_test_messages.proto3.TestAllTypesProto3", "optional_int32", False, False),
    ("protobuf_test_messages.proto3.TestAllTypesProto3", "optional_any", True, False),
    ("protobuf_test_messages.editions.proto3.TestAllTypesProto3", "optional_int32", False, False),
    ("protobuf_test_messages.proto2.TestAllTypesProto2", "optional_int32", True, False),
    ("protobuf_test_messages.proto2.TestAllTypesProto2", "data", True, True),
    ("protobuf_test_messages.editions.proto2.TestAllTypesProto2", "data", True, True),
    ("protobuf_test_messages.editions.TestAllTypesEdition2023", "groupliketype", True, True),
], ids=lambda v: short(v) if isinstance(v, str) else str(v))
def test_schemas_import_together_with_their_features(modules, full_name, field, has_presence, is_group):
    cls = conformance.message_class(modules, full_name)
    assert descriptor_pool.Default().FindMessageTypeByName(full_name).full_name == full_name
    fd = cls.DESCRIPTOR.fields_by_name[field]
    assert (fd.has_presence, fd.type == FD.TYPE_GROUP) == (has_presence, is_group)


def test_case_file_is_plausible():
    cases = conformance.json_cases()
    assert re.fullmatch(r"[0-9a-f]{40}", conformance.case_source()["commit"])
    assert len({c["id"] for c in cases}) == len(cases) > 1000
    counts = collections.Counter((c["message_type"], c["expect"]) for c in cases)
    for name in SUITE_TYPES:
        assert counts[name, "valid"] > 100 and counts[name, "invalid"] > 100, name
    assert {c["message_type"] for c in cases} == set(SUITE_TYPES)
    assert {c["expect"] for c in cases} == {"valid", "invalid", "either"}


def parse_outcome(cls, case):
    try:
        json_format.Parse(case["json"], cls(), ignore_unknown_fields=case["ignore_unknown_fields"])
    except json_format.ParseError:
        return "invalid"
    return "valid"


@pytest.mark.parametrize("full_name", SUITE_TYPES, ids=short)
def test_json_format_mostly_agrees_with_the_labels(modules, full_name):
    """Not all: json_format is more lenient than the suite in places (booleans
    as floats and enums, some timestamp offsets); the differential tests follow
    json_format. Any exception but ParseError fails here."""
    cls = conformance.message_class(modules, full_name)
    labelled = [c for c in conformance.json_cases()
                if c["message_type"] == full_name and c["expect"] != "either"]
    agree = sum(parse_outcome(cls, c) == c["expect"] for c in labelled)
    assert agree / len(labelled) > 0.9, f"{agree}/{len(labelled)}"


def test_json_format_refuses_most_serialize_failures(modules):
    cases = conformance.serialize_failure_cases()
    refused = 0
    for case in cases:
        message = text_format.Parse(case["text_format"],
                                    conformance.message_class(modules, case["message_type"])())
        try:
            json_format.MessageToDict(message)
        except json_format.SerializeToJsonError:
            refused += 1
    assert cases and refused / len(cases) > 0.9, f"{refused}/{len(cases)}"


# ---- the extraction script ---------------------------------------------------------

SUITE = r'''
using protobuf_test_messages::proto3::TestAllTypesProto3;
using P2 = protobuf_test_messages::proto2::TestAllTypesProto2;
void BinaryAndJsonConformanceSuite::RunSuiteImpl() {
  BinaryAndJsonConformanceSuiteImpl<TestAllTypesProto3>(this, /*run_proto3_tests=*/true);
  BinaryAndJsonConformanceSuiteImpl<P2>(this, /*run_proto3_tests=*/false);
}
template <typename MessageType>
void BinaryAndJsonConformanceSuiteImpl<MessageType>::RunAllTests() {
  if (!suite_.performance_) {
    RunJsonTests();  // RunUnused() is never called
  }
}
template <typename MessageType>
void BinaryAndJsonConformanceSuiteImpl<MessageType>::RunUnused() {
  ExpectParseFailureForJson("Unused", REQUIRED, "{");
}
template <typename MessageType>
void BinaryAndJsonConformanceSuiteImpl<MessageType>::RunJsonTests() {
BODY
}
template <typename MessageType>
std::string BinaryAndJsonConformanceSuiteImpl<MessageType>::SyntaxIdentifier() const {
  if (std::is_same_v<MessageType, P2>) {
    return "Proto2";
  } else {
    return "Proto3";
  }
}
'''
P3, P2 = "protobuf_test_messages.proto3.TestAllTypesProto3", "protobuf_test_messages.proto2.TestAllTypesProto2"


def both(level, name, json_text, ignore=False):
    return [(f"{level}.{syntax}.JsonInput.{name}", json_text, ignore) for syntax in ("Proto3", "Proto2")]


@pytest.mark.parametrize("body, cases, skipped", [
    pytest.param(r'RunValidJsonTest("Concat", REQUIRED, "{\"a\":" R"( "\u00e9" )" "}", "a: 1");',
                 both("Required", "Concat", '{"a": "\\u00e9" }'), [], id="adjacent-literals"),
    pytest.param(r'ExpectParseFailureForJson("Esc", RECOMMENDED, "\"\\\x41\101\u00e9\t\"");',
                 both("Recommended", "Esc", '"\\AAé\t"'), [], id="escapes"),
    pytest.param('RunValidJsonTest("Delim", REQUIRED, R"json({"a": ")"})json", "");',
                 both("Required", "Delim", '{"a": ")"}'), [], id="raw-delimiter"),
    pytest.param('''if (run_proto3_tests_) {
                      RunValidJsonTest("Only3", REQUIRED, "{}", "");
                    } else if (true) {
                      RunValidJsonIgnoreUnknownTest("Only2", REQUIRED, R"({"u": 1})", "");
                    }''',
                 [("Required.Proto3.JsonInput.Only3", "{}", False),
                  ("Required.Proto2.JsonInput.Only2", '{"u": 1}', True)], [], id="branches"),
    pytest.param('''struct Row {
                      std::string where;
                      std::string input;
                    };
                    const std::vector<Row> rows = {{"InA", R"({"a": $0})"}, {"InB", "[$0$$]"}};
                    for (const Row& row : rows) {
                      ExpectParseFailureForJson(absl::StrCat("Reject", row.where), REQUIRED,
                                                absl::Substitute(row.input, "x"));
                    }''',
                 both("Required", "RejectInA", '{"a": x}') + both("Required", "RejectInB", "[x$]"), [],
                 id="struct-table"),
    pytest.param('''for (const auto& c : std::vector<std::pair<std::string, std::string>>{
                         {"One", "1"}, {"Two", "2"}}) {
                      RunValidJsonTestWithValidator(
                          absl::StrCat("V", c.first), REQUIRED, absl::StrCat("[", c.second, "]"),
                          [](const Json::Value& v) { return v.isArray(); });
                    }''',
                 [(f"Required.{s}.JsonInput.V{n}.Validator", f"[{d}]", False)
                  for s in ("Proto3", "Proto2") for n, d in (("One", 1), ("Two", 2))], [],
                 id="pair-loop"),
    pytest.param('''std::string url = GetTypeUrl(MessageType::GetDescriptor());
                    RunValidJsonTest("Url", REQUIRED, absl::Substitute(R"({"@type": "$0"})", url), "");
                    RunValidJsonTest("Deep", REQUIRED,
                                     absl::StrCat(std::string(2, '['), "1", str_repeat("]", 2)), "");
                    RunValidJsonTestOrParseFailure("Computed", REQUIRED, field->name(), "");
                    RunValidJsonTestWithProtobufInput("Binary", REQUIRED, message, "");''',
                 [("Required.Proto3.JsonInput.Url", '{"@type": "type.googleapis.com/%s"}' % P3, False),
                  ("Required.Proto2.JsonInput.Url", '{"@type": "type.googleapis.com/%s"}' % P2, False)]
                 + both("Required", "Deep", "[[1]]"), ["Computed", "Binary"], id="computed"),
    pytest.param('''std::string input = "{}";
                    absl::StrAppend(&input, " ");
                    RunValidJsonTest("Changed", REQUIRED, input, "");
                    for (const auto& n : std::vector<std::string>{"1", "2", "3"}) {
                      if (run_proto3_tests_) continue;
                      RunValidJsonTest(absl::StrCat("N", n), REQUIRED, n, "");
                      break;
                    }
                    if (!run_proto3_tests_) return;
                    RunValidJsonTest("After", REQUIRED, "[]", "");
                    if (field == nullptr) return;
                    RunValidJsonTest("Maybe", REQUIRED, "1", "");''',
                 [("Required.Proto2.JsonInput.N1", "1", False), ("Required.Proto3.JsonInput.After", "[]", False)],
                 ["Changed", "Maybe"], id="control-flow"),
])
def test_extraction(body, cases, skipped):
    if not os.path.exists(SCRIPT):
        pytest.skip("the extraction script is not in this copy of the tests")
    ex, _ = runpy.run_path(SCRIPT)["extract"](SUITE.replace("BODY", body))
    got = [(c["id"], c["json"], c["ignore_unknown_fields"]) for c in ex.cases]
    assert sorted(got) == sorted(cases)
    assert sorted({s["name"] for s in ex.skipped}) == sorted(skipped + ['"Unused"'])
