#include "json_mapping.h"

#include "frame/class_cache.h"
#include "frame/module.h"
#include "frame/ops.h"
#include "frame/recursion.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace json_mapping {
namespace {

using frame::Ref;

struct Names {
    PyObject* SerializePartialToString;
    PyObject* MergeFromString;
    PyObject* Clear;
    PyObject* DESCRIPTOR;
    PyObject* fields;
    PyObject* oneofs;
    PyObject* name;
    PyObject* json_name;
    PyObject* number;
    PyObject* type;
    PyObject* is_repeated;
    PyObject* containing_oneof;
    PyObject* index;
    PyObject* message_type;
    PyObject* enum_type;
    PyObject* is_extendable;
    PyObject* file;
    PyObject* serialized_pb;
    PyObject* has_options;
    PyObject* GetOptions;
    PyObject* map_entry;
    PyObject* is_closed;
    PyObject* values;
    PyObject* values_by_number;
    PyObject* concrete_class;
    PyObject* dunder_name;
    PyObject* dunder_module;
    PyObject* dunder_qualname;
    PyObject* dunder_doc;
    PyObject* dunder_slots;
    PyObject* json_format;
    PyObject* MessageToDict;
    PyObject* ParseDict;
    PyObject* well_known_prefix;
    PyObject* well_known_package;
    PyObject* full_name;
    PyObject* nan;
    PyObject* infinity;
    PyObject* negative_infinity;
    PyObject* text_true;
    PyObject* text_false;
} names;

// How deep the native mapping goes into nested messages. Deeper messages and
// dictionaries take the runtime's path, which has its own limits: ParseDict
// refuses 100 levels, and the runtime reads no wire encoding nested deeper.
constexpr int kMaxDepth = 64;

// Whether the exception that is set is an ordinary failure that the runtime's
// own call may report in its own way: not an interrupt, an exit or running
// out of memory.
bool recoverable() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// Turns an ordinary failure into "the runtime answers" (no exception set).
// Always returns false.
bool leave_to_runtime() {
    if (recoverable()) PyErr_Clear();
    return false;
}

// ---- json_format's own functions -------------------------------------------------------

// A function and what it held when recorded, all strong references (so that
// no other object can take the address of a replaced one). The keyword
// defaults are a dict that may be changed in place, so a copy of its contents
// is kept as well.
struct RuntimeFunction {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;
    PyObject* kwdefaults_copy = nullptr;
};

RuntimeFunction runtime_message_to_dict;
RuntimeFunction runtime_parse_dict;

// Records `function` when it is the function `name` of json_format itself.
void remember(RuntimeFunction& slot, PyObject* function, PyObject* name) {
    if (slot.function || !function || !PyFunction_Check(function)) return;
    PyObject* globals = PyFunction_GET_GLOBALS(function);
    PyObject* module_name = PyDict_GetItemWithError(globals, names.dunder_name);
    PyObject* function_name = reinterpret_cast<PyFunctionObject*>(function)->func_name;
    if (!module_name || !PyUnicode_Check(module_name) ||
        PyUnicode_Compare(module_name, names.json_format) != 0 ||
        PyUnicode_Compare(function_name, name) != 0) {
        PyErr_Clear();
        return;
    }
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(function);
    PyObject* copy = nullptr;
    if (kwdefaults) {
        if (!PyDict_CheckExact(kwdefaults) || !(copy = PyDict_Copy(kwdefaults))) {
            PyErr_Clear();
            return;
        }
    }
    slot.function = Py_NewRef(function);
    slot.code = Py_XNewRef(PyFunction_GET_CODE(function));
    slot.defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(function));
    slot.kwdefaults = Py_XNewRef(kwdefaults);
    slot.kwdefaults_copy = copy;
}

// Whether the dict `current` holds the very values of `recorded` under the
// same keys, and nothing else.
bool same_contents(PyObject* current, PyObject* recorded) {
    if (!current || !recorded) return current == recorded;
    if (PyDict_GET_SIZE(current) != PyDict_GET_SIZE(recorded)) return false;
    // A key put in by the program may compare with code of its own, which
    // could drop the dict meanwhile.
    Ref held = Ref::borrow(current);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(recorded, &pos, &key, &value)) {
        if (PyDict_GetItemWithError(current, key) != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

bool is_unchanged(const RuntimeFunction& slot, PyObject* function) {
    return function && function == slot.function && PyFunction_GET_CODE(function) == slot.code &&
           PyFunction_GET_DEFAULTS(function) == slot.defaults &&
           PyFunction_GET_KW_DEFAULTS(function) == slot.kwdefaults &&
           same_contents(slot.kwdefaults, slot.kwdefaults_copy);
}

// ---- the runtime's own message classes ----------------------------------------------------
//
// The native mapping answers only for classes that the runtime's metaclass
// made directly on its compiled message base, with nothing added that hides
// an attribute of the base (a method, say), and with the base's attribute
// access. Such a class behaves as the runtime does, and it stays so while its
// type version tag stays the same: the interpreter gives a class a new tag
// whenever the class or one of its bases is changed.

PyTypeObject* message_base = nullptr;  // strong, found by name once
PyTypeObject* message_meta = nullptr;  // strong

// Whether `type` was made by the runtime's metaclass on its message base.
bool made_by_runtime(PyTypeObject* type) {
    if (!message_base) {
        PyTypeObject* base = type->tp_base;
        if (!base || std::strcmp(base->tp_name, "google._upb._message.Message") != 0 ||
            std::strcmp(Py_TYPE(type)->tp_name, "google._upb._message.MessageMeta") != 0)
            return false;
        message_base = reinterpret_cast<PyTypeObject*>(Py_NewRef(base));
        message_meta = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(type)));
    }
    return type->tp_base == message_base && Py_TYPE(type) == message_meta;
}

