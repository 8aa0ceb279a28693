#pragma once
// Command lines of the programs the monitor starts. Paths are quoted so blanks in them work;
// a line too long for the monitor's 384-byte buffer is refused rather than cut.
#include <optional>
#include <string>
#include <string_view>

constexpr std::size_t COMMAND_CAPACITY = 383;

// "<program>" "<file>"
std::optional<std::string> viewer_command(std::string_view program, std::string_view file);
