// The forwarder's rewriting of the monitor's gnuplot scripts, natively, on the scripts the
// core writes and on hand-made edge cases.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "plot_scripts.h"
#include "script_copy.h"
#include "text.h"

namespace {

// Maps "C:\a\b" to "/host/c/a/b" and records what it was asked.
struct FakeMap {
    std::vector<std::string> asked;
    std::optional<std::string> operator()(std::string_view p) {
        asked.emplace_back(p);
        std::string host = "/host/";
        host += char(std::tolower(static_cast<unsigned char>(p[0])));
        for (char c : p.substr(2)) host += c == '\\' ? '/' : c;
        return host;
    }
};

HostScript rewrite(std::string_view script, FakeMap& map) {
    return host_script(script, [&](std::string_view p) { return map(p); });
}

std::string without_cr(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}

std::string replace_all(std::string s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

const std::string kLog = "C:\\zk47\\data\\2024-05-17\\2024-05-17-09-41-07.txt";
const std::string kPng = "C:\\zk47\\data\\2024-05-17\\2024-05-17-09-41-07.png";
const std::string kHostLog = "/host/c/zk47/data/2024-05-17/2024-05-17-09-41-07.txt";
const std::string kHostPng = "/host/c/zk47/data/2024-05-17/2024-05-17-09-41-07.png";

}  // namespace

TEST(ScriptCopy, SnapshotScriptGetsHostPathsAndIsOtherwiseUnchanged) {
    PlotOptions o;
    const std::string script = snapshot_script(kLog, kPng, "2024-05-17-09-41-07", o);
    FakeMap map;
    const HostScript host = rewrite(script, map);
    EXPECT_FALSE(host.live);
    EXPECT_EQ(host.mapped, 25);  // the PNG and 24 plot clauses
    EXPECT_EQ(host.unmapped, 0);
    std::string expected = replace_all(script, "'" + kLog + "'", "'" + kHostLog + "'");
    expected = replace_all(expected, "'" + kPng + "'", "'" + kHostPng + "'");
    EXPECT_EQ(host.text, expected);
    EXPECT_EQ(host.text.find("C:\\"), std::string::npos);
    // The time format and the labels are single-quoted too, and are not paths.
    EXPECT_NE(host.text.find("set timefmt '%Y-%m-%d-%H-%M-%S'\n"), std::string::npos);
    EXPECT_NE(host.text.find(to_cp1251("set ylabel 'T, °C'\n")), std::string::npos);
}

TEST(ScriptCopy, LiveScriptKeepsItsRereadAndEndsWithItsWindow) {
    PlotOptions o;
    o.OnlySeconds = true;
    o.ShowPoints = false;
    const std::string script = live_script(kLog, "2024-05-17-09-41-07", o);
    FakeMap map;
    const HostScript host = rewrite(script, map);
    EXPECT_TRUE(host.live);
    EXPECT_EQ(host.mapped, 12);
    const std::string first_line = "bind \"Close\" \"exit gnuplot\"\n";
    ASSERT_EQ(host.text.substr(0, first_line.size()), first_line);
    EXPECT_EQ(host.text.substr(first_line.size()), replace_all(script, "'" + kLog + "'", "'" + kHostLog + "'"));
    const std::string tail = "pause 5\nif (GPVAL_VERSION < 6.0) reread\nwhile (1) { replot; pause 5 }\n";
    EXPECT_EQ(host.text.substr(host.text.size() - tail.size()), tail);
}

TEST(ScriptCopy, WindowsLineEndsBecomeHostOnes) {
    FakeMap map;
    const std::string script = "set grid\r\nplot 'C:\\a\\b.txt' using 1:2\r\npause 1\r\nreread\r\n";
    const HostScript host = rewrite(script, map);
    EXPECT_EQ(host.text, "bind \"Close\" \"exit gnuplot\"\nset grid\nplot '/host/c/a/b.txt' using 1:2\npause 1\nreread\n");
    EXPECT_EQ(without_cr(host.text), host.text);
}

TEST(ScriptCopy, LastLineWithoutLineEndGetsOne) {
    FakeMap map;
    EXPECT_EQ(rewrite("set grid\nplot 'D:/x.txt'", map).text, "set grid\nplot '/host/d/x.txt'\n");
    EXPECT_EQ(rewrite("", map).text, "");
}

TEST(ScriptCopy, DoubledQuotesInsideAPathAreUndoneForTheMapAndRedoneAfter) {
    FakeMap map;
    const std::string log = "C:\\O'Brien's data\\x.txt";
    const std::string script = "plot " + gnuplot_quoted(log) + " using 1:2\n";
    ASSERT_EQ(script, "plot 'C:\\O''Brien''s data\\x.txt' using 1:2\n");
    const HostScript host = rewrite(script, map);
    ASSERT_EQ(map.asked.size(), 1u);
    EXPECT_EQ(map.asked[0], log);
    EXPECT_EQ(host.text, "plot '/host/c/O''Brien''s data/x.txt' using 1:2\n");
}

TEST(ScriptCopy, CyrillicPathBytesReachTheMapUnchanged) {
    FakeMap map;
    const std::string dir = to_cp1251("C:\\Станция\\данные.txt");
    const std::string ylabel = to_cp1251("set ylabel 'T, °C'\n");
    const HostScript host = rewrite(ylabel + "plot '" + dir + "' using 1:4\n", map);
    ASSERT_EQ(map.asked.size(), 1u);
    EXPECT_EQ(map.asked[0], dir);
    // The degree sign stays the one byte 0xB0.
    EXPECT_EQ(host.text.substr(0, ylabel.size()), ylabel);
    EXPECT_EQ(ylabel.find('\xB0'), 15u);
}

TEST(ScriptCopy, QuotesInCommentsAndDoubleQuotedTextAreNotStrings) {
    FakeMap map;
    const std::string script =
        "# don't touch 'C:\\in\\comment.txt'\n"
        "plot 'C:\\a.txt' title \"it's 'C:\\not\\this'\",'C:\\b.txt' title \"say \\\"hi\\\" 'x'\"\n";
    const HostScript host = rewrite(script, map);
    EXPECT_EQ(host.text,
              "# don't touch 'C:\\in\\comment.txt'\n"
              "plot '/host/c/a.txt' title \"it's 'C:\\not\\this'\",'/host/c/b.txt' title \"say \\\"hi\\\" 'x'\"\n");
    EXPECT_EQ(host.mapped, 2);
}

TEST(ScriptCopy, OnlyAbsoluteWindowsPathsAreMapped) {
    EXPECT_TRUE(is_windows_path("C:\\x"));
    EXPECT_TRUE(is_windows_path("z:/usr/x"));
    EXPECT_TRUE(is_windows_path("\\\\server\\share\\x.txt"));
    EXPECT_FALSE(is_windows_path("C:x.txt"));
    EXPECT_FALSE(is_windows_path("%H:%M:%S"));
    EXPECT_FALSE(is_windows_path("t (CTAPT 2024-05-17-09-41-07)"));
    EXPECT_FALSE(is_windows_path("data\\x.txt"));
    EXPECT_FALSE(is_windows_path("/tmp/x.txt"));
    EXPECT_FALSE(is_windows_path("\\\\\\x"));
    EXPECT_FALSE(is_windows_path(""));
    EXPECT_FALSE(is_windows_path("C:"));
}

TEST(ScriptCopy, AnUnmappablePathIsLeftForGnuplotToReport) {
    const std::string script = "plot 'C:\\gone\\x.txt' using 1:2\n";
    const HostScript host = host_script(script, [](std::string_view) { return std::nullopt; });
    EXPECT_EQ(host.text, script);
    EXPECT_EQ(host.mapped, 0);
    EXPECT_EQ(host.unmapped, 1);
}

TEST(ScriptCopy, AnUnterminatedQuoteIsCopiedAsItStands) {
    FakeMap map;
    const std::string script = "plot 'C:\\a.txt\n";
    EXPECT_EQ(rewrite(script, map).text, script);
    EXPECT_TRUE(map.asked.empty());
}

TEST(ScriptCopy, OnlyAWholeRereadLineMakesALiveGraph) {
    EXPECT_TRUE(rereads_itself("pause 1\nreread\n"));
    EXPECT_TRUE(rereads_itself("pause 1\r\n  reread \r\n"));
    EXPECT_TRUE(rereads_itself("reread"));
    EXPECT_FALSE(rereads_itself("set title 'reread'\n"));
    EXPECT_FALSE(rereads_itself("# reread\n"));
    EXPECT_FALSE(rereads_itself("set terminal png\nplot x\n"));
}

TEST(ScriptCopy, ARereadUnderAVersionTestMakesALiveGraph) {
    EXPECT_TRUE(rereads_itself("pause 5\r\nif (GPVAL_VERSION < 6.0) reread\r\nwhile (1) { replot; pause 5 }\r\n"));
    EXPECT_TRUE(rereads_itself("if(f(1) < 6)reread"));
    EXPECT_FALSE(rereads_itself("if (GPVAL_VERSION < 6.0) print 'reread'\n"));
    EXPECT_FALSE(rereads_itself("if (1 reread\n"));
    EXPECT_FALSE(rereads_itself("while (1) { replot; pause 5 }\n"));
}