// The class's version tag, given one now if it has none; 0 when it cannot
// have one (the interpreter ran out of tags).
unsigned int version_tag(PyTypeObject* type) {
    _PyType_Lookup(type, names.DESCRIPTOR);  // a lookup assigns a tag
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

bool tag_is(PyTypeObject* type, unsigned int tag) {
    return tag && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == tag;
}

// The runtime's descriptor of a class that is exactly the runtime's (a
// borrowed reference), or null with no exception set.
PyObject* runtime_descriptor(PyTypeObject* type) {
    if (!made_by_runtime(type) || type->tp_getattro != message_base->tp_getattro ||
        type->tp_setattro != message_base->tp_setattro || !type->tp_mro ||
        PyTuple_GET_SIZE(type->tp_mro) != 4)  // the class, the base, its abstract base, object
        return nullptr;
    PyObject* descriptor = nullptr;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    const auto is = [](PyObject* key, PyObject* name) {
        return key == name || PyUnicode_Compare(key, name) == 0;
    };
    while (PyDict_Next(type->tp_dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return nullptr;
        if (is(key, names.DESCRIPTOR)) {
            descriptor = value;
            continue;
        }
        if (is(key, names.dunder_module) || is(key, names.dunder_qualname) ||
            is(key, names.dunder_doc) || is(key, names.dunder_slots))
            continue;
        // Nested classes and enum constants hide nothing; a method would.
        if (_PyType_Lookup(message_base, key)) return nullptr;
    }
    if (!descriptor || std::strcmp(Py_TYPE(descriptor)->tp_name, "google._upb._message.Descriptor"))
        return nullptr;
    return descriptor;
}

// ---- what the mapping knows of a message type ---------------------------------------------

// FieldDescriptor.TYPE_* (the numbers of descriptor.proto).
enum FieldType : std::uint8_t {
    kDouble = 1, kFloat = 2, kInt64 = 3, kUInt64 = 4, kInt32 = 5, kFixed64 = 6, kFixed32 = 7,
    kBool = 8, kString = 9, kGroup = 10, kMessage = 11, kBytes = 12, kUInt32 = 13, kEnum = 14,
    kSFixed32 = 15, kSFixed64 = 16, kSInt32 = 17, kSInt64 = 18,
};

enum WireType : std::uint32_t {
    kVarint = 0, kWireFixed64 = 1, kLengthDelimited = 2, kStartGroup = 3, kEndGroup = 4,
    kWireFixed32 = 5,
};

constexpr WireType wire_type_of(FieldType type) {
    switch (type) {
        case kDouble: case kFixed64: case kSFixed64: return kWireFixed64;
        case kFloat: case kFixed32: case kSFixed32: return kWireFixed32;
        case kString: case kBytes: case kMessage: return kLengthDelimited;
        default: return kVarint;
    }
}

// Repeated fields of these types may be written packed.
constexpr bool packable(FieldType type) { return wire_type_of(type) != kLengthDelimited; }

// The types a map key may have: integers, bool and string.
constexpr bool key_type(FieldType type) {
    return type != kDouble && type != kFloat && type != kBytes && type != kMessage && type != kEnum &&
           type != kGroup;
}

struct EnumPlan {
    bool closed = false;
    std::vector<std::pair<std::int32_t, Ref>> names;  // the runtime's name per number, sorted
    Ref numbers;                                      // {name: number}

    // The runtime's name for `number` (borrowed), or null.
    PyObject* name_of(std::int32_t number) const {
        auto found = std::lower_bound(names.begin(), names.end(), number,
                                      [](const auto& entry, std::int32_t n) { return entry.first < n; });
        return found != names.end() && found->first == number ? found->second.get() : nullptr;
    }
};

struct MessagePlan;

struct FieldPlan {
    std::uint32_t number = 0;
    FieldType type = kInt32;
    bool repeated = false;
    bool map = false;          // a map field: `message` describes its entries
    int oneof = -1;            // index of the containing oneof
    Ref json_name;
    const MessagePlan* message = nullptr;
    const EnumPlan* enumeration = nullptr;
};

struct MessagePlan {
    std::vector<FieldPlan> fields;     // by field number
    std::vector<std::int16_t> by_small_number;  // field index per number below its size, or -1
    Ref keys;                          // {field name or JSON name: field index}, as ParseDict finds fields
    bool aliased = false;              // some field has two keys
    bool parsable = true;              // ParseDict's bookkeeping of keys is certain to agree

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
    Ref weak;
    unsigned int tag = 0;
};

// Everything about one message class and every type reachable from it.
struct TypePlan {
    unsigned int tag = 0;       // the class's version tag when the plan was made
    bool supported = false;     // the native mapping answers for this class
    bool parsable = false;      // and its ParseDict too
    std::vector<ClassWatch> nested;  // the classes of the other message types it reaches
    std::vector<std::unique_ptr<MessagePlan>> messages;  // [0] is the class's own type
    std::vector<std::unique_ptr<EnumPlan>> enums;

    // Whether every class the plan relies on is as it was.
    bool current(PyTypeObject* type) const {
        if (!tag_is(type, tag)) return false;
        for (const ClassWatch& watch : nested) {
            PyObject* cls = PyWeakref_GET_OBJECT(watch.weak.get());
            if (cls == Py_None || !tag_is(reinterpret_cast<PyTypeObject*>(cls), watch.tag))
                return false;
        }
        return true;
    }
};

// ---- reading the wire encoding ----------------------------------------------------------

class Reader {
public:
    Reader(const char* data, std::size_t size)
        : p_(reinterpret_cast<const std::uint8_t*>(data)), end_(p_ + size) {}

    bool done() const { return p_ == end_; }

    bool varint(std::uint64_t& value) {
        std::uint64_t result = 0;
        for (int shift = 0; shift < 64 && p_ != end_; shift += 7) {
            const std::uint8_t byte = *p_++;
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

    // Passes over one value of `wire_type`; a group with everything in it.
    bool skip(std::uint32_t wire_type, std::uint32_t number) {
        std::uint64_t ignored;
        const char* data;
        std::size_t size;
        switch (wire_type) {
            case kVarint: return varint(ignored);
            case kWireFixed64: return fixed(8, ignored);
            case kWireFixed32: return fixed(4, ignored);
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
                        if (open.size() >= kMaxDepth) return false;
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

// Whether a file is a proto2 or proto3 file (not one of editions): the syntax
// field (12) of its serialized FileDescriptorProto. 1, 0, or -1 with an
// exception set.
int classic_syntax(PyObject* file) {
    Ref serialized = frame::get_attr(file, names.serialized_pb);
    if (!serialized) return -1;
    if (!PyBytes_Check(serialized.get())) return 0;
    Reader in(PyBytes_AS_STRING(serialized.get()),
              static_cast<std::size_t>(PyBytes_GET_SIZE(serialized.get())));
    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return 0;
        if (number == 12 && wire_type == kLengthDelimited) {
            const char* text;
            std::size_t size;
            if (!in.span(text, size)) return 0;
            const std::string_view syntax(text, size);
            return syntax == "proto2" || syntax == "proto3";
        }
        if (!in.skip(wire_type, number)) return 0;
    }
    return 1;  // no syntax: proto2
}

// ---- building a plan ----------------------------------------------------------------------
//
// Reads the descriptors once, breadth first over every message type a class
// reaches (so a deep schema needs no deep C stack). A type the native mapping
// does not know makes the whole plan unsupported.

class PlanBuilder {
public:
    PlanBuilder(TypePlan& plan, PyTypeObject* type) : plan_(plan), type_(type) {}

    // 1 when every reachable type is supported, 0 when one is not, -1 with an
    // exception set.
    int build(PyObject* descriptor) {
        if (!plan_for(descriptor, false)) return -1;
        for (std::size_t next = 0; next < pending_.size(); ++next) {
            const int done =
                fill_plan(pending_[next].first.get(), *pending_[next].second, entries_[next]);
            if (done <= 0) return done;
        }
        return 1;
    }

private:
    // The plan of a message type, made empty and queued on first sight.
    MessagePlan* plan_for(PyObject* descriptor, bool map_entry) {
        if (auto found = by_descriptor_.find(descriptor); found != by_descriptor_.end())
            return found->second;
        plan_.messages.push_back(std::make_unique<MessagePlan>());
        MessagePlan* plan = plan_.messages.back().get();
        by_descriptor_.emplace(descriptor, plan);
        pending_.emplace_back(Ref::borrow(descriptor), plan);
        entries_.push_back(map_entry);
        return plan;
    }

    // 1 when the type is not one that json_format maps in its own way, and its
    // file is not of editions. json_format knows the well-known types by full
    // name (and the wrappers by their file's name), so a copy of one declared
    // in another file is as special as the original.
    int type_supported(PyObject* descriptor) {
        Ref full_name = frame::get_attr(descriptor, names.full_name);
        if (!full_name) return -1;
        if (!PyUnicode_Check(full_name.get())) return 0;
        const Py_ssize_t well_known = PyUnicode_Tailmatch(full_name.get(), names.well_known_package,
                                                          0, PY_SSIZE_T_MAX, -1);
        if (well_known != 0) return well_known < 0 ? -1 : 0;
        return file_supported(descriptor);
    }

    // 1 when the type's file is neither a well-known type's nor of editions.
    int file_supported(PyObject* descriptor) {
        Ref file = frame::get_attr(descriptor, names.file);
        if (!file) return -1;
        if (auto found = files_.find(file.get()); found != files_.end()) return found->second;
        Ref file_name = frame::get_attr(file.get(), names.name);
        if (!file_name) return -1;
        const Py_ssize_t well_known =
            PyUnicode_Check(file_name.get())
                ? PyUnicode_Tailmatch(file_name.get(), names.well_known_prefix, 0, PY_SSIZE_T_MAX, -1)
                : 1;
        if (well_known < 0) return -1;
        const int supported = well_known ? 0 : classic_syntax(file.get());
        if (supported < 0) return -1;
        held_.push_back(Ref::borrow(file.get()));
        files_.emplace(file.get(), supported);
        return supported;
    }

    int enum_plan(PyObject* descriptor, const EnumPlan*& out) {
        if (auto found = enums_.find(descriptor); found != enums_.end()) {
            out = found->second;
            return 1;
        }
        const int type_ok = type_supported(descriptor);
        if (type_ok <= 0) return type_ok;
        auto plan = std::make_unique<EnumPlan>();
        Ref closed = frame::get_attr(descriptor, names.is_closed);
        Ref values = closed ? frame::get_attr(descriptor, names.values) : Ref();
        Ref by_number = values ? frame::get_attr(descriptor, names.values_by_number) : Ref();
        Ref iterator = by_number ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
        plan->numbers = Ref::steal(PyDict_New());
        if (!iterator || !plan->numbers) return -1;
        const int is_closed = PyObject_IsTrue(closed.get());
        if (is_closed < 0) return -1;
        plan->closed = is_closed;
        std::unordered_map<std::int32_t, Ref> by_value;
        while (Ref value = Ref::steal(PyIter_Next(iterator.get()))) {
            // A value with options may carry a JSON name of its own.
            Ref has_options = frame::get_attr(value.get(), names.has_options);
            if (!has_options) return -1;
            if (has_options.get() != Py_False) return 0;
            Ref name = frame::get_attr(value.get(), names.name);
            Ref number = name ? frame::get_attr(value.get(), names.number) : Ref();
            if (!number) return -1;
            if (!PyUnicode_CheckExact(name.get()) || !PyLong_CheckExact(number.get())) return 0;
            if (PyDict_SetItem(plan->numbers.get(), name.get(), number.get()) < 0) return -1;
            const long n = PyLong_AsLong(number.get());
            if (n == -1 && PyErr_Occurred()) return -1;
            // Aliases share a number; the runtime names it as values_by_number does.
            if (by_value.count(static_cast<std::int32_t>(n))) continue;
            Ref runtime_value = Ref::steal(PyObject_GetItem(by_number.get(), number.get()));
            Ref runtime_name = runtime_value ? frame::get_attr(runtime_value.get(), names.name) : Ref();
            if (!runtime_name) return -1;
            if (!PyUnicode_CheckExact(runtime_name.get())) return 0;
            by_value.emplace(static_cast<std::int32_t>(n), std::move(runtime_name));
        }
        if (PyErr_Occurred()) return -1;
        for (auto& [number, name] : by_value) plan->names.emplace_back(number, std::move(name));
        std::sort(plan->names.begin(), plan->names.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        out = plan.get();
        held_.push_back(Ref::borrow(descriptor));
        enums_.emplace(descriptor, plan.get());
        plan_.enums.push_back(std::move(plan));
        return 1;
    }

    // Whether `message_type` describes map entries.
    int is_map_entry(PyObject* message_type) {
        Ref has_options = frame::get_attr(message_type, names.has_options);
        if (!has_options) return -1;
        if (has_options.get() == Py_False) return 0;
        Ref options = frame::call_method(message_type, names.GetOptions, {});
        Ref map_entry = options ? frame::get_attr(options.get(), names.map_entry) : Ref();
        return map_entry ? PyObject_IsTrue(map_entry.get()) : -1;
    }

    // Long integer attribute of a descriptor; false with an exception set or
    // when it is not an int (then `value` is -1).
    static bool long_attr(PyObject* object, PyObject* name, long& value) {
        Ref attr = frame::get_attr(object, name);
        value = attr && PyLong_CheckExact(attr.get()) ? PyLong_AsLong(attr.get()) : -1;
        return attr && !(value == -1 && PyErr_Occurred());
    }

    int field_plan(PyObject* field_descriptor, FieldPlan& field) {
        long number, type;
        if (!long_attr(field_descriptor, names.number, number) ||
            !long_attr(field_descriptor, names.type, type))
            return -1;
        if (number <= 0 || type < kDouble || type > kSInt64 || type == kGroup) return 0;
        field.number = static_cast<std::uint32_t>(number);
        field.type = static_cast<FieldType>(type);
        field.json_name = frame::get_attr(field_descriptor, names.json_name);
        Ref repeated = field.json_name ? frame::get_attr(field_descriptor, names.is_repeated) : Ref();
        Ref oneof = repeated ? frame::get_attr(field_descriptor, names.containing_oneof) : Ref();
        if (!oneof) return -1;
        if (!PyUnicode_CheckExact(field.json_name.get())) return 0;
        field.repeated = PyObject_IsTrue(repeated.get()) == 1;
        if (oneof.get() != Py_None) {
            long index;
            if (!long_attr(oneof.get(), names.index, index)) return -1;
            field.oneof = static_cast<int>(index);
        }
        if (field.type == kEnum) {
            Ref enum_type = frame::get_attr(field_descriptor, names.enum_type);
            if (!enum_type) return -1;
            return enum_plan(enum_type.get(), field.enumeration);
        }
        if (field.type != kMessage) return 1;
        Ref message_type = frame::get_attr(field_descriptor, names.message_type);
        if (!message_type) return -1;
        const int map = field.repeated ? is_map_entry(message_type.get()) : 0;
        if (map < 0) return -1;
        field.map = map;
        field.message = plan_for(message_type.get(), map);
        return 1;
    }

    // Reads one message type's fields into its plan.
    int fill_plan(PyObject* descriptor, MessagePlan& plan, bool map_entry) {
        const int type_ok = type_supported(descriptor);
        if (type_ok <= 0) return type_ok;
        Ref extendable = frame::get_attr(descriptor, names.is_extendable);
        if (!extendable) return -1;
        if (extendable.get() != Py_False) return 0;
        PyTypeObject* cls = nullptr;  // none for map entries, which have no instances here
        if (!map_entry && watch_class(descriptor, plan, cls) <= 0) return PyErr_Occurred() ? -1 : 0;

        Ref fields = frame::get_attr(descriptor, names.fields);
        Ref iterator = fields ? Ref::steal(PyObject_GetIter(fields.get())) : Ref();
        Ref oneofs = iterator ? frame::get_attr(descriptor, names.oneofs) : Ref();
        plan.keys = Ref::steal(PyDict_New());
        if (!oneofs || !plan.keys) return -1;
        std::vector<std::pair<Ref, Ref>> declared;  // (name, JSON name) in declaration order
        while (Ref field_descriptor = Ref::steal(PyIter_Next(iterator.get()))) {
            FieldPlan field;
            const int known = field_plan(field_descriptor.get(), field);
            if (known <= 0) return known;
            Ref name = frame::get_attr(field_descriptor.get(), names.name);
            if (!name) return -1;
            if (!PyUnicode_CheckExact(name.get())) return 0;
            // The runtime's messages give a field's name precedence over their
            // class's attributes: a field named DESCRIPTOR or ListFields hides
            // what json_format reads, and one named MergeFromString what is
            // called here.
            if (cls && _PyType_Lookup(cls, name.get())) return 0;
            declared.emplace_back(std::move(name), Ref::borrow(field.json_name.get()));
            plan.fields.push_back(std::move(field));
        }
        if (PyErr_Occurred()) return -1;

        // The field index each key finds, as ParseDict looks keys up: by JSON
        // name first, else by field name; of two fields with one JSON name
        // the later wins.
        std::vector<std::size_t> order(plan.fields.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return plan.fields[a].number < plan.fields[b].number;
        });
        std::vector<FieldPlan> sorted;
        sorted.reserve(order.size());
        for (std::size_t i : order) sorted.push_back(std::move(plan.fields[i]));
        plan.fields = std::move(sorted);
        std::vector<std::size_t> position(order.size());
        for (std::size_t i = 0; i < order.size(); ++i) position[order[i]] = i;
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t i = 0; i < declared.size(); ++i) {
                Ref index = Ref::steal(PyLong_FromSize_t(position[i]));
                PyObject* key = pass == 0 ? declared[i].first.get() : declared[i].second.get();
                if (!index || PyDict_SetItem(plan.keys.get(), key, index.get()) < 0) return -1;
            }
        }
        for (const auto& [name, json_name] : declared) {
            const int same = PyUnicode_Compare(name.get(), json_name.get());
            if (same == -1 && PyErr_Occurred()) return -1;
            plan.aliased = plan.aliased || same != 0;
        }
        const Py_ssize_t oneof_count = PySequence_Size(oneofs.get());
        if (oneof_count < 0) return -1;
        // ParseDict keeps oneof names among the keys it has seen; a key equal
        // to one would meet that bookkeeping. And at most 64 oneofs fit the
        // mask of the writer.
        plan.parsable = oneof_count <= 64;
        for (Py_ssize_t i = 0; i < oneof_count && plan.parsable; ++i) {
            Ref oneof = Ref::steal(PySequence_GetItem(oneofs.get(), i));
            Ref name = oneof ? frame::get_attr(oneof.get(), names.name) : Ref();
            if (!name) return -1;
            const int clash = PyDict_Contains(plan.keys.get(), name.get());
            if (clash < 0) return -1;
            plan.parsable = !clash;
        }

        // The readers take an entry's key and value as fields[0] and fields[1].
        if (map_entry && (plan.fields.size() != 2 || plan.fields[0].number != 1 ||
                          plan.fields[1].number != 2 || plan.fields[0].repeated ||
                          plan.fields[1].repeated || !key_type(plan.fields[0].type)))
            return 0;
        const std::uint32_t small = std::min<std::uint32_t>(
            plan.fields.empty() ? 0 : plan.fields.back().number + 1, 256);
        plan.by_small_number.assign(small, -1);
        for (std::size_t i = 0; i < plan.fields.size(); ++i) {
            if (i > 0 && plan.fields[i].number == plan.fields[i - 1].number) return 0;
            if (plan.fields[i].number < small)
                plan.by_small_number[plan.fields[i].number] = static_cast<std::int16_t>(i);
        }
        return 1;
    }

    // Keeps a weak reference to the class of a nested message type, with its
    // version tag, so that a change to it shows; then the class must be
    // exactly the runtime's. Sets `out` to the class, held while building.
    // 1, 0, or -1 with an exception set.
    int watch_class(PyObject* descriptor, MessagePlan& plan, PyTypeObject*& out) {
        if (&plan == plan_.messages.front().get()) {  // the class being planned
            out = type_;
            return 1;
        }
        Ref cls = frame::get_attr(descriptor, names.concrete_class);
        if (!cls) {
            leave_to_runtime();
            return PyErr_Occurred() ? -1 : 0;
        }
        if (!PyType_Check(cls.get())) return 0;
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        const unsigned int tag = version_tag(type);
        if (!tag) return 0;
        Ref weak = Ref::steal(PyWeakref_NewRef(cls.get(), nullptr));
        if (!weak) return -1;
        plan_.nested.push_back({.weak = std::move(weak), .tag = tag});
        watched_.push_back(std::move(cls));
        out = type;
        return runtime_descriptor(type) == descriptor;
    }

    TypePlan& plan_;
    PyTypeObject* type_;
    std::unordered_map<PyObject*, MessagePlan*> by_descriptor_;
    std::unordered_map<PyObject*, const EnumPlan*> enums_;
    std::unordered_map<PyObject*, int> files_;
    std::vector<std::pair<Ref, MessagePlan*>> pending_;  // also keeps the descriptors alive
    std::vector<bool> entries_;                          // per pending type: map entries
    std::vector<Ref> held_;                              // keeps the other keys alive
    std::vector<Ref> watched_;                           // the nested classes, while building
};

// ---- the plans of classes -----------------------------------------------------------------
//
// The cache belongs to the module and holds at most kMaxPlans classes, the
// decision for each (native or not) included. It keeps no class alive: each
// entry holds a weak reference to its class, whose callback drops the entry
// as the class dies, and the other classes a plan relies on only by weak
// reference. While a class lives it holds its descriptor, so the descriptors
// a plan was read from cannot be replaced under it without a new version tag.
// A call holds its plan by shared ownership, since code the interpreter runs
// meanwhile (a finaliser during a collection) may replace or drop the entry.

constexpr std::size_t kMaxPlans = 1024;

frame::ClassCache<std::shared_ptr<TypePlan>> plans("drop_json_mapping_plan", kMaxPlans);

// The plan of a message's class, made on first sight and again whenever a
// class it relies on changed; null with no exception set when the class is
// not the runtime's, or its decision cannot be kept.
std::shared_ptr<TypePlan> plan_of(PyTypeObject* type) {
    if (!made_by_runtime(type)) return {};
    if (const auto* found = plans.find(type); found && (*found)->current(type)) return *found;

    auto plan = std::make_shared<TypePlan>();
    plan->tag = version_tag(type);  // before reading, so a change meanwhile shows next time
    if (!plan->tag) return {};
    Ref descriptor = Ref::borrow(runtime_descriptor(type));
    if (descriptor) {
        PlanBuilder builder(*plan, type);
        const int built = builder.build(descriptor.get());
        if (built < 0) return {};
        plan->supported = built == 1;
        plan->parsable = plan->supported &&
                         std::all_of(plan->messages.begin(), plan->messages.end(),
                                     [](const auto& message) { return message->parsable; });
    }
    if (plans.store(type, plan) < 0) return {};
    return plan;
}

// ---- wire encoding to dictionary -----------------------------------------------------------
//
// MessageToDict lists a message's fields as ListFields gives them, by field
// number; the wire encoding of SerializePartialToString holds exactly those
// fields. A map field is listed in the order its container iterates, which
// is the reverse of the order of its entries on the wire. Beside the fields,
// the encoding holds the unknown fields, passed over here; among them are the
// unknown values of closed enums, which carry the enum field's number.

Ref ascii_text(const char* text, std::size_t size) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (object) std::memcpy(PyUnicode_1BYTE_DATA(object), text, size);
    return Ref::steal(object);
}

// str() of an integer, given as sign and magnitude.
Ref decimal_text(std::uint64_t magnitude, bool negative) {
    char buffer[24];
    char* const end = buffer + sizeof buffer;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (negative) *--p = '-';
    return ascii_text(p, static_cast<std::size_t>(end - p));
}

Ref signed_text(std::int64_t value) {
    return value < 0 ? decimal_text(0 - static_cast<std::uint64_t>(value), true)
                     : decimal_text(static_cast<std::uint64_t>(value), false);
}

// base64.b64encode(data).decode(): the standard alphabet, with padding.
Ref base64_text(const char* data, std::size_t size) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* in = reinterpret_cast<const std::uint8_t*>(data);
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>((size + 2) / 3 * 4), 127);
    if (!object) return {};
    Py_UCS1* out = PyUnicode_1BYTE_DATA(object);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[(group >> 12) & 63];
        *out++ = kAlphabet[(group >> 6) & 63];
        *out++ = kAlphabet[group & 63];
    }
    if (i < size) {
        const std::uint32_t group = (in[i] << 16) | (i + 1 < size ? in[i + 1] << 8 : 0);
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[(group >> 12) & 63];
        *out++ = i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
        *out++ = '=';
    }
    return Ref::steal(object);
}

