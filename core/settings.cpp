#include "settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "numbers.h"
#include "reading.h"
#include "text.h"

namespace {

// Formatted input over a text: "%s" and "%d" with scanf's white-space rules.
class Scanner {
public:
    explicit Scanner(std::string_view s) : s_(s) {}
    std::optional<std::string> token() {
        skip_space();
        if (i_ >= s_.size()) return std::nullopt;
        const std::size_t start = i_;
        while (i_ < s_.size() && !is_space(s_[i_])) ++i_;
        // Read whole, then cut: reading at most 127 characters would shift later fields.
        return cut(s_.substr(start, i_ - start), TOKEN_CAPACITY);
    }
    std::optional<std::int32_t> integer() {
        skip_space();
        std::int32_t v = 0;
        if (!scan_int(s_.substr(i_), v)) return std::nullopt;
        if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return v;
    }

private:
    void skip_space() {
        while (i_ < s_.size() && is_space(s_[i_])) ++i_;
    }
    std::string_view s_;
    std::size_t i_ = 0;
};

// The first white-space-delimited token of a text, or def when it holds none: the file
// separates fields by white space, so an empty or blank-holding text would shift them.
std::string saved_token(const std::string& text, const char* def) {
    Scanner sc(text);
    auto t = sc.token();
    return t ? *t : std::string(def);
}

}  // namespace

std::optional<std::string> read_small_file(const std::string& path) {
    UniqueFile f(std::fopen(path.c_str(), "rt"));
    if (!f) return std::nullopt;
    std::string text;
    char buf[4096];
    std::size_t n;
    // Settings files are a line long; a runaway file is read only this far.
    while (text.size() < (1u << 20) && (n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        text.append(buf, n);
    return text;
}

std::int32_t zkdrv_port(std::optional<std::string_view> file_text) {
    std::int32_t port = 5000;
    if (!file_text) return port;
    Scanner sc(c_text(*file_text));
    sc.token();
    if (auto p = sc.token()) scan_int(*p, port);
    return port;
}

Settings settings_from_zk47_cfg(std::optional<std::string_view> file_text) {
    Settings s;
    if (!file_text) return s;
    Scanner sc(c_text(*file_text));
    const auto location = sc.integer();
    if (!location) return s;
    s.location = *location;
    std::string* fields[] = {&s.ip0, &s.port0, &s.period, &s.gperiod};
    for (std::string* field : fields) {
        auto t = sc.token();
        if (!t) break;
        *field = *t;
    }
    if (s.location < 0 || s.location > SERVER_LOCATION) s.location = 0;
    s.ip0 = cut(s.ip0, IP_CAPACITY);
    s.port0 = cut(s.port0, PORT_CAPACITY);
    s.period = cut(s.period, PERIOD_CAPACITY);
    s.gperiod = cut(s.gperiod, PERIOD_CAPACITY);
    return s;
}

std::string combo_entry(int index) {
    if (index == SERVER_LOCATION) return "Сервер";
    return "COM" + std::to_string(index + 1);
}

DialogState dialog_state(const Settings& s) {
    DialogState d;
    d.selected = s.location;
    d.selected_text = combo_entry(s.location);
    d.ip = s.ip0;
    d.port = s.port0;
    d.period = s.period;
    d.gperiod = s.gperiod;
    return d;
}

void confirm_settings(const DialogState& d, std::int32_t zkdrv_port_value, Settings& s) {
    s.location = d.selected;
    s.com0 = cut(d.selected_text, PORT_CAPACITY);
    s.ip0 = cut(d.ip, IP_CAPACITY);
    s.port0 = cut(d.port, PORT_CAPACITY);
    s.period = cut(d.period, PERIOD_CAPACITY);
    s.gperiod = cut(d.gperiod, PERIOD_CAPACITY);
    s.per_sec = 0;
    s.per_msec = 0;
    s.port = zkdrv_port_value;
    scan_int(s.gperiod, s.per_sec);
    scan_int(s.period, s.per_msec);
    scan_int(s.port0, s.port);
    s.per_msec *= 1000;
    s.ShowLines = d.lines;
    s.ShowPoints = d.points;
    s.DeleteScripts = d.delete_scripts;
    s.OnlySeconds = d.only_seconds;
}

std::string zk47_cfg_text(const Settings& s) {
    return std::to_string(s.location) + ' ' + saved_token(s.ip0, "127.0.0.1") + ' ' +
           saved_token(s.port0, "5000") + ' ' + saved_token(s.period, "5") + ' ' +
           saved_token(s.gperiod, "5");
}

std::int32_t draw_secret(unsigned seed) {
    std::srand(seed);
    // The code is drawn from the generator's 15-bit range, as the Windows runtime gives it.
    const int r = std::rand() & 0x7FFF;
    return std::int32_t(std::floor(r * 32760.0 / 32767.0));
}

std::optional<RunSetup> make_run_setup(std::string_view wdir, std::time_t now) {
    RunSetup r;
    r.szWDir = std::string(wdir);
    r.szTmp = r.szWDir + "\\data\\";
    r.tm0 = now;
    std::tm t{};
    if (!local_time(now, t)) return std::nullopt;
    r.started_time = format_stamp(t);
    r.stamp = r.started_time + ".txt";
    r.szDDir1 = r.szTmp + r.started_time.substr(0, 10);
    r.szDDir = r.szDDir1 + "\\";
    r.szGnuplotStart = r.szWDir + "\\wgnuplot.exe";
    r.szFile = r.szDDir + r.stamp;
    if (r.szFile.size() > PATH_CAPACITY) return std::nullopt;
    return r;
}

#ifdef _WIN32
#include <direct.h>
static void make_dir(const std::string& path) { _mkdir(path.c_str()); }
#else
#include <sys/stat.h>
static void make_dir(const std::string& path) { mkdir(path.c_str(), 0777); }
#endif

void create_run_dirs(const RunSetup& r) {
    make_dir(r.szTmp.substr(0, r.szTmp.size() - 1));
    make_dir(r.szDDir1);
}
