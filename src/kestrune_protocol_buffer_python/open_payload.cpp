// Module `open_payload`: a compressed payload back into a message of a named type.
#include "frame/module.h"
#include "frame/ops.h"
#include "schema_loading.h"

namespace {

using frame::Function;
using frame::Ref;

// The interned names and text literals of the module's code.
#define OPEN_PAYLOAD_NAMES(X)             \
    X(importlib, "importlib")             \
    X(zlib, "zlib")                       \
    X(create_message, "create_message")   \
    X(decompress, "decompress")           \
    X(ParseFromString, "ParseFromString")
FRAME_NAMES(Names, OPEN_PAYLOAD_NAMES);

// Everything the module keeps for the life of the process.
struct State : frame::ModuleState {
    using frame::ModuleState::ModuleState;
    Names names;
};

State state("open_payload", "kestrune_protocol_buffer_python.open_payload",
            "kestrune_protocol_buffer_python\\open_payload.py");

// The tables the module's code reads throughout.
Names& names = state.names;

// Source lines of the module's statements, as tracebacks report them.
constexpr int kLineImportImportlib = 1;
constexpr int kLineImportZlib = 2;
constexpr int kLineDefLoadProtoModule = 5;
constexpr int kLineDefCreateMessage = 10;
constexpr int kLineDefDepackPayload = 15;
constexpr int kLineCreate = 17;
constexpr int kLineParse = 18;

frame::FunctionSpec load_proto_module_spec =
    schema_loading::load_proto_module_spec(kLineDefLoadProtoModule);
frame::FunctionSpec create_message_spec =
    schema_loading::create_message_spec(kLineDefCreateMessage);

// depack_payload(proto_module, message_type, binary_data): a new message of the
// named type, parsed from the zlib stream. The message is made before the
// payload is touched, so a bad type name is reported even for a corrupt payload.
PyObject* depack_payload(Function* self, PyObject* const* args) {
    Ref create = frame::lookup_global(state, names.create_message);
    if (!create) return frame::fail_at(self, kLineCreate);
    Ref message = frame::call(create.get(), {args[0], args[1]});
    if (!message) return frame::fail_at(self, kLineCreate);

    Ref parse = frame::get_attr(message.get(), names.ParseFromString);
    if (!parse) return frame::fail_at(self, kLineParse);
    Ref zlib = frame::lookup_global(state, names.zlib);
    if (!zlib) return frame::fail_at(self, kLineParse);
    Ref decompressed = frame::call_method(zlib.get(), names.decompress, {args[2]});
    if (!decompressed) return frame::fail_at(self, kLineParse);
    Ref parsed = frame::call(parse.get(), {decompressed.get()});
    if (!parsed) return frame::fail_at(self, kLineParse);
    return message.release();
}

frame::FunctionSpec depack_payload_spec{
    .name = "depack_payload",
    .qualname = "depack_payload",
    .doc = "Deserialize a compressed binary string to a Protobuf message.",
    .params = {{.name = "proto_module"}, {.name = "message_type"}, {.name = "binary_data"}},
    .n_required = 3,
    .locals = {"message"},
    .first_line = kLineDefDepackPayload,
    .impl = depack_payload,
};

int module_code(int& line) {
    line = kLineImportImportlib;
    if (frame::import_statement(state, names.importlib) < 0) return -1;
    line = kLineImportZlib;
    if (frame::import_statement(state, names.zlib) < 0) return -1;
    line = kLineDefLoadProtoModule;
    if (frame::define(state, load_proto_module_spec) < 0) return -1;
    line = kLineDefCreateMessage;
    if (frame::define(state, create_message_spec) < 0) return -1;
    line = kLineDefDepackPayload;
    return frame::define(state, depack_payload_spec);
}

const frame::ModuleHooks hooks{
    .names = state.names.table(),
    .make_constants = schema_loading::make_names,
    .builtins = {},
    .module_code = module_code,
};

}  // namespace

KESTRUNE_MODULE(open_payload, state, hooks)
