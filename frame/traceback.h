// Traceback entries for native code.
//
// An entry is a frame whose code object carries the function's traceback name,
// the module's source path and the statement's line as first line. Code objects
// are built once per (line, name) and kept in a table sorted by line, searched by
// bisection; it starts with room for 64 entries and grows by 64.
#pragma once

#include "ref.h"

#include <vector>

namespace frame {

struct ModuleState;

class TracebackCache {
public:
    // Returns a borrowed code object for the entry, or null with an exception set.
    PyObject* code_for(const ModuleState& state, PyObject* name, int line);

private:
    struct Entry {
        int line;
        PyObject* name;  // interned traceback name, owned by the function table
        PyObject* code;  // owned for the life of the process
    };
    std::vector<Entry> entries_;
};

// Adds one entry named `name` (a str) at `line` to the traceback of the
// exception that is set. Never fails: if the entry cannot be built, the
// original exception is kept as it was.
void add_traceback(ModuleState& state, PyObject* name, int line);

}  // namespace frame
