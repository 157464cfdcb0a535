// Statements that a function body builds from several interpreter calls: calls
// with keyword arguments, except clauses and `with` blocks.
#pragma once

#include "function.h"
#include "ref.h"

#include <initializer_list>

namespace frame {

// Calls `callable` with `args`: the positional arguments followed by one value
// for each name of the tuple `kwnames`. New reference or null.
Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                       PyObject* kwnames);

// The exception that an except clause handles. The constructor takes it from
// the error indicator (which must be set) and makes it the handled exception,
// as sys.exc_info() reports it, until the clause ends: an error raised inside
// the clause then gets it as its __context__, as in the interpreter's own
// handlers. The destructor restores the handled exception of before.
class ExceptClause {
public:
    ExceptClause() noexcept;
    ~ExceptClause();
    ExceptClause(const ExceptClause&) = delete;
    ExceptClause& operator=(const ExceptClause&) = delete;

    // The exception object; borrowed.
    PyObject* value() const noexcept { return value_.get(); }

    // The test of `except <classes>:`: 1, 0, or -1 with TypeError set when
    // `classes` is neither an exception class nor a tuple of them.
    int matches(PyObject* classes) const;

    // `raise` without an argument: puts the same exception object back as the
    // error indicator, with the traceback it has gathered so far.
    void reraise() noexcept;

private:
    Ref value_;
    Ref previous_;
};

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
