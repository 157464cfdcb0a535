// Dictionary to wire encoding: ParseDict(data, message) with its default options.
//
// Writes what ParseDict would set, for the values whose meaning is certain;
// every other value (another type, text the runtime reads more leniently, a
// number out of range, a key twice) leaves the whole dictionary to ParseDict.
// Each step answers Done when written, Runtime when the runtime must answer,
// or Error with an exception set.
#include "json_mapping.h"
#include "json_plan.h"
#include "well_known_text.h"

#include "frame/ops.h"
#include "frame/recursion.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace json_mapping {
namespace {

using frame::Answer;
using frame::Ref;
using wire::CType;

// `text` is a decimal number that float() reads as written: an optional sign,
// digits with an optional point, an optional exponent.
bool plain_decimal(std::string_view text) {
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i - from;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    return i == text.size();
}

// The ASCII text of an exact str (a view into it), or false.
bool ascii_view(PyObject* value, std::string_view& text) {
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) return false;
    text = std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
    return true;
}

// ParseDict's integer forms whose value is certain: an int, a float with an
// integral value, text of an optional sign and decimal digits, or a decimal
// text that float() reads as an integral value ("1e5"); within the range of
// the C type. `bits` gets the value's two's complement.
Answer integer_of(PyObject* value, CType ctype, std::uint64_t& bits) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    std::string_view text;
    // A float with an integral value, as int(float(...)) takes it.
    const auto integral = [&](double number) {
        if (!std::isfinite(number) || number != std::floor(number) ||
            std::fabs(number) >= 18446744073709551616.0)
            return false;
        negative = number < 0;
        magnitude = static_cast<std::uint64_t>(std::fabs(number));
        return true;
    };
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) return Answer::Error;
        if (overflow < 0) return Answer::Runtime;
        if (overflow > 0) {
            magnitude = PyLong_AsUnsignedLongLong(value);
            if (magnitude == static_cast<std::uint64_t>(-1) && PyErr_Occurred())
                return frame::runtime_or_error();
        } else {
            negative = number < 0;
            magnitude = negative ? 0 - static_cast<std::uint64_t>(number)
                                 : static_cast<std::uint64_t>(number);
        }
    } else if (PyFloat_CheckExact(value)) {
        if (!integral(PyFloat_AS_DOUBLE(value))) return Answer::Runtime;
    } else if (ascii_view(value, text)) {
        std::size_t i = 0;
        if (!text.empty() && (text[0] == '+' || text[0] == '-')) negative = text[i++] == '-';
        if (i == text.size()) return Answer::Runtime;
        bool digits = text.size() - i <= 20;
        for (std::size_t j = i; j < text.size() && digits; ++j)
            digits = text[j] >= '0' && text[j] <= '9';
        if (!digits) {
            // What int() refuses, ParseDict reads as a float with an integral value.
            if (!plain_decimal(text)) return Answer::Runtime;
            const char* begin = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
            char* end = nullptr;
            const double number = PyOS_string_to_double(begin, &end, nullptr);
            if (number == -1.0 && PyErr_Occurred()) return frame::runtime_or_error();
            if (end != begin + text.size() || !integral(number)) return Answer::Runtime;
        }
        for (; digits && i < text.size(); ++i) {
            const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
                return Answer::Runtime;
            magnitude = magnitude * 10 + digit;
        }
    } else {
        return Answer::Runtime;
    }
    if (magnitude == 0) negative = false;
    const wire::IntegerRange range = wire::range_of(ctype);
    if (magnitude > (negative ? range.negative : range.positive)) return Answer::Runtime;
    bits = negative ? 0 - magnitude : magnitude;
    return Answer::Done;
}

