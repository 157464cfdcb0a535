// What set_message_fields(message, record) sets, written as wire bytes that
// MergeFromString reads into the message: one walk of the record, and one
// runtime call instead of an attribute assignment per field.
//
// The walk answers only for records whose whole fill is certain: every key a
// field of the message, every value one that the runtime's assignment takes
// as it is (an int in range for an integer field, a str for a text field,
// None for a text field, which the fill makes ""), nested messages as dicts or
// JSON text of objects, repeated fields as lists. Anything else (a key that is
// not a field, which the fill prints a line for; a value the runtime would
// refuse or convert; a map or group field) makes the answer Runtime before
// anything is changed, and the fill's own walk then runs, so printed lines,
// exceptions and a partly filled message stay what they were.
//
// The merge leaves the message as the fill would: scalars overwritten,
// repeated fields appended to, nested messages filled in place. A nested
// message that the fill would not touch (an empty dict) is not written, since
// writing it would make it present.
//
// The records come either as interpreter objects (PyRecord) or as a document
// of the JSON parser (JsonRecord); JSON text given for a nested message is
// parsed with the JSON parser too, as the standard json module would take it.
#pragma once

#include "json_plan.h"
#include "wire_format.h"

#include "frame/outcome.h"
#include "frame/recursion.h"

#include <yyjson.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace fill_wire {

using frame::Answer;
using json_mapping::FieldPlan;
using json_mapping::MessagePlan;

// The kinds of value a record holds, as the fill tells them apart.
enum class Kind { Null, Bool, Int, Real, String, Bytes, Array, Object, Other };

// A parsed JSON document, released with the object.
class JsonDocument {
public:
    JsonDocument() = default;
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;
    ~JsonDocument() {
        if (doc_) yyjson_doc_free(doc_);
    }

    // Parses `text` as the standard json module and orjson both read it (plain
    // RFC 8259 JSON, numbers in 64 bits and finite): false for any other text.
    bool parse(std::string_view text) {
        if (doc_) yyjson_doc_free(doc_);
        doc_ = yyjson_read(text.data(), text.size(), YYJSON_READ_BIGNUM_AS_RAW);
        return doc_ != nullptr;
    }
    yyjson_val* root() const { return doc_ ? yyjson_doc_get_root(doc_) : nullptr; }

private:
    yyjson_doc* doc_ = nullptr;
};

// Records made of interpreter objects. Only the exact built-in types count as
// what they are (a subclass could run code of its own); the walk creates no
// object, so no code of the program runs while it reads the record.
struct PyRecord {
    using Value = PyObject*;

