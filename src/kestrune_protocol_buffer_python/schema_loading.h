// load_proto_module and create_message: one implementation, a function object
// in each of pack_payload and open_payload.
#pragma once

#include "frame/function.h"

namespace schema_loading {

// Interns the names the two functions use; -1 with an exception set.
int make_names();

// Specs for a module whose definition statements stand at `first_line`; each
// body statement follows its docstring, two lines below the definition.
frame::FunctionSpec load_proto_module_spec(int first_line);
frame::FunctionSpec create_message_spec(int first_line);

}  // namespace schema_loading
