// The protobuf wire format: field types, wire types, a reader and a writer.
//
// Each field type is described once, in kFieldTypes: the C type its values
// take in memory (which fixes their range and their JSON form), its wire
// type, whether its numbers are zigzag-encoded, whether a repeated field of it
// may be packed, and whether a map key may be of it. Code that works on field
// values switches over the C type; the wire type and encoding come from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace wire {

// FieldDescriptor.TYPE_* (the numbers of descriptor.proto).
enum FieldType : std::uint8_t {
    kDouble = 1, kFloat = 2, kInt64 = 3, kUInt64 = 4, kInt32 = 5, kFixed64 = 6, kFixed32 = 7,
    kBool = 8, kString = 9, kGroup = 10, kMessage = 11, kBytes = 12, kUInt32 = 13, kEnum = 14,
    kSFixed32 = 15, kSFixed64 = 16, kSInt32 = 17, kSInt64 = 18,
};
constexpr int kMaxFieldType = kSInt64;

enum WireType : std::uint32_t {
    kVarint = 0, kFixed64Wire = 1, kLengthDelimited = 2, kStartGroup = 3, kEndGroup = 4,
    kFixed32Wire = 5,
};

// A value's type in memory. Integers of 32 and 64 bits, signed and not, have
// the ranges of their C types; the JSON mapping writes 32-bit integers as
// numbers and 64-bit ones as decimal text, floats as numbers (NaN and the
// infinities as text), bytes as base64 text and enums by value name.
enum class CType : std::uint8_t {
    Bool, Float, Double, Int32, UInt32, Int64, UInt64, Enum, String, Bytes, Message,
};

struct FieldTypeInfo {
    FieldType type;
    CType ctype;
    WireType wire;
    bool zigzag;    // sint32, sint64
    bool packable;  // a repeated field may be written as one length-delimited run
    bool map_key;   // allowed as the key of a map
};

inline constexpr std::array<FieldTypeInfo, kMaxFieldType + 1> kFieldTypes = {{
    {},  // no type 0
    {.type = kDouble, .ctype = CType::Double, .wire = kFixed64Wire, .zigzag = false, .packable = true, .map_key = false},
    {.type = kFloat, .ctype = CType::Float, .wire = kFixed32Wire, .zigzag = false, .packable = true, .map_key = false},
    {.type = kInt64, .ctype = CType::Int64, .wire = kVarint, .zigzag = false, .packable = true, .map_key = true},
    {.type = kUInt64, .ctype = CType::UInt64, .wire = kVarint, .zigzag = false, .packable = true, .map_key = true},
    {.type = kInt32, .ctype = CType::Int32, .wire = kVarint, .zigzag = false, .packable = true, .map_key = true},
    {.type = kFixed64, .ctype = CType::UInt64, .wire = kFixed64Wire, .zigzag = false, .packable = true, .map_key = true},
    {.type = kFixed32, .ctype = CType::UInt32, .wire = kFixed32Wire, .zigzag = false, .packable = true, .map_key = true},
    {.type = kBool, .ctype = CType::Bool, .wire = kVarint, .zigzag = false, .packable = true, .map_key = true},
    {.type = kString, .ctype = CType::String, .wire = kLengthDelimited, .zigzag = false, .packable = false, .map_key = true},
    {.type = kGroup, .ctype = CType::Message, .wire = kStartGroup, .zigzag = false, .packable = false, .map_key = false},
    {.type = kMessage, .ctype = CType::Message, .wire = kLengthDelimited, .zigzag = false, .packable = false, .map_key = false},
    {.type = kBytes, .ctype = CType::Bytes, .wire = kLengthDelimited, .zigzag = false, .packable = false, .map_key = false},
    {.type = kUInt32, .ctype = CType::UInt32, .wire = kVarint, .zigzag = false, .packable = true, .map_key = true},
    {.type = kEnum, .ctype = CType::Enum, .wire = kVarint, .zigzag = false, .packable = true, .map_key = false},
    {.type = kSFixed32, .ctype = CType::Int32, .wire = kFixed32Wire, .zigzag = false, .packable = true, .map_key = true},
    {.type = kSFixed64, .ctype = CType::Int64, .wire = kFixed64Wire, .zigzag = false, .packable = true, .map_key = true},
    {.type = kSInt32, .ctype = CType::Int32, .wire = kVarint, .zigzag = true, .packable = true, .map_key = true},
    {.type = kSInt64, .ctype = CType::Int64, .wire = kVarint, .zigzag = true, .packable = true, .map_key = true},
}};

