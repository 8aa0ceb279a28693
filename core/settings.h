#pragma once
// The run's settings: zk47.cfg and zkdrv.cfg, the settings dialog's defaults, clamps and cuts,
// the run code, the start stamp and the run's directories and file names. The dialog itself
// only supplies texts, an index and check states.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

constexpr std::size_t PATH_CAPACITY = 259;   // characters a path buffer holds
constexpr std::size_t TOKEN_CAPACITY = 127;  // characters a token of either file holds
// Characters the settings' text fields hold: the address, the port (also the data server's
// port field), the two periods.
constexpr std::size_t IP_CAPACITY = 127;
constexpr std::size_t PORT_CAPACITY = 5;
constexpr std::size_t PERIOD_CAPACITY = 3;
constexpr std::int32_t SERVER_LOCATION = 16; // the "Сервер" entry: poll a data server

struct Settings {
    std::int32_t location = 0;  // 0..15 COM1..COM16, 16 the data server
    std::string com0 = "COM1";
    std::string ip0 = "127.0.0.1";
    std::string port0 = "5000";
    std::string period = "5";
    std::string gperiod = "5";
    std::int32_t port = 5000;
    std::int32_t per_msec = 0;
    std::int32_t per_sec = 0;
    std::int16_t ShowLines = 1;
    std::int16_t ShowPoints = 1;
    std::int16_t DeleteScripts = 0;
    std::int16_t OnlySeconds = 0;
};

// A whole small file, or nothing when it cannot be opened.
std::optional<std::string> read_small_file(const std::string& path);

// The port that zkdrv.cfg supplies (its second token), or 5000.
std::int32_t zkdrv_port(std::optional<std::string_view> file_text);

// Opening the dialog: the defaults, then what zk47.cfg supplies, clamped and cut.
Settings settings_from_zk47_cfg(std::optional<std::string_view> file_text);

// What the dialog shows and holds at confirmation.
struct DialogState {
    int selected = 0;             // index of the selected combobox entry
    std::string selected_text;    // its text
    std::string ip, port, period, gperiod;
    bool lines = true, points = true, delete_scripts = false, only_seconds = false;
};

// The dialog's initial state for given settings: entries COM1..COM16 and "Сервер".
DialogState dialog_state(const Settings& s);
std::string combo_entry(int index);  // UTF-8

// Confirmation: the texts cut to their buffers, the periods and the port parsed with %d
// rules (a text that is no number leaves its target as it was), the check states.
void confirm_settings(const DialogState& d, std::int32_t zkdrv_port_value, Settings& s);

// The one line of zk47.cfg, without a line end. An empty text is saved as its default.
std::string zk47_cfg_text(const Settings& s);

// The run code: 0..32760, from the C library's generator seeded once with seed.
std::int32_t draw_secret(unsigned seed);

struct RunSetup {
    std::string szWDir;           // working directory
    std::string szTmp;            // data directory, with its trailing backslash
    std::string szDDir;           // day directory, with its trailing backslash
    std::string szDDir1;          // day directory without it
    std::string started_time;     // YYYY-MM-DD-HH-MM-SS
    std::string stamp;            // started_time + ".txt"
    std::string szGnuplotStart;   // the viewer program: working directory + "\wgnuplot.exe"
    std::string szFile;           // the default text log
    std::time_t tm0 = 0;
};

// Names the run's directories and default log from the working directory and the moment of
// confirmation (local time). Nothing when the default log path would exceed a path buffer.
std::optional<RunSetup> make_run_setup(std::string_view wdir, std::time_t now);

// Creates the data directory, then the day directory, where missing. The results are not
// examined: a folder that cannot be made shows later, when its files cannot be written.
void create_run_dirs(const RunSetup& r);