// ParseDict's floating-point forms whose value is certain: a finite float, an
// int, "NaN", "Infinity", "-Infinity", or a plain decimal text. For a 32-bit
// field the value must lie within its range (or be infinite), as ParseDict
// requires of a float and the runtime's own narrowing is then exact.
Answer double_of(PyObject* value, CType ctype, double& number) {
    std::string_view text;
    if (PyFloat_CheckExact(value)) {
        number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number)) return Answer::Runtime;
    } else if (value == Py_True || value == Py_False) {
        number = value == Py_True;  // float(True)
    } else if (PyLong_CheckExact(value)) {
        number = PyLong_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) return frame::runtime_or_error();
    } else if (ascii_view(value, text)) {
        if (text == "NaN") {
            number = std::numeric_limits<double>::quiet_NaN();
        } else if (text == "Infinity" || text == "-Infinity") {
            number = text[0] == '-' ? -HUGE_VAL : HUGE_VAL;
        } else {
            if (!plain_decimal(text)) return Answer::Runtime;
            const char* begin = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
            char* end = nullptr;
            number = PyOS_string_to_double(begin, &end, nullptr);
            if (number == -1.0 && PyErr_Occurred()) return frame::runtime_or_error();
            if (end != begin + text.size()) return Answer::Runtime;
        }
    } else {
        return Answer::Runtime;
    }
    if (ctype == CType::Float && std::isfinite(number) && std::fabs(number) > FLT_MAX)
        return Answer::Runtime;
    return Answer::Done;
}

// base64.urlsafe_b64decode of ParseDict, for the forms whose value is
// certain: characters of either alphabet, then no padding or the padding
// that completes the last group.
bool base64_bytes(std::string_view text, std::string& out) {
    const auto value_of = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+' || c == '-') return 62;
        if (c == '/' || c == '_') return 63;
        return -1;
    };
    std::size_t data = text.size();
    while (data > 0 && text[data - 1] == '=') --data;
    const std::size_t padding = text.size() - data;
    if (data % 4 == 1 || (padding && (padding > 2 || (data + padding) % 4 != 0))) return false;
    out.clear();
    out.reserve(data / 4 * 3 + 2);
    std::uint32_t group = 0;
    int held = 0;
    for (std::size_t i = 0; i < data; ++i) {
        const int value = value_of(text[i]);
        if (value < 0) return false;
        group = (group << 6) | static_cast<std::uint32_t>(value);
        if (++held == 4) {
            out.push_back(static_cast<char>(group >> 16));
            out.push_back(static_cast<char>(group >> 8));
            out.push_back(static_cast<char>(group));
            group = 0;
            held = 0;
        }
    }
    // A partial group's spare bits are dropped, as the runtime's decoder does.
    if (held == 2) out.push_back(static_cast<char>(group >> 4));
    if (held == 3) {
        out.push_back(static_cast<char>(group >> 10));
        out.push_back(static_cast<char>(group >> 2));
    }
    return true;
}

// The number of an enum value given by name or number.
Answer enum_number(const EnumPlan& enumeration, PyObject* value, std::uint64_t& bits) {
    if (PyUnicode_CheckExact(value)) {
        PyObject* number = PyDict_GetItemWithError(enumeration.numbers.get(), value);
        if (!number) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
        bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(PyLong_AsLong(number)));
        return Answer::Done;
    }
    if (value == Py_True || value == Py_False) {
        bits = value == Py_True;  // int(True): no value is named True
    } else {
        if (!PyLong_CheckExact(value)) return Answer::Runtime;
        const Answer known = integer_of(value, CType::Enum, bits);
        if (known != Answer::Done) return known;
    }
    return enumeration.closed && !enumeration.name_of(static_cast<std::int32_t>(bits))
               ? Answer::Runtime
               : Answer::Done;
}

