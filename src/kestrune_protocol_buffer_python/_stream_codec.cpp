// Module `_stream_codec`: the chunk loops of the pack and unpack commands, one
// call for a run of records instead of one Python iteration each.
//
// Each loop does, record by record, what the commands' own per-record code
// does with the package's functions, and stops at the first record whose
// outcome it cannot be certain of, returning how far it got; the caller then
// carries that record along its own road (which prints the warnings, words
// the errors and decides what a bad record means) and calls again after it.
// A loop answers None, doing nothing, while a function or module its records
// would pass through is not the one the package imported (a replaced global,
// another compressor) or the message class is not the runtime's own.
#include "fill_wire.h"
#include "json_mapping.h"
#include "json_plan.h"
#include "kept_zlib.h"
#include "wire_format.h"
#include "wire_json.h"

#include "frame/module.h"
#include "frame/ops.h"
#include "frame/outcome.h"

#include <yyjson.h>

#include <cstring>
#include <string>
#include <string_view>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

using frame::Answer;
using frame::Function;
using frame::Ref;

#define STREAM_CODEC_NAMES(X)                                           \
    X(pack_payload_module, "kestrune_protocol_buffer_python.pack_payload") \
    X(open_payload_module, "kestrune_protocol_buffer_python.open_payload") \
    X(dict_bridge_module, "kestrune_protocol_buffer_python.dict_bridge")   \
    X(json, "json")                                                     \
    X(zlib, "zlib")                                                     \
    X(orjson, "orjson")                                                 \
    X(json_format, "google.protobuf.json_format")                       \
    X(descriptor_module, "google.protobuf.descriptor")                  \
    X(message_module, "google.protobuf.message")                        \
    X(loads, "loads")                                                   \
    X(dumps, "dumps")                                                   \
    X(compress, "compress")                                             \
    X(decompressobj, "decompressobj")                                   \
    X(FieldDescriptor, "FieldDescriptor")                               \
    X(Message, "Message")                                               \
    X(MessageToDict, "MessageToDict")                                   \
    X(ParseDict, "ParseDict")                                           \
    X(set_message_fields, "set_message_fields")                         \
    X(create_message, "create_message")                                 \
    X(pack_payload, "pack_payload")                                     \
    X(protobuf_to_dict, "protobuf_to_dict")                             \
    X(ParseFromString, "ParseFromString")                               \
    X(ByteSize, "ByteSize")                                             \
    X(IsInitialized, "IsInitialized")                                   \
    X(DiscardUnknownFields, "DiscardUnknownFields")
FRAME_NAMES(Names, STREAM_CODEC_NAMES);

// One name of a module's namespace and the object it held when this module
// was initialised (strong), if that was one the loops may stand in for.
struct Kept {
    PyObject* const* name;
    PyObject* object = nullptr;
};

// Everything the module keeps for the life of the process.
struct State : frame::ModuleState {
    using frame::ModuleState::ModuleState;
    Names names;
    // The namespaces the per-record code reads its functions from (strong).
    PyObject* pack_payload = nullptr;
    PyObject* open_payload = nullptr;
    PyObject* dict_bridge = nullptr;
    PyObject* json = nullptr;
    PyObject* zlib = nullptr;
    PyObject* orjson = nullptr;
    // pack_payload's functions and the globals its fill and pack read.
    Kept fill{&names.set_message_fields};
    Kept create{&names.create_message};
    Kept pack{&names.pack_payload};
    Kept pack_json{&names.json};
    Kept pack_field_descriptor{&names.FieldDescriptor};
    Kept loads{&names.loads};
    // What unpacking a payload reads.
    Kept open_create{&names.create_message};
    Kept to_dict{&names.protobuf_to_dict};
    Kept bridge_message{&names.Message};
    Kept decompressobj{&names.decompressobj};
    Kept dumps{&names.dumps};
    PyObject* from_field_descriptor = nullptr;  // ("FieldDescriptor",)
    PyObject* from_message = nullptr;           // ("Message",)
    // The loops' buffers, kept between calls so that a chunk's output does not
    // touch freshly mapped pages every time (as large as the largest chunk's).
    std::string out;
    std::string scratch;
    bool buffers_lent = false;
};

State state("_stream_codec", "kestrune_protocol_buffer_python._stream_codec",
            "kestrune_protocol_buffer_python\\_stream_codec.py");

