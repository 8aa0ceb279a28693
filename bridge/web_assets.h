#pragma once
// The web page's files, embedded in the program at build time from bridge/web/.
#include <cstddef>

struct WebAsset {
    const char* path;  // the URL path it is served at; "/" for index.html
    const char* type;  // its Content-Type
    const unsigned char* data;
    std::size_t size;
};

extern const WebAsset WEB_ASSETS[];
extern const std::size_t WEB_ASSET_COUNT;