// type_checkers.ToShortestFloat: the value of the shortest "%.<n>g" text of
// the float, from six significant digits up, that reads back as that float.
Ref shortest_float(float value) {
    const double original = value;
    for (int precision = 6; precision <= 17; ++precision) {
        char* text = PyOS_double_to_string(original, 'g', precision, 0, nullptr);
        if (!text) return {};
        const double rounded = PyOS_string_to_double(text, nullptr, nullptr);
        PyMem_Free(text);
        if (rounded == -1.0 && PyErr_Occurred()) return {};
        // The runtime narrows as struct.pack("<f") does, which refuses a
        // value that becomes infinite (never one of these, by their digits).
        const auto narrow = static_cast<float>(rounded);
        if (std::isinf(narrow)) return {};
        if (static_cast<double>(narrow) == original) return Ref::steal(PyFloat_FromDouble(rounded));
    }
    return {};
}

// A double as MessageToDict writes it: the float, or the text of NaN and the infinities.
Ref double_value(double value) {
    if (std::isnan(value)) return Ref::borrow(names.nan);
    if (std::isinf(value)) return Ref::borrow(value < 0 ? names.negative_infinity : names.infinity);
    return Ref::steal(PyFloat_FromDouble(value));
}

Ref float_value(float value) {
    if (std::isnan(value) || std::isinf(value)) return double_value(value);
    return shortest_float(value);
}

