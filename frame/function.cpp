#include "function.h"

#include "errors.h"
#include "module.h"
#include "recursion.h"

#include <structmember.h>

#include <string>

namespace frame {
namespace {

// ---- binding ------------------------------------------------------------------

// Index of the keyword naming `param`: identity first, then text equality.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* param) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == param) return k;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(kw) && PyUnicode_Compare(kw, param) == 0) return k;
    }
    return -1;
}

// Index of the parameter that the keyword names, or -1.
Py_ssize_t param_index(const FunctionSpec& spec, PyObject* kw) {
    const auto n = static_cast<Py_ssize_t>(spec.param_names.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (spec.param_names[i] == kw) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(kw, spec.param_names[i]) == 0) return i;
    }
    return -1;
}

// Raises the error for the first keyword that no parameter took.
void raise_unmatched_keyword(const FunctionSpec& spec, PyObject* kwnames, const Py_ssize_t* taken,
                             Py_ssize_t ntaken) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        bool was_taken = false;
        for (Py_ssize_t t = 0; t < ntaken; ++t) was_taken |= taken[t] == k;
        if (was_taken) continue;
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(kw)) return raise_keywords_not_strings(spec.name);
        // A keyword left over that names a parameter: a position or another
        // keyword of the same name has already bound it.
        if (param_index(spec, kw) >= 0) return raise_multiple_values(spec.name, kw);
        return raise_unexpected_keyword(spec.name, kw);
    }
}

// ---- the function type ----------------------------------------------------------

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* self = reinterpret_cast<Function*>(callable);
    const FunctionSpec& spec = *self->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
    PyObject* bound[kMaxParams];
    if (!bind_arguments(spec, self->defaults, args, nargs, kwnames, bound)) {
        add_traceback(*spec.state, spec.traceback_name, spec.first_line);
        return nullptr;
    }
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        PyTypeObject* type = spec.params[i].exact_type;
        if (type && Py_TYPE(bound[i]) != type) {
            raise_arg_type(spec.params[i].name, type->tp_name, bound[i]);
            add_traceback(*spec.state, spec.traceback_name, spec.first_line);
            return nullptr;
        }
    }
    // Recursive walks and callbacks that call the package again come back
    // through here, so the interpreter's guard bounds them by the stack they hold.
    StackCharge charge(" while calling a Python object");
    if (!charge) return nullptr;
    try {
        return spec.impl(self, bound);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

int function_traverse(PyObject* obj, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<Function*>(obj);
    Py_VISIT(self->defaults);
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->doc);
    Py_VISIT(self->defaults_attr);
    Py_VISIT(self->globals);
    Py_VISIT(self->annotations);
    Py_VISIT(self->dict);
    return 0;
}

int function_clear(PyObject* obj) {
    auto* self = reinterpret_cast<Function*>(obj);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->defaults_attr);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->dict);
    return 0;
}

void function_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    auto* self = reinterpret_cast<Function*>(obj);
    if (self->weakrefs) PyObject_ClearWeakRefs(obj);
    function_clear(obj);
    PyObject_GC_Del(obj);
}

PyObject* function_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(obj)->qualname,
                                obj);
}

// Pickled by reference: the qualified name, resolved against __module__.
PyObject* function_reduce(PyObject* obj, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(obj)->qualname);
}

PyObject* get_name(Function* self, void*) { return Py_NewRef(self->name); }
PyObject* get_qualname(Function* self, void*) { return Py_NewRef(self->qualname); }

