// Wire encoding to dictionary: MessageToDict(message) with its default options.
//
// MessageToDict lists a message's fields as ListFields gives them, by field
// number; the wire encoding of SerializePartialToString holds exactly those
// fields. A map field is listed in the order its container iterates, which
// is the reverse of the order of its entries on the wire. Beside the fields,
// the encoding holds the unknown fields, passed over here; among them are the
// unknown values of closed enums, which carry the enum field's number, and
// map entries the runtime could not take as entries.
//
// Each step answers Done with its value in `out` (or with `out` left empty for
// a value the runtime keeps among the unknown fields instead), Runtime when
// the runtime's own call must answer, or Error with an exception set.
#include "json_mapping.h"
#include "json_plan.h"
#include "json_text.h"
#include "well_known_text.h"

#include "frame/ops.h"
#include "frame/recursion.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <optional>
#include <string_view>

namespace json_mapping {
namespace {

using frame::Answer;
using frame::Ref;
using wire::CType;

// Done with `value` in `out`, or Error when making it failed.
Answer made(Ref value, Ref& out) {
    out = std::move(value);
    return out ? Answer::Done : Answer::Error;
}

Ref ascii_text(const char* text, std::size_t size) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (object) std::memcpy(PyUnicode_1BYTE_DATA(object), text, size);
    return Ref::steal(object);
}

// str() of an integer, given as sign and magnitude.
Ref decimal_text(std::uint64_t magnitude, bool negative) {
    char buffer[24];
    char* const end = buffer + sizeof buffer;
    const char* start = json_text::decimal(end, magnitude, negative);
    return ascii_text(start, static_cast<std::size_t>(end - start));
}

Ref signed_text(std::int64_t value) {
    return value < 0 ? decimal_text(0 - static_cast<std::uint64_t>(value), true)
                     : decimal_text(static_cast<std::uint64_t>(value), false);
}

// base64.b64encode(data).decode().
Ref base64_text(const char* data, std::size_t size) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(json_text::base64_size(size)), 127);
    if (object) json_text::base64(PyUnicode_1BYTE_DATA(object), data, size);
    return Ref::steal(object);
}

// type_checkers.ToShortestFloat: the value of the shortest "%.<n>g" text of
// the float, from six significant digits up, that reads back as that float.
Answer shortest_float(float value, Ref& out) {
    const double original = value;
    for (int precision = 6; precision <= 17; ++precision) {
        char* text = PyOS_double_to_string(original, 'g', precision, 0, nullptr);
        if (!text) return Answer::Error;
        const double rounded = PyOS_string_to_double(text, nullptr, nullptr);
        PyMem_Free(text);
        if (rounded == -1.0 && PyErr_Occurred()) return Answer::Error;
        // The runtime narrows as struct.pack("<f") does, which refuses a
        // value that becomes infinite (never one of these, by their digits).
        const auto narrow = static_cast<float>(rounded);
        if (std::isinf(narrow)) return Answer::Runtime;
        if (static_cast<double>(narrow) == original)
            return made(Ref::steal(PyFloat_FromDouble(rounded)), out);
    }
    return Answer::Runtime;
}

// A double as MessageToDict writes it: the float, or the text of NaN and the infinities.
Answer double_value(double value, Ref& out) {
    if (std::isnan(value)) return made(Ref::borrow(names.nan), out);
    if (std::isinf(value))
        return made(Ref::borrow(value < 0 ? names.negative_infinity : names.infinity), out);
    return made(Ref::steal(PyFloat_FromDouble(value)), out);
}

