#include "kept_inflate.h"

#include <Python.h>

#include <algorithm>
#include <cstring>

#ifdef KESTRUNE_HAVE_ZLIB
#include <zlib.h>
#endif

namespace kept_inflate {

#ifdef KESTRUNE_HAVE_ZLIB
namespace {

voidpf raw_alloc(voidpf, uInt items, uInt size) { return PyMem_RawCalloc(items, size); }
void raw_free(voidpf, voidpf address) { PyMem_RawFree(address); }

struct Kept {
    z_stream stream;
    bool ready = false;
} kept;

bool make_ready() {
    if (kept.ready) return true;
    std::memset(&kept.stream, 0, sizeof kept.stream);
    kept.stream.zalloc = raw_alloc;
    kept.stream.zfree = raw_free;
    if (inflateInit2(&kept.stream, MAX_WBITS) != Z_OK) {
        inflateEnd(&kept.stream);
        return false;
    }
    kept.ready = true;
    return true;
}

}  // namespace

bool available() { return true; }

Inflated inflate_into(const char* data, std::size_t size, std::size_t limit, std::string& out) {
    if (!make_ready()) return Inflated::Failed;
    const std::size_t start = out.size();
    // Room for a typical expansion first; more as the stream needs it, never
    // beyond limit + 1 bytes.
    std::size_t room = std::min(limit + 1, std::max<std::size_t>(size * 4, 256));
    kept.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    kept.stream.avail_in = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    std::size_t produced = 0;
    int err = Z_OK;
    while (true) {
        out.resize(start + room);
        kept.stream.next_out = reinterpret_cast<Bytef*>(out.data() + start + produced);
        kept.stream.avail_out = static_cast<uInt>(std::min<std::size_t>(room - produced, UINT_MAX));
        const uInt before = kept.stream.avail_out;
        err = inflate(&kept.stream, Z_NO_FLUSH);
        produced += before - kept.stream.avail_out;
        if (err != Z_OK || kept.stream.avail_out != 0) break;
        if (produced > limit) break;
        room = std::min(limit + 1, room * 2);
        if (room == produced) break;
    }
    const bool whole = err == Z_STREAM_END;
    if (inflateReset(&kept.stream) != Z_OK) {
        inflateEnd(&kept.stream);
        kept.ready = false;
    }
    if (produced > limit) {
        out.resize(start);
        return Inflated::TooLarge;
    }
    out.resize(whole ? start + produced : start);
    return whole ? Inflated::Done : Inflated::Failed;
}

#else  // built without zlib

bool available() { return false; }

Inflated inflate_into(const char*, std::size_t, std::size_t, std::string&) { return Inflated::Failed; }

#endif

}  // namespace kept_inflate
