#include "ops.h"

#include "errors.h"
#include "frame_names.h"
#include "module.h"

namespace frame {
namespace {

// True when the registry entry is still running its module code.
int is_initializing(PyObject* module) {
    Ref spec = Ref::steal(PyObject_GetAttr(module, frame_names.dunder_spec));
    if (!spec) {
        PyErr_Clear();
        return 0;
    }
    Ref flag = Ref::steal(PyObject_GetAttr(spec.get(), frame_names.initializing));
    if (!flag) {
        PyErr_Clear();
        return 0;
    }
    return PyObject_IsTrue(flag.get());
}

}  // namespace

Ref lookup_global(const ModuleState& state, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.dict, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return {};
    found = PyDict_GetItemWithError(state.builtins_dict, name);
    if (found) return Ref::borrow(found);
    if (!PyErr_Occurred()) raise_name_error(name);
    return {};
}

namespace {

std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

}  // namespace

Ref GlobalName::get(const ModuleState& state) {
    if (globals_version_ && globals_version_ == version_of(state.dict) &&
        (!builtins_version_ || builtins_version_ == version_of(state.builtins_dict)))
        return Ref::borrow(value_);
    globals_version_ = 0;
    PyObject* found = PyDict_GetItemWithError(state.dict, *name_);
    std::uint64_t builtins_version = 0;
    if (!found) {
        if (PyErr_Occurred()) return {};
        found = PyDict_GetItemWithError(state.builtins_dict, *name_);
        if (!found) {
            if (!PyErr_Occurred()) raise_name_error(*name_);
            return {};
        }
        builtins_version = version_of(state.builtins_dict);
    }
    value_ = found;
    globals_version_ = version_of(state.dict);
    builtins_version_ = builtins_version;
    return Ref::borrow(found);
}

Ref import_module(const ModuleState& state, PyObject* name) {
    Ref module = Ref::steal(PyImport_GetModule(name));
    // A None entry blocks the import; the full import below reports it.
    if (module && module.get() != Py_None) {
        const int initializing = is_initializing(module.get());
        if (initializing < 0) return {};
        if (!initializing) return module;
    } else if (PyErr_Occurred()) {
        return {};
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name, state.dict, nullptr, nullptr, 0));
}

Ref import_from(const ModuleState& state, PyObject* package, PyObject* fromlist) {
    PyObject* name = PyTuple_GET_ITEM(fromlist, 0);
    Ref module =
        Ref::steal(PyImport_ImportModuleLevelObject(package, state.dict, nullptr, fromlist, 0));
    if (!module) return {};
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package, name));
    if (!full) return {};
    value = Ref::steal(PyImport_GetModule(full.get()));
    if (value) return value;
    if (!PyErr_Occurred()) raise_cannot_import(name);
    return {};
}

int runs_as_main(const ModuleState& state) {
    Ref module_name = lookup_global(state, frame_names.dunder_name);
    if (!module_name) return -1;
    return PyObject_RichCompareBool(module_name.get(), frame_names.dunder_main, Py_EQ);
}

int import_statement(ModuleState& state, PyObject* name) {
    Ref module = import_module(state, name);
    return module ? bind_global(state, name, module.get()) : -1;
}

int from_import_statement(ModuleState& state, PyObject* package, PyObject* fromlist,
                          PyObject* alias) {
    Ref value = import_from(state, package, fromlist);
    return value ? bind_global(state, alias, value.get()) : -1;
}

}  // namespace frame
