#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "core_test_support.h"
#include "logs.h"
#include "settings.h"

namespace {

Settings confirmed(const DialogState& d, std::int32_t zkdrv = 5000) {
    Settings s;
    confirm_settings(d, zkdrv, s);
    return s;
}

DialogState default_dialog() { return dialog_state(settings_from_zk47_cfg(std::nullopt)); }

}  // namespace

// ---- zk47.cfg ----

TEST(SettingsFile, NoFileShowsTheDefaultsAndConfirmingSavesThem) {
    const DialogState d = default_dialog();
    EXPECT_EQ(d.selected, 0);
    EXPECT_EQ(d.selected_text, "COM1");
    EXPECT_EQ(d.ip, "127.0.0.1");
    EXPECT_EQ(d.port, "5000");
    EXPECT_EQ(d.period, "5");
    EXPECT_EQ(d.gperiod, "5");
    EXPECT_TRUE(d.lines);
    EXPECT_TRUE(d.points);
    EXPECT_FALSE(d.delete_scripts);
    EXPECT_FALSE(d.only_seconds);
    const Settings s = confirmed(d);
    EXPECT_EQ(zk47_cfg_text(s), "0 127.0.0.1 5000 5 5");
    EXPECT_EQ(s.port, 5000);
    EXPECT_EQ(s.per_msec, 5000);
    EXPECT_EQ(s.per_sec, 5);
    EXPECT_EQ(s.com0, "COM1");
}

TEST(SettingsFile, ServerSourceAndItsValuesAreTakenFromTheFile) {
    const Settings read = settings_from_zk47_cfg("16 10.0.0.5 7000 2 10");
    const DialogState d = dialog_state(read);
    EXPECT_EQ(d.selected, SERVER_LOCATION);
    EXPECT_EQ(d.selected_text, "Сервер");
    const Settings s = confirmed(d);
    EXPECT_EQ(s.location, 16);
    EXPECT_EQ(s.ip0, "10.0.0.5");
    EXPECT_EQ(s.port, 7000);
    EXPECT_EQ(s.per_msec, 2000);
    EXPECT_EQ(s.per_sec, 10);
}

TEST(SettingsFile, LocationOutsideTheListSelectsCom1) {
    EXPECT_EQ(settings_from_zk47_cfg("17 1.2.3.4 1 1 1").location, 0);
    EXPECT_EQ(settings_from_zk47_cfg("-1 1.2.3.4 1 1 1").location, 0);
    EXPECT_EQ(settings_from_zk47_cfg("99999999999 1.2.3.4 1 1 1").location, 0);
    EXPECT_EQ(settings_from_zk47_cfg("-1 1.2.3.4 1 1 1").ip0, "1.2.3.4");
}

TEST(SettingsFile, FieldsTheFileDoesNotSupplyKeepTheirDefaults) {
    const Settings s = settings_from_zk47_cfg("3");
    EXPECT_EQ(s.location, 3);
    EXPECT_EQ(dialog_state(s).selected_text, "COM4");
    EXPECT_EQ(s.ip0, "127.0.0.1");
    EXPECT_EQ(s.port0, "5000");
    EXPECT_EQ(s.period, "5");
    EXPECT_EQ(s.gperiod, "5");
    EXPECT_EQ(settings_from_zk47_cfg("2 10.1.1.1 6000").period, "5");
}

TEST(SettingsFile, FirstFieldThatIsNoNumberGivesAllDefaults) {
    const Settings s = settings_from_zk47_cfg("x 10.0.0.5 7000 2 10");
    EXPECT_EQ(s.location, 0);
    EXPECT_EQ(s.ip0, "127.0.0.1");
    EXPECT_EQ(s.port0, "5000");
    EXPECT_EQ(settings_from_zk47_cfg("").ip0, "127.0.0.1");
}

TEST(SettingsFile, AnyWhiteSpaceSeparatesFields) {
    const Settings s = settings_from_zk47_cfg("16\n10.0.0.5\t7000  2\r\n10\n");
    EXPECT_EQ(s.location, 16);
    EXPECT_EQ(s.ip0, "10.0.0.5");
    EXPECT_EQ(s.port0, "7000");
    EXPECT_EQ(s.period, "2");
    EXPECT_EQ(s.gperiod, "10");
}

TEST(SettingsFile, OverLongValuesAreCutToTheirBuffers) {
    const Settings s = settings_from_zk47_cfg("0 " + std::string(127, 'a') + " 123456 1234 98765");
    EXPECT_EQ(s.ip0, std::string(127, 'a'));
    EXPECT_EQ(s.port0, "12345");
    EXPECT_EQ(s.period, "123");
    EXPECT_EQ(s.gperiod, "987");
}

