#pragma once
// Turns a gnuplot script the monitor wrote for Windows into one the host's gnuplot can run:
// every single-quoted absolute Windows path becomes a host path. The other bytes stay as they
// are: the scripts' only non-ASCII text is the degree sign, 0xB0 in Windows-1251, which the
// host's gnuplot shows as a degree sign too (it takes such bytes as Latin-1). Platform-free:
// the path conversion is handed in.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Maps a Windows path (the bytes between the quotes, with doubled quotes already undone) to
// a host path; nothing when it cannot be mapped, and the path then stays as it stood.
using PathMap = std::function<std::optional<std::string>(std::string_view)>;

// Scripts are a few kilobytes; anything much larger is not one of the monitor's.
constexpr std::size_t SCRIPT_CAPACITY = 1 << 20;

// "X:\...", "X:/..." or "\\server\share...".
bool is_windows_path(std::string_view s);

// True when one of the script's lines is the command "reread", bare or as the command of an
// "if (...)" line: the live graph.
bool rereads_itself(std::string_view script);

struct HostScript {
    std::string text;
    int mapped = 0;    // paths turned into host paths
    int unmapped = 0;  // Windows paths left as they stood
    bool live = false;
};

// The host's version of the script, its lines ending in LF. A live graph gets a first line
// that ends gnuplot when its window is closed: the graph would otherwise reopen at the next
// pass, and no console is there to stop it.
HostScript host_script(std::string_view script, const PathMap& map_path);
