#include "text.h"

#include <cstdint>

namespace {

// Windows-1251 bytes 0x80..0xBF as Unicode code points; 0xC0..0xFF are U+0410..U+044F.
constexpr std::uint16_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

char to_byte(std::uint32_t cp) {
    if (cp < 0x80) return char(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return char(0xC0 + (cp - 0x0410));
    for (int i = 0; i < 64; ++i)
        if (kHigh[i] == cp) return char(0x80 + i);
    return '?';
}

}  // namespace

std::string to_cp1251(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = c;
        std::size_t n = 1;
        std::uint32_t least = 0;  // the smallest code point a sequence of this length may carry
        if (c >= 0xF0) { cp = c & 0x07; n = 4; least = 0x10000; }
        else if (c >= 0xE0) { cp = c & 0x0F; n = 3; least = 0x800; }
        else if (c >= 0xC0) { cp = c & 0x1F; n = 2; least = 0x80; }
        // A malformed sequence (cut short, a stray or missing continuation byte, an over-long
        // form) is one unknown character, and the bytes after its first are read afresh: an
        // ASCII byte is never swallowed and no NUL is made up.
        bool valid = (c < 0x80 || c >= 0xC0) && c < 0xF8 && i + n <= s.size();
        for (std::size_t k = 1; valid && k < n; ++k) {
            const unsigned char next = static_cast<unsigned char>(s[i + k]);
            valid = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (!valid || cp < least) {
            out += '?';
            ++i;
            continue;
        }
        out += to_byte(cp);
        i += n;
    }
    return out;
}

namespace {
void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}
}  // namespace

std::string from_cp1251(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        std::uint32_t cp = c;
        if (c >= 0xC0) cp = 0x0410 + (c - 0xC0);
        else if (c >= 0x80) cp = kHigh[c - 0x80] ? kHigh[c - 0x80] : 0xFFFD;
        append_utf8(out, cp);
    }
    return out;
}