    static Kind kind(Value v) {
        if (v == Py_None) return Kind::Null;
        if (v == Py_True || v == Py_False) return Kind::Bool;
        if (PyLong_CheckExact(v)) return Kind::Int;
        if (PyFloat_CheckExact(v)) return Kind::Real;
        if (PyUnicode_CheckExact(v)) return Kind::String;
        if (PyBytes_CheckExact(v)) return Kind::Bytes;
        if (PyList_CheckExact(v)) return Kind::Array;
        if (PyDict_CheckExact(v)) return Kind::Object;
        return Kind::Other;
    }
    static bool boolean(Value v) { return v == Py_True; }
    // An int's sign and magnitude; false beyond 64 bits.
    static bool integer(Value v, bool& negative, std::uint64_t& magnitude) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow > 0) {
            magnitude = PyLong_AsUnsignedLongLong(v);
            negative = false;
            if (magnitude == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            return true;
        }
        if (overflow < 0) return false;
        negative = number < 0;
        magnitude = negative ? 0 - static_cast<std::uint64_t>(number) : static_cast<std::uint64_t>(number);
        return true;
    }
    // A number as a float field stores it: an int correctly rounded (false when
    // too large for a double, which the runtime refuses).
    static bool real(Value v, double& number) {
        if (PyFloat_CheckExact(v)) {
            number = PyFloat_AS_DOUBLE(v);
            return true;
        }
        number = PyLong_AsDouble(v);
        if (number == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    // A str's UTF-8 text; false for one that has none (a lone surrogate),
    // which the runtime refuses.
    static bool text(Value v, std::string_view& out) {
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(v, &size);
        if (!utf8) {
            PyErr_Clear();
            return false;
        }
        out = std::string_view(utf8, static_cast<std::size_t>(size));
        return true;
    }
    static std::string_view bytes(Value v) {
        return std::string_view(PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v)));
    }
    // The number of an enum value named `v`, or false.
    static bool enum_name(const json_mapping::EnumPlan& enumeration, Value v, std::int64_t& number) {
        PyObject* found = PyDict_GetItemWithError(enumeration.numbers.get(), v);
        if (!found) {
            PyErr_Clear();
            return false;
        }
        number = PyLong_AsLongLong(found);
        return true;
    }
    // Calls visit(field index, value) for each key of the dict in order; Runtime
    // for a key that is not the name of a field.
    template <class Visit>
    static Answer members(const MessagePlan& plan, Value object, Visit&& visit) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (std::size_t place = 0; PyDict_Next(object, &pos, &key, &value); ++place) {
            std::size_t index;
            if (place < plan.seen.size() && plan.seen[place].key.get() == key) {
                index = plan.seen[place].index;
            } else {
                if (!PyUnicode_CheckExact(key)) return Answer::Runtime;
                PyObject* found = PyDict_GetItemWithError(plan.names.get(), key);
                if (!found) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
                index = static_cast<std::size_t>(PyLong_AsSsize_t(found));
                if (place < plan.fields.size()) {
                    if (place >= plan.seen.size()) plan.seen.resize(place + 1);
                    plan.seen[place] = {frame::Ref::borrow(key), index};
                }
            }
            const Answer done = visit(index, value);
            if (done != Answer::Done) return done;
        }
        return Answer::Done;
    }
    template <class Visit>
    static Answer items(Value array, Visit&& visit) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(array); ++i) {
            const Answer done = visit(PyList_GET_ITEM(array, i));
            if (done != Answer::Done) return done;
        }
        return Answer::Done;
    }
};

// Records of the JSON parser: numbers in 64 bits (larger ones are raw text,
// which counts as Other), text in valid UTF-8.
struct JsonRecord {
    using Value = yyjson_val*;

