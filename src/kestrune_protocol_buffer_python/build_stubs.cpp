// Module `build_stubs`: compiles a directory of .proto files into schema
// modules with the compiler of grpc_tools, run as a child process, then makes
// the output directory a package whose modules import one another relatively.
#include "frame/module.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace {

using frame::Function;
using frame::Ref;

// The interned names and text literals of the module's code.
#define BUILD_STUBS_NAMES(X)                                  \
    X(glob, "glob")                                           \
    X(os, "os")                                               \
    X(subprocess, "subprocess")                               \
    X(sys, "sys")                                             \
    X(utilities, "kestrune_protocol_buffer_python.utilities") \
    X(custom_normpath, "custom_normpath")                     \
    X(build_stubs, "build_stubs")                             \
    X(grpc_tools, "grpc_tools")                               \
    X(ModuleNotFoundError, "ModuleNotFoundError")             \
    X(CalledProcessError, "CalledProcessError")               \
    X(executable, "executable")                               \
    X(check_call, "check_call")                               \
    X(run, "run")                                             \
    X(makedirs, "makedirs")                                   \
    X(path, "path")                                           \
    X(join, "join")                                           \
    X(exists, "exists")                                       \
    X(basename, "basename")                                   \
    X(splitext, "splitext")                                   \
    X(close, "close")                                         \
    X(read, "read")                                           \
    X(write, "write")                                         \
    X(replace, "replace")                                     \
    X(check, "check")                                         \
    X(exist_ok, "exist_ok")                                   \
    X(empty, "")                                              \
    X(dash_m, "-m")                                           \
    X(protoc, "grpc_tools.protoc")                            \
    X(pip, "pip")                                             \
    X(install, "install")                                     \
    X(grpcio_tools, "grpcio-tools")                           \
    X(include_option, "-I")                                   \
    X(python_out_option, "--python_out=")                     \
    X(grpc_python_out_option, "--grpc_python_out=")           \
    X(proto_pattern, "*.proto")                               \
    X(py_pattern, "*.py")                                     \
    X(init_py, "__init__.py")                                 \
    X(mode_read, "r")                                         \
    X(mode_write, "w")                                        \
    X(installing, "grpc_tools not found. Installing...")      \
    X(error_compiling, "Error compiling ")                    \
    X(import_prefix, "import ")                               \
    X(relative_prefix, "from . import ")                      \
    X(from_dot, "from . ")                                    \
    X(pb2_as, "_pb2 as ")                                     \
    X(alias_suffix, "__pb2")                                  \
    X(underscore, "_")                                        \
    X(double_underscore, "__")                                \
    X(main_proto_dir, "grpc/protos")                          \
    X(main_output_dir, "grpc/generated")
FRAME_NAMES(Names, BUILD_STUBS_NAMES);

struct Constants {
    PyObject* check_keyword = nullptr;     // ("check",)
    PyObject* exist_ok_keyword = nullptr;  // ("exist_ok",)
    PyObject* from_utilities = nullptr;    // ("custom_normpath",)
    PyObject* zero = nullptr;
};

// Everything the module keeps for the life of the process.
struct State : frame::ModuleState {
    using frame::ModuleState::ModuleState;
    Names names;
    Constants constants;
    PyObject* builtin_print = nullptr;
    PyObject* builtin_open = nullptr;
    PyObject* builtin_exception = nullptr;
};

State state("build_stubs", "kestrune_protocol_buffer_python.build_stubs",
            "kestrune_protocol_buffer_python\\build_stubs.py");

// The tables the module's code reads throughout.
Names& names = state.names;
Constants& constants = state.constants;

