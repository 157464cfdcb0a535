// The protobuf runtime's own message classes, as the native paths recognise
// them: the one place that names the runtime's compiled types, so a runtime
// upgrade touches this file alone.
//
// A class the runtime's metaclass made directly on its compiled message base,
// keeping the base's attribute access, behaves as the runtime does, and stays
// so while its type version tag stays the same: the interpreter gives a class
// a new tag whenever the class or one of its bases is changed.
#pragma once

#include "frame/ref.h"

namespace runtime_message {

// Interns the names the checks use; -1 with an exception set.
int make_names();

// Whether `type` was made by the runtime's metaclass directly on its compiled
// message base and keeps the base's attribute access (getting and setting).
bool is_runtime_class(PyTypeObject* type);

// The runtime's descriptor of a class that is exactly the runtime's, with
// nothing in its own namespace that hides an attribute of the base (a method,
// say): the class's DESCRIPTOR, borrowed. Null with no exception set for any
// other class.
PyObject* own_descriptor(PyTypeObject* type);

// Whether `descriptor` is one of the runtime's compiled message descriptors.
bool is_runtime_descriptor(PyObject* descriptor);

// The class's version tag, given one now if it has none; 0 when it cannot
// have one (the interpreter ran out of tags).
unsigned int version_tag(PyTypeObject* type);

// Whether the class still has the version tag `tag` (never for 0).
bool tag_is(PyTypeObject* type, unsigned int tag);

}  // namespace runtime_message