    static Kind kind(Value v) {
        switch (yyjson_get_type(v)) {
            case YYJSON_TYPE_NULL: return Kind::Null;
            case YYJSON_TYPE_BOOL: return Kind::Bool;
            case YYJSON_TYPE_NUM: return yyjson_is_real(v) ? Kind::Real : Kind::Int;
            case YYJSON_TYPE_STR: return Kind::String;
            case YYJSON_TYPE_ARR: return Kind::Array;
            case YYJSON_TYPE_OBJ: return Kind::Object;
            default: return Kind::Other;
        }
    }
    static bool boolean(Value v) { return yyjson_get_bool(v); }
    static bool integer(Value v, bool& negative, std::uint64_t& magnitude) {
        if (yyjson_is_uint(v)) {
            negative = false;
            magnitude = yyjson_get_uint(v);
        } else {
            const std::int64_t number = yyjson_get_sint(v);
            negative = number < 0;
            magnitude = negative ? 0 - static_cast<std::uint64_t>(number) : static_cast<std::uint64_t>(number);
        }
        return true;
    }
    static bool real(Value v, double& number) {
        if (yyjson_is_real(v)) number = yyjson_get_real(v);
        else if (yyjson_is_uint(v)) number = static_cast<double>(yyjson_get_uint(v));
        else number = static_cast<double>(yyjson_get_sint(v));
        return true;
    }
    static bool text(Value v, std::string_view& out) {
        out = std::string_view(yyjson_get_str(v), yyjson_get_len(v));
        return true;
    }
    static std::string_view bytes(Value) { return {}; }  // JSON has no bytes
    static bool enum_name(const json_mapping::EnumPlan& enumeration, Value v, std::int64_t& number) {
        auto found = enumeration.utf8_numbers.find(std::string_view(yyjson_get_str(v), yyjson_get_len(v)));
        if (found == enumeration.utf8_numbers.end()) return false;
        number = found->second;
        return true;
    }
    // A key twice in one object is one dict entry to the interpreter (the last
    // value at the first key's place): Runtime, as for a key that is no field.
    template <class Visit>
    static Answer members(const MessagePlan& plan, Value object, Visit&& visit) {
        std::uint64_t seen_small = 0;
        std::vector<bool> seen_large;
        yyjson_obj_iter iter = yyjson_obj_iter_with(object);
        while (yyjson_val* key = yyjson_obj_iter_next(&iter)) {
            auto found = plan.utf8_names.find(std::string_view(yyjson_get_str(key), yyjson_get_len(key)));
            if (found == plan.utf8_names.end()) return Answer::Runtime;
            const std::size_t index = found->second;
            if (index < 64) {
                if (seen_small & (std::uint64_t{1} << index)) return Answer::Runtime;
                seen_small |= std::uint64_t{1} << index;
            } else {
                if (seen_large.size() <= index) seen_large.resize(plan.fields.size());
                if (seen_large[index]) return Answer::Runtime;
                seen_large[index] = true;
            }
            const Answer done = visit(index, yyjson_obj_iter_get_val(key));
            if (done != Answer::Done) return done;
        }
        return Answer::Done;
    }
    template <class Visit>
    static Answer items(Value array, Visit&& visit) {
        yyjson_arr_iter iter = yyjson_arr_iter_with(array);
        while (yyjson_val* item = yyjson_arr_iter_next(&iter)) {
            const Answer done = visit(item);
            if (done != Answer::Done) return done;
        }
        return Answer::Done;
    }
};

// A double narrowed to a float as the runtime's assignment does (IEEE
// rounding; beyond the largest float, infinity).
inline float narrow(double number) {
    constexpr double kRoundsToInfinity = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
    if (number >= kRoundsToInfinity) return HUGE_VALF;
    if (number <= -kRoundsToInfinity) return -HUGE_VALF;
    return static_cast<float>(number);
}

// One scalar value of `field`, with its tag: what the assignment (`assigned`)
// or the append stores, or Runtime for a value it would refuse, convert, or
// print for. The fill assigns "" for None, and appends None as it is.
template <class Record>
Answer write_scalar(wire::Writer& out, const FieldPlan& field, typename Record::Value value,
                    bool assigned) {
    const Kind kind = Record::kind(value);
    std::uint64_t bits = 0;
    switch (field.ctype()) {
        case wire::CType::String: {
            std::string_view text;
            if (kind == Kind::Null && assigned) text = std::string_view();
            else if (kind != Kind::String || !Record::text(value, text)) return Answer::Runtime;
            out.tag(field.number, wire::kLengthDelimited);
            out.span(text.data(), text.size());
            return Answer::Done;
        }
        case wire::CType::Bytes: {
            if (kind != Kind::Bytes) return Answer::Runtime;
            const std::string_view data = Record::bytes(value);
            out.tag(field.number, wire::kLengthDelimited);
            out.span(data.data(), data.size());
            return Answer::Done;
        }
        case wire::CType::Bool:
            if (kind != Kind::Bool) return Answer::Runtime;
            bits = Record::boolean(value);
            break;
        case wire::CType::Int32:
        case wire::CType::UInt32:
        case wire::CType::Int64:
        case wire::CType::UInt64: {
            bool negative;
            std::uint64_t magnitude;
            if (kind != Kind::Int || !Record::integer(value, negative, magnitude)) return Answer::Runtime;
            const wire::IntegerRange range = wire::range_of(field.ctype());
            if (magnitude > (negative ? range.negative : range.positive)) return Answer::Runtime;
            bits = negative ? 0 - magnitude : magnitude;
            break;
        }
        case wire::CType::Enum: {
            std::int64_t number;
            if (kind == Kind::String) {
                if (!Record::enum_name(*field.enumeration, value, number)) return Answer::Runtime;
            } else {
                bool negative;
                std::uint64_t magnitude;
                if (kind != Kind::Int || !Record::integer(value, negative, magnitude) ||
                    magnitude > (negative ? 0x80000000u : 0x7fffffffu))
                    return Answer::Runtime;
                number = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
                // A closed enum refuses a number it does not name.
                if (field.enumeration->closed && !field.enumeration->name_of(static_cast<std::int32_t>(number)))
                    return Answer::Runtime;
            }
            bits = static_cast<std::uint64_t>(number);
            break;
        }
        case wire::CType::Double:
        case wire::CType::Float: {
            double number;
            if ((kind != Kind::Int && kind != Kind::Real) || !Record::real(value, number))
                return Answer::Runtime;
            if (field.ctype() == wire::CType::Double) {
                std::memcpy(&bits, &number, sizeof number);
            } else {
                const float narrowed = narrow(number);
                std::uint32_t narrow_bits;
                std::memcpy(&narrow_bits, &narrowed, sizeof narrowed);
                bits = narrow_bits;
            }
            break;
        }
        case wire::CType::Message:
            return Answer::Runtime;
    }
    out.tag(field.number, field.type->wire);
    out.number(*field.type, bits);
    return Answer::Done;
}

