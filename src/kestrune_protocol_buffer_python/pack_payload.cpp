// Module `pack_payload`: fills a message from a record dictionary and packs it
// into a compressed payload.
#include "frame/errors.h"
#include "frame/module.h"
#include "frame/ops.h"
#include "frame/outcome.h"
#include "field_kinds.h"
#include "fill_wire.h"
#include "json_mapping.h"
#include "json_plan.h"
#include "kept_zlib.h"
#include "sample_record.h"
#include "schema_loading.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

namespace {

using frame::Function;
using frame::Ref;
using field_kinds::FieldKind;
using field_kinds::kind_of;

// The interned names and text literals of the module's code.
#define PACK_PAYLOAD_NAMES(X)                                                   \
    X(importlib, "importlib")                                                   \
    X(json, "json")                                                             \
    X(zlib, "zlib")                                                             \
    X(google_protobuf_descriptor, "google.protobuf.descriptor")                 \
    X(FieldDescriptor, "FieldDescriptor")                                       \
    X(DESCRIPTOR, "DESCRIPTOR")                                                 \
    X(fields_by_name, "fields_by_name")                                         \
    X(name, "name")                                                             \
    X(loads, "loads")                                                           \
    X(add, "add")                                                               \
    X(append, "append")                                                         \
    X(set_message_fields, "set_message_fields")                                 \
    X(SerializeToString, "SerializeToString")                                   \
    X(compress, "compress")                                                     \
    X(empty, "")                                                                \
    X(warning, "Warning: ")                                                     \
    X(not_a_field, " is not a valid field of ")                                 \
    X(error_field, "Error: Field ")                                             \
    X(repeated_tail, " is a repeated field, but a non-list value was provided") \
    X(message_tail, " is a message type, but a non-dict value was provided")    \
    X(dunder_notes, "__notes__")                                                \
    X(while_filling, "while filling ")                                          \
    X(add_note, "add_note")                                                     \
    X(proto_module_name, "proto_module_name")                                   \
    X(message_type, "message_type")                                             \
    X(proto_module, "proto_module")                                             \
    X(message, "message")                                                       \
    X(binary_data, "binary_data")                                               \
    X(msg, "msg")                                                               \
    X(dict_msg, "dict_msg")                                                     \
    X(load_proto_module, "load_proto_module")                                   \
    X(create_message, "create_message")                                         \
    X(pack_payload, "pack_payload")                                             \
    X(zorva_data, "zorva_data")                                                 \
    X(open_payload, "open_payload")                                             \
    X(depack_payload, "depack_payload")                                         \
    X(dict_bridge, "dict_bridge")                                               \
    X(protobuf_to_dict, "protobuf_to_dict")                                     \
    X(schema_module_text, "grpc.generated.zorva_data_pb2")                      \
    X(message_type_text, "TopLevelMessage")
FRAME_NAMES(Names, PACK_PAYLOAD_NAMES);

struct Constants {
    PyObject* from_field_descriptor = nullptr;  // ("FieldDescriptor",)
    PyObject* from_depack_payload = nullptr;    // ("depack_payload",)
    PyObject* from_protobuf_to_dict = nullptr;  // ("protobuf_to_dict",)
};

// Everything the module keeps for the life of the process.
struct State : frame::ModuleState {
    using frame::ModuleState::ModuleState;
    Names names;
    Constants constants;
    PyObject* builtin_print = nullptr;
    // What the module code bound, for the fill's own walk (strong): the fill
    // is written as wire bytes only while the module's globals still hold them.
    PyObject* own_fill = nullptr;       // this module's set_message_fields
    PyObject* imported_json = nullptr;  // the json module of line 2
    PyObject* imported_loads = nullptr;  // and its loads
    std::uint64_t json_version = 0;     // json's namespace then, by version tag
    PyObject* imported_field_descriptor = nullptr;
    frame::GlobalName fill_global{&names.set_message_fields};
    frame::GlobalName json_global{&names.json};
    frame::GlobalName field_descriptor_global{&names.FieldDescriptor};
};

State state("pack_payload", "kestrune_protocol_buffer_python.pack_payload",
            "kestrune_protocol_buffer_python\\pack_payload.py");

// The tables the module's code reads throughout.
Names& names = state.names;
Constants& constants = state.constants;

// Source lines of the module's statements, as tracebacks report them.
constexpr int kLineImportImportlib = 1;
constexpr int kLineImportJson = 2;
constexpr int kLineImportZlib = 3;
constexpr int kLineImportFieldDescriptor = 4;
constexpr int kLineDefCreateMessage = 7;
constexpr int kLineDefLoadProtoModule = 12;
constexpr int kLineDefSetMessageFields = 17;
constexpr int kLineForPairs = 19;
constexpr int kLineHasattr = 20;
constexpr int kLinePrintWarning = 21;
constexpr int kLineFieldDescriptor = 23;
constexpr int kLineLabelTest = 24;
constexpr int kLineRepeatedField = 25;
constexpr int kLinePrintRepeated = 27;
constexpr int kLineForItems = 29;
constexpr int kLineItemTypeTest = 30;
constexpr int kLineItemJson = 32;
constexpr int kLineAdd = 33;
constexpr int kLineItemRecurse = 34;
constexpr int kLineAppend = 36;
constexpr int kLineTypeTest = 37;
constexpr int kLineMessageField = 38;
constexpr int kLineValueJson = 40;
constexpr int kLineRecurse = 42;
constexpr int kLinePrintMessage = 44;
constexpr int kLineSetScalar = 46;
constexpr int kLineDefPackPayload = 50;
constexpr int kLineCompress = 52;
constexpr int kLineMainTest = 55;
// The demonstration run, the block under the main-program test.
constexpr int kLineProtoModuleName = 56;
constexpr int kLineMessageType = 57;
constexpr int kLineRecord = 59;  // `zorva_data = {`; its entries take the lines after it
constexpr int kLineLoadSchema = 79;
constexpr int kLineCreateMessage = 80;
constexpr int kLineFill = 82;
constexpr int kLinePack = 84;
constexpr int kLinePrintPayload = 85;
constexpr int kLineImportDepackPayload = 87;
constexpr int kLineImportProtobufToDict = 88;
constexpr int kLineDepack = 90;
constexpr int kLinePrintMsg = 91;
constexpr int kLinePrintMsgType = 92;
constexpr int kLineToDict = 94;
constexpr int kLinePrintDictMsg = 95;
constexpr int kLinePrintDictMsgType = 96;

frame::FunctionSpec create_message_spec =
    schema_loading::create_message_spec(kLineDefCreateMessage);
frame::FunctionSpec load_proto_module_spec =
    schema_loading::load_proto_module_spec(kLineDefLoadProtoModule);

// ---- set_message_fields ----------------------------------------------------------

// Prints one line, the concatenation of `pieces`, through the built-in print.
int print_line(std::initializer_list<PyObject*> pieces) {
    Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!parts) return -1;
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        PyObject* text = PyUnicode_Check(piece) ? Py_NewRef(piece) : PyObject_Str(piece);
        if (!text) return -1;
        PyTuple_SET_ITEM(parts.get(), i++, text);
    }
    Ref line = Ref::steal(PyUnicode_Join(names.empty, parts.get()));
    if (!line) return -1;
    Ref printed = frame::call(state.builtin_print, {line.get()});
    return printed ? 0 : -1;
}

