# The bridge's web page: its data as unit tests, the page in a real browser.
add_executable(web_tests ${CMAKE_CURRENT_LIST_DIR}/history_test.cpp)
target_link_libraries(web_tests PRIVATE zkbridge_history ${ZK_GTEST})
set_target_properties(web_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME web_units COMMAND web_tests)