Names& names = state.names;

// The type of the package's own functions, by name: each module has its own.
bool package_function(PyObject* object) {
    return object && std::strcmp(Py_TYPE(object)->tp_name, "kestrune_protocol_buffer_python.function") == 0;
}

// Whether the namespace `space` still holds what `kept` recorded.
bool unchanged(PyObject* space, const Kept& kept) {
    if (!kept.object || !space) return false;
    PyObject* now = PyDict_GetItemWithError(space, *kept.name);
    if (!now) PyErr_Clear();
    return now == kept.object;
}

PyObject* namespace_of(PyObject* module) {
    return module && PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
}

// The plan of `cls` when it is a runtime's message class; null (no exception
// set) when not.
json_mapping::PlanRef plan_for(PyObject* cls) {
    if (!PyType_Check(cls)) return {};
    json_mapping::PlanRef plan = json_mapping::plan_of(reinterpret_cast<PyTypeObject*>(cls));
    PyErr_Clear();
    return plan;
}

// The kept buffers for one loop, or buffers of its own for a loop that code
// run meanwhile (a finaliser) started while another holds them.
class Buffers {
public:
    Buffers() : lent_(!state.buffers_lent) {
        if (lent_) state.buffers_lent = true;
        out().clear();
        scratch().clear();
    }
    ~Buffers() {
        if (lent_) state.buffers_lent = false;
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    std::string& out() { return lent_ ? state.out : own_out_; }
    std::string& scratch() { return lent_ ? state.scratch : own_scratch_; }

private:
    bool lent_;
    std::string own_out_, own_scratch_;
};

// Every Nth record the loops let a pending signal (Ctrl-C, a stopping
// signal's handler) run, as the interpreter's own loop would.
constexpr long kSignalEvery = 256;

Ref result_tuple(const std::string& out, long records, long long payload_bytes,
                 std::initializer_list<Py_ssize_t> positions) {
    Ref data = Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    if (!data) return {};
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(3 + positions.size())));
    if (!tuple) return {};
    PyTuple_SET_ITEM(tuple.get(), 0, data.release());
    PyObject* items[] = {PyLong_FromLong(records), PyLong_FromLongLong(payload_bytes)};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        if (!items[i]) return {};
        PyTuple_SET_ITEM(tuple.get(), i + 1, items[i]);
    }
    Py_ssize_t i = 3;
    for (Py_ssize_t position : positions) {
        PyObject* item = PyLong_FromSsize_t(position);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple;
}

// ---- pack ---------------------------------------------------------------------------------

// Whether the fill, the message and the compression of a record go as the
// loop writes them: pack_payload's functions and the globals they read as it
// bound them, zlib.compress the built-in whose bytes the kept state gives.
bool pack_is_own() {
    PyObject* space = namespace_of(state.pack_payload);
    if (!unchanged(space, state.fill) || !unchanged(space, state.create) ||
        !unchanged(space, state.pack) || !unchanged(space, state.pack_json) ||
        !unchanged(space, state.pack_field_descriptor) ||
        !unchanged(namespace_of(state.json), state.loads))
        return false;
    PyObject* zlib = PyDict_GetItemWithError(space, names.zlib);
    Ref compress = zlib ? frame::get_attr(zlib, names.compress) : Ref();
    PyErr_Clear();
    return compress && kept_zlib::recognised_as(zlib, compress.get());
}

// A dynamic allocator for the parser's documents, freed with the loop.
class ParserMemory {
public:
    ParserMemory() : alc_(yyjson_alc_dyn_new()) {}
    ~ParserMemory() {
        if (alc_) yyjson_alc_dyn_free(alc_);
    }
    ParserMemory(const ParserMemory&) = delete;
    ParserMemory& operator=(const ParserMemory&) = delete;
    const yyjson_alc* get() const { return alc_; }

private:
    yyjson_alc* alc_;
};

