#include "runtime_message.h"

#include "frame/module.h"

#include <cstring>

namespace runtime_message {
namespace {

#define RUNTIME_MESSAGE_NAMES(X)     \
    X(DESCRIPTOR, "DESCRIPTOR")      \
    X(dunder_module, "__module__")   \
    X(dunder_qualname, "__qualname__") \
    X(dunder_doc, "__doc__")         \
    X(dunder_slots, "__slots__")
FRAME_NAMES(Names, RUNTIME_MESSAGE_NAMES);

// The compiled types of the runtime, by their names there.
constexpr const char* kMessageBase = "google._upb._message.Message";
constexpr const char* kMessageMeta = "google._upb._message.MessageMeta";
constexpr const char* kDescriptor = "google._upb._message.Descriptor";
constexpr const char* kWellKnownMixins = "google.protobuf.internal.well_known_types";
constexpr const char* kFieldMaskMixin = "google.protobuf.internal.field_mask";

struct State {
    Names names;
    PyTypeObject* message_base = nullptr;  // strong, found by name at the first class
    PyTypeObject* message_meta = nullptr;  // strong
} state;

// Whether `type` was made by the runtime's metaclass on its message base.
bool made_by_runtime(PyTypeObject* type) {
    if (!state.message_base) {
        PyTypeObject* base = type->tp_base;
        if (!base || std::strcmp(base->tp_name, kMessageBase) != 0 ||
            std::strcmp(Py_TYPE(type)->tp_name, kMessageMeta) != 0)
            return false;
        state.message_base = reinterpret_cast<PyTypeObject*>(Py_NewRef(base));
        state.message_meta = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(type)));
    }
    return type->tp_base == state.message_base && Py_TYPE(type) == state.message_meta;
}

bool is_name(PyObject* key, PyObject* name) {
    return key == name || PyUnicode_Compare(key, name) == 0;
}

}  // namespace

int make_names() { return frame::intern_names(state.names.table()); }

bool is_runtime_class(PyTypeObject* type) {
    return made_by_runtime(type) && type->tp_getattro == state.message_base->tp_getattro &&
           type->tp_setattro == state.message_base->tp_setattro;
}

bool is_runtime_descriptor(PyObject* descriptor) {
    return std::strcmp(Py_TYPE(descriptor)->tp_name, kDescriptor) == 0;
}

// Whether `base` is one of the runtime's pure-Python classes that add methods
// to the well-known types (Timestamp's ToJsonString, Struct's mapping
// methods): they stand after the runtime's own bases and hide nothing.
bool is_well_known_mixin(PyTypeObject* base) {
    PyObject* module = PyDict_GetItemWithError(base->tp_dict, state.names.dunder_module);
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module) &&
           (PyUnicode_CompareWithASCIIString(module, kWellKnownMixins) == 0 ||
            PyUnicode_CompareWithASCIIString(module, kFieldMaskMixin) == 0);
}

PyObject* own_descriptor(PyTypeObject* type) {
    // The class, the base, its abstract base, object; and for a well-known
    // type the runtime's class of its methods before object.
    if (!is_runtime_class(type) || !type->tp_mro) return nullptr;
    const Py_ssize_t bases = PyTuple_GET_SIZE(type->tp_mro);
    if (bases != 4 &&
        !(bases == 5 && is_well_known_mixin(reinterpret_cast<PyTypeObject*>(
                            PyTuple_GET_ITEM(type->tp_mro, 3)))))
        return nullptr;
    const Names& names = state.names;
    PyObject* descriptor = nullptr;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(type->tp_dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return nullptr;
        if (is_name(key, names.DESCRIPTOR)) {
            descriptor = value;
            continue;
        }
        if (is_name(key, names.dunder_module) || is_name(key, names.dunder_qualname) ||
            is_name(key, names.dunder_doc) || is_name(key, names.dunder_slots))
            continue;
        // Nested classes and enum constants hide nothing; a method would.
        if (_PyType_Lookup(state.message_base, key)) return nullptr;
    }
    return descriptor && is_runtime_descriptor(descriptor) ? descriptor : nullptr;
}

unsigned int version_tag(PyTypeObject* type) {
    _PyType_Lookup(type, state.names.DESCRIPTOR);  // a lookup assigns a tag
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

bool tag_is(PyTypeObject* type, unsigned int tag) {
    return tag && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == tag;
}

}  // namespace runtime_message
