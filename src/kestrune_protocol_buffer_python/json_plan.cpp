// The plans of message classes, and the record of json_format's own functions.
#include "json_mapping.h"
#include "json_plan.h"
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
    frame::ClassCache<std::shared_ptr<TypePlan>> plans{"drop_json_mapping_plan", kMaxPlans};
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

// Whether a file is a proto2 or proto3 file (not one of editions): the syntax
// field (12) of its serialized FileDescriptorProto. Done when it is, Runtime
// when not.
Answer classic_syntax(PyObject* file) {
    Ref serialized = frame::get_attr(file, names.serialized_pb);
    if (!serialized) return Answer::Error;
    if (!PyBytes_Check(serialized.get())) return Answer::Runtime;
    wire::Reader in(PyBytes_AS_STRING(serialized.get()),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(serialized.get())));
    while (!in.done()) {
        std::uint32_t number, wire_type;
        if (!in.tag(number, wire_type)) return Answer::Runtime;
        if (number == 12 && wire_type == wire::kLengthDelimited) {
            const char* text;
            std::size_t size;
            if (!in.span(text, size)) return Answer::Runtime;
            const std::string_view syntax(text, size);
            return syntax == "proto2" || syntax == "proto3" ? Answer::Done : Answer::Runtime;
        }
        if (!in.skip(wire_type, number)) return Answer::Runtime;
    }
    return Answer::Done;  // no syntax: proto2
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
        return Answer::Done;
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

    // Whether the type is not one that json_format maps in its own way, and
    // its file is not of editions. json_format knows the well-known types by
    // full name (and the wrappers by their file's name), so a copy of one
    // declared in another file is as special as the original.
    Answer type_supported(PyObject* descriptor) {
        Ref full_name = frame::get_attr(descriptor, names.full_name);
        if (!full_name) return Answer::Error;
        if (!PyUnicode_Check(full_name.get())) return Answer::Runtime;
        const Py_ssize_t well_known = PyUnicode_Tailmatch(full_name.get(), names.well_known_package,
                                                          0, PY_SSIZE_T_MAX, -1);
        if (well_known < 0) return Answer::Error;
        if (well_known) return Answer::Runtime;
        return file_supported(descriptor);
    }

    // Whether the type's file is neither a well-known type's nor of editions.
    Answer file_supported(PyObject* descriptor) {
        Ref file = frame::get_attr(descriptor, names.file);
        if (!file) return Answer::Error;
        if (auto found = files_.find(file.get()); found != files_.end()) return found->second;
        Ref file_name = frame::get_attr(file.get(), names.name);
        if (!file_name) return Answer::Error;
        const Py_ssize_t well_known =
            PyUnicode_Check(file_name.get())
                ? PyUnicode_Tailmatch(file_name.get(), names.well_known_file_prefix, 0,
                                      PY_SSIZE_T_MAX, -1)
                : 1;
        if (well_known < 0) return Answer::Error;
        const Answer supported = well_known ? Answer::Runtime : classic_syntax(file.get());
        if (supported == Answer::Error) return supported;
        held_.push_back(Ref::borrow(file.get()));
        files_.emplace(file.get(), supported);
        return supported;
    }

    Answer enum_plan(PyObject* descriptor, const EnumPlan*& out) {
        if (auto found = enums_.find(descriptor); found != enums_.end()) {
            out = found->second;
            return Answer::Done;
        }
        const Answer type_ok = type_supported(descriptor);
        if (type_ok != Answer::Done) return type_ok;
        auto plan = std::make_unique<EnumPlan>();
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
        if (number <= 0 || type < wire::kDouble || type > wire::kMaxFieldType ||
            type == wire::kGroup)
            return Answer::Runtime;
        field.number = static_cast<std::uint32_t>(number);
        field.type = &wire::info(static_cast<wire::FieldType>(type));
        field.json_name = frame::get_attr(field_descriptor, names.json_name);
        Ref repeated =
            field.json_name ? frame::get_attr(field_descriptor, names.is_repeated) : Ref();
        Ref oneof = repeated ? frame::get_attr(field_descriptor, names.containing_oneof) : Ref();
        if (!oneof) return Answer::Error;
        if (!PyUnicode_CheckExact(field.json_name.get())) return Answer::Runtime;
        field.repeated = PyObject_IsTrue(repeated.get()) == 1;
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
        const Answer map = field.repeated ? is_map_entry(message_type.get()) : Answer::Runtime;
        if (map == Answer::Error) return map;
        field.map = map == Answer::Done;
        field.message = plan_for(message_type.get(), field.map);
        return Answer::Done;
    }

    // Reads one message type's fields into its plan.
    Answer fill_plan(PyObject* descriptor, MessagePlan& plan, bool map_entry) {
        const Answer type_ok = type_supported(descriptor);
        if (type_ok != Answer::Done) return type_ok;
        Ref extendable = frame::get_attr(descriptor, names.is_extendable);
        if (!extendable) return Answer::Error;
        if (extendable.get() != Py_False) return Answer::Runtime;
        PyTypeObject* cls = nullptr;  // none for map entries, which have no instances here
        if (!map_entry) {
            const Answer watched = watch_class(descriptor, plan, cls);
            if (watched != Answer::Done) return watched;
        }

        Ref fields = frame::get_attr(descriptor, names.fields);
        Ref iterator = fields ? Ref::steal(PyObject_GetIter(fields.get())) : Ref();
        Ref oneofs = iterator ? frame::get_attr(descriptor, names.oneofs) : Ref();
        plan.keys = Ref::steal(PyDict_New());
        if (!oneofs || !plan.keys) return Answer::Error;
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
            declared.emplace_back(std::move(name), Ref::borrow(field.json_name.get()));
            plan.fields.push_back(std::move(field));
        }
        if (PyErr_Occurred()) return Answer::Error;

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
        return Answer::Done;
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
    std::unordered_map<PyObject*, Answer> files_;
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

std::shared_ptr<TypePlan> plan_of(PyTypeObject* type) {
    if (!runtime_message::is_runtime_class(type)) return {};
    if (const auto* found = state.plans.find(type); found && (*found)->current(type)) return *found;

    auto plan = std::make_shared<TypePlan>();
    plan->tag = version_tag(type);  // before reading, so a change meanwhile shows next time
    if (!plan->tag) return {};
    Ref descriptor = Ref::borrow(runtime_message::own_descriptor(type));
    if (descriptor) {
        PlanBuilder builder(*plan, type);
        const Answer built = builder.build(descriptor.get());
        if (built == Answer::Error) return {};
        plan->supported = built == Answer::Done;
        plan->parsable = plan->supported &&
                         std::all_of(plan->messages.begin(), plan->messages.end(),
                                     [](const auto& message) { return message->parsable; });
    }
    if (state.plans.store(type, plan) < 0) return {};
    return plan;
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