constexpr bool table_in_order() {
    for (int i = 1; i <= kMaxFieldType; ++i)
        if (kFieldTypes[static_cast<std::size_t>(i)].type != i) return false;
    return true;
}
static_assert(table_in_order(), "kFieldTypes lists the field types by number");

constexpr const FieldTypeInfo& info(FieldType type) { return kFieldTypes[type]; }

// The largest magnitude of a value of an integer C type: below zero, and above
// (0 below zero: unsigned).
struct IntegerRange {
    std::uint64_t negative;
    std::uint64_t positive;
};

constexpr IntegerRange range_of(CType ctype) {
    switch (ctype) {
        case CType::Int32: case CType::Enum: return {0x80000000u, 0x7fffffffu};
        case CType::UInt32: return {0, 0xffffffffu};
        case CType::Int64: return {0x8000000000000000u, 0x7fffffffffffffffu};
        case CType::Bool: return {0, 1};
        default: return {0, ~std::uint64_t{0}};
    }
}

// The value of a number field as the wire carries it (`raw`: the varint or
// the fixed-size bits), as two's complement bits of its C type, zigzag undone.
constexpr std::uint64_t decoded(const FieldTypeInfo& type, std::uint64_t raw) {
    if (!type.zigzag) return raw;
    if (type.ctype == CType::Int32) {
        const auto bits = static_cast<std::uint32_t>(raw);
        return static_cast<std::uint64_t>(
            static_cast<std::int64_t>(static_cast<std::int32_t>((bits >> 1) ^ (0u - (bits & 1)))));
    }
    return (raw >> 1) ^ (0 - (raw & 1));
}

// The wire form of a number given as two's complement bits of its C type.
constexpr std::uint64_t encoded(const FieldTypeInfo& type, std::uint64_t bits) {
    if (!type.zigzag) return bits;
    if (type.ctype == CType::Int32) {
        const auto n = static_cast<std::uint32_t>(bits);
        return (n << 1) ^ (0u - (n >> 31));
    }
    return (bits << 1) ^ (0 - (bits >> 63));
}

// How deep groups may nest inside one value the reader passes over.
constexpr std::size_t kMaxGroupDepth = 64;

// Reads the wire format from a buffer; each call returns false when the bytes
// end too soon or are malformed.
class Reader {
public:
    Reader(const char* data, std::size_t size)
        : p_(reinterpret_cast<const std::uint8_t*>(data)), end_(p_ + size) {}

    bool done() const { return p_ == end_; }

    // A varint of at most ten bytes, the last adding no bits beyond 64 (the
    // callers leave longer or wider ones to the runtime).
    bool varint(std::uint64_t& value) {
        std::uint64_t result = 0;
        for (int shift = 0; shift < 64 && p_ != end_; shift += 7) {
            const std::uint8_t byte = *p_++;
            if (shift == 63 && byte > 1) return false;
            result |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (byte < 0x80) {
                value = result;
                return true;
            }
        }
        return false;
    }

    bool tag(std::uint32_t& number, std::uint32_t& wire_type) {
        std::uint64_t tag;
        if (!varint(tag) || tag > 0xffffffffu || (tag >> 3) == 0) return false;
        number = static_cast<std::uint32_t>(tag >> 3);
        wire_type = static_cast<std::uint32_t>(tag & 7);
        return true;
    }

    bool fixed(int size, std::uint64_t& value) {
        if (end_ - p_ < size) return false;
        value = 0;
        for (int i = size - 1; i >= 0; --i) value = (value << 8) | p_[i];
        p_ += size;
        return true;
    }