// The payload of one line, appended to `out` with its prefix: Done; Runtime
// when the line must take the caller's road; Error with an exception set.
Answer pack_line(PyObject* cls, const json_mapping::TypePlan& plan, std::string_view line,
                 const yyjson_alc* alc, wire::Writer& fill, std::string& payload, std::string& out) {
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(line.data()), line.size(),
                                       YYJSON_READ_BIGNUM_AS_RAW, alc, nullptr);
    if (!doc) return Answer::Runtime;
    struct Free {
        yyjson_doc* doc;
        ~Free() { yyjson_doc_free(doc); }
    } free_doc{doc};
    yyjson_val* root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) return Answer::Runtime;
    fill.bytes.clear();
    bool mutated = false;
    const Answer filled = fill_wire::write_record<fill_wire::JsonRecord>(*plan.messages.front(), root,
                                                                         fill, 1, mutated);
    if (filled != Answer::Done) return filled;

    // The message as set_message_fields leaves it, and its encoding.
    Ref message = Ref::steal(PyObject_CallNoArgs(cls));
    if (!message) return frame::runtime_or_error();
    if (!fill.bytes.empty()) {
        Ref wire = Ref::steal(PyBytes_FromStringAndSize(fill.bytes.data(),
                                                        static_cast<Py_ssize_t>(fill.bytes.size())));
        if (!wire || !frame::call(plan.merge.get(), {message.get(), wire.get()}))
            return frame::runtime_or_error();
    }
    Ref serialized = frame::call(plan.serialize.get(), {message.get()});
    if (!serialized) return frame::runtime_or_error();
    if (!PyBytes_CheckExact(serialized.get())) return Answer::Runtime;
    payload.clear();
    if (!kept_zlib::deflate_into(PyBytes_AS_STRING(serialized.get()),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(serialized.get())), payload))
        return Answer::Runtime;
    wire::append_varint(out, payload.size());  // the frame's length prefix
    out += payload;
    return Answer::Done;
}

// pack_lines(cls, data, start, nulls): the payloads of the JSON lines of
// `data` from byte `start`, as (output, records, payload bytes, stop, line
// breaks passed) where `stop` is the start of the line the caller must carry
// (len(data) when none). Empty lines are passed over. With `nulls`, a line
// whose text holds "null" is left to the caller, whose key adapter may change
// its record. None when the loop cannot stand in for the per-record code.
PyObject* pack_lines(Function*, PyObject* const* args) {
    PyObject* cls = args[0];
    PyObject* data = args[1];
    const Py_ssize_t start = PyLong_AsSsize_t(args[2]);
    const int nulls = PyObject_IsTrue(args[3]);
    if ((start == -1 && PyErr_Occurred()) || nulls < 0) return nullptr;
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    if (start < 0 || start > size) {
        PyErr_SetString(PyExc_ValueError, "start lies outside the data");
        return nullptr;
    }
    json_mapping::PlanRef plan = plan_for(cls);
    if (!plan || !plan->supported || plan->required || !pack_is_own()) Py_RETURN_NONE;

    const char* const text = PyBytes_AS_STRING(data);
    ParserMemory memory;
    if (!memory.get()) return PyErr_NoMemory();
    Buffers buffers;
    std::string& out = buffers.out();
    std::string& payload = buffers.scratch();
    wire::Writer fill;
    long records = 0;
    long long payload_bytes = 0;
    Py_ssize_t breaks = 0;
    Py_ssize_t pos = start;
    while (pos < size) {
        const char* line_start = text + pos;
        const auto* newline = static_cast<const char*>(std::memchr(line_start, '\n', static_cast<std::size_t>(size - pos)));
        const std::size_t length = newline ? static_cast<std::size_t>(newline - line_start)
                                           : static_cast<std::size_t>(size - pos);
        if (length) {
            const std::string_view line(line_start, length);
            if (nulls && line.find("null") != std::string_view::npos) break;
            const Answer done = pack_line(cls, *plan, line, memory.get(), fill, payload, out);
            if (done == Answer::Error) return nullptr;
            if (done == Answer::Runtime) break;
            payload_bytes += static_cast<long long>(payload.size());
            if (++records % kSignalEvery == 0 && PyErr_CheckSignals() < 0) return nullptr;
        }
        if (!newline) {
            pos = size;
            break;
        }
        pos += static_cast<Py_ssize_t>(length) + 1;
        ++breaks;
    }
    return result_tuple(out, records, payload_bytes, {pos, breaks}).release();
}

frame::FunctionSpec pack_lines_spec{
    .name = "pack_lines",
    .qualname = "pack_lines",
    .doc = "pack_lines(cls, data, start, nulls) -> (output, records, payload_bytes, stop, breaks) or None",
    .params = {{.name = "cls"}, {.name = "data", .exact_type = &PyBytes_Type},
               {.name = "start", .exact_type = &PyLong_Type}, {.name = "nulls"}},
    .n_required = 4,
    .first_line = 1,
    .impl = pack_lines,
};

