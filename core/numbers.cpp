#include "numbers.h"
#include "text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_xdigit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool starts_with_nocase(std::string_view s, std::size_t at, std::string_view word) {
    if (s.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (lower(s[at + i]) != word[i]) return false;
    return true;
}

// Length of a run of digits (hex or decimal) starting at i.
std::size_t digits_at(std::string_view s, std::size_t i, bool hex) {
    std::size_t n = 0;
    while (i + n < s.size() && (hex ? is_xdigit(s[i + n]) : is_digit(s[i + n]))) ++n;
    return n;
}

}  // namespace

ScannedNumber scan_number(std::string_view s) {
    ScannedNumber r;
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = (s[i++] == '-');
    const std::size_t body = i;

    if (starts_with_nocase(s, body, "inf")) {
        r.ok = true;
        r.value = negative ? -std::numeric_limits<double>::infinity()
                           : std::numeric_limits<double>::infinity();
        r.end = body + (starts_with_nocase(s, body, "infinity") ? 8 : 3);
        return r;
    }
    if (starts_with_nocase(s, body, "nan")) {
        r.ok = true;
        r.value = std::numeric_limits<double>::quiet_NaN();
        r.end = body + 3;
        return r;
    }

    const bool hex = body + 2 < s.size() && s[body] == '0' && lower(s[body + 1]) == 'x' &&
                     (is_xdigit(s[body + 2]) ||
                      (s[body + 2] == '.' && body + 3 < s.size() && is_xdigit(s[body + 3])));
    std::size_t m = hex ? body + 2 : body;  // start of the mantissa
    const std::size_t int_digits = digits_at(s, m, hex);
    std::size_t j = m + int_digits;
    std::size_t frac_digits = 0;
    if (j < s.size() && s[j] == '.') {
        frac_digits = digits_at(s, j + 1, hex);
        if (int_digits + frac_digits > 0) j += 1 + frac_digits;
    }
    if (int_digits + frac_digits == 0) return r;  // no number: a lone sign, a dot, a letter

    const char exp_mark = hex ? 'p' : 'e';
    std::int32_t exponent = 0;
    if (j < s.size() && lower(s[j]) == exp_mark) {
        std::size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        const std::size_t exp_digits = digits_at(s, k, false);
        if (exp_digits > 0) {  // "1e" alone ends before the "e"
            scan_int(s.substr(j + 1, k + exp_digits - j - 1), exponent);
            j = k + exp_digits;
        }
    }

    double v = 0.0;
    const auto res = std::from_chars(s.data() + m, s.data() + j, v,
                                     hex ? std::chars_format::hex : std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // from_chars leaves v alone; "%lf" gives infinity on overflow and zero on underflow.
        // Which one it is shows in where the first significant digit stands against the point
        // once the exponent has moved it: zeros after the point count against it, and a
        // hexadecimal digit weighs four bits against the binary exponent.
        std::size_t lead = m;
        while (lead < m + int_digits && s[lead] == '0') ++lead;
        std::int64_t position = std::int64_t(m + int_digits - lead);
        if (position == 0) {
            const std::size_t frac = m + int_digits + 1;
            std::size_t zeros = 0;
            while (zeros < frac_digits && s[frac + zeros] == '0') ++zeros;
            position = -std::int64_t(zeros);
        }
        const bool overflow = (hex ? 4 * position : position) + exponent > 0;
        v = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    }
    r.ok = true;
    r.value = negative ? -v : v;
    r.end = j;
    return r;
}

bool scan_int(std::string_view s, std::int32_t& out) {
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = (s[i++] == '-');
    if (i >= s.size() || !is_digit(s[i])) return false;
    std::int64_t v = 0;
    const std::int64_t limit = std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1;
    for (; i < s.size() && is_digit(s[i]); ++i)
        if (v <= limit) v = v * 10 + (s[i] - '0');
    if (negative) v = -v;
    if (v > std::numeric_limits<std::int32_t>::max()) v = std::numeric_limits<std::int32_t>::max();
    if (v < std::numeric_limits<std::int32_t>::min()) v = std::numeric_limits<std::int32_t>::min();
    out = std::int32_t(v);
    return true;
}

std::string fixed2(double v) {
    char buf[400];  // "%.2f" of the largest double is 312 characters
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
    return std::string(buf, res.ptr);
}

void append_padded(std::string& out, std::int64_t n, int width) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, n);
    const int len = int(res.ptr - buf);
    if (len < width) out.append(std::size_t(width - len), ' ');
    out.append(buf, res.ptr);
}