// Source lines of the module's statements, as tracebacks report them.
constexpr int kLineImportGlob = 1;
constexpr int kLineImportOs = 2;
constexpr int kLineImportSubprocess = 3;
constexpr int kLineImportSys = 4;
constexpr int kLineImportCustomNormpath = 6;
constexpr int kLineDefBuildStubs = 9;
constexpr int kLineImportGrpcTools = 11;
constexpr int kLineNotFoundTest = 12;
constexpr int kLinePrintInstalling = 13;
constexpr int kLineInstall = 14;
constexpr int kLineMakedirs = 16;
constexpr int kLineGlobProtos = 18;
constexpr int kLineForProtoFiles = 19;
constexpr int kLineNormpath = 20;
constexpr int kLineCommandList = 21;
constexpr int kLineExecutable = 22;
constexpr int kLineIncludeOption = 23;
constexpr int kLinePythonOut = 24;
constexpr int kLineGrpcPythonOut = 25;
constexpr int kLineRun = 30;
constexpr int kLineCalledProcessErrorTest = 32;
constexpr int kLineExceptionTest = 36;
// Each clause prints at its first two lines and re-raises at its third.
constexpr int kClausePrintFile = 1;
constexpr int kClausePrintError = 2;
constexpr int kClauseReraise = 3;
constexpr int kLineInitFile = 42;
constexpr int kLineInitExists = 43;
constexpr int kLineCreateInit = 44;
constexpr int kLineGlobModules = 47;
constexpr int kLineForGeneratedFiles = 48;
constexpr int kLineOpenForReading = 49;
constexpr int kLineRead = 50;
constexpr int kLineUpdatedContent = 53;
constexpr int kLineForSchemaFiles = 54;
constexpr int kLineProtoName = 55;
constexpr int kLineOriginalImport = 56;
constexpr int kLineRelativeImport = 57;
constexpr int kLineReplace = 58;
constexpr int kLineOpenForWriting = 60;
constexpr int kLineWrite = 61;
constexpr int kLineMainTest = 63;
constexpr int kLineMainCall = 64;

// ---- helpers ----------------------------------------------------------------------

// Adds the traceback entry of the statement at `line`; returns -1 for the
// caller to pass on.
int fail(const Function* self, int line) {
    frame::fail_at(self, line);
    return -1;
}

// `os.path.<function>(args...)` with `os` looked up in the module namespace.
Ref os_path_call(PyObject* function, std::initializer_list<PyObject*> args) {
    Ref os = frame::lookup_global(state, names.os);
    Ref os_path = os ? frame::get_attr(os.get(), names.path) : Ref();
    Ref callable = os_path ? frame::get_attr(os_path.get(), function) : Ref();
    if (!callable) return {};
    return frame::call(callable.get(), args);
}

// `<module global>.<attribute>`; new reference or null.
Ref global_attr(PyObject* global, PyObject* attribute) {
    Ref module = frame::lookup_global(state, global);
    return module ? frame::get_attr(module.get(), attribute) : Ref();
}

// `glob.glob(os.path.join(directory, pattern))`.
Ref glob_in(PyObject* directory, PyObject* pattern) {
    Ref glob = global_attr(names.glob, names.glob);
    if (!glob) return {};
    Ref joined = os_path_call(names.join, {directory, pattern});
    return joined ? frame::call(glob.get(), {joined.get()}) : Ref();
}

int print_value(PyObject* value) { return frame::call(state.builtin_print, {value}) ? 0 : -1; }

// The concatenation of texts; new reference or null.
Ref concat(std::initializer_list<PyObject*> pieces) {
    Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!parts) return {};
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) PyTuple_SET_ITEM(parts.get(), i++, Py_NewRef(piece));
    return Ref::steal(PyUnicode_Join(names.empty, parts.get()));
}

// ---- the compiler and its runs ----------------------------------------------------------

