#include "well_known_text.h"

#include "civil_time.h"

#include <cstdio>

namespace well_known_text {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int32_t kNanosPerSecond = 1000000000;
constexpr std::int64_t kTimestampMin = -62135596800;  // 0001-01-01T00:00:00Z
constexpr std::int64_t kTimestampMax = 253402300799;  // 9999-12-31T23:59:59Z
constexpr std::int64_t kDurationMax = 315576000000;   // ten thousand years

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number of `count` digits at `at`; false when they are not all digits.
bool digits(std::string_view text, std::size_t at, std::size_t count, std::int64_t& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!is_digit(text[i])) return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The fraction of a second as ToJsonString writes it: none, or 3, 6 or 9
// digits, as few as the value needs.
void append_fraction(std::int32_t nanos, std::string& out) {
    char text[16];
    int n = 0;
    if (nanos == 0) return;
    if (nanos % 1000000 == 0) n = std::snprintf(text, sizeof text, ".%03d", nanos / 1000000);
    else if (nanos % 1000 == 0) n = std::snprintf(text, sizeof text, ".%06d", nanos / 1000);
    else n = std::snprintf(text, sizeof text, ".%09d", nanos);
    out.append(text, static_cast<std::size_t>(n));
}

// A fraction of 1 to 9 digits after the point at `at`, as nanoseconds, and
// where it ends. FromJsonString rounds float("0." + digits) * 1e9, which for
// nine digits or fewer is the digits' own value.
bool fraction(std::string_view text, std::size_t& at, std::int32_t& nanos) {
    nanos = 0;
    if (at >= text.size() || text[at] != '.') return true;
    std::size_t end = ++at;
    while (end < text.size() && is_digit(text[end])) ++end;
    const std::size_t count = end - at;
    if (count == 0 || count > 9) return false;
    std::int64_t value = 0;
    digits(text, at, count, value);
    for (std::size_t i = count; i < 9; ++i) value *= 10;
    nanos = static_cast<std::int32_t>(value);
    at = end;
    return true;
}

}  // namespace

bool format_timestamp(std::int64_t seconds, std::int32_t nanos, std::string& out) {
    if (seconds < kTimestampMin || seconds > kTimestampMax || nanos < 0 || nanos >= kNanosPerSecond)
        return false;
    const std::int64_t day_seconds = ((seconds % kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay;
    const civil_time::Date date = civil_time::civil_from_days((seconds - day_seconds) / kSecondsPerDay);
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                                static_cast<long long>(date.year), date.month, date.day,
                                static_cast<long long>(day_seconds / 3600),
                                static_cast<long long>(day_seconds / 60 % 60),
                                static_cast<long long>(day_seconds % 60));
    out.assign(text, static_cast<std::size_t>(n));
    append_fraction(nanos, out);
    out.push_back('Z');
    return true;
}

bool format_duration(std::int64_t seconds, std::int32_t nanos, std::string& out) {
    if (seconds < -kDurationMax || seconds > kDurationMax || nanos <= -kNanosPerSecond ||
        nanos >= kNanosPerSecond || (nanos < 0 && seconds > 0) || (nanos > 0 && seconds < 0))
        return false;
    const bool negative = seconds < 0 || nanos < 0;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%s%lld", negative ? "-" : "",
                                static_cast<long long>(negative ? -seconds : seconds));
    out.assign(text, static_cast<std::size_t>(n));
    append_fraction(negative ? -nanos : nanos, out);
    out.push_back('s');
    return true;
}

bool parse_timestamp(std::string_view text, std::int64_t& seconds, std::int32_t& nanos) {
    // YYYY-MM-DDTHH:MM:SS
    std::int64_t year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' ||
        !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) ||
        text[10] != 'T' || !digits(text, 11, 2, hour) || text[13] != ':' ||
        !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second))
        return false;
    if (year < 1 || month < 1 || month > 12 || day < 1 ||
        day > civil_time::days_in_month(year, static_cast<unsigned>(month)) || hour > 23 ||
        minute > 59 || second > 59)
        return false;
    std::size_t at = 19;
    if (!fraction(text, at, nanos)) return false;
    seconds = civil_time::days_from_civil(year, static_cast<unsigned>(month),
                                          static_cast<unsigned>(day)) *
                  kSecondsPerDay +
              hour * 3600 + minute * 60 + second;
    // Z, or an offset +HH:MM / -HH:MM, and nothing after it.
    if (at + 1 == text.size() && text[at] == 'Z') {
        // UTC already
    } else if (at + 6 == text.size() && (text[at] == '+' || text[at] == '-') && text[at + 3] == ':') {
        std::int64_t offset_hours, offset_minutes;
        if (!digits(text, at + 1, 2, offset_hours) || !digits(text, at + 4, 2, offset_minutes))
            return false;
        const std::int64_t offset = (offset_hours * 60 + offset_minutes) * 60;
        seconds += text[at] == '+' ? -offset : offset;
    } else {
        return false;
    }
    return seconds >= kTimestampMin && seconds <= kTimestampMax;
}

bool parse_duration(std::string_view text, std::int64_t& seconds, std::int32_t& nanos) {
    if (text.size() < 2 || text.back() != 's') return false;
    text.remove_suffix(1);
    const bool negative = text[0] == '-';
    std::size_t at = negative ? 1 : 0;
    std::size_t end = at;
    while (end < text.size() && is_digit(text[end])) ++end;
    if (end == at || end - at > 12) return false;
    std::int64_t whole = 0;
    digits(text, at, end - at, whole);
    at = end;
    if (!fraction(text, at, nanos) || at != text.size()) return false;
    seconds = negative ? -whole : whole;
    if (negative) nanos = -nanos;
    return seconds >= -kDurationMax && seconds <= kDurationMax;
}

}  // namespace well_known_text