// One value of a scalar field, without its tag.
Answer write_scalar(wire::Writer& out, const FieldPlan& field, PyObject* value) {
    std::uint64_t bits = 0;
    Answer done;
    switch (field.ctype()) {
        case CType::Bool:
            if (value != Py_True && value != Py_False) return Answer::Runtime;
            out.varint(value == Py_True);
            return Answer::Done;
        case CType::String: {
            if (!PyUnicode_CheckExact(value)) return Answer::Runtime;
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(value, &size);
            if (!text) return frame::runtime_or_error();
            out.span(text, static_cast<std::size_t>(size));
            return Answer::Done;
        }
        case CType::Bytes: {
            std::string_view text;
            if (PyBytes_CheckExact(value)) {
                text = std::string_view(PyBytes_AS_STRING(value),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
            } else if (!ascii_view(value, text)) {
                return Answer::Runtime;
            }
            std::string decoded;
            if (!base64_bytes(text, decoded)) return Answer::Runtime;
            out.span(decoded.data(), decoded.size());
            return Answer::Done;
        }
        case CType::Double:
        case CType::Float: {
            double number;
            if ((done = double_of(value, field.ctype(), number)) != Answer::Done) return done;
            if (field.ctype() == CType::Double) {
                std::memcpy(&bits, &number, sizeof number);
            } else {
                const auto narrow = static_cast<float>(number);
                std::uint32_t narrow_bits;
                std::memcpy(&narrow_bits, &narrow, sizeof narrow);
                bits = narrow_bits;
            }
            out.number(*field.type, bits);
            return Answer::Done;
        }
        case CType::Enum:
            if ((done = enum_number(*field.enumeration, value, bits)) != Answer::Done) return done;
            out.number(*field.type, bits);
            return Answer::Done;
        case CType::Int32:
        case CType::UInt32:
        case CType::Int64:
        case CType::UInt64:
            if ((done = integer_of(value, field.ctype(), bits)) != Answer::Done) return done;
            out.number(*field.type, bits);
            return Answer::Done;
        case CType::Message:
            break;
    }
    return Answer::Runtime;
}

Answer message_value(const MessagePlan& plan, PyObject* value, wire::Writer& out, int depth);

// Whether null stands for a value of the field rather than for no value: a
// google.protobuf.Value holds it as its null_value.
bool null_is_a_value(const FieldPlan& field) {
    return field.ctype() == CType::Message && field.message->well_known == WellKnown::Value;
}

// One value of a field with its tag: a message between group tags or length-delimited.
Answer write_field(wire::Writer& out, const FieldPlan& field, PyObject* value, int depth) {
    if (field.ctype() != CType::Message) {
        out.tag(field.number, field.type->wire);
        return write_scalar(out, field, value);
    }
    if (field.type->wire == wire::kStartGroup) {
        out.tag(field.number, wire::kStartGroup);
        const Answer done = message_value(*field.message, value, out, depth + 1);
        out.tag(field.number, wire::kEndGroup);
        return done;
    }
    out.tag(field.number, wire::kLengthDelimited);
    const std::size_t start = out.open();
    const Answer done = message_value(*field.message, value, out, depth + 1);
    if (done == Answer::Done) out.close(start);
    return done;
}

// A repeated field from an exact list or tuple, numbers packed.
Answer write_repeated(wire::Writer& out, const FieldPlan& field, PyObject* value, int depth) {
    if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) return Answer::Runtime;
    if (PySequence_Fast_GET_SIZE(value) == 0) return Answer::Done;
    const bool packed = field.type->packable;
    std::size_t start = 0;
    if (packed) {
        out.tag(field.number, wire::kLengthDelimited);
        start = out.open();
    }
    // Each item is held, and the size read again: resolving an Any's type may
    // run code that changes a list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i) {
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
        if (item.get() == Py_None && !null_is_a_value(field)) return Answer::Runtime;
        const Answer done = packed ? write_scalar(out, field, item.get())
                                   : write_field(out, field, item.get(), depth);
        if (done != Answer::Done) return done;
    }
    if (packed) out.close(start);
    return Answer::Done;
}

// A map key: ParseDict reads a boolean key only from the texts "true" and
// "false", an integer key from the forms integer_of takes.
Answer write_key(wire::Writer& out, const FieldPlan& key_field, PyObject* key,
                 std::vector<std::uint64_t>& integer_keys, int depth) {
    switch (key_field.ctype()) {
        case CType::Bool: {
            if (!PyUnicode_CheckExact(key)) return Answer::Runtime;
            const bool yes = PyUnicode_Compare(key, names.text_true) == 0;
            if (!yes && PyUnicode_Compare(key, names.text_false) != 0)
                return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
            out.tag(1, wire::kVarint);
            out.varint(yes);
            return Answer::Done;
        }
        case CType::String:
            return write_field(out, key_field, key, depth);
        default: {
            std::uint64_t bits;
            const Answer done = integer_of(key, key_field.ctype(), bits);
            if (done != Answer::Done) return done;
            integer_keys.push_back(bits);  // different texts may name one number
            return write_field(out, key_field, key, depth);
        }
    }
}

