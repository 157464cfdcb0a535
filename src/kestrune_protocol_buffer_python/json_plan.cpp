// The plans of message classes, and the record of json_format's own functions.
#include "json_mapping.h"
#include "json_plan.h"
#include "json_text.h"
#include "runtime_message.h"

#include "frame/class_cache.h"
#include "frame/ops.h"

#include <string_view>
#include <unordered_map>

namespace json_mapping {

using frame::Answer;
using frame::Ref;
using runtime_message::tag_is;
using runtime_message::version_tag;

Names names;

namespace {

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
    std::uint64_t kwdefaults_version = 0;  // the dict's version tag when it held the copy
};

// The cache of plans belongs to the module and holds at most kMaxPlans
// classes, the decision for each (native or not) included. It keeps no class
// alive: each entry holds a weak reference to its class, whose callback drops
// the entry as the class dies, and the other classes a plan relies on only by
// weak reference. While a class lives it holds its descriptor, so the
// descriptors a plan was read from cannot be replaced under it without a new
// version tag. A call holds its plan by shared ownership, since code the
// interpreter runs meanwhile (a finaliser during a collection) may replace or
// drop the entry.
constexpr std::size_t kMaxPlans = 1024;

struct State {
    RuntimeFunction message_to_dict;
    RuntimeFunction parse_dict;
    frame::ClassCache<PlanRef> plans{"drop_json_mapping_plan", kMaxPlans};
} state;

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
    if (kwdefaults) slot.kwdefaults_version = reinterpret_cast<PyDictObject*>(kwdefaults)->ma_version_tag;
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
           // Any change to a dict gives it a new version tag; only then are
           // the contents compared.
           (!slot.kwdefaults ||
            reinterpret_cast<PyDictObject*>(slot.kwdefaults)->ma_version_tag == slot.kwdefaults_version ||
            same_contents(slot.kwdefaults, slot.kwdefaults_copy));
}

// The well-known types json_format maps by full name, and the layout each
// must have for the native forms: field number, name, type and repetition.
struct ExpectedField {
    std::uint32_t number;
    const char* name;
    wire::FieldType type;
    bool repeated;
};

struct WellKnownType {
    const char* full_name;
    WellKnown kind;
    std::vector<ExpectedField> fields;
};

const std::vector<WellKnownType>& well_known_types() {
    static const std::vector<WellKnownType> table = {
        {.full_name = "google.protobuf.Any", .kind = WellKnown::Any,
         .fields = {{1, "type_url", wire::kString, false}, {2, "value", wire::kBytes, false}}},
        {.full_name = "google.protobuf.Duration", .kind = WellKnown::Duration,
         .fields = {{1, "seconds", wire::kInt64, false}, {2, "nanos", wire::kInt32, false}}},
        {.full_name = "google.protobuf.FieldMask", .kind = WellKnown::FieldMask,
         .fields = {{1, "paths", wire::kString, true}}},
        {.full_name = "google.protobuf.ListValue", .kind = WellKnown::ListValue,
         .fields = {{1, "values", wire::kMessage, true}}},
        {.full_name = "google.protobuf.Struct", .kind = WellKnown::Struct,
         .fields = {{1, "fields", wire::kMessage, true}}},
        {.full_name = "google.protobuf.Timestamp", .kind = WellKnown::Timestamp,
         .fields = {{1, "seconds", wire::kInt64, false}, {2, "nanos", wire::kInt32, false}}},
        {.full_name = "google.protobuf.Value", .kind = WellKnown::Value,
         .fields = {{1, "null_value", wire::kEnum, false}, {2, "number_value", wire::kDouble, false},
                    {3, "string_value", wire::kString, false}, {4, "bool_value", wire::kBool, false},
                    {5, "struct_value", wire::kMessage, false},
                    {6, "list_value", wire::kMessage, false}}},
    };
    return table;
}

// Long integer attribute of a descriptor; false with an exception set or
// when it is not an int (then `value` is -1).
bool long_attr(PyObject* object, PyObject* name, long& value) {
    Ref attr = frame::get_attr(object, name);
    value = attr && PyLong_CheckExact(attr.get()) ? PyLong_AsLong(attr.get()) : -1;
    return attr && !(value == -1 && PyErr_Occurred());
}