    bool span(const char*& data, std::size_t& size) {
        std::uint64_t length;
        if (!varint(length) || length > static_cast<std::uint64_t>(end_ - p_)) return false;
        data = reinterpret_cast<const char*>(p_);
        size = static_cast<std::size_t>(length);
        p_ += size;
        return true;
    }

    // One number of a field of `type` in its own wire type, not yet decoded.
    bool number(const FieldTypeInfo& type, std::uint64_t& raw) {
        switch (type.wire) {
            case kVarint: return varint(raw);
            case kFixed64Wire: return fixed(8, raw);
            default: return fixed(4, raw);
        }
    }

    // The fields of a group whose start tag, of field `number`, was just
    // read: what lies before its end tag, which is passed over too.
    bool group(std::uint32_t number, const char*& data, std::size_t& size) {
        const std::uint8_t* start = p_;
        while (true) {
            const std::uint8_t* before = p_;
            std::uint32_t inner, inner_type;
            if (!tag(inner, inner_type)) return false;
            if (inner_type == kEndGroup) {
                if (inner != number) return false;
                data = reinterpret_cast<const char*>(start);
                size = static_cast<std::size_t>(before - start);
                return true;
            }
            if (!skip(inner_type, inner)) return false;
        }
    }

    // Passes over one value of `wire_type`; a group with everything in it.
    bool skip(std::uint32_t wire_type, std::uint32_t number) {
        std::uint64_t ignored;
        const char* data;
        std::size_t size;
        switch (wire_type) {
            case kVarint: return varint(ignored);
            case kFixed64Wire: return fixed(8, ignored);
            case kFixed32Wire: return fixed(4, ignored);
            case kLengthDelimited: return span(data, size);
            case kStartGroup: {
                std::vector<std::uint32_t> open{number};
                while (!open.empty()) {
                    std::uint32_t inner, inner_type;
                    if (!tag(inner, inner_type)) return false;
                    if (inner_type == kEndGroup) {
                        if (inner != open.back()) return false;
                        open.pop_back();
                    } else if (inner_type == kStartGroup) {
                        if (open.size() >= kMaxGroupDepth) return false;
                        open.push_back(inner);
                    } else if (!skip(inner_type, inner)) {
                        return false;
                    }
                }
                return true;
            }
            default: return false;
        }
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Appends the varint of `value` to `out`.
inline void append_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// Writes the wire format into a growing buffer.
class Writer {
public:
    std::string bytes;

    void varint(std::uint64_t value) { append_varint(bytes, value); }
    void tag(std::uint32_t number, WireType type) {
        varint((static_cast<std::uint64_t>(number) << 3) | type);
    }
    void fixed(int size, std::uint64_t value) {
        for (int i = 0; i < size; ++i, value >>= 8)
            bytes.push_back(static_cast<char>(value & 0xff));
    }
    void span(const char* data, std::size_t size) {
        varint(size);
        bytes.append(data, size);
    }
    // One number of a field of `type`, given as two's complement bits of its C type.
    void number(const FieldTypeInfo& type, std::uint64_t bits) {
        switch (type.wire) {
            case kVarint: varint(encoded(type, bits)); break;
            case kFixed64Wire: fixed(8, bits); break;
            default: fixed(4, bits & 0xffffffffu);
        }
    }
    // A length-delimited value written in place: open() before it, close() after.
    std::size_t open() {
        bytes.push_back(0);
        return bytes.size();
    }
    void close(std::size_t start) {
        std::size_t length = bytes.size() - start;
        if (length < 0x80) {
            bytes[start - 1] = static_cast<char>(length);
            return;
        }
        char prefix[10];
        std::size_t n = 0;
        for (; length >= 0x80; length >>= 7) prefix[n++] = static_cast<char>(length | 0x80);
        prefix[n++] = static_cast<char>(length);
        bytes.replace(start - 1, 1, prefix, n);
    }
};

}  // namespace wire
