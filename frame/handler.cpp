#include "handler.h"

#include "ops.h"

namespace frame {
namespace {

void raise_cannot_catch() {
    PyErr_SetString(PyExc_TypeError,
                    "catching classes that do not inherit from BaseException is not allowed");
}

// The exception that is set, normalised and with its traceback attached to
// it, as the interpreter hands it to an `except` clause. New reference.
Ref take_normalised() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) PyException_SetTraceback(value, tb ? tb : Py_None);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

}  // namespace

ExceptBlock::ExceptBlock() noexcept : caught_(take_normalised()) {
    // The item on top of the thread's stack is the one an `except` clause of
    // the calling code would set; restoring it, and not the topmost handled
    // exception below it, leaves a generator's own state as it was.
    item_ = PyThreadState_Get()->exc_info;
    saved_ = item_->exc_value;
    item_->exc_value = Py_XNewRef(caught_.get());
}

ExceptBlock::~ExceptBlock() {
    PyObject* current = item_->exc_value;
    item_->exc_value = saved_;
    Py_XDECREF(current);
}

int ExceptBlock::matches(PyObject* types) const {
    if (PyTuple_Check(types)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(types); ++i) {
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(types, i))) {
                raise_cannot_catch();
                return -1;
            }
        }
    } else if (!PyExceptionClass_Check(types)) {
        raise_cannot_catch();
        return -1;
    }
    return PyErr_GivenExceptionMatches(caught_.get(), types);
}

PyObject* ExceptBlock::reraise() noexcept {
    PyObject* exc = caught_.release();
    if (!exc) return nullptr;
    PyObject* tb = PyException_GetTraceback(exc);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, tb);
    return nullptr;
}

PyObject* raise_instance(PyObject* exc_class, PyObject* arg) {
    Ref exc = call(exc_class, {arg});
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

bool pending_matches(PyObject* types) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    const bool match = value && PyErr_GivenExceptionMatches(value, types);
    PyErr_Restore(type, value, tb);
    return match;
}

}  // namespace frame