int set_text(PyObject** slot, PyObject* value, const char* attribute) {
    if (!value || !PyUnicode_Check(value)) {
        raise_attribute_kind(attribute, "string");
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(Function* self, PyObject* value, void*) {
    return set_text(&self->name, value, "__name__");
}

int set_qualname(Function* self, PyObject* value, void*) {
    return set_text(&self->qualname, value, "__qualname__");
}

PyObject* get_defaults(Function* self, void*) {
    return Py_NewRef(self->defaults_attr ? self->defaults_attr : Py_None);
}

// The attribute can be replaced, but calls keep the defaults of creation.
int set_defaults(Function* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        raise_attribute_kind("__defaults__", "tuple");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(self->defaults_attr, value);
    return 0;
}

PyObject* get_code(Function* self, void*) { return Py_NewRef(self->spec->code); }

// No parameter is keyword-only, so there are never keyword-only defaults.
PyObject* get_kwdefaults(Function*, void*) { Py_RETURN_NONE; }

// Reading the function through a class or an instance gives the function
// itself, as it always did; having __get__ lets pydoc treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* get_annotations(Function* self, void*) {
    if (!self->annotations) {
        self->annotations = PyDict_New();
        if (!self->annotations) return nullptr;
    }
    return Py_NewRef(self->annotations);
}

int set_annotations(Function* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        raise_attribute_kind("__annotations__", "dict");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(self->annotations, value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", reinterpret_cast<getter>(get_name), reinterpret_cast<setter>(set_name), nullptr,
     nullptr},
    {"__qualname__", reinterpret_cast<getter>(get_qualname),
     reinterpret_cast<setter>(set_qualname), nullptr, nullptr},
    {"__defaults__", reinterpret_cast<getter>(get_defaults),
     reinterpret_cast<setter>(set_defaults), nullptr, nullptr},
    {"__code__", reinterpret_cast<getter>(get_code), nullptr, nullptr, nullptr},
    {"__kwdefaults__", reinterpret_cast<getter>(get_kwdefaults), nullptr, nullptr, nullptr},
    {"__annotations__", reinterpret_cast<getter>(get_annotations),
     reinterpret_cast<setter>(set_annotations), nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "kestrune_protocol_buffer_python.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_IMMUTABLETYPE;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_descr_get = function_descr_get;
    return t;
}();

Ref text(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }

// "outer.<locals>.inner" -> "outer.inner", as traceback names spell nesting.
std::string dotted_name(const char* qualname) {
    std::string name = qualname;
    const std::string locals = ".<locals>";
    for (auto pos = name.find(locals); pos != std::string::npos; pos = name.find(locals))
        name.erase(pos, locals.size());
    return name;
}

Ref tuple_of_texts(const std::vector<const char*>& items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = PyUnicode_InternFromString(items[i]);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple;
}

// The function's __code__: the interpreter's own empty code object, whose
// bytecode raises AssertionError when run, with the function's argument count,
// variable names (parameters, then locals), qualified name and flags put in;
// its name, file name and first line come from the constructor.
Ref make_code(const ModuleState& state, const FunctionSpec& spec, PyObject* qualname) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(state.code_file.c_str(), spec.name, spec.first_line)));
    if (!empty) return {};
    std::vector<const char*> varnames;
    for (const Param& p : spec.params) varnames.push_back(p.name);
    varnames.insert(varnames.end(), spec.locals.begin(), spec.locals.end());
    Ref varnames_tuple = tuple_of_texts(varnames);
    Ref argcount = Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(spec.params.size())));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(varnames.size())));
    Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Ref changes = Ref::steal(PyDict_New());
    if (!varnames_tuple || !argcount || !nlocals || !flags || !changes) return {};
    const std::pair<const char*, PyObject*> items[] = {
        {"co_argcount", argcount.get()},      {"co_nlocals", nlocals.get()},
        {"co_varnames", varnames_tuple.get()}, {"co_flags", flags.get()},
        {"co_qualname", qualname},
    };
    for (const auto& [key, value] : items) {
        if (PyDict_SetItemString(changes.get(), key, value) < 0) return {};
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!replace || !no_args) return {};
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto max = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t min = spec.n_required;
    const bool exact = min == max;
    if (max == 0) {
        if (kwnames) {
            raise_no_keywords(spec.name);
            return false;
        }
        if (nargs > 0) {
            raise_no_arguments(spec.name, nargs);
            return false;
        }
        return true;
    }
    if (nargs > max) {
        raise_count_error(spec.name, exact, false, max, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (!kwnames) {
        if (nargs < min) {
            raise_count_error(spec.name, exact, true, min, nargs);
            return false;
        }
        for (Py_ssize_t i = nargs; i < max; ++i) out[i] = PyTuple_GET_ITEM(defaults, i - min);
        return true;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t taken[kMaxParams];
    Py_ssize_t ntaken = 0;
    for (Py_ssize_t i = nargs; i < max; ++i) {
        const Py_ssize_t k = find_keyword(kwnames, spec.param_names[i]);
        if (k >= 0) {
            out[i] = kwvalues[k];
            taken[ntaken++] = k;
        } else if (i < min) {
            raise_count_error(spec.name, exact, true, min, nargs + ntaken);
            return false;
        } else {
            out[i] = PyTuple_GET_ITEM(defaults, i - min);
        }
    }
    if (ntaken < PyTuple_GET_SIZE(kwnames)) {
        raise_unmatched_keyword(spec, kwnames, taken, ntaken);
        return false;
    }
    return true;
}

int prepare(ModuleState& state, FunctionSpec& spec) {
    if (spec.code) return 0;  // made by an earlier, failed initialisation
    if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0) return -1;
    // Binding writes parameters into fixed arrays of kMaxParams entries.
    if (spec.params.size() > static_cast<size_t>(kMaxParams)) {
        raise_too_many_parameters(spec.name, kMaxParams);
        return -1;
    }
    spec.state = &state;
    std::vector<Ref> param_names;
    for (const Param& p : spec.params) {
        param_names.push_back(text(p.name));
        if (!param_names.back()) return -1;
    }
    Ref name = text(spec.name);
    Ref qualname = text(spec.qualname);
    Ref traceback_name = text(
        (std::string(state.full_name) + "." + dotted_name(spec.qualname)).c_str());
    if (!name || !qualname || !traceback_name) return -1;
    Ref defaults;
    if (!spec.defaults.empty()) {
        defaults = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.defaults.size())));
        if (!defaults) return -1;
        for (size_t i = 0; i < spec.defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i),
                             Py_NewRef(*spec.defaults[i]));
    }
    Ref code = make_code(state, spec, qualname.get());
    if (!code) return -1;
    for (Ref& param_name : param_names) spec.param_names.push_back(param_name.release());
    spec.name_obj = name.release();
    spec.qualname_obj = qualname.release();
    spec.traceback_name = traceback_name.release();
    spec.defaults_tuple = defaults.release();
    spec.code = code.release();
    return 0;
}