// A map key as MessageToDict writes it: str() of the key, "true" or "false".
Answer key_text(const FieldPlan& field, std::uint64_t raw, Ref& out) {
    const std::uint64_t bits = wire::decoded(*field.type, raw);
    switch (field.ctype()) {
        case CType::Bool:
            return made(Ref::borrow(bits ? names.text_true : names.text_false), out);
        case CType::Int32:
            return made(signed_text(static_cast<std::int32_t>(bits)), out);
        case CType::UInt32:
            return made(decimal_text(static_cast<std::uint32_t>(bits), false), out);
        case CType::Int64:
            return made(signed_text(static_cast<std::int64_t>(bits)), out);
        case CType::UInt64:
            return made(decimal_text(bits, false), out);
        default:
            return Answer::Runtime;
    }
}

// A string field's text. A proto2 string need not be UTF-8; the runtime then
// gives bytes, and its own call answers.
Answer text_value(const char* data, std::size_t size, Ref& out) {
    out = Ref::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr));
    if (out) return Answer::Done;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return Answer::Error;
    PyErr_Clear();
    return Answer::Runtime;
}

// One value of a field as the wire carries it: the number (a varint or the
// fixed-size bits) or the bytes of a length-delimited value. The zero value
// stands for a value not given: zero, the empty text, an empty message.
struct WireValue {
    std::uint64_t raw = 0;
    const char* data = "";
    std::size_t size = 0;
};

Answer message_value(const MessagePlan& plan, const char* data, std::size_t size, int depth,
                     Ref& out);

// The JSON value of one value of a field, as MessageToDict writes it. Done
// without a value for an unknown value of a closed enum, which the runtime
// keeps among the unknown fields and not in the field.
Answer json_value(const FieldPlan& field, const WireValue& value, int depth, Ref& out) {
    const std::uint64_t bits = wire::decoded(*field.type, value.raw);
    switch (field.ctype()) {
        case CType::Int32:
            return made(Ref::steal(PyLong_FromLong(static_cast<std::int32_t>(bits))), out);
        case CType::UInt32:
            return made(Ref::steal(PyLong_FromUnsignedLong(static_cast<std::uint32_t>(bits))), out);
        case CType::Int64:
            return made(signed_text(static_cast<std::int64_t>(bits)), out);
        case CType::UInt64:
            return made(decimal_text(bits, false), out);
        case CType::Bool:
            return made(Ref::borrow(bits ? Py_True : Py_False), out);
        case CType::Double: {
            double number;
            std::memcpy(&number, &bits, sizeof number);
            return double_value(number, out);
        }
        case CType::Float: {
            const auto narrow_bits = static_cast<std::uint32_t>(bits);
            float number;
            std::memcpy(&number, &narrow_bits, sizeof number);
            if (std::isnan(number) || std::isinf(number)) return double_value(number, out);
            return shortest_float(number, out);
        }
        case CType::Enum: {
            if (field.enumeration->null_value) return made(Ref::borrow(Py_None), out);
            const auto number = static_cast<std::int32_t>(bits);
            if (PyObject* name = field.enumeration->name_of(number))
                return made(Ref::borrow(name), out);
            if (field.enumeration->closed) {
                out = Ref();
                return Answer::Done;
            }
            return made(Ref::steal(PyLong_FromLong(number)), out);
        }
        case CType::String:
            return text_value(value.data, value.size, out);
        case CType::Bytes:
            return made(base64_text(value.data, value.size), out);
        case CType::Message:
            return message_value(*field.message, value.data, value.size, depth + 1, out);
    }
    return Answer::Runtime;
}

// One value of a field in its own wire type; Runtime for bytes that end too soon.
Answer read_value(wire::Reader& in, const FieldPlan& field, int depth, Ref& out) {
    WireValue value;
    bool whole;
    switch (field.type->wire) {
        case wire::kLengthDelimited: whole = in.span(value.data, value.size); break;
        case wire::kStartGroup: whole = in.group(field.number, value.data, value.size); break;
        default: whole = in.number(*field.type, value.raw);
    }
    return whole ? json_value(field, value, depth, out) : Answer::Runtime;
}