std::int32_t zigzag32(std::uint64_t raw) {
    const auto bits = static_cast<std::uint32_t>(raw);
    return static_cast<std::int32_t>((bits >> 1) ^ (0u - (bits & 1)));
}

std::int64_t zigzag64(std::uint64_t raw) {
    return static_cast<std::int64_t>((raw >> 1) ^ (0 - (raw & 1)));
}

// The JSON value of a number field's value `raw`, as its wire type carries
// it. Sets `skip` for an unknown value of a closed enum, which the runtime
// keeps among the unknown fields and not in the field.
Ref number_value(const FieldPlan& field, std::uint64_t raw, bool& skip) {
    switch (field.type) {
        case kInt32:
        case kSFixed32:
            return Ref::steal(PyLong_FromLong(static_cast<std::int32_t>(raw)));
        case kSInt32:
            return Ref::steal(PyLong_FromLong(zigzag32(raw)));
        case kUInt32:
        case kFixed32:
            return Ref::steal(PyLong_FromUnsignedLong(static_cast<std::uint32_t>(raw)));
        case kInt64:
        case kSFixed64:
            return signed_text(static_cast<std::int64_t>(raw));
        case kSInt64:
            return signed_text(zigzag64(raw));
        case kUInt64:
        case kFixed64:
            return decimal_text(raw, false);
        case kBool:
            return Ref::borrow(raw ? Py_True : Py_False);
        case kDouble: {
            double value;
            std::memcpy(&value, &raw, sizeof value);
            return double_value(value);
        }
        case kFloat: {
            const auto bits = static_cast<std::uint32_t>(raw);
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return float_value(value);
        }
        case kEnum: {
            const auto number = static_cast<std::int32_t>(raw);
            if (PyObject* name = field.enumeration->name_of(number)) return Ref::borrow(name);
            if (field.enumeration->closed) {
                skip = true;
                return {};
            }
            return Ref::steal(PyLong_FromLong(number));
        }
        default:
            return {};
    }
}

