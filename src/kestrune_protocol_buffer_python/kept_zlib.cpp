#include "kept_zlib.h"

#include "frame/module.h"
#include "frame/ops.h"
#include "frame/outcome.h"

#include <algorithm>
#include <climits>
#include <cstring>

#ifdef KESTRUNE_HAVE_ZLIB
#include <zlib.h>
#endif

namespace kept_zlib {
namespace {

#define KEPT_DEFLATE_NAMES(X)                         \
    X(compress, "compress")                           \
    X(error, "error")                                 \
    X(ZLIB_RUNTIME_VERSION, "ZLIB_RUNTIME_VERSION")
FRAME_NAMES(Names, KEPT_DEFLATE_NAMES);

// The interpreter's zlib module and its built-in compress, as `import zlib`
// found them, when the kept deflate state gives the same bytes; else null.
struct Recognised {
    Names names;
    PyObject* zlib = nullptr;      // strong
    PyObject* compress = nullptr;  // strong
} recognised;

}  // namespace

int make_names() { return frame::intern_names(recognised.names.table()); }

#ifdef KESTRUNE_HAVE_ZLIB
namespace {

// The parameters of zlib.compress(data): level Z_DEFAULT_COMPRESSION, a 15-bit
// window with the zlib header, memory level 8, the default strategy.
constexpr int kMemLevel = 8;

// Allocated like the interpreter's zlib module does, through its raw allocator.
voidpf raw_alloc(voidpf, uInt items, uInt size) { return PyMem_RawCalloc(items, size); }
void raw_free(voidpf, voidpf address) { PyMem_RawFree(address); }

// A zlib state kept for the life of the process.
struct Kept {
    z_stream stream;
    bool ready = false;
};

// The one deflate state, built at the first call and reset after each.
Kept kept;

void drop_state() {
    if (kept.ready) deflateEnd(&kept.stream);
    kept.ready = false;
}

// The interpreter's zlib error text: "Error <code> <while>: <message>".
void raise_zlib_error(PyObject* error_class, int err, const char* message) {
    const char* detail = err == Z_VERSION_ERROR ? "library version mismatch" : message;
    if (!detail) {
        switch (err) {
            case Z_BUF_ERROR: detail = "incomplete or truncated stream"; break;
            case Z_STREAM_ERROR: detail = "inconsistent stream state"; break;
            case Z_DATA_ERROR: detail = "invalid input data"; break;
        }
    }
    if (detail)
        PyErr_Format(error_class, "Error %d %s: %.200s", err, "while compressing data", detail);
    else
        PyErr_Format(error_class, "Error %d %s", err, "while compressing data");
}

// Builds the state when it is not there; false with an exception set.
bool make_ready(PyObject* error_class) {
    if (kept.ready) return true;
    std::memset(&kept.stream, 0, sizeof kept.stream);
    kept.stream.zalloc = raw_alloc;
    kept.stream.zfree = raw_free;
    const int err = deflateInit2(&kept.stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS,
                                 kMemLevel, Z_DEFAULT_STRATEGY);
    if (err == Z_OK) {
        kept.ready = true;
        return true;
    }
    if (err == Z_MEM_ERROR) {
        PyErr_SetString(PyExc_MemoryError, "Out of memory while compressing data");
    } else if (err == Z_STREAM_ERROR) {
        PyErr_SetString(error_class, "Bad compression level");
    } else {
        raise_zlib_error(error_class, err, kept.stream.msg);
    }
    deflateEnd(&kept.stream);
    return false;
}

// Whether the library the build links reports the version `runtime_version`
// (the interpreter's zlib.ZLIB_RUNTIME_VERSION). Never fails.
bool available(PyObject* runtime_version) {
    if (!runtime_version || !PyUnicode_Check(runtime_version)) return false;
    const char* text = PyUnicode_AsUTF8(runtime_version);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(text, zlibVersion()) == 0;
}

// Deflates `size` bytes at `data` into `out`, which has room for deflateBound
// bytes: Z_STREAM_END with `produced` set, or the error of deflate with its
// message (the state is then dropped, to be rebuilt on the next call).
int run_deflate(const char* data, std::size_t size, char* out, uLong bound, uLong& produced,
                const char*& message) {
    kept.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    kept.stream.avail_in = static_cast<uInt>(size);
    kept.stream.next_out = reinterpret_cast<Bytef*>(out);
    kept.stream.avail_out = static_cast<uInt>(bound);
    // With the whole input and room for deflateBound bytes, one deflate call
    // with Z_FINISH completes the stream.
    const int err = deflate(&kept.stream, Z_FINISH);
    produced = kept.stream.total_out;
    kept.stream.next_in = kept.stream.next_out = nullptr;
    if (err != Z_STREAM_END) {
        message = kept.stream.msg;
        drop_state();
        return err;
    }
    if (deflateReset(&kept.stream) != Z_OK) drop_state();  // this output stands; rebuild next time
    return err;
}

// The bytes zlib.compress(data) returns, for a bytes object `data` of at most
// kMaxInput bytes; `error_class` is zlib.error.
frame::Ref kept_compress(PyObject* data, PyObject* error_class) {
    if (!make_ready(error_class)) return {};
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    const uLong bound = deflateBound(&kept.stream, static_cast<uLong>(size));
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound));
    if (!out) return {};
    frame::Ref result = frame::Ref::steal(out);
    uLong produced;
    const char* message = nullptr;
    const int err = run_deflate(PyBytes_AS_STRING(data), static_cast<std::size_t>(size),
                                PyBytes_AS_STRING(out), bound, produced, message);
    if (err != Z_STREAM_END) {
        raise_zlib_error(error_class, err, message);
        return {};
    }
    out = result.release();
    if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(produced)) < 0) return {};
    return frame::Ref::steal(out);
}

}  // namespace

