#include "schema_loading.h"

#include "frame/module.h"
#include "frame/ops.h"

namespace schema_loading {
namespace {

using frame::Function;
using frame::Ref;

#define SCHEMA_LOADING_NAMES(X)       \
    X(importlib, "importlib")         \
    X(import_module, "import_module")
FRAME_NAMES(Names, SCHEMA_LOADING_NAMES);

// What this part keeps for the life of the process.
struct State {
    Names names;
} state;

Names& names = state.names;

// Definition line to body line: the docstring stands between them.
constexpr int kBodyOffset = 2;

// load_proto_module(proto_module_name_arg): importlib.import_module(name).
PyObject* load_proto_module(Function* self, PyObject* const* args) {
    const int line = self->spec->first_line + kBodyOffset;
    Ref importlib = frame::lookup_global(frame::state_of(self), names.importlib);
    if (!importlib) return frame::fail_at(self, line);
    Ref module = frame::call_method(importlib.get(), names.import_module, {args[0]});
    if (!module) return frame::fail_at(self, line);
    return module.release();
}

// create_message(proto_module_param, message_type_param): getattr(owner, name)().
PyObject* create_message(Function* self, PyObject* const* args) {
    const int line = self->spec->first_line + kBodyOffset;
    Ref message_class = frame::get_attr(args[0], args[1]);
    if (!message_class) return frame::fail_at(self, line);
    Ref message = frame::call(message_class.get(), {});
    if (!message) return frame::fail_at(self, line);
    return message.release();
}

}  // namespace

int make_names() {
    return frame::intern_names(state.names.table());
}

frame::FunctionSpec load_proto_module_spec(int first_line) {
    return {
        .name = "load_proto_module",
        .qualname = "load_proto_module",
        .doc = "Dynamically load a Protobuf module.",
        .params = {{.name = "proto_module_name_arg"}},
        .n_required = 1,
        .first_line = first_line,
        .impl = load_proto_module,
    };
}

frame::FunctionSpec create_message_spec(int first_line) {
    return {
        .name = "create_message",
        .qualname = "create_message",
        .doc = "Dynamically create a Protobuf message.",
        .params = {{.name = "proto_module_param"}, {.name = "message_type_param"}},
        .n_required = 2,
        .first_line = first_line,
        .impl = create_message,
    };
}

}  // namespace schema_loading
