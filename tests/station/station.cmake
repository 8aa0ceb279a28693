# The station's own tools: the meter simulator (Python, through real pty pairs) and the gnuplot
# forwarder (a native test of its script rewriting, and the Windows build under Wine with a
# stand-in gnuplot, the host's gnuplot and a virtual display).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ZK_STATION_TESTS ${CMAKE_CURRENT_LIST_DIR})
set(ZK_STATION_WINEPREFIX ${CMAKE_BINARY_DIR}/tests/station-wine CACHE PATH "Wine prefix of the station tests")

add_test(NAME station_meter_sim_lines
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_meter_sim_lines.py)
add_test(NAME station_meter_sim_pty
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_meter_sim_pty.py)
set_tests_properties(station_meter_sim_lines station_meter_sim_pty PROPERTIES TIMEOUT 180)

# With them, the live script run by the host's gnuplot.
add_executable(station_script_copy_tests ${ZK_STATION_TESTS}/script_copy_test.cpp
               ${ZK_STATION_TESTS}/live_script_test.cpp)
target_include_directories(station_script_copy_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/core)
target_link_libraries(station_script_copy_tests PRIVATE zkscript_copy zkcore ${ZK_GTEST})
set_target_properties(station_script_copy_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME station_wgnuplot_script COMMAND station_script_copy_tests)

# The forwarder under Wine: each test class is one ctest test. They share one prefix and end
# its wineserver when done, so they run one at a time.
foreach(part forwarding snapshot snapshot_ru live)
  add_test(NAME station_wgnuplot_${part}
           COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_wgnuplot.py ${part})
  set_tests_properties(station_wgnuplot_${part} PROPERTIES
    TIMEOUT 300 RESOURCE_LOCK station_wineprefix SKIP_RETURN_CODE 77
    ENVIRONMENT "ZK_WINDOWS_DIR=${ZK_WINDOWS_DIR};ZK_STATION_WINEPREFIX=${ZK_STATION_WINEPREFIX};ZK_WINE=${ZK_WINE}")
endforeach()

# The forwarder the Windows way (a gnuplot installed in Windows, or the box saying none is),
# through the monitor's own buttons.
add_test(NAME station_wgnuplot_windows
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_wgnuplot_windows.py)
set_tests_properties(station_wgnuplot_windows PROPERTIES TIMEOUT 300 LABELS station
                     ENVIRONMENT "ZK_WINDOWS_DIR=${ZK_WINDOWS_DIR};ZK_E2E_WORK=${CMAKE_BINARY_DIR}/tests/e2e;PYTHONDONTWRITEBYTECODE=1")

# The station as it runs. The run command end to end (it builds build/windows of the source
# tree itself, as the test command has already done, so a cold start gets a long time-out);
# the monitor with --autostart on the simulator, its plots through the real forwarder, a flood
# under repeated File switches; and the station benchmark in its short mode (the long mode is
# run by hand: bench_monitor.py). Each has its own display, prefix and ports.
set(ZK_STATION_ENV "ZK_WINDOWS_DIR=${ZK_WINDOWS_DIR};ZK_E2E_WORK=${CMAKE_BINARY_DIR}/tests/e2e;PYTHONDONTWRITEBYTECODE=1")
add_test(NAME station_run_command
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_run_command.py)
set_tests_properties(station_run_command PROPERTIES TIMEOUT 900 LABELS station
                     ENVIRONMENT "${ZK_STATION_ENV}")
foreach(part autostart_plots flood_file_switch)
  add_test(NAME station_monitor_${part}
           COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_monitor_run.py ${part})
  set_tests_properties(station_monitor_${part} PROPERTIES TIMEOUT 600 LABELS station
                       ENVIRONMENT "${ZK_STATION_ENV}")
endforeach()
# The station's prefix settings (Russian regional settings, Wine's own fonts): texts measured
# against their controls, a screenshot kept in tests/artefacts, a log in a Cyrillic folder.
add_test(NAME station_russian
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_station_ru.py)
set_tests_properties(station_russian PROPERTIES TIMEOUT 600 LABELS station SKIP_RETURN_CODE 77
                     ENVIRONMENT "${ZK_STATION_ENV};ZK_ARTEFACTS=${CMAKE_BINARY_DIR}/tests/artefacts")
# The systemd user unit, checked by systemd's own verifier.
add_test(NAME station_service_unit
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/test_service_unit.py)
set_tests_properties(station_service_unit PROPERTIES TIMEOUT 120 LABELS station
                     ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
add_test(NAME station_bench_short
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/bench_monitor.py --short)
set_tests_properties(station_bench_short PROPERTIES TIMEOUT 300 LABELS "station;bench"
                     ENVIRONMENT "${ZK_STATION_ENV}")

# The guard against a leak per reading: the soak at 400 lines a second with sharing on, 20,000
# readings after the warm-up, then 10,000 lines paused (the serial reader alone: Wine's comm
# waits kept memory per line, which a busy pipeline at this rate hides). It fails only above
# ten times the goal of 64 KB per 10,000, far above the noise.
add_test(NAME station_soak_guard
         COMMAND ${Python3_EXECUTABLE} ${ZK_STATION_TESTS}/bench_monitor.py --soak --rate 400
                 --readings 20000 --paused-lines 10000 --sharing --limit-kb 640)
set_tests_properties(station_soak_guard PROPERTIES TIMEOUT 600 LABELS "station;bench"
                     ENVIRONMENT "${ZK_STATION_ENV}")
