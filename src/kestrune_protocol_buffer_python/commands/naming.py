"""Proto identifiers for JSON keys.

Every key becomes a field whose name is a valid identifier, clear of the other
names of its message and of the attributes a generated message class already
has; the key itself is kept as the field's JSON name, written as the option
`json_name` whenever the compiler's own JSON name of the field differs from
it. The fill of pack and the JSON of unpack then both use the key.

The compiler refuses two fields of a message whose default JSON names (the
field name without underscores, each letter after one upper-cased) coincide,
and two fields whose effective JSON names do: a Scope tracks both, besides the
names of fields and nested types, which share one namespace."""
import re
from collections.abc import Iterable, Iterator

from google.protobuf import empty_pb2

# Attributes of every generated message class and its messages (DESCRIPTOR,
# Clear, ListFields, ...): a field of that name would be hidden by them, or hide
# them, so set_message_fields and the runtime could not reach it.
_EMPTY = empty_pb2.Empty
CLASS_ATTRIBUTES = frozenset(dir(_EMPTY)) | frozenset(dir(_EMPTY())) | {"Extensions"}

_NOT_IDENTIFIER = re.compile(r"[^A-Za-z0-9_]")
_WORDS = re.compile(r"[A-Za-z0-9]+")
_LETTER = re.compile(r"[A-Za-z]")

# The field numbers the protobuf implementation keeps for itself, and the largest one.
RESERVED_NUMBERS = range(19000, 20000)
MAX_NUMBER = (1 << 29) - 1


def default_json_name(name: str) -> str:
    """The JSON name the compiler gives a field named `name`: underscores dropped,
    the character after each one upper-cased."""
    out = []
    upper = False
    for char in name:
        if char == "_":
            upper = True
        elif upper:
            out.append(char.upper())
            upper = False
        else:
            out.append(char)
    return "".join(out)


def unkeepable(key: str) -> str | None:
    """Why no field can keep `key` as its JSON name, or None when one can."""
    if key[:1] == "[" and key[-1:] == "]":
        return "the compiler takes no JSON name that starts with '[' and ends with ']'"
    if "\x00" in key:
        return "the compiler takes no JSON name that holds a NUL character"
    if any("\ud800" <= char <= "\udfff" for char in key):
        return "it holds a lone surrogate, which no UTF-8 text holds"
    return None


def field_base(key: str) -> str:
    """The field name a key asks for before clashes are settled: characters other
    than ASCII letters, digits and '_' become '_', and a name that does not start
    with a letter is prefixed with 'f' ('_id' -> 'f_id', '2fa' -> 'f_2fa'); names
    the message class already has get a trailing '_'."""
    name = _NOT_IDENTIFIER.sub("_", key)
    if not _LETTER.match(name):
        name = ("f" if name.startswith("_") else "f_") + name
    if name in CLASS_ATTRIBUTES or name.endswith("_FIELD_NUMBER"):
        name += "_"
    return name


def type_base(key: str, suffix: str) -> str:
    """The nested type name a key asks for: its ASCII words, each starting upper
    case, then `suffix` ('user-info' -> 'UserInfoMessage')."""
    words = "".join(word[:1].upper() + word[1:] for word in _WORDS.findall(key))
    if not words:
        words = "Field"
    elif not _LETTER.match(words):
        words = "T" + words
    return words + suffix


def escaped(text: str) -> str:
    """`text` as the body of a proto string literal (UTF-8 file)."""
    out = []
    for char in text:
        if char in '"\\':
            out.append("\\" + char)
        elif char < " " or char == "\x7f":
            out.append(f"\\{ord(char):03o}")
        else:
            out.append(char)
    return "".join(out)


def json_option(key: str, name: str) -> str:
    """The field options that keep `key` as the JSON name of field `name`."""
    return "" if default_json_name(name) == key else f' [json_name = "{escaped(key)}"]'


class Scope:
    """The names taken in one message: field and nested type names (one
    namespace), the JSON names of its fields, default and effective, and the
    keys of the records (the effective JSON names of fields to come). The
    runtime refuses a JSON name that is another field's name, so no field is
    named like another field's key."""

    def __init__(self, names: Iterable[str] = (), json_names: Iterable[str] = (),
                 keys: Iterable[str] = ()) -> None:
        self.names = set(names)
        self.json_names = set(json_names)
        self.keys = set(keys)

    def field(self, key: str) -> str:
        """A fresh field name for `key`, taken."""
        base = field_base(key)
        name, n = base, 1
        while (name in self.names or default_json_name(name) in self.json_names
               or (name != key and name in self.keys)):
            n += 1
            name = f"{base}_{n}"
        self.names.add(name)
        self.json_names.update((default_json_name(name), key))
        self.keys.add(key)
        return name

    def type(self, key: str, suffix: str) -> str:
        """A fresh nested type name for `key`, taken."""
        base = type_base(key, suffix)
        name, n = base, 1
        while name in self.names or name in CLASS_ATTRIBUTES:
            n += 1
            name = f"{base}{n}"
        self.names.add(name)
        return name


def package_name(stem: str) -> str:
    """A package name from a file name's stem: an identifier, 'records-2024' ->
    'records_2024'."""
    name = _NOT_IDENTIFIER.sub("_", stem)
    return name if _LETTER.match(name) else "p_" + name


def numbers(above: int, reserved: Iterable[range] = ()) -> Iterator[int]:
    """Field numbers from above+1 up, leaving out `reserved` ranges and those the
    implementation keeps."""
    taken = [RESERVED_NUMBERS, *reserved]
    number = above + 1
    while number <= MAX_NUMBER:
        hit = next((r for r in taken if number in r), None)
        if hit is None:
            yield number
            number += 1
        else:
            number = hit.stop
