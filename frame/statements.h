// Statements that a function body builds from several interpreter calls: calls
// with keyword arguments, except clauses, raise, f-strings and `with` blocks.
#pragma once

#include "function.h"
#include "ref.h"

#include <initializer_list>

namespace frame {

// Calls `callable` with `args`: the positional arguments followed by one value
// for each name of the tuple `kwnames`. New reference or null.
Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                       PyObject* kwnames);

// An except clause: takes the exception that is set the way the interpreter
// does on entering `except`: normalised, with its traceback attached to it,
// and made the exception being handled (what sys.exc_info() reports). Anything
// raised while the clause lives, by its own code or by code it calls, gets the
// caught exception as its __context__, as inside a Python `except` block. The
// clause gives the previously handled exception back when it ends, on every
// path.
class ExceptClause {
public:
    // Requires an exception to be set; it is cleared and held by the clause.
    ExceptClause() noexcept;
    ~ExceptClause();
    ExceptClause(const ExceptClause&) = delete;
    ExceptClause& operator=(const ExceptClause&) = delete;

    // The caught exception (borrowed), as `e` in `except ... as e`.
    PyObject* value() const noexcept { return value_.get(); }

    // The test of `except <classes>:`: 1, 0, or -1 with TypeError set when
    // `classes` is neither an exception class nor a tuple of them.
    int matches(PyObject* classes) const;

    // `raise` without an argument: puts the same exception object back as the
    // error indicator, with the traceback it has gathered so far. Returns null
    // so a body can `return clause.reraise()`.
    PyObject* reraise() noexcept;

private:
    Ref value_;
    _PyErr_StackItem* item_;  // the stack item whose handled exception is replaced
    PyObject* saved_;         // owned: what that item held before the clause
};

// `raise exc_class(arg)`: calls the class with the one argument and sets the
// resulting instance. Inside an ExceptClause the caught exception becomes its
// __context__; __cause__ stays None. Returns null.
PyObject* raise_instance(PyObject* exc_class, PyObject* arg);

// Whether the exception that is set (normalised first, and left set) is one
// of `classes`: built-in exception classes, or a tuple of them.
bool pending_matches(PyObject* classes);

// An f-string's text: each piece formatted as `format(piece, "")` does (an
// exact str stands as itself, an exception as its str() text), joined with
// nothing between. Returns a new reference, or null with an exception set.
Ref format_join(std::initializer_list<PyObject*> pieces);

// `__enter__` of `manager`, with its bound `__exit__` stored in `exit`; new
// reference or null. Both are looked up on the type, as `with` does.
Ref enter_context(PyObject* manager, Ref& exit);

// Leaves a context whose block completed: __exit__(None, None, None). 0 or -1.
int exit_context(PyObject* exit);

// Leaves a context whose block raised (the exception is set): calls
// __exit__(type, value, traceback) with the exception handled. Returns 1 when
// __exit__ suppressed it (no error set), 0 when it propagates (set again
// unchanged) and -1 when __exit__ itself raised (that error set, chained).
int exit_context_after_error(PyObject* exit);

// The statement `with manager as value: body(value)` at `line` of `self`.
// `body` returns 0, or -1 with an exception set and its own traceback entry
// added; a failure of the manager itself gets the entry at `line`. Returns 0,
// or -1 with an exception set.
template <class Body>
int with_statement(const Function* self, int line, PyObject* manager, Body&& body) {
    Ref exit;
    Ref value = enter_context(manager, exit);
    if (!value) {
        fail_at(self, line);
        return -1;
    }
    if (body(value.get()) < 0) {
        const int left = exit_context_after_error(exit.get());
        if (left > 0) return 0;
        if (left < 0) fail_at(self, line);
        return -1;
    }
    if (exit_context(exit.get()) < 0) {
        fail_at(self, line);
        return -1;
    }
    return 0;
}

}  // namespace frame