// A map entry's key text and value, missing ones as their defaults. Done
// without them for an entry that the runtime keeps among the unknown fields
// instead of in the map: one that holds anything besides a key and a value of
// their own wire types (another field, a key or value of another wire type),
// or whose value is an unknown value of a closed enum.
Answer read_entry(const MessagePlan& entry, const char* data, std::size_t size, int depth, Ref& key,
                  Ref& value) {
    const FieldPlan& key_field = entry.fields[0];
    const FieldPlan& value_field = entry.fields[1];
    const auto unknown = [&] {
        key = Ref();
        value = Ref();
        return Answer::Done;
    };
    wire::Reader in(data, size);
    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return Answer::Runtime;
        const FieldPlan* field = number == 1 ? &key_field : number == 2 ? &value_field : nullptr;
        if (!field || wire_type != field->type->wire) return unknown();
        Ref& slot = number == 1 ? key : value;
        if (slot) return Answer::Runtime;  // the runtime's own encoding writes each once
        Answer done;
        if (number == 1 && key_field.ctype() != CType::String) {
            std::uint64_t raw;
            done = in.number(*key_field.type, raw) ? key_text(key_field, raw, slot)
                                                   : Answer::Runtime;
        } else {
            done = read_value(in, *field, depth, slot);
        }
        if (done != Answer::Done) return done;
        if (!slot) return unknown();
    }
    if (!key) {
        const Answer done = key_field.ctype() == CType::String ? made(ascii_text("", 0), key)
                                                               : key_text(key_field, 0, key);
        if (done != Answer::Done) return done;
    }
    if (!value) {
        const Answer done = json_value(value_field, WireValue{}, depth, value);
        if (done != Answer::Done) return done;
        if (!value) return unknown();
    }
    return Answer::Done;
}

// The dict of a map field from its [key, value, key, value, ...] list in wire order.
Answer map_dict(PyObject* pairs, Ref& out) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Answer::Error;
    const Py_ssize_t count = PyList_GET_SIZE(pairs);
    for (Py_ssize_t i = count - 2; i >= 0; i -= 2) {
        PyObject* key = PyList_GET_ITEM(pairs, i);
        if (PyDict_SetItem(result.get(), key, PyList_GET_ITEM(pairs, i + 1)) < 0) return Answer::Error;
    }
    // A key twice is not the runtime's own encoding.
    if (PyDict_GET_SIZE(result.get()) != count / 2) return Answer::Runtime;
    out = std::move(result);
    return Answer::Done;
}

// Appends to the list in `slot`, made on the first value.
Answer append(Ref& slot, PyObject* value) {
    if (!slot && !(slot = Ref::steal(PyList_New(0)))) return Answer::Error;
    return PyList_Append(slot.get(), value) == 0 ? Answer::Done : Answer::Error;
}

// The values of a packed repeated field, appended to `slot`.
Answer read_packed(const FieldPlan& field, const char* data, std::size_t size, Ref& slot) {
    wire::Reader packed(data, size);
    while (!packed.done()) {
        std::uint64_t raw;
        if (!packed.number(*field.type, raw)) return Answer::Runtime;
        Ref value;
        const Answer done = json_value(field, WireValue{.raw = raw}, 0, value);
        if (done != Answer::Done) return done;
        if (value && append(slot, value.get()) != Answer::Done) return Answer::Error;
    }
    return Answer::Done;
}

// One field of a message from its wire value, into its slot.
Answer read_field(wire::Reader& in, const FieldPlan& field, std::uint32_t wire_type, int depth,
                  Ref& slot) {
    if (field.repeated && field.type->packable && wire_type == wire::kLengthDelimited) {
        const char* data;
        std::size_t size;
        if (!in.span(data, size)) return Answer::Runtime;
        return read_packed(field, data, size, slot);
    }
    if (field.map) {
        const char* data;
        std::size_t size;
        if (!in.span(data, size)) return Answer::Runtime;
        Ref key, value;
        const Answer done = read_entry(*field.message, data, size, depth + 1, key, value);
        if (done != Answer::Done || !key) return done;
        if (append(slot, key.get()) != Answer::Done || append(slot, value.get()) != Answer::Done)
            return Answer::Error;
        return Answer::Done;
    }
    Ref value;
    const Answer done = read_value(in, field, depth, value);
    if (done != Answer::Done || !value) return done;
    if (field.repeated) return append(slot, value.get());
    if (slot) return Answer::Runtime;  // the runtime's own encoding writes a field once
    slot = std::move(value);
    return Answer::Done;
}

