# The data server and the relay: the server's request and admission rules as unit tests, and
# both programs end to end over loopback TCP, natively and (the Windows builds) under Wine.
add_executable(zksrv_rules_tests ${CMAKE_CURRENT_SOURCE_DIR}/net/requests_test.cpp
                                 ${CMAKE_CURRENT_SOURCE_DIR}/net/admission_test.cpp)
target_link_libraries(zksrv_rules_tests PRIVATE zksrv_rules ${ZK_GTEST})
set_target_properties(zksrv_rules_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME net_zksrv_rules COMMAND zksrv_rules_tests)
# The query every client makes, on loopback sockets.
add_executable(net_query_tests ${CMAKE_CURRENT_SOURCE_DIR}/net/query_test.cpp)
target_link_libraries(net_query_tests PRIVATE zknet ${ZK_GTEST})
set_target_properties(net_query_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME net_query COMMAND net_query_tests)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ZK_NET_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/net)

# One ctest entry per group of cases and per build: net_<program>_<group>_<native|wine>.
function(zk_net_tests program groups)
  foreach(group IN LISTS groups)
    string(TOLOWER ${group} lower)
    add_test(NAME net_${program}_${lower}_native
             COMMAND ${Python3_EXECUTABLE} ${ZK_NET_TESTS}/${program}_test.py ${group}
                     -- $<TARGET_FILE:${program}>)
    add_test(NAME net_${program}_${lower}_wine
             COMMAND ${Python3_EXECUTABLE} ${ZK_NET_TESTS}/${program}_test.py ${group}
                     -- ${ZK_WINE} ${ZK_WINDOWS_DIR}/${program}.exe)
    set_tests_properties(net_${program}_${lower}_native net_${program}_${lower}_wine
                         PROPERTIES TIMEOUT 300 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
  endforeach()
endfunction()

zk_net_tests(zksrv "Answers;Codes;Arguments;Limits;Crowds")
zk_net_tests(zkrelay "Dialogue;Relaying;Refusals;RemoteFailures")

# Both builds try the fixed port 4464 (from the port argument 70000) and the relay's default 5000.
set_tests_properties(net_zksrv_arguments_native net_zksrv_arguments_wine
                     PROPERTIES RESOURCE_LOCK port4464)
set_tests_properties(net_zkrelay_dialogue_native net_zkrelay_dialogue_wine
                     PROPERTIES RESOURCE_LOCK port5000)
