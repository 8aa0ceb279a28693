#include "cp1251.h"

#include <iconv.h>

#include <cerrno>

std::string cp1251_to_utf8(std::string_view text) {
    std::string out;
    // iconv handles are not shareable between threads: one per call.
    const iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == iconv_t(-1)) return out;
    char* in = const_cast<char*>(text.data());
    std::size_t in_left = text.size();
    char buf[256];
    while (in_left > 0) {
        char* o = buf;
        std::size_t o_left = sizeof buf;
        const std::size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        out.append(buf, std::size_t(o - buf));
        if (r == std::size_t(-1) && errno == EILSEQ) {
            out += "\xEF\xBF\xBD";
            ++in;
            --in_left;
        } else if (r == std::size_t(-1) && errno != E2BIG) {
            break;
        }
    }
    iconv_close(cd);
    return out;
}