// A map key as MessageToDict writes it: str() of the key, "true" or "false".
Ref key_text(const FieldPlan& field, std::uint64_t raw) {
    switch (field.type) {
        case kBool: return Ref::borrow(raw ? names.text_true : names.text_false);
        case kInt32: case kSFixed32: return signed_text(static_cast<std::int32_t>(raw));
        case kSInt32: return signed_text(zigzag32(raw));
        case kUInt32: case kFixed32: return decimal_text(static_cast<std::uint32_t>(raw), false);
        case kSInt64: return signed_text(zigzag64(raw));
        case kInt64: case kSFixed64: return signed_text(static_cast<std::int64_t>(raw));
        default: return decimal_text(raw, false);
    }
}

bool read_number(Reader& in, FieldType type, std::uint64_t& raw) {
    switch (wire_type_of(type)) {
        case kVarint: return in.varint(raw);
        case kWireFixed64: return in.fixed(8, raw);
        default: return in.fixed(4, raw);
    }
}

// A string field's text. A proto2 string need not be UTF-8; the runtime then
// gives bytes, and its own call answers.
Ref text_value(const char* data, std::size_t size) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr));
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
    return text;
}

Ref read_message(const MessagePlan& plan, const char* data, std::size_t size, int depth);

// The JSON value of one length-delimited value of a string, bytes or message field.
Ref span_value(const FieldPlan& field, const char* data, std::size_t size, int depth) {
    switch (field.type) {
        case kString: return text_value(data, size);
        case kBytes: return base64_text(data, size);
        default: return read_message(*field.message, data, size, depth + 1);
    }
}

