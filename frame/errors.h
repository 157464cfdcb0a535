// Every error text of the frame, one cold helper per kind.
//
// Each helper sets the exception and returns nothing; call sites then return
// their failure value, so they read like the rule they enforce.
#pragma once

#include "ref.h"

namespace frame {

// "f() takes exactly 2 positional arguments (1 given)"; `too_few` picks
// "at least" over "at most" when the count is not exact.
void raise_count_error(const char* func, bool exact, bool too_few, Py_ssize_t expected,
                       Py_ssize_t given);
void raise_keywords_not_strings(const char* func);
void raise_multiple_values(const char* func, PyObject* keyword);
void raise_unexpected_keyword(const char* func, PyObject* keyword);
void raise_no_keywords(const char* func);
void raise_no_arguments(const char* func, Py_ssize_t given);
// A parameter whose value is not exactly the declared type.
void raise_arg_type(const char* param, const char* expected, PyObject* value);
// An assigned or returned value that is neither exactly the declared type nor None.
void raise_result_type(const char* expected, PyObject* value);
void raise_name_error(PyObject* name);
void raise_cannot_import(PyObject* name);
void raise_interpreter_change();
// `except X:` where X is not an exception class (nor a tuple of them).
void raise_cannot_catch();
// `raise X` where X is not an exception.
void raise_not_an_exception();
// `with X:` where X lacks __enter__ (`missing` empty) or __exit__.
void raise_not_a_context_manager(PyObject* manager, const char* missing);
void raise_reinitialisation(const char* short_name);
// A function attribute set to a value of the wrong type: "__name__ must be set
// to a string object" (`kind` "string", "tuple", "dict").
void raise_attribute_kind(const char* attribute, const char* kind);
// A function spec with more parameters than argument binding holds.
void raise_too_many_parameters(const char* func, Py_ssize_t most);
// The recursion limit reached, or too little room left on the thread's stack;
// `where` completes the text as the interpreter's own guard does.
void raise_recursion(const char* where);
// Issues the version RuntimeWarning; returns -1 when a filter turned it into an error.
int warn_version_mismatch(const char* full_name, int major, int minor);

}  // namespace frame
