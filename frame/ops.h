// Name lookup, imports and calls as the module code and function bodies use them.
#pragma once

#include "ref.h"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace frame {

struct ModuleState;

// The module namespace first, then builtins; NameError when in neither.
// Returns a new reference, or null with an exception set.
Ref lookup_global(const ModuleState& state, PyObject* name);

// A global name read again and again by a function body: looked up as
// lookup_global does, and kept until the module namespace (or builtins, for a
// name found there) changes, as the interpreter's own LOAD_GLOBAL keeps what
// it found, by the dicts' version tags.
class GlobalName {
public:
    // `name` is the slot of an interned name of the module's table.
    explicit GlobalName(PyObject* const* name) : name_(name) {}

    // The value (a new reference), or null with an exception set.
    Ref get(const ModuleState& state);

private:
    PyObject* const* name_;
    std::uint64_t globals_version_ = 0;   // 0: nothing kept
    std::uint64_t builtins_version_ = 0;  // 0: found in the namespace
    PyObject* value_ = nullptr;           // borrowed: held by the unchanged dict
};

// `import X`: the registry entry when present and initialised, else an absolute
// import with the module namespace as globals. New reference or null.
Ref import_module(const ModuleState& state, PyObject* name);

// `from P import N`: attribute N of P, else the registry entry "P.N", else
// ImportError. `fromlist` is the one-element tuple (N,). New reference or null.
Ref import_from(const ModuleState& state, PyObject* package, PyObject* fromlist);

// The statement `import X`: imports X and binds it in the module namespace
// under X; -1 with an exception set.
int import_statement(ModuleState& state, PyObject* name);

// The statement `from P import N as alias` (alias is N itself when not
// renamed); -1 with an exception set.
int from_import_statement(ModuleState& state, PyObject* package, PyObject* fromlist,
                          PyObject* alias);

// The module code's test `__name__ == "__main__"`: 1, 0, or -1 with an
// exception set.
int runs_as_main(const ModuleState& state);

// Calls `callable` with positional arguments. New reference or null.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          args.size(), nullptr));
}

// Calls the method `name` of `self` with positional arguments. New reference or null.
inline Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    // `self` goes in front of the arguments; short lists stay on the C stack.
    constexpr size_t kInline = 8;
    PyObject* small[kInline];
    std::vector<PyObject*> large;
    const size_t n = args.size() + 1;
    PyObject** stack = small;
    if (n > kInline) {
        large.resize(n);
        stack = large.data();
    }
    stack[0] = self;
    size_t i = 1;
    for (PyObject* a : args) stack[i++] = a;
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref get_attr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

}  // namespace frame
