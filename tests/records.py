"""Records and schemas shared by the payload tests."""
import copy
import gc
import importlib.util
import os
import subprocess
import sys
import traceback

from hypothesis import strategies as st

from kestrune_protocol_buffer_python import infer_schema

SCHEMA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "schemas")
ROAD_PROTO = "kestrune_payload_road.proto"

PACK_NAME = "kestrune_protocol_buffer_python.pack_payload.set_message_fields"
PACK_FILE = "kestrune_protocol_buffer_python\\\\pack_payload.py"
PACK_PAYLOAD_NAME = "kestrune_protocol_buffer_python.pack_payload.pack_payload"
DEPACK_NAME = "kestrune_protocol_buffer_python.open_payload.depack_payload"
OPEN_FILE = "kestrune_protocol_buffer_python\\\\open_payload.py"


def sample_record():
    """A fresh copy of the package's sample record, safe to mutate."""
    return copy.deepcopy(infer_schema.zorva_data)


def assert_matches(message, record):
    """Every value of `record` reads back from `message` (None as the empty text)."""
    for key, value in record.items():
        if isinstance(value, dict):
            assert_matches(getattr(message, key), value)
        elif isinstance(value, list):
            assert list(getattr(message, key)) == value, key
        else:
            assert getattr(message, key) == ("" if value is None else value), key


def entries(excinfo_or_exc):
    """(name, file, line) for each traceback entry the package added."""
    exc = getattr(excinfo_or_exc, "value", excinfo_or_exc)
    return [
        (f.name, f.filename, f.lineno)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.name.startswith("kestrune_protocol_buffer_python.")
    ]


_compiled = {}


def compiled_schema(tmp_path_factory, proto, schema_dir=SCHEMA_DIR):
    """The module the compiler makes of `proto`, a file in `schema_dir` (the test
    schema directory by default), compiled into a temporary directory and
    imported once per process.

    Only once: a second import would add the same file to the default
    descriptor pool again.
    """
    key = (os.path.abspath(schema_dir), proto)
    if key not in _compiled:
        out_dir = str(tmp_path_factory.mktemp("schema"))
        subprocess.run(
            [sys.executable, "-m", "grpc_tools.protoc", f"-I{schema_dir}",
             f"--python_out={out_dir}", os.path.join(schema_dir, proto)],
            check=True, capture_output=True, text=True,
        )
        name = proto.removesuffix(".proto") + "_pb2"
        spec = importlib.util.spec_from_file_location(name, os.path.join(out_dir, name + ".py"))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        _compiled[key] = module
    return _compiled[key]


def road_schema(tmp_path_factory):
    """The road test schema, compiled once per process."""
    return compiled_schema(tmp_path_factory, ROAD_PROTO)


def nested(depth, key):
    """{key: {key: ... {} ...}} `depth` levels deep, built without recursion."""
    data = {}
    for _ in range(depth):
        data = {key: data}
    return data


def nested_kids(depth):
    """{"kids": [{"kids": [... {} ...]}]} `depth` levels deep, built without recursion."""
    data = {}
    for _ in range(depth):
        data = {"kids": [data]}
    return data


# ---- generated records -------------------------------------------------------------

INT32 = st.integers(-(2**31), 2**31 - 1)
TEXT = st.text(st.characters(exclude_categories=("Cs",)), max_size=20)


def message_strategy(scalars, messages=None):
    """Dictionaries holding any subset of the given fields."""
    fields = dict(scalars, **(messages or {}))
    return st.fixed_dictionaries({}, optional=fields)


USER_INFO = message_strategy({"AuthorSocialID": TEXT})
RAW_DATA = message_strategy(
    {"ObjectId": st.integers(-(2**63), 2**63 - 1), "SocialID": TEXT, "OrderID": INT32,
     "CreatedDate": TEXT, "NumCommentsCount": INT32, "NumShareCount": INT32,
     "NumVideoViews": INT32, "Description": TEXT, "LanguageName": TEXT,
     "FilterKeywords": TEXT, "URL": TEXT, "AnswerCounts": INT32, "SimplifiedText": TEXT},
    {"UserInfo": USER_INFO},
)
BRAND_INFO = message_strategy(
    {"BrandID": INT32, "BrandName": TEXT, "CategoryID": INT32, "CategoryName": TEXT,
     "OperationEnum": st.none() | TEXT},
    {"BrandSettings": st.just({})},
)
MENTION = message_strategy({"FetchingServiceInTime": TEXT, "FetchingServiceOutTime": TEXT})
RECORDS = message_strategy(
    {"ChannelGroup": INT32, "ChannelType": INT32, "ServiceName": st.none() | TEXT},
    {"RawData": RAW_DATA, "BrandInfo": BRAND_INFO, "MentionTrackingDetails": MENTION},
)


def block_growth(calls, times, swallow=Exception):
    """Allocated blocks gained by running each of `calls` `times` times over,
    failures of the type `swallow` ignored, with garbage collected on both sides."""
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(times):
        for call in calls:
            try:
                call()
            except swallow:
                pass
    gc.collect()
    return sys.getallocatedblocks() - blocks
