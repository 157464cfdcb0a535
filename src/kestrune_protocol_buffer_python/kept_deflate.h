// One deflate state kept for the life of the process and reset between calls,
// giving the bytes of zlib.compress(data) without building and freeing a
// ~268 KB state on every call (which, in a process with a small heap, the
// allocator hands back to the system after every call).
#pragma once

#include "frame/ref.h"

namespace kept_deflate {

// True when the build carries zlib and the library it links reports the
// version `runtime_version` (the interpreter's zlib.ZLIB_RUNTIME_VERSION).
// Never fails.
bool available(PyObject* runtime_version);

// Inputs above this size go to zlib.compress, which lets other threads run
// while it works; holding the interpreter lock is cheap only for small ones.
constexpr Py_ssize_t kMaxInput = 64 * 1024;

// The bytes zlib.compress(data) returns, for a bytes object `data` of at most
// kMaxInput bytes. Returns a new reference, or null with an exception set:
// MemoryError, or `error_class` (zlib.error) with the text zlib.compress
// would give. After a failure the kept state is rebuilt on the next call.
frame::Ref compress(PyObject* data, PyObject* error_class);

}  // namespace kept_deflate