// `import grpc_tools`; when it is not found, announces and runs the installer
// once. 0, or -1 with an exception set and its traceback entry added.
int ensure_compiler(Function* self) {
    if (frame::import_module(state, names.grpc_tools)) return 0;
    frame::ExceptClause clause;
    Ref not_found = frame::lookup_global(state, names.ModuleNotFoundError);
    if (!not_found) return fail(self, kLineNotFoundTest);
    const int missing = clause.matches(not_found.get());
    if (missing < 0) return fail(self, kLineNotFoundTest);
    if (!missing) {
        clause.reraise();
        return fail(self, kLineImportGrpcTools);
    }
    if (print_value(names.installing) < 0) return fail(self, kLinePrintInstalling);

    Ref check_call = global_attr(names.subprocess, names.check_call);
    Ref executable = check_call ? global_attr(names.sys, names.executable) : Ref();
    Ref command = executable ? Ref::steal(PyList_New(5)) : Ref();
    if (!command) return fail(self, kLineInstall);
    PyObject* items[] = {executable.get(), names.dash_m, names.pip, names.install,
                         names.grpcio_tools};
    for (Py_ssize_t i = 0; i < 5; ++i) PyList_SET_ITEM(command.get(), i, Py_NewRef(items[i]));
    return frame::call(check_call.get(), {command.get()}) ? 0 : fail(self, kLineInstall);
}

// The compiler's command line for one schema file; new reference, or null
// with an exception set and `line` set to the statement that failed.
Ref command_for(PyObject* proto_dir, PyObject* output_dir, PyObject* proto_file, int& line) {
    line = kLineExecutable;
    Ref executable_value = global_attr(names.sys, names.executable);
    Ref executable = executable_value
                         ? Ref::steal(PyObject_Format(executable_value.get(), names.empty))
                         : Ref();
    if (!executable) return {};
    line = kLineIncludeOption;
    Ref include = concat({names.include_option, proto_dir});
    if (!include) return {};
    line = kLinePythonOut;
    Ref python_out = concat({names.python_out_option, output_dir});
    if (!python_out) return {};
    line = kLineGrpcPythonOut;
    Ref grpc_python_out = concat({names.grpc_python_out_option, output_dir});
    if (!grpc_python_out) return {};
    line = kLineCommandList;
    Ref command = Ref::steal(PyList_New(7));
    if (!command) return {};
    PyObject* items[] = {executable.get(), names.dash_m, names.protoc, include.get(),
                         python_out.get(), grpc_python_out.get(), proto_file};
    for (Py_ssize_t i = 0; i < 7; ++i) PyList_SET_ITEM(command.get(), i, Py_NewRef(items[i]));
    return command;
}

// The two except clauses around one compiler run (the exception is set):
// CalledProcessError, then any Exception, each printing the schema file and
// the error before raising the same exception again. Anything else propagates
// untouched. Always returns -1 with an exception set.
int report_failed_run(Function* self, PyObject* proto_file) {
    frame::ExceptClause clause;
    Ref called_process_error = global_attr(names.subprocess, names.CalledProcessError);
    if (!called_process_error) return fail(self, kLineCalledProcessErrorTest);
    int matched = clause.matches(called_process_error.get());
    if (matched < 0) return fail(self, kLineCalledProcessErrorTest);
    int clause_line = kLineCalledProcessErrorTest;
    if (!matched) {
        clause_line = kLineExceptionTest;
        matched = clause.matches(state.builtin_exception);
        if (matched < 0) return fail(self, kLineExceptionTest);
        if (!matched) {
            clause.reraise();
            return fail(self, kLineRun);
        }
    }
    Ref file_text = Ref::steal(PyObject_Format(proto_file, names.empty));
    Ref line = file_text ? concat({names.error_compiling, file_text.get()}) : Ref();
    if (!line || print_value(line.get()) < 0)
        return fail(self, clause_line + kClausePrintFile);
    if (print_value(clause.value()) < 0) return fail(self, clause_line + kClausePrintError);
    clause.reraise();
    return fail(self, clause_line + kClauseReraise);
}