bool deflate_into(const char* data, std::size_t size, std::string& out) {
    if (!recognised.zlib || size > UINT_MAX / 2) return false;
    if (!kept.ready) {
        frame::SavedError saved;  // a failure to build the state only leaves the work to the caller
        if (!make_ready(PyExc_RuntimeError)) return false;
    }
    const std::size_t start = out.size();
    const uLong bound = deflateBound(&kept.stream, static_cast<uLong>(size));
    out.resize(start + bound);
    uLong produced;
    const char* message;
    if (run_deflate(data, size, out.data() + start, bound, produced, message) != Z_STREAM_END) {
        out.resize(start);
        return false;
    }
    out.resize(start + produced);
    return true;
}

#else  // built without zlib: every call goes to zlib.compress

namespace {

bool available(PyObject*) { return false; }

frame::Ref kept_compress(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_SystemError, "built without zlib");
    return {};
}

}  // namespace

bool deflate_into(const char*, std::size_t, std::string&) { return false; }

#endif

void recognise(PyObject* zlib) {
    if (recognised.zlib || !zlib) return;
    const Names& names = recognised.names;
    frame::Ref compress = frame::get_attr(zlib, names.compress);
    frame::Ref version = compress ? frame::get_attr(zlib, names.ZLIB_RUNTIME_VERSION) : frame::Ref();
    PyErr_Clear();
    if (!compress || !PyCFunction_Check(compress.get()) ||
        PyCFunction_GET_SELF(compress.get()) != zlib || !available(version.get()))
        return;
    recognised.zlib = Py_NewRef(zlib);
    recognised.compress = compress.release();
}

bool recognised_as(PyObject* zlib, PyObject* compress) {
    return zlib && zlib == recognised.zlib && compress == recognised.compress;
}

frame::Ref compress(PyObject* zlib, PyObject* compress, PyObject* serialized) {
    if (!recognised_as(zlib, compress) ||
        !PyBytes_CheckExact(serialized) || PyBytes_GET_SIZE(serialized) > kMaxInput)
        return frame::call(compress, {serialized});
    frame::Ref error_class = frame::get_attr(zlib, recognised.names.error);
    if (!error_class) return {};
    return kept_compress(serialized, error_class.get());
}

// ---- inflate ---------------------------------------------------------------------------------

#ifdef KESTRUNE_HAVE_ZLIB
namespace {

// The one inflate state, built at the first call and reset after each.
Kept kept_inflate;

bool make_inflate_ready() {
    if (kept_inflate.ready) return true;
    std::memset(&kept_inflate.stream, 0, sizeof kept_inflate.stream);
    kept_inflate.stream.zalloc = raw_alloc;
    kept_inflate.stream.zfree = raw_free;
    if (inflateInit2(&kept_inflate.stream, MAX_WBITS) != Z_OK) {
        inflateEnd(&kept_inflate.stream);
        return false;
    }
    kept_inflate.ready = true;
    return true;
}

}  // namespace

bool inflate_available() { return true; }

Inflated inflate_into(const char* data, std::size_t size, std::size_t limit, std::string& out) {
    if (!make_inflate_ready()) return Inflated::Failed;
    const std::size_t start = out.size();
    // Room for a typical expansion first; more as the stream needs it, never
    // beyond limit + 1 bytes.
    std::size_t room = std::min(limit + 1, std::max<std::size_t>(size * 4, 256));
    kept_inflate.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    kept_inflate.stream.avail_in = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    std::size_t produced = 0;
    int err = Z_OK;
    while (true) {
        out.resize(start + room);
        kept_inflate.stream.next_out = reinterpret_cast<Bytef*>(out.data() + start + produced);
        kept_inflate.stream.avail_out = static_cast<uInt>(std::min<std::size_t>(room - produced, UINT_MAX));
        const uInt before = kept_inflate.stream.avail_out;
        err = inflate(&kept_inflate.stream, Z_NO_FLUSH);
        produced += before - kept_inflate.stream.avail_out;
        if (err != Z_OK || kept_inflate.stream.avail_out != 0) break;
        if (produced > limit) break;
        room = std::min(limit + 1, room * 2);
        if (room == produced) break;
    }
    const bool whole = err == Z_STREAM_END;
    if (inflateReset(&kept_inflate.stream) != Z_OK) {
        inflateEnd(&kept_inflate.stream);
        kept_inflate.ready = false;
    }
    if (produced > limit) {
        out.resize(start);
        return Inflated::TooLarge;
    }
    out.resize(whole ? start + produced : start);
    return whole ? Inflated::Done : Inflated::Failed;
}

#else  // built without zlib

bool inflate_available() { return false; }

Inflated inflate_into(const char*, std::size_t, std::size_t, std::string&) { return Inflated::Failed; }

#endif

}  // namespace kept_zlib