// json.loads(text), with `json` looked up in the module namespace.
Ref json_loads(PyObject* text) {
    Ref json = frame::lookup_global(state, names.json);
    if (!json) return {};
    return frame::call_method(json.get(), names.loads, {text});
}

// set_message_fields(sub_message, data) through the module attribute, so a
// nested value meets the full argument handling again.
Ref recurse(PyObject* sub_message, PyObject* data) {
    Ref function = frame::lookup_global(state, names.set_message_fields);
    if (!function) return {};
    return frame::call(function.get(), {sub_message, data});
}

// ---- filling one field -----------------------------------------------------------------

// Fills a repeated field from a list value: message elements are added and
// filled (JSON text parsed first), scalar elements appended. When
// `item_descriptor` is set, it is asked for every item whether items are
// messages; otherwise `kind` says so.
PyObject* fill_repeated(Function* self, PyObject* message, PyObject* key, PyObject* value,
                        FieldKind kind, PyObject* item_descriptor) {
    Ref field = frame::get_attr(message, key);
    if (!field) return frame::fail_at(self, kLineRepeatedField);
    if (!PyList_Check(value)) {
        if (print_line({names.error_field, key, names.repeated_tail}) < 0)
            return frame::fail_at(self, kLinePrintRepeated);
        return Py_None;
    }
    Ref items = Ref::steal(PyObject_GetIter(value));
    if (!items) return frame::fail_at(self, kLineForItems);
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        const int is_message = item_descriptor ? field_kinds::holds_messages(state, item_descriptor)
                                               : kind == field_kinds::kRepeatedMessage;
        if (is_message < 0) return frame::fail_at(self, kLineItemTypeTest);
        if (!is_message) {
            Ref appended = frame::call_method(field.get(), names.append, {item.get()});
            if (!appended) return frame::fail_at(self, kLineAppend);
            continue;
        }
        if (PyUnicode_Check(item.get())) {
            item = json_loads(item.get());
            if (!item) return frame::fail_at(self, kLineItemJson);
        }
        Ref sub_message = frame::call_method(field.get(), names.add, {});
        if (!sub_message) return frame::fail_at(self, kLineAdd);
        if (!recurse(sub_message.get(), item.get())) return frame::fail_at(self, kLineItemRecurse);
    }
    if (PyErr_Occurred()) return frame::fail_at(self, kLineForItems);
    return Py_None;
}

