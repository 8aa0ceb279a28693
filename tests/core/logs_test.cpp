#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

#include "core_test_support.h"
#include "logs.h"

using zktest::example_reading;
using zktest::native_newlines;

namespace {

// The log headers in Windows-1251, byte for byte.
const std::string kTextHeaderStart = "#\xCD\xE0\xF7\xE0\xEB\xEE \xE8\xE7\xEC\xE5\xF0\xE5\xED\xE8\xE9: ";
const std::string kTextTitle =
    "#\xC2\xF0\xE5\xEC\xFF,\xF1 \xC4\xE0\xF2\xE0/\xE2\xF0\xE5\xEC\xFF \xF1\xE8\xF1\xF2\xE5\xEC\xFB  "
    "\xC2\xF0.ZK-47    T1,\xB0" "C    T2,\xB0" "C    T3,\xB0" "C    T4,\xB0" "C    T5,\xB0" "C    T6,\xB0"
    "C    T7,\xB0" "C    T8,\xB0" "C    T9,\xB0" "C   T10,\xB0" "C   T11,\xB0" "C   T12,\xB0" "C\n";
const std::string kTextRule =
    "#-------+-------------------+--------+--------+--------+--------+--------+--------+--------"
    "+--------+--------+--------+--------+--------+--------\n";
const std::string kCsvHeaderStart = "\xCD\xE0\xF7\xE0\xEB\xEE \xE8\xE7\xEC\xE5\xF0\xE5\xED\xE8\xE9:;;";
const std::string kCsvTitle =
    "\xC2\xF0\xE5\xEC\xFF,\xF1;\xC4\xE0\xF2\xE0/\xE2\xF0\xE5\xEC\xFF \xF1\xE8\xF1\xF2\xE5\xEC\xFB;"
    "\xC2\xF0\xE5\xEC\xFF ZK-47,\xF1;T1,\xB0" "C;T2,\xB0" "C;T3,\xB0" "C;T4,\xB0" "C;T5,\xB0" "C;T6,\xB0"
    "C;T7,\xB0" "C;T8,\xB0" "C;T9,\xB0" "C;T10,\xB0" "C;T11,\xB0" "C;T12,\xB0" "C\n";

const std::string kStart = "2024-05-17-09-30-00";

std::string text_header() { return kTextHeaderStart + kStart + "\n" + kTextTitle + kTextRule; }
std::string csv_header() { return kCsvHeaderStart + kStart + "\n" + kCsvTitle; }

const std::string kExampleTextRow =
    "     125 2024-05-17-09-41-07 00004521    23.45    23.51  -999.00  -888.00    -1.50   101.20"
    "    22.00  -999.00    19.75    20.10    20.05    20.00\n";
const std::string kExampleCsvRow =
    "125;2024-05-17-09-41-07;00004521;23.45;23.51;N/SENS;ERROR;-1.50;101.20;22.00;N/SENS;19.75;"
    "20.10;20.05;20.00\n";

Reading reading_with_t1(double v) {
    Reading r = example_reading();
    r.values[0] = v;
    return r;
}

// The text log's field of T1 (with its separating blank) and the CSV log's.
std::string text_t1(double v) { return text_log_row(reading_with_t1(v)).substr(37, 9); }
std::string csv_t1(double v) {
    const std::string row = csv_log_row(reading_with_t1(v));
    const std::size_t at = std::string("125;2024-05-17-09-41-07;00004521;").size();
    return row.substr(at, row.find_first_of(";\n", at) - at);
}

}  // namespace

// ---- Headers ----

TEST(LogHeaders, TextHeaderIsByteExactInWindows1251) {
    EXPECT_EQ(text_log_header(kStart), text_header());
}

TEST(LogHeaders, CsvHeaderIsByteExactWithTheStampInTheThirdField) {
    EXPECT_EQ(csv_log_header(kStart), csv_header());
}

TEST(LogHeaders, TitleAndRuleLinesAreAsWideAsARow) {
    EXPECT_EQ(kTextTitle.size(), 146u);  // with its line end
    EXPECT_EQ(kTextRule.size(), 146u);
    EXPECT_EQ(kExampleTextRow.size(), 146u);
    // The rule has a '+' wherever a row has its separating blank.
    for (std::size_t i = 0; i < 145; ++i)
        EXPECT_EQ(kTextRule[i] == '+', i > 0 && kExampleTextRow[i] == ' ' && kExampleTextRow[i - 1] != ' ')
            << "column " << i;
}

