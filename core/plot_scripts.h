#pragma once
// The two gnuplot scripts written beside the text log: the live graph, which redraws every
// per_sec seconds (rereading itself before gnuplot 6, in a loop from 6 on), and the snapshot,
// which plots the log once into a PNG.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct PlotOptions {
    bool ShowLines = true;
    bool ShowPoints = true;
    bool OnlySeconds = false;
    std::int32_t per_sec = 5;
};

// A path written between single quotes in a script, with its own single quotes doubled.
std::string gnuplot_quoted(std::string_view path);

// "plot [][] " and one clause per channel and style, ending with a line end.
std::string plot_command(std::string_view szFile, const PlotOptions& o);
std::string live_script(std::string_view szFile, std::string_view started_time, const PlotOptions& o);
std::string snapshot_script(std::string_view szFile, std::string_view szPng,
                            std::string_view started_time, const PlotOptions& o);

struct ScriptNames {
    std::string szPlt, szPld, szPng;
};

// Derives the script and PNG names from szFile and writes both scripts, each created or
// emptied first. Returns the paths that could not be written.
std::vector<std::string> write_scripts(std::string_view szFile, std::string_view started_time,
                                       const PlotOptions& o, ScriptNames& names);
