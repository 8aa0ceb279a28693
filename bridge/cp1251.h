#pragma once
// Windows-1251 bytes, as stations write their texts, to UTF-8 for JSON.
#include <string>
#include <string_view>

// Each byte the code page leaves undefined (0x98) becomes U+FFFD.
std::string cp1251_to_utf8(std::string_view text);
