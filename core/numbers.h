#pragma once
// Reading and printing numbers the way the station's formats need them, with "." as the
// decimal point whatever the locale or C runtime (no printf/scanf family involved).
#include <cstdint>
#include <string>
#include <string_view>

// A floating-point number read as "%lf" reads one: leading white space skipped, then the
// longest text that forms a number (decimal or hexadecimal, "inf", "nan").
struct ScannedNumber {
    bool ok = false;       // some text formed a number
    double value = 0.0;    // may be infinite or NaN when the text said so
    std::size_t end = 0;   // offset just past the number within the scanned text
};
ScannedNumber scan_number(std::string_view text);

// A decimal integer read as "%d" reads one: white space, an optional sign, the leading digits.
// Values beyond the 32-bit range saturate. Returns false when no digit follows.
bool scan_int(std::string_view text, std::int32_t& out);

// "%.2f" of v: fixed notation, two decimals, rounded as printf rounds (to nearest, ties to even
// on the exact binary value).
std::string fixed2(double v);

// Appends "%Nd"-style (right-aligned in width) text of n to out.
void append_padded(std::string& out, std::int64_t n, int width);