// Fills a singular message field from a dictionary or JSON text.
PyObject* fill_message(Function* self, PyObject* message, PyObject* key, PyObject* value) {
    Ref field = frame::get_attr(message, key);
    if (!field) return frame::fail_at(self, kLineMessageField);
    Ref parsed = Ref::borrow(value);
    if (PyUnicode_Check(value)) {
        parsed = json_loads(value);
        if (!parsed) return frame::fail_at(self, kLineValueJson);
    }
    if (!PyDict_Check(parsed.get())) {
        if (print_line({names.error_field, key, names.message_tail}) < 0)
            return frame::fail_at(self, kLinePrintMessage);
        return Py_None;
    }
    if (!recurse(field.get(), parsed.get())) return frame::fail_at(self, kLineRecurse);
    return Py_None;
}

// A scalar field: None becomes the empty text, anything else is assigned as it is.
PyObject* set_scalar(Function* self, PyObject* message, PyObject* key, PyObject* value) {
    if (PyObject_SetAttr(message, key, value == Py_None ? names.empty : value) < 0)
        return frame::fail_at(self, kLineSetScalar);
    return Py_None;
}

// Fills one field of a known kind; Py_None (borrowed) when done, null on error.
PyObject* fill_field(Function* self, PyObject* message, PyObject* key, PyObject* value,
                     FieldKind kind, PyObject* item_descriptor = nullptr) {
    switch (kind) {
        case field_kinds::kMessage:
            return fill_message(self, message, key, value);
        case field_kinds::kRepeatedScalar:
        case field_kinds::kRepeatedMessage:
            return fill_repeated(self, message, key, value, kind, item_descriptor);
        default:
            return set_scalar(self, message, key, value);
    }
}

// ---- the walk -------------------------------------------------------------------------
//
// Per-thread state of the walk in progress on this thread, for what one level
// cannot know alone: whether it is the outermost, and, while a failure
// unwinds, the path of field names down to the field that failed. (The frame
// charges each level's call for the C stack it holds.)

struct Walk {
    int depth = 0;                  // levels entered and not yet left
    const void* partial = nullptr;  // the note a deeper level left to be completed
};

thread_local Walk this_thread_walk;

