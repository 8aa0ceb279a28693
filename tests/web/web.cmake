# The bridge's web page: its data as unit tests, the page in a real browser.
add_executable(web_tests ${CMAKE_CURRENT_LIST_DIR}/history_test.cpp)
target_link_libraries(web_tests PRIVATE zkbridge_web_data ${ZK_GTEST})
set_target_properties(web_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME web_units COMMAND web_tests)

# The page in headless Chromium against the real bridge and data servers, one ctest entry per
# group of cases; screenshots land in the build tree.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(group Live Restarts Stale Streams Chart Reduced)
  string(TOLOWER ${group} lower)
  add_test(NAME web_page_${lower}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/page_test.py ${group}
                   -- $<TARGET_FILE:zkbridge> $<TARGET_FILE:zksrv>
                   ${CMAKE_BINARY_DIR}/tests/web/screenshots)
  set_tests_properties(web_page_${lower} PROPERTIES TIMEOUT 180
                       ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()

# Memory of 500 stations' full hour and the cost of the largest history answer: figures only.
add_executable(web_history_benchmark ${CMAKE_CURRENT_LIST_DIR}/history_bench.cpp)
target_link_libraries(web_history_benchmark PRIVATE zkbridge_web_data)
set_target_properties(web_history_benchmark PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME web_history_benchmark COMMAND web_history_benchmark)

# The page on a fleet whose stations each hold a full hour, in headless Chromium: time to the
# first cards drawn and bytes at load and after a restart; figures only. The suite runs 100
# stations; README's Benchmarks section gives the full run.
add_test(NAME web_page_benchmark
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/page_bench.py --stations 100
                 -- $<TARGET_FILE:zkbridge> $<TARGET_FILE:zksrv>)
set_tests_properties(web_page_benchmark PROPERTIES TIMEOUT 300 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
