# zkbridge: its pure rules as unit tests, a fuzzer of the reply path, the program end to end
# against the real broker, Prometheus and data servers, and its benchmark.
find_package(nlohmann_json 3 REQUIRED)
find_package(ZLIB REQUIRED)  # the fuzzer builds the rules, the spool among them
add_executable(bridge_rules_tests ${CMAKE_CURRENT_LIST_DIR}/rules_test.cpp)
target_link_libraries(bridge_rules_tests PRIVATE zkbridge_rules ${ZK_GTEST})
set_target_properties(bridge_rules_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME bridge_rules COMMAND bridge_rules_tests)
find_package(PkgConfig REQUIRED)
pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)
add_executable(bridge_spool_tests ${CMAKE_CURRENT_LIST_DIR}/spool_test.cpp
               ${CMAKE_SOURCE_DIR}/bridge/mqtt_publisher.cpp)
target_link_libraries(bridge_spool_tests PRIVATE zkbridge_rules PkgConfig::MOSQUITTO ${ZK_GTEST})
set_target_properties(bridge_spool_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME bridge_spool COMMAND bridge_spool_tests)

if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  get_target_property(zk_bridge_rule_sources zkbridge_rules SOURCES)
  list(TRANSFORM zk_bridge_rule_sources PREPEND ${CMAKE_SOURCE_DIR}/bridge/)
  add_executable(bridge_reply_fuzzer ${CMAKE_CURRENT_LIST_DIR}/fuzz/reply_fuzzer.cpp
                 ${zk_bridge_rule_sources})
  target_include_directories(bridge_reply_fuzzer PRIVATE ${CMAKE_SOURCE_DIR}/bridge ${CMAKE_SOURCE_DIR}/tests/core/fuzz)
  target_compile_definitions(bridge_reply_fuzzer PRIVATE
                             $<TARGET_PROPERTY:zkbridge_rules,INTERFACE_COMPILE_DEFINITIONS>)
  target_link_libraries(bridge_reply_fuzzer PRIVATE zkcore_fuzz nlohmann_json::nlohmann_json ZLIB::ZLIB)
  target_compile_options(bridge_reply_fuzzer PRIVATE ${ZK_FUZZ_SANITIZERS} -fsanitize=fuzzer)
  target_link_options(bridge_reply_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
  set_target_properties(bridge_reply_fuzzer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(work ${CMAKE_BINARY_DIR}/tests/fuzz/bridge_reply)
  file(MAKE_DIRECTORY ${work}/corpus)
  # Seeds: the data server replies the core's fuzzer starts from.
  add_test(NAME bridge_fuzz_reply
           COMMAND bridge_reply_fuzzer -max_total_time=20 -max_len=1100 -print_final_stats=1
                   -dict=${CMAKE_SOURCE_DIR}/tests/core/fuzz/core.dict -artifact_prefix=${work}/
                   ${work}/corpus ${CMAKE_SOURCE_DIR}/tests/core/fuzz/corpus/data_line)
  set_tests_properties(bridge_fuzz_reply PROPERTIES TIMEOUT 120)
endif()

# End to end, one ctest entry per group of cases.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(group Publishing Availability BrokerRestart SeveralBridges HomeAssistant Security Prometheus
              SpoolCrash FairQueue
              Arguments BadInput HostileClients Replies Stale Log Shards)
  string(TOLOWER ${group} lower)
  add_test(NAME bridge_${lower}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/bridge_test.py ${group}
                   -- $<TARGET_FILE:zkbridge> $<TARGET_FILE:zksrv> $<TARGET_FILE:zkrelay>
                      $<TARGET_FILE:standin_stations>)
  set_tests_properties(bridge_${lower} PROPERTIES TIMEOUT 300
                       ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()

# Benchmark: stand-in stations in one process and the bridge polling them. It prints figures
# and never fails on time; the test runs its short form.
add_executable(standin_stations ${CMAKE_CURRENT_LIST_DIR}/bench/standin_stations.cpp)
target_link_libraries(standin_stations PRIVATE zkcore zknet)
set_target_properties(standin_stations PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
# The bridge's poller alone: what the bridge costs beyond its exchanges with the stations.
add_executable(bare_poller ${CMAKE_CURRENT_LIST_DIR}/bench/bare_poller.cpp
               ${CMAKE_SOURCE_DIR}/bridge/poller.cpp)
target_link_libraries(bare_poller PRIVATE zkbridge_rules zknet)
set_target_properties(bare_poller PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME bridge_benchmark
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/bench/bench_bridge.py --short
                 -- $<TARGET_FILE:zkbridge> $<TARGET_FILE:standin_stations>
                    $<TARGET_FILE:bare_poller>)
set_tests_properties(bridge_benchmark PROPERTIES TIMEOUT 300 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The whole chain under Wine: simulator, monitor sharing its readings, bridge, broker.
add_test(NAME bridge_chain
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/bridge_chain.py $<TARGET_FILE:zkbridge>)
set_tests_properties(bridge_chain PROPERTIES TIMEOUT 300 LABELS e2e
  ENVIRONMENT "ZK_WINDOWS_DIR=${ZK_WINDOWS_DIR};ZK_E2E_WORK=${CMAKE_BINARY_DIR}/tests/e2e;PYTHONDONTWRITEBYTECODE=1")
