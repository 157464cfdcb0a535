// Module `infer_schema`: a proto3 schema inferred from one sample record, and
// the sample data record of the collection service.
#include "frame/module.h"
#include "frame/ops.h"
#include "frame/recursion.h"
#include "frame/statements.h"
#include "frame/traceback.h"
#include "sample_record.h"

#include <climits>
#include <initializer_list>

namespace {

using frame::Function;
using frame::Ref;

// The interned names and text literals of the module's code.
#define INFER_SCHEMA_NAMES(X)                                                                          \
    X(json, "json")                                                                                    \
    X(items, "items")                                                                                  \
    X(replace, "replace")                                                                              \
    X(capitalize, "capitalize")                                                                        \
    X(write, "write")                                                                                  \
    X(dunder_enter, "__enter__")                                                                       \
    X(dunder_exit, "__exit__")                                                                         \
    X(parse_json_entry, "kestrune_protocol_buffer_python.infer_schema.json_to_proto.parse_json")       \
    X(type_to_proto_entry, "kestrune_protocol_buffer_python.infer_schema.json_to_proto.type_to_proto") \
    X(empty, "")                                                                                       \
    X(newline, "\n")                                                                                   \
    X(indent_unit, "  ")                                                                               \
    X(dot_proto, ".proto")                                                                             \
    X(mode_w, "w")                                                                                     \
    X(syntax_line, "syntax = \"proto3\";")                                                             \
    X(package_prefix, "package ")                                                                      \
    X(semicolon, ";")                                                                                  \
    X(top_level_line, "message TopLevelMessage {")                                                     \
    X(close_brace, "}")                                                                                \
    X(message_prefix, "message ")                                                                      \
    X(open_brace, " {")                                                                                \
    X(message_suffix, "Message")                                                                       \
    X(item_suffix, "Item")                                                                             \
    X(repeated_prefix, "repeated ")                                                                    \
    X(repeated_string_prefix, "repeated string ")                                                      \
    X(space, " ")                                                                                      \
    X(equals, " = ")                                                                                   \
    X(int32, "int32")                                                                                  \
    X(int64, "int64")                                                                                  \
    X(string, "string")                                                                                \
    X(float_, "float")                                                                                 \
    X(bool_, "bool")                                                                                   \
    X(printed_prefix, "Proto file '")                                                                  \
    X(printed_suffix, "' generated successfully.")
FRAME_NAMES(Names, INFER_SCHEMA_NAMES);

struct Constants {
    PyObject* int32_min = nullptr;  // -2147483648
    PyObject* int32_max = nullptr;  // 2147483647
};

// Everything the module keeps for the life of the process.
struct State : frame::ModuleState {
    using frame::ModuleState::ModuleState;
    Names names;
    Constants constants;
    PyObject* builtin_open = nullptr;
    PyObject* builtin_print = nullptr;
};

State state("infer_schema", "kestrune_protocol_buffer_python.infer_schema",
            "kestrune_protocol_buffer_python\\infer_schema.py");

// The tables the module's code reads throughout.
Names& names = state.names;
Constants& constants = state.constants;

// Source lines of the module's statements, as tracebacks report them.
constexpr int kLineImportJson = 1;
constexpr int kLineDefJsonToProto = 4;
constexpr int kLineNewResult = 6;
constexpr int kLineForItems = 8;
constexpr int kLineListTruth = 18;
constexpr int kLineFirstElement = 19;
constexpr int kLineRepeatedScalarType = 27;
constexpr int kLineRepeatedScalarLine = 28;
constexpr int kLineRepeatedStringLine = 31;
constexpr int kLineScalarType = 34;
constexpr int kLineScalarLine = 35;
constexpr int kLineRangeTest = 42;
constexpr int kLineFirstLines = 52;
constexpr int kLinePackageLine = 54;
constexpr int kLineTopLevelLine = 58;
constexpr int kLineWalk = 59;
constexpr int kLineClosingBrace = 60;
constexpr int kLineOpen = 62;
constexpr int kLineWrite = 63;
constexpr int kLinePrint = 64;
constexpr int kLineRecord = 68;  // `zorva_data = {`; its entries take the lines after it

// The statements of a nested declaration: a dictionary value ("Message") or a
// list whose first element is a dictionary ("Item").
struct NestedLines {
    int name;
    int open;
    int walk;
    int close;
    int field;
};
constexpr NestedLines kMessageLines{.name = 11, .open = 12, .walk = 13, .close = 14, .field = 15};
constexpr NestedLines kItemLines{.name = 21, .open = 22, .walk = 23, .close = 24, .field = 25};

const char* const kRecursionWhere = " while calling a Python object";

// ---- lines ----------------------------------------------------------------------------

// Adds the traceback entry of an inner step's statement; returns -1 (or null
// through fail_type) so a step can `return fail_parse(line)`.
int fail_parse(int line) {
    frame::add_traceback(state, names.parse_json_entry, line);
    return -1;
}

PyObject* fail_type(int line) {
    frame::add_traceback(state, names.type_to_proto_entry, line);
    return nullptr;
}

// Builds a line as an f-string of the pieces and appends it to `lines`; -1
// with an exception set.
int append_line(PyObject* lines, std::initializer_list<PyObject*> pieces) {
    Ref line = frame::format_join(pieces);
    return line ? PyList_Append(lines, line.get()) : -1;
}

// ---- type_to_proto ---------------------------------------------------------------------

// `lower <= value <= upper` as a chained comparison: the upper bound is asked
// only when the lower one holds. 1, 0, or -1 with an exception set.
int within_int32(PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        return !overflow && v >= INT32_MIN && v <= INT32_MAX;
    }
    const int above_lower = PyObject_RichCompareBool(constants.int32_min, value, Py_LE);
    if (above_lower <= 0) return above_lower;
    Ref below_upper = Ref::steal(PyObject_RichCompare(value, constants.int32_max, Py_LE));
    return below_upper ? PyObject_IsTrue(below_upper.get()) : -1;
}

