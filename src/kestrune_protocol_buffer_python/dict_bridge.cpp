// Module `dict_bridge`: messages to dictionaries and back through the runtime's
// JSON mapping, and the two lookups from names to a message class.
//
// Each function is one runtime call guarded by one `except` clause that
// translates the runtime's exception into this module's text; the caught
// exception stays reachable as the new one's __context__. The two
// conversions answer natively (json_mapping.h) while the module's
// MessageToDict and ParseDict are still json_format's own, for the runtime's
// own message classes of the kinds that mapping knows.
#include "frame/errors.h"
#include "frame/module.h"
#include "frame/ops.h"
#include "frame/outcome.h"
#include "frame/statements.h"
#include "json_mapping.h"
#include "runtime_message.h"

namespace {

using frame::Function;
using frame::Ref;

// The interned names and text literals of the module's code.
#define DICT_BRIDGE_NAMES(X)                                              \
    X(json, "json")                                                       \
    X(importlib, "importlib")                                             \
    X(import_module, "import_module")                                     \
    X(json_format, "google.protobuf.json_format")                         \
    X(MessageToDict, "MessageToDict")                                     \
    X(ParseDict, "ParseDict")                                             \
    X(ParseError, "ParseError")                                           \
    X(message_module, "google.protobuf.message")                          \
    X(Message, "Message")                                                 \
    X(import_protobuf_module, "import_protobuf_module")                   \
    X(get_protobuf_class, "get_protobuf_class")                           \
    X(populate_protobuf_from_dict, "populate_protobuf_from_dict")         \
    X(protobuf_to_dict, "protobuf_to_dict")                               \
    X(dunder_name, "__name__")                                            \
    X(module_name, "module_name")                                         \
    X(class_name, "class_name")                                           \
    X(data, "data")                                                       \
    X(protobuf_module, "protobuf_module")                                 \
    X(protobuf_cls, "protobuf_cls")                                       \
    X(protobuf_message, "protobuf_message")                               \
    X(dict_representation, "dict_representation")                         \
    X(e, "e")                                                             \
    X(schema_module_name, "zorva_data_pb2")                               \
    X(root_type_name, "TopLevelMessage")                                  \
    X(failed_import, "Failed to import module '")                         \
    X(quote_colon, "': ")                                                 \
    X(module_quote, "Module '")                                           \
    X(has_no_class, "' has no class '")                                   \
    X(failed_populate, "Failed to populate protobuf message from dict: ") \
    X(failed_convert, "Failed to convert protobuf message to dict: ")     \
    X(not_a_message, "The input must be a protobuf message.")             \
    X(error_prefix, "Error: ")
FRAME_NAMES(Names, DICT_BRIDGE_NAMES);

struct Constants {
    PyObject* from_message_to_dict = nullptr;  // ("MessageToDict",)
    PyObject* from_parse_dict = nullptr;       // ("ParseDict",)
    PyObject* from_parse_error = nullptr;      // ("ParseError",)
    PyObject* from_message = nullptr;          // ("Message",)
    PyObject* main_errors = nullptr;           // (ImportError, AttributeError, TypeError, ValueError)
};

// Everything the module keeps for the life of the process.
struct State : frame::ModuleState {
    using frame::ModuleState::ModuleState;
    Names names;
    Constants constants;
    PyObject* builtin_print = nullptr;
    // The Message class line 4 imported, whose instances the runtime's own
    // message classes make (strong, for the life of the process).
    PyObject* imported_message = nullptr;
    // The globals every conversion reads.
    frame::GlobalName message_to_dict{&names.MessageToDict};
    frame::GlobalName parse_dict{&names.ParseDict};
    frame::GlobalName message{&names.Message};
};

State state("dict_bridge", "kestrune_protocol_buffer_python.dict_bridge",
            "kestrune_protocol_buffer_python\\dict_bridge.py");

// The tables the module's code reads throughout.
Names& names = state.names;
Constants& constants = state.constants;

// Source lines of the module's statements, as tracebacks report them.
constexpr int kLineImportJson = 1;
constexpr int kLineImportImportlib = 2;
constexpr int kLineImportJsonFormat = 3;
constexpr int kLineImportMessage = 4;
constexpr int kLineDefImportProtobufModule = 7;
constexpr int kLineImportModule = 18;
constexpr int kLineRaiseImportError = 21;
constexpr int kLineDefGetProtobufClass = 24;
constexpr int kLineGetAttr = 36;
constexpr int kLineRaiseAttributeError = 39;
constexpr int kLineDefPopulate = 42;
constexpr int kLineNewMessage = 57;
constexpr int kLineParseDict = 58;
constexpr int kLineExceptPopulate = 60;
constexpr int kLineRaisePopulate = 61;
constexpr int kLineDefProtobufToDict = 64;
constexpr int kLineIsMessage = 78;
constexpr int kLineRaiseNotAMessage = 79;
constexpr int kLineMessageToDict = 82;
constexpr int kLineReturnDict = 83;
constexpr int kLineExceptConvert = 84;
constexpr int kLineRaiseConvert = 85;
constexpr int kLineMainTest = 89;
constexpr int kLineMainModuleName = 91;
constexpr int kLineMainClassName = 92;
constexpr int kLineMainData = 93;
constexpr int kLineMainImport = 99;
constexpr int kLineMainGetClass = 102;
constexpr int kLineMainPopulate = 105;
constexpr int kLineMainToDict = 108;
constexpr int kLineMainPrint = 109;
constexpr int kLineMainExcept = 110;
constexpr int kLineMainPrintError = 111;

// ---- the runtime's JSON mapping ------------------------------------------------------
//
// The two conversions the functions make. While the name in the module
// namespace is still json_format's own function, the native mapping answers
// first; whatever it leaves, and every replacement, is called.

// MessageToDict(message) from the module namespace. New reference or null.
Ref message_to_dict(PyObject* message) {
    Ref convert = state.message_to_dict.get(state);
    if (!convert) return {};
    if (json_mapping::is_runtime_message_to_dict(convert.get())) {
        Ref result;
        switch (json_mapping::message_to_dict(message, result)) {
            case frame::Answer::Done: return result;
            case frame::Answer::Error: return {};
            case frame::Answer::Runtime: break;
        }
    }
    return frame::call(convert.get(), {message});
}

// ParseDict(data, message) from the module namespace; fills `message`, which
// `protobuf_cls()` made, in place. False with an exception set.
bool parse_dict(PyObject* data, PyObject* message, PyObject* protobuf_cls) {
    Ref parse = state.parse_dict.get(state);
    if (!parse) return false;
    // Natively only into a message that its own class has just made: ParseDict
    // clears the repeated and map fields it fills, where the wire reader would
    // add to what another callable may have put there.
    if (json_mapping::is_runtime_parse_dict(parse.get()) &&
        reinterpret_cast<PyObject*>(Py_TYPE(message)) == protobuf_cls) {
        switch (json_mapping::parse_dict(data, message)) {
            case frame::Answer::Done: return true;
            case frame::Answer::Error: return false;
            case frame::Answer::Runtime: break;
        }
    }
    return static_cast<bool>(frame::call(parse.get(), {data, message}));
}

// ---- the four functions -----------------------------------------------------------------

// `except ParseError as e: raise ValueError(f"{prefix}{e}")`, with ParseError
// looked up in the module namespace as the clause runs. The exception that is
// set already carries the entry of the statement that raised it.
PyObject* translate_parse_error(Function* self, PyObject* prefix, int except_line,
                                int raise_line) {
    frame::ExceptClause handler;
    Ref parse_error = frame::lookup_global(state, names.ParseError);
    if (!parse_error) return frame::fail_at(self, except_line);
    const int match = handler.matches(parse_error.get());
    if (match < 0) return frame::fail_at(self, except_line);
    if (!match) return handler.reraise();
    Ref text = frame::format_join({prefix, handler.value()});
    if (text) frame::raise_instance(PyExc_ValueError, text.get());
    return frame::fail_at(self, raise_line);
}

// import_protobuf_module(module_name: str): importlib.import_module(module_name),
// an ImportError of any kind restated with the module's name.
PyObject* import_protobuf_module(Function* self, PyObject* const* args) {
    PyObject* module_name = args[0];
    Ref importlib = frame::lookup_global(state, names.importlib);
    Ref module = importlib
                     ? frame::call_method(importlib.get(), names.import_module, {module_name})
                     : Ref();
    if (module) return module.release();
    frame::fail_at(self, kLineImportModule);

    frame::ExceptClause handler;
    if (!handler.matches(PyExc_ImportError)) return handler.reraise();
    Ref text = frame::format_join(
        {names.failed_import, module_name, names.quote_colon, handler.value()});
    if (text) frame::raise_instance(PyExc_ImportError, text.get());
    return frame::fail_at(self, kLineRaiseImportError);
}

// get_protobuf_class(module, class_name: str): getattr(module, class_name),
// whatever it is; a missing attribute restated with the module's __name__.
PyObject* get_protobuf_class(Function* self, PyObject* const* args) {
    PyObject* module = args[0];
    PyObject* class_name = args[1];
    Ref found = frame::get_attr(module, class_name);
    if (found) return found.release();
    frame::fail_at(self, kLineGetAttr);

    frame::ExceptClause handler;
    if (!handler.matches(PyExc_AttributeError)) return handler.reraise();
    // Read inside the handler: an object without __name__ raises that
    // AttributeError, with the first one as its context.
    Ref module_name = frame::get_attr(module, names.dunder_name);
    Ref text = module_name ? frame::format_join({names.module_quote, module_name.get(),
                                                 names.has_no_class, class_name,
                                                 names.quote_colon, handler.value()})
                           : Ref();
    if (text) frame::raise_instance(PyExc_AttributeError, text.get());
    return frame::fail_at(self, kLineRaiseAttributeError);
}

// populate_protobuf_from_dict(protobuf_cls, data: dict) -> "Message":
// protobuf_cls() filled by ParseDict(data, message).
PyObject* populate_protobuf_from_dict(Function* self, PyObject* const* args) {
    Ref message = frame::call(args[0], {});
    if (message && parse_dict(args[1], message.get(), args[0])) return message.release();
    frame::fail_at(self, message ? kLineParseDict : kLineNewMessage);
    return translate_parse_error(self, names.failed_populate, kLineExceptPopulate,
                                 kLineRaisePopulate);
}

// protobuf_to_dict(protobuf_message: "Message") -> dict: MessageToDict of a
// message, which must be an instance of Message.
PyObject* protobuf_to_dict(Function* self, PyObject* const* args) {
    PyObject* message = args[0];
    Ref message_class = state.message.get(state);
    if (!message_class) return frame::fail_at(self, kLineIsMessage);
    // Every instance of the runtime's own classes is one of the Message it
    // imported; the test is made in full for anything else.
    const int is_message = message_class.get() == state.imported_message &&
                                   runtime_message::is_runtime_class(Py_TYPE(message))
                               ? 1
                               : PyObject_IsInstance(message, message_class.get());
    if (is_message < 0) return frame::fail_at(self, kLineIsMessage);
    if (!is_message) {
        frame::raise_instance(PyExc_TypeError, names.not_a_message);
        return frame::fail_at(self, kLineRaiseNotAMessage);
    }

    Ref result = message_to_dict(message);
    if (result && (PyDict_CheckExact(result.get()) || result.get() == Py_None))
        return result.release();
    if (result) frame::raise_result_type("dict", result.get());
    frame::fail_at(self, result ? kLineReturnDict : kLineMessageToDict);
    return translate_parse_error(self, names.failed_convert, kLineExceptConvert,
                                 kLineRaiseConvert);
}

frame::FunctionSpec import_protobuf_module_spec{
    .name = "import_protobuf_module",
    .qualname = "import_protobuf_module",
    .doc = "\n    Dynamically imports a protobuf module.\n\n    Args:\n        module_name (str): "
           "The name of the protobuf module to import.\n\n    Returns:\n        module: The "
           "imported protobuf module.\n    ",
    .params = {{.name = "module_name", .exact_type = &PyUnicode_Type}},
    .n_required = 1,
    .locals = {"module", "e"},
    .annotations = {{"module_name", "str"}},
    .first_line = kLineDefImportProtobufModule,
    .impl = import_protobuf_module,
};

frame::FunctionSpec get_protobuf_class_spec{
    .name = "get_protobuf_class",
    .qualname = "get_protobuf_class",
    .doc = "\n    Retrieves a protobuf class from the imported module.\n\n    Args:\n        module: "
           "The imported protobuf module.\n        class_name (str): The name of the protobuf "
           "class to retrieve.\n\n    Returns:\n        class: The protobuf class.\n    ",
    .params = {{.name = "module"}, {.name = "class_name", .exact_type = &PyUnicode_Type}},
    .n_required = 2,
    .locals = {"protobuf_class", "e"},
    .annotations = {{"class_name", "str"}},
    .first_line = kLineDefGetProtobufClass,
    .impl = get_protobuf_class,
};

frame::FunctionSpec populate_protobuf_from_dict_spec{
    .name = "populate_protobuf_from_dict",
    .qualname = "populate_protobuf_from_dict",
    .doc = "\n    Populates a protobuf message from a dictionary.\n\n    Args:\n        protobuf_cls "
           "(Descriptor): The protobuf message class to populate.\n        data (dict): The data "
           "to populate the protobuf message with.\n\n    Returns:\n        Message: The "
           "populated protobuf message.\n\n    Raises:\n        ValueError: If there is an "
           "error during population.\n    ",
    .params = {{.name = "protobuf_cls"}, {.name = "data", .exact_type = &PyDict_Type}},
    .n_required = 2,
    .locals = {"protobuf_message", "e"},
    .annotations = {{"data", "dict"}, {"return", "Message"}},
    .first_line = kLineDefPopulate,
    .impl = populate_protobuf_from_dict,
};

frame::FunctionSpec protobuf_to_dict_spec{
    .name = "protobuf_to_dict",
    .qualname = "protobuf_to_dict",
    .doc = "\n    Converts a protobuf message to a dictionary.\n\n    Args:\n        "
           "protobuf_message (Message): The protobuf message to convert.\n\n    Returns:\n        "
           "dict: The dictionary representation of the protobuf message.\n\n    Raises:\n      "
           "  TypeError: If the input is not a protobuf message.\n        ValueError: If there "
           "is an error during conversion.\n    ",
    .params = {{.name = "protobuf_message"}},
    .n_required = 1,
    .locals = {"dict_representation", "e"},
    .annotations = {{"protobuf_message", "Message"}, {"return", "dict"}},
    .first_line = kLineDefProtobufToDict,
    .impl = protobuf_to_dict,
};

// ---- module code -------------------------------------------------------------------------

// `target = function(first)` or `target = function(first, second)` at module
// level, every name read from the module namespace; -1 with an exception set.
int assign_call(PyObject* target, PyObject* function_name, PyObject* first,
                PyObject* second = nullptr) {
    Ref function = frame::lookup_global(state, function_name);
    Ref first_value = function ? frame::lookup_global(state, first) : Ref();
    if (!first_value) return -1;
    Ref second_value = second ? frame::lookup_global(state, second) : Ref();
    if (second && !second_value) return -1;
    Ref result = second ? frame::call(function.get(), {first_value.get(), second_value.get()})
                        : frame::call(function.get(), {first_value.get()});
    return result ? frame::bind_global(state, target, result.get()) : -1;
}

// `print(value)` with the built-in print of import time; -1 with an exception set.
int print_value(PyObject* value) {
    Ref printed = frame::call(state.builtin_print, {value});
    return printed ? 0 : -1;
}

// The chain of the four functions on an empty record of the data record
// schema, printing the result. Sets `line` to the failing statement.
int main_steps(int& line) {
    line = kLineMainModuleName;
    if (frame::bind_global(state, names.module_name, names.schema_module_name) < 0) return -1;
    line = kLineMainClassName;
    if (frame::bind_global(state, names.class_name, names.root_type_name) < 0) return -1;
    line = kLineMainData;
    Ref data = Ref::steal(PyDict_New());
    if (!data || frame::bind_global(state, names.data, data.get()) < 0) return -1;
    line = kLineMainImport;
    if (assign_call(names.protobuf_module, names.import_protobuf_module, names.module_name) < 0)
        return -1;
    line = kLineMainGetClass;
    if (assign_call(names.protobuf_cls, names.get_protobuf_class, names.protobuf_module,
                    names.class_name) < 0)
        return -1;
    line = kLineMainPopulate;
    if (assign_call(names.protobuf_message, names.populate_protobuf_from_dict,
                    names.protobuf_cls, names.data) < 0)
        return -1;
    line = kLineMainToDict;
    if (assign_call(names.dict_representation, names.protobuf_to_dict,
                    names.protobuf_message) < 0)
        return -1;
    line = kLineMainPrint;
    Ref result = frame::lookup_global(state, names.dict_representation);
    return result ? print_value(result.get()) : -1;
}

// Removes the global `e` whatever happened in the handler, keeping any
// exception that is set.
void unbind_e() {
    frame::SavedError pending;
    PyDict_DelItem(state.dict, names.e);
}

// Runs only when the module executes as the main program: the chain, and for
// the four expected kinds of failure one line "Error: " and the exception.
int main_program(int& line) {
    if (main_steps(line) == 0) return 0;
    if (!frame::pending_matches(constants.main_errors)) return -1;
    frame::add_traceback(state, state.init_name, line);
    frame::ExceptClause handler;
    line = kLineMainExcept;
    int status = frame::bind_global(state, names.e, handler.value());
    if (status == 0) {
        line = kLineMainPrintError;
        Ref e = frame::lookup_global(state, names.e);
        Ref text = e ? frame::format_join({names.error_prefix, e.get()}) : Ref();
        status = text ? print_value(text.get()) : -1;
    }
    unbind_e();
    return status;
}

// Hands the json_format functions that line 3 bound to the native mapping,
// which answers only while the module's names still hold them.
void remember_runtime_mapping() {
    PyObject* message_to_dict = PyDict_GetItemWithError(state.dict, names.MessageToDict);
    PyObject* parse_dict = message_to_dict ? PyDict_GetItemWithError(state.dict, names.ParseDict)
                                           : nullptr;
    PyErr_Clear();
    json_mapping::remember_runtime(message_to_dict, parse_dict);
}

int module_code(int& line) {
    line = kLineImportJson;
    if (frame::import_statement(state, names.json) < 0) return -1;
    line = kLineImportImportlib;
    if (frame::import_statement(state, names.importlib) < 0) return -1;
    line = kLineImportJsonFormat;
    if (frame::from_import_statement(state, names.json_format, constants.from_message_to_dict,
                                     names.MessageToDict) < 0 ||
        frame::from_import_statement(state, names.json_format, constants.from_parse_dict,
                                     names.ParseDict) < 0 ||
        frame::from_import_statement(state, names.json_format, constants.from_parse_error,
                                     names.ParseError) < 0)
        return -1;
    remember_runtime_mapping();
    line = kLineImportMessage;
    if (frame::from_import_statement(state, names.message_module, constants.from_message,
                                     names.Message) < 0)
        return -1;
    if (!state.imported_message)
        state.imported_message = Py_XNewRef(PyDict_GetItemWithError(state.dict, names.Message));
    PyErr_Clear();
    line = kLineDefImportProtobufModule;
    if (frame::define(state, import_protobuf_module_spec) < 0) return -1;
    line = kLineDefGetProtobufClass;
    if (frame::define(state, get_protobuf_class_spec) < 0) return -1;
    line = kLineDefPopulate;
    if (frame::define(state, populate_protobuf_from_dict_spec) < 0) return -1;
    line = kLineDefProtobufToDict;
    if (frame::define(state, protobuf_to_dict_spec) < 0) return -1;

    line = kLineMainTest;
    const int is_main = frame::runs_as_main(state);
    if (is_main < 0) return -1;
    return is_main ? main_program(line) : 0;
}

int make_constants() {
    if (json_mapping::make_names() < 0) return -1;
    Constants& c = constants;
    if (!c.from_message_to_dict && !(c.from_message_to_dict = PyTuple_Pack(1, names.MessageToDict)))
        return -1;
    if (!c.from_parse_dict && !(c.from_parse_dict = PyTuple_Pack(1, names.ParseDict))) return -1;
    if (!c.from_parse_error && !(c.from_parse_error = PyTuple_Pack(1, names.ParseError)))
        return -1;
    if (!c.from_message && !(c.from_message = PyTuple_Pack(1, names.Message))) return -1;
    if (!c.main_errors &&
        !(c.main_errors = PyTuple_Pack(4, PyExc_ImportError, PyExc_AttributeError,
                                       PyExc_TypeError, PyExc_ValueError)))
        return -1;
    return 0;
}

const frame::ModuleHooks hooks{
    .names = state.names.table(),
    .make_constants = make_constants,
    .builtins = {{&state.builtin_print, "print"}},
    .module_code = module_code,
};

}  // namespace

KESTRUNE_MODULE(dict_bridge, state, hooks)