// One slot per field of a message being read: a value, a list, or a map
// field's [key, value, ...] list. Most messages have few fields, and few of
// them given: up to 32 slots live on the stack, each made when first used, and
// only those are released.
class Slots {
public:
    explicit Slots(std::size_t count) : count_(count) {
        if (count > kInline) heap_.resize(count);
    }
    ~Slots() {
        for (std::uint32_t used = used_; used; used &= used - 1) inline_ref(std::countr_zero(used)).~Ref();
    }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;

    Ref& operator[](std::size_t i) {
        if (count_ > kInline) return heap_[i];
        const std::uint32_t bit = std::uint32_t{1} << i;
        if (!(used_ & bit)) {
            new (&inline_ref(static_cast<int>(i))) Ref();
            used_ |= bit;
        }
        return inline_ref(static_cast<int>(i));
    }
    std::size_t size() const { return count_; }

    // Calls `visit(i, value)` for each slot that holds something, by field number.
    template <class Visit>
    Answer each_filled(Visit&& visit) {
        if (count_ > kInline) {
            for (std::size_t i = 0; i < count_; ++i) {
                if (!heap_[i]) continue;
                const Answer done = visit(i, heap_[i]);
                if (done != Answer::Done) return done;
            }
            return Answer::Done;
        }
        for (std::uint32_t used = used_; used; used &= used - 1) {
            const int i = std::countr_zero(used);
            Ref& slot = inline_ref(i);
            if (!slot) continue;
            const Answer done = visit(static_cast<std::size_t>(i), slot);
            if (done != Answer::Done) return done;
        }
        return Answer::Done;
    }

private:
    static constexpr std::size_t kInline = 32;
    Ref& inline_ref(int i) { return reinterpret_cast<Ref*>(inline_)[i]; }

    std::size_t count_;
    std::uint32_t used_ = 0;  // the inline slots made
    alignas(Ref) unsigned char inline_[kInline * sizeof(Ref)];
    std::vector<Ref> heap_;
};


// The values of a message's fields from its wire encoding, into their slots.
Answer read_fields(const MessagePlan& plan, const char* data, std::size_t size, int depth,
                   Slots& slots) {
    // A message set holds its extensions as items of its own encoding.
    if (plan.message_set && size) return Answer::Runtime;
    wire::Reader in(data, size);
    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return Answer::Runtime;
        const int index = plan.index_of(number);
        if (index < 0) {
            // An unknown field, which MessageToDict leaves out; or perhaps an
            // extension, which it lists if the pool knows it.
            if (plan.extension_number(number)) return Answer::Runtime;
            if (!in.skip(wire_type, number)) return Answer::Runtime;
            continue;
        }
        const FieldPlan& field = plan.fields[static_cast<std::size_t>(index)];
        const bool packed =
            field.repeated && field.type->packable && wire_type == wire::kLengthDelimited;
        if (!packed && wire_type != field.type->wire) {  // kept among the unknown fields
            if (!in.skip(wire_type, number)) return Answer::Runtime;
            continue;
        }
        const Answer done = read_field(in, field, wire_type, depth, slots[static_cast<std::size_t>(index)]);
        if (done != Answer::Done) return done;
    }
    return Answer::Done;
}