// ---- unpack -------------------------------------------------------------------------------

// Whether opening a payload goes as the loop does it: open_payload's
// create_message, zlib's decompressobj, dict_bridge's protobuf_to_dict and
// orjson's dumps as they were bound.
bool unpack_is_own() {
    return kept_zlib::inflate_available() &&
           unchanged(namespace_of(state.open_payload), state.open_create) &&
           unchanged(namespace_of(state.dict_bridge), state.to_dict) &&
           unchanged(namespace_of(state.zlib), state.decompressobj) &&
           unchanged(namespace_of(state.orjson), state.dumps);
}

// Whether protobuf_to_dict gives what the wire's JSON text says: its
// MessageToDict json_format's own, its Message the runtime's.
bool wire_text_is_exact() {
    PyObject* space = namespace_of(state.dict_bridge);
    PyObject* convert = space ? PyDict_GetItemWithError(space, names.MessageToDict) : nullptr;
    PyErr_Clear();
    return convert && json_mapping::is_runtime_message_to_dict(convert) &&
           unchanged(space, state.bridge_message);
}

// The JSON line of a message parsed from `data`, as the per-record code makes
// it: parsed, refused for unknown fields, converted and dumped.
Answer text_by_message(PyObject* cls, const std::string& data, std::string& out) {
    Ref message = Ref::steal(PyObject_CallNoArgs(cls));
    Ref bytes = message ? Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())))
                        : Ref();
    if (!bytes || !frame::call_method(message.get(), names.ParseFromString, {bytes.get()}))
        return frame::runtime_or_error();
    // A message that lacks required fields is the caller's: the runtime's
    // ByteSize would collect their paths, which can crash it.
    Ref initialized = frame::call_method(message.get(), names.IsInitialized, {});
    if (!initialized) return frame::runtime_or_error();
    if (initialized.get() != Py_True) return Answer::Runtime;
    Ref size = frame::call_method(message.get(), names.ByteSize, {});
    Ref discarded = size ? frame::call_method(message.get(), names.DiscardUnknownFields, {}) : Ref();
    Ref known = discarded ? frame::call_method(message.get(), names.ByteSize, {}) : Ref();
    if (!known) return frame::runtime_or_error();
    const int same = PyObject_RichCompareBool(size.get(), known.get(), Py_EQ);
    if (same <= 0) return same < 0 ? frame::runtime_or_error() : Answer::Runtime;
    Ref dict = frame::call(state.to_dict.object, {message.get()});
    Ref text = dict ? frame::call(state.dumps.object, {dict.get()}) : Ref();
    if (!text) return frame::runtime_or_error();
    if (!PyBytes_CheckExact(text.get())) return Answer::Runtime;
    out.append(PyBytes_AS_STRING(text.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(text.get())));
    return Answer::Done;
}

// The largest payload a frame may announce (1 << 31 - 1, as the commands
// read streams); a longer prefix is no stream of payloads.
constexpr std::uint64_t kMaxFrame = (std::uint64_t{1} << 31) - 1;

// Whether the frame at `pos` of the `size` bytes at `text` is whole: its
// length prefix a varint as the wire format reads it, announcing at most
// kMaxFrame bytes, all of them there. Then `payload` and `length` are its payload.
bool whole_frame(const char* text, Py_ssize_t size, Py_ssize_t pos, const char*& payload,
                 std::size_t& length) {
    wire::Reader in(text + pos, static_cast<std::size_t>(size - pos));
    return in.span(payload, length) && length <= kMaxFrame;
}

// scan_frames(data, start): (end, frames) of the whole frames of the buffer
// `data` from byte `start` on; `end` is where the first frame that is not
// whole (or not a frame) starts.
PyObject* scan_frames(Function*, PyObject* const* args) {
    const Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    if (start < 0 || start > view.len) {
        PyErr_SetString(PyExc_ValueError, "start lies outside the data");
        return nullptr;
    }
    const auto* text = static_cast<const char*>(view.buf);
    Py_ssize_t pos = start, frames = 0;
    while (pos < view.len) {
        const char* payload;
        std::size_t length;
        if (!whole_frame(text, view.len, pos, payload, length)) break;
        pos = payload - text + static_cast<Py_ssize_t>(length);
        ++frames;
    }
    return Py_BuildValue("(nn)", pos, frames);
}