// Runs the compiler once per schema file, in the order of `proto_files`.
// 0, or -1 with an exception set.
int compile_all(Function* self, PyObject* proto_dir, PyObject* output_dir, PyObject* proto_files) {
    Ref iterator = Ref::steal(PyObject_GetIter(proto_files));
    if (!iterator) return fail(self, kLineForProtoFiles);
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref normpath = frame::lookup_global(state, names.custom_normpath);
        Ref proto_file = normpath ? frame::call(normpath.get(), {entry.get()}) : Ref();
        if (!proto_file) return fail(self, kLineNormpath);
        int line = 0;
        Ref command = command_for(proto_dir, output_dir, proto_file.get(), line);
        if (!command) return fail(self, line);
        Ref run = global_attr(names.subprocess, names.run);
        Ref result = run ? frame::call_with_keywords(run.get(), {command.get(), Py_True},
                                                     constants.check_keyword)
                         : Ref();
        if (!result) return report_failed_run(self, proto_file.get());
    }
    if (PyErr_Occurred()) return fail(self, kLineForProtoFiles);
    return 0;
}

// ---- import rewriting -------------------------------------------------------------------

// `text` with every occurrence of `original` replaced by `relative` (which is
// "from . " followed by `original`), left to right without overlaps as
// str.replace does, except occurrences already preceded by "from . ": those
// are the relative form already, so a second rewrite leaves the text as it is.
// New reference or null.
Ref make_relative(PyObject* text, PyObject* original, PyObject* relative) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) return {};
    const Py_ssize_t original_length = PyUnicode_GET_LENGTH(original);
    const Py_ssize_t prefix_length = PyUnicode_GET_LENGTH(names.from_dot);
    Ref pieces;
    Py_ssize_t copied = 0;  // text before this index is in `pieces`
    for (Py_ssize_t at = 0;;) {
        const Py_ssize_t found = PyUnicode_Find(text, original, at, length, 1);
        if (found == -2) return {};
        if (found < 0) break;
        at = found + original_length;
        if (found >= prefix_length) {
            const Py_ssize_t relative_already =
                PyUnicode_Tailmatch(text, names.from_dot, found - prefix_length, found, -1);
            if (relative_already < 0) return {};
            if (relative_already) continue;
        }
        if (!pieces && !(pieces = Ref::steal(PyList_New(0)))) return {};
        Ref before = Ref::steal(PyUnicode_Substring(text, copied, found));
        if (!before || PyList_Append(pieces.get(), before.get()) < 0 ||
            PyList_Append(pieces.get(), relative) < 0)
            return {};
        copied = at;
    }
    if (!pieces) return Ref::borrow(text);
    Ref rest = Ref::steal(PyUnicode_Substring(text, copied, length));
    if (!rest || PyList_Append(pieces.get(), rest.get()) < 0) return {};
    return Ref::steal(PyUnicode_Join(names.empty, pieces.get()));
}

// One replacement step of the rewrite: relative where the text holds a
// str, the text's own `replace` for any other kind of content.
Ref replace_import(PyObject* content, PyObject* original, PyObject* relative) {
    if (PyUnicode_Check(content)) return make_relative(content, original, relative);
    return frame::call_method(content, names.replace, {original, relative});
}