// The proto type of a scalar, from the exact name of its type and, for "int",
// the 32-bit range. Returns a borrowed text, or null with an exception set
// (the step's own entry added when one of its statements failed).
PyObject* type_to_proto(PyObject* value) {
    frame::StackCharge charge(kRecursionWhere);
    if (!charge) return nullptr;  // reported by the caller's statement
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return names.string;
    if (type == &PyFloat_Type) return names.float_;
    if (type == &PyBool_Type) return names.bool_;
    bool is_int = type == &PyLong_Type;
    if (!is_int) {
        // Subclasses and other types count by their name alone.
        Ref py_type = Ref::steal(PyType_GetName(type));
        if (!py_type) return nullptr;
        if (PyUnicode_CompareWithASCIIString(py_type.get(), "int") == 0) {
            is_int = true;
        } else if (PyUnicode_CompareWithASCIIString(py_type.get(), "str") == 0) {
            return names.string;
        } else if (PyUnicode_CompareWithASCIIString(py_type.get(), "float") == 0) {
            return names.float_;
        } else if (PyUnicode_CompareWithASCIIString(py_type.get(), "bool") == 0) {
            return names.bool_;
        } else {
            return names.string;
        }
    }
    const int in_range = within_int32(value);
    if (in_range < 0) return fail_type(kLineRangeTest);
    return in_range ? names.int32 : names.int64;
}

// ---- parse_json -----------------------------------------------------------------------

int parse_json(PyObject* json_obj, Py_ssize_t level, PyObject* lines);

// `key, value = item`: 0, or -1 with the unpacking error set.
int unpack_pair(PyObject* item, Ref& key, Ref& value) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != 2) {
            if (size > 2)
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                             Py_ssize_t{2});
            else
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size,
                             size == 1 ? "" : "s");
            return -1;
        }
        key = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        value = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) return -1;
    Ref* targets[] = {&key, &value};
    for (Py_ssize_t index = 0; index < 2; ++index) {
        *targets[index] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*targets[index]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", index,
                             index == 1 ? "" : "s");
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// A nested message declared in place, then the field that uses it: N is the
// key's capitalize() followed by `suffix`; `repeated` makes the field repeated.
int nested(PyObject* key, PyObject* sample, PyObject* suffix, bool repeated, const NestedLines& at,
           PyObject* indent, Py_ssize_t level, PyObject* number, PyObject* lines) {
    Ref capitalized = frame::call_method(key, names.capitalize, {});
    Ref name = capitalized ? Ref::steal(PyNumber_Add(capitalized.get(), suffix)) : Ref();
    if (!name) return fail_parse(at.name);
    if (append_line(lines, {indent, names.message_prefix, name.get(), names.open_brace}) < 0)
        return fail_parse(at.open);
    if (parse_json(sample, level + 1, lines) < 0) return fail_parse(at.walk);
    if (append_line(lines, {indent, names.close_brace}) < 0) return fail_parse(at.close);
    const int appended =
        repeated ? append_line(lines, {indent, names.repeated_prefix, name.get(), names.space, key,
                                       names.equals, number, names.semicolon})
                 : append_line(lines, {indent, name.get(), names.space, key, names.equals, number,
                                       names.semicolon});
    return appended < 0 ? fail_parse(at.field) : 0;
}

