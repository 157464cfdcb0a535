// The text forms json_format gives Timestamp and Duration: their ToJsonString
// and FromJsonString, as plain C++ over ASCII text.
//
// The formatters return false where json_format raises (a value out of range). The parsers accept only text whose meaning is
// certain (the canonical forms: four-digit years, two-digit fields, up to nine
// fractional digits) and return false for anything else, which the runtime
// then reads, leniently or with its own error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace well_known_text {

// "1972-01-01T10:00:20.021Z": UTC, with 0, 3, 6 or 9 fractional digits.
bool format_timestamp(std::int64_t seconds, std::int32_t nanos, std::string& out);

// "1s", "-3.100s", "1.000000100s".
bool format_duration(std::int64_t seconds, std::int32_t nanos, std::string& out);

// "1972-01-01T10:00:20.021-05:00" and the like: seconds and nanos in UTC.
bool parse_timestamp(std::string_view text, std::int64_t& seconds, std::int32_t& nanos);

// "-3.1s" and the like.
bool parse_duration(std::string_view text, std::int64_t& seconds, std::int32_t& nanos);

}  // namespace well_known_text
