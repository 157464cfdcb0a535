#include "module.h"

#include "errors.h"
#include "frame_names.h"
#include "outcome.h"

#include <cstdlib>

namespace frame {

FrameNames frame_names{};

int init_frame_names() {
    const Name table[] = {
        {&frame_names.name, "name"},
        {&frame_names.loader, "loader"},
        {&frame_names.origin, "origin"},
        {&frame_names.parent, "parent"},
        {&frame_names.submodule_search_locations, "submodule_search_locations"},
        {&frame_names.dunder_loader, "__loader__"},
        {&frame_names.dunder_file, "__file__"},
        {&frame_names.dunder_package, "__package__"},
        {&frame_names.dunder_path, "__path__"},
        {&frame_names.dunder_builtins, "__builtins__"},
        {&frame_names.dunder_test, "__test__"},
        {&frame_names.dunder_spec, "__spec__"},
        {&frame_names.dunder_name, "__name__"},
        {&frame_names.dunder_main, "__main__"},
        {&frame_names.initializing, "_initializing"},
    };
    return intern_names(std::vector<Name>(std::begin(table), std::end(table)));
}

namespace {

std::string doubled_backslashes(const char* path) {
    std::string out;
    for (const char* p = path; *p; ++p) {
        out += *p;
        if (*p == '\\') out += '\\';
    }
    return out;
}

// Copies one spec attribute into the module namespace; a missing one is skipped.
int copy_spec_attr(PyObject* spec, PyObject* module, PyObject* from, PyObject* to,
                   bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttr(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyObject_SetAttr(module, to, value.get());
}

// The running interpreter's major and minor version, read from its version text.
void runtime_version(int& major, int& minor) {
    const char* version = Py_GetVersion();
    char* end = nullptr;
    major = static_cast<int>(std::strtol(version, &end, 10));
    minor = (end && *end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
}

// Adds the module to sys.modules under its full name when absent; `added` tells
// whether this call put it there.
int register_module(const ModuleState& state, PyObject* module, bool& added) {
    Ref name = Ref::steal(PyUnicode_FromString(state.full_name));
    if (!name) return -1;
    Ref existing = Ref::steal(PyImport_GetModule(name.get()));
    if (existing) return 0;
    if (PyErr_Occurred()) return -1;
    if (PyObject_SetItem(PyImport_GetModuleDict(), name.get(), module) < 0) return -1;
    added = true;
    return 0;
}

// Takes the module back out of sys.modules after a failed execution step,
// keeping the exception that made it fail.
void unregister_module(const ModuleState& state, PyObject* module) {
    SavedError failure;
    Ref name = Ref::steal(PyUnicode_FromString(state.full_name));
    if (name) {
        Ref existing = Ref::steal(PyImport_GetModule(name.get()));
        if (existing.get() == module) PyObject_DelItem(PyImport_GetModuleDict(), name.get());
    }
}

}  // namespace

ModuleState::ModuleState(const char* short_name_, const char* full_name_, const char* source_file)
    : short_name(short_name_),
      full_name(full_name_),
      code_file(source_file),
      traceback_file(doubled_backslashes(source_file)) {}

int intern_names(const std::vector<Name>& names) {
    for (const Name& n : names) {
        if (*n.slot) continue;
        PyObject* s = PyUnicode_InternFromString(n.text);
        if (!s || PyObject_Hash(s) == -1) {
            Py_XDECREF(s);
            return -1;
        }
        *n.slot = s;
    }
    return 0;
}

int bind_global(ModuleState& state, PyObject* name, PyObject* value) {
    return PyDict_SetItem(state.dict, name, value);
}

int define(ModuleState& state, FunctionSpec& spec) {
    if (prepare(state, spec) < 0) return -1;
    Ref function = new_function(spec);
    if (!function) return -1;
    return bind_global(state, spec.name_obj, function.get());
}

PyObject* create_module(ModuleState& state, PyObject* spec) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        raise_interpreter_change();
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    if (init_frame_names() < 0) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(spec, frame_names.name));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    const FrameNames& n = frame_names;
    if (copy_spec_attr(spec, module.get(), n.loader, n.dunder_loader, false) < 0 ||
        copy_spec_attr(spec, module.get(), n.origin, n.dunder_file, false) < 0 ||
        copy_spec_attr(spec, module.get(), n.parent, n.dunder_package, false) < 0 ||
        copy_spec_attr(spec, module.get(), n.submodule_search_locations, n.dunder_path, true) < 0)
        return nullptr;
    return module.release();
}

int exec_module(ModuleState& state, const ModuleHooks& hooks, PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        raise_reinitialisation(state.short_name);
        return -1;
    }
    state.module = Py_NewRef(module);
    int line = 1;
    bool registered = false;
    // Steps 5 to 9 report where they failed; every failure leaves no module behind.
    auto fail = [&](bool with_traceback) {
        if (with_traceback && state.init_name) add_traceback(state, state.init_name, line);
        if (registered) unregister_module(state, module);
        Py_CLEAR(state.module);
        return -1;
    };
    try {
        PyObject* dict = PyModule_GetDict(module);
        if (!dict) return fail(false);
        Py_XSETREF(state.dict, Py_NewRef(dict));
        if (!state.builtins) {
            state.builtins = PyImport_ImportModule("builtins");
            if (!state.builtins) return fail(false);
            state.builtins_dict = PyModule_GetDict(state.builtins);
        }
        if (PyObject_SetAttr(module, frame_names.dunder_builtins, state.builtins) < 0)
            return fail(false);

        int major = 0, minor = 0;
        runtime_version(major, minor);
        if ((major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) &&
            warn_version_mismatch(state.full_name, major, minor) < 0)
            return fail(false);

        if (!state.constants_ready) {
            if (intern_names(hooks.names) < 0) return fail(false);
            if (hooks.make_constants && hooks.make_constants() < 0) return fail(false);
            if (!state.init_name) {
                state.init_name = PyUnicode_FromFormat("init %s", state.full_name);
                if (!state.init_name) return fail(false);
                PyUnicode_InternInPlace(&state.init_name);
            }
            state.constants_ready = true;
        }

        if (register_module(state, module, registered) < 0) return fail(true);

        for (const Builtin& b : hooks.builtins) {
            if (*b.slot) continue;
            Ref name = Ref::steal(PyUnicode_InternFromString(b.name));
            if (!name) return fail(true);
            PyObject* found = PyDict_GetItemWithError(state.builtins_dict, name.get());
            if (!found) {
                if (!PyErr_Occurred()) raise_name_error(name.get());
                return fail(true);
            }
            *b.slot = Py_NewRef(found);
        }

        if (hooks.module_code(line) < 0) return fail(true);

        line = 1;
        Ref test = Ref::steal(PyDict_New());
        if (!test || bind_global(state, frame_names.dunder_test, test.get()) < 0) return fail(true);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail(false);
    }
    return 0;
}

}  // namespace frame
