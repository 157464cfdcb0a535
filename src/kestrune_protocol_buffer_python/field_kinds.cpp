#include "field_kinds.h"

#include "frame/class_cache.h"
#include "frame/ops.h"
#include "runtime_message.h"

#include <cstddef>
#include <utility>

// A field's kind comes from two questions asked of its descriptor: is it
// repeated, and are its values messages. The field tables ask both once per
// class; the general path asks them when the walk reaches them (the message
// question once per item of a repeated field), since a descriptor of another
// kind may answer differently each time.
//
// For the runtime's own message classes everything the walk asks a field's
// descriptor is fixed once the class exists, so it is read once per class into
// a table {field name: kind}. A key found there skips the attribute test and
// the descriptor reads of the general path, which give the same answers; any
// other key, and every message of another kind of class, takes the general
// path. A table is used only while the message's DESCRIPTOR and the module's
// FieldDescriptor.TYPE_MESSAGE are those it was built from.
//
// The cache holds at most kMaxFieldTables classes. It keeps neither a class
// nor its descriptor alive (a descriptor keeps its pool, and the pool its
// classes): the class cache holds each class by weak reference, and an entry
// knows the descriptor only by address. While the class lives it holds that
// descriptor, so the address cannot be reused for another object.

namespace field_kinds {
namespace {

using frame::Ref;

#define FIELD_KINDS_NAMES(X)                  \
    X(FieldDescriptor, "FieldDescriptor")     \
    X(LABEL_REPEATED, "LABEL_REPEATED")       \
    X(TYPE_MESSAGE, "TYPE_MESSAGE")           \
    X(DESCRIPTOR, "DESCRIPTOR")               \
    X(fields, "fields")                       \
    X(name, "name")                           \
    X(label, "label")                         \
    X(is_repeated, "is_repeated")             \
    X(type, "type")
FRAME_NAMES(Names, FIELD_KINDS_NAMES);

// The facts read from one class's descriptor.
struct FieldTable {
    const void* descriptor;   // identity of the DESCRIPTOR the table was built from
    Ref type_message;         // FieldDescriptor.TYPE_MESSAGE when it was built
    Ref table;                // {field name: kind}
};

constexpr std::size_t kMaxFieldTables = 1024;

// What this part keeps for the life of the process.
struct State {
    Names names;
    frame::ClassCache<FieldTable> tables{"drop_field_table", kMaxFieldTables};
} state;

Names& names = state.names;

// `descriptor_attribute == constant`: 1, 0, or -1 with an exception set.
int attribute_equals(PyObject* field_descriptor, PyObject* attribute, PyObject* constant) {
    Ref value = frame::get_attr(field_descriptor, attribute);
    if (!value) return -1;
    return PyObject_RichCompareBool(value.get(), constant, Py_EQ);
}

// `FieldDescriptor.<constant>`, with FieldDescriptor looked up in the module namespace.
Ref field_constant(const frame::ModuleState& module, PyObject* constant) {
    Ref field_descriptor_class = frame::lookup_global(module, names.FieldDescriptor);
    if (!field_descriptor_class) return {};
    return frame::get_attr(field_descriptor_class.get(), constant);
}

// Builds {field name: kind} from descriptor.fields; new reference or null.
Ref build_table(const frame::ModuleState& module, PyObject* descriptor, PyObject* type_message) {
    Ref fields = frame::get_attr(descriptor, names.fields);
    Ref iterator = fields ? Ref::steal(PyObject_GetIter(fields.get())) : Ref();
    Ref table = Ref::steal(PyDict_New());
    if (!iterator || !table) return {};
    while (Ref field_descriptor = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref name = frame::get_attr(field_descriptor.get(), names.name);
        if (!name || !PyUnicode_CheckExact(name.get())) return {};
        const int repeated = is_repeated(module, field_descriptor.get());
        if (repeated < 0) return {};
        const int message = holds_messages(module, field_descriptor.get(), type_message);
        if (message < 0) return {};
        Ref kind = Ref::steal(PyLong_FromLong(kind_of(repeated, message)));
        if (!kind || PyDict_SetItem(table.get(), name.get(), kind.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return table;
}

}  // namespace

int make_names() { return frame::intern_names(names.table()); }

// The runtime's `is_repeated` where the descriptor has it (protobuf 6
// deprecates `label` and protobuf 7 removed it, so reading `label` alone would
// fail for every field), else the comparison
// `label == FieldDescriptor.LABEL_REPEATED` of older runtimes.
int is_repeated(const frame::ModuleState& module, PyObject* field_descriptor) {
    Ref flag = frame::get_attr(field_descriptor, names.is_repeated);
    if (flag) return PyObject_IsTrue(flag.get());
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    Ref label_repeated = field_constant(module, names.LABEL_REPEATED);
    if (!label_repeated) return -1;
    return attribute_equals(field_descriptor, names.label, label_repeated.get());
}

int holds_messages(const frame::ModuleState& module, PyObject* field_descriptor,
                   PyObject* type_message) {
    Ref constant = type_message ? Ref::borrow(type_message)
                                : field_constant(module, names.TYPE_MESSAGE);
    if (!constant) return -1;
    return attribute_equals(field_descriptor, names.type, constant.get());
}

// The caller owns the table because nested calls may replace or drop the cache
// entry while the walk still reads it. Anything unexpected while reading (a
// class of another kind, a descriptor that does not answer) leaves the general
// path to serve, and to report it.
Ref table_for(const frame::ModuleState& module, PyObject* message) {
    PyTypeObject* type = Py_TYPE(message);
    if (!runtime_message::is_runtime_class(type)) return {};
    Ref descriptor = frame::get_attr(message, names.DESCRIPTOR);
    Ref type_message = descriptor ? field_constant(module, names.TYPE_MESSAGE) : Ref();
    if (!type_message) {
        PyErr_Clear();
        return {};
    }
    if (const FieldTable* entry = state.tables.find(type);
        entry && entry->descriptor == descriptor.get() &&
        entry->type_message.get() == type_message.get())
        return Ref::borrow(entry->table.get());
    Ref table = build_table(module, descriptor.get(), type_message.get());
    if (!table) {
        PyErr_Clear();
        return {};
    }
    if (state.tables.store(type, FieldTable{.descriptor = descriptor.get(),
                                            .type_message = std::move(type_message),
                                            .table = Ref::borrow(table.get())}) < 0)
        PyErr_Clear();  // the table still serves this walk
    return table;
}

}  // namespace field_kinds
