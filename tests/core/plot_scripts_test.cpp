#include <gtest/gtest.h>

#include <string>

#include "core_test_support.h"
#include "plot_scripts.h"

namespace {

const std::string kStart = "2024-05-17-09-30-00";
const std::string kLog = "C:\\zk47\\data\\2024-05-17\\2024-05-17-09-30-00.txt";
const std::string kPng = "C:\\zk47\\data\\2024-05-17\\2024-05-17-09-30-00.png";
const std::string kYLabel = "set ylabel 'T, \xB0" "C'\n";  // the degree sign in Windows-1251

PlotOptions options(bool lines, bool points, bool only_seconds, int per_sec = 5) {
    PlotOptions o;
    o.ShowLines = lines;
    o.ShowPoints = points;
    o.OnlySeconds = only_seconds;
    o.per_sec = per_sec;
    return o;
}

// The plot lines written out, with @ where the quoted log goes.
// Both styles by time of day: a line and a point clause per channel.
const char kPlotLinesAndPoints[] =
    "plot [][] "
    "@ using 2:($4<-200?1/0:$4) with lines lc 1 title \"TC N 1\","
    "@ using 2:($4<-200?1/0:$4) with points lc 1 title \"TC N 1\","
    "@ using 2:($5<-200?1/0:$5) with lines lc 2 title \"TC N 2\","
    "@ using 2:($5<-200?1/0:$5) with points lc 2 title \"TC N 2\","
    "@ using 2:($6<-200?1/0:$6) with lines lc 3 title \"TC N 3\","
    "@ using 2:($6<-200?1/0:$6) with points lc 3 title \"TC N 3\","
    "@ using 2:($7<-200?1/0:$7) with lines lc 4 title \"TC N 4\","
    "@ using 2:($7<-200?1/0:$7) with points lc 4 title \"TC N 4\","
    "@ using 2:($8<-200?1/0:$8) with lines lc 5 title \"TC N 5\","
    "@ using 2:($8<-200?1/0:$8) with points lc 5 title \"TC N 5\","
    "@ using 2:($9<-200?1/0:$9) with lines lc 6 title \"TC N 6\","
    "@ using 2:($9<-200?1/0:$9) with points lc 6 title \"TC N 6\","
    "@ using 2:($10<-200?1/0:$10) with lines lc 7 title \"TC N 7\","
    "@ using 2:($10<-200?1/0:$10) with points lc 7 title \"TC N 7\","
    "@ using 2:($11<-200?1/0:$11) with lines lc 8 title \"TC N 8\","
    "@ using 2:($11<-200?1/0:$11) with points lc 8 title \"TC N 8\","
    "@ using 2:($12<-200?1/0:$12) with lines lc 9 title \"TC N 9\","
    "@ using 2:($12<-200?1/0:$12) with points lc 9 title \"TC N 9\","
    "@ using 2:($13<-200?1/0:$13) with lines lc 10 title \"TC N 10\","
    "@ using 2:($13<-200?1/0:$13) with points lc 10 title \"TC N 10\","
    "@ using 2:($14<-200?1/0:$14) with lines lc 11 title \"TC N 11\","
    "@ using 2:($14<-200?1/0:$14) with points lc 11 title \"TC N 11\","
    "@ using 2:($15<-200?1/0:$15) with lines lc 12 title \"TC N 12\","
    "@ using 2:($15<-200?1/0:$15) with points lc 12 title \"TC N 12\"\n";

// Lines by time of day.
const char kPlotLines[] =
    "plot [][] "
    "@ using 2:($4<-200?1/0:$4) with lines lc 1 title \"TC N 1\","
    "@ using 2:($5<-200?1/0:$5) with lines lc 2 title \"TC N 2\","
    "@ using 2:($6<-200?1/0:$6) with lines lc 3 title \"TC N 3\","
    "@ using 2:($7<-200?1/0:$7) with lines lc 4 title \"TC N 4\","
    "@ using 2:($8<-200?1/0:$8) with lines lc 5 title \"TC N 5\","
    "@ using 2:($9<-200?1/0:$9) with lines lc 6 title \"TC N 6\","
    "@ using 2:($10<-200?1/0:$10) with lines lc 7 title \"TC N 7\","
    "@ using 2:($11<-200?1/0:$11) with lines lc 8 title \"TC N 8\","
    "@ using 2:($12<-200?1/0:$12) with lines lc 9 title \"TC N 9\","
    "@ using 2:($13<-200?1/0:$13) with lines lc 10 title \"TC N 10\","
    "@ using 2:($14<-200?1/0:$14) with lines lc 11 title \"TC N 11\","
    "@ using 2:($15<-200?1/0:$15) with lines lc 12 title \"TC N 12\"\n";

// Points by time of day.
const char kPlotPoints[] =
    "plot [][] "
    "@ using 2:($4<-200?1/0:$4) with points lc 1 title \"TC N 1\","
    "@ using 2:($5<-200?1/0:$5) with points lc 2 title \"TC N 2\","
    "@ using 2:($6<-200?1/0:$6) with points lc 3 title \"TC N 3\","
    "@ using 2:($7<-200?1/0:$7) with points lc 4 title \"TC N 4\","
    "@ using 2:($8<-200?1/0:$8) with points lc 5 title \"TC N 5\","
    "@ using 2:($9<-200?1/0:$9) with points lc 6 title \"TC N 6\","
    "@ using 2:($10<-200?1/0:$10) with points lc 7 title \"TC N 7\","
    "@ using 2:($11<-200?1/0:$11) with points lc 8 title \"TC N 8\","
    "@ using 2:($12<-200?1/0:$12) with points lc 9 title \"TC N 9\","
    "@ using 2:($13<-200?1/0:$13) with points lc 10 title \"TC N 10\","
    "@ using 2:($14<-200?1/0:$14) with points lc 11 title \"TC N 11\","
    "@ using 2:($15<-200?1/0:$15) with points lc 12 title \"TC N 12\"\n";

// Lines by seconds (column one).
const char kPlotLinesBySeconds[] =
    "plot [][] "
    "@ using 1:($4<-200?1/0:$4) with lines lc 1 title \"TC N 1\","
    "@ using 1:($5<-200?1/0:$5) with lines lc 2 title \"TC N 2\","
    "@ using 1:($6<-200?1/0:$6) with lines lc 3 title \"TC N 3\","
    "@ using 1:($7<-200?1/0:$7) with lines lc 4 title \"TC N 4\","
    "@ using 1:($8<-200?1/0:$8) with lines lc 5 title \"TC N 5\","
    "@ using 1:($9<-200?1/0:$9) with lines lc 6 title \"TC N 6\","
    "@ using 1:($10<-200?1/0:$10) with lines lc 7 title \"TC N 7\","
    "@ using 1:($11<-200?1/0:$11) with lines lc 8 title \"TC N 8\","
    "@ using 1:($12<-200?1/0:$12) with lines lc 9 title \"TC N 9\","
    "@ using 1:($13<-200?1/0:$13) with lines lc 10 title \"TC N 10\","
    "@ using 1:($14<-200?1/0:$14) with lines lc 11 title \"TC N 11\","
    "@ using 1:($15<-200?1/0:$15) with lines lc 12 title \"TC N 12\"\n";

// A written-out plot line for one quoted log.
std::string plot_line(const char* text, const std::string& quoted_file) {
    std::string cmd;
    for (const char* c = text; *c; ++c) cmd += *c == '@' ? quoted_file : std::string(1, *c);
    return cmd;
}

// The live script's end: gnuplot before 6 rereads the script, 6 and later loop.
std::string live_tail(int per_sec) {
    switch (per_sec) {
    case 5: return "pause 5\nif (GPVAL_VERSION < 6.0) reread\nwhile (1) { replot; pause 5 }\n";
    case 10: return "pause 10\nif (GPVAL_VERSION < 6.0) reread\nwhile (1) { replot; pause 10 }\n";
    }
    ADD_FAILURE() << "no tail written out for " << per_sec;
    return {};
}

std::string live_by_time_of_day(const std::string& plot, int per_sec) {
    return "set grid\n"
           "set key on outside right\n"
           "set xdata time\n"
           "set timefmt '%Y-%m-%d-%H-%M-%S'\n"
           "set format x '%H:%M:%S'\n"
           "set xlabel 't (CTAPT " + kStart + ")'\n"
           "set xtics offset -4,-2 rotate by 45\n" +
           kYLabel + plot + live_tail(per_sec);
}

std::string snapshot_by_time_of_day(const std::string& png, const std::string& plot) {
    return "set terminal png\n"
           "set output '" + png + "'\n"
           "set grid\n"
           "set key on outside right\n"
           "set xdata time\n"
           "set timefmt '%Y-%m-%d-%H-%M-%S'\n"
           "set format x '%H:%M:%S'\n"
           "set xlabel 't (CTAPT " + kStart + ")' offset 0,-1\n"
           "set xtics rotate by 90\n" +
           kYLabel + plot;
}

std::size_t count_of(const std::string& s, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(PlotScripts, LiveGraphScriptIsByteExactWithATimeOfDayAxis) {
    const std::string plot = plot_line(kPlotLinesAndPoints, "'" + kLog + "'");
    EXPECT_EQ(live_script(kLog, kStart, options(true, true, false)), live_by_time_of_day(plot, 5));
}

TEST(PlotScripts, SnapshotScriptIsByteExactAndEndsWithThePlotLine) {
    const std::string plot = plot_line(kPlotLinesAndPoints, "'" + kLog + "'");
    EXPECT_EQ(snapshot_script(kLog, kPng, kStart, options(true, true, false)),
              snapshot_by_time_of_day(kPng, plot));
}

TEST(PlotScripts, SecondsAxisDropsTheTimeLinesAndPlotsColumnOne) {
    const std::string plot = plot_line(kPlotLinesBySeconds, "'" + kLog + "'");
    const std::string label = "set xlabel 't (CTAPT " + kStart + "), c'\n";
    EXPECT_EQ(live_script(kLog, kStart, options(true, false, true, 10)),
              "set grid\nset key on outside right\n" + label + kYLabel + plot + live_tail(10));
    EXPECT_EQ(snapshot_script(kLog, kPng, kStart, options(true, false, true)),
              "set terminal png\nset output '" + kPng + "'\nset grid\nset key on outside right\n" + label +
                  kYLabel + plot);
}

TEST(PlotScripts, BothStylesGiveTwentyFourClausesAlternatingPerChannel) {
    const std::string cmd = plot_command(kLog, options(true, true, false));
    EXPECT_EQ(count_of(cmd, " with lines "), 12u);
    EXPECT_EQ(count_of(cmd, " with points "), 12u);
    EXPECT_EQ(count_of(cmd, "\n"), 1u);
    EXPECT_EQ(cmd.back(), '\n');
    const std::size_t lines1 = cmd.find("with lines lc 1 title \"TC N 1\",");
    const std::size_t points1 = cmd.find("with points lc 1 title \"TC N 1\",");
    const std::size_t lines2 = cmd.find("with lines lc 2 title \"TC N 2\",");
    EXPECT_LT(lines1, points1);
    EXPECT_LT(points1, lines2);
    EXPECT_NE(cmd.find("using 2:($15<-200?1/0:$15) with points lc 12 title \"TC N 12\"\n"), std::string::npos);
}

TEST(PlotScripts, OneStyleGivesTwelveClausesEndingAtChannelTwelve) {
    EXPECT_EQ(plot_command(kLog, options(true, false, false)), plot_line(kPlotLines, "'" + kLog + "'"));
    EXPECT_EQ(plot_command(kLog, options(false, true, false)), plot_line(kPlotPoints, "'" + kLog + "'"));
}

TEST(PlotScripts, NeitherStyleIsWrittenAsLinesSoPauseKeepsItsOwnLine) {
    EXPECT_EQ(plot_command(kLog, options(false, false, true)), plot_line(kPlotLinesBySeconds, "'" + kLog + "'"));
    const std::string live = live_script(kLog, kStart, options(false, false, true));
    EXPECT_NE(live.find("\"TC N 12\"\npause 5\nif (GPVAL_VERSION < 6.0) reread\n"), std::string::npos);
}

TEST(PlotScripts, PausePeriodIsWrittenUnchanged) {
    EXPECT_NE(live_script(kLog, kStart, options(true, true, false, 0)).find("\npause 0\n"), std::string::npos);
    EXPECT_NE(live_script(kLog, kStart, options(true, true, false, -3)).find("\npause -3\n"), std::string::npos);
    EXPECT_NE(live_script(kLog, kStart, options(true, true, false, 0)).find("\nwhile (1) { replot; pause 0 }\n"),
              std::string::npos);
}

TEST(PlotScripts, SingleQuoteInAPathIsDoubled) {
    const std::string log = "C:\\it's\\run.txt";
    const std::string png = "C:\\it's\\run.png";
    const std::string script = snapshot_script(log, png, kStart, options(true, false, false));
    EXPECT_NE(script.find("set output 'C:\\it''s\\run.png'\n"), std::string::npos);
    EXPECT_NE(script.find(plot_line(kPlotLines, "'C:\\it''s\\run.txt'")), std::string::npos);
    EXPECT_EQ(gnuplot_quoted("''"), "''''''");
}

TEST(PlotScripts, PathWithBlanksOrCyrillicIsWrittenUnchanged) {
    const std::string log = "C:\\\xC4\xE0\xED\xED\xFB\xE5 1\\run 2.txt";  // "Данные 1" in Windows-1251
    const std::string script = live_script(log, kStart, options(false, true, false));
    EXPECT_NE(script.find(plot_line(kPlotPoints, "'" + log + "'")), std::string::npos);
}

TEST(PlotScripts, BothScriptsAreWrittenBesideTheLogAndRewrittenWhole) {
    zktest::ScratchDir dir;
    const std::string log = dir.file("2024-05-17-09-30-00.txt");
    ScriptNames names;
    EXPECT_TRUE(write_scripts(log, kStart, options(true, true, false), names).empty());
    EXPECT_EQ(names.szPlt, dir.file("2024-05-17-09-30-00.plt"));
    EXPECT_EQ(names.szPld, dir.file("2024-05-17-09-30-00.pld"));
    EXPECT_EQ(names.szPng, dir.file("2024-05-17-09-30-00.png"));
    const std::string plot = plot_line(kPlotLinesAndPoints, "'" + log + "'");
    EXPECT_EQ(zktest::file_bytes(names.szPlt), zktest::native_newlines(live_by_time_of_day(plot, 5)));
    EXPECT_EQ(zktest::file_bytes(names.szPld),
              zktest::native_newlines(snapshot_by_time_of_day(names.szPng, plot)));
    // Written again with fewer clauses: nothing of the longer script remains.
    write_scripts(log, kStart, options(false, true, false), names);
    const std::string points = plot_line(kPlotPoints, "'" + log + "'");
    EXPECT_EQ(zktest::file_bytes(names.szPlt), zktest::native_newlines(live_by_time_of_day(points, 5)));
}

TEST(PlotScripts, ScriptThatCannotBeWrittenIsReported) {
    zktest::ScratchDir dir;
    ScriptNames names;
    const auto failed = write_scripts(dir.file("no-such-folder/run.txt"), kStart, options(true, true, false), names);
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0], names.szPlt);
    EXPECT_EQ(failed[1], names.szPld);
}