// ---- building a plan ----------------------------------------------------------------------
//
// Reads the descriptors once, breadth first over every message type a class
// reaches (so a deep schema needs no deep C stack). A type the native mapping
// does not know makes the whole plan unsupported: each step answers Done when
// what it read is supported, Runtime when it is not, Error with an exception set.

class PlanBuilder {
public:
    PlanBuilder(TypePlan& plan, PyTypeObject* type) : plan_(plan), type_(type) {}

    Answer build(PyObject* descriptor) {
        if (!plan_for(descriptor, false)) return Answer::Error;
        for (std::size_t next = 0; next < pending_.size(); ++next) {
            const Answer done =
                fill_plan(pending_[next].first.get(), *pending_[next].second, entries_[next]);
            if (done != Answer::Done) return done;
        }
        return references_match() ? Answer::Done : Answer::Runtime;
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

    // The form json_format gives a message type: a well-known type by its full
    // name, a wrapper by its file's name, any other type as an object of its
    // fields. Sets `expected` to the layout a well-known type must have.
    Answer kind_of(PyObject* descriptor, WellKnown& kind, const WellKnownType*& expected) {
        kind = WellKnown::None;
        expected = nullptr;
        Ref full_name = frame::get_attr(descriptor, names.full_name);
        if (!full_name) return Answer::Error;
        if (!PyUnicode_Check(full_name.get())) return Answer::Runtime;
        for (const WellKnownType& type : well_known_types()) {
            if (PyUnicode_CompareWithASCIIString(full_name.get(), type.full_name) == 0) {
                kind = type.kind;
                expected = &type;
                return Answer::Done;
            }
        }
        Ref file = frame::get_attr(descriptor, names.file);
        Ref file_name = file ? frame::get_attr(file.get(), names.name) : Ref();
        if (!file_name) return Answer::Error;
        if (!PyUnicode_Check(file_name.get())) return Answer::Runtime;
        const int wrapper = PyUnicode_Compare(file_name.get(), names.wrappers_file);
        if (wrapper == -1 && PyErr_Occurred()) return Answer::Error;
        if (wrapper == 0) kind = WellKnown::Wrapper;
        return Answer::Done;
    }

    // Whether the fields read for a well-known type are those of the original.
    static bool layout_matches(const MessagePlan& plan, const std::vector<std::pair<Ref, Ref>>& declared,
                               const WellKnownType* expected) {
        if (plan.well_known == WellKnown::Wrapper) {
            // One scalar field named value, which json_format reads by name.
            const FieldPlan& field = plan.fields.front();
            return plan.fields.size() == 1 && field.number == 1 && !field.repeated &&
                   field.ctype() != wire::CType::Message && field.ctype() != wire::CType::Enum &&
                   PyUnicode_CompareWithASCIIString(declared.front().first.get(), "value") == 0;
        }
        if (!expected) return true;
        if (plan.fields.size() != expected->fields.size()) return false;
        for (const ExpectedField& want : expected->fields) {
            const int index = plan.index_of(want.number);
            if (index < 0) return false;
            const FieldPlan& field = plan.fields[static_cast<std::size_t>(index)];
            if (field.type->type != want.type || field.repeated != want.repeated) return false;
            bool named = false;
            for (const auto& [name, json_name] : declared)
                named = named || PyUnicode_CompareWithASCIIString(name.get(), want.name) == 0;
            if (!named) return false;
        }
        return true;
    }

    Answer enum_plan(PyObject* descriptor, const EnumPlan*& out) {
        if (auto found = enums_.find(descriptor); found != enums_.end()) {
            out = found->second;
            return Answer::Done;
        }
        auto plan = std::make_unique<EnumPlan>();
        Ref full_name = frame::get_attr(descriptor, names.full_name);
        if (!full_name) return Answer::Error;
        const int null_value = PyUnicode_Check(full_name.get())
                                   ? PyUnicode_Compare(full_name.get(), names.null_value_enum)
                                   : 1;
        if (null_value == -1 && PyErr_Occurred()) return Answer::Error;
        plan->null_value = null_value == 0;
        Ref closed = frame::get_attr(descriptor, names.is_closed);
        Ref values = closed ? frame::get_attr(descriptor, names.values) : Ref();
        Ref by_number = values ? frame::get_attr(descriptor, names.values_by_number) : Ref();
        Ref iterator = by_number ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
        plan->numbers = Ref::steal(PyDict_New());
        if (!iterator || !plan->numbers) return Answer::Error;
        const int is_closed = PyObject_IsTrue(closed.get());
        if (is_closed < 0) return Answer::Error;
        plan->closed = is_closed;
        std::unordered_map<std::int32_t, Ref> by_value;
        while (Ref value = Ref::steal(PyIter_Next(iterator.get()))) {
            // A value with options may carry a JSON name of its own.
            Ref has_options = frame::get_attr(value.get(), names.has_options);
            if (!has_options) return Answer::Error;
            if (has_options.get() != Py_False) return Answer::Runtime;
            Ref name = frame::get_attr(value.get(), names.name);
            Ref number = name ? frame::get_attr(value.get(), names.number) : Ref();
            if (!number) return Answer::Error;
            if (!PyUnicode_CheckExact(name.get()) || !PyLong_CheckExact(number.get()))
                return Answer::Runtime;
            if (PyDict_SetItem(plan->numbers.get(), name.get(), number.get()) < 0)
                return Answer::Error;
            const long n = PyLong_AsLong(number.get());
            if (n == -1 && PyErr_Occurred()) return Answer::Error;
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
            if (!text) return Answer::Error;
            plan->utf8_numbers.emplace(std::string(text, static_cast<std::size_t>(size)),
                                       static_cast<std::int32_t>(n));
            // Aliases share a number; the runtime names it as values_by_number does.
            if (by_value.count(static_cast<std::int32_t>(n))) continue;
            Ref runtime_value = Ref::steal(PyObject_GetItem(by_number.get(), number.get()));
            Ref runtime_name =
                runtime_value ? frame::get_attr(runtime_value.get(), names.name) : Ref();
            if (!runtime_name) return Answer::Error;
            if (!PyUnicode_CheckExact(runtime_name.get())) return Answer::Runtime;
            by_value.emplace(static_cast<std::int32_t>(n), std::move(runtime_name));
        }
        if (PyErr_Occurred()) return Answer::Error;
        for (auto& [number, name] : by_value) plan->names.emplace_back(number, std::move(name));
        std::sort(plan->names.begin(), plan->names.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        out = plan.get();
        held_.push_back(Ref::borrow(descriptor));
        enums_.emplace(descriptor, plan.get());
        plan_.enums.push_back(std::move(plan));
        return Answer::Done;
    }

    // Whether `message_type` describes map entries: Done for entries, Runtime
    // for any other message type.
    Answer is_map_entry(PyObject* message_type) {
        Ref has_options = frame::get_attr(message_type, names.has_options);
        if (!has_options) return Answer::Error;
        if (has_options.get() == Py_False) return Answer::Runtime;
        Ref options = frame::call_method(message_type, names.GetOptions, {});
        Ref map_entry = options ? frame::get_attr(options.get(), names.map_entry) : Ref();
        const int is_entry = map_entry ? PyObject_IsTrue(map_entry.get()) : -1;
        return is_entry < 0 ? Answer::Error : is_entry ? Answer::Done : Answer::Runtime;
    }

    Answer field_plan(PyObject* field_descriptor, FieldPlan& field) {
        long number, type;
        if (!long_attr(field_descriptor, names.number, number) ||
            !long_attr(field_descriptor, names.type, type))
            return Answer::Error;
        if (number <= 0 || type < wire::kDouble || type > wire::kMaxFieldType)
            return Answer::Runtime;
        field.number = static_cast<std::uint32_t>(number);
        field.type = &wire::info(static_cast<wire::FieldType>(type));
        field.json_name = frame::get_attr(field_descriptor, names.json_name);
        Ref repeated =
            field.json_name ? frame::get_attr(field_descriptor, names.is_repeated) : Ref();
        Ref required = repeated ? frame::get_attr(field_descriptor, names.is_required) : Ref();
        Ref oneof = required ? frame::get_attr(field_descriptor, names.containing_oneof) : Ref();
        Ref presence = oneof ? frame::get_attr(field_descriptor, names.has_presence) : Ref();
        if (!presence) return Answer::Error;
        if (!PyUnicode_CheckExact(field.json_name.get())) return Answer::Runtime;
        field.repeated = PyObject_IsTrue(repeated.get()) == 1;
        field.required = PyObject_IsTrue(required.get()) == 1;
        field.implicit = !field.repeated && PyObject_IsTrue(presence.get()) == 0;
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(field.json_name.get(), &size);
        if (!text) return frame::runtime_or_error();
        json_text::quoted(field.json_key, text, static_cast<std::size_t>(size));
        field.json_key.push_back(':');
        if (oneof.get() != Py_None) {
            long index;
            if (!long_attr(oneof.get(), names.index, index)) return Answer::Error;
            field.oneof = static_cast<int>(index);
        }
        if (field.ctype() == wire::CType::Enum) {
            Ref enum_type = frame::get_attr(field_descriptor, names.enum_type);
            if (!enum_type) return Answer::Error;
            return enum_plan(enum_type.get(), field.enumeration);
        }
        if (field.ctype() != wire::CType::Message) return Answer::Done;
        Ref message_type = frame::get_attr(field_descriptor, names.message_type);
        if (!message_type) return Answer::Error;
        const Answer map = field.repeated && field.type->type == wire::kMessage
                               ? is_map_entry(message_type.get())
                               : Answer::Runtime;
        if (map == Answer::Error) return map;
        field.map = map == Answer::Done;
        field.message = plan_for(message_type.get(), field.map);
        return Answer::Done;
    }

    // The extension ranges of an extendable type, and whether its wire format
    // is a message set.
    Answer extension_ranges(PyObject* descriptor, MessagePlan& plan) {
        Ref extendable = frame::get_attr(descriptor, names.is_extendable);
        if (!extendable) return Answer::Error;
        if (extendable.get() == Py_False) return Answer::Done;
        Ref has_options = frame::get_attr(descriptor, names.has_options);
        if (!has_options) return Answer::Error;
        if (has_options.get() != Py_False) {
            Ref options = frame::call_method(descriptor, names.GetOptions, {});
            Ref set = options ? frame::get_attr(options.get(), names.message_set_wire_format) : Ref();
            if (!set) return Answer::Error;
            plan.message_set = set.get() != Py_False;
        }
        Ref ranges = frame::get_attr(descriptor, names.extension_ranges);
        Ref iterator = ranges ? Ref::steal(PyObject_GetIter(ranges.get())) : Ref();
        if (!iterator) return Answer::Error;
        while (Ref range = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!PyTuple_Check(range.get()) || PyTuple_GET_SIZE(range.get()) != 2) return Answer::Runtime;
            const long start = PyLong_AsLong(PyTuple_GET_ITEM(range.get(), 0));
            const long end = PyLong_AsLong(PyTuple_GET_ITEM(range.get(), 1));
            if ((start == -1 || end == -1) && PyErr_Occurred()) return frame::runtime_or_error();
            if (start < 1 || end <= start) return Answer::Runtime;
            plan.extension_ranges.emplace_back(static_cast<std::uint32_t>(start),
                                               static_cast<std::uint32_t>(std::min(end, 1L << 29)));
        }
        return PyErr_Occurred() ? Answer::Error : Answer::Done;
    }

    // Reads one message type's fields into its plan.
    Answer fill_plan(PyObject* descriptor, MessagePlan& plan, bool map_entry) {
        const WellKnownType* expected = nullptr;
        Answer done = kind_of(descriptor, plan.well_known, expected);
        if (done != Answer::Done) return done;
        if ((done = extension_ranges(descriptor, plan)) != Answer::Done) return done;
        PyTypeObject* cls = nullptr;  // none for map entries, which have no instances here
        if (!map_entry) {
            const Answer watched = watch_class(descriptor, plan, cls);
            if (watched != Answer::Done) return watched;
        }

        Ref fields = frame::get_attr(descriptor, names.fields);
        Ref iterator = fields ? Ref::steal(PyObject_GetIter(fields.get())) : Ref();
        Ref oneofs = iterator ? frame::get_attr(descriptor, names.oneofs) : Ref();
        plan.keys = Ref::steal(PyDict_New());
        plan.names = Ref::steal(PyDict_New());
        if (!oneofs || !plan.keys || !plan.names) return Answer::Error;
        std::vector<std::pair<Ref, Ref>> declared;  // (name, JSON name) in declaration order
        while (Ref field_descriptor = Ref::steal(PyIter_Next(iterator.get()))) {
            FieldPlan field;
            const Answer known = field_plan(field_descriptor.get(), field);
            if (known != Answer::Done) return known;
            Ref name = frame::get_attr(field_descriptor.get(), names.name);
            if (!name) return Answer::Error;
            if (!PyUnicode_CheckExact(name.get())) return Answer::Runtime;
            // The runtime's messages give a field's name precedence over their
            // class's attributes: a field named DESCRIPTOR or ListFields hides
            // what json_format reads, and one named MergeFromString what is
            // called here.
            if (cls && _PyType_Lookup(cls, name.get())) return Answer::Runtime;
            // Interned, a name is the very object of a record's key written in
            // source code, which a dict lookup then finds without comparing text.
            PyObject* interned = name.release();
            PyUnicode_InternInPlace(&interned);
            name = Ref::steal(interned);
            declared.emplace_back(std::move(name), Ref::borrow(field.json_name.get()));
            plan.required = plan.required || field.required;
            plan.fields.push_back(std::move(field));
        }
        if (PyErr_Occurred()) return Answer::Error;
        if (plan.well_known == WellKnown::Wrapper && plan.fields.empty()) return Answer::Runtime;

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
                if (!index || PyDict_SetItem(plan.keys.get(), key, index.get()) < 0)
                    return Answer::Error;
            }
        }
        for (std::size_t i = 0; i < declared.size(); ++i) {
            Ref index = Ref::steal(PyLong_FromSize_t(position[i]));
            Py_ssize_t size;
            const char* text = index ? PyUnicode_AsUTF8AndSize(declared[i].first.get(), &size) : nullptr;
            if (!text || PyDict_SetItem(plan.names.get(), declared[i].first.get(), index.get()) < 0)
                return Answer::Error;
            plan.utf8_names.emplace(std::string(text, static_cast<std::size_t>(size)),
                                    static_cast<std::uint16_t>(position[i]));
        }
        for (const auto& [name, json_name] : declared) {
            const int same = PyUnicode_Compare(name.get(), json_name.get());
            if (same == -1 && PyErr_Occurred()) return Answer::Error;
            plan.aliased = plan.aliased || same != 0;
        }
        const Py_ssize_t oneof_count = PySequence_Size(oneofs.get());
        if (oneof_count < 0) return Answer::Error;
        // ParseDict keeps oneof names among the keys it has seen; a key equal
        // to one would meet that bookkeeping. And at most 64 oneofs fit the
        // mask of the writer.
        plan.parsable = oneof_count <= 64;
        for (Py_ssize_t i = 0; i < oneof_count && plan.parsable; ++i) {
            Ref oneof = Ref::steal(PySequence_GetItem(oneofs.get(), i));
            Ref name = oneof ? frame::get_attr(oneof.get(), names.name) : Ref();
            if (!name) return Answer::Error;
            const int clash = PyDict_Contains(plan.keys.get(), name.get());
            if (clash < 0) return Answer::Error;
            plan.parsable = !clash;
        }

