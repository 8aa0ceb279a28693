// Arbitrary replies of a data server: one receive of at most 1023 bytes into a zeroed buffer,
// read as a data line and taken on through the grid and the logs.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "grid_buffer.h"
#include "logs.h"
#include "messages.h"
#include "reading.h"
#include "require.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t n = size < MAX_REPLY ? size : MAX_REPLY;
    const std::string reply(reinterpret_cast<const char*>(data), n);

    Reading r;
    r.sys_stamp = "kept-stamp";  // what an earlier reply left
    r.sys_time = "pt-stamp";
    FaultList faults;
    faults.err_message = "T1 ";
    parse_data_line(reply, r, faults);

    require(r.tm_time.size() <= 8, "the device time is cut to 8 characters");
    require(r.sys_stamp.size() <= n || r.sys_stamp == "kept-stamp", "the stamp comes from the reply");
    require(r.sys_time.size() <= 8, "the time of day holds at most 8 characters");
    require(r.sys_stamp.size() < 8 ? r.sys_time == r.sys_stamp
                                   : r.sys_time == r.sys_stamp.substr(r.sys_stamp.size() - 8),
            "the time of day ends the stamp");
    require(faults.err_message.size() <= 39, "twelve fault items take at most 39 characters");
    for (int k = 0; k < NCHAN; ++k) {
        require(std::isfinite(r.values[k]), "no non-number is taken from a reply");
        const std::string item = "T" + std::to_string(k + 1) + " ";
        if (faults.err_message.find(item) != std::string::npos)
            require(r.values[k] == ERROR_VALUE, "a listed channel is in error");
    }
    if (r.sec == 0) {
        std::int32_t old_sec_stamp = 0;
        require(!accept_polled(r.sec, old_sec_stamp), "a reading of 0 seconds is never taken");
    }

    GridBuffer grid;
    update(grid);
    put_newest_row(grid, grid_row(r, true));
    for (const auto& column : grid.var_data)
        require(column[GRID_ROWS - 1][CELL_CAPACITY] == '\0', "cells stay closed");
    Reading numbers_only = r;
    numbers_only.sys_stamp.clear();
    numbers_only.tm_time.clear();
    const std::string rows = text_log_row(numbers_only) + csv_log_row(numbers_only);
    require(rows.find("inf") == std::string::npos && rows.find("nan") == std::string::npos,
            "no non-number reaches the logs");
    return 0;
}