// ---- Rows ----

TEST(LogRows, WorkedExampleGivesA145CharacterTextRow) {
    const std::string row = text_log_row(example_reading());
    EXPECT_EQ(row, kExampleTextRow);
    EXPECT_EQ(row.size(), 146u);
}

TEST(LogRows, WorkedExampleGivesItsCsvRow) {
    EXPECT_EQ(csv_log_row(example_reading()), kExampleCsvRow);
}

TEST(LogRows, MeasurementIsRoundedToTwoDecimalsRightAlignedInEight) {
    EXPECT_EQ(text_t1(23.456), "    23.46");
    EXPECT_EQ(csv_t1(23.456), "23.46");
    EXPECT_EQ(text_t1(-887.99), "  -887.99");
    EXPECT_EQ(csv_t1(2.675), "2.67");
}

TEST(LogRows, FaultsAreWrittenAsTheirSentinelsWhateverTheExactValue) {
    EXPECT_EQ(text_t1(NSENS_VALUE), "  -999.00");
    EXPECT_EQ(csv_t1(NSENS_VALUE), "N/SENS");
    EXPECT_EQ(text_t1(-950.0), "  -999.00");
    EXPECT_EQ(csv_t1(-950.0), "N/SENS");
    EXPECT_EQ(text_t1(-1e300), "  -999.00");
    EXPECT_EQ(text_t1(ERROR_VALUE), "  -888.00");
    EXPECT_EQ(csv_t1(ERROR_VALUE), "ERROR");
    EXPECT_EQ(text_t1(-900.0), "  -888.00");
    EXPECT_EQ(text_t1(std::numeric_limits<double>::quiet_NaN()), "  -888.00");
    EXPECT_EQ(csv_t1(std::numeric_limits<double>::quiet_NaN()), "ERROR");
}

TEST(LogRows, SecondsAreRightAlignedInTheTextLogAndBareInTheCsvLog) {
    EXPECT_EQ(text_log_row(example_reading()).substr(0, 9), "     125 ");
    EXPECT_EQ(csv_log_row(example_reading()).substr(0, 4), "125;");
    Reading r = example_reading();
    r.sec = -2147483647 - 1;
    EXPECT_EQ(text_log_row(r).substr(0, 12), "-2147483648 ");
}

TEST(LogRows, ShortStampIsRightAlignedAndALongOnePrintedWhole) {
    Reading r = example_reading();
    r.sys_stamp = "09-41-07";
    EXPECT_EQ(text_log_row(r).substr(0, 37), "     125 " + std::string(11, ' ') + "09-41-07 00004521");
    EXPECT_EQ(csv_log_row(r).substr(0, 22), "125;09-41-07;00004521;");
    r.sys_stamp = "2024-05-17-09-41-07-and-more";
    EXPECT_EQ(text_log_row(r).substr(0, 46), "     125 2024-05-17-09-41-07-and-more 00004521");
}

TEST(LogRows, WideValueIsPrintedWholeAndPushesTheRowRight) {
    const std::string row = text_log_row(reading_with_t1(123456789.0));
    EXPECT_EQ(row.substr(37, 14), " 123456789.00 ");
    EXPECT_EQ(row.size(), 146u + 4u);
}

TEST(LogRows, CsvRowHasFifteenFieldsAndNoTrailingSeparator) {
    const std::string row = csv_log_row(example_reading());
    EXPECT_EQ(std::count(row.begin(), row.end(), ';'), 14);
    EXPECT_NE(row[row.size() - 2], ';');
}

TEST(LogRows, ReceivedTokensCannotBreakOrRunInTheCsv) {
    Reading r = example_reading();
    r.sys_stamp = "2024;05\"17\t09\r41";
    r.tm_time = "=1+2;x";
    const std::string row = csv_log_row(r);
    EXPECT_EQ(row.substr(0, 28), "125;2024_05_17_09_41;_1+2_x;");
    EXPECT_EQ(std::count(row.begin(), row.end(), ';'), 14);
    // The text log takes the tokens as they came.
    EXPECT_NE(text_log_row(r).find("2024;05\"17\t09\r41 =1+2;x "), std::string::npos);
}

