#include "traceback.h"

#include "module.h"
#include "outcome.h"

#include <algorithm>
#include <frameobject.h>

namespace frame {

PyObject* TracebackCache::code_for(const ModuleState& state, PyObject* name, int line) {
    auto first = std::lower_bound(entries_.begin(), entries_.end(), line,
                                  [](const Entry& e, int l) { return e.line < l; });
    // Several functions may report the same line (a definition statement and the
    // function's own argument binding), so the name completes the key.
    auto pos = first;
    for (; pos != entries_.end() && pos->line == line; ++pos) {
        if (pos->name == name) return pos->code;
    }
    const auto index = pos - entries_.begin();
    if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.capacity() + 64);
    const char* funcname = PyUnicode_AsUTF8(name);
    if (!funcname) return nullptr;
    PyCodeObject* code = PyCode_NewEmpty(state.traceback_file.c_str(), funcname, line);
    if (!code) return nullptr;
    Py_INCREF(name);
    entries_.insert(entries_.begin() + index, Entry{line, name, reinterpret_cast<PyObject*>(code)});
    return reinterpret_cast<PyObject*>(code);
}

void add_traceback(ModuleState& state, PyObject* name, int line) {
    Ref py_frame;
    {
        // Whatever goes wrong while building the entry, the original exception wins.
        SavedError original;
        PyObject* code = nullptr;
        try {
            code = state.tracebacks.code_for(state, name, line);
        } catch (const std::bad_alloc&) {
            code = nullptr;
        }
        if (code) {
            py_frame = Ref::steal(reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), state.dict,
                            nullptr)));
        }
    }
    if (py_frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(py_frame.get()));
}

}  // namespace frame
