#include "script_copy.h"

#include <cctype>

#include "plot_scripts.h"

namespace {

bool is_slash(char c) { return c == '\\' || c == '/'; }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Rewrites one line (without its line end).
void host_line(std::string_view line, const PathMap& map_path, HostScript& out) {
    std::string& text = out.text;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == '#') {  // a comment runs to the line end; quotes in it are not strings
            text.append(line.substr(i));
            break;
        }
        if (c == '"') {  // a double-quoted string: backslash escapes, never a path here
            std::size_t j = i + 1;
            while (j < line.size() && line[j] != '"') j += line[j] == '\\' ? 2 : 1;
            j = j < line.size() ? j + 1 : line.size();
            text.append(line.substr(i, j - i));
            i = j;
            continue;
        }
        if (c != '\'') {
            text += c;
            ++i;
            continue;
        }
        // A single-quoted string; '' stands for one quote inside it.
        std::string value;
        std::size_t j = i + 1;
        bool closed = false;
        while (j < line.size()) {
            if (line[j] == '\'') {
                if (j + 1 < line.size() && line[j + 1] == '\'') {
                    value += '\'';
                    j += 2;
                    continue;
                }
                closed = true;
                ++j;
                break;
            }
            value += line[j++];
        }
        const std::string_view raw = line.substr(i, j - i);
        i = j;
        if (!closed || !is_windows_path(value)) {
            text.append(raw);
            continue;
        }
        if (auto host = map_path(value)) {
            text += gnuplot_quoted(*host);
            ++out.mapped;
        } else {
            text.append(raw);
            ++out.unmapped;
        }
    }
}

}  // namespace

bool is_windows_path(std::string_view s) {
    if (s.size() >= 3 && std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':' &&
        is_slash(s[2]))
        return true;
    return s.size() >= 3 && s[0] == '\\' && s[1] == '\\' && !is_slash(s[2]);
}

namespace {

std::string_view trimmed(std::string_view s) {
    std::size_t a = 0;
    while (a < s.size() && is_blank(s[a])) ++a;
    std::size_t b = s.size();
    while (b > a && (is_blank(s[b - 1]) || s[b - 1] == '\r')) --b;
    return s.substr(a, b - a);
}

// The command that an old-style "if (condition) command" runs; the line itself otherwise.
std::string_view conditional_command(std::string_view line) {
    if (line.substr(0, 2) != "if") return line;
    std::string_view rest = trimmed(line.substr(2));
    if (rest.empty() || rest[0] != '(') return line;
    int depth = 0;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '(') ++depth;
        if (rest[i] == ')' && --depth == 0) return trimmed(rest.substr(i + 1));
    }
    return line;
}

}  // namespace

bool rereads_itself(std::string_view script) {
    std::size_t start = 0;
    while (start <= script.size()) {
        std::size_t end = script.find('\n', start);
        if (end == std::string_view::npos) end = script.size();
        if (conditional_command(trimmed(script.substr(start, end - start))) == "reread") return true;
        start = end + 1;
    }
    return false;
}

HostScript host_script(std::string_view script, const PathMap& map_path) {
    HostScript out;
    out.live = rereads_itself(script);
    out.text.reserve(script.size() + 256);
    if (out.live) out.text += "bind \"Close\" \"exit gnuplot\"\n";
    std::size_t start = 0;
    while (start < script.size()) {
        std::size_t end = script.find('\n', start);
        const bool has_end = end != std::string_view::npos;
        if (!has_end) end = script.size();
        std::string_view line = script.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        host_line(line, map_path, out);
        out.text += '\n';
        start = end + 1;
    }
    return out;
}