// The field values read into `slots`, under their JSON names, into `object`
// in field-number order, as ListFields gives them.
Answer fields_into(const MessagePlan& plan, Slots& slots, PyObject* object) {
    const bool exact_dict = PyDict_CheckExact(object);
    return slots.each_filled([&](std::size_t i, Ref& slot) {
        const FieldPlan& field = plan.fields[i];
        Ref value = Ref::borrow(slot.get());
        if (field.map) {
            const Answer done = map_dict(slot.get(), value);
            if (done != Answer::Done) return done;
        }
        const int stored = exact_dict
                               ? PyDict_SetItem(object, field.json_name.get(), value.get())
                               : PyObject_SetItem(object, field.json_name.get(), value.get());
        return stored < 0 ? Answer::Error : Answer::Done;
    });
}

// The dict of one message of fields from its wire encoding.
Answer read_message(const MessagePlan& plan, const char* data, std::size_t size, int depth,
                    Ref& out) {
    Slots slots(plan.fields.size());
    Answer done = read_fields(plan, data, size, depth, slots);
    if (done != Answer::Done) return done;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Answer::Error;
    if ((done = fields_into(plan, slots, result.get())) != Answer::Done) return done;
    out = std::move(result);
    return Answer::Done;
}

// ---- the well-known types ----------------------------------------------------------------
//
// The forms json_format's printer gives them: Timestamp, Duration and FieldMask
// as the text of their ToJsonString, a wrapper as its value, Struct as an
// object, ListValue as an array, Value as what it holds, Any as an ordered
// object of "@type" and the contents. Whatever json_format raises for (a time
// out of range, a path it cannot spell) is left to it.

// Timestamp's and Duration's seconds (field 1) and nanos (field 2).
Answer seconds_and_nanos(const char* data, std::size_t size, std::int64_t& seconds,
                         std::int32_t& nanos) {
    seconds = 0;
    nanos = 0;
    bool seen[3] = {false, false, false};
    wire::Reader in(data, size);
    while (!in.done()) {
        std::uint32_t number, wire_type;
        std::uint64_t raw;
        if (!in.tag(number, wire_type)) return Answer::Runtime;
        if ((number == 1 || number == 2) && wire_type == wire::kVarint) {
            if (seen[number] || !in.varint(raw)) return Answer::Runtime;
            seen[number] = true;
            if (number == 1) seconds = static_cast<std::int64_t>(raw);
            else nanos = static_cast<std::int32_t>(raw);
        } else if (!in.skip(wire_type, number)) {
            return Answer::Runtime;
        }
    }
    return Answer::Done;
}

// Timestamp.ToJsonString() or Duration.ToJsonString().
Answer time_text(WellKnown kind, const char* data, std::size_t size, Ref& out) {
    std::int64_t seconds;
    std::int32_t nanos;
    const Answer done = seconds_and_nanos(data, size, seconds, nanos);
    if (done != Answer::Done) return done;
    std::string text;
    const bool valid = kind == WellKnown::Timestamp
                           ? well_known_text::format_timestamp(seconds, nanos, text)
                           : well_known_text::format_duration(seconds, nanos, text);
    return valid ? made(ascii_text(text.data(), text.size()), out) : Answer::Runtime;
}

