#include <gtest/gtest.h>

#include "device_line.h"
#include "reading.h"

namespace {

// The worked example: a 93-character meter line, field by field.
std::string example_meter_line() {
    return std::string("00004521") + " " + "  23.45" + "  23.51" + "       " + " ******" +
           "  -1.50" + " 101.20" + "  22.00" + "       " + "  19.75" + "  20.10" + "  20.05" +
           "  20.00";
}

const char* kExampleDataLine =
    "125 2024-05-17-09-41-07 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS 19.75 "
    "20.10 20.05 20.00";

}  // namespace

TEST(MeterLine, WorkedExampleGivesTheDataLineByteForByte) {
    const std::string line = example_meter_line();
    ASSERT_EQ(line.size(), 93u);
    MeterState meter;
    FaultList faults;
    Reading r;
    const std::string data = parse_device_line(line, 125, "2024-05-17-09-41-07", r, meter, faults);
    EXPECT_EQ(data, kExampleDataLine);
    EXPECT_EQ(r.tm_time, "00004521");
    EXPECT_EQ(faults.err_message, "T4 ");
}