// A map field from an exact dict: one entry per key, in the dict's order.
Answer write_map(wire::Writer& out, const FieldPlan& field, PyObject* value, int depth) {
    if (!PyDict_CheckExact(value)) return Answer::Runtime;
    const FieldPlan& key_field = field.message->fields[0];
    const FieldPlan& value_field = field.message->fields[1];
    std::vector<std::uint64_t> integer_keys;
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(value, &pos, &key, &item)) {
        // Held: resolving an Any's type may run code that changes the dict.
        Ref held_key = Ref::borrow(key), held_item = Ref::borrow(item);
        if (item == Py_None && !null_is_a_value(value_field)) return Answer::Runtime;
        out.tag(field.number, wire::kLengthDelimited);
        const std::size_t start = out.open();
        Answer done = write_key(out, key_field, key, integer_keys, depth);
        if (done != Answer::Done) return done;
        if ((done = write_field(out, value_field, item, depth)) != Answer::Done) return done;
        out.close(start);
    }
    std::sort(integer_keys.begin(), integer_keys.end());
    return std::adjacent_find(integer_keys.begin(), integer_keys.end()) == integer_keys.end()
               ? Answer::Done
               : Answer::Runtime;
}

// The fields of one message from its dict, at nesting level `depth` (1 for
// the message ParseDict fills).
Answer write_message(const MessagePlan& plan, PyObject* data, wire::Writer& out, int depth) {
    std::vector<bool> seen(plan.aliased ? plan.fields.size() : 0);
    std::uint64_t oneofs_set = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(data, &pos, &key, &value)) {
        // Held: resolving an Any's type may run code that changes the dict.
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        if (!PyUnicode_CheckExact(key)) return Answer::Runtime;
        PyObject* found = PyDict_GetItemWithError(plan.keys.get(), key);
        if (!found) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
        const auto index = static_cast<std::size_t>(PyLong_AsSsize_t(found));
        const FieldPlan& field = plan.fields[index];
        if (plan.aliased) {
            // Two keys of one field: which wins depends on ParseDict's order of work.
            if (seen[index]) return Answer::Runtime;
            seen[index] = true;
        }
        if (value == Py_None) {
            // ParseDict clears the field, which is clear; but a Value holds
            // null, and a NullValue field is set to its one value. Either way
            // no oneof is counted.
            if (field.repeated || field.map) {
                if (null_is_a_value(field)) return Answer::Runtime;
                continue;
            }
            if (null_is_a_value(field)) {
                const Answer done = write_field(out, field, Py_None, depth);
                if (done != Answer::Done) return done;
            } else if (field.ctype() == CType::Enum && field.enumeration->null_value) {
                out.tag(field.number, wire::kVarint);
                out.varint(0);
            }
            continue;
        }
        if (field.oneof >= 0) {
            const std::uint64_t bit = std::uint64_t{1} << field.oneof;
            if (oneofs_set & bit) return Answer::Runtime;  // ParseDict refuses a second member
            oneofs_set |= bit;
        }
        const Answer done = field.map        ? write_map(out, field, value, depth)
                            : field.repeated ? write_repeated(out, field, value, depth)
                                             : write_field(out, field, value, depth);
        if (done != Answer::Done) return done;
    }
    return Answer::Done;
}

// ---- the well-known types ----------------------------------------------------------------
//
// The forms json_format's parser takes for them, where their meaning is
// certain: Timestamp, Duration and FieldMask from the canonical text of
// FromJsonString, a wrapper from its value, Struct from an object, ListValue
// from an array, Value from any JSON value, Any from "@type" and the contents.