// One level of the walk, counted for as long as it lasts.
class Level {
public:
    Level() : walk_(this_thread_walk) {
        if (walk_.depth++ == 0) walk_.partial = nullptr;
    }
    ~Level() { --walk_.depth; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

    bool outermost() const { return walk_.depth == 1; }
    Walk& walk() const { return walk_; }

private:
    Walk& walk_;
};

// Names the field that failed in one note on the exception that is set:
// "while filling <outermost message type>.<key>.<key>...". The innermost level
// that fails for a field adds the note as the bare key; each enclosing level
// puts its own key in front of it, and the outermost completes it. A level
// whose key is not a text leaves the naming to the levels around it. Never
// fails: if the note cannot be made, the exception stays as it was.
void note_failed_field(const Level& level, PyObject* message, PyObject* key) {
    Walk& walk = level.walk();
    if (!PyUnicode_Check(key)) return;
    frame::SavedError failure;  // set again as it was when the note is made or not
    PyObject* value = failure.value();
    // The note a deeper level made, if it is still this exception's last one.
    Ref notes = value ? frame::get_attr(value, names.dunder_notes) : Ref();
    if (!notes) PyErr_Clear();  // no notes yet
    const Py_ssize_t count = notes && PyList_Check(notes.get()) ? PyList_GET_SIZE(notes.get()) : 0;
    PyObject* partial = count ? PyList_GET_ITEM(notes.get(), count - 1) : nullptr;
    if (partial != walk.partial || !partial || !PyUnicode_Check(partial)) partial = nullptr;
    Ref text = partial ? Ref::steal(PyUnicode_FromFormat("%U.%U", key, partial))
                       : Ref::borrow(key);
    if (text && level.outermost()) {
        Ref descriptor = frame::get_attr(message, names.DESCRIPTOR);
        Ref type_name = descriptor ? frame::get_attr(descriptor.get(), names.name) : Ref();
        text = type_name && PyUnicode_Check(type_name.get())
                   ? Ref::steal(PyUnicode_FromFormat("%U%U.%U", names.while_filling,
                                                     type_name.get(), text.get()))
                   : Ref();
    }
    bool done = false;
    if (text && partial) {
        done = PyList_SetItem(notes.get(), count - 1, Py_NewRef(text.get())) == 0;
    } else if (text && value) {
        done = static_cast<bool>(frame::call_method(value, names.add_note, {text.get()}));
    }
    walk.partial = done && !level.outermost() ? text.get() : nullptr;
}

// One (key, value) pair whose key the field table does not know; Py_None
// (borrowed) when done, null on error.
PyObject* fill_pair(Function* self, PyObject* message, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "hasattr(): attribute name must be string");
        return frame::fail_at(self, kLineHasattr);
    }
    Ref present = frame::get_attr(message, key);
    if (!present) {
        // A failed lookup means "not a field", whatever it raised; but an
        // interrupt, an exit or running out of memory is not an answer about
        // the field and must reach the caller.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
            return frame::fail_at(self, kLineHasattr);
        PyErr_Clear();
        Ref descriptor = frame::get_attr(message, names.DESCRIPTOR);
        Ref type_name = descriptor ? frame::get_attr(descriptor.get(), names.name) : Ref();
        if (!type_name || print_line({names.warning, key, names.not_a_field, type_name.get()}) < 0)
            return frame::fail_at(self, kLinePrintWarning);
        return Py_None;
    }
    present = Ref();

    Ref descriptor = frame::get_attr(message, names.DESCRIPTOR);
    Ref fields = descriptor ? frame::get_attr(descriptor.get(), names.fields_by_name) : Ref();
    Ref field_descriptor = fields ? Ref::steal(PyObject_GetItem(fields.get(), key)) : Ref();
    if (!field_descriptor) return frame::fail_at(self, kLineFieldDescriptor);

    const int repeated = field_kinds::is_repeated(state, field_descriptor.get());
    if (repeated < 0) return frame::fail_at(self, kLineLabelTest);
    if (repeated)
        return fill_field(self, message, key, value, field_kinds::kRepeatedScalar,
                          field_descriptor.get());
    const int message_type = field_kinds::holds_messages(state, field_descriptor.get());
    if (message_type < 0) return frame::fail_at(self, kLineTypeTest);
    return fill_field(self, message, key, value, kind_of(false, message_type));
}

