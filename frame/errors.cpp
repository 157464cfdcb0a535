#include "errors.h"

namespace frame {

void raise_count_error(const char* func, bool exact, bool too_few, Py_ssize_t expected,
                       Py_ssize_t given) {
    const char* how = exact ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, how, expected, expected == 1 ? "" : "s", given);
}

void raise_keywords_not_strings(const char* func) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
}

void raise_multiple_values(const char* func, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func,
                 keyword);
}

void raise_unexpected_keyword(const char* func, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, keyword);
}

void raise_no_keywords(const char* func) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", func);
}

void raise_no_arguments(const char* func, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", func, given);
}

void raise_arg_type(const char* param, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, Py_TYPE(value)->tp_name);
}

void raise_result_type(const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
}

void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

void raise_cannot_import(PyObject* name) {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
}

void raise_interpreter_change() {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
}

void raise_cannot_catch() {
    PyErr_SetString(PyExc_TypeError,
                    "catching classes that do not inherit from BaseException is not allowed");
}

void raise_not_an_exception() {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

void raise_not_a_context_manager(PyObject* manager, const char* missing) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name, missing);
}

void raise_reinitialisation(const char* short_name) {
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 short_name);
}

void raise_attribute_kind(const char* attribute, const char* kind) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, kind);
}

void raise_too_many_parameters(const char* func, Py_ssize_t most) {
    PyErr_Format(PyExc_SystemError, "%s() has more than %zd parameters", func, most);
}

void raise_recursion(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

int warn_version_mismatch(const char* full_name, int major, int minor) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", major,
                            minor);
}

}  // namespace frame
