// What set_message_fields asks a field's descriptor (is it repeated, are its
// values messages), and for the runtime's own classes both answers for every
// field read once per class.
#pragma once

#include "frame/module.h"
#include "frame/ref.h"

namespace field_kinds {

enum FieldKind : long { kScalar = 0, kMessage = 1, kRepeatedScalar = 2, kRepeatedMessage = 3 };

constexpr FieldKind kind_of(bool repeated, bool message) {
    return static_cast<FieldKind>((repeated ? kRepeatedScalar : kScalar) | (message ? kMessage : kScalar));
}

// Interns the names this part reads; -1 with an exception set.
int make_names();

// Whether a field is repeated: 1, 0, or -1 with an exception set. Constants of
// FieldDescriptor are read from `module`'s namespace, as its code reads them.
int is_repeated(const frame::ModuleState& module, PyObject* field_descriptor);

// Whether the field's values are messages: `type == type_message`, where
// `type_message` is FieldDescriptor.TYPE_MESSAGE, or null to read it now.
int holds_messages(const frame::ModuleState& module, PyObject* field_descriptor,
                   PyObject* type_message = nullptr);

// The table {field name: kind} for `message` (a new reference), or null with no
// error set when the general path must serve.
frame::Ref table_for(const frame::ModuleState& module, PyObject* message);

}  // namespace field_kinds
