#include "plot_scripts.h"

#include "logs.h"
#include "reading.h"
#include "text.h"

std::string gnuplot_quoted(std::string_view path) {
    std::string q = "'";
    for (char c : path) {
        if (c == '\'') q += '\'';
        q += c;
    }
    q += '\'';
    return q;
}

std::string plot_command(std::string_view szFile, const PlotOptions& o) {
    // With neither style chosen the plot would have no clause: draw lines then.
    const bool lines = o.ShowLines || !o.ShowPoints;
    const bool points = o.ShowPoints;
    const std::string file = gnuplot_quoted(szFile);
    const std::string x = o.OnlySeconds ? "1" : "2";
    std::string cmd = "plot [][] ";
    auto clause = [&](int n, const char* style, bool last) {
        const std::string y = std::to_string(n + 3);
        const std::string c = std::to_string(n);
        cmd += file + " using " + x + ":($" + y + "<-200?1/0:$" + y + ") with " + style + " lc " +
               c + " title \"TC N " + c + "\"" + (last ? "\n" : ",");
    };
    for (int n = 1; n <= NCHAN; ++n) {
        if (lines) clause(n, "lines", n == NCHAN && !points);
        if (points) clause(n, "points", n == NCHAN);
    }
    return cmd;
}

namespace {

std::string time_axis_lines(std::string_view started_time, bool only_seconds, bool snapshot) {
    if (only_seconds) return "set xlabel 't (CTAPT " + std::string(started_time) + "), c'\n";
    std::string s =
        "set xdata time\n"
        "set timefmt '%Y-%m-%d-%H-%M-%S'\n"
        "set format x '%H:%M:%S'\n";
    s += "set xlabel 't (CTAPT " + std::string(started_time) + ")'";
    s += snapshot ? " offset 0,-1\nset xtics rotate by 90\n"
                  : "\nset xtics offset -4,-2 rotate by 45\n";
    return s;
}

}  // namespace

std::string live_script(std::string_view szFile, std::string_view started_time, const PlotOptions& o) {
    std::string s = "set grid\nset key on outside right\n";
    s += time_axis_lines(started_time, o.OnlySeconds, false);
    s += to_cp1251("set ylabel 'T, °C'\n");
    s += plot_command(szFile, o);
    const std::string pause = "pause " + std::to_string(o.per_sec);
    // gnuplot 6 dropped reread: older versions reread the script and never reach the loop,
    // newer ones skip the reread and redraw in the loop.
    s += pause + "\nif (GPVAL_VERSION < 6.0) reread\nwhile (1) { replot; " + pause + " }\n";
    return s;
}

std::string snapshot_script(std::string_view szFile, std::string_view szPng,
                            std::string_view started_time, const PlotOptions& o) {
    std::string s = "set terminal png\nset output " + gnuplot_quoted(szPng) + "\n";
    s += "set grid\nset key on outside right\n";
    s += time_axis_lines(started_time, o.OnlySeconds, true);
    s += to_cp1251("set ylabel 'T, °C'\n");
    s += plot_command(szFile, o);
    return s;
}

std::vector<std::string> write_scripts(std::string_view szFile, std::string_view started_time,
                                       const PlotOptions& o, ScriptNames& names) {
    std::vector<std::string> failed;
    names.szPlt = derived_name(szFile, "plt");
    if (!write_text_file(names.szPlt, live_script(szFile, started_time, o)))
        failed.push_back(names.szPlt);
    names.szPld = derived_name(szFile, "pld");
    names.szPng = derived_name(szFile, "png");
    if (!write_text_file(names.szPld, snapshot_script(szFile, names.szPng, started_time, o)))
        failed.push_back(names.szPld);
    return failed;
}