TEST(LogRows, OnlyALeadingFormulaCharacterIsReplaced) {
    for (const char* lead : {"=", "+", "-", "@"}) {
        SCOPED_TRACE(lead);
        EXPECT_EQ(csv_cell(std::string(lead) + "A1-B@=+"), "_A1-B@=+");
    }
    EXPECT_EQ(csv_cell(""), "");
    EXPECT_EQ(csv_cell("00004521"), "00004521");
    EXPECT_EQ(csv_cell(" -12:34"), " -12:34");
    // Rows without such characters stay byte for byte as they were.
    EXPECT_EQ(csv_log_row(example_reading()), kExampleCsvRow);
}

// ---- Names ----

TEST(LogNames, CsvNameReplacesTheLastThreeCharacters) {
    EXPECT_EQ(derived_name("run1.dat.txt", "csv"), "run1.dat.csv");
    EXPECT_EQ(derived_name("C:\\zk\\data\\2024-05-17\\2024-05-17-09-30-00.txt", "plt"),
              "C:\\zk\\data\\2024-05-17\\2024-05-17-09-30-00.plt");
    EXPECT_EQ(derived_name("ab", "csv"), "csv");
}

TEST(LogNames, ChosenNameGetsTxtAndIsRefusedWhenItWouldNotFit) {
    EXPECT_EQ(chosen_log_name("C:\\d\\run1.dat"), "C:\\d\\run1.dat.txt");
    EXPECT_EQ(chosen_log_name("C:\\d\\data.txt"), "C:\\d\\data.txt");
    EXPECT_EQ(chosen_log_name("C:\\d\\DATA.TXT"), "C:\\d\\DATA.TXT.txt");
    const std::string base = "C:\\" + std::string(251, 'a');  // 254 characters
    EXPECT_EQ(chosen_log_name(base + "b").value().size(), 259u);
    // 256 to 259 characters without ".txt" would have to be cut: refused, not cut.
    for (const std::string& name : {base + "bc", base + "bcd", base + "b.tx", base + "bcdef"})
        EXPECT_FALSE(chosen_log_name(name).has_value()) << name.size();
    EXPECT_EQ(chosen_log_name(base + "b.txt").value(), base + "b.txt");  // 259, ends in .txt
}

// ---- Files ----

TEST(LogFiles, HeadersThenRowsLandInBothFilesWithTheLineEndsOfTextMode) {
    zktest::ScratchDir dir;
    LogNames names;
    WaitingRows waiting(append_text_file);
    names.szFile = dir.file("2024-05-17-09-30-00.txt");
    EXPECT_TRUE(write_log_headers(waiting, names, kStart).empty());
    EXPECT_EQ(names.szCsv, dir.file("2024-05-17-09-30-00.csv"));
    EXPECT_TRUE(append_logs(waiting, names, example_reading()).empty());
    EXPECT_TRUE(append_logs(waiting, names, example_reading()).empty());
    EXPECT_EQ(zktest::file_bytes(names.szFile),
              native_newlines(text_header() + kExampleTextRow + kExampleTextRow));
    EXPECT_EQ(zktest::file_bytes(names.szCsv),
              native_newlines(csv_header() + kExampleCsvRow + kExampleCsvRow));
}

TEST(LogFiles, ChoosingAnExistingFileAppendsAHeaderBlockAfterItsContents) {
    zktest::ScratchDir dir;
    LogNames names;
    WaitingRows waiting(append_text_file);
    names.szFile = dir.file("run1.dat.txt");
    write_log_headers(waiting, names, kStart);
    append_logs(waiting, names, example_reading());
    write_log_headers(waiting, names, kStart);  // the same file chosen again during the run
    append_logs(waiting, names, example_reading());
    EXPECT_EQ(names.szCsv, dir.file("run1.dat.csv"));
    EXPECT_EQ(zktest::file_bytes(names.szFile),
              native_newlines(text_header() + kExampleTextRow + text_header() + kExampleTextRow));
    EXPECT_EQ(zktest::file_bytes(names.szCsv),
              native_newlines(csv_header() + kExampleCsvRow + csv_header() + kExampleCsvRow));
}

TEST(LogFiles, LogThatCannotBeOpenedIsReportedAndTheOtherStillWritten) {
    zktest::ScratchDir dir;
    LogNames names;
    names.szFile = dir.file("missing-folder/run.txt");
    names.szCsv = dir.file("run.csv");
    WaitingRows waiting(append_text_file);
    const auto failed = append_logs(waiting, names, example_reading());
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0], names.szFile);
    EXPECT_EQ(zktest::file_bytes(names.szCsv), native_newlines(kExampleCsvRow));
}
