# The core's fuzzers and benchmark (native tree only).

# Fuzzers: libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer over the meter line
# path and the data line reader. Each runs 20 s inside the test suite from its seed corpus;
# what it learns goes to a corpus in the build tree, never into the sources.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(ZK_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_library(zkcore_fuzz STATIC ${ZK_CORE_SOURCES})
  target_include_directories(zkcore_fuzz PUBLIC ${CMAKE_SOURCE_DIR}/core)
  target_compile_options(zkcore_fuzz PUBLIC ${ZK_FUZZ_SANITIZERS} -fsanitize=fuzzer-no-link)

  # A meter line may run past the 1023 bytes a line holds; a reply is one receive of 1023.
  set(ZK_FUZZ_MAX_LEN_meter_line 4096)
  set(ZK_FUZZ_MAX_LEN_data_line 1100)
  foreach(target meter_line data_line)
    add_executable(${target}_fuzzer ${CMAKE_CURRENT_LIST_DIR}/fuzz/${target}_fuzzer.cpp)
    target_link_libraries(${target}_fuzzer PRIVATE zkcore_fuzz)
    target_link_options(${target}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    set_target_properties(${target}_fuzzer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    set(work ${CMAKE_BINARY_DIR}/tests/fuzz/${target})
    file(MAKE_DIRECTORY ${work}/corpus)
    add_test(NAME core_fuzz_${target}
             COMMAND ${target}_fuzzer -max_total_time=20 -max_len=${ZK_FUZZ_MAX_LEN_${target}}
                     -print_final_stats=1
                     -dict=${CMAKE_CURRENT_LIST_DIR}/fuzz/core.dict -artifact_prefix=${work}/
                     ${work}/corpus ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus/${target})
    set_tests_properties(core_fuzz_${target} PROPERTIES TIMEOUT 120)
  endforeach()
else()
  message(STATUS "core fuzzers need clang: not built")
endif()

# Benchmark: cost per line of the meter and data line paths. It prints figures and never
# fails on time; the test only runs it briefly.
find_package(benchmark REQUIRED)
add_executable(core_benchmark ${CMAKE_CURRENT_LIST_DIR}/bench/core_benchmark.cpp)
target_link_libraries(core_benchmark PRIVATE zkcore benchmark::benchmark)
set_target_properties(core_benchmark PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME core_benchmark COMMAND core_benchmark --benchmark_min_time=0.2)