        // The readers take an entry's key and value as fields[0] and fields[1].
        if (map_entry && (plan.fields.size() != 2 || plan.fields[0].number != 1 ||
                          plan.fields[1].number != 2 || plan.fields[0].repeated ||
                          plan.fields[1].repeated || !plan.fields[0].type->map_key))
            return Answer::Runtime;
        const std::uint32_t small = std::min<std::uint32_t>(
            plan.fields.empty() ? 0 : plan.fields.back().number + 1, 256);
        plan.by_small_number.assign(small, -1);
        for (std::size_t i = 0; i < plan.fields.size(); ++i) {
            if (i > 0 && plan.fields[i].number == plan.fields[i - 1].number) return Answer::Runtime;
            if (plan.fields[i].number < small)
                plan.by_small_number[plan.fields[i].number] = static_cast<std::int16_t>(i);
        }
        return layout_matches(plan, declared, expected) ? Answer::Done : Answer::Runtime;
    }

    // The well-known types that refer to each other must do so as the
    // originals do: Struct's values and ListValue's items are Values, which
    // hold a Struct or a ListValue.
    bool references_match() const {
        const auto is = [](const FieldPlan& field, WellKnown kind) {
            return field.message && field.message->well_known == kind;
        };
        for (const auto& message : plan_.messages) {
            const auto& fields = message->fields;
            switch (message->well_known) {
                case WellKnown::Struct:
                    if (!fields[0].map || fields[0].message->fields[0].ctype() != wire::CType::String ||
                        !is(fields[0].message->fields[1], WellKnown::Value))
                        return false;
                    break;
                case WellKnown::ListValue:
                    if (fields[0].map || !is(fields[0], WellKnown::Value)) return false;
                    break;
                case WellKnown::Value:
                    if (!fields[0].enumeration->null_value || !is(fields[4], WellKnown::Struct) ||
                        !is(fields[5], WellKnown::ListValue) || fields[0].oneof < 0 ||
                        std::any_of(fields.begin(), fields.end(),
                                    [&](const FieldPlan& f) { return f.oneof != fields[0].oneof; }))
                        return false;
                    break;
                default:
                    break;
            }
        }
        return true;
    }

    // Keeps a weak reference to the class of a nested message type, with its
    // version tag, so that a change to it shows; then the class must be
    // exactly the runtime's. Sets `out` to the class, held while building.
    Answer watch_class(PyObject* descriptor, MessagePlan& plan, PyTypeObject*& out) {
        if (&plan == plan_.messages.front().get()) {  // the class being planned
            out = type_;
            return Answer::Done;
        }
        Ref cls = frame::get_attr(descriptor, names.concrete_class);
        if (!cls) return frame::runtime_or_error();
        if (!PyType_Check(cls.get())) return Answer::Runtime;
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        const unsigned int tag = version_tag(type);
        if (!tag) return Answer::Runtime;
        Ref weak = Ref::steal(PyWeakref_NewRef(cls.get(), nullptr));
        if (!weak) return Answer::Error;
        plan_.nested.push_back({.weak = std::move(weak), .tag = tag});
        watched_.push_back(std::move(cls));
        out = type;
        return runtime_message::own_descriptor(type) == descriptor ? Answer::Done : Answer::Runtime;
    }

    TypePlan& plan_;
    PyTypeObject* type_;
    std::unordered_map<PyObject*, MessagePlan*> by_descriptor_;
    std::unordered_map<PyObject*, const EnumPlan*> enums_;
    std::vector<std::pair<Ref, MessagePlan*>> pending_;  // also keeps the descriptors alive
    std::vector<bool> entries_;                          // per pending type: map entries
    std::vector<Ref> held_;                              // keeps the other keys alive
    std::vector<Ref> watched_;                           // the nested classes, while building
};

}  // namespace

