from typing import Any

from _typeshed import SupportsItems

def json_to_proto(json_obj: SupportsItems[Any, Any], proto_filename: str) -> None: ...

zorva_data: dict[str, Any]