// Timestamp.FromJsonString or Duration.FromJsonString: seconds and nanos.
Answer write_time(WellKnown kind, PyObject* value, wire::Writer& out) {
    std::string_view text;
    std::int64_t seconds;
    std::int32_t nanos;
    if (!ascii_view(value, text)) return Answer::Runtime;
    const bool certain = kind == WellKnown::Timestamp
                             ? well_known_text::parse_timestamp(text, seconds, nanos)
                             : well_known_text::parse_duration(text, seconds, nanos);
    if (!certain) return Answer::Runtime;
    if (seconds) {
        out.tag(1, wire::kVarint);
        out.varint(static_cast<std::uint64_t>(seconds));
    }
    if (nanos) {
        out.tag(2, wire::kVarint);
        out.varint(static_cast<std::uint64_t>(static_cast<std::int64_t>(nanos)));
    }
    return Answer::Done;
}

// FieldMask.FromJsonString: the paths between the commas, in snake_case; a
// path with a "_" is refused by json_format. Letters are judged as
// str.isupper judges them; an uppercase letter beyond ASCII, whose lowercase
// may be more than one letter, is left to the runtime.
Answer write_field_mask(PyObject* value, wire::Writer& out) {
    if (!PyUnicode_CheckExact(value)) return Answer::Runtime;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    if (length == 0) return Answer::Done;
    const int kind = PyUnicode_KIND(value);
    const void* chars = PyUnicode_DATA(value);
    std::vector<Py_UCS4> path;
    for (Py_ssize_t i = 0; i <= length; ++i) {
        const Py_UCS4 c = i < length ? PyUnicode_READ(kind, chars, i) : ',';
        if (c == ',') {
            Ref text = Ref::steal(PyUnicode_FromKindAndData(
                PyUnicode_4BYTE_KIND, path.data(), static_cast<Py_ssize_t>(path.size())));
            Py_ssize_t size;
            const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
            if (!utf8) return frame::runtime_or_error();  // a lone surrogate
            out.tag(1, wire::kLengthDelimited);
            out.span(utf8, static_cast<std::size_t>(size));
            path.clear();
        } else if (c == '_') {
            return Answer::Runtime;
        } else if (Py_UNICODE_ISUPPER(c)) {
            if (c >= 128) return Answer::Runtime;
            path.push_back('_');
            path.push_back(c - 'A' + 'a');
        } else {
            path.push_back(c);
        }
    }
    return Answer::Done;
}

// Value from any JSON value: an object, an array, null, a boolean, a text or
// a number, each in its member of `kind` (fields by number, 1 to 6).
Answer write_value(const MessagePlan& plan, PyObject* value, wire::Writer& out, int depth) {
    const auto& member = plan.fields;
    if (PyDict_CheckExact(value)) return write_field(out, member[4], value, depth);
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value))
        return write_field(out, member[5], value, depth);
    if (value == Py_None) {
        out.tag(1, wire::kVarint);
        out.varint(0);
        return Answer::Done;
    }
    if (value == Py_True || value == Py_False) return write_field(out, member[3], value, depth);
    if (PyUnicode_CheckExact(value)) return write_field(out, member[2], value, depth);
    double number;
    if (PyFloat_CheckExact(value)) {
        number = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_CheckExact(value)) {
        // Rounded as the runtime's setter converts an int; too large a one
        // raises there.
        number = PyLong_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) return frame::runtime_or_error();
    } else {
        return Answer::Runtime;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &number, sizeof number);
    out.tag(2, wire::kFixed64Wire);
    out.fixed(8, bits);
    return Answer::Done;
}

