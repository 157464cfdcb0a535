// Dictionary to wire encoding: ParseDict(data, message) with its default options.
//
// Writes what ParseDict would set, for the values whose meaning is certain;
// every other value (another type, text the runtime reads more leniently, a
// number out of range, a key twice) leaves the whole dictionary to ParseDict.
// Each step answers Done when written, Runtime when the runtime must answer,
// or Error with an exception set.
#include "json_mapping.h"
#include "json_plan.h"

#include "frame/ops.h"
#include "frame/recursion.h"

#include <cfloat>
#include <cmath>
#include <limits>
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
// integral value, or text of an optional sign and decimal digits; within the
// range of the C type. `bits` gets the value's two's complement.
Answer integer_of(PyObject* value, CType ctype, std::uint64_t& bits) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    std::string_view text;
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
        const double number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number) || number != std::floor(number) ||
            std::fabs(number) >= 18446744073709551616.0)
            return Answer::Runtime;
        negative = number < 0;
        magnitude = static_cast<std::uint64_t>(std::fabs(number));
    } else if (ascii_view(value, text)) {
        std::size_t i = 0;
        if (!text.empty() && (text[0] == '+' || text[0] == '-')) negative = text[i++] == '-';
        if (i == text.size() || text.size() - i > 20) return Answer::Runtime;
        for (; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') return Answer::Runtime;
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
    if (!PyLong_CheckExact(value)) return Answer::Runtime;
    const Answer known = integer_of(value, CType::Enum, bits);
    if (known != Answer::Done) return known;
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

Answer write_message(const MessagePlan& plan, PyObject* data, wire::Writer& out, int depth);

// A message value: the hook where the message types that json_format maps in
// a form of their own are dispatched; every other type is written from an
// exact dict of its fields.
Answer message_value(const MessagePlan& plan, PyObject* value, wire::Writer& out, int depth) {
    switch (plan.well_known) {
        case WellKnown::None:
            break;
    }
    if (!PyDict_CheckExact(value)) return Answer::Runtime;
    return write_message(plan, value, out, depth);
}

// One value of a field with its tag.
Answer write_field(wire::Writer& out, const FieldPlan& field, PyObject* value, int depth) {
    if (field.ctype() != CType::Message) {
        out.tag(field.number, field.type->wire);
        return write_scalar(out, field, value);
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
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    if (count == 0) return Answer::Done;
    const bool packed = field.type->packable;
    std::size_t start = 0;
    if (packed) {
        out.tag(field.number, wire::kLengthDelimited);
        start = out.open();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (items[i] == Py_None) return Answer::Runtime;
        const Answer done =
            packed ? write_scalar(out, field, items[i]) : write_field(out, field, items[i], depth);
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
        if (item == Py_None) return Answer::Runtime;
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
    if (depth > kMaxDepth) return Answer::Runtime;
    frame::StackCharge charge(" while converting a dict to a message");
    if (!charge) return frame::runtime_or_error();
    std::vector<bool> seen(plan.aliased ? plan.fields.size() : 0);
    std::uint64_t oneofs_set = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(data, &pos, &key, &value)) {
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
        if (value == Py_None) continue;  // ParseDict clears the field, which is clear
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

}  // namespace

Answer parse_dict(PyObject* data, PyObject* message) {
    std::shared_ptr<TypePlan> plan = plan_of(Py_TYPE(message));
    if (!plan) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
    if (!plan->parsable || !PyDict_CheckExact(data)) return Answer::Runtime;
    wire::Writer out;
    out.bytes.reserve(512);
    const Answer written = message_value(*plan->messages.front(), data, out, 1);
    if (written != Answer::Done) return written;
    Ref wire = Ref::steal(PyBytes_FromStringAndSize(out.bytes.data(),
                                                    static_cast<Py_ssize_t>(out.bytes.size())));
    if (!wire) return Answer::Error;
    if (frame::call_method(message, names.MergeFromString, {wire.get()})) return Answer::Done;
    // Not expected of the runtime's own reader; put the message back as its
    // class made it and let ParseDict answer.
    if (frame::runtime_or_error() == Answer::Error) return Answer::Error;
    return frame::call_method(message, names.Clear, {}) ? Answer::Runtime : Answer::Error;
}

}  // namespace json_mapping
