// What the native JSON mapping knows of a message class: a plan of every
// message and enum type the class reaches, read once from the descriptors and
// kept per class while the class and the types it relies on stay unchanged.
// Shared by the two directions (json_read.cpp, json_write.cpp).
#pragma once

#include "frame/module.h"
#include "frame/outcome.h"
#include "frame/ref.h"
#include "wire_format.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace json_mapping {

// The names the mapping uses, interned once by make_names().
#define JSON_MAPPING_NAMES(X)                                        \
    X(SerializePartialToString, "SerializePartialToString")          \
    X(MergeFromString, "MergeFromString")                            \
    X(Clear, "Clear")                                                \
    X(fields, "fields")                                              \
    X(oneofs, "oneofs")                                              \
    X(name, "name")                                                  \
    X(full_name, "full_name")                                        \
    X(json_name, "json_name")                                        \
    X(number, "number")                                              \
    X(type, "type")                                                  \
    X(is_repeated, "is_repeated")                                    \
    X(containing_oneof, "containing_oneof")                          \
    X(index, "index")                                                \
    X(message_type, "message_type")                                  \
    X(enum_type, "enum_type")                                        \
    X(is_extendable, "is_extendable")                                \
    X(file, "file")                                                  \
    X(serialized_pb, "serialized_pb")                                \
    X(has_options, "has_options")                                    \
    X(GetOptions, "GetOptions")                                      \
    X(map_entry, "map_entry")                                        \
    X(is_closed, "is_closed")                                        \
    X(is_required, "is_required")                                    \
    X(has_presence, "has_presence")                                  \
    X(extension_ranges, "extension_ranges")                          \
    X(message_set_wire_format, "message_set_wire_format")            \
    X(symbol_database, "symbol_database")                            \
    X(message_factory, "message_factory")                            \
    X(Default, "Default")                                            \
    X(pool, "pool")                                                  \
    X(FindMessageTypeByName, "FindMessageTypeByName")                \
    X(GetMessageClass, "GetMessageClass")                            \
    X(SerializeToString, "SerializeToString")                        \
    X(OrderedDict, "OrderedDict")                                    \
    X(collections, "collections")                                    \
    X(at_type, "@type")                                              \
    X(value_key, "value")                                            \
    X(values, "values")                                              \
    X(values_by_number, "values_by_number")                          \
    X(concrete_class, "_concrete_class")                             \
    X(dunder_name, "__name__")                                       \
    X(json_format, "google.protobuf.json_format")                    \
    X(MessageToDict, "MessageToDict")                                \
    X(ParseDict, "ParseDict")                                        \
    X(wrappers_file, "google/protobuf/wrappers.proto")               \
    X(null_value_enum, "google.protobuf.NullValue")                  \
    X(nan, "NaN")                                                    \
    X(infinity, "Infinity")                                          \
    X(negative_infinity, "-Infinity")                                \
    X(text_true, "true")                                             \
    X(text_false, "false")
FRAME_NAMES(Names, JSON_MAPPING_NAMES);

extern Names names;

// Maps from UTF-8 text, found by any view of it.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <class Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

// How deep the native mapping goes into nested messages. Deeper messages and
// dictionaries take the runtime's path, which has its own limits: ParseDict
// refuses 100 levels, and the runtime reads no wire encoding nested deeper.
constexpr int kMaxDepth = 64;

struct EnumPlan {
    bool closed = false;
    bool null_value = false;  // google.protobuf.NullValue: null in JSON, whatever its value
    std::vector<std::pair<std::int32_t, frame::Ref>> names;  // the runtime's name per number, sorted
    frame::Ref numbers;                                      // {name: number}
    TextMap<std::int32_t> utf8_numbers;                      // the same, by UTF-8 text

    // The runtime's name for `number` (borrowed), or null.
    PyObject* name_of(std::int32_t number) const {
        auto found = std::lower_bound(names.begin(), names.end(), number,
                                      [](const auto& entry, std::int32_t n) { return entry.first < n; });
        return found != names.end() && found->first == number ? found->second.get() : nullptr;
    }
};

// Message types that json_format maps in a form of their own rather than as
// an object of their fields: the well-known types it knows by full name, and
// every message of the wrappers' file. The mapping dispatches on this where a
// message value is read or written (message_value in each direction). A type
// of such a name whose fields are not those of the original (a copy declared
// elsewhere) leaves the whole conversion to the runtime.
enum class WellKnown : std::uint8_t {
    None, Any, Duration, FieldMask, ListValue, Struct, Timestamp, Value, Wrapper,
};

struct MessagePlan;

struct FieldPlan {
    std::uint32_t number = 0;
    const wire::FieldTypeInfo* type = &wire::info(wire::kInt32);
    bool repeated = false;
    bool required = false;
    bool map = false;          // a map field: `message` describes its entries
    bool implicit = false;     // a singular field without presence: its zero value is not set
    int oneof = -1;            // index of the containing oneof
    frame::Ref json_name;
    std::string json_key;      // the JSON name as a key of JSON text: "\"name\":"
    const MessagePlan* message = nullptr;
    const EnumPlan* enumeration = nullptr;

