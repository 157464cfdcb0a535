// One inflate state kept for the life of the process and reset between
// payloads, so that each payload costs no allocation of a 32 KB window.
#pragma once

#include <cstddef>
#include <string>

namespace kept_inflate {

enum class Inflated {
    Done,      // `out` holds the stream's bytes
    TooLarge,  // the stream holds more than `limit` bytes
    Failed,    // not one complete zlib stream, or no memory for the state
};

// Whether the build carries zlib (else every payload is Failed).
bool available();

// Appends to `out` the bytes of the zlib stream that `data` starts with, as
// zlib.decompress(data) gives them (what follows the end of the stream is
// passed over), decompressing no more than `limit` + 1 bytes. On any outcome
// but Done, `out` is left as it was. Sets no exception.
Inflated inflate_into(const char* data, std::size_t size, std::size_t limit, std::string& out);

}  // namespace kept_inflate
