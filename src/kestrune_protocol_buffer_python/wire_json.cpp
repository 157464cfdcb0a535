#include "wire_json.h"

#include "json_text.h"

#include "frame/recursion.h"

#include <optional>

namespace wire_json {
namespace {

using frame::Answer;
using json_mapping::FieldPlan;
using json_mapping::MessagePlan;
using wire::CType;

Answer message(const MessagePlan& plan, const char* data, std::size_t size, int depth,
               std::string& out);

// One number of `field` from the wire, as the bits of its C type: an integer
// of 32 bits keeps its low 32 bits, as the runtime stores it.
bool read_number(wire::Reader& in, const FieldPlan& field, std::uint64_t& bits) {
    std::uint64_t raw;
    if (!in.number(*field.type, raw)) return false;
    bits = wire::decoded(*field.type, raw);
    switch (field.ctype()) {
        case CType::Int32: case CType::Enum:
            bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(bits)));
            break;
        case CType::UInt32: bits = static_cast<std::uint32_t>(bits); break;
        case CType::Bool: bits = bits != 0; break;
        default: break;
    }
    return true;
}

// The JSON value of a number of `field`; Runtime for a value the bytes leave
// uncertain.
Answer number_value(const FieldPlan& field, std::uint64_t bits, std::string& out) {
    switch (field.ctype()) {
        case CType::Int32:
            json_text::signed_integer(out, static_cast<std::int64_t>(bits));
            return Answer::Done;
        case CType::UInt32:
            json_text::unsigned_integer(out, bits);
            return Answer::Done;
        case CType::Int64:
            out.push_back('"');
            json_text::signed_integer(out, static_cast<std::int64_t>(bits));
            out.push_back('"');
            return Answer::Done;
        case CType::UInt64:
            out.push_back('"');
            json_text::unsigned_integer(out, bits);
            out.push_back('"');
            return Answer::Done;
        case CType::Bool:
            out.append(bits ? "true" : "false");
            return Answer::Done;
        case CType::Enum: {
            const json_mapping::EnumPlan& enumeration = *field.enumeration;
            if (enumeration.null_value) return Answer::Runtime;
            const auto value = static_cast<std::int32_t>(bits);
            if (PyObject* name = enumeration.name_of(value)) {
                Py_ssize_t size;
                const char* text = PyUnicode_AsUTF8AndSize(name, &size);
                if (!text) return frame::runtime_or_error();
                json_text::quoted(out, text, static_cast<std::size_t>(size));
                return Answer::Done;
            }
            if (enumeration.closed) return Answer::Runtime;  // kept among the unknown fields
            json_text::signed_integer(out, value);
            return Answer::Done;
        }
        default:
            return Answer::Runtime;  // floating point
    }
}

// One length-delimited value of `field`.
Answer span_value(const FieldPlan& field, const char* data, std::size_t size, int depth,
                  std::string& out) {
    switch (field.ctype()) {
        case CType::String:
            if (!json_text::valid_utf8(data, size)) return Answer::Runtime;
            json_text::quoted(out, data, size);
            return Answer::Done;
        case CType::Bytes:
            json_text::base64_quoted(out, data, size);
            return Answer::Done;
        case CType::Message:
            return message(*field.message, data, size, depth + 1, out);
        default:
            return Answer::Runtime;
    }
}

// Whether a singular value without presence is its type's zero, which the
// runtime does not set (MessageToDict then leaves the field out).
bool zero_number(std::uint64_t bits) { return bits == 0; }