// Whether the fill's walk would read the functions and modules the module
// code bound: set_message_fields for nested records, json.loads for JSON
// text, FieldDescriptor for the kinds of fields.
bool walk_is_own() {
    Ref fill = state.fill_global.get(state);
    Ref json = fill ? state.json_global.get(state) : Ref();
    Ref field_descriptor = json ? state.field_descriptor_global.get(state) : Ref();
    if (!field_descriptor) {
        PyErr_Clear();
        return false;
    }
    if (fill.get() != state.own_fill || json.get() != state.imported_json ||
        field_descriptor.get() != state.imported_field_descriptor || !PyModule_Check(json.get()))
        return false;
    PyObject* namespace_ = PyModule_GetDict(json.get());
    const std::uint64_t version = reinterpret_cast<PyDictObject*>(namespace_)->ma_version_tag;
    if (version == state.json_version) return true;
    PyObject* loads = PyDict_GetItemWithError(namespace_, names.loads);
    PyErr_Clear();
    if (loads != state.imported_loads) return false;
    state.json_version = version;  // json changed elsewhere; loads is still its own
    return true;
}

// The fill as wire bytes merged into the message (fill_wire.h), when its
// outcome is certain: Done when the message is filled; Runtime, with the
// message untouched, when the walk must run; Error with an exception set.
frame::Answer fill_by_merging(PyObject* message, PyObject* data) {
    json_mapping::PlanRef plan = json_mapping::plan_of(Py_TYPE(message));
    if (!plan) return PyErr_Occurred() ? frame::Answer::Error : frame::Answer::Runtime;
    if (!plan->supported || !walk_is_own()) return frame::Answer::Runtime;
    wire::Writer out;
    bool mutated = false;
    const frame::Answer written = fill_wire::write_record<fill_wire::PyRecord>(
        *plan->messages.front(), data, out, 1, mutated);
    if (written != frame::Answer::Done || out.bytes.empty()) return written;
    Ref wire = Ref::steal(PyBytes_FromStringAndSize(out.bytes.data(),
                                                    static_cast<Py_ssize_t>(out.bytes.size())));
    if (!wire || !frame::call(plan->merge.get(), {message, wire.get()})) return frame::Answer::Error;
    return frame::Answer::Done;
}

// set_message_fields(message, data: dict): walks the record against the
// message's descriptor and returns the message, filled in place.
PyObject* set_message_fields(Function* self, PyObject* const* args) {
    PyObject* message = args[0];
    PyObject* data = args[1];
    switch (fill_by_merging(message, data)) {
        case frame::Answer::Done: return Py_NewRef(message);
        case frame::Answer::Error: return frame::fail_at(self, kLineForPairs);
        case frame::Answer::Runtime: break;
    }
    Level level;
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    Ref table = size ? field_kinds::table_for(state, message) : Ref();
    Py_ssize_t pos = 0;
    Py_ssize_t seen = 0;
    PyObject *borrowed_key, *borrowed_value;
    for (;;) {
        // Like a for loop over a dict: a size change shows at the next step, and
        // so does a key replaced by another (more pairs than the dict had).
        if (PyDict_GET_SIZE(data) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return frame::fail_at(self, kLineForPairs);
        }
        if (!PyDict_Next(data, &pos, &borrowed_key, &borrowed_value)) break;
        if (++seen > size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return frame::fail_at(self, kLineForPairs);
        }
        // Own the pair: the walk may run code that changes the dictionary.
        Ref key = Ref::borrow(borrowed_key);
        Ref value = Ref::borrow(borrowed_value);
        PyObject* kind = table && PyUnicode_CheckExact(key.get())
                             ? PyDict_GetItemWithError(table.get(), key.get())
                             : nullptr;
        if (!kind && PyErr_Occurred()) return frame::fail_at(self, kLineForPairs);
        PyObject* done = kind ? fill_field(self, message, key.get(), value.get(),
                                           static_cast<FieldKind>(PyLong_AsLong(kind)))
                              : fill_pair(self, message, key.get(), value.get());
        if (!done) {
            note_failed_field(level, message, key.get());
            return nullptr;
        }
    }
    return Py_NewRef(message);
}