// Any: nothing for {}; else the type its "@type" names, resolved as json_format
// resolves it, filled from "value" (a well-known type) or from the other keys,
// and stored as SerializeToString writes a message of that type so filled.
Answer write_any(PyObject* value, wire::Writer& out, int depth) {
    if (!PyDict_CheckExact(value)) return Answer::Runtime;
    if (PyDict_GET_SIZE(value) == 0) return Answer::Done;
    PyObject* type_url = PyDict_GetItemWithError(value, names.at_type);
    if (!type_url) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
    Ref held_url = Ref::borrow(type_url);
    Ref cls;
    PlanRef plan;
    Answer done = any_class(type_url, cls, plan);
    if (done != Answer::Done) return done;
    // SerializeToString refuses a message that lacks a required field.
    if (!plan->parsable || plan->required) return Answer::Runtime;
    const MessagePlan& contents = *plan->messages.front();
    wire::Writer inner;
    if (contents.well_known != WellKnown::None) {
        PyObject* form = PyDict_GetItemWithError(value, names.value_key);
        if (!form) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
        done = message_value(contents, form, inner, depth + 1);
    } else {
        // ParseDict takes "@type" out of the dict while it reads the other
        // keys and puts it back after them, which moves it to the end.
        if (PyDict_DelItem(value, names.at_type) < 0 ||
            PyDict_SetItem(value, names.at_type, type_url) < 0)
            return Answer::Error;
        Ref fields = Ref::steal(PyDict_Copy(value));
        if (!fields || PyDict_DelItem(fields.get(), names.at_type) < 0) return Answer::Error;
        done = message_value(contents, fields.get(), inner, depth + 1);
    }
    if (done != Answer::Done) return done;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(inner.bytes.data(),
                                                     static_cast<Py_ssize_t>(inner.bytes.size())));
    Ref message = bytes ? frame::call(cls.get(), {}) : Ref();
    Ref merged = message ? frame::call_method(message.get(), names.MergeFromString, {bytes.get()})
                         : Ref();
    Ref serialized = merged ? frame::call_method(message.get(), names.SerializeToString, {}) : Ref();
    if (!serialized) return frame::runtime_or_error();
    Py_ssize_t url_size;
    const char* url = PyUnicode_AsUTF8AndSize(type_url, &url_size);
    if (!url || !PyBytes_CheckExact(serialized.get())) return frame::runtime_or_error();
    out.tag(1, wire::kLengthDelimited);
    out.span(url, static_cast<std::size_t>(url_size));
    out.tag(2, wire::kLengthDelimited);
    out.span(PyBytes_AS_STRING(serialized.get()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(serialized.get())));
    return Answer::Done;
}

// A message value at nesting level `depth` (1 for the message ParseDict
// fills): the hook where the message types that json_format maps in a form of
// their own are dispatched; every other type is written from an exact dict of
// its fields.
Answer message_value(const MessagePlan& plan, PyObject* value, wire::Writer& out, int depth) {
    if (depth > kMaxDepth) return Answer::Runtime;
    // The outermost message is written on the stack the call's own level holds.
    std::optional<frame::StackCharge> charge;
    if (depth > 1 && !charge.emplace(" while converting a dict to a message"))
        return frame::runtime_or_error();
    switch (plan.well_known) {
        case WellKnown::None:
            return PyDict_CheckExact(value) ? write_message(plan, value, out, depth) : Answer::Runtime;
        case WellKnown::Timestamp:
        case WellKnown::Duration: return write_time(plan.well_known, value, out);
        case WellKnown::FieldMask: return write_field_mask(value, out);
        case WellKnown::Wrapper: return write_field(out, plan.fields[0], value, depth);
        case WellKnown::Struct:
            return write_map(out, plan.fields[0], value, depth);
        case WellKnown::ListValue:
            return write_repeated(out, plan.fields[0], value, depth);
        case WellKnown::Value: return write_value(plan, value, out, depth);
        case WellKnown::Any: return write_any(value, out, depth);
    }
    return Answer::Runtime;
}

}  // namespace

Answer parse_dict(PyObject* data, PyObject* message) {
    PlanRef plan = plan_of(Py_TYPE(message));
    if (!plan) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
    if (!plan->parsable || !PyDict_CheckExact(data)) return Answer::Runtime;
    wire::Writer out;
    out.bytes.reserve(512);
    const Answer written = message_value(*plan->messages.front(), data, out, 1);
    if (written != Answer::Done) return written;
    Ref wire = Ref::steal(PyBytes_FromStringAndSize(out.bytes.data(),
                                                    static_cast<Py_ssize_t>(out.bytes.size())));
    if (!wire) return Answer::Error;
    if (frame::call(plan->merge.get(), {message, wire.get()})) return Answer::Done;
    // Not expected of the runtime's own reader; put the message back as its
    // class made it and let ParseDict answer.
    if (frame::runtime_or_error() == Answer::Error) return Answer::Error;
    return frame::call_method(message, names.Clear, {}) ? Answer::Runtime : Answer::Error;
}

}  // namespace json_mapping