Answer message(const MessagePlan& plan, const char* data, std::size_t size, int depth,
               std::string& out) {
    if (plan.well_known != json_mapping::WellKnown::None || plan.message_set ||
        depth > json_mapping::kMaxDepth)
        return Answer::Runtime;
    // The outermost message is written on the stack of the caller's level.
    std::optional<frame::StackCharge> charge;
    if (depth > 1 && !charge.emplace(" while writing JSON text")) return frame::runtime_or_error();

    wire::Reader in(data, size);
    out.push_back('{');
    bool first = true;
    std::uint32_t last = 0;        // the field number read last
    std::uint64_t oneofs = 0;      // the oneofs one of whose members was read
    std::size_t array_start = 0;   // where the open array's key begins
    std::size_t items = 0;         // values in the open array
    bool array_open = false;

    // Starts a member: the comma before all but the first, and the key.
    auto key = [&](const FieldPlan& field) {
        if (!first) out.push_back(',');
        first = false;
        out.append(field.json_key);
    };
    // Ends the open array; an empty one (a packed run of no values) is no member.
    auto close_array = [&]() {
        if (!array_open) return;
        array_open = false;
        if (items) {
            out.push_back(']');
        } else {
            out.resize(array_start);
            first = out.back() == '{';
        }
    };

    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return Answer::Runtime;
        const int index = plan.index_of(number);
        if (index < 0) return Answer::Runtime;  // an unknown field
        const FieldPlan& field = plan.fields[static_cast<std::size_t>(index)];
        if (field.map || field.type->type == wire::kGroup) return Answer::Runtime;
        if (number < last || (number == last && !field.repeated)) return Answer::Runtime;
        if (number != last) {
            close_array();
            last = number;
            if (field.oneof >= 0) {
                if (field.oneof >= 64 || (oneofs >> field.oneof & 1)) return Answer::Runtime;
                oneofs |= std::uint64_t{1} << field.oneof;
            }
            if (field.repeated) {
                array_start = out.size();
                key(field);
                out.push_back('[');
                items = 0;
                array_open = true;
            }
        }

        if (!field.repeated) {
            if (wire_type != field.type->wire) return Answer::Runtime;
            if (wire_type == wire::kLengthDelimited) {
                const char* value;
                std::size_t length;
                if (!in.span(value, length)) return Answer::Runtime;
                if (field.implicit && length == 0) continue;
                key(field);
                const Answer done = span_value(field, value, length, depth, out);
                if (done != Answer::Done) return done;
            } else {
                std::uint64_t bits;
                if (!read_number(in, field, bits)) return Answer::Runtime;
                if (field.implicit && zero_number(bits)) continue;
                key(field);
                const Answer done = number_value(field, bits, out);
                if (done != Answer::Done) return done;
            }
            continue;
        }

        if (wire_type == field.type->wire && wire_type == wire::kLengthDelimited) {
            const char* value;
            std::size_t length;
            if (!in.span(value, length)) return Answer::Runtime;
            if (items++) out.push_back(',');
            const Answer done = span_value(field, value, length, depth, out);
            if (done != Answer::Done) return done;
        } else if (wire_type == field.type->wire) {
            std::uint64_t bits;
            if (!read_number(in, field, bits)) return Answer::Runtime;
            if (items++) out.push_back(',');
            const Answer done = number_value(field, bits, out);
            if (done != Answer::Done) return done;
        } else if (wire_type == wire::kLengthDelimited && field.type->packable) {
            const char* run;
            std::size_t length;
            if (!in.span(run, length)) return Answer::Runtime;
            wire::Reader packed(run, length);
            while (!packed.done()) {
                std::uint64_t bits;
                if (!read_number(packed, field, bits)) return Answer::Runtime;
                if (items++) out.push_back(',');
                const Answer done = number_value(field, bits, out);
                if (done != Answer::Done) return done;
            }
        } else {
            return Answer::Runtime;
        }
    }
    close_array();
    out.push_back('}');
    return Answer::Done;
}

}  // namespace

Answer write_message(const MessagePlan& plan, const char* data, std::size_t size, std::string& out) {
    const std::size_t start = out.size();
    const Answer done = message(plan, data, size, 1, out);
    if (done != Answer::Done) out.resize(start);
    return done;
}

}  // namespace wire_json