template <class Record>
Answer write_record(const MessagePlan& plan, typename Record::Value record, wire::Writer& out,
                    int depth, bool& mutated);

// A nested message given as a dict (or JSON text of an object): written when
// the fill changes something in it, else left out, as the fill leaves it
// absent. `always` for an element of a repeated field, which add() makes.
template <class Record>
Answer write_nested(wire::Writer& out, const FieldPlan& field, typename Record::Value value,
                    int depth, bool always, bool& mutated) {
    const Kind kind = Record::kind(value);
    if (kind == Kind::String) {
        // json.loads(value) first.
        std::string_view text;
        JsonDocument document;
        if (!Record::text(value, text) || !document.parse(text)) return Answer::Runtime;
        return write_nested<JsonRecord>(out, field, document.root(), depth, always, mutated);
    }
    if (kind != Kind::Object) return Answer::Runtime;  // the fill prints a line, or raises
    const std::size_t tag_start = out.bytes.size();
    out.tag(field.number, wire::kLengthDelimited);
    const std::size_t start = out.open();
    bool inner = false;
    const Answer done = write_record<Record>(*field.message, value, out, depth + 1, inner);
    if (done != Answer::Done) return done;
    if (inner || always) {
        out.close(start);
        mutated = true;
    } else {
        out.bytes.resize(tag_start);
    }
    return Answer::Done;
}

// The fields of one message from its record, at nesting level `depth` (1 for
// the message set_message_fields fills); `mutated` when anything was set.
template <class Record>
Answer write_record(const MessagePlan& plan, typename Record::Value record, wire::Writer& out,
                    int depth, bool& mutated) {
    if (depth > json_mapping::kMaxDepth) return Answer::Runtime;
    // The outermost message is written on the stack the call's own level holds.
    std::optional<frame::StackCharge> charge;
    if (depth > 1 && !charge.emplace(" while calling a Python object")) return frame::runtime_or_error();
    return Record::members(plan, record, [&](std::size_t index, typename Record::Value value) {
        const FieldPlan& field = plan.fields[index];
        if (field.map || field.type->type == wire::kGroup) return Answer::Runtime;
        if (!field.repeated) {
            if (field.ctype() == wire::CType::Message)
                return write_nested<Record>(out, field, value, depth, false, mutated);
            mutated = true;
            return write_scalar<Record>(out, field, value, true);
        }
        if (Record::kind(value) != Kind::Array) return Answer::Runtime;  // the fill prints a line
        return Record::items(value, [&](typename Record::Value item) {
            mutated = true;
            return field.ctype() == wire::CType::Message
                       ? write_nested<Record>(out, field, item, depth, true, mutated)
                       : write_scalar<Record>(out, field, item, false);
        });
    });
}

}  // namespace fill_wire