// One value of a field in its own wire type.
Ref read_value(Reader& in, const FieldPlan& field, int depth, bool& skip) {
    if (wire_type_of(field.type) == kLengthDelimited) {
        const char* data;
        std::size_t size;
        return in.span(data, size) ? span_value(field, data, size, depth) : Ref();
    }
    std::uint64_t raw;
    return read_number(in, field.type, raw) ? number_value(field, raw, skip) : Ref();
}

// A map entry's key text and value, missing ones as their defaults. False
// when unsure, failed, or (with `skip` set) for an entry that the runtime
// keeps among the unknown fields instead of in the map: one that holds
// anything besides a key and a value of their own wire types (another field,
// a key or value of another wire type), or whose value is an unknown value of
// a closed enum.
bool read_entry(const MessagePlan& entry, const char* data, std::size_t size, int depth, Ref& key,
                Ref& value, bool& skip) {
    const FieldPlan& key_field = entry.fields[0];
    const FieldPlan& value_field = entry.fields[1];
    Reader in(data, size);
    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return false;
        const FieldPlan* field = number == 1 ? &key_field : number == 2 ? &value_field : nullptr;
        if (!field || wire_type != wire_type_of(field->type)) {
            skip = true;
            return false;
        }
        Ref& slot = number == 1 ? key : value;
        if (slot) return false;  // the runtime's own encoding writes each once
        if (number == 1 && key_field.type != kString) {
            std::uint64_t raw;
            if (!read_number(in, key_field.type, raw)) return false;
            slot = key_text(key_field, raw);
        } else {
            slot = read_value(in, *field, depth, skip);
            if (skip) return false;
        }
        if (!slot) return false;
    }
    if (!key) key = key_field.type == kString ? ascii_text("", 0) : key_text(key_field, 0);
    if (!value) {
        value = value_field.type == kMessage ? Ref::steal(PyDict_New())
                : wire_type_of(value_field.type) == kLengthDelimited ? ascii_text("", 0)
                                                                     : number_value(value_field, 0, skip);
    }
    return key && value && !skip;
}

// The dict of a map field from its [key, value, key, value, ...] list in wire order.
Ref map_dict(PyObject* pairs) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return {};
    const Py_ssize_t count = PyList_GET_SIZE(pairs);
    for (Py_ssize_t i = count - 2; i >= 0; i -= 2) {
        if (PyDict_SetItem(result.get(), PyList_GET_ITEM(pairs, i), PyList_GET_ITEM(pairs, i + 1)) < 0)
            return {};
    }
    if (PyDict_GET_SIZE(result.get()) != count / 2) return {};  // a key twice: not the runtime's encoding
    return result;
}

// Appends to the list in `slot`, made on the first value.
bool append(Ref& slot, PyObject* value) {
    if (!slot && !(slot = Ref::steal(PyList_New(0)))) return false;
    return PyList_Append(slot.get(), value) == 0;
}

// The dict of one message from its wire encoding; null with no exception set
// when the runtime must answer.
Ref read_message(const MessagePlan& plan, const char* data, std::size_t size, int depth) {
    if (depth > kMaxDepth) return {};
    frame::StackCharge charge(" while converting a message to a dict");
    if (!charge) {
        leave_to_runtime();
        return {};
    }
    std::vector<Ref> slots(plan.fields.size());
    Reader in(data, size);
    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return {};
        const int index = plan.index_of(number);
        if (index < 0) {  // an unknown field, which MessageToDict leaves out
            if (!in.skip(wire_type, number)) return {};
            continue;
        }
        const FieldPlan* field = &plan.fields[static_cast<std::size_t>(index)];
        Ref& slot = slots[static_cast<std::size_t>(index)];
        bool skip = false;
        if (field->repeated && packable(field->type) && wire_type == kLengthDelimited) {
            const char* packed_data;
            std::size_t packed_size;
            if (!in.span(packed_data, packed_size)) return {};
            Reader packed(packed_data, packed_size);
            while (!packed.done()) {
                std::uint64_t raw;
                if (!read_number(packed, field->type, raw)) return {};
                skip = false;
                Ref value = number_value(*field, raw, skip);
                if (skip) continue;
                if (!value || !append(slot, value.get())) return {};
            }
        } else if (wire_type != wire_type_of(field->type)) {
            if (!in.skip(wire_type, number)) return {};
        } else if (field->map) {
            const char* entry_data;
            std::size_t entry_size;
            Ref key, value;
            if (!in.span(entry_data, entry_size) ||
                !read_entry(*field->message, entry_data, entry_size, depth + 1, key, value, skip)) {
                if (skip) continue;
                return {};
            }
            if (!append(slot, key.get()) || !append(slot, value.get())) return {};
        } else {
            Ref value = read_value(in, *field, depth, skip);
            if (skip) continue;
            if (!value) return {};
            if (field->repeated) {
                if (!append(slot, value.get())) return {};
            } else {
                if (slot) return {};  // the runtime's own encoding writes a field once
                slot = std::move(value);
            }
        }
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return {};
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!slots[i]) continue;
        const FieldPlan& field = plan.fields[i];
        Ref value = field.map ? map_dict(slots[i].get()) : Ref::borrow(slots[i].get());
        if (!value || PyDict_SetItem(result.get(), field.json_name.get(), value.get()) < 0) return {};
    }
    return result;
}

// ---- dictionary to wire encoding -----------------------------------------------------------
//
// Writes what ParseDict would set, for the values whose meaning is certain;
// every other value (another type, text the runtime reads more leniently, a
// number out of range, a key twice) leaves the whole dictionary to ParseDict.
// Writers return 1 when written, 0 when the runtime must answer, and -1 with
// an exception set.

class Writer {
public:
    std::string bytes;

