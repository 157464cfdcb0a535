// JSON text as orjson.dumps writes it: compact, UTF-8 left as it is, and in
// strings only the quote, the backslash and the control characters escaped
// (\b \t \n \f \r by their short forms, the others as \u00xx).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace json_text {

// Whether `size` bytes at `data` are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF), as the runtime checks text fields.
inline bool valid_utf8(const char* data, std::size_t size) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    const auto* end = p + size;
    while (p != end) {
        // Runs of ASCII, eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080u) break;
            p += 8;
        }
        if (p == end) break;
        const std::uint8_t c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        std::uint8_t low = 0x80, high = 0xbf;  // the range of the second byte
        if (c >= 0xc2 && c <= 0xdf) {
            n = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            n = 3;
            if (c == 0xe0) low = 0xa0;
            if (c == 0xed) high = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            n = 4;
            if (c == 0xf0) low = 0x90;
            if (c == 0xf4) high = 0x8f;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < n || p[1] < low || p[1] > high) return false;
        for (std::size_t i = 2; i < n; ++i)
            if ((p[i] & 0xc0) != 0x80) return false;
        p += n;
    }
    return true;
}

// Appends `size` bytes of UTF-8 text at `data` as a JSON string, quotes included.
inline void quoted(std::string& out, const char* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.reserve(out.size() + size + 2);
    out.push_back('"');
    std::size_t run = 0;  // start of the bytes not yet copied
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<std::uint8_t>(data[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(data + run, i - run);
        run = i + 1;
        out.push_back('\\');
        switch (c) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '\b': out.push_back('b'); break;
            case '\t': out.push_back('t'); break;
            case '\n': out.push_back('n'); break;
            case '\f': out.push_back('f'); break;
            case '\r': out.push_back('r'); break;
            default:
                out.append("u00");
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 15]);
        }
    }
    out.append(data + run, size - run);
    out.push_back('"');
}

// Writes the decimal digits of an integer given as sign and magnitude so that
// they end just before `end`; returns where they start. 21 bytes suffice.
inline char* decimal(char* end, std::uint64_t magnitude, bool negative) {
    char* p = end;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (negative) *--p = '-';
    return p;
}

inline void signed_integer(std::string& out, std::int64_t value) {
    char buffer[24];
    char* const end = buffer + sizeof buffer;
    const char* start = value < 0 ? decimal(end, 0 - static_cast<std::uint64_t>(value), true)
                                  : decimal(end, static_cast<std::uint64_t>(value), false);
    out.append(start, static_cast<std::size_t>(end - start));
}

inline void unsigned_integer(std::string& out, std::uint64_t value) {
    char buffer[24];
    char* const end = buffer + sizeof buffer;
    const char* start = decimal(end, value, false);
    out.append(start, static_cast<std::size_t>(end - start));
}

// The length of base64.b64encode of `size` bytes (standard alphabet, padded).
constexpr std::size_t base64_size(std::size_t size) { return (size + 2) / 3 * 4; }

// Writes base64.b64encode(data) at `out`, base64_size(size) bytes.
template <class Char>
void base64(Char* out, const char* data, std::size_t size) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* in = reinterpret_cast<const std::uint8_t*>(data);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[(group >> 12) & 63];
        *out++ = kAlphabet[(group >> 6) & 63];
        *out++ = kAlphabet[group & 63];
    }
    if (i < size) {
        const std::uint32_t group = (in[i] << 16) | (i + 1 < size ? in[i + 1] << 8 : 0);
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[(group >> 12) & 63];
        *out++ = i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
        *out++ = '=';
    }
}

// Appends base64.b64encode(data) as a JSON string.
inline void base64_quoted(std::string& out, const char* data, std::size_t size) {
    const std::size_t start = out.size();
    out.resize(start + base64_size(size) + 2);
    out[start] = '"';
    base64(out.data() + start + 1, data, size);
    out.back() = '"';
}

}  // namespace json_text
