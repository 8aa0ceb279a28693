# The web page of zkbridge: its routes, history and event streams as a library, and the
# page's files embedded at build time (no network, nothing read at run time). Included by
# bridge/CMakeLists.txt, which finds the libraries.

set(ZK_WEB_DIR ${CMAKE_CURRENT_LIST_DIR}/web)
# The chart library's licence travels with it, as its terms ask.
set(ZK_WEB_FILES index.html app.js style.css favicon.svg
    vendor/uplot/uPlot.iife.min.js vendor/uplot/uPlot.min.css vendor/uplot/LICENSE)
set(ZK_WEB_SOURCES ${ZK_WEB_FILES})
list(TRANSFORM ZK_WEB_SOURCES PREPEND ${ZK_WEB_DIR}/)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DROOT=${ZK_WEB_DIR} -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp
          "-DFILES=${ZK_WEB_FILES}" -P ${ZK_WEB_DIR}/embed.cmake
  DEPENDS ${ZK_WEB_SOURCES} ${ZK_WEB_DIR}/embed.cmake
  COMMENT "Embedding the web page" VERBATIM)

# The pure parts, free of the HTTP server: tested on their own.
add_library(zkbridge_web_data STATIC
  ${CMAKE_CURRENT_LIST_DIR}/history.cpp ${CMAKE_CURRENT_LIST_DIR}/event_streams.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_feed.cpp)
target_include_directories(zkbridge_web_data PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zkbridge_web_data PUBLIC zkbridge_rules)

add_library(zkbridge_web STATIC
  ${CMAKE_CURRENT_LIST_DIR}/web_routes.cpp ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp)
target_include_directories(zkbridge_web PUBLIC ${CMAKE_CURRENT_LIST_DIR})
find_package(ZLIB REQUIRED)
target_link_libraries(zkbridge_web PUBLIC zkbridge_web_data PRIVATE ZLIB::ZLIB)