    wire::CType ctype() const { return type->ctype; }
};

struct MessagePlan {
    WellKnown well_known = WellKnown::None;
    bool required = false;        // some field is required (proto2, legacy editions)
    bool message_set = false;     // extensions only, in the message-set wire format
    std::vector<std::pair<std::uint32_t, std::uint32_t>> extension_ranges;  // [start, end)
    std::vector<FieldPlan> fields;              // by field number
    std::vector<std::int16_t> by_small_number;  // field index per number below its size, or -1
    frame::Ref keys;    // {field name or JSON name: field index}, as ParseDict finds fields
    frame::Ref names;   // {field name: field index}, as set_message_fields finds fields
    TextMap<std::uint16_t> utf8_names;  // the same, by UTF-8 text
    bool aliased = false;   // some field has two keys
    bool parsable = true;   // ParseDict's bookkeeping of keys is certain to agree

    // The keys of the last dict read by set_message_fields' walk, by place,
    // with the field each named. Records of one source list their keys in one
    // order, often as the same str objects (a literal's, or a parser's cached
    // keys): such a key is known by identity, without a lookup. Held strongly,
    // so an address seen again is the same str; at most one key per field.
    struct SeenKey {
        frame::Ref key;
        std::size_t index = 0;
    };
    mutable std::vector<SeenKey> seen;

    // Whether `number` lies in one of the type's extension ranges: an
    // extension may be set there, which only the runtime's pool knows.
    bool extension_number(std::uint32_t number) const {
        for (const auto& [start, end] : extension_ranges)
            if (number >= start && number < end) return true;
        return false;
    }

    // Index of the field with `number`, or -1.
    int index_of(std::uint32_t number) const {
        if (number < by_small_number.size()) return by_small_number[number];
        auto found = std::lower_bound(fields.begin(), fields.end(), number,
                                      [](const FieldPlan& f, std::uint32_t n) { return f.number < n; });
        return found != fields.end() && found->number == number
                   ? static_cast<int>(found - fields.begin())
                   : -1;
    }
};

// A class the plan relies on, by weak reference, and its version tag then.
struct ClassWatch {
    frame::Ref weak;
    unsigned int tag = 0;
};

// Everything about one message class and every type reachable from it.
struct TypePlan {
    unsigned int tag = 0;       // the class's version tag when the plan was made
    bool supported = false;     // the native mapping answers for this class
    bool parsable = false;      // and its ParseDict too
    bool required = false;      // a type it reaches has required fields
    // The class's SerializePartialToString and MergeFromString, as its
    // attribute lookup finds them (the tag above keeps them so).
    frame::Ref serialize;
    frame::Ref merge;
    std::vector<ClassWatch> nested;  // the classes of the other message types it reaches
    std::vector<std::unique_ptr<MessagePlan>> messages;  // [0] is the class's own type
    std::vector<std::unique_ptr<EnumPlan>> enums;

    // Whether every class the plan relies on is as it was.
    bool current(PyTypeObject* type) const;

    int holders = 0;  // the PlanRefs that share it
};

// Shared ownership of a plan, counted without atomic operations: plans are
// only ever touched with the interpreter lock held. A call holds its plan so,
// since code the interpreter runs meanwhile (a finaliser during a collection)
// may replace or drop the cache's entry.
class PlanRef {
public:
    PlanRef() = default;
    explicit PlanRef(TypePlan* plan) : plan_(plan) { hold(); }
    PlanRef(const PlanRef& other) : plan_(other.plan_) { hold(); }
    PlanRef(PlanRef&& other) noexcept : plan_(std::exchange(other.plan_, nullptr)) {}
    PlanRef& operator=(PlanRef other) noexcept {
        std::swap(plan_, other.plan_);
        return *this;
    }
    ~PlanRef() {
        if (plan_ && --plan_->holders == 0) delete plan_;
    }
    TypePlan* operator->() const { return plan_; }
    TypePlan& operator*() const { return *plan_; }
    explicit operator bool() const { return plan_ != nullptr; }

private:
    void hold() {
        if (plan_) ++plan_->holders;
    }
    TypePlan* plan_ = nullptr;
};

// The plan of a message's class, made on first sight and again whenever a
// class it relies on changed; null with no exception set when the class is
// not the runtime's, or its decision cannot be kept.
PlanRef plan_of(PyTypeObject* type);

// The message class of an Any's type URL, as json_format finds it (the last
// part of the URL, in the default symbol database's pool, its class from the
// message factory, each looked up through json_format's own globals), with its
// plan: Done with both set when the class is the runtime's own and its plan
// supported; Runtime otherwise (the runtime then answers, and raises what it
// raises); Error with an exception set.
frame::Answer any_class(PyObject* type_url, frame::Ref& cls, PlanRef& plan);

// A new collections.OrderedDict, as json_format builds an Any's object; null
// with an exception set.
frame::Ref new_ordered_dict();

}  // namespace json_mapping