    void varint(std::uint64_t value) {
        while (value >= 0x80) {
            bytes.push_back(static_cast<char>(value | 0x80));
            value >>= 7;
        }
        bytes.push_back(static_cast<char>(value));
    }
    void tag(std::uint32_t number, WireType type) {
        varint((static_cast<std::uint64_t>(number) << 3) | type);
    }
    void fixed(int size, std::uint64_t value) {
        for (int i = 0; i < size; ++i, value >>= 8) bytes.push_back(static_cast<char>(value & 0xff));
    }
    void span(const char* data, std::size_t size) {
        varint(size);
        bytes.append(data, size);
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
// range of the field's type. `bits` gets the value's two's complement.
int integer_of(PyObject* value, FieldType type, std::uint64_t& bits) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    std::string_view text;
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) return -1;
        if (overflow < 0) return 0;
        if (overflow > 0) {
            magnitude = PyLong_AsUnsignedLongLong(value);
            if (magnitude == static_cast<std::uint64_t>(-1) && PyErr_Occurred())
                return leave_to_runtime() || PyErr_Occurred() ? -1 : 0;
        } else {
            negative = number < 0;
            magnitude = negative ? 0 - static_cast<std::uint64_t>(number) : static_cast<std::uint64_t>(number);
        }
    } else if (PyFloat_CheckExact(value)) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number) || number != std::floor(number) ||
            std::fabs(number) >= 18446744073709551616.0)
            return 0;
        negative = number < 0;
        magnitude = static_cast<std::uint64_t>(std::fabs(number));
    } else if (ascii_view(value, text)) {
        std::size_t i = 0;
        if (!text.empty() && (text[0] == '+' || text[0] == '-')) negative = text[i++] == '-';
        if (i == text.size() || text.size() - i > 20) return 0;
        for (; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') return 0;
            const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return 0;
            magnitude = magnitude * 10 + digit;
        }
    } else {
        return 0;
    }
    if (magnitude == 0) negative = false;
    std::uint64_t limit;
    switch (type) {
        case kInt32: case kSInt32: case kSFixed32: case kEnum:
            limit = negative ? 0x80000000u : 0x7fffffffu;
            break;
        case kUInt32: case kFixed32:
            limit = negative ? 0 : 0xffffffffu;
            break;
        case kInt64: case kSInt64: case kSFixed64:
            limit = negative ? 0x8000000000000000u : 0x7fffffffffffffffu;
            break;
        default:
            limit = negative ? 0 : std::numeric_limits<std::uint64_t>::max();
    }
    if (magnitude > limit) return 0;
    bits = negative ? 0 - magnitude : magnitude;
    return 1;
}

// ParseDict's floating-point forms whose value is certain: a finite float, an
// int, "NaN", "Infinity", "-Infinity", or a plain decimal text. For a 32-bit
// field the value must lie within its range (or be infinite), as ParseDict
// requires of a float and the runtime's own narrowing is then exact.
int double_of(PyObject* value, FieldType type, double& number) {
    std::string_view text;
    if (PyFloat_CheckExact(value)) {
        number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number)) return 0;
    } else if (PyLong_CheckExact(value)) {
        number = PyLong_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) return leave_to_runtime() || PyErr_Occurred() ? -1 : 0;
    } else if (ascii_view(value, text)) {
        if (text == "NaN") {
            number = std::numeric_limits<double>::quiet_NaN();
        } else if (text == "Infinity" || text == "-Infinity") {
            number = text[0] == '-' ? -HUGE_VAL : HUGE_VAL;
        } else {
            if (!plain_decimal(text)) return 0;
            const char* begin = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
            char* end = nullptr;
            number = PyOS_string_to_double(begin, &end, nullptr);
            if (number == -1.0 && PyErr_Occurred()) return leave_to_runtime() || PyErr_Occurred() ? -1 : 0;
            if (end != begin + text.size()) return 0;
        }
    } else {
        return 0;
    }
    if (type == kFloat && std::isfinite(number) && std::fabs(number) > FLT_MAX) return 0;
    return 1;
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
int enum_number(const EnumPlan& enumeration, PyObject* value, std::uint64_t& bits) {
    if (PyUnicode_CheckExact(value)) {
        PyObject* number = PyDict_GetItemWithError(enumeration.numbers.get(), value);
        if (!number) return PyErr_Occurred() ? -1 : 0;
        bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(PyLong_AsLong(number)));
        return 1;
    }
    if (!PyLong_CheckExact(value)) return 0;
    const int known = integer_of(value, kEnum, bits);
    if (known <= 0) return known;
    return enumeration.closed && !enumeration.name_of(static_cast<std::int32_t>(bits)) ? 0 : 1;
}

// One value of a scalar field, without its tag.
int write_scalar(Writer& out, const FieldPlan& field, PyObject* value) {
    std::uint64_t bits = 0;
    int done;
    switch (field.type) {
        case kBool:
            if (value != Py_True && value != Py_False) return 0;
            out.varint(value == Py_True);
            return 1;
        case kString: {
            if (!PyUnicode_CheckExact(value)) return 0;
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(value, &size);
            if (!text) return leave_to_runtime() || PyErr_Occurred() ? -1 : 0;
            out.span(text, static_cast<std::size_t>(size));
            return 1;
        }
        case kBytes: {
            std::string_view text;
            if (PyBytes_CheckExact(value)) {
                text = std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
            } else if (!ascii_view(value, text)) {
                return 0;
            }
            std::string decoded;
            if (!base64_bytes(text, decoded)) return 0;
            out.span(decoded.data(), decoded.size());
            return 1;
        }
        case kDouble:
        case kFloat: {
            double number;
            if ((done = double_of(value, field.type, number)) <= 0) return done;
            if (field.type == kDouble) {
                std::memcpy(&bits, &number, sizeof number);
                out.fixed(8, bits);
            } else {
                const auto narrow = static_cast<float>(number);
                std::uint32_t narrow_bits;
                std::memcpy(&narrow_bits, &narrow, sizeof narrow);
                out.fixed(4, narrow_bits);
            }
            return 1;
        }
        case kEnum:
            if ((done = enum_number(*field.enumeration, value, bits)) <= 0) return done;
            out.varint(bits);
            return 1;
        default:
            break;
    }
    if ((done = integer_of(value, field.type, bits)) <= 0) return done;
    switch (field.type) {
        case kSInt32: {
            const auto n = static_cast<std::uint32_t>(bits);
            out.varint((n << 1) ^ (0u - (n >> 31)));
            break;
        }
        case kSInt64:
            out.varint((bits << 1) ^ (0 - (bits >> 63)));
            break;
        case kFixed32:
        case kSFixed32:
            out.fixed(4, bits & 0xffffffffu);
            break;
        case kFixed64:
        case kSFixed64:
            out.fixed(8, bits);
            break;
        default:
            out.varint(bits);
    }
    return 1;
}

int write_message(const MessagePlan& plan, PyObject* data, Writer& out, int depth);

// One value of a field with its tag: a nested message from an exact dict.
int write_field(Writer& out, const FieldPlan& field, PyObject* value, int depth) {
    if (field.type != kMessage) {
        out.tag(field.number, wire_type_of(field.type));
        return write_scalar(out, field, value);
    }
    if (!PyDict_CheckExact(value)) return 0;
    out.tag(field.number, kLengthDelimited);
    const std::size_t start = out.open();
    const int done = write_message(*field.message, value, out, depth + 1);
    if (done > 0) out.close(start);
    return done;
}

// A repeated field from an exact list or tuple, numbers packed.
int write_repeated(Writer& out, const FieldPlan& field, PyObject* value, int depth) {
    if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) return 0;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    if (count == 0) return 1;
    const bool packed = packable(field.type);
    std::size_t start = 0;
    if (packed) {
        out.tag(field.number, kLengthDelimited);
        start = out.open();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (items[i] == Py_None) return 0;
        const int done = packed ? write_scalar(out, field, items[i]) : write_field(out, field, items[i], depth);
        if (done <= 0) return done;
    }
    if (packed) out.close(start);
    return 1;
}

