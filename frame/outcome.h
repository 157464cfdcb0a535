// Outcomes of native paths that may leave the work to the runtime, and the
// pending exception kept aside while other code runs.
#pragma once

#include "ref.h"

namespace frame {

// What a native path that stands in for a runtime call did: the work is done;
// the runtime must answer (nothing was changed, no exception is set); or it
// failed (an exception is set).
enum class Answer { Done, Runtime, Error };

// Turns the exception that is set into an answer: an ordinary failure, which
// the runtime's own call may meet and report in its own way, is cleared and
// leaves the work to the runtime; an interrupt, an exit or running out of
// memory stays set as an error.
inline Answer runtime_or_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return Answer::Runtime;
    }
    return Answer::Error;
}

// Takes the exception that is set (if any) out of the error indicator for the
// life of the scope and sets it again at the end, whatever the code in between
// raised and left set: that is cleared. Code in the scope may read the
// exception and add to it (a note, a traceback entry) through value().
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SavedError() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    // The exception as an instance (normalised on first use), or null when
    // none was set. Borrowed.
    PyObject* value() noexcept {
        if (type_) PyErr_NormalizeException(&type_, &value_, &traceback_);
        return value_;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace frame
