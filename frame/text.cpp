#include "text.h"

namespace frame {

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

}  // namespace frame