frame::FunctionSpec scan_frames_spec{
    .name = "scan_frames",
    .qualname = "scan_frames",
    .doc = "scan_frames(data, start) -> (end, frames)",
    .params = {{.name = "data"}, {.name = "start", .exact_type = &PyLong_Type}},
    .n_required = 2,
    .first_line = 3,
    .impl = scan_frames,
};

// unpack_frames(cls, data, start, limit): the JSON lines of the frames of
// `data` from byte `start`, each payload holding at most `limit` bytes
// decompressed, as (output, records, payload bytes, stop) where `stop` is the
// start of the frame the caller must carry (len(data) when none). None when
// the loop cannot stand in for the per-record code.
PyObject* unpack_frames(Function*, PyObject* const* args) {
    PyObject* cls = args[0];
    PyObject* data = args[1];
    const Py_ssize_t start = PyLong_AsSsize_t(args[2]);
    const long long limit = PyLong_AsLongLong(args[3]);
    if ((start == -1 || limit == -1) && PyErr_Occurred()) return nullptr;
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    if (start < 0 || start > size || limit < 0) {
        PyErr_SetString(PyExc_ValueError, "start lies outside the data, or the limit is negative");
        return nullptr;
    }
    json_mapping::PlanRef plan = plan_for(cls);
    if (!plan || !unpack_is_own()) Py_RETURN_NONE;
    const bool by_wire = plan->supported && !plan->required && wire_text_is_exact();

    const char* const text = PyBytes_AS_STRING(data);
    Buffers buffers;
    std::string& out = buffers.out();
    std::string& message = buffers.scratch();
    long records = 0;
    long long payload_bytes = 0;
    Py_ssize_t pos = start;
    while (pos < size) {
        // A frame that is not whole is the caller's.
        const char* payload;
        std::size_t length;
        if (!whole_frame(text, size, pos, payload, length)) break;

        message.clear();
        if (kept_zlib::inflate_into(payload, length, static_cast<std::size_t>(limit), message) !=
            kept_zlib::Inflated::Done)
            break;
        const std::size_t before = out.size();
        Answer done = by_wire ? wire_json::write_message(*plan->messages.front(), message.data(),
                                                         message.size(), out)
                              : Answer::Runtime;
        if (done == Answer::Runtime) done = text_by_message(cls, message, out);
        if (done == Answer::Error) return nullptr;
        if (done == Answer::Runtime) {
            out.resize(before);
            break;
        }
        out.push_back('\n');
        payload_bytes += static_cast<long long>(length);
        pos = payload - text + static_cast<Py_ssize_t>(length);
        if (++records % kSignalEvery == 0 && PyErr_CheckSignals() < 0) return nullptr;
    }
    return result_tuple(out, records, payload_bytes, {pos}).release();
}

frame::FunctionSpec unpack_frames_spec{
    .name = "unpack_frames",
    .qualname = "unpack_frames",
    .doc = "unpack_frames(cls, data, start, limit) -> (output, records, payload_bytes, stop) or None",
    .params = {{.name = "cls"}, {.name = "data", .exact_type = &PyBytes_Type},
               {.name = "start", .exact_type = &PyLong_Type},
               {.name = "limit", .exact_type = &PyLong_Type}},
    .n_required = 4,
    .first_line = 2,
    .impl = unpack_frames,
};

// ---- the process's allocator ------------------------------------------------------------------

// hold_freed_memory(): glibc's allocator keeps up to 32 MiB of freed memory
// for the next allocations of this process (and of processes it forks),
// rather than handing it back to the system after each chunk and taking page
// faults for fresh pages on the next: a chunk's buffers are a few MiB each.
// What the process holds stays bounded by the largest chunks, whatever the
// stream's length. Does nothing on other C libraries.
PyObject* hold_freed_memory(Function*, PyObject* const*) {
#ifdef __GLIBC__
    constexpr int kTopPad = 16 << 20;
    constexpr int kTrimThreshold = 32 << 20;
    constexpr int kMmapThreshold = 16 << 20;
    mallopt(M_TOP_PAD, kTopPad);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
#endif
    Py_RETURN_NONE;
}

frame::FunctionSpec hold_freed_memory_spec{
    .name = "hold_freed_memory",
    .qualname = "hold_freed_memory",
    .doc = "hold_freed_memory() -> None",
    .params = {},
    .n_required = 0,
    .first_line = 4,
    .impl = hold_freed_memory,
};