// FieldMask.ToJsonString(): each path in camelCase, joined by commas; a path
// with an uppercase letter, or a "_" not followed by a lowercase letter, is
// refused by json_format. Letters are judged as str.isupper and str.islower
// judge them; a letter beyond ASCII after a "_", whose uppercase may be more
// than one letter, is left to the runtime.
Answer field_mask_text(const MessagePlan& plan, const char* data, std::size_t size, int depth,
                       Ref& out) {
    Slots slots(plan.fields.size());
    const Answer done = read_fields(plan, data, size, depth, slots);
    if (done != Answer::Done) return done;
    std::vector<Py_UCS4> text;
    const Py_ssize_t count = slots[0] ? PyList_GET_SIZE(slots[0].get()) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* path = PyList_GET_ITEM(slots[0].get(), i);
        if (i > 0) text.push_back(',');
        const int kind = PyUnicode_KIND(path);
        const void* chars = PyUnicode_DATA(path);
        bool after_underscore = false;
        for (Py_ssize_t j = 0; j < PyUnicode_GET_LENGTH(path); ++j) {
            const Py_UCS4 c = PyUnicode_READ(kind, chars, j);
            if (Py_UNICODE_ISUPPER(c)) return Answer::Runtime;
            if (after_underscore) {
                if (c >= 128 || !Py_UNICODE_ISLOWER(c)) return Answer::Runtime;
                text.push_back(c - 'a' + 'A');
                after_underscore = false;
            } else if (c == '_') {
                after_underscore = true;
            } else {
                text.push_back(c);
            }
        }
        if (after_underscore) return Answer::Runtime;
    }
    return made(Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                                     static_cast<Py_ssize_t>(text.size()))),
                out);
}

// A wrapper: the JSON value of its one field, given or not.
Answer wrapper_value(const MessagePlan& plan, const char* data, std::size_t size, int depth,
                     Ref& out) {
    Slots slots(plan.fields.size());
    const Answer done = read_fields(plan, data, size, depth, slots);
    if (done != Answer::Done) return done;
    if (slots[0]) {
        out = std::move(slots[0]);
        return Answer::Done;
    }
    return json_value(plan.fields[0], WireValue{}, depth, out);
}

// Value: what its one member of `kind` holds (null when none is set); a
// number that is not finite is refused by json_format. Struct: the object of
// its map. ListValue: the array of its values.
Answer struct_value(const MessagePlan& plan, const char* data, std::size_t size, int depth,
                    Ref& out) {
    Slots slots(plan.fields.size());
    const Answer done = read_fields(plan, data, size, depth, slots);
    if (done != Answer::Done) return done;
    switch (plan.well_known) {
        case WellKnown::Struct:
            return slots[0] ? map_dict(slots[0].get(), out) : made(Ref::steal(PyDict_New()), out);
        case WellKnown::ListValue:
            return made(slots[0] ? std::move(slots[0]) : Ref::steal(PyList_New(0)), out);
        default: {
            Ref* held = nullptr;
            for (std::size_t i = 0; i < slots.size(); ++i) {
                if (!slots[i]) continue;
                if (held) return Answer::Runtime;  // the runtime's encoding has one member
                held = &slots[i];
            }
            if (!held) return made(Ref::borrow(Py_None), out);
            // number_value: a float, or the text json_value gives NaN and the infinities.
            if (held == &slots[1] && !PyFloat_CheckExact(held->get())) return Answer::Runtime;
            out = std::move(*held);
            return Answer::Done;
        }
    }
}

// Any: {} when nothing is set; else "@type" and then the contents, resolved
// from the type URL as json_format resolves it: a well-known type's form under
// "value", or the fields of any other type, in an OrderedDict.
Answer any_object(const char* data, std::size_t size, int depth, Ref& out) {
    // type_url (field 1) and value (field 2), each given at most once.
    const char* spans[3] = {nullptr, "", ""};
    std::size_t sizes[3] = {0, 0, 0};
    bool seen[3] = {false, false, false};
    wire::Reader in(data, size);
    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return Answer::Runtime;
        if ((number == 1 || number == 2) && wire_type == wire::kLengthDelimited) {
            if (seen[number] || !in.span(spans[number], sizes[number])) return Answer::Runtime;
            seen[number] = true;
        } else if (!in.skip(wire_type, number)) {
            return Answer::Runtime;
        }
    }
    if (!seen[1] && !seen[2]) return made(Ref::steal(PyDict_New()), out);
    const char* value = spans[2];
    const std::size_t value_size = sizes[2];
    Ref type_url;
    Answer done = seen[1] ? text_value(spans[1], sizes[1], type_url) : Answer::Runtime;
    Ref cls;
    PlanRef plan;
    if (done == Answer::Done) done = any_class(type_url.get(), cls, plan);
    if (done != Answer::Done) return done;
    // ParseFromString refuses a message that lacks a required field.
    if (plan->required) return Answer::Runtime;
    const MessagePlan& contents = *plan->messages.front();
    Ref object = new_ordered_dict();
    if (!object || PyObject_SetItem(object.get(), names.at_type, type_url.get()) < 0)
        return Answer::Error;
    if (contents.well_known != WellKnown::None) {
        Ref form;
        if ((done = message_value(contents, value, value_size, depth + 1, form)) != Answer::Done)
            return done;
        if (PyObject_SetItem(object.get(), names.value_key, form.get()) < 0) return Answer::Error;
    } else {
        Slots slots(contents.fields.size());
        if ((done = read_fields(contents, value, value_size, depth + 1, slots)) != Answer::Done ||
            (done = fields_into(contents, slots, object.get())) != Answer::Done)
            return done;
    }
    out = std::move(object);
    return Answer::Done;
}

