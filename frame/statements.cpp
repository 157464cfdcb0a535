#include "statements.h"

#include "errors.h"
#include "ops.h"
#include "outcome.h"

namespace frame {
namespace {

// "__enter__" and "__exit__", interned at their first use and kept for the
// life of the process.
PyObject* enter_name = nullptr;
PyObject* exit_name = nullptr;

int intern_context_names() {
    if (!enter_name && !(enter_name = PyUnicode_InternFromString("__enter__"))) return -1;
    if (!exit_name && !(exit_name = PyUnicode_InternFromString("__exit__"))) return -1;
    return 0;
}

// Special-method lookup: on the type, bound to the object. New reference, or
// null with no exception set when the type has no such attribute.
Ref lookup_special(PyObject* obj, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj), name);
    if (!found) return {};
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return Ref::borrow(found);
    return Ref::steal(get(found, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

bool is_exception_classes(PyObject* classes) {
    if (!PyTuple_Check(classes)) return PyExceptionClass_Check(classes);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes); ++i) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(classes, i))) return false;
    }
    return true;
}

}  // namespace

Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                       PyObject* kwnames) {
    const auto nargs = static_cast<size_t>(args.size()) -
                       static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(
        PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()), nargs, kwnames));
}

ExceptClause::ExceptClause() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) PyException_SetTraceback(value, tb ? tb : Py_None);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    value_ = Ref::steal(value);
    // The item on top of the thread's stack is the one an `except` clause of
    // the calling code would set; restoring it, and not the topmost handled
    // exception below it, leaves a generator's own state as it was.
    item_ = PyThreadState_Get()->exc_info;
    saved_ = item_->exc_value;
    item_->exc_value = Py_XNewRef(value);
}

ExceptClause::~ExceptClause() {
    PyObject* current = item_->exc_value;
    item_->exc_value = saved_;
    Py_XDECREF(current);
}

int ExceptClause::matches(PyObject* classes) const {
    if (!is_exception_classes(classes)) {
        raise_cannot_catch();
        return -1;
    }
    return PyErr_GivenExceptionMatches(value_.get(), classes);
}

PyObject* ExceptClause::reraise() noexcept {
    PyObject* value = value_.get();
    if (!value) return nullptr;
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), Py_NewRef(value),
                  PyException_GetTraceback(value));
    return nullptr;
}

PyObject* raise_instance(PyObject* exc_class, PyObject* arg) {
    Ref exc = call(exc_class, {arg});
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc.get())) {
        raise_not_an_exception();
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

bool pending_matches(PyObject* classes) {
    SavedError pending;
    PyObject* value = pending.value();
    return value && PyErr_GivenExceptionMatches(value, classes);
}

Ref format_join(std::initializer_list<PyObject*> pieces) {
    Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!parts) return {};
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        PyObject* text =
            PyUnicode_CheckExact(piece) ? Py_NewRef(piece) : PyObject_Format(piece, nullptr);
        if (!text) return {};
        PyTuple_SET_ITEM(parts.get(), i++, text);
    }
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) return {};
    return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

Ref enter_context(PyObject* manager, Ref& exit) {
    if (intern_context_names() < 0) return {};
    Ref enter = lookup_special(manager, enter_name);
    if (!enter) {
        if (!PyErr_Occurred()) raise_not_a_context_manager(manager, "");
        return {};
    }
    exit = lookup_special(manager, exit_name);
    if (!exit) {
        if (!PyErr_Occurred())
            raise_not_a_context_manager(manager, " (missed __exit__ method)");
        return {};
    }
    return Ref::steal(PyObject_CallNoArgs(enter.get()));
}

int exit_context(PyObject* exit) {
    PyObject* args[] = {Py_None, Py_None, Py_None};
    Ref result = Ref::steal(PyObject_Vectorcall(exit, args, 3, nullptr));
    return result ? 0 : -1;
}

int exit_context_after_error(PyObject* exit) {
    ExceptClause clause;
    PyObject* value = clause.value();
    Ref tb = Ref::steal(PyException_GetTraceback(value));
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                        tb ? tb.get() : Py_None};
    Ref result = Ref::steal(PyObject_Vectorcall(exit, args, 3, nullptr));
    if (!result) return -1;
    const int suppress = PyObject_IsTrue(result.get());
    if (suppress < 0) return -1;
    if (suppress) return 1;
    clause.reraise();
    return 0;
}

}  // namespace frame