PyObject* fail_at(const Function* self, int line) {
    add_traceback(*self->spec->state, self->spec->traceback_name, line);
    return nullptr;
}

ModuleState& state_of(const Function* self) { return *self->spec->state; }

Ref new_function(FunctionSpec& spec) {
    const ModuleState& state = *spec.state;
    Ref module = Ref::steal(PyUnicode_FromString(state.full_name));
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    Ref annotations = Ref::steal(PyDict_New());
    if (!module || !doc || !annotations) return {};
    for (const auto& [param, annotation] : spec.annotations) {
        Ref value = Ref::steal(PyUnicode_FromString(annotation));
        if (!value || PyDict_SetItemString(annotations.get(), param, value.get()) < 0) return {};
    }
    auto* self = PyObject_GC_New(Function, &function_type);
    if (!self) return {};
    self->vectorcall = function_vectorcall;
    self->spec = &spec;
    self->defaults = Py_XNewRef(spec.defaults_tuple);
    self->name = Py_NewRef(spec.name_obj);
    self->qualname = Py_NewRef(spec.qualname_obj);
    self->module = module.release();
    self->doc = doc.release();
    self->defaults_attr = Py_XNewRef(spec.defaults_tuple);
    self->globals = Py_NewRef(state.dict);
    self->annotations = annotations.release();
    self->dict = nullptr;
    self->weakrefs = nullptr;
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace frame