frame::FunctionSpec set_message_fields_spec{
    .name = "set_message_fields",
    .qualname = "set_message_fields",
    .doc = "Recursively set fields in a Protobuf message from a dictionary with error handling, "
           "including parsing nested JSON strings.",
    .params = {{.name = "message"}, {.name = "data", .exact_type = &PyDict_Type}},
    .n_required = 2,
    .locals = {"key", "value", "field_descriptor", "field", "item", "sub_message"},
    .annotations = {{"data", "dict"}},
    .first_line = kLineDefSetMessageFields,
    .impl = set_message_fields,
    // Each level charges for the stack it measures (Level), beyond this one unit.
};

// ---- pack_payload ------------------------------------------------------------------

// pack_payload(message): zlib.compress(message.SerializeToString()).
PyObject* pack_payload(Function* self, PyObject* const* args) {
    Ref zlib = frame::lookup_global(state, names.zlib);
    Ref compress = zlib ? frame::get_attr(zlib.get(), names.compress) : Ref();
    if (!compress) return frame::fail_at(self, kLineCompress);
    Ref serialized = frame::call_method(args[0], names.SerializeToString, {});
    if (!serialized) return frame::fail_at(self, kLineCompress);
    Ref payload = kept_zlib::compress(zlib.get(), compress.get(), serialized.get());
    if (!payload) return frame::fail_at(self, kLineCompress);
    return payload.release();
}

frame::FunctionSpec pack_payload_spec{
    .name = "pack_payload",
    .qualname = "pack_payload",
    .doc = "Serialize a Protobuf message to a compressed binary string.",
    .params = {{.name = "message"}},
    .n_required = 1,
    .first_line = kLineDefPackPayload,
    .impl = pack_payload,
};

// ---- module code ---------------------------------------------------------------------

// `target = function(arguments...)` at module level: the function and every
// argument are module globals read when the statement runs; a null target
// discards the result. 0, or -1 with an exception set.
int call_statement(PyObject* target, PyObject* function, std::initializer_list<PyObject*> arguments) {
    constexpr std::size_t kMaxArguments = 3;
    assert(arguments.size() <= kMaxArguments);
    Ref callable = frame::lookup_global(state, function);
    if (!callable) return -1;
    Ref owned[kMaxArguments];
    PyObject* values[kMaxArguments];
    std::size_t n = 0;
    for (PyObject* name : arguments) {
        if (!(owned[n] = frame::lookup_global(state, name))) return -1;
        values[n] = owned[n].get();
        ++n;
    }
    Ref result = Ref::steal(PyObject_Vectorcall(callable.get(), values, n, nullptr));
    if (!result) return -1;
    return target ? frame::bind_global(state, target, result.get()) : 0;
}

// `print(value)`, or `print(type(value))` when `of_type` is set, where value
// is the module global `name`.
int print_global(PyObject* name, bool of_type = false) {
    Ref value = frame::lookup_global(state, name);
    if (!value) return -1;
    PyObject* shown = of_type ? reinterpret_cast<PyObject*>(Py_TYPE(value.get())) : value.get();
    return frame::call(state.builtin_print, {shown}) ? 0 : -1;
}

// Runs only when the module executes as the main program: the sample record
// along the whole road, fill, pack, open and convert, printing each stage.
// The schema module and the two sibling modules are imported by their
// top-level names, so the package directory must lead the module search path.
int demonstration_run(int& line) {
    line = kLineProtoModuleName;
    if (frame::bind_global(state, names.proto_module_name, names.schema_module_text) < 0) return -1;
    line = kLineMessageType;
    if (frame::bind_global(state, names.message_type, names.message_type_text) < 0) return -1;
    if (sample_record::build(state, kLineRecord, line) < 0) return -1;

    line = kLineLoadSchema;
    if (call_statement(names.proto_module, names.load_proto_module, {names.proto_module_name}) < 0)
        return -1;
    line = kLineCreateMessage;
    if (call_statement(names.message, names.create_message,
                       {names.proto_module, names.message_type}) < 0)
        return -1;
    line = kLineFill;
    if (call_statement(nullptr, names.set_message_fields, {names.message, names.zorva_data}) < 0)
        return -1;
    line = kLinePack;
    if (call_statement(names.binary_data, names.pack_payload, {names.message}) < 0) return -1;
    line = kLinePrintPayload;
    if (print_global(names.binary_data) < 0) return -1;

    line = kLineImportDepackPayload;
    if (frame::from_import_statement(state, names.open_payload, constants.from_depack_payload,
                                     names.depack_payload) < 0)
        return -1;
    line = kLineImportProtobufToDict;
    if (frame::from_import_statement(state, names.dict_bridge, constants.from_protobuf_to_dict,
                                     names.protobuf_to_dict) < 0)
        return -1;

    line = kLineDepack;
    if (call_statement(names.msg, names.depack_payload,
                       {names.proto_module, names.message_type, names.binary_data}) < 0)
        return -1;
    line = kLinePrintMsg;
    if (print_global(names.msg) < 0) return -1;
    line = kLinePrintMsgType;
    if (print_global(names.msg, true) < 0) return -1;

    line = kLineToDict;
    if (call_statement(names.dict_msg, names.protobuf_to_dict, {names.msg}) < 0) return -1;
    line = kLinePrintDictMsg;
    if (print_global(names.dict_msg) < 0) return -1;
    line = kLinePrintDictMsgType;
    return print_global(names.dict_msg, true);
}