bool TypePlan::current(PyTypeObject* type) const {
    if (!tag_is(type, tag)) return false;
    for (const ClassWatch& watch : nested) {
        PyObject* cls = PyWeakref_GET_OBJECT(watch.weak.get());
        if (cls == Py_None || !tag_is(reinterpret_cast<PyTypeObject*>(cls), watch.tag))
            return false;
    }
    return true;
}

PlanRef plan_of(PyTypeObject* type) {
    if (!runtime_message::is_runtime_class(type)) return {};
    if (const auto* found = state.plans.find(type); found && (*found)->current(type)) return *found;

    PlanRef plan(new TypePlan());
    plan->tag = version_tag(type);  // before reading, so a change meanwhile shows next time
    if (!plan->tag) return {};
    Ref descriptor = Ref::borrow(runtime_message::own_descriptor(type));
    plan->serialize = Ref::borrow(_PyType_Lookup(type, names.SerializePartialToString));
    plan->merge = Ref::borrow(_PyType_Lookup(type, names.MergeFromString));
    if (descriptor && plan->serialize && plan->merge) {
        PlanBuilder builder(*plan, type);
        const Answer built = builder.build(descriptor.get());
        if (built == Answer::Error) return {};
        plan->supported = built == Answer::Done;
        plan->parsable = plan->supported &&
                         std::all_of(plan->messages.begin(), plan->messages.end(),
                                     [](const auto& message) { return message->parsable; });
        plan->required = std::any_of(plan->messages.begin(), plan->messages.end(),
                                     [](const auto& message) { return message->required; });
    }
    if (state.plans.store(type, plan) < 0) return {};
    return plan;
}