TEST(SettingsFile, TokenOver127CharactersIsReadWholeSoLaterFieldsStayInPlace) {
    const Settings s = settings_from_zk47_cfg("16 " + std::string(300, 'a') + " 7000 2 10");
    EXPECT_EQ(s.ip0, std::string(127, 'a'));
    EXPECT_EQ(s.port0, "7000");
    EXPECT_EQ(s.period, "2");
    EXPECT_EQ(s.gperiod, "10");
}

TEST(SettingsFile, EmptyTextsAreSavedAndShownNextTimeAsTheirDefaults) {
    DialogState d = default_dialog();
    d.selected = 5;
    d.selected_text = "COM6";
    d.ip = "";
    d.port = "";
    d.period = "";
    d.gperiod = "";
    const std::string saved = zk47_cfg_text(confirmed(d));
    EXPECT_EQ(saved, "5 127.0.0.1 5000 5 5");
    const DialogState next = dialog_state(settings_from_zk47_cfg(saved));
    EXPECT_EQ(next.selected, 5);
    EXPECT_EQ(next.ip, "127.0.0.1");
    EXPECT_EQ(next.port, "5000");
    EXPECT_EQ(next.period, "5");
    EXPECT_EQ(next.gperiod, "5");
}

TEST(SettingsFile, BlankInsideATextSavesItsFirstTokenSoFieldsDoNotShift) {
    DialogState d = default_dialog();
    d.ip = " 10.0.0.9 junk";
    d.port = " 7";
    d.period = "2 3";
    d.gperiod = "   ";
    const std::string saved = zk47_cfg_text(confirmed(d));
    EXPECT_EQ(saved, "0 10.0.0.9 7 2 5");
    const Settings next = settings_from_zk47_cfg(saved);
    EXPECT_EQ(next.ip0, "10.0.0.9");
    EXPECT_EQ(next.port0, "7");
    EXPECT_EQ(next.gperiod, "5");
}

TEST(SettingsFile, ConfirmedSettingsComeBackNextRun) {
    DialogState d = default_dialog();
    d.selected = 16;
    d.selected_text = "Сервер";
    d.ip = "192.168.10.20";
    d.port = "6001";
    d.period = "30";
    d.gperiod = "7";
    const Settings next = settings_from_zk47_cfg(zk47_cfg_text(confirmed(d)));
    EXPECT_EQ(next.location, 16);
    EXPECT_EQ(next.ip0, "192.168.10.20");
    EXPECT_EQ(next.port0, "6001");
    EXPECT_EQ(next.period, "30");
    EXPECT_EQ(next.gperiod, "7");
}

TEST(SettingsFile, RoundTripsThroughDisk) {
    zktest::ScratchDir dir;
    const std::string path = dir.file("zk47.cfg");
    EXPECT_FALSE(read_small_file(path).has_value());
    ASSERT_TRUE(write_text_file(path, "16 10.0.0.5 7000 2 10"));
    EXPECT_EQ(zktest::file_bytes(path), "16 10.0.0.5 7000 2 10");  // no line end
    const auto text = read_small_file(path);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(settings_from_zk47_cfg(*text).port0, "7000");
}

// ---- zkdrv.cfg ----

TEST(SourceFile, OnlyItsPortTakesEffect) {
    EXPECT_EQ(zkdrv_port(std::nullopt), 5000);
    EXPECT_EQ(zkdrv_port(""), 5000);
    EXPECT_EQ(zkdrv_port("10.0.0.1"), 5000);
    EXPECT_EQ(zkdrv_port("10.0.0.1 6000 COM2"), 6000);
    EXPECT_EQ(zkdrv_port("10.0.0.1\n6000x\nCOM2"), 6000);
    EXPECT_EQ(zkdrv_port("10.0.0.1 abc COM2"), 5000);
}

TEST(SourceFile, TokenOver127CharactersIsReadWholeSoThePortStaysSecond) {
    EXPECT_EQ(zkdrv_port(std::string(300, '1') + " 6000 COM2"), 6000);
}

// ---- Confirmation ----

TEST(Confirmation, SelectedPortNameBecomesCom0) {
    DialogState d = default_dialog();
    d.selected = 11;
    d.selected_text = combo_entry(11);
    EXPECT_EQ(confirmed(d).com0, "COM12");
    EXPECT_EQ(combo_entry(15), "COM16");
    EXPECT_EQ(combo_entry(0), "COM1");
}

TEST(Confirmation, PeriodIsCutToThreeCharactersBeforeItIsRead) {
    DialogState d = default_dialog();
    d.period = "1234";
    const Settings s = confirmed(d);
    EXPECT_EQ(s.period, "123");
    EXPECT_EQ(s.per_msec, 123000);
}