// The lines of one (key, value) pair, classified by the value.
int walk_pair(PyObject* key, PyObject* value, PyObject* indent, Py_ssize_t level,
              PyObject* number, PyObject* lines) {
    if (PyDict_Check(value))
        return nested(key, value, names.message_suffix, false, kMessageLines, indent, level,
                      number, lines);
    if (PyList_Check(value)) {
        const int not_empty = PyObject_IsTrue(value);
        if (not_empty < 0) return fail_parse(kLineListTruth);
        if (!not_empty) {
            if (append_line(lines, {indent, names.repeated_string_prefix, key, names.equals,
                                    number, names.semicolon}) < 0)
                return fail_parse(kLineRepeatedStringLine);
            return 0;
        }
        Ref first = PyList_CheckExact(value)
                        ? Ref::borrow(PyList_GET_ITEM(value, 0))
                        : Ref::steal(PySequence_GetItem(value, 0));
        if (!first) return fail_parse(kLineFirstElement);
        if (PyDict_Check(first.get()))
            return nested(key, first.get(), names.item_suffix, true, kItemLines, indent, level,
                          number, lines);
        PyObject* item_type = type_to_proto(first.get());
        if (!item_type) return fail_parse(kLineRepeatedScalarType);
        if (append_line(lines, {indent, names.repeated_prefix, item_type, names.space, key,
                                names.equals, number, names.semicolon}) < 0)
            return fail_parse(kLineRepeatedScalarLine);
        return 0;
    }
    PyObject* type_name = type_to_proto(value);
    if (!type_name) return fail_parse(kLineScalarType);
    if (append_line(lines, {indent, type_name, names.space, key, names.equals, number,
                            names.semicolon}) < 0)
        return fail_parse(kLineScalarLine);
    return 0;
}