// ---- the message classes of Any ---------------------------------------------------------------

namespace {

// json_format's module namespace, as its recorded MessageToDict sees it
// (borrowed), or null when the function was not recorded.
PyObject* json_format_globals() {
    return state.message_to_dict.function ? PyFunction_GET_GLOBALS(state.message_to_dict.function)
                                          : nullptr;
}

// A global of json_format's namespace; Runtime when it is missing.
Answer json_format_global(PyObject* name, Ref& out) {
    PyObject* globals = json_format_globals();
    PyObject* found = globals ? PyDict_GetItemWithError(globals, name) : nullptr;
    if (!found) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
    out = Ref::borrow(found);
    return Answer::Done;
}

}  // namespace

Answer any_class(PyObject* type_url, Ref& cls, PlanRef& plan) {
    if (!PyUnicode_CheckExact(type_url)) return Answer::Runtime;
    // type_url.split('/')[-1]
    const Py_ssize_t length = PyUnicode_GET_LENGTH(type_url);
    const Py_ssize_t slash = PyUnicode_FindChar(type_url, '/', 0, length, -1);
    if (slash == -2) return Answer::Error;
    Ref type_name = Ref::steal(PyUnicode_Substring(type_url, slash + 1, length));
    Ref symbols, factory;
    Answer done = json_format_global(names.symbol_database, symbols);
    if (done == Answer::Done) done = json_format_global(names.message_factory, factory);
    if (done != Answer::Done) return done;
    Ref database = type_name ? frame::call_method(symbols.get(), names.Default, {}) : Ref();
    Ref pool = database ? frame::get_attr(database.get(), names.pool) : Ref();
    Ref descriptor =
        pool ? frame::call_method(pool.get(), names.FindMessageTypeByName, {type_name.get()}) : Ref();
    cls = descriptor ? frame::call_method(factory.get(), names.GetMessageClass, {descriptor.get()})
                     : Ref();
    if (!cls) return frame::runtime_or_error();
    if (!PyType_Check(cls.get())) return Answer::Runtime;
    plan = plan_of(reinterpret_cast<PyTypeObject*>(cls.get()));
    if (!plan) return PyErr_Occurred() ? Answer::Error : Answer::Runtime;
    return plan->supported ? Answer::Done : Answer::Runtime;
}

Ref new_ordered_dict() {
    Ref ordered_dict;
    if (json_format_global(names.OrderedDict, ordered_dict) != Answer::Done) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "json_format has no OrderedDict");
        return {};
    }
    return frame::call(ordered_dict.get(), {});
}

// ---- entry points ----------------------------------------------------------------------------

int make_names() {
    if (runtime_message::make_names() < 0) return -1;
    return frame::intern_names(names.table());
}

void remember_runtime(PyObject* message_to_dict, PyObject* parse_dict) {
    remember(state.message_to_dict, message_to_dict, names.MessageToDict);
    remember(state.parse_dict, parse_dict, names.ParseDict);
}

bool is_runtime_message_to_dict(PyObject* function) {
    return is_unchanged(state.message_to_dict, function);
}

bool is_runtime_parse_dict(PyObject* function) {
    return is_unchanged(state.parse_dict, function);
}

}  // namespace json_mapping