TEST(Confirmation, TextsThatAreNoNumbersLeaveTheirTargets) {
    DialogState d = default_dialog();
    d.period = "abc";
    d.gperiod = "x";
    d.port = "";
    const Settings s = confirmed(d, 6000);
    EXPECT_EQ(s.per_msec, 0);
    EXPECT_EQ(s.per_sec, 0);
    EXPECT_EQ(s.port, 6000);  // the source file's port
    d.port = "port";
    EXPECT_EQ(confirmed(d).port, 5000);
}

TEST(Confirmation, TextsAreCutToTheirBuffers) {
    DialogState d = default_dialog();
    d.ip = std::string(200, '9');
    d.port = "1234567";
    d.gperiod = "-12345";
    const Settings s = confirmed(d);
    EXPECT_EQ(s.ip0.size(), 127u);
    EXPECT_EQ(s.port0, "12345");
    EXPECT_EQ(s.port, 12345);
    EXPECT_EQ(s.gperiod, "-12");
    EXPECT_EQ(s.per_sec, -12);
}

TEST(Confirmation, CheckStatesBecomeTheFlags) {
    DialogState d = default_dialog();
    d.lines = false;
    d.points = true;
    d.delete_scripts = true;
    d.only_seconds = true;
    const Settings s = confirmed(d);
    EXPECT_EQ(s.ShowLines, 0);
    EXPECT_EQ(s.ShowPoints, 1);
    EXPECT_EQ(s.DeleteScripts, 1);
    EXPECT_EQ(s.OnlySeconds, 1);
}

// ---- Run code ----

TEST(RunCode, StaysWithinItsRangeAndDependsOnlyOnTheSeed) {
    for (unsigned seed = 0; seed < 2000; ++seed) {
        const std::int32_t code = draw_secret(seed * 2654435761u);
        EXPECT_GE(code, 0);
        EXPECT_LE(code, 32760);
    }
    EXPECT_EQ(draw_secret(12345), draw_secret(12345));
}

TEST(RunCode, DiffersFromRunToRun) {
    std::set<std::int32_t> codes;
    for (unsigned seed = 1; seed <= 100; ++seed) codes.insert(draw_secret(seed));
    EXPECT_GE(codes.size(), 95u);
}

// ---- Run directories and the default log ----

TEST(RunSetup, NamesTheDayFolderAndLogAfterTheMomentOfConfirmation) {
    const std::time_t now = zktest::local_time_of(2024, 3, 5, 7, 8, 9);
    const auto r = make_run_setup("C:\\zk47", now);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->szWDir, "C:\\zk47");
    EXPECT_EQ(r->szTmp, "C:\\zk47\\data\\");
    EXPECT_EQ(r->started_time, "2024-03-05-07-08-09");
    EXPECT_EQ(r->stamp, "2024-03-05-07-08-09.txt");
    EXPECT_EQ(r->szDDir1, "C:\\zk47\\data\\2024-03-05");
    EXPECT_EQ(r->szDDir, "C:\\zk47\\data\\2024-03-05\\");
    EXPECT_EQ(r->szFile, "C:\\zk47\\data\\2024-03-05\\2024-03-05-07-08-09.txt");
    EXPECT_EQ(r->szGnuplotStart, "C:\\zk47\\wgnuplot.exe");
    EXPECT_EQ(r->tm0, now);
}

TEST(RunSetup, StampIsLocalTime) {
    zktest::ScopedTimeZone tz("XYZ-3");
    const auto r = make_run_setup("C:\\zk47", 1709622489);  // 2024-03-05 07:08:09 UTC
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->started_time, "2024-03-05-10-08-09");
}

TEST(RunSetup, WorkingDirectoryOf219CharactersFitsAndOneMoreDoesNot) {
    const std::time_t now = zktest::local_time_of(2024, 3, 5, 7, 8, 9);
    const std::string wdir = "C:\\" + std::string(216, 'w');
    const auto fits = make_run_setup(wdir, now);
    ASSERT_TRUE(fits.has_value());
    EXPECT_EQ(fits->szFile.size(), 259u);
    EXPECT_FALSE(make_run_setup(wdir + "w", now).has_value());
    EXPECT_FALSE(make_run_setup(std::string(5000, 'w'), now).has_value());
}

TEST(RunSetup, CreatesMissingFoldersAndKeepsExistingOnes) {
#ifdef _WIN32
    zktest::ScratchDir dir;
    const auto r = make_run_setup(dir.path().string(), zktest::local_time_of(2024, 3, 5, 7, 8, 9));
    ASSERT_TRUE(r.has_value());
    create_run_dirs(*r);
    EXPECT_TRUE(std::filesystem::is_directory(r->szDDir1));
    ASSERT_TRUE(write_text_file(r->szDDir + "earlier.txt", "kept"));
    create_run_dirs(*r);
    EXPECT_EQ(zktest::file_bytes(r->szDDir + "earlier.txt"), "kept");
#else
    GTEST_SKIP() << "the run's paths use Windows separators";
#endif
}