// ---- module code ------------------------------------------------------------------------------

// Imports `name` into `slot` (strong); -1 with an exception set.
int import_into(PyObject*& slot, PyObject* name) {
    if (slot) return 0;
    slot = PyImport_Import(name);
    return slot ? 0 : -1;
}

// Records what `space` holds under the kept name when it is acceptable.
void keep(Kept& kept, PyObject* space, bool (*acceptable)(PyObject*)) {
    if (kept.object || !space) return;
    PyObject* found = PyDict_GetItemWithError(space, *kept.name);
    PyErr_Clear();
    if (found && (!acceptable || acceptable(found))) kept.object = Py_NewRef(found);
}

bool is_module(PyObject* object) { return PyModule_Check(object); }

// A built-in function of the module it was read from.
bool is_builtin(PyObject* object) { return PyCFunction_Check(object); }

int module_code(int& line) {
    line = 1;
    if (import_into(state.pack_payload, names.pack_payload_module) < 0 ||
        import_into(state.open_payload, names.open_payload_module) < 0 ||
        import_into(state.dict_bridge, names.dict_bridge_module) < 0 ||
        import_into(state.json, names.json) < 0 || import_into(state.zlib, names.zlib) < 0 ||
        import_into(state.orjson, names.orjson) < 0)
        return -1;
    PyObject* pack = namespace_of(state.pack_payload);
    keep(state.fill, pack, package_function);
    keep(state.create, pack, package_function);
    keep(state.pack, pack, package_function);
    keep(state.pack_json, pack, is_module);
    keep(state.pack_field_descriptor, pack, nullptr);
    keep(state.loads, namespace_of(state.json), nullptr);
    keep(state.open_create, namespace_of(state.open_payload), package_function);
    keep(state.to_dict, namespace_of(state.dict_bridge), package_function);
    keep(state.bridge_message, namespace_of(state.dict_bridge), nullptr);
    keep(state.decompressobj, namespace_of(state.zlib), is_builtin);
    keep(state.dumps, namespace_of(state.orjson), is_builtin);
    kept_zlib::recognise(state.zlib);
    // The globals the fill and the conversion read must be the objects they
    // were written for: json, FieldDescriptor, the runtime's Message.
    Ref field_descriptor = frame::import_from(state, names.descriptor_module, state.from_field_descriptor);
    Ref message = field_descriptor ? frame::import_from(state, names.message_module, state.from_message)
                                   : Ref();
    if (!message) return -1;
    if (state.pack_json.object != state.json) Py_CLEAR(state.pack_json.object);
    if (state.pack_field_descriptor.object != field_descriptor.get())
        Py_CLEAR(state.pack_field_descriptor.object);
    if (state.bridge_message.object != message.get()) Py_CLEAR(state.bridge_message.object);

    // json_format's own functions, which the native mapping recognises.
    Ref json_format = Ref::steal(PyImport_Import(names.json_format));
    if (!json_format) return -1;
    Ref message_to_dict = frame::get_attr(json_format.get(), names.MessageToDict);
    Ref parse_dict = message_to_dict ? frame::get_attr(json_format.get(), names.ParseDict) : Ref();
    if (!parse_dict) return -1;
    json_mapping::remember_runtime(message_to_dict.get(), parse_dict.get());

    if (frame::define(state, pack_lines_spec) < 0) return -1;
    line = 2;
    if (frame::define(state, unpack_frames_spec) < 0) return -1;
    line = 3;
    if (frame::define(state, scan_frames_spec) < 0) return -1;
    line = 4;
    return frame::define(state, hold_freed_memory_spec);
}

int make_constants() {
    if (json_mapping::make_names() < 0 || kept_zlib::make_names() < 0) return -1;
    if (!state.from_field_descriptor && !(state.from_field_descriptor = PyTuple_Pack(1, names.FieldDescriptor)))
        return -1;
    if (!state.from_message && !(state.from_message = PyTuple_Pack(1, names.Message))) return -1;
    return 0;
}

const frame::ModuleHooks hooks{
    .names = state.names.table(),
    .make_constants = make_constants,
    .builtins = {},
    .module_code = module_code,
};

}  // namespace

KESTRUNE_MODULE(_stream_codec, state, hooks)