// A map field from an exact dict: one entry per key, in the dict's order.
int write_map(Writer& out, const FieldPlan& field, PyObject* value, int depth) {
    if (!PyDict_CheckExact(value)) return 0;
    const FieldPlan& key_field = field.message->fields[0];
    const FieldPlan& value_field = field.message->fields[1];
    std::vector<std::uint64_t> integer_keys;  // different texts may name one number
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(value, &pos, &key, &item)) {
        if (item == Py_None) return 0;
        out.tag(field.number, kLengthDelimited);
        const std::size_t start = out.open();
        int done;
        if (key_field.type == kBool) {
            // ParseDict reads a boolean key only from the texts "true" and "false".
            if (!PyUnicode_CheckExact(key)) return 0;
            const bool yes = PyUnicode_Compare(key, names.text_true) == 0;
            if (!yes && PyUnicode_Compare(key, names.text_false) != 0) return PyErr_Occurred() ? -1 : 0;
            out.tag(1, kVarint);
            out.varint(yes);
        } else if (key_field.type == kString) {
            if ((done = write_field(out, key_field, key, depth)) <= 0) return done;
        } else {
            std::uint64_t bits;
            if ((done = integer_of(key, key_field.type, bits)) <= 0) return done;
            integer_keys.push_back(bits);
            if ((done = write_field(out, key_field, key, depth)) <= 0) return done;
        }
        if ((done = write_field(out, value_field, item, depth)) <= 0) return done;
        out.close(start);
    }
    std::sort(integer_keys.begin(), integer_keys.end());
    return std::adjacent_find(integer_keys.begin(), integer_keys.end()) == integer_keys.end();
}

// The fields of one message from its dict, at nesting level `depth` (1 for
// the message ParseDict fills).
int write_message(const MessagePlan& plan, PyObject* data, Writer& out, int depth) {
    if (depth > kMaxDepth) return 0;
    frame::StackCharge charge(" while converting a dict to a message");
    if (!charge) return leave_to_runtime() || PyErr_Occurred() ? -1 : 0;
    std::vector<bool> seen(plan.aliased ? plan.fields.size() : 0);
    std::uint64_t oneofs_set = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(data, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return 0;
        PyObject* found = PyDict_GetItemWithError(plan.keys.get(), key);
        if (!found) return PyErr_Occurred() ? -1 : 0;
        const auto index = static_cast<std::size_t>(PyLong_AsSsize_t(found));
        const FieldPlan& field = plan.fields[index];
        if (plan.aliased) {
            // Two keys of one field: which wins depends on ParseDict's order of work.
            if (seen[index]) return 0;
            seen[index] = true;
        }
        if (value == Py_None) continue;  // ParseDict clears the field, which is clear
        if (field.oneof >= 0) {
            const std::uint64_t bit = std::uint64_t{1} << field.oneof;
            if (oneofs_set & bit) return 0;  // ParseDict refuses a second member
            oneofs_set |= bit;
        }
        const int done = field.map        ? write_map(out, field, value, depth)
                         : field.repeated ? write_repeated(out, field, value, depth)
                                          : write_field(out, field, value, depth);
        if (done <= 0) return done;
    }
    return 1;
}

}  // namespace

// ---- entry points ----------------------------------------------------------------------------

int make_names() {
    return frame::intern_names({
        {&names.SerializePartialToString, "SerializePartialToString"},
        {&names.MergeFromString, "MergeFromString"},
        {&names.Clear, "Clear"},
        {&names.DESCRIPTOR, "DESCRIPTOR"},
        {&names.fields, "fields"},
        {&names.oneofs, "oneofs"},
        {&names.name, "name"},
        {&names.json_name, "json_name"},
        {&names.number, "number"},
        {&names.type, "type"},
        {&names.is_repeated, "is_repeated"},
        {&names.containing_oneof, "containing_oneof"},
        {&names.index, "index"},
        {&names.message_type, "message_type"},
        {&names.enum_type, "enum_type"},
        {&names.is_extendable, "is_extendable"},
        {&names.file, "file"},
        {&names.serialized_pb, "serialized_pb"},
        {&names.has_options, "has_options"},
        {&names.GetOptions, "GetOptions"},
        {&names.map_entry, "map_entry"},
        {&names.is_closed, "is_closed"},
        {&names.values, "values"},
        {&names.values_by_number, "values_by_number"},
        {&names.concrete_class, "_concrete_class"},
        {&names.dunder_name, "__name__"},
        {&names.dunder_module, "__module__"},
        {&names.dunder_qualname, "__qualname__"},
        {&names.dunder_doc, "__doc__"},
        {&names.dunder_slots, "__slots__"},
        {&names.json_format, "google.protobuf.json_format"},
        {&names.MessageToDict, "MessageToDict"},
        {&names.ParseDict, "ParseDict"},
        {&names.well_known_prefix, "google/protobuf/"},
        {&names.well_known_package, "google.protobuf."},
        {&names.full_name, "full_name"},
        {&names.nan, "NaN"},
        {&names.infinity, "Infinity"},
        {&names.negative_infinity, "-Infinity"},
        {&names.text_true, "true"},
        {&names.text_false, "false"},
    });
}

void remember_runtime(PyObject* message_to_dict, PyObject* parse_dict) {
    remember(runtime_message_to_dict, message_to_dict, names.MessageToDict);
    remember(runtime_parse_dict, parse_dict, names.ParseDict);
}

bool is_runtime_message_to_dict(PyObject* function) {
    return is_unchanged(runtime_message_to_dict, function);
}

bool is_runtime_parse_dict(PyObject* function) {
    return is_unchanged(runtime_parse_dict, function);
}

Ref message_to_dict(PyObject* message) {
    std::shared_ptr<TypePlan> plan = plan_of(Py_TYPE(message));
    if (!plan || !plan->supported) return {};
    Ref wire = frame::call_method(message, names.SerializePartialToString, {});
    if (!wire) {
        leave_to_runtime();
        return {};
    }
    if (!PyBytes_CheckExact(wire.get())) return {};
    return read_message(*plan->messages.front(), PyBytes_AS_STRING(wire.get()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(wire.get())), 1);
}

int parse_dict(PyObject* data, PyObject* message) {
    std::shared_ptr<TypePlan> plan = plan_of(Py_TYPE(message));
    if (!plan) return PyErr_Occurred() ? -1 : 0;
    if (!plan->parsable || !PyDict_CheckExact(data)) return 0;
    Writer out;
    out.bytes.reserve(512);
    const int written = write_message(*plan->messages.front(), data, out, 1);
    if (written <= 0) return written;
    Ref wire = Ref::steal(PyBytes_FromStringAndSize(out.bytes.data(), static_cast<Py_ssize_t>(out.bytes.size())));
    if (!wire) return -1;
    if (frame::call_method(message, names.MergeFromString, {wire.get()})) return 1;
    // Not expected of the runtime's own reader; put the message back as its
    // class made it and let ParseDict answer.
    if (!recoverable()) return -1;
    PyErr_Clear();
    return frame::call_method(message, names.Clear, {}) ? 0 : -1;
}

}  // namespace json_mapping