// A message value at nesting level `depth`: the hook where the message types
// that json_format maps in a form of their own are dispatched; every other
// type is an object of its fields.
Answer message_value(const MessagePlan& plan, const char* data, std::size_t size, int depth,
                     Ref& out) {
    if (depth > kMaxDepth) return Answer::Runtime;
    // The outermost message is read on the stack the call's own level holds.
    std::optional<frame::StackCharge> charge;
    if (depth > 1 && !charge.emplace(" while converting a message to a dict"))
        return frame::runtime_or_error();
    switch (plan.well_known) {
        case WellKnown::None: return read_message(plan, data, size, depth, out);
        case WellKnown::Timestamp:
        case WellKnown::Duration: return time_text(plan.well_known, data, size, out);
        case WellKnown::FieldMask: return field_mask_text(plan, data, size, depth, out);
        case WellKnown::Wrapper: return wrapper_value(plan, data, size, depth, out);
        case WellKnown::Struct:
        case WellKnown::ListValue:
        case WellKnown::Value: return struct_value(plan, data, size, depth, out);
        case WellKnown::Any: return any_object(data, size, depth, out);
    }
    return Answer::Runtime;
}

// method(message), for the class's SerializePartialToString. The runtime's
// own is a C method taking positional and keyword arguments, which is called
// directly with none, as the descriptor's call would; anything else is called
// as it is.
Ref serialize_partial(PyObject* method, PyObject* message) {
    if (Py_IS_TYPE(method, &PyMethodDescr_Type)) {
        PyMethodDef* definition = reinterpret_cast<PyMethodDescrObject*>(method)->d_method;
        if ((definition->ml_flags & ~METH_COEXIST) == (METH_VARARGS | METH_KEYWORDS) &&
            PyObject_TypeCheck(message, PyDescr_TYPE(method))) {
            Ref no_arguments = Ref::steal(PyTuple_New(0));
            if (!no_arguments) return {};
            auto* function = reinterpret_cast<PyCFunctionWithKeywords>(
                reinterpret_cast<void (*)(void)>(definition->ml_meth));
            return Ref::steal(function(message, no_arguments.get(), nullptr));
        }
    }
    return frame::call(method, {message});
}

}  // namespace

Answer message_to_dict(PyObject* message, Ref& result) {
    PlanRef plan = plan_of(Py_TYPE(message));
    if (!plan) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
    if (!plan->supported) return Answer::Runtime;
    Ref wire = serialize_partial(plan->serialize.get(), message);
    if (!wire) return frame::runtime_or_error();
    if (!PyBytes_CheckExact(wire.get())) return Answer::Runtime;
    return message_value(*plan->messages.front(), PyBytes_AS_STRING(wire.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(wire.get())), 1, result);
}

}  // namespace json_mapping
