// Module creation and execution shared by every module of the package.
//
// Each module keeps one ModuleState in static storage for the life of the
// process: the interpreter that loaded it, its one module object and namespace,
// and its traceback code objects. Nothing of it is released before exit.
#pragma once

#include "function.h"
#include "ref.h"
#include "traceback.h"

#include <cstdint>
#include <string>
#include <vector>

namespace frame {

// One interned name or text literal of a module's table.
struct Name {
    PyObject** slot;
    const char* text;
};

// Declares a struct `Type` with one PyObject* member per entry of `LIST` and
// its table of interned names, so that each name is written once:
//
//     #define MY_NAMES(X) X(json, "json") X(dunder_name, "__name__")
//     FRAME_NAMES(Names, MY_NAMES);
//
// `Names::table()` lists every member with its text for intern_names().
#define FRAME_NAME_MEMBER_(member, text) PyObject* member = nullptr;
#define FRAME_NAME_ROW_(member, text) ::frame::Name{&member, text},
#define FRAME_NAMES(Type, LIST)                                                            \
    struct Type {                                                                          \
        LIST(FRAME_NAME_MEMBER_)                                                           \
        std::vector<::frame::Name> table() { return {LIST(FRAME_NAME_ROW_)}; }             \
    }

// A built-in object that a module's code uses, looked up once at initialisation.
struct Builtin {
    PyObject** slot;
    const char* name;
};

struct ModuleState {
    // `source_file` is the module's source path below the directory that holds
    // the package, with single backslashes ("pkg\\mod.py" in C++ spelling).
    ModuleState(const char* short_name, const char* full_name, const char* source_file);

    const char* short_name;
    const char* full_name;
    std::string code_file;       // single backslashes, for functions' __code__
    std::string traceback_file;  // every backslash doubled, for traceback entries
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // strong
    // Strong: the namespace of the last execution step. Kept after a failed
    // step too, since functions defined before the failure may still be
    // referenced and look their globals up here.
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* builtins_dict = nullptr;
    PyObject* init_name = nullptr;  // "init <full name>"
    bool constants_ready = false;
    TracebackCache tracebacks;
};

struct ModuleHooks {
    std::vector<Name> names;                  // interned names and literals (step 4)
    int (*make_constants)();                  // other constants (step 4), may be null
    std::vector<Builtin> builtins;            // step 6
    int (*module_code)(int& line);            // step 8; sets `line` to the failing statement
};

// The create step: returns a new reference, or null with an exception set.
PyObject* create_module(ModuleState& state, PyObject* spec);
// The execution step: 0 on success, -1 with an exception set.
int exec_module(ModuleState& state, const ModuleHooks& hooks, PyObject* module);

// Interns every name of a table and hashes it once; skips slots already filled.
int intern_names(const std::vector<Name>& names);

// Binds `value` in the module namespace under `name`; -1 with an exception set.
int bind_global(ModuleState& state, PyObject* name, PyObject* value);

// The statement `def`: prepares the spec (its names, default tuple and code
// object, made once per process), creates its function and binds it under its
// name; -1 with an exception set. The module code's `define` calls are the one
// place a module lists its functions.
int define(ModuleState& state, FunctionSpec& spec);

}  // namespace frame

// Defines the module definition, its two slots and the one exported symbol
// PyInit_<short name>.
#define KESTRUNE_MODULE(short_name, state, hooks)                                          \
    static PyObject* kestrune_create_(PyObject* spec, PyModuleDef*) {                      \
        return ::frame::create_module(state, spec);                                        \
    }                                                                                       \
    static int kestrune_exec_(PyObject* module) {                                          \
        return ::frame::exec_module(state, hooks, module);                                 \
    }                                                                                       \
    static PyMethodDef kestrune_methods_[] = {{nullptr, nullptr, 0, nullptr}};             \
    static PyModuleDef_Slot kestrune_slots_[] = {                                          \
        {Py_mod_create, reinterpret_cast<void*>(kestrune_create_)},                        \
        {Py_mod_exec, reinterpret_cast<void*>(kestrune_exec_)},                            \
        {0, nullptr}};                                                                      \
    static PyModuleDef kestrune_def_ = {PyModuleDef_HEAD_INIT, #short_name, nullptr, 0,    \
                                        kestrune_methods_, kestrune_slots_, nullptr,        \
                                        nullptr, nullptr};                                  \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&kestrune_def_); }
