#include "command_lines.h"

std::optional<std::string> viewer_command(std::string_view program, std::string_view file) {
    std::string line = "\"" + std::string(program) + "\" \"" + std::string(file) + "\"";
    if (line.size() > COMMAND_CAPACITY) return std::nullopt;
    return line;
}