// Applies the rewrites for one schema file to `content` (replaced in place).
// Two forms of the sibling import are made relative: "import n_pb2 as
// n__pb2", and the compiler's own form, whose alias doubles each "_" of the
// name ("import a_b_pb2 as a__b__pb2"), which the first never matches.
// 0, or -1 with an exception set and the traceback entry added.
int rewrite_for_schema(Function* self, Ref& content, PyObject* proto_file) {
    Ref base = os_path_call(names.basename, {proto_file});
    Ref parts = base ? os_path_call(names.splitext, {base.get()}) : Ref();
    Ref proto_name = parts ? Ref::steal(PyObject_GetItem(parts.get(), constants.zero)) : Ref();
    if (!proto_name) return fail(self, kLineProtoName);

    Ref name = Ref::steal(PyObject_Format(proto_name.get(), names.empty));
    Ref original = name ? concat({names.import_prefix, name.get(), names.pb2_as, name.get(),
                                  names.alias_suffix})
                        : Ref();
    if (!original) return fail(self, kLineOriginalImport);
    Ref relative = concat({names.relative_prefix, name.get(), names.pb2_as, name.get(),
                           names.alias_suffix});
    if (!relative) return fail(self, kLineRelativeImport);
    content = replace_import(content.get(), original.get(), relative.get());
    if (!content) return fail(self, kLineReplace);

    Ref alias = Ref::steal(PyUnicode_Replace(name.get(), names.underscore,
                                             names.double_underscore, -1));
    if (!alias) return fail(self, kLineReplace);
    // Without an underscore the compiler's form is the one just replaced.
    if (PyUnicode_Compare(alias.get(), name.get()) == 0) return 0;
    original = concat({names.import_prefix, name.get(), names.pb2_as, alias.get(),
                       names.alias_suffix});
    relative = original ? concat({names.relative_prefix, name.get(), names.pb2_as, alias.get(),
                                  names.alias_suffix})
                        : Ref();
    content = relative ? replace_import(content.get(), original.get(), relative.get()) : Ref();
    if (!content) return fail(self, kLineReplace);
    return 0;
}

