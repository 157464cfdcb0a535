// The runtime's JSON mapping, answered natively: what json_format's
// MessageToDict(message) and ParseDict(data, message) give with their default
// options, for the runtime's own message classes whose every field, at every
// depth, is of a kind the native mapping knows (every scalar type, enums,
// strings, bytes, repeated fields, nested messages, maps and oneofs, in
// proto2 and proto3 files).
//
// Both directions go through the message's wire encoding, which one runtime
// call makes or reads: the dictionary is read from the bytes of
// SerializePartialToString (json_read.cpp), and a dictionary is written as
// wire bytes that MergeFromString reads into the message (json_write.cpp).
// Whatever the native mapping does not handle, or is unsure of, it leaves to
// the caller, which then makes the runtime call itself, so results and errors
// stay the runtime's own.
#pragma once

#include "frame/outcome.h"
#include "frame/ref.h"

namespace json_mapping {

// Interns the names the mapping uses; -1 with an exception set.
int make_names();

// Records json_format's own MessageToDict and ParseDict, as the module code
// imported them. Objects that are not that module's functions are not
// recorded, and the native mapping then never answers for them. Never fails.
void remember_runtime(PyObject* message_to_dict, PyObject* parse_dict);

// Whether `function` is json_format's own function, as recorded and unchanged
// since (code, defaults and keyword defaults, their contents included).
bool is_runtime_message_to_dict(PyObject* function);
bool is_runtime_parse_dict(PyObject* function);

// MessageToDict(message) with the default options: Done with the dict in
// `result`; Runtime when the runtime must answer; Error with an exception set
// when the native path itself failed (MemoryError).
frame::Answer message_to_dict(PyObject* message, frame::Ref& result);

// ParseDict(data, message) with the default options, into a message that its
// class has just made (the wire reader adds to repeated fields, which
// ParseDict clears first): Done when the message is filled; Runtime when the
// runtime must answer, with the message untouched; Error with an exception set.
frame::Answer parse_dict(PyObject* data, PyObject* message);

}  // namespace json_mapping
