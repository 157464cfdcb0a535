// The package's function type and its argument binding.
//
// A FunctionSpec describes one function statically (names, parameters, the
// implementation); `prepare` makes its interned names, default tuple and code
// object once at module initialisation, and `new_function` makes the callable.
#pragma once

#include "ref.h"

#include <utility>
#include <vector>

namespace frame {

struct ModuleState;
struct Function;

// Parameters are passed to the implementation as borrowed references, in
// declaration order. Returns a new reference, or null with an exception set.
using Impl = PyObject* (*)(Function* self, PyObject* const* args);

constexpr Py_ssize_t kMaxParams = 8;

struct Param {
    const char* name;
    PyTypeObject* exact_type = nullptr;  // when set, the value must be exactly this type
};

struct FunctionSpec {
    const char* name;
    const char* qualname;  // "outer.<locals>.inner" for an inner function
    const char* doc;       // null: no docstring
    std::vector<Param> params;
    Py_ssize_t n_required;
    std::vector<const char*> locals;                                // after the parameters
    std::vector<std::pair<const char*, const char*>> annotations;  // name -> annotation text
    std::vector<PyObject**> defaults;  // constants for the trailing parameters with defaults
    int first_line;
    Impl impl;

    // Made once by prepare().
    ModuleState* state = nullptr;
    std::vector<PyObject*> param_names;
    PyObject* name_obj = nullptr;
    PyObject* qualname_obj = nullptr;
    PyObject* traceback_name = nullptr;  // "<full module name>.<dotted function name>"
    PyObject* defaults_tuple = nullptr;  // or null when no parameter has a default
    PyObject* code = nullptr;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionSpec* spec;
    PyObject* defaults;  // fixed at creation; calls always use these
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults_attr;  // what __defaults__ shows
    PyObject* globals;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

// Readies the function type and builds the spec's per-process objects;
// -1 with an exception set (SystemError for more than kMaxParams parameters).
int prepare(ModuleState& state, FunctionSpec& spec);

// A new function object for a prepared spec, or null with an exception set.
Ref new_function(FunctionSpec& spec);

// Binds a vector call's arguments to the spec's parameters, writing borrowed
// references into `out`; false with the binding TypeError set.
bool bind_arguments(const FunctionSpec& spec, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Adds the traceback entry of the function's statement at `line` to the
// exception that is set; returns null so a body can `return fail_at(...)`.
PyObject* fail_at(const Function* self, int line);

// The module state a function belongs to.
ModuleState& state_of(const Function* self);

}  // namespace frame
