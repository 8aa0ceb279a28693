# Native-only tests: the core tests natively, under the sanitizers, under Wine from the
# Windows build; fuzzers; benchmarks; the programs end to end.
set(ZK_WINDOWS_DIR ${CMAKE_SOURCE_DIR}/build/windows CACHE PATH "The Windows build tree")
set(ZK_WINE ${CMAKE_CURRENT_SOURCE_DIR}/wine/run-wine.sh)

add_test(NAME core_native COMMAND core_tests)

# The core tests once more with AddressSanitizer and UndefinedBehaviorSanitizer.
add_library(zkcore_san STATIC ${ZK_CORE_SOURCES})
target_include_directories(zkcore_san PUBLIC ${CMAKE_SOURCE_DIR}/core)
target_compile_options(zkcore_san PUBLIC -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_link_options(zkcore_san PUBLIC -fsanitize=address,undefined)
add_executable(core_tests_sanitized ${ZK_CORE_TESTS})
target_link_libraries(core_tests_sanitized PRIVATE zkcore_san ${ZK_GTEST})
set_target_properties(core_tests_sanitized PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME core_sanitized COMMAND core_tests_sanitized)

# The pipeline of one reading, natively and under the sanitizers.
add_test(NAME pipeline_native COMMAND pipeline_tests)
add_library(zkpipeline_san STATIC ${CMAKE_SOURCE_DIR}/pipeline/station.cpp)
target_include_directories(zkpipeline_san PUBLIC ${CMAKE_SOURCE_DIR}/pipeline)
target_link_libraries(zkpipeline_san PUBLIC zkcore_san zknet)
add_executable(pipeline_tests_sanitized ${CMAKE_CURRENT_SOURCE_DIR}/pipeline/station_test.cpp)
target_include_directories(pipeline_tests_sanitized PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/core)
target_link_libraries(pipeline_tests_sanitized PRIVATE zkpipeline_san ${ZK_GTEST})
set_target_properties(pipeline_tests_sanitized PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME pipeline_sanitized COMMAND pipeline_tests_sanitized)

# The same core tests from the Windows build under Wine, once with Wine's default locale and
# once with Russian regional settings.
add_test(NAME core_wine COMMAND ${ZK_WINE} ${ZK_WINDOWS_DIR}/tests/core_tests.exe)
add_test(NAME core_wine_ru COMMAND env LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 ZK_WINE_LOCALE=ru
         ${ZK_WINE} ${ZK_WINDOWS_DIR}/tests/core_tests.exe)
# The pipeline of one reading (the serial reader's line handling among it), from the Windows
# build, with no window.
add_test(NAME acquisition_wine COMMAND ${ZK_WINE} ${ZK_WINDOWS_DIR}/tests/pipeline_tests.exe)
set_tests_properties(core_wine core_wine_ru acquisition_wine PROPERTIES RESOURCE_LOCK wineprefix)
# The run's state is the Station's, made at start-up: pipeline, acquisition and sharing hold
# none of their own.
add_test(NAME acquisition_no_hidden_state
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/acquisition/no_hidden_state.sh
                 ${ZK_WINDOWS_DIR}/pipeline/libzkpipeline.a
                 ${ZK_WINDOWS_DIR}/acquisition/libzkacquisition.a ${ZK_WINDOWS_DIR}/sharing/libzksharing.a)

# Each area keeps its own tests' wiring.
include(${CMAKE_CURRENT_SOURCE_DIR}/core/more.cmake)
include(${CMAKE_CURRENT_SOURCE_DIR}/net/net.cmake)
include(${CMAKE_CURRENT_SOURCE_DIR}/bridge/bridge.cmake)
include(${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e.cmake)
include(${CMAKE_CURRENT_SOURCE_DIR}/station/station.cmake)
include(${CMAKE_CURRENT_SOURCE_DIR}/release/release.cmake)
include(${CMAKE_CURRENT_SOURCE_DIR}/web/web.cmake)