// Appends the field and nested-message lines of one dictionary, `level` deep,
// to `lines`. 0, or -1 with an exception set; the entry of the failing
// statement is added here, except for RecursionError on entry, which the
// caller's statement reports as it does for any call.
int parse_json(PyObject* json_obj, Py_ssize_t level, PyObject* lines) {
    frame::StackCharge charge(kRecursionWhere);
    if (!charge) return -1;
    Ref indent = level ? Ref::steal(PySequence_Repeat(names.indent_unit, level))
                       : Ref::borrow(names.empty);
    if (!indent) return fail_parse(kLineNewResult);
    Py_ssize_t field_num = 1;
    auto walk_one = [&](PyObject* key, PyObject* value) {
        Ref number = Ref::steal(PyUnicode_FromFormat("%zd", field_num++));
        if (!number) return fail_parse(kLineForItems);
        return walk_pair(key, value, indent.get(), level, number.get(), lines);
    };

    if (PyDict_CheckExact(json_obj)) {
        const Py_ssize_t size = PyDict_GET_SIZE(json_obj);
        Py_ssize_t pos = 0, seen = 0;
        PyObject *borrowed_key, *borrowed_value;
        for (;;) {
            // As a for loop over items(): a size change shows at the next step,
            // and so does a key replaced by another.
            if (PyDict_GET_SIZE(json_obj) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return fail_parse(kLineForItems);
            }
            if (!PyDict_Next(json_obj, &pos, &borrowed_key, &borrowed_value)) break;
            if (++seen > size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                return fail_parse(kLineForItems);
            }
            // Own the pair: formatting a key may run code that changes the dict.
            Ref key = Ref::borrow(borrowed_key);
            Ref value = Ref::borrow(borrowed_value);
            if (walk_one(key.get(), value.get()) < 0) return -1;
        }
        return 0;
    }

    Ref items = frame::call_method(json_obj, names.items, {});
    Ref iterator = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iterator) return fail_parse(kLineForItems);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref key, value;
        if (unpack_pair(item.get(), key, value) < 0) return fail_parse(kLineForItems);
        if (walk_one(key.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? fail_parse(kLineForItems) : 0;
}

// ---- json_to_proto --------------------------------------------------------------------

// Leaves the `with` block around the write. `failed`: the block ended with the
// exception that is set; __exit__ sees it and may swallow it. 0 when the code
// after the block runs on, -1 with an exception set.
int leave_with(Function* self, PyObject* exit, bool failed) {
    if (!failed) {
        Ref done = frame::call(exit, {Py_None, Py_None, Py_None});
        if (done) return 0;
        frame::fail_at(self, kLineOpen);
        return -1;
    }
    // __exit__ sees the write's exception as the one being handled; when it
    // fails, its own exception goes on with the write's as its context.
    const int left = frame::exit_context_after_error(exit);
    if (left > 0) return 0;
    if (left < 0) frame::fail_at(self, kLineOpen);
    return -1;
}

// Writes `text` to the file through `with open(proto_filename, "w") as f`.
int write_file(Function* self, PyObject* proto_filename, PyObject* text) {
    Ref file = frame::call(state.builtin_open, {proto_filename, names.mode_w});
    Ref enter = file ? frame::get_attr(file.get(), names.dunder_enter) : Ref();
    Ref exit = enter ? frame::get_attr(file.get(), names.dunder_exit) : Ref();
    Ref f = exit ? frame::call(enter.get(), {}) : Ref();
    if (!f) {
        frame::fail_at(self, kLineOpen);
        return -1;
    }
    Ref written = frame::call_method(f.get(), names.write, {text});
    if (!written) frame::fail_at(self, kLineWrite);
    return leave_with(self, exit.get(), !written);
}

// json_to_proto(json_obj, proto_filename): writes the proto3 schema inferred
// from the sample and prints one line. The whole text is built before the
// file is opened, so a failure on the way leaves an existing file untouched.
PyObject* json_to_proto(Function* self, PyObject* const* args) {
    PyObject* json_obj = args[0];
    PyObject* proto_filename = args[1];
    Ref package = frame::call_method(proto_filename, names.replace, {names.dot_proto, names.empty});
    Ref package_line = package ? frame::format_join({names.package_prefix, package.get(),
                                                     names.semicolon})
                               : Ref();
    if (!package_line) return frame::fail_at(self, kLinePackageLine);
    Ref proto_lines = Ref::steal(PyList_New(0));
    if (!proto_lines || PyList_Append(proto_lines.get(), names.syntax_line) < 0 ||
        PyList_Append(proto_lines.get(), package_line.get()) < 0)
        return frame::fail_at(self, kLineFirstLines);
    if (PyList_Append(proto_lines.get(), names.top_level_line) < 0)
        return frame::fail_at(self, kLineTopLevelLine);
    if (parse_json(json_obj, 0, proto_lines.get()) < 0) return frame::fail_at(self, kLineWalk);
    if (PyList_Append(proto_lines.get(), names.close_brace) < 0)
        return frame::fail_at(self, kLineClosingBrace);
    Ref text = Ref::steal(PyUnicode_Join(names.newline, proto_lines.get()));
    if (!text) return frame::fail_at(self, kLineWrite);
    proto_lines = Ref();

    if (write_file(self, proto_filename, text.get()) < 0) return nullptr;

    Ref message = frame::format_join(
        {names.printed_prefix, proto_filename, names.printed_suffix});
    Ref printed = message ? frame::call(state.builtin_print, {message.get()}) : Ref();
    if (!printed) return frame::fail_at(self, kLinePrint);
    return Py_NewRef(Py_None);
}

frame::FunctionSpec json_to_proto_spec{
    .name = "json_to_proto",
    .qualname = "json_to_proto",
    .doc = nullptr,
    .params = {{.name = "json_obj"}, {.name = "proto_filename"}},
    .n_required = 2,
    .locals = {"parse_json", "type_to_proto", "proto_lines", "f"},
    .first_line = kLineDefJsonToProto,
    .impl = json_to_proto,
};

// ---- module code ----------------------------------------------------------------------

int module_code(int& line) {
    line = kLineImportJson;
    if (frame::import_statement(state, names.json) < 0) return -1;
    line = kLineDefJsonToProto;
    if (frame::define(state, json_to_proto_spec) < 0) return -1;
    return sample_record::build(state, kLineRecord, line);
}

int make_constants() {
    struct {
        PyObject** slot;
        long long value;
    } const table[] = {{&constants.int32_min, INT32_MIN}, {&constants.int32_max, INT32_MAX}};
    for (const auto& [slot, value] : table) {
        if (!*slot && !(*slot = PyLong_FromLongLong(value))) return -1;
    }
    return sample_record::make_constants();
}

const frame::ModuleHooks hooks{
    .names = state.names.table(),
    .make_constants = make_constants,
    .builtins = {{&state.builtin_open, "open"}, {&state.builtin_print, "print"}},
    .module_code = module_code,
};

}  // namespace

KESTRUNE_MODULE(infer_schema, state, hooks)
