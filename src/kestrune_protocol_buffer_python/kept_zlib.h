// One deflate state and one inflate state kept for the life of the process and
// reset between calls: the bytes of zlib.compress(data) without building and
// freeing a ~268 KB state on every call (which, in a process with a small
// heap, the allocator hands back to the system after every call), and the
// bytes of a payload without a 32 KB window allocated for each.
#pragma once

#include "frame/ref.h"

#include <cstddef>
#include <string>

namespace kept_zlib {

// Interns the names the kept state uses; -1 with an exception set.
int make_names();

// Decides once, given the module that `import zlib` found, whether calls of
// its compress may be answered by the kept state: `zlib.compress` must be that
// module's own built-in, and the build must carry the zlib that the module
// runs (zlib.ZLIB_RUNTIME_VERSION). Never fails.
void recognise(PyObject* zlib);

// Inputs above this size go to zlib.compress, which lets other threads run
// while it works; holding the interpreter lock is cheap only for small ones.
constexpr Py_ssize_t kMaxInput = 64 * 1024;

// compress(serialized), where `compress` is the attribute compress of the
// module `zlib`: through the kept state when they are the module and built-in
// recognised and `serialized` is a bytes object of at most kMaxInput bytes,
// else by calling `compress`. The kept state gives the very bytes and errors
// of zlib.compress: MemoryError, or zlib.error with its text. Returns a new
// reference, or null with an exception set; after a failure the kept state is
// rebuilt on the next call.
frame::Ref compress(PyObject* zlib, PyObject* compress, PyObject* serialized);

// Appends to `out` the bytes zlib.compress of `size` bytes at `data` gives,
// through the kept state, for inputs of any size: false, with `out` as it was
// and no exception set, when the state was not recognised or deflate failed.
// The caller answers then by calling zlib.compress itself.
bool deflate_into(const char* data, std::size_t size, std::string& out);

// Whether `zlib` and `compress` are the module and built-in that recognise()
// accepted, so that deflate_into gives what calling `compress` gives.
bool recognised_as(PyObject* zlib, PyObject* compress);

enum class Inflated {
    Done,      // `out` holds the stream's bytes
    TooLarge,  // the stream holds more than `limit` bytes
    Failed,    // not one complete zlib stream, or no memory for the state
};

// Whether the build carries zlib (else every payload is Failed).
bool inflate_available();

// Appends to `out` the bytes of the zlib stream that `data` starts with, as
// zlib.decompress(data) gives them (what follows the end of the stream is
// passed over), decompressing no more than `limit` + 1 bytes. On any outcome
// but Done, `out` is left as it was. Sets no exception.
Inflated inflate_into(const char* data, std::size_t size, std::size_t limit, std::string& out);

}  // namespace kept_zlib