// Keeps the first object the module code bound (strong); never fails.
void remember(PyObject*& slot, PyObject* value) {
    if (!slot && value) slot = Py_NewRef(value);
    PyErr_Clear();
}

void remember_global(PyObject*& slot, PyObject* name) {
    remember(slot, PyDict_GetItemWithError(state.dict, name));
}

int module_code(int& line) {
    line = kLineImportImportlib;
    if (frame::import_statement(state, names.importlib) < 0) return -1;
    line = kLineImportJson;
    if (frame::import_statement(state, names.json) < 0) return -1;
    remember_global(state.imported_json, names.json);
    if (state.imported_json && PyModule_Check(state.imported_json)) {
        PyObject* namespace_ = PyModule_GetDict(state.imported_json);
        remember(state.imported_loads, PyDict_GetItemWithError(namespace_, names.loads));
        state.json_version = reinterpret_cast<PyDictObject*>(namespace_)->ma_version_tag;
    }
    line = kLineImportZlib;
    if (frame::import_statement(state, names.zlib) < 0) return -1;
    kept_zlib::recognise(PyDict_GetItemWithError(state.dict, names.zlib));
    PyErr_Clear();
    line = kLineImportFieldDescriptor;
    if (frame::from_import_statement(state, names.google_protobuf_descriptor,
                                     constants.from_field_descriptor, names.FieldDescriptor) < 0)
        return -1;
    remember_global(state.imported_field_descriptor, names.FieldDescriptor);
    line = kLineDefCreateMessage;
    if (frame::define(state, create_message_spec) < 0) return -1;
    line = kLineDefLoadProtoModule;
    if (frame::define(state, load_proto_module_spec) < 0) return -1;
    line = kLineDefSetMessageFields;
    if (frame::define(state, set_message_fields_spec) < 0) return -1;
    remember_global(state.own_fill, names.set_message_fields);
    line = kLineDefPackPayload;
    if (frame::define(state, pack_payload_spec) < 0) return -1;

    line = kLineMainTest;
    const int is_main = frame::runs_as_main(state);
    if (is_main < 0) return -1;
    return is_main ? demonstration_run(line) : 0;
}

int make_constants() {
    if (schema_loading::make_names() < 0) return -1;
    if (json_mapping::make_names() < 0) return -1;
    if (kept_zlib::make_names() < 0) return -1;
    if (field_kinds::make_names() < 0) return -1;
    if (sample_record::make_constants() < 0) return -1;
    const std::pair<PyObject**, PyObject*> from_lists[] = {
        {&constants.from_field_descriptor, names.FieldDescriptor},
        {&constants.from_depack_payload, names.depack_payload},
        {&constants.from_protobuf_to_dict, names.protobuf_to_dict},
    };
    for (const auto& [slot, name] : from_lists) {
        if (!*slot && !(*slot = PyTuple_Pack(1, name))) return -1;
    }
    return 0;
}

const frame::ModuleHooks hooks{
    .names = state.names.table(),
    .make_constants = make_constants,
    .builtins = {{&state.builtin_print, "print"}},
    .module_code = module_code,
};

}  // namespace

KESTRUNE_MODULE(pack_payload, state, hooks)