// Reads one generated file, applies every schema file's rewrites in the order
// of `proto_files`, and writes the result back. 0, or -1 with an exception set.
int rewrite_file(Function* self, PyObject* generated_file, PyObject* proto_files) {
    Ref content;
    Ref reader = frame::call(state.builtin_open, {generated_file, names.mode_read});
    if (!reader) return fail(self, kLineOpenForReading);
    if (frame::with_statement(self, kLineOpenForReading, reader.get(), [&](PyObject* file) {
            content = frame::call_method(file, names.read, {});
            return content ? 0 : fail(self, kLineRead);
        }) < 0)
        return -1;
    if (!content) {
        // Only a context manager that swallowed the read's error gets here.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'content' where it is not associated "
                        "with a value");
        return fail(self, kLineUpdatedContent);
    }

    Ref iterator = Ref::steal(PyObject_GetIter(proto_files));
    if (!iterator) return fail(self, kLineForSchemaFiles);
    while (Ref proto_file = Ref::steal(PyIter_Next(iterator.get()))) {
        if (rewrite_for_schema(self, content, proto_file.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return fail(self, kLineForSchemaFiles);

    Ref writer = frame::call(state.builtin_open, {generated_file, names.mode_write});
    if (!writer) return fail(self, kLineOpenForWriting);
    return frame::with_statement(self, kLineOpenForWriting, writer.get(), [&](PyObject* file) {
        return frame::call_method(file, names.write, {content.get()}) ? 0 : fail(self, kLineWrite);
    });
}

// Gives `output_dir` an empty __init__.py when it has none, then rewrites
// every *.py file in it. 0, or -1 with an exception set.
int rewrite_imports(Function* self, PyObject* output_dir, PyObject* proto_files) {
    Ref init_file = os_path_call(names.join, {output_dir, names.init_py});
    if (!init_file) return fail(self, kLineInitFile);
    Ref present = os_path_call(names.exists, {init_file.get()});
    const int exists = present ? PyObject_IsTrue(present.get()) : -1;
    if (exists < 0) return fail(self, kLineInitExists);
    if (!exists) {
        Ref created = frame::call(state.builtin_open, {init_file.get(), names.mode_write});
        if (!created || !frame::call_method(created.get(), names.close, {}))
            return fail(self, kLineCreateInit);
    }

    Ref generated_files = glob_in(output_dir, names.py_pattern);
    if (!generated_files) return fail(self, kLineGlobModules);
    Ref iterator = Ref::steal(PyObject_GetIter(generated_files.get()));
    if (!iterator) return fail(self, kLineForGeneratedFiles);
    while (Ref generated_file = Ref::steal(PyIter_Next(iterator.get()))) {
        if (rewrite_file(self, generated_file.get(), proto_files) < 0) return -1;
    }
    if (PyErr_Occurred()) return fail(self, kLineForGeneratedFiles);
    return 0;
}

// ---- build_stubs ------------------------------------------------------------------------

// build_stubs(proto_dir: str, output_dir: str): compiles every *.proto file of
// proto_dir into output_dir, then rewrites the generated imports.
PyObject* build_stubs(Function* self, PyObject* const* args) {
    PyObject* proto_dir = args[0];
    PyObject* output_dir = args[1];
    if (ensure_compiler(self) < 0) return nullptr;

    Ref makedirs = global_attr(names.os, names.makedirs);
    if (!makedirs || !frame::call_with_keywords(makedirs.get(), {output_dir, Py_True},
                                                constants.exist_ok_keyword))
        return frame::fail_at(self, kLineMakedirs);

    Ref proto_files = glob_in(proto_dir, names.proto_pattern);
    if (!proto_files) return frame::fail_at(self, kLineGlobProtos);
    if (compile_all(self, proto_dir, output_dir, proto_files.get()) < 0) return nullptr;
    if (rewrite_imports(self, output_dir, proto_files.get()) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

frame::FunctionSpec build_stubs_spec{
    .name = "build_stubs",
    .qualname = "build_stubs",
    .doc = nullptr,
    .params = {{.name = "proto_dir", .exact_type = &PyUnicode_Type},
               {.name = "output_dir", .exact_type = &PyUnicode_Type}},
    .n_required = 2,
    .locals = {"grpc_tools", "proto_files", "proto_file", "command_list", "e", "init_file",
               "generated_files", "generated_file", "f", "content", "updated_content",
               "proto_name", "original_import", "relative_import"},
    .annotations = {{"proto_dir", "str"}, {"output_dir", "str"}},
    .first_line = kLineDefBuildStubs,
    .impl = build_stubs,
};

// ---- module code ------------------------------------------------------------------------

// Run as the main program: compile grpc/protos into grpc/generated below the
// working directory.
int main_program(int& line) {
    line = kLineMainCall;
    Ref function = frame::lookup_global(state, names.build_stubs);
    if (!function) return -1;
    return frame::call(function.get(), {names.main_proto_dir, names.main_output_dir}) ? 0 : -1;
}

int module_code(int& line) {
    line = kLineImportGlob;
    if (frame::import_statement(state, names.glob) < 0) return -1;
    line = kLineImportOs;
    if (frame::import_statement(state, names.os) < 0) return -1;
    line = kLineImportSubprocess;
    if (frame::import_statement(state, names.subprocess) < 0) return -1;
    line = kLineImportSys;
    if (frame::import_statement(state, names.sys) < 0) return -1;
    line = kLineImportCustomNormpath;
    if (frame::from_import_statement(state, names.utilities, constants.from_utilities,
                                     names.custom_normpath) < 0)
        return -1;
    line = kLineDefBuildStubs;
    if (frame::define(state, build_stubs_spec) < 0) return -1;

    line = kLineMainTest;
    const int is_main = frame::runs_as_main(state);
    if (is_main < 0) return -1;
    return is_main ? main_program(line) : 0;
}

int make_constants() {
    Constants& c = constants;
    if (!c.check_keyword && !(c.check_keyword = PyTuple_Pack(1, names.check))) return -1;
    if (!c.exist_ok_keyword && !(c.exist_ok_keyword = PyTuple_Pack(1, names.exist_ok))) return -1;
    if (!c.from_utilities && !(c.from_utilities = PyTuple_Pack(1, names.custom_normpath)))
        return -1;
    if (!c.zero && !(c.zero = PyLong_FromLong(0))) return -1;
    return 0;
}

const frame::ModuleHooks hooks{
    .names = state.names.table(),
    .make_constants = make_constants,
    .builtins = {{&state.builtin_print, "print"},
                 {&state.builtin_open, "open"},
                 {&state.builtin_exception, "Exception"}},
    .module_code = module_code,
};

}  // namespace

KESTRUNE_MODULE(build_stubs, state, hooks)
