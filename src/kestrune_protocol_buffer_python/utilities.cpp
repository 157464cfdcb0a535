// Module `utilities`: the operating system's name and path normalisation with
// the separator forced for that system.
#include "frame/errors.h"
#include "frame/module.h"
#include "frame/ops.h"

namespace {

using frame::Function;
using frame::Ref;

// The interned names and text literals of the module's code.
#define UTILITIES_NAMES(X)  \
    X(os, "os")             \
    X(platform, "platform") \
    X(path, "path")         \
    X(normpath, "normpath") \
    X(system, "system")     \
    X(get_os, "get_os")     \
    X(replace, "replace")   \
    X(windows, "Windows")   \
    X(slash, "/")           \
    X(backslash, "\\")
FRAME_NAMES(Names, UTILITIES_NAMES);

// Everything the module keeps for the life of the process.
struct State : frame::ModuleState {
    using frame::ModuleState::ModuleState;
    Names names;
};

State state("utilities", "kestrune_protocol_buffer_python.utilities",
            "kestrune_protocol_buffer_python\\utilities.py");

// The tables the module's code reads throughout.
Names& names = state.names;

// Source lines of the module's statements, as tracebacks report them.
constexpr int kLineImportOs = 1;
constexpr int kLineImportPlatform = 2;
constexpr int kLineDefGetOs = 5;
constexpr int kLineSystemCall = 6;
constexpr int kLineDefCustomNormpath = 10;
constexpr int kLineNormpath = 12;
constexpr int kLineGetOsCall = 13;
constexpr int kLineCompare = 14;
constexpr int kLineForwardSlashes = 16;
constexpr int kLineBackslashes = 18;

// get_os(): whatever platform.system() says, unchanged.
PyObject* get_os(Function* self, PyObject* const*) {
    Ref platform = frame::lookup_global(state, names.platform);
    if (!platform) return frame::fail_at(self, kLineSystemCall);
    Ref result = frame::call_method(platform.get(), names.system, {});
    if (!result) return frame::fail_at(self, kLineSystemCall);
    return result.release();
}

// The separator replacement and the result test of one branch. Returns the
// new text (or None), or null with an exception set and the entry at `line`.
Ref replace_separators(Function* self, PyObject* normalized, PyObject* old_sep, PyObject* new_sep,
                       int line) {
    Ref result = frame::call_method(normalized, names.replace, {old_sep, new_sep});
    if (!result || (!PyUnicode_CheckExact(result.get()) && result.get() != Py_None)) {
        if (result) frame::raise_result_type("str", result.get());
        frame::fail_at(self, line);
        return {};
    }
    return result;
}

// custom_normpath(path: str) -> str: normalise, then force the separator.
// Backslashes only on Windows; every other system gets forward slashes, so
// paths handed to the compiler on macOS and elsewhere name real files.
PyObject* custom_normpath(Function* self, PyObject* const* args) {
    PyObject* path = args[0];
    Ref os = frame::lookup_global(state, names.os);
    if (!os) return frame::fail_at(self, kLineNormpath);
    Ref os_path = frame::get_attr(os.get(), names.path);
    if (!os_path) return frame::fail_at(self, kLineNormpath);
    Ref normalized = frame::call_method(os_path.get(), names.normpath, {path});
    if (!normalized) return frame::fail_at(self, kLineNormpath);

    Ref get_os_function = frame::lookup_global(state, names.get_os);
    if (!get_os_function) return frame::fail_at(self, kLineGetOsCall);
    Ref plat = frame::call(get_os_function.get(), {});
    if (!plat) return frame::fail_at(self, kLineGetOsCall);

    const int is_windows = PyObject_RichCompareBool(plat.get(), names.windows, Py_EQ);
    if (is_windows < 0) return frame::fail_at(self, kLineCompare);
    if (!is_windows)
        return replace_separators(self, normalized.get(), names.backslash, names.slash,
                                  kLineForwardSlashes)
            .release();
    return replace_separators(self, normalized.get(), names.slash, names.backslash,
                              kLineBackslashes)
        .release();
}

frame::FunctionSpec get_os_spec{
    .name = "get_os",
    .qualname = "get_os",
    .doc = nullptr,
    .n_required = 0,
    .first_line = kLineDefGetOs,
    .impl = get_os,
};

frame::FunctionSpec custom_normpath_spec{
    .name = "custom_normpath",
    .qualname = "custom_normpath",
    .doc = nullptr,
    .params = {{.name = "path", .exact_type = &PyUnicode_Type}},
    .n_required = 1,
    .locals = {"normalized_path", "plat"},
    .annotations = {{"path", "str"}, {"return", "str"}},
    .first_line = kLineDefCustomNormpath,
    .impl = custom_normpath,
};

int module_code(int& line) {
    line = kLineImportOs;
    if (frame::import_statement(state, names.os) < 0) return -1;
    line = kLineImportPlatform;
    if (frame::import_statement(state, names.platform) < 0) return -1;
    line = kLineDefGetOs;
    if (frame::define(state, get_os_spec) < 0) return -1;
    line = kLineDefCustomNormpath;
    return frame::define(state, custom_normpath_spec);
}

const frame::ModuleHooks hooks{
    .names = state.names.table(),
    .make_constants = nullptr,
    .builtins = {},
    .module_code = module_code,
};

}  // namespace

KESTRUNE_MODULE(utilities, state, hooks)
