// `except` clauses and `raise` statements for native code.
//
// An ExceptBlock takes the exception that is set the way the interpreter does
// on entering an `except` clause: normalised, with its traceback attached to
// it, and made the exception being handled (what `sys.exc_info()` reports).
// Anything raised while the block lives, by the handler's own code or by code
// it calls, gets the caught exception as its `__context__`, exactly as inside
// a Python `except` block. The block gives the previously handled exception
// back when it ends, on every path.
#pragma once

#include "ref.h"

namespace frame {

class ExceptBlock {
public:
    // Requires an exception to be set; it is cleared and held by the block.
    ExceptBlock() noexcept;
    ~ExceptBlock();
    ExceptBlock(const ExceptBlock&) = delete;
    ExceptBlock& operator=(const ExceptBlock&) = delete;

    // The caught exception (borrowed), as `e` in `except ... as e`.
    PyObject* exception() const noexcept { return caught_.get(); }

    // The clause's test `except <types>`: 1 when the caught exception matches,
    // 0 when not, -1 with TypeError set when `types` is neither an exception
    // class nor a tuple of them.
    int matches(PyObject* types) const;

    // A clause that did not match: the caught exception goes on unchanged,
    // with the traceback it had. Returns null so a body can `return` it.
    PyObject* reraise() noexcept;

private:
    Ref caught_;
    _PyErr_StackItem* item_;  // the stack item whose handled exception is replaced
    PyObject* saved_;         // owned: what that item held before the block
};

// `raise exc_class(arg)`: calls the class with the one argument and sets the
// resulting instance. Inside an ExceptBlock the caught exception becomes its
// `__context__`; `__cause__` stays None. Returns null.
PyObject* raise_instance(PyObject* exc_class, PyObject* arg);

// Whether the exception that is set (normalised first, and left set) is one
// of `types`: built-in exception classes, or a tuple of them.
bool pending_matches(PyObject* types);

}  // namespace frame
