from types import ModuleType
from typing import Any, TypeVar

from google.protobuf.message import Message

_M = TypeVar("_M", bound=Message)

# The zlib-compatible module pack_payload compresses with, looked up at every call.
zlib: ModuleType

def create_message(proto_module_param: object, message_type_param: str) -> Message: ...
def load_proto_module(proto_module_name_arg: str) -> ModuleType: ...
def set_message_fields(message: _M, data: dict[str, Any]) -> _M: ...
def pack_payload(message: Message) -> bytes: ...
